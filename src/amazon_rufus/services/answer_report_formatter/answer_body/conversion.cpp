// Block conversion: intermediate blocks (`kind`) to the front end's
// structured blocks (`type`).  Values are copied, never trimmed or checked.
#include "../module/steps.hpp"
#include "blocks.hpp"

namespace arf {

// A text value copied unchanged: an exact str is kept as a view.
static void set_text(Work& w, SBlock& b, PyObject* value) {
    w.hold(value);
    if (PyUnicode_CheckExact(value))
        b.text = NStr::of(value);
    else
        b.text_obj = value;
}

// " | ".join(cells) of a list of any values, kept alive by Work.
static bool join_list(Work& w, PyObject* cells, SBlock& b) {
    Ref sep = steal(PyUnicode_FromString(" | "));
    if (!sep) return false;
    PyObject* joined = PyUnicode_Join(sep.get(), cells);
    if (!joined) return false;
    b.text = w.arena.keep(joined);
    return true;
}

// One loose intermediate block (any object with `get`).
static bool convert_loose(Work& w, PyObject* block, std::vector<SBlock>& out) {
    Ref kind = get_key(block, N.kind);
    if (!kind) return false;
    int is = equals_text(kind.get(), N.heading);
    if (is < 0) return false;
    SBlock b;
    if (is) {
        PyObject* text = get_key(block, N.text, N.empty).release();
        if (!text) return false;
        set_text(w, b, text);
        b.level_obj = w.hold(get_key(block, N.level, N.small_int[2]));
        if (!b.level_obj) return false;
        b.type = SBlock::HEADING;
        out.push_back(b);
        return true;
    }
    if ((is = equals_text(kind.get(), N.list_item)) < 0) return false;
    if (is) {
        PyObject* text = get_key(block, N.text, N.empty).release();
        if (!text) return false;
        set_text(w, b, text);
        b.type = SBlock::LIST_ITEM;
        out.push_back(b);
        return true;
    }
    if ((is = equals_text(kind.get(), N.table)) < 0) return false;
    if (is) {
        PyObject* header = w.hold(get_key(block, N.header));
        if (!header) return false;
        int is_list = is_a(header, &PyList_Type);
        if (is_list < 0) return false;
        if (!is_list) header = w.hold(PyList_New(0));
        if (!header || !join_list(w, header, b)) return false;
        b.type = SBlock::TABLE_ROW;
        b.cells_obj = header;
        out.push_back(b);
        PyObject* rows = w.hold(get_key(block, N.rows));
        if (!rows) return false;
        if ((is_list = is_a(rows, &PyList_Type)) <= 0) return is_list == 0;
        return for_each_item(rows, [&](PyObject* row) {
            int row_is_list = is_a(row, &PyList_Type);
            if (row_is_list <= 0) return row_is_list == 0;
            SBlock r;
            r.type = SBlock::TABLE_ROW;
            r.cells_obj = w.hold(Py_NewRef(row));
            if (!join_list(w, row, r)) return false;
            out.push_back(r);
            return true;
        });
    }
    PyObject* text = get_key(block, N.text, N.empty).release();
    if (!text) return false;
    set_text(w, b, text);
    b.type = SBlock::PARAGRAPH;
    out.push_back(b);
    return true;
}

static bool convert_record(Work& w, IBlock& ib, std::vector<SBlock>& out) {
    SBlock b;
    switch (ib.kind) {
        case IBlock::TEXT:
            b.type = SBlock::PARAGRAPH;
            b.trimmed = true;
            b.text = ib.text;
            out.push_back(b);
            return true;
        case IBlock::HEADING:
            b.type = SBlock::HEADING;
            b.trimmed = true;
            b.text = ib.text;
            b.level_obj = N.small_int[ib.level];
            out.push_back(b);
            return true;
        case IBlock::LIST_ITEM:
            b.type = SBlock::LIST_ITEM;
            b.trimmed = true;
            b.text = ib.text;
            out.push_back(b);
            return true;
        case IBlock::TABLE:
            b.type = SBlock::TABLE_ROW;
            b.cells = ib.header;
            out.push_back(b);
            for (Row* row : ib.rows) {
                SBlock r;
                r.type = SBlock::TABLE_ROW;
                r.cells = row;
                out.push_back(r);
            }
            return true;
        case IBlock::FOREIGN:
            return convert_loose(w, ib.obj, out);
    }
    return true;
}

bool convert_blocks(Ctx&, Work& w, IBlocks& in, SBlocks& out) {
    out.native = true;
    out.records.clear();
    if (in.native) {
        out.records.reserve(in.records.size());
        for (IBlock& b : in.records)
            if (!convert_record(w, b, out.records)) return false;
        return true;
    }
    return for_each_item(in.obj.get(), [&](PyObject* block) { return convert_loose(w, block, out.records); });
}

PyObject* py_to_structured_blocks(PyObject* self, PyObject* const* args) {
    Ctx ctx(self);
    Work w;
    IBlocks in;
    in.native = false;
    in.obj = borrow(args[0]);
    SBlocks out;
    if (!convert_blocks(ctx, w, in, out)) return nullptr;
    return sblocks_to_py_in(w, out).release();
}

}  // namespace arf
