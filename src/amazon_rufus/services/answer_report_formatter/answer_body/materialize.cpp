// Block records as the interpreter's dicts, for replaced steps and for
// direct calls from Python.  Keys are inserted in the block model's order.
#include "blocks.hpp"

namespace arf {

// A new list of one(item) for each item; one() gives new references.
template <class Items, class F>
static PyObject* list_of(Items& items, F&& one) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* item = one(items[i]);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

Ref row_to_py(const Row& row) {
    return steal(list_of(row, [](const NStr& cell) { return to_py(cell).release(); }));
}

Ref rowref_to_py(const RowRef& row) { return row.native ? row_to_py(*row.native) : borrow(row.obj); }

NStr join_cells(Work& w, const NStr* cells, size_t n) {
    if (!n) return NStr::of(N.empty);
    if (n == 1) return cells[0];
    size_t total = 3 * (n - 1);
    int kind = PyUnicode_1BYTE_KIND;
    for (size_t i = 0; i < n; ++i) {
        total += static_cast<size_t>(cells[i].len);
        if (cells[i].kind > kind) kind = cells[i].kind;
    }
    void* out = w.room(total, kind);
    NStr separator = NStr::of(N.cell_separator);
    for (size_t i = 0; i < n; ++i) {
        if (i) out = copy_units(separator, out, kind);
        out = copy_units(cells[i], out, kind);
    }
    return w.stored(total, kind);
}

// Builds a dict from (key, value) pairs; values are new references (nullptr
// means failure and is reported after the others are released).
static PyObject* dict_of(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    PyObject* d = PyDict_New();
    bool ok = d != nullptr;
    for (auto& [k, v] : items) {
        if (ok && (!v || PyDict_SetItem(d, k, v) < 0)) ok = false;
        Py_XDECREF(v);
    }
    if (!ok) {
        Py_XDECREF(d);
        return nullptr;
    }
    return d;
}

static PyObject* text_value(NStr text, PyObject* text_obj) {
    return text_obj ? Py_NewRef(text_obj) : to_py(text).release();
}

static PyObject* text_value(const TextVal& v) { return text_value(v.s, v.obj); }

static PyObject* items_to_py(const std::vector<TextVal>& items) {
    return list_of(items, [](const TextVal& item) { return text_value(item); });
}

static PyObject* rows_to_py(const std::vector<Row*>& rows) {
    return list_of(rows, [](const Row* row) { return row_to_py(*row).release(); });
}

static PyObject* iblock_to_py(const IBlock& b) {
    switch (b.kind) {
        case IBlock::TEXT:
            return dict_of({{N.kind, Py_NewRef(N.text)}, {N.text, to_py(b.text).release()}});
        case IBlock::HEADING:
            return dict_of({{N.kind, Py_NewRef(N.heading)}, {N.level, PyLong_FromLong(b.level)}, {N.text, to_py(b.text).release()}});
        case IBlock::LIST_ITEM:
            return dict_of({{N.kind, Py_NewRef(N.list_item)}, {N.text, to_py(b.text).release()}});
        case IBlock::TABLE:
            return dict_of({{N.kind, Py_NewRef(N.table)}, {N.header, row_to_py(*b.header).release()}, {N.rows, rows_to_py(b.rows)}});
        case IBlock::FOREIGN:
            return Py_NewRef(b.obj);
    }
    return nullptr;
}

static PyObject* sblock_to_py(Work& w, const SBlock& b) {
    if (b.raw) return Py_NewRef(b.raw);
    switch (b.type) {
        case SBlock::HEADING:
            return dict_of({{N.type, Py_NewRef(N.heading)}, {N.text, text_value(b.text, b.text_obj)},
                            {N.level, Py_NewRef(b.level_obj)}});
        case SBlock::PARAGRAPH:
            return dict_of({{N.type, Py_NewRef(N.paragraph)}, {N.text, text_value(b.text, b.text_obj)}});
        case SBlock::LIST_ITEM:
            return dict_of({{N.type, Py_NewRef(N.list_item)}, {N.text, text_value(b.text, b.text_obj)}});
        case SBlock::TABLE_ROW: {
            if (b.cells_obj)
                return dict_of({{N.type, Py_NewRef(N.table_row)}, {N.text, text_value(b.text, b.text_obj)},
                                {N.cells, Py_NewRef(b.cells_obj)}});
            NStr text = b.text_obj || b.text.data ? b.text : join_cells(w, *b.cells);
            if (!text.data && PyErr_Occurred()) return nullptr;
            return dict_of({{N.type, Py_NewRef(N.table_row)}, {N.text, text_value(text, b.text_obj)},
                            {N.cells, row_to_py(*b.cells).release()}});
        }
        case SBlock::OTHER:
            break;
    }
    PyErr_SetString(PyExc_SystemError, "unexpected structured block record");
    return nullptr;
}

static PyObject* dblock_to_py(const DBlock& b) {
    switch (b.type) {
        case DBlock::HEADING:
            return dict_of({{N.type, Py_NewRef(N.heading)}, {N.text, text_value(b.text)}, {N.level, Py_NewRef(b.level)}});
        case DBlock::TEXT:
            return dict_of({{N.type, Py_NewRef(N.text)}, {N.text, text_value(b.text)}});
        case DBlock::LIST:
            return dict_of({{N.type, Py_NewRef(N.list)}, {N.items, items_to_py(b.items)}});
        case DBlock::TABLE: {
            PyObject* rows = list_of(b.rows, [](const RowRef& row) { return rowref_to_py(row).release(); });
            return dict_of({{N.type, Py_NewRef(N.table)}, {N.header, rowref_to_py(b.header).release()}, {N.rows, rows}});
        }
    }
    return nullptr;
}

Ref iblocks_to_py(IBlocks& b) {
    if (!b.native) return b.obj;
    return steal(list_of(b.records, [](IBlock& r) { return iblock_to_py(r); }));
}

Ref sblocks_to_py_in(Work& w, SBlocks& b) {
    if (!b.native) return b.obj;
    return steal(list_of(b.records, [&](SBlock& r) { return sblock_to_py(w, r); }));
}

Ref dblocks_to_py(DBlocks& b) {
    if (!b.native) return b.obj;
    return steal(list_of(b.records, [](DBlock& r) { return dblock_to_py(r); }));
}

}  // namespace arf
