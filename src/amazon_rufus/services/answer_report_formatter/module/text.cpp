// Value rules shared by every step.
#include "text.hpp"

#include <cstring>
#include <type_traits>

namespace arf {

uint64_t g_epoch = 0;
Names N;

NStr trim(NStr s) {
    return with_units(s, [&](auto* p) {
        Py_ssize_t a = 0, b = s.len;
        while (a < b && is_space(p[a])) ++a;
        while (b > a && is_space(p[b - 1])) --b;
        return s.sub(a, b);
    });
}

NStr rtrim(NStr s) {
    return with_units(s, [&](auto* p) {
        Py_ssize_t b = s.len;
        while (b > 0 && is_space(p[b - 1])) --b;
        return s.sub(0, b);
    });
}

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

// Retained storage blocks, largest last; used under the interpreter lock.
namespace {
struct Block {
    Py_UCS4* data;
    size_t cap;
};
constexpr size_t POOL_SLOTS = 8;
constexpr size_t POOL_MAX_CAP = size_t(16) << 20;  // code points kept per block
Block g_pool[POOL_SLOTS];
size_t g_pool_size = 0;
}  // namespace

// Takes the smallest or the largest retained block.
static bool take_block(bool largest, Py_UCS4*& data, size_t& cap) {
    if (!g_pool_size) return false;
    size_t best = 0;
    for (size_t i = 1; i < g_pool_size; ++i)
        if (largest ? g_pool[i].cap > g_pool[best].cap : g_pool[i].cap < g_pool[best].cap) best = i;
    data = g_pool[best].data;
    cap = g_pool[best].cap;
    g_pool[best] = g_pool[--g_pool_size];
    return true;
}

TextBuf::TextBuf() { take_block(false, data_, cap_); }

TextBuf::TextBuf(Large) { take_block(true, data_, cap_); }

TextBuf::~TextBuf() {
    if (!data_) return;
    if (cap_ > POOL_MAX_CAP) {
        std::free(data_);
        return;
    }
    if (g_pool_size < POOL_SLOTS) {
        g_pool[g_pool_size++] = Block{data_, cap_};
        return;
    }
    // A full pool keeps its largest blocks: those are the costly ones to map again.
    size_t smallest = 0;
    for (size_t i = 1; i < g_pool_size; ++i)
        if (g_pool[i].cap < g_pool[smallest].cap) smallest = i;
    if (g_pool[smallest].cap < cap_) {
        Block old = g_pool[smallest];
        g_pool[smallest] = Block{data_, cap_};
        std::free(old.data);
        return;
    }
    std::free(data_);
}

void TextBuf::grow(size_t need) {
    size_t cap = cap_ ? cap_ + cap_ / 2 : 256;
    if (cap < size_ + need) cap = size_ + need;
    auto* p = static_cast<Py_UCS4*>(std::realloc(data_, cap * sizeof(Py_UCS4)));
    if (!p) throw std::bad_alloc();
    data_ = p;
    cap_ = cap;
}

Py_UCS4* copy_units(NStr s, Py_UCS4* out) {
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
    return out + s.len;
}

void TextBuf::append(NStr s) {
    reserve_more(static_cast<size_t>(s.len));
    copy_units(s, data_ + size_);
    size_ += s.len;
}

PyObject* TextBuf::to_py(size_t from, size_t to) const {
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, data_ + from, static_cast<Py_ssize_t>(to - from));
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

bool trimmed_text_or_empty(PyObject* o, Arena& arena, NStr& out) {
    int t = truth(o);
    if (t < 0) return false;
    if (!t) { out = NStr{}; return true; }
    PyObject* s = text_of(o);
    if (!s) return false;
    arena.hold(s);
    out = trim(NStr::of(s));
    return true;
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

int equals_text(PyObject* o, PyObject* text) {
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

int differs_from_text(PyObject* o, PyObject* text) {
    if (PyUnicode_CheckExact(o)) return PyUnicode_Compare(o, text) != 0;
    if (o == Py_None || PyLong_CheckExact(o) || PyBool_Check(o) || PyFloat_CheckExact(o) ||
        PyList_CheckExact(o) || PyDict_CheckExact(o) || PyTuple_CheckExact(o))
        return 1;
    may_run_python();
    PyObject* r = PyObject_RichCompare(o, text, Py_NE);
    if (!r) return -1;
    int t = PyObject_IsTrue(r);
    Py_DECREF(r);
    return t;
}

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

PyObject* strip_text(PyObject* s) {
    if (PyUnicode_CheckExact(s)) return to_py(trim(NStr::of(s)));
    may_run_python();
    return PyObject_CallMethodNoArgs(s, N.strip);
}

}  // namespace arf
