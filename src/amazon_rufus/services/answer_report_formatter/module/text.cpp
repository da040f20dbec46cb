// Value rules shared by every step.
#include "text.hpp"

#include <cstring>
#include <type_traits>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace arf {

uint64_t g_epoch = 0;
Names N;

bool eq(NStr s, std::u32string_view lit) {
    if (static_cast<size_t>(s.len) != lit.size()) return false;
    return starts_with(s, lit);
}

bool starts_with(NStr s, std::u32string_view lit) {
    if (static_cast<size_t>(s.len) < lit.size()) return false;
    return with_units(s, [&](auto* p) {
        for (size_t i = 0; i < lit.size(); ++i)
            if (p[i] != lit[i]) return false;
        return true;
    });
}

Py_ssize_t find_char(NStr s, Py_UCS4 c, Py_ssize_t from) {
    if (from >= s.len) return -1;
    if (s.kind == PyUnicode_1BYTE_KIND) {
        if (c > 0xff) return -1;
        auto* p = static_cast<const Py_UCS1*>(s.data);
        auto* hit = static_cast<const Py_UCS1*>(std::memchr(p + from, static_cast<int>(c), s.len - from));
        return hit ? hit - p : -1;
    }
    return with_units(s, [&](auto* p) -> Py_ssize_t {
        using T = std::remove_cv_t<std::remove_pointer_t<decltype(p)>>;
        const T unit = static_cast<T>(c);
        if (static_cast<Py_UCS4>(unit) != c) return Py_ssize_t(-1);
        Py_ssize_t i = scan_units(
            p, from, s.len, [unit](Units16<T> v) { return v == unit; }, [c](Py_UCS4 u) { return u == c; });
        return i < s.len ? i : -1;
    });
}

bool contains(NStr s, Py_UCS4 c) { return find_char(s, c) >= 0; }

PyObject* to_py(NStr s) {
    if (s.whole()) return Py_NewRef(s.owner);
    return PyUnicode_FromKindAndData(s.kind, s.data, s.len);
}

namespace {
size_t g_large_freed = 0;  // bytes of large storage freed by the calls in progress
constexpr size_t TRIM_AFTER_BYTES = size_t(32) << 20;
}  // namespace

void large_storage_freed(size_t bytes) {
    if (bytes > (size_t(256) << 10)) g_large_freed += bytes;
}

void release_large_storage() {
    // The allocator keeps freed heap pages mapped; a call that used tens of
    // MiB hands them back to the system as it ends, and the next call once
    // more, when the caller has usually dropped the large result as well.
    static bool trim_again = false;
    bool large = g_large_freed >= TRIM_AFTER_BYTES;
    g_large_freed = 0;
    if (!large && !trim_again) return;
    trim_again = large;
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

size_t g_pooled_bytes = 0;

// Retained storage blocks; used under the interpreter lock.  The pool keeps
// a few blocks of at most POOL_MAX_BYTES within the shared budget: enough
// for the buffers of ordinary reports, while a huge call's storage goes back
// when that call ends.
namespace {
struct Block {
    void* data;
    size_t bytes;
};
constexpr size_t POOL_SLOTS = 8;
constexpr size_t POOL_MAX_BYTES = size_t(4) << 20;
constexpr size_t POOL_TOTAL_BYTES = size_t(4) << 20;
Block g_pool[POOL_SLOTS];
size_t g_pool_size = 0;
size_t g_pool_bytes = 0;

// Takes the smallest or the largest retained block; a small buffer never
// takes a large block.
constexpr size_t SMALL_BYTES = size_t(64) << 10;

bool take_block(bool largest, void*& data, size_t& bytes) {
    if (!g_pool_size) return false;
    size_t best = 0;
    for (size_t i = 1; i < g_pool_size; ++i)
        if (largest ? g_pool[i].bytes > g_pool[best].bytes : g_pool[i].bytes < g_pool[best].bytes) best = i;
    if (!largest && g_pool[best].bytes > SMALL_BYTES) return false;
    data = g_pool[best].data;
    bytes = g_pool[best].bytes;
    g_pool_bytes -= bytes;
    g_pooled_bytes -= bytes;
    g_pool[best] = g_pool[--g_pool_size];
    return true;
}

void give_block(void* data, size_t bytes) {
    large_storage_freed(bytes);
    if (bytes > POOL_MAX_BYTES) {
        std::free(data);
        return;
    }
    // A full pool keeps its largest blocks: those are the costly ones to map again.
    while (g_pool_size && (g_pool_size == POOL_SLOTS || g_pool_bytes + bytes > POOL_TOTAL_BYTES ||
                           g_pooled_bytes + bytes > POOLED_BYTES_MAX)) {
        size_t smallest = 0;
        for (size_t i = 1; i < g_pool_size; ++i)
            if (g_pool[i].bytes < g_pool[smallest].bytes) smallest = i;
        if (g_pool[smallest].bytes >= bytes) {
            std::free(data);
            return;
        }
        std::free(g_pool[smallest].data);
        g_pool_bytes -= g_pool[smallest].bytes;
        g_pooled_bytes -= g_pool[smallest].bytes;
        g_pool[smallest] = g_pool[--g_pool_size];
    }
    if (g_pooled_bytes + bytes > POOLED_BYTES_MAX) {
        std::free(data);
        return;
    }
    g_pool[g_pool_size++] = Block{data, bytes};
    g_pool_bytes += bytes;
    g_pooled_bytes += bytes;
}
}  // namespace

TextBuf::TextBuf() { take_block(false, data_, bytes_); }

TextBuf::TextBuf(Large) { take_block(true, data_, bytes_); }

TextBuf::~TextBuf() {
    if (data_) give_block(data_, bytes_);
}

void TextBuf::grow(size_t need) {
    size_t cap = bytes_ / kind_;
    size_t want = cap ? cap + cap / 2 : 256;
    if (want < size_ + need) want = size_ + need;
    void* p = std::realloc(data_, want * kind_);
    if (!p) throw std::bad_alloc();
    data_ = p;
    bytes_ = want * kind_;
}

void TextBuf::widen(Py_UCS4 c) { widen_to(c <= 0xff ? 1 : c <= 0xffff ? 2 : 4); }

void TextBuf::widen_to(int kind) {
    if (kind <= kind_) return;
    if (bytes_ >= (size_ + 1) * kind) {
        // The block has room: convert in place from the end, where the wider
        // units do not yet overlap narrower ones still to be read.
        auto convert = [&](auto* from, auto* to) {
            for (size_t i = size_; i-- > 0;) to[i] = from[i];
        };
        if (kind_ == 1 && kind == 2) convert(static_cast<Py_UCS1*>(data_), static_cast<Py_UCS2*>(data_));
        else if (kind_ == 1) convert(static_cast<Py_UCS1*>(data_), static_cast<Py_UCS4*>(data_));
        else convert(static_cast<Py_UCS2*>(data_), static_cast<Py_UCS4*>(data_));
        kind_ = kind;
        return;
    }
    size_t cap = size_ + size_ / 2 + 256;
    void* p = std::malloc(cap * kind);
    if (!p) throw std::bad_alloc();
    if (size_) copy_units(view(0, size_), p, kind);
    if (data_) give_block(data_, bytes_);
    data_ = p;
    bytes_ = cap * kind;
    kind_ = kind;
}

void* copy_units(NStr s, void* out, int kind) {
    const size_t n = static_cast<size_t>(s.len);
    if (!n) return out;  // an empty view may have no data pointer at all
    if (s.kind == kind) {
        std::memcpy(out, s.data, n * kind);
        return static_cast<char*>(out) + n * kind;
    }
    with_units(s, [&](auto* src) {
        auto widen_into = [&](auto* dst) {
            for (size_t i = 0; i < n; ++i) dst[i] = src[i];
        };
        if (kind == 2) widen_into(static_cast<Py_UCS2*>(out));
        else widen_into(static_cast<Py_UCS4*>(out));
        return 0;
    });
    return static_cast<char*>(out) + n * kind;
}

void TextBuf::append_converted(NStr s) {
    if (s.kind > kind_) widen_to(s.kind);
    reserve_more(static_cast<size_t>(s.len));
    copy_units(s, static_cast<char*>(data_) + size_ * kind_, kind_);
    size_ += s.len;
}

PyObject* TextBuf::to_py(size_t from, size_t to) const {
    return PyUnicode_FromKindAndData(kind_, static_cast<const char*>(data_) + from * kind_,
                                     static_cast<Py_ssize_t>(to - from));
}

int is_a(PyObject* o, PyTypeObject* type) {
    if (PyObject_TypeCheck(o, type)) return 1;
    // The built-in types whose `__class__` is their own answer at once.
    if (o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyBool_Check(o) ||
        PyFloat_CheckExact(o) || PyList_CheckExact(o) || PyDict_CheckExact(o) || PyTuple_CheckExact(o))
        return 0;
    may_run_python();
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
    may_run_python();
    return PyObject_IsTrue(o);
}

PyObject* text_of(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return Py_NewRef(o);
    if (!is_plain_scalar(o)) may_run_python();
    return PyObject_Str(o);
}

PyObject* format_of(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return Py_NewRef(o);
    if (is_plain_scalar(o)) return PyObject_Str(o);
    may_run_python();
    return PyObject_Format(o, N.empty);
}

bool stripped_value(PyObject* s, Arena& arena, TextVal& out) {
    out = TextVal{};
    if (PyUnicode_CheckExact(s)) {
        if (PyUnicode_GET_LENGTH(s)) out.s = trim(arena.keep(Py_NewRef(s)));
        return true;
    }
    may_run_python();
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
    Ref s = steal(text_of(o));
    if (!s) return false;
    return stripped_value(s.get(), arena, out);
}

PyObject* get_key(PyObject* o, PyObject* key, PyObject* dflt) {
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
    may_run_python();
    PyObject* r = PyObject_RichCompare(o, text, op);
    if (!r) return -1;
    int t = PyObject_IsTrue(r);
    Py_DECREF(r);
    return t;
}

int equals_text(PyObject* o, PyObject* text) { return compare_text(o, text, Py_EQ); }

int differs_from_text(PyObject* o, PyObject* text) { return compare_text(o, text, Py_NE); }

static bool intern(PyObject*& slot, const char* s) {
    slot = PyUnicode_InternFromString(s);
    return slot != nullptr;
}

bool init_names() {
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
              intern(N.table, "table") && intern(N.list, "list") && intern(N.include_source, "include_source") &&
              intern(N.cell_separator, " | ") && intern(N.empty, "") &&
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

bool append_int_text(TextBuf& buf, PyObject* value) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (!overflow) {
        // Decimal digits written from the end; snprintf costs more than the
        // rest of a small section.
        char digits[24];
        char* end = digits + sizeof digits;
        char* p = end;
        unsigned long long m = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        do {
            *--p = static_cast<char>('0' + m % 10);
            m /= 10;
        } while (m);
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

PyObject* strip_text(PyObject* s) {
    if (PyUnicode_CheckExact(s)) return to_py(trim(NStr::of(s)));
    may_run_python();
    return PyObject_CallMethodNoArgs(s, N.strip);
}

}  // namespace arf
