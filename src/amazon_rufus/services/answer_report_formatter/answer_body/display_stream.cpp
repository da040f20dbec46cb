// Pending lists and tables of the fused routes, closed into rendered lines.
#include "display_stream.hpp"

#include <algorithm>

namespace arf {

TextBuf& DisplayStream::continue_item() {
    // The last block is a list item, still pending at the end of items_.
    Item& item = items_.back();
    if (!item.builder) {
        builders_.emplace_back();
        builders_.back().append(item.text);
        item.builder = builders_.size();
    }
    return builders_[item.builder - 1];
}

void DisplayStream::close_list() {
    if (items_.empty()) return;
    begin_block();
    for (const Item& item : items_) {
        sink_.begin_line();
        sink_.buf().append_ascii("- ");
        if (item.builder) {
            const TextBuf& b = builders_[item.builder - 1];
            sink_.buf().append(b.view(0, b.size()));
        } else {
            sink_.buf().append(item.text);
        }
    }
    items_.clear();
    builders_.clear();
}

// A lone row is shown as its cells joined; two or more rows are a table
// whose later rows are padded or merged to the first row's width.
void DisplayStream::close_table() {
    if (row_ends_.empty()) return;
    const NStr* cells = cells_.data();
    if (row_ends_.size() == 1) {
        text_block(join_cells(w_, cells, row_ends_[0]));
    } else {
        begin_block();
        const size_t width = row_ends_[0];
        table_line(sink_, cells, width);
        delimiter_line(sink_, width);
        for (size_t i = 1; i < row_ends_.size(); ++i) {
            const NStr* row = cells + row_ends_[i - 1];
            const size_t n = row_ends_[i] - row_ends_[i - 1];
            if (n == width) {
                table_line(sink_, row, n);
                continue;
            }
            padded_.assign(row, row + std::min(n, width - 1));
            if (n < width)
                padded_.resize(width, NStr::of(N.empty));
            else
                padded_.push_back(join_cells(w_, row + (width - 1), n - (width - 1)));
            table_line(sink_, padded_);
        }
    }
    cells_.clear();
    row_ends_.clear();
}

}  // namespace arf
