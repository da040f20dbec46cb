// The fused structured route: the front end's blocks read straight from
// their dicts into the display stream.  It takes only exact built-in values,
// whose reads, truth values, comparisons and str() run no Python code, so
// the result is the staged route's; anything else sends the answer to the
// staged route from its start.
#include "display_stream.hpp"

#include <cstring>

namespace arf {

namespace {

// An exact str equal to an ASCII literal of length n.
inline bool ascii_equals(PyObject* s, const char* lit, Py_ssize_t n) {
    return PyUnicode_GET_LENGTH(s) == n && PyUnicode_IS_ASCII(s) && std::memcmp(PyUnicode_DATA(s), lit, n) == 0;
}

// The values of the four keys the assembly reads (nullptr when absent).
struct Fields {
    PyObject *type = nullptr, *text = nullptr, *level = nullptr, *cells = nullptr;
};

bool read_fields(PyObject* dict, Fields& f) {
    // The names are interned once, at module initialisation, and never change.
    static const KeyName names[4] = {{N.type, "type"}, {N.text, "text"}, {N.level, "level"}, {N.cells, "cells"}};
    PyObject* values[4];
    if (!read_plain_keys(dict, names, values)) return false;
    f.type = values[0];
    f.text = values[1];
    f.level = values[2];
    f.cells = values[3];
    return true;
}

enum class Kind { HEADING, PARAGRAPH, LIST_ITEM, TABLE_ROW, OTHER, NOT_PLAIN };

Kind kind_of(PyObject* type) {
    if (!type) return Kind::OTHER;
    if (!PyUnicode_CheckExact(type)) return is_plain(type) ? Kind::OTHER : Kind::NOT_PLAIN;
    if (type == N.heading || ascii_equals(type, "heading", 7)) return Kind::HEADING;
    if (type == N.paragraph || ascii_equals(type, "paragraph", 9)) return Kind::PARAGRAPH;
    if (type == N.list_item || ascii_equals(type, "list_item", 9)) return Kind::LIST_ITEM;
    if (type == N.table_row || ascii_equals(type, "table_row", 9)) return Kind::TABLE_ROW;
    return Kind::OTHER;
}

int text_value(Work& w, PyObject* v, NStr& out) { return plain_text(v, w.arena, out); }

// The clamped level of a heading: n = min(6, max(1, level) + 2) hashes, or
// 0 when the level is not plain.
int heading_hashes(PyObject* level) {
    if (level && PyLong_CheckExact(level)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(level, &overflow);
        if (overflow < 0 || (!overflow && v <= 1)) return 3;
        if (overflow > 0 || v >= 4) return 6;
        return static_cast<int>(v) + 2;
    }
    if (level && PyBool_Check(level)) return 3;  // max(1, True) is the 1
    if (level && !is_plain(level)) return 0;
    return 4;  // not an int: level 2
}

class StructuredReader {
public:
    StructuredReader(Work& w, LineSink& sink) : w_(w), display_(w, sink) {}

    // 1 read, 0 not plain, -1 error.
    int block(PyObject* raw) {
        if (!PyDict_CheckExact(raw)) return is_plain(raw) ? 1 : 0;  // not a dict: skipped
        Fields f;
        if (!read_fields(raw, f)) return 0;
        Kind kind = kind_of(f.type);
        if (kind == Kind::NOT_PLAIN) return 0;
        // A row's text is read only when its cells do not give the row; an
        // exact str's str() and strip() run no code, so it is left unread.
        if (kind == Kind::TABLE_ROW && (!f.text || PyUnicode_CheckExact(f.text))) return table_row(f.cells, f.text);
        NStr raw_text;
        int r = text_value(w_, f.text, raw_text);
        if (r <= 0) return r;
        NStr text = trim(raw_text);
        if (text.empty() && kind != Kind::TABLE_ROW) return 1;
        switch (kind) {
            case Kind::HEADING: {
                int n = heading_hashes(f.level);
                if (!n) return 0;
                display_.heading(n, text);
                return 1;
            }
            case Kind::PARAGRAPH:
                display_.text(text);
                return 1;
            case Kind::LIST_ITEM:
                display_.list_item(text);
                return 1;
            case Kind::TABLE_ROW:
                return table_row(f.cells, raw_text, text);
            default:
                return 1;  // any other type leaves no trace and closes nothing
        }
    }

    size_t finish() {
        display_.finish();
        return display_.blocks();
    }
    // Whether every block written has a line of text.
    bool plain() const { return display_.plain(); }

private:
    // A row whose text is absent or an exact str, not yet read.
    int table_row(PyObject* cells, PyObject* text) {
        if (cells && PyList_CheckExact(cells) && PyList_GET_SIZE(cells) > 0) return table_row(cells, NStr(), NStr());
        const NStr raw_text = text ? NStr::of(text) : NStr();
        return table_row(cells, raw_text, trim(raw_text));
    }
    // The row from `cells` when it is a non-empty list, else from the text
    // by the pipe-row parser.
    int table_row(PyObject* cells, NStr raw_text, NStr text) {
        display_.close_list();
        Row& row_ = display_.row();
        row_.clear();
        if (cells && PyList_CheckExact(cells) && PyList_GET_SIZE(cells) > 0) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
                NStr cell;
                int r = text_value(w_, PyList_GET_ITEM(cells, i), cell);
                if (r <= 0) return r;
                push_view(row_, trim(cell));
            }
        } else if (cells && !is_plain(cells)) {
            return 0;  // a list subclass or another type: the list test may run code
        } else if (!parse_pipe_row(raw_text, row_)) {
            if (!text.empty()) display_.row_text(text);
            return 1;
        }
        display_.table_row(row_.data(), row_.size());
        if (display_.table_rows() == 1)
            for (const NStr& cell : row_) keep(cell);
        return 1;
    }

    // A view that stays pending past this block keeps its str alive: between
    // blocks a signal handler may run Python code that changes the blocks.
    void keep(NStr s) {
        if (s.owner) w_.hold(Py_NewRef(s.owner));
    }

    Work& w_;
    DisplayStream display_;
};

}  // namespace

Py_ssize_t write_structured_body(Work& w, PyObject* blocks, LineSink& sink, bool* plain) {
    auto mark = sink.mark();
    StructuredReader reader(w, sink);
    // The list is walked by index and its size re-read, although nothing
    // here can change it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(blocks); ++i) {
        prefetch_dicts_ahead<4>(blocks, i);
        int r = reader.block(PyList_GET_ITEM(blocks, i));
        if (r < 0 || (r > 0 && interrupted_after(64))) return -1;
        if (r == 0) {
            sink.rollback(mark);
            return NOT_PLAIN;
        }
    }
    const size_t shown = reader.finish();
    if (plain) *plain = reader.plain();
    return static_cast<Py_ssize_t>(shown);
}

}  // namespace arf
