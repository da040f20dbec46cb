// Value rules: views over interpreter texts, truth value, text conversion,
// trimming, splitting, key reads and comparisons, each with an exact-type fast
// path and the interpreter's generic protocol for everything else.
#pragma once
#include "ref.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

namespace arf {

// Bumped whenever native code hands control to code that may run Python
// (a __str__, __eq__, get, an override).  Cached step resolutions are only
// trusted while it is unchanged.
extern uint64_t g_epoch;
inline void may_run_python() noexcept { ++g_epoch; }

// A view of code points inside a str that somebody keeps alive.
struct NStr {
    const void* data = nullptr;
    int kind = PyUnicode_1BYTE_KIND;
    Py_ssize_t len = 0;
    PyObject* owner = nullptr;  // the viewed str, when known (borrowed)

    static NStr of(PyObject* s) noexcept {
        return NStr{PyUnicode_DATA(s), PyUnicode_KIND(s), PyUnicode_GET_LENGTH(s), s};
    }
    Py_UCS4 operator[](Py_ssize_t i) const noexcept { return PyUnicode_READ(kind, data, i); }
    bool empty() const noexcept { return len == 0; }
    NStr sub(Py_ssize_t a, Py_ssize_t b) const noexcept {
        return NStr{static_cast<const char*>(data) + a * kind, kind, b - a, owner};
    }
    bool whole() const noexcept {
        return owner && data == PyUnicode_DATA(owner) && len == PyUnicode_GET_LENGTH(owner);
    }
};

inline bool is_space(Py_UCS4 c) noexcept { return Py_UNICODE_ISSPACE(c); }
inline bool is_digit(Py_UCS4 c) noexcept { return Py_UNICODE_ISDECIMAL(c); }
inline bool is_linebreak(Py_UCS4 c) noexcept { return Py_UNICODE_ISLINEBREAK(c); }

NStr trim(NStr s) noexcept;
NStr rtrim(NStr s) noexcept;
bool eq(NStr s, std::u32string_view lit) noexcept;
bool starts_with(NStr s, std::u32string_view lit) noexcept;
bool contains(NStr s, Py_UCS4 c) noexcept;

// A new str holding the viewed code points (the owner itself when whole).
PyObject* to_py(NStr s) noexcept;

// Keeps strs alive for the views taken of them during one call.
class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() { for (PyObject* o : refs_) Py_DECREF(o); }
    // Takes ownership of a new reference to a str and returns its view.
    NStr keep(PyObject* s) { refs_.push_back(s); return NStr::of(s); }
    void hold(PyObject* o) { refs_.push_back(o); }
private:
    std::vector<PyObject*> refs_;
};

// Growing buffer of UCS4 code points that becomes one str at the end.
class TextBuf {
public:
    void push(Py_UCS4 c) { buf_.push_back(c); }
    void append(NStr s);
    void append(std::u32string_view s) { buf_.insert(buf_.end(), s.begin(), s.end()); }
    void append_ascii(std::string_view s) { buf_.insert(buf_.end(), s.begin(), s.end()); }
    void append_long(long long v);
    size_t size() const noexcept { return buf_.size(); }
    void truncate(size_t n) { buf_.resize(n); }
    const Py_UCS4* data() const noexcept { return buf_.data(); }
    void reserve(size_t n) { buf_.reserve(n); }
    PyObject* to_py(size_t from, size_t to) const noexcept;
    PyObject* to_py() const noexcept { return to_py(0, buf_.size()); }
    NStr view(size_t from, size_t to) const noexcept {
        return NStr{buf_.data() + from, PyUnicode_4BYTE_KIND, static_cast<Py_ssize_t>(to - from), nullptr};
    }
    void clear() { buf_.clear(); }
private:
    std::vector<Py_UCS4> buf_;
};

// ---- Value rules over arbitrary objects ------------------------------------

// True for the built-in types whose operations never run Python code.
inline bool is_plain_scalar(PyObject* o) noexcept {
    return o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyBool_Check(o) ||
           PyFloat_CheckExact(o);
}

// Truth value (-1 on error).
int truth(PyObject* o) noexcept;
// str(o), a new reference.
PyObject* text_of(PyObject* o) noexcept;
// format(o, ""), a new reference.
PyObject* format_of(PyObject* o) noexcept;
// trim(str(o or "")), kept in the arena; false on error.
bool trimmed_text_or_empty(PyObject* o, Arena& arena, NStr& out) noexcept;
// o.get(key) / o.get(key, dflt): a new reference, nullptr on error.
PyObject* get_key(PyObject* o, PyObject* key, PyObject* dflt = nullptr) noexcept;
// o == text, by the host's comparison (-1 on error).
int equals_text(PyObject* o, PyObject* text) noexcept;

// Interned texts used as keys and literals.
struct Names {
    PyObject *answers, *questions, *upload_payload, *records, *question, *text, *productLinks,
        *summaryText, *recommendedAsins, *isSuccess, *blocks, *asin, *title, *href, *source,
        *description, *type, *kind, *level, *cells, *items, *header, *rows, *get, *strip, *rstrip,
        *match, *group, *re, *heading, *paragraph, *list_item, *table_row, *table, *list, *empty,
        *include_source, *pat_heading, *pat_unordered, *pat_ordered, *pat_delimiter, *pat_space;
    PyObject* small_int[8];  // 0..7
};
extern Names N;
bool init_names() noexcept;

}  // namespace arf

namespace arf {

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
    may_run_python();
    Ref it = steal(PyObject_GetIter(seq));
    if (!it) return false;
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref item = steal(raw);
        if (!f(item.get())) return false;
    }
    return !PyErr_Occurred();
}

// s.strip() for any str (a subclass's own strip is honoured).
PyObject* strip_text(PyObject* s) noexcept;

}  // namespace arf
