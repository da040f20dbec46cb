// Value rules shared by every step.
#include "text.hpp"

#include <cstring>

namespace arf {

uint64_t g_epoch = 0;
Names N;

NStr trim(NStr s) noexcept {
    Py_ssize_t a = 0, b = s.len;
    while (a < b && is_space(s[a])) ++a;
    while (b > a && is_space(s[b - 1])) --b;
    return s.sub(a, b);
}

NStr rtrim(NStr s) noexcept {
    Py_ssize_t b = s.len;
    while (b > 0 && is_space(s[b - 1])) --b;
    return s.sub(0, b);
}

bool eq(NStr s, std::u32string_view lit) noexcept {
    if (static_cast<size_t>(s.len) != lit.size()) return false;
    for (Py_ssize_t i = 0; i < s.len; ++i)
        if (s[i] != lit[i]) return false;
    return true;
}

bool starts_with(NStr s, std::u32string_view lit) noexcept {
    if (static_cast<size_t>(s.len) < lit.size()) return false;
    for (size_t i = 0; i < lit.size(); ++i)
        if (s[i] != lit[i]) return false;
    return true;
}

bool contains(NStr s, Py_UCS4 c) noexcept {
    for (Py_ssize_t i = 0; i < s.len; ++i)
        if (s[i] == c) return true;
    return false;
}

PyObject* to_py(NStr s) noexcept {
    if (s.whole()) return Py_NewRef(s.owner);
    return PyUnicode_FromKindAndData(s.kind, s.data, s.len);
}

void TextBuf::append(NStr s) {
    size_t at = buf_.size();
    buf_.resize(at + s.len);
    Py_UCS4* out = buf_.data() + at;
    switch (s.kind) {
        case PyUnicode_1BYTE_KIND: {
            auto* p = static_cast<const Py_UCS1*>(s.data);
            for (Py_ssize_t i = 0; i < s.len; ++i) out[i] = p[i];
            break;
        }
        case PyUnicode_2BYTE_KIND: {
            auto* p = static_cast<const Py_UCS2*>(s.data);
            for (Py_ssize_t i = 0; i < s.len; ++i) out[i] = p[i];
            break;
        }
        default:
            std::memcpy(out, s.data, s.len * sizeof(Py_UCS4));
    }
}

void TextBuf::append_long(long long v) {
    char tmp[32];
    int n = snprintf(tmp, sizeof tmp, "%lld", v);
    append_ascii(std::string_view(tmp, n));
}

PyObject* TextBuf::to_py(size_t from, size_t to) const noexcept {
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, buf_.data() + from,
                                     static_cast<Py_ssize_t>(to - from));
}

int truth(PyObject* o) noexcept {
    if (o == Py_True) return 1;
    if (o == Py_False || o == Py_None) return 0;
    if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) != 0;
    if (PyList_CheckExact(o)) return PyList_GET_SIZE(o) != 0;
    if (PyDict_CheckExact(o)) return PyDict_GET_SIZE(o) != 0;
    if (PyTuple_CheckExact(o)) return PyTuple_GET_SIZE(o) != 0;
    if (PyLong_CheckExact(o) || PyFloat_CheckExact(o)) return PyObject_IsTrue(o);
    may_run_python();
    return PyObject_IsTrue(o);
}

PyObject* text_of(PyObject* o) noexcept {
    if (PyUnicode_CheckExact(o)) return Py_NewRef(o);
    if (!is_plain_scalar(o)) may_run_python();
    return PyObject_Str(o);
}

PyObject* format_of(PyObject* o) noexcept {
    if (PyUnicode_CheckExact(o)) return Py_NewRef(o);
    if (is_plain_scalar(o)) return PyObject_Str(o);
    may_run_python();
    return PyObject_Format(o, N.empty);
}

bool trimmed_text_or_empty(PyObject* o, Arena& arena, NStr& out) noexcept {
    int t = truth(o);
    if (t < 0) return false;
    if (!t) { out = NStr{}; return true; }
    PyObject* s = text_of(o);
    if (!s) return false;
    arena.hold(s);
    out = trim(NStr::of(s));
    return true;
}

PyObject* get_key(PyObject* o, PyObject* key, PyObject* dflt) noexcept {
    if (PyDict_CheckExact(o)) {
        PyObject* v = PyDict_GetItemWithError(o, key);
        if (v) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
        return Py_NewRef(dflt ? dflt : Py_None);
    }
    may_run_python();
    if (dflt) return PyObject_CallMethodObjArgs(o, N.get, key, dflt, nullptr);
    return PyObject_CallMethodObjArgs(o, N.get, key, nullptr);
}

int equals_text(PyObject* o, PyObject* text) noexcept {
    if (PyUnicode_CheckExact(o)) return PyUnicode_Compare(o, text) == 0;
    if (o == Py_None || PyLong_CheckExact(o) || PyBool_Check(o) || PyFloat_CheckExact(o) ||
        PyList_CheckExact(o) || PyDict_CheckExact(o) || PyTuple_CheckExact(o))
        return 0;
    may_run_python();
    PyObject* r = PyObject_RichCompare(o, text, Py_EQ);
    if (!r) return -1;
    int t = PyObject_IsTrue(r);
    Py_DECREF(r);
    return t;
}

static bool intern(PyObject*& slot, const char* s) {
    slot = PyUnicode_InternFromString(s);
    return slot != nullptr;
}

bool init_names() noexcept {
    if (N.answers) return true;
    bool ok = intern(N.answers, "answers") && intern(N.questions, "questions") &&
              intern(N.upload_payload, "upload_payload") && intern(N.records, "records") &&
              intern(N.question, "question") && intern(N.text, "text") &&
              intern(N.productLinks, "productLinks") && intern(N.summaryText, "summaryText") &&
              intern(N.recommendedAsins, "recommendedAsins") && intern(N.isSuccess, "isSuccess") &&
              intern(N.blocks, "blocks") && intern(N.asin, "asin") && intern(N.title, "title") &&
              intern(N.href, "href") && intern(N.source, "source") &&
              intern(N.description, "description") && intern(N.type, "type") &&
              intern(N.kind, "kind") && intern(N.level, "level") && intern(N.cells, "cells") &&
              intern(N.items, "items") && intern(N.header, "header") && intern(N.rows, "rows") &&
              intern(N.get, "get") && intern(N.strip, "strip") && intern(N.rstrip, "rstrip") &&
              intern(N.match, "match") && intern(N.group, "group") && intern(N.re, "re") &&
              intern(N.heading, "heading") && intern(N.paragraph, "paragraph") &&
              intern(N.list_item, "list_item") && intern(N.table_row, "table_row") &&
              intern(N.table, "table") && intern(N.list, "list") && intern(N.include_source, "include_source") && intern(N.empty, "") &&
              intern(N.pat_heading, "^(#{1,6})\\s+(.*)$") &&
              intern(N.pat_unordered, "^([-*\xe2\x80\xa2])\\s+(.*)$") &&
              intern(N.pat_ordered, "^\\d+[.)]\\s+(.*)$") &&
              intern(N.pat_delimiter, "^:?-{3,}:?$") && intern(N.pat_space, "^\\s+");
    if (!ok) return false;
    for (int i = 0; i < 8; ++i) {
        N.small_int[i] = PyLong_FromLong(i);
        if (!N.small_int[i]) return false;
    }
    return true;
}

}  // namespace arf

namespace arf {

PyObject* strip_text(PyObject* s) noexcept {
    if (PyUnicode_CheckExact(s)) return to_py(trim(NStr::of(s)));
    may_run_python();
    return PyObject_CallMethodNoArgs(s, N.strip);
}

}  // namespace arf
