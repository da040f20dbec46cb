// Block rendering: display blocks to Markdown-like lines.  One empty line
// goes before every block but the first, even when the block adds nothing.
#include "../module/impls.hpp"
#include "blocks.hpp"

namespace arf {

namespace {

constexpr std::u32string_view HASHES = U"######";

// "#" * n + " " + text, trimmed as a whole: the prefix never starts with
// whitespace, so only the text's end is trimmed.
void heading_line(LineSink& sink, int n, NStr text) {
    sink.begin_line();
    TextBuf& buf = sink.buf();
    buf.append(HASHES.substr(0, n));
    NStr t = rtrim(text);
    if (!t.empty()) {
        buf.push(' ');
        buf.append(t);
    }
}

// min(6, max(1, level + 2)) for an int level (-1 on error).
int prefix_length(PyObject* level) {
    if (PyLong_CheckExact(level)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(level, &overflow);
        if (overflow) return overflow > 0 ? 6 : 1;
        if (v + 2 <= 1) return 1;
        return v + 2 >= 6 ? 6 : static_cast<int>(v + 2);
    }
    may_run_python();
    Ref n = steal(PyNumber_Add(level, N.small_int[2]));
    if (!n) return -1;
    int gt = PyObject_RichCompareBool(n.get(), N.small_int[1], Py_GT);
    if (gt < 0) return -1;
    Ref v = gt ? n : borrow(N.small_int[1]);
    int lt = PyObject_RichCompareBool(v.get(), N.small_int[6], Py_LT);
    if (lt < 0) return -1;
    if (!lt) return 6;
    Py_ssize_t r = PyNumber_AsSsize_t(v.get(), PyExc_OverflowError);
    if (r == -1 && PyErr_Occurred()) return -1;
    return r < 0 ? 0 : static_cast<int>(r);
}

void table_line(LineSink& sink, const std::vector<NStr>& cells) {
    sink.begin_line();
    TextBuf& buf = sink.buf();
    buf.append_ascii("| ");
    for (size_t i = 0; i < cells.size(); ++i) {
        if (i) buf.append_ascii(" | ");
        buf.append(cells[i]);
    }
    buf.append_ascii(" |");
}

void delimiter_line(LineSink& sink, size_t columns) {
    sink.begin_line();
    TextBuf& buf = sink.buf();
    buf.append_ascii("| ---");
    for (size_t i = 1; i < columns; ++i) buf.append_ascii(" | ---");
    buf.append_ascii(" |");
}

// [str(cell) for cell in row] of a row of any shape.
bool row_texts(Work& w, const RowRef& row, std::vector<NStr>& out) {
    out.clear();
    if (row.native) {
        out = *row.native;
        return true;
    }
    return for_each_item(row.obj, [&](PyObject* cell) {
        PyObject* s = text_of(cell);
        if (!s) return false;
        out.push_back(w.arena.keep(s));
        return true;
    });
}

bool render_record(Work& w, DBlock& b, LineSink& sink) {
    switch (b.type) {
        case DBlock::HEADING: {
            int n = prefix_length(b.level);
            if (n < 0) return false;
            heading_line(sink, n, b.text);
            return true;
        }
        case DBlock::TEXT: {
            NStr t = b.trimmed ? b.text : trim(b.text);
            if (!t.empty()) sink.line(t);
            return true;
        }
        case DBlock::LIST:
            for (const NStr& item : b.items) {
                sink.begin_line();
                sink.buf().append_ascii("- ");
                sink.buf().append(item);
            }
            return true;
        case DBlock::TABLE: {
            std::vector<NStr> cells;
            if (!row_texts(w, b.header, cells)) return false;
            if (cells.empty()) return true;
            table_line(sink, cells);
            delimiter_line(sink, cells.size());
            for (const RowRef& row : b.rows) {
                if (row.native) {
                    table_line(sink, *row.native);  // native cells are texts already
                    continue;
                }
                if (!PyList_Check(row.obj)) continue;
                if (!row_texts(w, row, cells)) return false;
                table_line(sink, cells);
            }
            return true;
        }
    }
    return true;
}

// One loose display block (any object with `get`), read in the host's order.
bool render_loose(Work& w, PyObject* block, LineSink& sink) {
    Ref type = steal(get_key(block, N.type));
    if (!type) return false;
    int is = equals_text(type.get(), N.heading);
    if (is < 0) return false;
    if (is) {
        Ref level = steal(get_key(block, N.level));
        if (!level) return false;
        int n = PyLong_Check(level.get()) ? prefix_length(level.get()) : 4;
        if (n < 0) return false;
        Ref text = steal(get_key(block, N.text, N.empty));
        if (!text) return false;
        PyObject* s = format_of(text.get());
        if (!s) return false;
        heading_line(sink, n, w.arena.keep(s));
        return true;
    }
    if ((is = equals_text(type.get(), N.list)) < 0) return false;
    if (is) {
        Ref empty = steal(PyList_New(0));
        if (!empty) return false;
        Ref items = steal(get_key(block, N.items, empty.get()));
        if (!items) return false;
        return for_each_item(items.get(), [&](PyObject* item) {
            PyObject* s = format_of(item);
            if (!s) return false;
            sink.begin_line();
            sink.buf().append_ascii("- ");
            sink.buf().append(w.arena.keep(s));
            return true;
        });
    }
    if ((is = equals_text(type.get(), N.table)) < 0) return false;
    if (is) {
        Ref empty = steal(PyList_New(0));
        if (!empty) return false;
        Ref header_obj = steal(get_key(block, N.header, empty.get()));
        if (!header_obj) return false;
        std::vector<NStr> header, cells;
        RowRef h;
        h.obj = header_obj.get();
        if (!row_texts(w, h, header)) return false;
        Ref rows = steal(get_key(block, N.rows, empty.get()));
        if (!rows) return false;
        if (header.empty()) return true;
        table_line(sink, header);
        delimiter_line(sink, header.size());
        return for_each_item(rows.get(), [&](PyObject* row) {
            if (!PyList_Check(row)) return true;
            RowRef r;
            r.obj = row;
            if (!row_texts(w, r, cells)) return false;
            table_line(sink, cells);
            return true;
        });
    }
    Ref text = steal(get_key(block, N.text));
    if (!text) return false;
    NStr t;
    if (!trimmed_text_or_empty(text.get(), w.arena, t)) return false;
    if (!t.empty()) sink.line(t);
    return true;
}

}  // namespace

bool render_blocks(Ctx&, Work& w, DBlocks& in, LineSink& sink) {
    const Py_ssize_t first = sink.count();
    if (in.native) {
        for (DBlock& b : in.records) {
            if (sink.count() > first) sink.line(std::u32string_view());
            if (!render_record(w, b, sink)) return false;
        }
        return true;
    }
    return for_each_item(in.obj.get(), [&](PyObject* block) {
        if (sink.count() > first) sink.line(std::u32string_view());
        return render_loose(w, block, sink);
    });
}

PyObject* py_render_blocks(PyObject* self, PyObject* const* args) {
    Ctx ctx(self);
    Work w;
    DBlocks in;
    in.native = false;
    in.obj = borrow(args[0]);
    TextBuf buf;
    LineSink sink(buf, true);
    if (!render_blocks(ctx, w, in, sink)) return nullptr;
    return sink.to_list();
}

}  // namespace arf
