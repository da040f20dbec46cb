// Pending lists and tables of the fused routes, closed into rendered lines.
#include "display_stream.hpp"

namespace arf {

namespace {

DisplayStream::Scratch g_scratch;

DisplayStream::Scratch& take_scratch(std::unique_ptr<DisplayStream::Scratch>& own) {
    if (!g_scratch.busy) {
        g_scratch.busy = true;
        return g_scratch;
    }
    own = std::make_unique<DisplayStream::Scratch>();
    return *own;
}

// Drops what one answer's pending state needed, keeping ordinary room.
template <class V>
void empty_keeping_room(V& v) {
    v.clear();
    if (v.capacity() * sizeof(typename V::value_type) > (size_t(256) << 10)) V().swap(v);
}

}  // namespace

DisplayStream::DisplayStream(Work& w, LineSink& sink) : w_(w), sink_(sink), first_(sink.count()), s_(take_scratch(own_)) {}

DisplayStream::~DisplayStream() {
    if (&s_ != &g_scratch) return;
    empty_keeping_room(s_.cells);
    empty_keeping_room(s_.row);
    s_.busy = false;
}

// The header and delimiter lines, once a second row makes the open table one.
void DisplayStream::table_head() {
    begin_block();
    table_line(sink_, s_.cells);
    delimiter_line(sink_, s_.cells.size());
}

// A body row padded or merged to the header's width.  Cells past the width
// are merged into the last one joined with " | ", which writes the line the
// unmerged cells make; missing ones are empty.
void DisplayStream::body_row(const NStr* row, size_t n) {
    const size_t width = s_.cells.size();
    table_line(sink_, row, n, n < width ? width - n : 0);
}

// A lone row is shown as its cells joined (a table is written already).
void DisplayStream::write_lone_row() { text_block(join_cells(w_, s_.cells.data(), s_.cells.size())); }

}  // namespace arf
