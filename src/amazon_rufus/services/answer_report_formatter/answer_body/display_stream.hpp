// Structured blocks assembled and rendered as they come, for the fused
// routes: a run of list items is one list block, written an item at a time
// (the text route appends continuation lines to the last one), and a run of
// table rows is one table, whose first row stays pending until a second
// makes it a table or a block of another kind (or the end) closes it, as
// the assembly's flush_list and flush_table do.  Every other display block
// is written into the section's lines at once.  The first row is kept flat
// (one cell array), so a row costs no allocation of its own.
#pragma once
#include "blocks.hpp"

namespace arf {

class DisplayStream {
public:
    DisplayStream(Work& w, LineSink& sink);
    ~DisplayStream();
    DisplayStream(const DisplayStream&) = delete;
    DisplayStream& operator=(const DisplayStream&) = delete;

    // A heading of `n` hashes (already clamped) with a trimmed, non-empty text.
    void heading(int n, const NStr& text) {
        close_list();
        close_table();
        begin_block();
        short_heading_line(sink_, n, text);
    }
    // A text display block; it writes a line only when its trimmed text is not empty.
    void text(const NStr& t) {
        close_list();
        close_table();
        text_block(t);
    }
    // Opens a text block whose text the caller writes into the returned
    // buffer: a paragraph, not empty.
    TextBuf& begin_paragraph() {
        close_list();
        close_table();
        begin_block();
        sink_.begin_line();
        return sink_.buf();
    }
    // Whether the second and later of a run of empty lines are left out of
    // the text as it is written (see TextBuf::keep_dropped_breaks).
    bool drops_blank_runs() const { return sink_.buf().dropped_breaks() != nullptr; }
    // A list item: "- " and its text, the first of a run opening the list block.
    void list_item(const NStr& text) {
        close_table();
        if (!list_open_) {
            begin_block();
            list_open_ = true;
        }
        sink_.begin_line();
        sink_.buf().append_ascii("- ");
        sink_.buf().append(text);
        plain_ &= !text.empty();
    }
    // The buffer whose last line is the last list item's, to continue it
    // (while the list is open nothing else is written).
    TextBuf& continue_item() { return sink_.buf(); }
    // A table row of `n` >= 1 cells: closes an open list, joins the open
    // table.  The first row waits, as it is text when it stays alone; from
    // the second on the table is certain, and rows are written as they come.
    void table_row(const NStr* cells, size_t n) {
        close_list();
        if (!table_rows_) {
            s_.cells.assign(cells, cells + n);
        } else {
            if (table_rows_ == 1) table_head();
            body_row(cells, n);
        }
        ++table_rows_;
    }
    // Columns of the open table: its first row's cells.
    size_t table_width() const { return s_.cells.size(); }
    // A later row of the open table whose line is `line` as it stands: it
    // has the table's width or more, and writing its cells (merged to the
    // width) gives that text.
    void row_as_written(const NStr& line) {
        if (table_rows_ == 1) table_head();
        sink_.line(line);
        ++table_rows_;
    }
    // A table row that yields no row but has text: the open table closes
    // and the text is a block of its own.
    void row_text(const NStr& t) {
        close_table();
        text_block(t);
    }
    void close_list() { list_open_ = false; }
    void close_table() {
        if (table_rows_ == 1) write_lone_row();
        table_rows_ = 0;
    }
    void finish() {
        close_list();
        close_table();
    }
    // Display blocks written so far.
    size_t blocks() const { return blocks_; }
    // Whether every block written so far has a line of text (one that is
    // empty would leave the empty line before it next to another).
    bool plain() const { return plain_; }
    // Rows of the open table (only the first is kept; later ones are written).
    size_t table_rows() const { return table_rows_; }

    // A row buffer for the caller's own use while the stream is open.
    Row& row() { return s_.row; }

    // The pending state's storage.  Streams never nest (no Python code runs
    // inside one), so one set serves every answer and keeps its room.
    struct Scratch {
        std::vector<NStr> cells;      // the open table's first row
        Row row;
        bool busy = false;
    };

private:
    // One empty line before every display block but the first.
    void begin_block() {
        if (sink_.count() > first_) sink_.line(std::u32string_view());
        ++blocks_;
    }
    void write_lone_row();
    void table_head();
    void body_row(const NStr* cells, size_t n);
    void text_block(const NStr& text) {
        begin_block();
        NStr t = trim(text);
        if (!t.empty()) sink_.line(t);
        else plain_ = false;
    }

    Work& w_;
    LineSink& sink_;
    const Py_ssize_t first_;
    size_t blocks_ = 0;
    size_t table_rows_ = 0;  // rows of the open table
    bool list_open_ = false;
    bool plain_ = true;
    std::unique_ptr<Scratch> own_;  // only if the shared set were busy
    Scratch& s_;
};

// The fused structured route: the front end's blocks of an answer, when they
// are all plain built-in values, assembled and rendered straight into `sink`.
// Returns the display blocks written (0: nothing to show, and nothing was
// written), or NOT_PLAIN (nothing written) when some value could run Python
// code or needs the staged route's general handling, or -1 on error.
// `plain` (when given) tells whether every block written has a line of text
// (the texts are written trimmed, each line break through `sink`).
constexpr Py_ssize_t NOT_PLAIN = -2;
Py_ssize_t write_structured_body(Work& w, PyObject* blocks, LineSink& sink, bool* plain = nullptr);

}  // namespace arf
