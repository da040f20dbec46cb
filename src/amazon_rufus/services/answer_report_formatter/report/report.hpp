// The report driver's pieces that one file hands another.
#pragma once
#include "../dispatch/dispatch.hpp"
#include "../text/sink.hpp"

namespace arf {

// Writers may vouch for what they wrote: that the report's clean-up would
// leave it as it is.  Such text has no line break but "\n", no line ending
// in whitespace, no two empty lines in a row, and starts and ends with a
// line that is not empty.  `vouched` (when given) is set on success.  A
// link list vouches only for the form of its lines (trimmed texts, each
// line begun through `sink`): line breaks inside the texts are the
// section's to find.

// One question section written into `out` (false on error).
bool write_section(Ctx& ctx, PyObject* index, PyObject* answer, PyObject* question, TextBuf& out,
                   bool* vouched = nullptr);
// The lines of a link list written into `sink` (false on error).
bool write_link_items(PyObject* raw_items, bool include_source, LineSink& sink, bool* vouched = nullptr);

// A range [from, to) of the report that the clean-up must read.
struct ScanRange {
    size_t from, to;
};
// The final clean-up, in place: lines right-trimmed, blank runs collapsed,
// trailing blank lines dropped (false when a signal handler raised).  With
// `ranges` (sorted, apart), the text outside them is taken as already clean.
bool collapse_blank_lines(TextBuf& buf, const std::vector<ScanRange>* ranges = nullptr);

}  // namespace arf
