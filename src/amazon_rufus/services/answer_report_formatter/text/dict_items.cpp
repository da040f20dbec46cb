#include "dict_items.hpp"
#include "../module/ref.hpp"

namespace arf {

bool dict_layout::g_verified = false;

namespace {

// Whether `dict` reads through the mirror as exactly the items `keys` and
// `values` (a null value: deleted), in that order.
bool reads_as(PyObject* dict, PyObject* const* keys, PyObject* const* values, Py_ssize_t n) {
    // The head first: a fresh dict of three items has the smallest table,
    // eight one-byte indices, so the entries are read only where they are.
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    const auto* head = reinterpret_cast<const dict_layout::KeysHead*>(d->ma_keys);
    if (d->ma_values || head->log2_size != 3 || head->log2_index_bytes != 3 || head->nentries != n) return false;
    DictEntries e = str_keyed_entries(dict);
    if (!e.entries || e.count != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (e.entries[i].value != values[i]) return false;
        if (values[i] && e.entries[i].key != keys[i]) return false;
    }
    return true;
}

}  // namespace

bool verify_dict_layout() {
    dict_layout::g_verified = false;
    if ((Py_Version >> 16) != (PY_VERSION_HEX >> 16)) return true;  // another interpreter version
    static_assert(sizeof(dict_layout::KeysHead) == 32, "the key table head of a 64-bit build");
    Ref dict = steal(PyDict_New());
    Ref k0 = steal(PyUnicode_FromString("alpha")), k1 = steal(PyUnicode_FromString("beta")),
        k2 = steal(PyUnicode_FromString("gamma"));
    Ref v0 = steal(PyLong_FromLong(1000001)), v1 = steal(PyLong_FromLong(1000002)),
        v2 = steal(PyLong_FromLong(1000003));
    if (!dict || !k0 || !k1 || !k2 || !v0 || !v1 || !v2) return false;
    PyObject* keys[3] = {k0.get(), k1.get(), k2.get()};
    PyObject* values[3] = {v0.get(), v1.get(), v2.get()};
    for (int i = 0; i < 3; ++i)
        if (PyDict_SetItem(dict.get(), keys[i], values[i]) < 0) return false;
    if (PyDict_DelItem(dict.get(), keys[1]) < 0) return false;
    PyObject* after_delete[3] = {values[0], nullptr, values[2]};
    // A key that is not a str turns the table general: it must not read as
    // a str-keyed one.
    Ref mixed = steal(PyDict_New());
    if (!mixed || PyDict_SetItem(mixed.get(), v0.get(), v1.get()) < 0) return false;

    // Tried on the dicts first, so that a mismatch leaves the reads off.
    dict_layout::g_verified = true;
    const bool ok = reads_as(dict.get(), keys, after_delete, 3) && !str_keyed_entries(mixed.get()).entries;
    dict_layout::g_verified = ok;
    return true;
}

}  // namespace arf
