// The report driver's pieces that one file hands another.
#pragma once
#include "../dispatch/dispatch.hpp"
#include "../text/sink.hpp"

namespace arf {

// One question section written into `out` (false on error).
bool write_section(Ctx& ctx, PyObject* index, PyObject* answer, PyObject* question, TextBuf& out);
// The lines of a link list written into `sink` (false on error).
bool write_link_items(PyObject* raw_items, bool include_source, LineSink& sink);
// The final clean-up, in place: lines right-trimmed, blank runs collapsed,
// trailing blank lines dropped (false when a signal handler raised).
bool collapse_blank_lines(TextBuf& buf);

}  // namespace arf
