// What the report driver uses of the answer body pipeline.
#pragma once
#include "../dispatch/dispatch.hpp"
#include "../text/sink.hpp"

namespace arf {

// What a body's writer can say of the lines it wrote, for the report's
// clean-up (see report.hpp): nothing; that the texts were written trimmed,
// each line begun through the sink, in blocks that each have a line of
// text (the section then counts the line breaks to see that no text held
// one); or that the lines are clean as they stand.
enum class BodyLines { UNKNOWN, THROUGH_SINK, CLEAN };
// Code units below which a section or an answer text is not vouched for:
// the clean-up reads so few for less than the checks cost.  Builds that
// check the claims make them for every text, so that tests reach them all.
#ifdef ARF_CHECK_VOUCHED
constexpr Py_ssize_t VOUCHED_MIN = 0;
#else
constexpr Py_ssize_t VOUCHED_MIN = 256;
#endif

// The body lines of one answer record: written into `sink`, or, when a
// replaced step returned them, handed back in `foreign` (false on error).
bool write_answer_body(Ctx& ctx, PyObject* index, PyObject* answer, LineSink& sink, Ref& foreign,
                       BodyLines* lines = nullptr);

}  // namespace arf
