// Structured block assembly: runs of list items become one list, runs of
// table rows one table padded or merged to its first row's width; headings
// and paragraphs pass through.
#include "../module/steps.hpp"
#include "blocks.hpp"

namespace arf {

namespace {

// Reads a row's cells as [trim(str(cell or "")) for cell in cells]: native
// views, or, once a cell's own strip() gives something other than an exact
// str, a list of the values themselves.
bool cells_from_list(Work& w, PyObject* cells, RowRef& out) {
    Row* row = w.new_row();
    if (PyList_Check(cells)) row->reserve(static_cast<size_t>(PyList_GET_SIZE(cells)));
    PyObject* list = nullptr;
    bool ok = for_each_item(cells, [&](PyObject* cell) {
        TextVal t;
        if (!trimmed_value(cell, w.arena, t)) return false;
        if (!list && !t.obj) {
            row->push_back(t.s);
            return true;
        }
        if (!list) {
            list = w.hold(row_to_py(*row));
            if (!list) return false;
        }
        Ref value = t.obj ? borrow(t.obj) : to_py(t.s);
        return value && PyList_Append(list, value.get()) == 0;
    });
    if (!ok) return false;
    if (list)
        out.obj = list;
    else
        out.native = row;
    return true;
}

// _parse_pipe_row through the instance on a native text; a truthy result
// fills `row`.  Returns 1 row, 0 none, -1 error.
int pipe_row_step(Ctx& ctx, Work& w, NStr text, PyObject* text_obj, RowRef& row) {
    return at_step(
        ctx, PARSE_PIPE_ROW,
        [&]() -> int {
            // The argument contract turns away a str subclass.
            if (text_obj && !PyUnicode_CheckExact(text_obj)) return accepts(PARSE_PIPE_ROW, 0, text_obj) ? 0 : -1;
            Row cells;
            cells.reserve(8);
            if (!parse_pipe_row(text, cells)) return 0;
            row.native = w.new_row();
            *row.native = std::move(cells);
            return 1;
        },
        [&](const Callee& callee) -> int {
            Ref arg = text_obj ? borrow(text_obj) : to_py(text);
            if (!arg) return -1;
            PyObject* a = arg.get();
            PyObject* r = w.hold(ctx.call(callee, &a, 1));
            if (!r || !check_return(r, &PyList_Type)) return -1;
            int t = truth(r);
            if (t > 0) row.obj = r;
            return t;
        });
}

// The native body of _normalize_structured_row on a dict.
int structured_row_from_dict(Ctx& ctx, Work& w, PyObject* block, RowRef& row) {
    PyObject* cells = w.hold(get_key(block, N.cells));
    if (!cells) return -1;
    int is_list = is_a(cells, &PyList_Type);
    if (is_list < 0) return -1;
    if (is_list) {
        int t = truth(cells);
        if (t < 0) return -1;
        if (t) return cells_from_list(w, cells, row) ? 1 : -1;
    }
    Ref text = get_key(block, N.text);
    if (!text) return -1;
    int t = truth(text.get());
    if (t < 0) return -1;
    PyObject* s = w.hold(t ? text_of(text.get()) : borrow(N.empty));
    if (!s) return -1;
    if (!PyUnicode_Check(s)) {
        PyErr_SetString(PyExc_TypeError, "__str__ returned non-string");
        return -1;
    }
    return pipe_row_step(ctx, w, NStr::of(s), s, row);
}

class Assembler {
public:
    Assembler(Ctx& ctx, Work& w, std::vector<DBlock>& out) : ctx_(ctx), w_(w), blocks_(out) {}
    // One structured block; `raw` is the loose dict it was read from, if any.
    bool add(SBlock& b, const TextVal& text);
    bool finish() { return flush_list() && flush_table(); }

private:
    Ctx& ctx_;
    Work& w_;
    std::vector<DBlock>& blocks_;
    std::vector<TextVal> list_buffer_;
    std::vector<RowRef> table_rows_;

    bool flush_list() {
        if (list_buffer_.empty()) return true;
        DBlock d;
        d.type = DBlock::LIST;
        d.items = std::move(list_buffer_);
        list_buffer_.clear();
        blocks_.push_back(std::move(d));
        return true;
    }
    bool flush_table();
    int normalize_row(SBlock& b, RowRef& row);
    int native_row(SBlock& b, RowRef& row);
    bool normalize_cells(const RowRef& row, Py_ssize_t width, RowRef& out);
    bool heading_level(SBlock& b, PyObject*& level);
    void text_block(const TextVal& text, bool trimmed = true) {
        DBlock d;
        d.type = DBlock::TEXT;
        d.trimmed = trimmed;
        d.text = text;
        blocks_.push_back(std::move(d));
    }
};

// " | ".join(row) of a row of either shape.
bool joined_row(Work& w, const RowRef& row, NStr& out) {
    if (row.native) {
        out = join_cells(w, *row.native);
        return out.data || !PyErr_Occurred();
    }
    Ref sep = steal(PyUnicode_FromString(" | "));
    if (!sep) return false;
    PyObject* s = PyUnicode_Join(sep.get(), row.obj);
    if (!s) return false;
    out = w.arena.keep(s);
    return true;
}

bool row_len(const RowRef& row, Py_ssize_t& n) {
    if (row.native) {
        n = static_cast<Py_ssize_t>(row.native->size());
        return true;
    }
    n = PyObject_Size(row.obj);
    return n >= 0;
}

bool Assembler::flush_table() {
    if (table_rows_.empty()) return true;
    std::vector<RowRef> rows = std::move(table_rows_);
    table_rows_.clear();
    if (rows.size() == 1) {
        NStr text;
        if (!joined_row(w_, rows[0], text)) return false;
        text_block(TextVal{text}, false);
        return true;
    }
    DBlock d;
    d.type = DBlock::TABLE;
    d.header = rows[0];
    Py_ssize_t width;
    if (!row_len(d.header, width)) return false;
    d.rows.reserve(rows.size() - 1);
    for (size_t i = 1; i < rows.size(); ++i) {
        RowRef out;
        if (!normalize_cells(rows[i], width, out)) return false;
        d.rows.push_back(out);
    }
    blocks_.push_back(std::move(d));
    // The next table reuses the row buffer's room.
    rows.clear();
    if (table_rows_.empty()) table_rows_.swap(rows);
    return true;
}

int Assembler::normalize_row(SBlock& b, RowRef& row) {
    return at_step(
        ctx_, NORMALIZE_STRUCTURED_ROW, [&] { return native_row(b, row); },
        [&](const Callee& callee) -> int {
            SBlocks one;
            one.records.push_back(b);
            Ref list = sblocks_to_py_in(w_, one);
            if (!list) return -1;
            PyObject* arg = PyList_GET_ITEM(list.get(), 0);
            PyObject* r = w_.hold(ctx_.call(callee, &arg, 1));
            if (!r) return -1;
            int t = truth(r);
            if (t > 0) row.obj = r;
            return t;
        });
}

// The native _normalize_structured_row on a record or a loose dict.
int Assembler::native_row(SBlock& b, RowRef& row) {
    if (b.raw) {
        if (!accepts(NORMALIZE_STRUCTURED_ROW, 0, b.raw)) return -1;
        return structured_row_from_dict(ctx_, w_, b.raw, row);
    }
    if (b.cells && !b.cells->empty()) {
        row.native = b.cells;  // parser cells are trimmed texts already
        return 1;
    }
    if (b.cells_obj) {
        int is_list = is_a(b.cells_obj, &PyList_Type);
        if (is_list < 0) return -1;
        int t = is_list ? truth(b.cells_obj) : 0;
        if (t < 0) return -1;
        if (t) return cells_from_list(w_, b.cells_obj, row) ? 1 : -1;
    }
    // Only a text is left: str(text or "") goes to the pipe-row parser.
    if (b.text_obj) {
        int t = truth(b.text_obj);
        if (t < 0) return -1;
        PyObject* s = w_.hold(t ? text_of(b.text_obj) : borrow(N.empty));
        if (!s) return -1;
        return pipe_row_step(ctx_, w_, NStr::of(s), s, row);
    }
    return pipe_row_step(ctx_, w_, b.text, nullptr, row);
}

bool pad_or_merge_native(Work& w, const Row& row, Py_ssize_t width, RowRef& out) {
    Py_ssize_t n = static_cast<Py_ssize_t>(row.size());
    Row* r = w.new_row();
    if (n < width) {
        *r = row;
        r->resize(width, NStr::of(N.empty));
    } else {
        r->assign(row.begin(), row.begin() + (width - 1));
        NStr merged = join_cells(w, row, width - 1);
        if (!merged.data && PyErr_Occurred()) return false;
        r->push_back(merged);
    }
    out.native = r;
    return true;
}

bool Assembler::normalize_cells(const RowRef& row, Py_ssize_t width, RowRef& out) {
    // The rows as lists and the width as an int, for a replaced step or the
    // general native route.
    auto call_with_objects = [&](auto&& call) {
        Ref width_obj = steal(PyLong_FromSsize_t(width));
        Ref row_obj = rowref_to_py(row);
        if (!width_obj || !row_obj) return false;
        PyObject* args[2] = {row_obj.get(), width_obj.get()};
        out.obj = w_.hold(call(args));
        return out.obj != nullptr;
    };
    return at_step(
        ctx_, NORMALIZE_ROW_CELLS,
        [&] {
            if (row.native && width >= 1) {
                if (static_cast<Py_ssize_t>(row.native->size()) == width) {
                    out = row;
                    return true;
                }
                return pad_or_merge_native(w_, *row.native, width, out);
            }
            return call_with_objects([&](PyObject** args) -> PyObject* {
                return accepts(NORMALIZE_ROW_CELLS, 0, args[0]) ? py_normalize_row_cells(ctx_.self(), args) : nullptr;
            });
        },
        [&](const Callee& callee) {
            return call_with_objects([&](PyObject** args) { return ctx_.call(callee, args, 2); });
        });
}

// The heading level: max(1, min(6, level)) for an int, anything else 2.
bool Assembler::heading_level(SBlock& b, PyObject*& level) {
    PyObject* value = b.level_obj;
    if (b.raw) {
        value = w_.hold(get_key(b.raw, N.level));
        if (!value) return false;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(value, &overflow);
        if (overflow < 0 || (!overflow && v <= 1)) level = N.small_int[1];
        else if (overflow > 0 || v >= 6) level = N.small_int[6];
        else level = value;
        return true;
    }
    int is_int = is_a(value, &PyLong_Type);
    if (is_int < 0) return false;
    if (!is_int) {
        level = N.small_int[2];
        return true;
    }
    // bool and other int subclasses compare through the number protocol.
    int lt = PyObject_RichCompareBool(value, N.small_int[6], Py_LT);
    if (lt < 0) return false;
    PyObject* v = lt ? value : N.small_int[6];
    int gt = PyObject_RichCompareBool(v, N.small_int[1], Py_GT);
    if (gt < 0) return false;
    level = gt ? v : N.small_int[1];
    return true;
}

bool Assembler::add(SBlock& b, const TextVal& text) {
    switch (b.type) {
        case SBlock::HEADING: {
            if (!flush_list() || !flush_table()) return false;
            DBlock d;
            d.type = DBlock::HEADING;
            d.text = text;
            if (!heading_level(b, d.level)) return false;
            blocks_.push_back(std::move(d));
            return true;
        }
        case SBlock::PARAGRAPH:
            if (!flush_list() || !flush_table()) return false;
            text_block(text);
            return true;
        case SBlock::LIST_ITEM:
            if (!flush_table()) return false;
            // Each list takes its buffer along: start the next one with room.
            if (!list_buffer_.capacity()) list_buffer_.reserve(8);
            list_buffer_.push_back(text);
            return true;
        case SBlock::TABLE_ROW: {
            if (!flush_list()) return false;
            RowRef row;
            int r = normalize_row(b, row);
            if (r < 0) return false;
            if (r) {
                table_rows_.push_back(row);
                return true;
            }
            // A parsed table row carries its text only as its cells.
            TextVal shown = text;
            if (b.cells && !b.text.data && !b.text_obj) {
                NStr joined = join_cells(w_, *b.cells);
                if (!joined.data && PyErr_Occurred()) return false;
                shown = TextVal{trim(joined)};
            }
            int has_text = truth_of(shown);
            if (has_text <= 0) return has_text == 0;
            if (!flush_table()) return false;
            text_block(shown);
            return true;
        }
        case SBlock::OTHER:
            return true;
    }
    return true;
}

// Classifies a loose block's `type` with the host's comparisons, in the
// host's order; `text_empty` adds the leading "!= table_row" test.
int classify(PyObject* type, bool text_empty, SBlock::Type& out) {
    if (text_empty) {
        int other = differs_from_text(type, N.table_row);
        if (other < 0) return -1;
        if (other) return 0;  // skipped
    }
    PyObject* names[4] = {N.heading, N.paragraph, N.list_item, N.table_row};
    SBlock::Type types[4] = {SBlock::HEADING, SBlock::PARAGRAPH, SBlock::LIST_ITEM, SBlock::TABLE_ROW};
    for (int i = 0; i < 4; ++i) {
        int e = equals_text(type, names[i]);
        if (e < 0) return -1;
        if (e) {
            out = types[i];
            return 1;
        }
    }
    out = SBlock::OTHER;
    return 1;
}

// trim(str(text or "")) of a native record's text.
bool record_text(Work& w, const SBlock& b, TextVal& out) {
    if (b.text_obj) return trimmed_value(b.text_obj, w.arena, out);
    out = TextVal{b.trimmed ? b.text : trim(b.text)};
    return true;
}

}  // namespace

bool assemble_blocks(Ctx& ctx, Work& w, SBlocks& in, DBlocks& out) {
    out.native = true;
    out.records.clear();
    Assembler a(ctx, w, out.records);
    if (in.native) {
        out.records.reserve(in.records.size() / 2 + 1);
        for (SBlock& b : in.records) {
            if (interrupted_after(static_cast<size_t>(b.text.len) + 16)) return false;
            TextVal text;
            if (!record_text(w, b, text)) return false;
            int shown = truth_of(text);
            if (shown < 0) return false;
            if (!shown && b.type != SBlock::TABLE_ROW) continue;
            if (!a.add(b, text)) return false;
        }
        return a.finish();
    }
    bool ok = for_each_item(in.obj.get(), [&](PyObject* raw) {
        int is_dict = is_a(raw, &PyDict_Type);
        if (is_dict <= 0) return is_dict == 0;
        Ref type_ref = get_key(raw, N.type);
        PyObject* type = type_ref.get();
        if (!type) return false;
        Ref value = get_key(raw, N.text);
        if (!value) return false;
        TextVal text;
        if (!trimmed_value(value.get(), w.arena, text)) return false;
        int shown = truth_of(text);
        if (shown < 0) return false;
        SBlock b;
        b.raw = raw;
        int c = classify(type, !shown, b.type);
        if (c <= 0) return c == 0;
        return a.add(b, text);
    });
    return ok && a.finish();
}

PyObject* py_build_structured_answer_blocks(PyObject* self, PyObject* const* args) {
    Ctx ctx(self);
    Work w;
    SBlocks in;
    in.native = false;
    in.obj = borrow(args[0]);
    DBlocks out;
    if (!assemble_blocks(ctx, w, in, out)) return nullptr;
    return dblocks_to_py(out).release();
}

PyObject* py_normalize_structured_row(PyObject* self, PyObject* const* args) {
    Ctx ctx(self);
    Work w;
    RowRef row;
    int r = structured_row_from_dict(ctx, w, args[0], row);
    if (r < 0) return nullptr;
    if (row.obj) return Py_NewRef(row.obj);  // handed on from _parse_pipe_row, already checked
    if (!row.native) Py_RETURN_NONE;
    return row_to_py(*row.native).release();
}

PyObject* py_normalize_row_cells(PyObject*, PyObject* const* args) {
    PyObject* row = args[0];
    Py_ssize_t n = PyList_GET_SIZE(row);
    int overflow = 0;
    long long wide = PyLong_AsLongLongAndOverflow(args[1], &overflow);
    if (wide == -1 && PyErr_Occurred()) return nullptr;
    if (overflow > 0 || wide > PY_SSIZE_T_MAX / 16) {
        // row + [""] * (width - len(row)) with the host's own limits: a
        // count past the index range or the memory gives its exception.
        Ref n_obj = steal(PyLong_FromSsize_t(n));
        Ref count = n_obj ? steal(PyNumber_Subtract(args[1], n_obj.get())) : Ref();
        Ref one = steal(PyList_New(1));
        if (!count || !one) return nullptr;
        PyList_SET_ITEM(one.get(), 0, Py_NewRef(N.empty));
        Ref padding = steal(PyNumber_Multiply(one.get(), count.get()));
        if (!padding) return nullptr;
        return PyNumber_Add(row, padding.get());
    }
    // Any width below -n slices the same way as -n - 1.
    Py_ssize_t width = overflow < 0 || wide < -static_cast<long long>(n) - 1 ? -n - 1 : static_cast<Py_ssize_t>(wide);
    if (n == width) return Py_NewRef(row);
    if (n < width) {
        PyObject* padded = PyList_New(width);
        if (!padded) return nullptr;
        for (Py_ssize_t i = 0; i < width; ++i)
            PyList_SET_ITEM(padded, i, Py_NewRef(i < n ? PyList_GET_ITEM(row, i) : N.empty));
        return padded;
    }
    // row[:width - 1] + [" | ".join(row[width - 1:])] with slice clipping.
    Py_ssize_t cut = width - 1;
    if (cut < 0) cut = cut + n < 0 ? 0 : cut + n;
    Ref head = steal(PyList_GetSlice(row, 0, cut));
    Ref tail = steal(PyList_GetSlice(row, cut, n));
    Ref sep = steal(PyUnicode_FromString(" | "));
    if (!head || !tail || !sep) return nullptr;
    Ref merged = steal(PyUnicode_Join(sep.get(), tail.get()));
    if (!merged || PyList_Append(head.get(), merged.get()) < 0) return nullptr;
    return head.release();
}

}  // namespace arf
