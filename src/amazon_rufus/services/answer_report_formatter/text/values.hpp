// Value rules over arbitrary objects: truth value, type tests, the text of a
// value, trimming, key reads, comparisons and iteration, each with an
// exact-type fast path and the interpreter's generic protocol otherwise.
#pragma once
#include "buffers.hpp"
#include "names.hpp"

namespace arf {

// True for the built-in types whose operations never run Python code.
inline bool is_plain_scalar(PyObject* o) {
    return o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyBool_Check(o) ||
           PyFloat_CheckExact(o);
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
Ref get_key(Handle o, Handle key, PyObject* dflt = nullptr);
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
