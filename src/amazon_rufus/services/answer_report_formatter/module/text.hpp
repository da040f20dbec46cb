// Value rules: views over interpreter texts, truth value, text conversion,
// trimming, splitting, key reads and comparisons, each with an exact-type fast
// path and the interpreter's generic protocol for everything else.
#pragma once
#include "ref.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace arf {

// Bumped whenever native code hands control to code that may run Python
// (a __str__, __eq__, get, an override).  Cached step resolutions are only
// trusted while it is unchanged.
extern uint64_t g_epoch;
inline void may_run_python() { ++g_epoch; }

// A view of code points inside a str that somebody keeps alive.
struct NStr {
    const void* data = nullptr;
    int kind = PyUnicode_1BYTE_KIND;
    Py_ssize_t len = 0;
    PyObject* owner = nullptr;  // the viewed str, when known (borrowed)

    static NStr of(PyObject* s) {
        return NStr{PyUnicode_DATA(s), PyUnicode_KIND(s), PyUnicode_GET_LENGTH(s), s};
    }
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
    bool empty() const { return len == 0; }
    NStr sub(Py_ssize_t a, Py_ssize_t b) const {
        return NStr{static_cast<const char*>(data) + a * kind, kind, b - a, owner};
    }
    bool whole() const {
        return owner && data == PyUnicode_DATA(owner) && len == PyUnicode_GET_LENGTH(owner);
    }
};

// The host's \s / str.strip() set and its \d set, with the common ranges
// decided inline (no whitespace lies above U+3000 or in U+0080..U+0084).
inline bool is_space(Py_UCS4 c) {
    if (c < 128) return Py_UNICODE_ISSPACE(c);
    if (c < 0x85 || c > 0x3000) return false;
    return Py_UNICODE_ISSPACE(c);
}
inline bool is_digit(Py_UCS4 c) {
    if (c < 128) return c >= '0' && c <= '9';
    return Py_UNICODE_ISDECIMAL(c);
}
// The terminators of str.splitlines().
inline bool is_linebreak(Py_UCS4 c) {
    if (c < 128) return (c >= 0x0A && c <= 0x0D) || (c >= 0x1C && c <= 0x1E);
    return c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Calls f with the view's code units as a typed pointer (one switch per
// call instead of one per code point).
template <class F>
decltype(auto) with_units(NStr s, F&& f) {
    switch (s.kind) {
        case PyUnicode_1BYTE_KIND: return f(static_cast<const Py_UCS1*>(s.data));
        case PyUnicode_2BYTE_KIND: return f(static_cast<const Py_UCS2*>(s.data));
        default: return f(static_cast<const Py_UCS4*>(s.data));
    }
}

// Position of the first code unit at or after `from` for which `hit` holds,
// or n.  `maybe` is a vector test that is true in every lane where `hit`
// may hold: 16-byte blocks where it is false everywhere are skipped whole.
typedef Py_UCS1 Units16x1 __attribute__((vector_size(16)));
typedef Py_UCS2 Units16x2 __attribute__((vector_size(16)));
typedef Py_UCS4 Units16x4 __attribute__((vector_size(16)));
template <class T> struct Units16Of;
template <> struct Units16Of<Py_UCS1> { using type = Units16x1; };
template <> struct Units16Of<Py_UCS2> { using type = Units16x2; };
template <> struct Units16Of<Py_UCS4> { using type = Units16x4; };
template <class T>
using Units16 = typename Units16Of<T>::type;

typedef int32_t Units16x4s __attribute__((vector_size(16)));
typedef char Bytes16 __attribute__((vector_size(16)));

// One bit per byte of a comparison result (set where the lane is true).
template <class M>
inline uint32_t lane_bits(M m) {
#if defined(__SSE2__)
    return static_cast<uint32_t>(__builtin_ia32_pmovmskb128(reinterpret_cast<Bytes16>(m)));
#else
    unsigned char bytes[16];
    std::memcpy(bytes, &m, 16);
    uint32_t bits = 0;
    for (int k = 0; k < 16; ++k) bits |= uint32_t(bytes[k] >> 7) << k;
    return bits;
#endif
}

// The candidate lanes of two vectors are visited through their mask bits,
// so a block with one line break costs one test instead of a scalar loop.
template <class T, class V, class P>
inline Py_ssize_t scan_units(const T* p, Py_ssize_t from, Py_ssize_t n, V maybe, P hit) {
    constexpr Py_ssize_t W = 16 / sizeof(T);
    constexpr uint32_t LANE = (1u << sizeof(T)) - 1;
    Py_ssize_t i = from;
    while (i + 2 * W <= n) {
        Units16<T> a, b;
        std::memcpy(&a, p + i, 16);
        std::memcpy(&b, p + i + W, 16);
        uint32_t bits = lane_bits(maybe(a)) | (lane_bits(maybe(b)) << 16);
        while (bits) {
            Py_ssize_t k = __builtin_ctz(bits) / static_cast<int>(sizeof(T));
            if (hit(static_cast<Py_UCS4>(p[i + k]))) return i + k;
            bits &= ~(LANE << (k * sizeof(T)));
        }
        i += 2 * W;
    }
    for (; i < n; ++i)
        if (hit(static_cast<Py_UCS4>(p[i]))) return i;
    return n;
}

// Position of the first `c` at or after `from`, or -1.
Py_ssize_t find_char(NStr s, Py_UCS4 c, Py_ssize_t from = 0);

// str.strip() and str.rstrip() as views; inline, since they run several
// times per line and usually stop at the first code unit they look at.
inline NStr trim(NStr s) {
    return with_units(s, [&](auto* p) {
        Py_ssize_t a = 0, b = s.len;
        while (a < b && is_space(p[a])) ++a;
        while (b > a && is_space(p[b - 1])) --b;
        return s.sub(a, b);
    });
}
inline NStr rtrim(NStr s) {
    return with_units(s, [&](auto* p) {
        Py_ssize_t b = s.len;
        while (b > 0 && is_space(p[b - 1])) --b;
        return s.sub(0, b);
    });
}
bool eq(NStr s, std::u32string_view lit);
bool starts_with(NStr s, std::u32string_view lit);
bool contains(NStr s, Py_UCS4 c);
// Writes the view's code points at `out` as units of `kind` (at least the
// view's own); returns the end of what it wrote.
void* copy_units(NStr s, void* out, int kind);

// A new str holding the viewed code points (the owner itself when whole).
PyObject* to_py(NStr s);

// Large storage given back during a call is counted; once the outermost
// method call ends, release_large_storage() returns the allocator's freed
// pages to the system when that count is large.
void large_storage_freed(size_t bytes);
void release_large_storage();
// Bytes kept for reuse between calls by all pools together, and their cap.
extern size_t g_pooled_bytes;
constexpr size_t POOLED_BYTES_MAX = size_t(6) << 20;

// Keeps strs alive for the views taken of them during one call.
class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() { for (PyObject* o : refs_) Py_DECREF(o); }
    // Takes ownership of a new reference to a str and returns its view.
    NStr keep(PyObject* s) {
        hold(s);
        return NStr::of(s);
    }
    void hold(PyObject* o) {
        if (refs_.size() == refs_.capacity() && refs_.capacity() < 64) refs_.reserve(64);
        refs_.push_back(o);
    }
private:
    std::vector<PyObject*> refs_;
};

// Growing text buffer that becomes one str at the end.  It stores 1, 2 or
// 4 bytes per code point and widens itself when a wider code point arrives,
// so mostly narrow text is not copied about at four bytes a code point.  Its
// storage comes from a small pool of retained blocks: large buffers freed and
// mapped again on every call would cost a page fault per 4 KiB.
class TextBuf {
public:
    struct Large {};
    TextBuf();
    // Takes the largest retained block: for a buffer that will hold a report.
    explicit TextBuf(Large);
    TextBuf(const TextBuf&) = delete;
    TextBuf& operator=(const TextBuf&) = delete;
    TextBuf(TextBuf&& o) : data_(o.data_), size_(o.size_), bytes_(o.bytes_), kind_(o.kind_) {
        o.data_ = nullptr;
        o.size_ = o.bytes_ = 0;
        o.kind_ = PyUnicode_1BYTE_KIND;
    }
    ~TextBuf();

    void push(Py_UCS4 c) {
        if (c > max_char()) widen(c);
        reserve_more(1);
        write(size_++, c);
    }
    void append(NStr s) {
        if (s.kind != kind_) return append_converted(s);
        reserve_more(static_cast<size_t>(s.len));
        if (s.len) std::memcpy(static_cast<char*>(data_) + size_ * kind_, s.data, static_cast<size_t>(s.len) * kind_);
        size_ += s.len;
    }
    void append(std::u32string_view s) {
        Py_UCS4 top = 0;
        for (char32_t c : s) top = c > top ? c : top;
        if (top > max_char()) widen(top);
        reserve_more(s.size());
        switch (kind_) {
            case 1: fill(static_cast<Py_UCS1*>(data_) + size_, s); break;
            case 2: fill(static_cast<Py_UCS2*>(data_) + size_, s); break;
            default: fill(static_cast<Py_UCS4*>(data_) + size_, s);
        }
        size_ += s.size();
    }
    // Room for `n` more code units of `kind` (widening to it first); write
    // them at the returned pointer, then commit(n).
    void* raw_room(size_t n, int kind) {
        if (kind > kind_) widen_to(kind);
        reserve_more(n);
        return static_cast<char*>(data_) + size_ * kind_;
    }
    void commit(size_t n) { size_ += n; }
    // ASCII text fits every kind: no widening test needed.
    void append_ascii(std::string_view s) {
        reserve_more(s.size());
        switch (kind_) {
            case 1: std::memcpy(static_cast<char*>(data_) + size_, s.data(), s.size()); break;
            case 2: fill_ascii(static_cast<Py_UCS2*>(data_) + size_, s); break;
            default: fill_ascii(static_cast<Py_UCS4*>(data_) + size_, s);
        }
        size_ += s.size();
    }
    size_t size() const { return size_; }
    int kind() const { return kind_; }
    void truncate(size_t n) { size_ = n; }
    void* data() { return data_; }
    const void* data() const { return data_; }
    void reserve_more(size_t n) {
        // kind_ is 1, 2 or 4: a shift instead of a division on every append.
        if ((bytes_ >> (kind_ >> 1)) - size_ < n) grow(n);
    }
    PyObject* to_py(size_t from, size_t to) const;
    PyObject* to_py() const { return to_py(0, size_); }
    NStr view(size_t from, size_t to) const {
        return NStr{static_cast<const char*>(data_) + from * kind_, kind_, static_cast<Py_ssize_t>(to - from), nullptr};
    }
    void clear() { size_ = 0; }
    void swap(TextBuf& o) {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(bytes_, o.bytes_);
        std::swap(kind_, o.kind_);
    }

private:
    void append_converted(NStr s);
    Py_UCS4 max_char() const { return kind_ == 1 ? 0xff : kind_ == 2 ? 0xffff : 0x10ffff; }
    void write(size_t i, Py_UCS4 c) {
        switch (kind_) {
            case 1: static_cast<Py_UCS1*>(data_)[i] = static_cast<Py_UCS1>(c); break;
            case 2: static_cast<Py_UCS2*>(data_)[i] = static_cast<Py_UCS2>(c); break;
            default: static_cast<Py_UCS4*>(data_)[i] = c;
        }
    }
    template <class T>
    static void fill_ascii(T* out, std::string_view s) {
        for (size_t i = 0; i < s.size(); ++i) out[i] = static_cast<unsigned char>(s[i]);
    }
    template <class T>
    static void fill(T* out, std::u32string_view s) {
        for (size_t i = 0; i < s.size(); ++i) out[i] = static_cast<T>(s[i]);
    }
    void grow(size_t need);
    void widen(Py_UCS4 c);      // to the kind that holds c
public:
    void widen_to(int kind);
private:
    void* data_ = nullptr;
    size_t size_ = 0, bytes_ = 0;
    int kind_ = PyUnicode_1BYTE_KIND;
};

// ---- Value rules over arbitrary objects ------------------------------------

// True for the built-in types whose operations never run Python code.
inline bool is_plain_scalar(PyObject* o) {
    return o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyBool_Check(o) ||
           PyFloat_CheckExact(o);
}

// isinstance(o, type) as the host decides it: an instance passes at once,
// anything else is asked for its `__class__`, which may run Python code and
// may even claim the type (-1 on error).  Code after a true answer must not
// assume the object's layout.
int is_a(PyObject* o, PyTypeObject* type);
// Truth value (-1 on error).
int truth(PyObject* o);
// str(o), a new reference.
PyObject* text_of(PyObject* o);
// format(o, ""), a new reference.
PyObject* format_of(PyObject* o);
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
    may_run_python();
    return PyObject_IsTrue(v.obj);
}
// trim(str(o or "")), kept in the arena; false on error.  When str(o) is not
// an exact str, its own strip() decides; a result that is not an exact str
// comes back opaque.
bool trimmed_value(PyObject* o, Arena& arena, TextVal& out);
// s.strip() of a str that is not exact, as a text value.
bool stripped_value(PyObject* s, Arena& arena, TextVal& out);
// o.get(key) / o.get(key, dflt): a new reference, nullptr on error.
PyObject* get_key(PyObject* o, PyObject* key, PyObject* dflt = nullptr);
// o == text, by the host's comparison (-1 on error).
int equals_text(PyObject* o, PyObject* text);
// o != text, by the host's comparison (its own __ne__; -1 on error).
int differs_from_text(PyObject* o, PyObject* text);

// Interned texts used as keys and literals.
struct Names {
    PyObject *answers, *questions, *upload_payload, *records, *question, *text, *productLinks,
        *summaryText, *recommendedAsins, *isSuccess, *blocks, *asin, *title, *href, *source,
        *description, *type, *kind, *level, *cells, *items, *header, *rows, *get, *strip, *rstrip,
        *match, *group, *re, *heading, *paragraph, *list_item, *table_row, *table, *list, *empty,
        *include_source, *cell_separator, *pat_heading, *pat_unordered, *pat_ordered, *pat_delimiter, *pat_space;
    PyObject* small_int[8];  // 0..7
};
extern Names N;
bool init_names();

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

// Appends the decimal text of an int (the host's str() of it).
bool append_int_text(TextBuf& buf, PyObject* value);

// s.strip() for any str (a subclass's own strip is honoured).
PyObject* strip_text(PyObject* s);

}  // namespace arf
