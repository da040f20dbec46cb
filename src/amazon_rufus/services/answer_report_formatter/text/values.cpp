// Value rules shared by every step.
#include "values.hpp"

#include <cstring>

namespace arf {

size_t g_units_since_signal_check = 0;

bool signal_raised() {
    g_units_since_signal_check = 0;
    return PyErr_CheckSignals() < 0;
}

int is_a(PyObject* o, PyTypeObject* type) {
    if (PyObject_TypeCheck(o, type)) return 1;
    // The built-in types whose `__class__` is their own answer at once.
    if (o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyBool_Check(o) ||
        PyFloat_CheckExact(o) || PyList_CheckExact(o) || PyDict_CheckExact(o) || PyTuple_CheckExact(o))
        return 0;
    return PyObject_IsInstance(o, reinterpret_cast<PyObject*>(type));
}

int truth(PyObject* o) {
    if (o == Py_True) return 1;
    if (o == Py_False || o == Py_None) return 0;
    if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) != 0;
    if (PyList_CheckExact(o)) return PyList_GET_SIZE(o) != 0;
    if (PyDict_CheckExact(o)) return PyDict_GET_SIZE(o) != 0;
    if (PyTuple_CheckExact(o)) return PyTuple_GET_SIZE(o) != 0;
    if (PyLong_CheckExact(o) || PyFloat_CheckExact(o)) return PyObject_IsTrue(o);
    return PyObject_IsTrue(o);
}

Ref text_of(Handle o) {
    if (PyUnicode_CheckExact(o)) return steal(Py_NewRef(o));
    return steal(PyObject_Str(o));
}

Ref format_of(Handle o) {
    if (PyUnicode_CheckExact(o)) return steal(Py_NewRef(o));
    if (is_plain_scalar(o)) return steal(PyObject_Str(o));
    return steal(PyObject_Format(o, N.empty));
}

bool stripped_value(PyObject* s, Arena& arena, TextVal& out) {
    out = TextVal{};
    if (PyUnicode_CheckExact(s)) {
        if (PyUnicode_GET_LENGTH(s)) out.s = trim(arena.keep(Py_NewRef(s)));
        return true;
    }
    PyObject* r = PyObject_CallMethodNoArgs(s, N.strip);
    if (!r) return false;
    arena.hold(r);
    if (PyUnicode_CheckExact(r))
        out.s = NStr::of(r);  // used as the object's strip() gave it
    else
        out.obj = r;
    return true;
}

bool trimmed_value(PyObject* o, Arena& arena, TextVal& out) {
    if (PyUnicode_CheckExact(o)) return stripped_value(o, arena, out);
    int t = truth(o);
    if (t < 0) return false;
    if (!t) {
        out = TextVal{};
        return true;
    }
    Ref s = text_of(o);
    if (!s) return false;
    return stripped_value(s.get(), arena, out);
}

// o.get(key[, dflt]) on anything but an exact dict.
Ref get_key_generic(Handle o, Handle key, PyObject* dflt) {
    if (dflt) return steal(PyObject_CallMethodObjArgs(o, N.get, key, dflt, nullptr));
    return steal(PyObject_CallMethodObjArgs(o, N.get, key, nullptr));
}

// Equality of two exact strs without the generic comparison's overhead:
// equal strs share their kind, since a str always uses its narrowest kind.
static bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), n * PyUnicode_KIND(a)) == 0;
}

// o == text (op Py_EQ) or o != text (Py_NE) by the host's comparison.
static int compare_text(PyObject* o, PyObject* text, int op) {
    if (PyUnicode_CheckExact(o)) return same_text(o, text) == (op == Py_EQ);
    if (o == Py_None || PyLong_CheckExact(o) || PyBool_Check(o) || PyFloat_CheckExact(o) ||
        PyList_CheckExact(o) || PyDict_CheckExact(o) || PyTuple_CheckExact(o))
        return op == Py_NE;
    PyObject* r = PyObject_RichCompare(o, text, op);
    if (!r) return -1;
    int t = PyObject_IsTrue(r);
    Py_DECREF(r);
    return t;
}

int equals_text(PyObject* o, PyObject* text) { return compare_text(o, text, Py_EQ); }

int differs_from_text(PyObject* o, PyObject* text) { return compare_text(o, text, Py_NE); }

int plain_text_converted(PyObject* v, Arena& arena, NStr& out) {
    if (!v || v == Py_None) {
        out = NStr::of(N.empty);
        return 1;
    }
    if (!is_plain(v)) return 0;
    int t = PyObject_IsTrue(v);  // no code runs for these types
    if (t <= 0) {
        out = NStr::of(N.empty);
        return t < 0 ? -1 : 1;
    }
    if (PyList_CheckExact(v) || PyDict_CheckExact(v) || PyTuple_CheckExact(v)) return 0;
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow) return 0;
    }
    PyObject* s = PyObject_Str(v);
    if (!s) return -1;
    out = arena.keep(s);
    return 1;
}

bool append_int_text(TextBuf& buf, PyObject* value) {
    int overflow = 0;
    long long v;
    if (PyLong_CheckExact(value) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
        v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));  // a position, mostly
    } else {
        v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
    }
    if (!overflow) {
        // Decimal digits written from the end, two at a time; snprintf
        // costs more than the rest of a small section.
        static constexpr char PAIRS[] =
            "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
            "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
            "8081828384858687888990919293949596979899";
        char digits[24];
        char* end = digits + sizeof digits;
        char* p = end;
        unsigned long long m = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        while (m >= 100) {
            const unsigned pair = static_cast<unsigned>(m % 100) * 2;
            m /= 100;
            *--p = PAIRS[pair + 1];
            *--p = PAIRS[pair];
        }
        if (m >= 10) {
            *--p = PAIRS[m * 2 + 1];
            *--p = PAIRS[m * 2];
        } else {
            *--p = static_cast<char>('0' + m);
        }
        if (v < 0) *--p = '-';
        buf.append_ascii(std::string_view(p, static_cast<size_t>(end - p)));
        return true;
    }
    PyObject* text = PyObject_Str(value);
    if (!text) return false;
    buf.append(NStr::of(text));
    Py_DECREF(text);
    return true;
}

Ref strip_text(Handle s) {
    if (PyUnicode_CheckExact(s)) return to_py(trim(NStr::of(s)));
    return steal(PyObject_CallMethodNoArgs(s, N.strip));
}

}  // namespace arf
