// What the report driver uses of the answer body pipeline.
#pragma once
#include "../dispatch/dispatch.hpp"
#include "../text/sink.hpp"

namespace arf {

// The body lines of one answer record: written into `sink`, or, when a
// replaced step returned them, handed back in `foreign` (false on error).
bool write_answer_body(Ctx& ctx, PyObject* index, PyObject* answer, LineSink& sink, Ref& foreign);

}  // namespace arf
