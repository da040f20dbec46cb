// Reading the items of an exact dict without a call per item.
//
// PyDict_Next costs a call and some forty instructions per item, which is a
// good share of the per-block cost of front-end blocks and link lists.  A
// dict whose keys are all exact strs (the interpreter marks its key table
// so) stores its items as (key, value) pairs in insertion order, a deleted
// item's value being null.  That table is read directly here, through a
// mirror of the interpreter's layout that module initialisation checks
// against dicts it builds; where the check fails, or for any other dict,
// the caller goes through PyDict_Next.
#pragma once
#include <Python.h>

#include <cstdint>

namespace arf {

struct DictEntry {
    PyObject* key;
    PyObject* value;  // null for a deleted item
};

// The items of one dict: `count` entries, deleted ones included.
struct DictEntries {
    const DictEntry* entries = nullptr;
    Py_ssize_t count = 0;
};

namespace dict_layout {
// The head of the interpreter's key table, as CPython 3.12 lays it out.
struct KeysHead {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
constexpr uint8_t UNICODE_KEYS = 1;
extern bool g_verified;
}  // namespace dict_layout

// Checks the mirrored layout against dicts built here; on a mismatch the
// direct reads stay off.  Called once, at module initialisation; false only
// on a Python error (memory).
bool verify_dict_layout();

// The entries of an exact dict whose keys are all exact strs, stored in one
// table; entries == nullptr when it is not such a dict (or the layout was
// not verified).
inline DictEntries str_keyed_entries(PyObject* dict) {
    using namespace dict_layout;
    if (!g_verified || !PyDict_CheckExact(dict)) return {};
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    if (d->ma_values) return {};
    const auto* keys = reinterpret_cast<const KeysHead*>(d->ma_keys);
    if (keys->kind != UNICODE_KEYS) return {};
    const char* indices = reinterpret_cast<const char*>(keys) + sizeof(KeysHead);
    return {reinterpret_cast<const DictEntry*>(indices + (size_t(1) << keys->log2_index_bytes)), keys->nentries};
}

// Asks for the memory of the dicts of an exact list a few places after
// place i, a stage further each place nearer: the dict, its key table's
// head, its entries, the first `values` values.  The work per item of the
// lists this serves (front-end blocks) is too long for the processor to
// reach the next item's loads by itself, so each item would wait for its
// dependent cache misses one after another.  Only objects the list holds
// now are read, and prefetches never fault.  The number of items of a
// non-empty dict decides no branch: its key table has room for at least
// five entries (the unused ones zeroed), so the first VALUES entries'
// values are asked for whatever the count, and null ones are harmless.  Always inlined: a
// function with no effect but prefetches would have its calls dropped.
template <int VALUES>
__attribute__((always_inline)) inline void prefetch_dicts_ahead(PyObject* list, Py_ssize_t i) {
    static_assert(VALUES <= 5, "a key table holds at least five entries");
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (i + 4 < n) __builtin_prefetch(PyList_GET_ITEM(list, i + 4));
    if (i + 3 < n) {
        PyObject* d = PyList_GET_ITEM(list, i + 3);
        if (PyDict_CheckExact(d)) __builtin_prefetch(reinterpret_cast<PyDictObject*>(d)->ma_keys);
    }
    if (i + 2 < n) {
        DictEntries e = str_keyed_entries(PyList_GET_ITEM(list, i + 2));
        if (e.entries && e.count) {
            __builtin_prefetch(e.entries);
            __builtin_prefetch(e.entries + e.count - 1);
        }
    }
    if (i + 1 < n) {
        DictEntries e = str_keyed_entries(PyList_GET_ITEM(list, i + 1));
        if (e.entries && e.count)
            for (int k = 0; k < VALUES; ++k) __builtin_prefetch(e.entries[k].value);
    }
}

}  // namespace arf
