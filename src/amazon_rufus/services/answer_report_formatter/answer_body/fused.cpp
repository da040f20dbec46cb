// The fused text route: when every step from the answer text to its lines is
// the native one, the parser's blocks go straight through conversion,
// assembly and rendering into the section's lines, one block at a time,
// instead of through three lists of records.  Inside it no Python code runs,
// so the steps' resolution cannot change on the way.
#include "blocks.hpp"

#include <algorithm>

namespace arf {

namespace {

// Assembly and rendering of the parser's blocks as they come.  Runs of list
// items and of table rows stay pending until a block of another kind (or the
// end) closes them, as the assembly's flush_list and flush_table do.
class StreamOut final : public BlockOut {
public:
    StreamOut(Work& w, LineSink& sink) : w_(w), sink_(sink), first_(sink.count()) {}

    bool push(IBlock&& b) override {
        last_.kind = b.kind;
        have_last_ = true;
        switch (b.kind) {
            case IBlock::TEXT:
                close_list();
                close_table();
                text_block(b.text);
                break;
            case IBlock::HEADING:
                close_list();
                close_table();
                begin_block();
                short_heading_line(sink_, b.level + 2 >= 6 ? 6 : b.level + 2, b.text);
                break;
            case IBlock::LIST_ITEM:
                close_table();
                items_.push_back(Item{b.text, 0});
                break;
            case IBlock::TABLE:
                // Conversion makes one table row of the header and one of each
                // body row; each closes an open list and joins the open table.
                close_list();
                rows_.push_back(b.header);
                rows_.insert(rows_.end(), b.rows.begin(), b.rows.end());
                break;
            case IBlock::FOREIGN:
                PyErr_SetString(PyExc_SystemError, "a replaced step's block on the fused route");
                return false;
        }
        return !interrupted_after(16);
    }

    IBlock* last() override { return have_last() ? &last_ : nullptr; }

    TextBuf& continue_last() override {
        // The last block is a list item, still pending at the end of items_.
        Item& item = items_.back();
        if (!item.builder) {
            builders_.emplace_back();
            builders_.back().append(item.text);
            item.builder = builders_.size();
        }
        return builders_[item.builder - 1];
    }

    bool finish() override {
        close_list();
        close_table();
        return true;
    }

    // Display blocks written so far.
    size_t blocks() const { return blocks_; }

private:
    struct Item {
        NStr text;
        size_t builder;  // builder index + 1 once continued, else 0
    };

    bool have_last() const { return have_last_; }

    // One empty line before every display block but the first.
    void begin_block() {
        if (sink_.count() > first_) sink_.line(std::u32string_view());
        ++blocks_;
    }

    // A text display block: its trimmed text, when there is any.
    void text_block(NStr text) {
        begin_block();
        NStr t = trim(text);
        if (!t.empty()) sink_.line(t);
    }

    void close_list() {
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
    void close_table() {
        if (rows_.empty()) return;
        if (rows_.size() == 1) {
            text_block(join_cells(w_, *rows_[0]));
            rows_.clear();
            return;
        }
        begin_block();
        const Row& header = *rows_[0];
        const size_t width = header.size();
        table_line(sink_, header);
        delimiter_line(sink_, width);
        for (size_t i = 1; i < rows_.size(); ++i) {
            const Row& row = *rows_[i];
            if (row.size() == width) {
                table_line(sink_, row);
                continue;
            }
            cells_.assign(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(std::min(row.size(), width - 1)));
            if (row.size() < width)
                cells_.resize(width, NStr::of(N.empty));
            else
                cells_.push_back(join_cells(w_, row, static_cast<Py_ssize_t>(width - 1)));
            table_line(sink_, cells_);
        }
        rows_.clear();
    }

    Work& w_;
    LineSink& sink_;
    const Py_ssize_t first_;
    size_t blocks_ = 0;
    IBlock last_;  // the last block's kind, all continuation needs
    bool have_last_ = false;
    std::vector<Item> items_;
    std::vector<TextBuf> builders_;
    std::vector<Row*> rows_;
    std::vector<NStr> cells_;
};

}  // namespace

bool write_text_body(Ctx& ctx, Work& w, PyObject* text, LineSink& sink) {
    if (!PyUnicode_GET_LENGTH(text)) return true;
    StreamOut out(w, sink);
    if (!parse_text(ctx, w, text, out, true)) return false;
    // Nothing assembled: the whole trimmed text is the one block.
    if (!out.blocks()) {
        NStr t = trim(NStr::of(text));
        if (!t.empty()) sink.line(t);
    }
    return true;
}

}  // namespace arf
