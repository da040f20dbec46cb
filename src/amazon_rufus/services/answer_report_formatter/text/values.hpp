// Value rules over arbitrary objects: truth value, type tests, the text of a
// value, trimming, key reads, comparisons and iteration, each with an
// exact-type fast path and the interpreter's generic protocol otherwise.
#pragma once
#include "buffers.hpp"
#include "dict_items.hpp"
#include "names.hpp"

#include <cstring>
#include <string_view>

namespace arf {

// True for the built-in types whose operations never run Python code.
inline bool is_plain_scalar(PyObject* o) {
    return o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyBool_Check(o) ||
           PyFloat_CheckExact(o);
}

// Exact built-in containers and scalars: reading, testing and comparing
// them with a str runs no Python code.
inline bool is_plain(PyObject* o) {
    return is_plain_scalar(o) || PyList_CheckExact(o) || PyDict_CheckExact(o) || PyTuple_CheckExact(o);
}

// A key looked up by read_plain_keys: its interned str and its ASCII text.
struct KeyName {
    PyObject* interned;
    std::string_view text;
};
// Which of `n` names an exact str key is (n when none).  Keys are mostly
// the interned names themselves: those are matched first, by identity,
// before any text is compared.
template <size_t n>
inline size_t key_index(PyObject* key, const KeyName (&names)[n]) {
    size_t i = 0;
    while (i < n && key != names[i].interned) ++i;
    if (i < n || !PyUnicode_IS_ASCII(key)) return i;
    const size_t len = static_cast<size_t>(PyUnicode_GET_LENGTH(key));
    for (i = 0; i < n; ++i)
        if (len == names[i].text.size() && std::memcmp(PyUnicode_DATA(key), names[i].text.data(), len) == 0) break;
    return i;
}
// o.get(name) for each of `n` names, in one pass over an exact dict's items:
// with every key an exact str, equality is the texts' own, as lookups would
// compare them.  values[i] is borrowed, nullptr when absent; false (nothing
// read) when some key is not an exact str.
template <size_t n>
inline bool read_plain_keys(PyObject* dict, const KeyName (&names)[n], PyObject* (&values)[n]) {
    for (size_t i = 0; i < n; ++i) values[i] = nullptr;
    if (const DictEntries e = str_keyed_entries(dict); e.entries) {
        for (Py_ssize_t j = 0; j < e.count; ++j) {
            if (!e.entries[j].value) continue;
            const size_t i = key_index(e.entries[j].key, names);
            if (i < n) values[i] = e.entries[j].value;
        }
        return true;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    // Nothing here runs Python code, so the dict keeps its size: the loop
    // stops at its last item instead of asking for one more.
    for (Py_ssize_t left = PyDict_GET_SIZE(dict); left > 0 && PyDict_Next(dict, &pos, &key, &value); --left) {
        if (!PyUnicode_CheckExact(key)) return false;
        const size_t i = key_index(key, names);
        if (i < n) values[i] = value;
    }
    return true;
}
// str(value or "") of an absent (nullptr) or plain value, untrimmed: a str
// is its own view, an int, bool or float is converted and kept in `arena`.
// 1 done, 0 when the value is not plain (or a non-empty container, whose
// str() would call its items' repr, or an int past the host's digit
// limit), -1 on error.
int plain_text_converted(PyObject* v, Arena& arena, NStr& out);
inline int plain_text(PyObject* v, Arena& arena, NStr& out) {
    if (v && PyUnicode_CheckExact(v)) {
        out = NStr::of(v);
        return 1;
    }
    if (!v) {  // an absent key
        out = NStr::of(N.empty);
        return 1;
    }
    return plain_text_converted(v, arena, out);
}

// Long native loops look for a pending signal (Ctrl-C) once every so many
// code units they have worked through: true when a handler raised.
extern size_t g_units_since_signal_check;
bool signal_raised();
inline bool interrupted_after(size_t units) {
    g_units_since_signal_check += units;
    if (g_units_since_signal_check < (size_t(256) << 10)) return false;
    return signal_raised();
}

// isinstance(o, type) as the host decides it: an instance passes at once,
// anything else is asked for its `__class__`, which may run Python code and
// may even claim the type (-1 on error).  Code after a true answer must not
// assume the object's layout.
int is_a(PyObject* o, PyTypeObject* type);
// Truth value (-1 on error).
int truth(PyObject* o);
// str(o), a new reference.
Ref text_of(Handle o);
// format(o, ""), a new reference.
Ref format_of(Handle o);
// A text value: a view, or, when a value's own methods gave something other
// than an exact str, that object (borrowed; its owner keeps it alive).
struct TextVal {
    NStr s;
    PyObject* obj = nullptr;
    bool opaque() const { return obj != nullptr; }
};
// Truth value of a text value (-1 on error).
inline int truth_of(const TextVal& v) {
    if (!v.obj) return !v.s.empty();
    if (PyUnicode_CheckExact(v.obj)) return PyUnicode_GET_LENGTH(v.obj) != 0;
    return PyObject_IsTrue(v.obj);
}
// trim(str(o or "")), kept in the arena; false on error.  When str(o) is not
// an exact str, its own strip() decides; a result that is not an exact str
// comes back opaque.
bool trimmed_value(PyObject* o, Arena& arena, TextVal& out);
// s.strip() of a str that is not exact, as a text value.
bool stripped_value(PyObject* s, Arena& arena, TextVal& out);
// o.get(key) / o.get(key, dflt): a new reference, nullptr on error.
Ref get_key_generic(Handle o, Handle key, PyObject* dflt);
// The entry of an ASCII str key in a str-keyed table, found by comparing
// texts (no error is possible there); nullptr when absent.
inline const DictEntry* entry_of(const DictEntries& e, PyObject* key) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(key);
    const void* text = PyUnicode_DATA(key);
    for (Py_ssize_t j = 0; j < e.count; ++j) {
        PyObject* k = e.entries[j].key;
        if (!e.entries[j].value) continue;
        if (k == key || (PyUnicode_GET_LENGTH(k) == len && PyUnicode_IS_ASCII(k) &&
                         std::memcmp(PyUnicode_DATA(k), text, static_cast<size_t>(len)) == 0))
            return &e.entries[j];
    }
    return nullptr;
}
inline Ref get_key(Handle o, Handle key, PyObject* dflt = nullptr) {
    if (PyDict_CheckExact(o)) {
        // Answers are small dicts read by a handful of names: a scan of a
        // table of a few str keys costs less than a hashed lookup, above
        // all when the name is absent.
        if (const DictEntries e = str_keyed_entries(o);
            e.entries && e.count <= 8 && PyUnicode_CheckExact(key) && PyUnicode_IS_ASCII(key)) {
            const DictEntry* found = entry_of(e, key);
            return borrow(found ? found->value : dflt ? dflt : Py_None);
        }
        // An exact dict's lookup, inline: it is what most reads are.
        PyObject* v = PyDict_GetItemWithError(o, key);
        if (v) return borrow(v);
        if (PyErr_Occurred()) return Ref();
        return borrow(dflt ? dflt : Py_None);
    }
    return get_key_generic(o, key, dflt);
}
// o == text, by the host's comparison (-1 on error).
int equals_text(PyObject* o, PyObject* text);
// o != text, by the host's comparison (its own __ne__; -1 on error).
int differs_from_text(PyObject* o, PyObject* text);

// Walks the items of `seq` as a host `for` loop does: an exact list by index,
// re-reading its size; anything else through the iterator protocol.  `f`
// receives a borrowed item and returns false to stop with an error.
template <class F>
bool for_each_item(PyObject* seq, F&& f) {
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            Ref item = borrow(PyList_GET_ITEM(seq, i));
            if (!f(item.get())) return false;
        }
        return true;
    }
    Ref it = steal(PyObject_GetIter(seq));
    if (!it) return false;
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref item = steal(raw);
        if (!f(item.get())) return false;
    }
    return !PyErr_Occurred();
}

// Appends the decimal text of an int (the host's str() of it).
bool append_int_text(TextBuf& buf, PyObject* value);

// s.strip() for any str (a subclass's own strip is honoured).
Ref strip_text(Handle s);

}  // namespace arf
