// Pending lists and tables of the fused routes, closed into rendered lines.
#include "display_stream.hpp"

#include <algorithm>

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
    empty_keeping_room(s_.items);
    empty_keeping_room(s_.cells);
    empty_keeping_room(s_.row_ends);
    empty_keeping_room(s_.padded);
    empty_keeping_room(s_.row);
    s_.builders.clear();
    s_.busy = false;
}

TextBuf& DisplayStream::continue_item() {
    // The last block is a list item, still pending at the end of items.
    Item& item = s_.items.back();
    if (!item.builder) {
        s_.builders.emplace_back();
        s_.builders.back().append(item.text);
        item.builder = s_.builders.size();
    }
    return s_.builders[item.builder - 1];
}

void DisplayStream::close_list() {
    if (s_.items.empty()) return;
    begin_block();
    for (const Item& item : s_.items) {
        sink_.begin_line();
        sink_.buf().append_ascii("- ");
        if (item.builder) {
            const TextBuf& b = s_.builders[item.builder - 1];
            sink_.buf().append(b.view(0, b.size()));
        } else {
            sink_.buf().append(item.text);
        }
    }
    s_.items.clear();
    s_.builders.clear();
}

// A lone row is shown as its cells joined; two or more rows are a table
// whose later rows are padded or merged to the first row's width.
void DisplayStream::close_table() {
    std::vector<size_t>& ends = s_.row_ends;
    if (ends.empty()) return;
    const NStr* cells = s_.cells.data();
    if (ends.size() == 1) {
        text_block(join_cells(w_, cells, ends[0]));
    } else {
        begin_block();
        const size_t width = ends[0];
        table_line(sink_, cells, width);
        delimiter_line(sink_, width);
        std::vector<NStr>& padded = s_.padded;
        for (size_t i = 1; i < ends.size(); ++i) {
            const NStr* row = cells + ends[i - 1];
            const size_t n = ends[i] - ends[i - 1];
            if (n == width) {
                table_line(sink_, row, n);
                continue;
            }
            padded.assign(row, row + std::min(n, width - 1));
            if (n < width)
                padded.resize(width, NStr::of(N.empty));
            else
                padded.push_back(join_cells(w_, row + (width - 1), n - (width - 1)));
            table_line(sink_, padded);
        }
    }
    s_.cells.clear();
    ends.clear();
}

}  // namespace arf
