// The fused text route: when every step from the answer text to its lines is
// the native one, the parser's blocks go straight through conversion,
// assembly and rendering into the section's lines, one block at a time,
// instead of through three lists of records.  Inside it no Python code runs,
// so the steps' resolution cannot change on the way.
#include "display_stream.hpp"

namespace arf {

namespace {

// The parser's blocks as structured blocks, as the conversion makes them,
// handed to the display stream one by one.
class StreamOut final : public BlockOut {
public:
    StreamOut(Work& w, LineSink& sink) : display_(w, sink) {}

    bool push(IBlock&& b) override {
        last_.kind = b.kind;
        have_last_ = true;
        switch (b.kind) {
            case IBlock::TEXT:
                display_.text(b.text);
                break;
            case IBlock::HEADING:
                display_.heading(b.level + 2 >= 6 ? 6 : b.level + 2, b.text);
                break;
            case IBlock::LIST_ITEM:
                display_.list_item(b.text);
                break;
            case IBlock::TABLE:
                // Conversion makes one table row of the header and one of each
                // body row; each closes an open list and joins the open table.
                display_.table_row(b.header->data(), b.header->size());
                for (const Row* row : b.rows) display_.table_row(row->data(), row->size());
                break;
            case IBlock::FOREIGN:
                PyErr_SetString(PyExc_SystemError, "a replaced step's block on the fused route");
                return false;
        }
        return !interrupted_after(16);
    }

    bool takes_pieces() const override { return true; }
    bool paragraph(const Piece* pieces, size_t n) override {
        // Only right-trimmed views come here: the text is that of the lines
        // from the first non-empty one to the last, the first left-trimmed.
        size_t first = 0, last = n;
        while (first < n && pieces[first].text.empty()) ++first;
        if (first == n) return true;  // no text, no block
        while (pieces[last - 1].text.empty()) --last;
        last_.kind = IBlock::TEXT;
        have_last_ = true;
        return display_.paragraph(pieces + first, last - first);
    }

    bool table_row(const NStr* cells, size_t n) override {
        // Conversion makes one table row of the header and one of each body
        // row; each closes an open list and joins the open table.
        last_.kind = IBlock::TABLE;
        have_last_ = true;
        display_.table_row(cells, n);
        return true;
    }

    IBlock* last() override { return have_last_ ? &last_ : nullptr; }
    TextBuf& continue_last() override { return display_.continue_item(); }
    bool finish() override {
        display_.finish();
        return true;
    }
    size_t blocks() const { return display_.blocks(); }

private:
    DisplayStream display_;
    IBlock last_;  // the last block's kind, all continuation needs
    bool have_last_ = false;
};

}  // namespace

bool write_text_body(Ctx& ctx, Work& w, NStr text, LineSink& sink) {
    if (text.empty()) return true;
    StreamOut out(w, sink);
    if (!parse_text_fused(ctx, w, text, out)) return false;
    // Nothing assembled: the whole trimmed text is the one block.
    if (!out.blocks()) {
        NStr t = trim(text);
        if (!t.empty()) sink.line(t);
    }
    return true;
}

}  // namespace arf
