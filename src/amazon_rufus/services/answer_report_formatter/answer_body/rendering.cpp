// Block rendering: display blocks to Markdown-like lines.  One empty line
// goes before every block but the first, even when the block adds nothing.
#include "../module/steps.hpp"
#include "blocks.hpp"

#include <cstring>

namespace arf {

namespace {

constexpr std::u32string_view HASHES = U"######";

// The text of a heading, list item or block value as an f-string writes it.
bool append_formatted(Work& w, TextBuf& buf, const TextVal& v) {
    if (!v.obj) {
        buf.append(v.s);
        return true;
    }
    Ref s = format_of(v.obj);
    if (!s) return false;
    buf.append(w.arena.keep(std::move(s)));
    return true;
}

// Trims the text written since `start` at both ends, in place.
void trim_written(TextBuf& buf, size_t start) {
    NStr line = buf.view(start, buf.size());
    NStr t = trim(line);
    size_t lead = static_cast<size_t>((static_cast<const char*>(t.data) - static_cast<const char*>(line.data)) / line.kind);
    if (lead && t.len)
        std::memmove(static_cast<char*>(buf.data()) + start * buf.kind(), t.data, static_cast<size_t>(t.len) * buf.kind());
    buf.truncate(start + static_cast<size_t>(t.len));
}

// The prefix "#" * min(6, max(1, level + 2)) of an int level: `n` for a small
// exact int, otherwise the host's own arithmetic, comparisons and repetition
// give `prefix` (as an f-string formats it).
bool heading_prefix(Work& w, PyObject* level, int& n, NStr& prefix) {
    n = 0;
    if (PyLong_CheckExact(level)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(level, &overflow);
        if (overflow) n = overflow > 0 ? 6 : 1;
        else n = v + 2 <= 1 ? 1 : v + 2 >= 6 ? 6 : static_cast<int>(v + 2);
        return true;
    }
    Ref sum = steal(PyNumber_Add(level, N.small_int[2]));
    if (!sum) return false;
    int gt = PyObject_RichCompareBool(sum.get(), N.small_int[1], Py_GT);  // max(1, sum)
    if (gt < 0) return false;
    Ref count = gt ? sum : borrow(N.small_int[1]);
    int lt = PyObject_RichCompareBool(count.get(), N.small_int[6], Py_LT);  // min(6, ...)
    if (lt < 0) return false;
    if (!lt) count = borrow(N.small_int[6]);
    Ref hash = steal(PyUnicode_FromOrdinal('#'));
    if (!hash) return false;
    Ref repeated = steal(PyNumber_Multiply(hash.get(), count.get()));
    if (!repeated) return false;
    Ref s = format_of(repeated.get());
    if (!s) return false;
    prefix = w.arena.keep(std::move(s));
    return true;
}

// f"{prefix} {text}".strip() for a heading: the level's prefix, then the
// text, which is read only after the prefix is known.
template <class ReadText>
bool heading_line(Work& w, LineSink& sink, PyObject* level, ReadText&& read_text) {
    int n;
    NStr prefix;
    if (!heading_prefix(w, level, n, prefix)) return false;
    TextVal text;
    if (!read_text(text)) return false;
    sink.begin_line();
    TextBuf& buf = sink.buf();
    size_t start = buf.size();
    if (n && !text.obj) {
        // "#" never starts with whitespace: only the text's end is trimmed.
        buf.append(HASHES.substr(0, static_cast<size_t>(n)));
        NStr t = rtrim(text.s);
        if (!t.empty()) {
            buf.push(' ');
            buf.append(t);
        }
        return true;
    }
    if (n)
        buf.append(HASHES.substr(0, static_cast<size_t>(n)));
    else
        buf.append(prefix);
    buf.push(' ');
    if (!append_formatted(w, buf, text)) return false;
    trim_written(buf, start);
    return true;
}

}  // namespace

void short_heading_line(LineSink& sink, int n, const NStr& text) {
    sink.begin_line();
    TextBuf& buf = sink.buf();
    buf.append(HASHES.substr(0, static_cast<size_t>(n)));
    NStr t = rtrim(text);
    if (!t.empty()) {
        buf.push(' ');
        buf.append(t);
    }
}

namespace {

template <class O>
void write_table_line(O* o, const NStr* cells, size_t n, size_t empty) {
    *o++ = O('|');
    *o++ = O(' ');
    for (size_t i = 0; i < n; ++i) {
        if (i) {
            *o++ = O(' ');
            *o++ = O('|');
            *o++ = O(' ');
        }
        o = put_units(o, cells[i]);
    }
    for (size_t i = 0; i < empty; ++i) {
        *o++ = O(' ');
        *o++ = O('|');
        *o++ = O(' ');
    }
    *o++ = O(' ');
    *o = O('|');
}

}  // namespace

void table_line(LineSink& sink, const NStr* cells, size_t n, size_t empty) {
    sink.begin_line();
    // Sized first and written in one piece.
    size_t total = 4 + (n + empty ? 3 * (n + empty - 1) : 0);
    // The widest kind, from the kinds (1, 2 or 4) or-ed together: no branch
    // per cell on which is wider.
    int kinds = PyUnicode_1BYTE_KIND;
    for (size_t i = 0; i < n; ++i) {
        total += static_cast<size_t>(cells[i].len);
        kinds |= cells[i].kind;
    }
    const int kind = kinds & PyUnicode_4BYTE_KIND ? PyUnicode_4BYTE_KIND : kinds & PyUnicode_2BYTE_KIND ? PyUnicode_2BYTE_KIND : PyUnicode_1BYTE_KIND;
    TextBuf& buf = sink.buf();
    void* room = buf.raw_room(total, kind);
    switch (buf.kind()) {
        case PyUnicode_1BYTE_KIND: write_table_line(static_cast<Py_UCS1*>(room), cells, n, empty); break;
        case PyUnicode_2BYTE_KIND: write_table_line(static_cast<Py_UCS2*>(room), cells, n, empty); break;
        default: write_table_line(static_cast<Py_UCS4*>(room), cells, n, empty);
    }
    buf.commit(total);
}

void delimiter_line(LineSink& sink, size_t columns) {
    sink.begin_line();
    TextBuf& buf = sink.buf();
    buf.append_ascii("| ---");
    for (size_t i = 1; i < columns; ++i) buf.append_ascii(" | ---");
    buf.append_ascii(" |");
}

namespace {

// [str(cell) for cell in row] of a row of any shape.
bool row_texts(Work& w, const RowRef& row, std::vector<NStr>& out) {
    out.clear();
    if (row.native) {
        out = *row.native;
        return true;
    }
    return for_each_item(row.obj, [&](PyObject* cell) {
        Ref s = text_of(cell);
        if (!s) return false;
        out.push_back(w.arena.keep(std::move(s)));
        return true;
    });
}

// level if isinstance(level, int) else 2
bool int_level_or_two(PyObject*& level) {
    if (PyLong_CheckExact(level)) return true;
    int is = is_a(level, &PyLong_Type);
    if (is < 0) return false;
    if (!is) level = N.small_int[2];
    return true;
}

// The text-block rule: trim(str(text or "")) written when it is truthy.
bool text_rule(Work& w, PyObject* value, LineSink& sink) {
    TextVal t;
    if (!trimmed_value(value, w.arena, t)) return false;
    if (!t.obj) {
        if (!t.s.empty()) sink.line(t.s);
        return true;
    }
    int keep = truth_of(t);
    if (keep <= 0) return keep == 0;
    return sink.item(t.obj);
}

bool list_line(Work& w, LineSink& sink, const TextVal& item) {
    sink.begin_line();
    sink.buf().append_ascii("- ");
    return append_formatted(w, sink.buf(), item);
}

bool render_record(Work& w, DBlock& b, LineSink& sink) {
    switch (b.type) {
        case DBlock::HEADING: {
            PyObject* level = b.level;
            if (!int_level_or_two(level)) return false;
            return heading_line(w, sink, level, [&](TextVal& text) {
                text = b.text;
                return true;
            });
        }
        case DBlock::TEXT: {
            if (b.text.obj) return text_rule(w, b.text.obj, sink);
            NStr t = b.trimmed ? b.text.s : trim(b.text.s);
            if (!t.empty()) sink.line(t);
            return true;
        }
        case DBlock::LIST:
            for (const TextVal& item : b.items)
                if (!list_line(w, sink, item)) return false;
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
                int is_list = is_a(row.obj, &PyList_Type);
                if (is_list < 0) return false;
                if (!is_list) continue;
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
    Ref type = get_key(block, N.type);
    if (!type) return false;
    int is = equals_text(type.get(), N.heading);
    if (is < 0) return false;
    if (is) {
        Ref level_ref = get_key(block, N.level);
        if (!level_ref) return false;
        PyObject* level = level_ref.get();
        if (!int_level_or_two(level)) return false;
        return heading_line(w, sink, level, [&](TextVal& text) {
            PyObject* value = w.hold(get_key(block, N.text, N.empty));
            if (!value) return false;
            text = TextVal{};
            if (PyUnicode_CheckExact(value))
                text.s = NStr::of(value);
            else
                text.obj = value;
            return true;
        });
    }
    if ((is = equals_text(type.get(), N.list)) < 0) return false;
    if (is) {
        Ref empty = steal(PyList_New(0));
        if (!empty) return false;
        Ref items = get_key(block, N.items, empty.get());
        if (!items) return false;
        return for_each_item(items.get(), [&](PyObject* item) {
            TextVal v;
            if (PyUnicode_CheckExact(item))
                v.s = NStr::of(item);  // the list keeps it alive while it is written
            else
                v.obj = item;
            return list_line(w, sink, v);
        });
    }
    if ((is = equals_text(type.get(), N.table)) < 0) return false;
    if (is) {
        Ref empty = steal(PyList_New(0));
        if (!empty) return false;
        Ref header_obj = get_key(block, N.header, empty.get());
        if (!header_obj) return false;
        std::vector<NStr> header, cells;
        RowRef h;
        h.obj = header_obj.get();
        if (!row_texts(w, h, header)) return false;
        Ref rows = get_key(block, N.rows, empty.get());
        if (!rows) return false;
        if (header.empty()) return true;
        table_line(sink, header);
        delimiter_line(sink, header.size());
        return for_each_item(rows.get(), [&](PyObject* row) {
            int is_list = is_a(row, &PyList_Type);
            if (is_list <= 0) return is_list == 0;
            RowRef r;
            r.obj = row;
            if (!row_texts(w, r, cells)) return false;
            table_line(sink, cells);
            return true;
        });
    }
    Ref text = get_key(block, N.text);
    return text && text_rule(w, text.get(), sink);
}

}  // namespace

bool render_blocks(Ctx&, Work& w, DBlocks& in, LineSink& sink) {
    const Py_ssize_t first = sink.count();
    if (in.native) {
        for (DBlock& b : in.records) {
            size_t before = sink.buf().size();
            if (sink.count() > first) sink.line(std::u32string_view());
            if (!render_record(w, b, sink)) return false;
            if (interrupted_after(sink.buf().size() - before + 16)) return false;
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
