// The text buffer and the storage pools.
#include "buffers.hpp"

#include <algorithm>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace arf {

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

namespace {
// Sizes in bytes of the last few texts take_str() handed out, and the width
// of the last one.  Reports of a caller vary in size; starting from the
// largest recent one spares the growth that a report a little larger than
// the one before would need: a grown str is mapped afresh, page by page.
constexpr size_t RECENT_STRS = 4;
size_t g_recent_str_bytes[RECENT_STRS] = {};
size_t g_recent_str_next = 0;
int g_last_str_kind = PyUnicode_1BYTE_KIND;

void remember_str(size_t units, int kind) {
    g_recent_str_bytes[g_recent_str_next] = units * static_cast<size_t>(kind);
    g_recent_str_next = (g_recent_str_next + 1) % RECENT_STRS;
    g_last_str_kind = kind;
}

size_t largest_recent_str_bytes() {
    size_t most = 0;
    for (size_t b : g_recent_str_bytes) most = b > most ? b : most;
    return most;
}
}  // namespace

namespace {
// The last report's str, kept for the next report to be written into once
// its caller has let go of it: its pages stay mapped and the allocator is
// not asked again.  The allocator may hand back freed pages at the top of
// its heap between two calls, and mapping a report's worth of pages again
// costs a fault per 4 KiB (several microseconds each in a virtual machine,
// more than writing the report).  Only a str nobody else holds is reused,
// as the interpreter reuses a str of one reference when appending to it:
// no other code can reach it, so writing into it is unseen.
// It is not counted with the pools: while its caller holds it, it is no
// storage of the module's.
PyObject* g_spare_str = nullptr;
constexpr size_t SPARE_STR_MAX_BYTES = size_t(4) << 20;
constexpr size_t PROBED_STR_BYTES = size_t(512) << 10;

// Keeps `s` (a new reference) as the spare when it is small enough.
void keep_spare_str(PyObject* s) {
    Py_CLEAR(g_spare_str);
    if (static_cast<size_t>(PyUnicode_GET_LENGTH(s)) * PyUnicode_KIND(s) > SPARE_STR_MAX_BYTES) {
        Py_DECREF(s);
        return;
    }
    g_spare_str = s;
}

// The spare when only this module holds it and it is a str as new_str()
// makes them, of `kind` and at least `least` code units long; nullptr
// otherwise (the spare is let go).
PyObject* take_spare_str(size_t least, int kind) {
    PyObject* s = g_spare_str;
    if (!s) return nullptr;
    g_spare_str = nullptr;
    const auto* h = reinterpret_cast<const PyCompactUnicodeObject*>(s);
    const size_t len = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    // A cached hash or UTF-8 form belongs to the old text; an interned str
    // is known to the interpreter by its text.
    const bool only_ours = Py_REFCNT(s) == 1 && PyUnicode_CheckExact(s) && !PyUnicode_CHECK_INTERNED(s);
    const bool as_made = PyUnicode_IS_COMPACT(s) && !PyUnicode_IS_ASCII(s) && static_cast<int>(PyUnicode_KIND(s)) == kind;
    // (Only a str that is not ASCII has a field for its UTF-8 form.)
    const bool no_cached_forms = as_made && h->_base.hash == -1 && h->utf8 == nullptr;
    if (only_ours && no_cached_forms && len >= least) return s;
    Py_DECREF(s);
    return nullptr;
}

// Whether every page of [p, p + bytes) is in memory now, so that writing
// there takes no page fault.  False where that cannot be known, and for
// more than a kept str's worth of pages.
bool pages_resident(const void* p, size_t bytes) {
#if defined(__linux__)
    static const long page_size = sysconf(_SC_PAGESIZE);
    const uintptr_t page = static_cast<uintptr_t>(page_size);
    if (page_size < 4096 || (page & (page - 1))) return false;
    unsigned char in_memory[SPARE_STR_MAX_BYTES / 4096 + 2];
    const uintptr_t from = reinterpret_cast<uintptr_t>(p) & ~(page - 1);
    const uintptr_t to = reinterpret_cast<uintptr_t>(p) + bytes;
    const size_t pages = (to - from + page - 1) / page;
    if (pages > sizeof in_memory) return false;
    if (mincore(reinterpret_cast<void*>(from), to - from, in_memory) != 0) return false;
    for (size_t i = 0; i < pages; ++i)
        if (!(in_memory[i] & 1)) return false;
    return true;
#else
    (void)p;
    (void)bytes;
    return false;
#endif
}
}  // namespace

TextBuf::TextBuf(ForStr, size_t guess, int kind) {
    // Room for the largest recent report when that is between a quarter of
    // the guess and twice it (the guess is rough; the same report again is
    // sized exactly), else for the guess, and small for a first report (a
    // large first block left the heap laid out so that later reports took
    // page faults), so that the str need not grow: a grown str is copied
    // and gets fresh pages, one fault per 4 KiB.  Within the allocator's
    // limit for blocks it keeps in its heap (32 MiB), where freed pages stay
    // mapped between calls; a larger block is mapped afresh on every call
    // anyway.  Room that is not written costs address space only; if even
    // that is refused, the str starts small.
    // The width is the last report's, or wider when the guess saw wider
    // text (the guess reads only the answers' texts, not their blocks and
    // links, so it may see less).
    constexpr size_t MOST_BYTES = size_t(32) << 20;
    kind = std::max(kind, g_last_str_kind);
    const size_t width = static_cast<size_t>(kind);
    const size_t recent = largest_recent_str_bytes() / static_cast<size_t>(g_last_str_kind);
    size_t units = !guess || !recent || (recent >= guess / 4 && recent <= 2 * guess) ? recent : guess;
    units = std::min(units, MOST_BYTES / width);
    // The last report's str, if its caller let go of it, when the guess says
    // this report (about) fits in it, however much larger it is.  The guess
    // is rough: a little growth is cheaper than fresh pages.  A report that
    // leaves much of it unused is copied into a str of its own at the end,
    // and the large one stays the spare: where report sizes vary, letting it
    // go made the allocator map fresh pages for the next large one.
    const size_t expected = guess ? std::min(units, guess) : units;
    if (PyObject* spare = take_spare_str(expected - expected / 8, kind)) {
        // Room the allocator hands out now is most often memory the caller's
        // own work has just freed: mapped, and still in the caches, where the
        // kept str's pages are not after other work (writing a 1 MB report
        // into them took 90 us more).  So for a large report (up to the kept
        // str's limit) that room is taken when all of it is mapped, and the
        // kept str when some of it would take page faults.  Asking costs about
        // as much as writing a few hundred KB into uncached memory: smaller
        // reports go straight into the kept str.
        const size_t room_bytes = units * width;
        if (room_bytes >= PROBED_STR_BYTES && room_bytes <= SPARE_STR_MAX_BYTES && new_resident_str(units, kind)) {
            Py_DECREF(spare);
            return;
        }
        str_ = spare;
        data_ = PyUnicode_DATA(spare);
        bytes_ = static_cast<size_t>(PyUnicode_GET_LENGTH(spare)) * kind;
        kind_ = kind;
        return;
    }
    if (units > 4096) {
        try {
            new_str(units, kind);
            return;
        } catch (const std::bad_alloc&) {
        }
    }
    new_str(4096, kind);
}

TextBuf::~TextBuf() {
    if (str_) {
        // A str that was not handed out is still only this buffer's.
        if (Py_REFCNT(str_) == 1 && PyUnicode_GET_LENGTH(str_) > 4096) keep_spare_str(str_);
        else Py_DECREF(str_);
    } else if (data_) {
        give_block(data_, bytes_);
    }
}

bool TextBuf::new_resident_str(size_t units, int kind) {
    try {
        new_str(units, kind);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (pages_resident(data_, bytes_)) return true;
    Py_CLEAR(str_);
    data_ = nullptr;
    bytes_ = 0;
    kind_ = PyUnicode_1BYTE_KIND;
    return false;
}

// A str's kind follows from the largest code point it is made for; every
// kind but ASCII has the same layout, so 0xff (not 0x7f) is used for one byte.
void TextBuf::new_str(size_t units, int kind) {
    const Py_UCS4 top = kind == 1 ? 0xff : kind == 2 ? 0xffff : 0x10ffff;
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(units), top);
    if (!s) {
        PyErr_Clear();  // reported as the std::bad_alloc of any other buffer
        throw std::bad_alloc();
    }
    if (size_) copy_units(view(0, size_), PyUnicode_DATA(s), kind);
    if (str_) Py_DECREF(str_);
    else if (data_) give_block(data_, bytes_);
    str_ = s;
    data_ = PyUnicode_DATA(s);
    bytes_ = units * static_cast<size_t>(kind);
    kind_ = kind;
}

PyObject* TextBuf::take_str() {
    if (!str_) return to_py();
    // A str holds its text at exactly the width of its largest code point:
    // one above the kind below this one must be present (most reports have
    // one in their first line).
    const Py_UCS4 floor = kind_ == 1 ? 0x7f : kind_ == 2 ? 0xff : 0xffff;
    bool exact = with_units(view(0, size_), [&](auto* p) {
        for (size_t i = 0; i < size_; ++i)
            if (p[i] > floor) return true;
        return false;
    });
    if (!exact) {
        // The next report starts at the width this one needed: one wide
        // report must not leave every later one written wide and copied.
        PyObject* s = to_py();
        if (s) remember_str(size_, PyUnicode_KIND(s));
        return s;
    }
    remember_str(size_, kind_);
    // Much spare room (more than a quarter; a guess of the size may be that
    // far off): the text goes into a str of its own size instead,
    // and the large block is freed whole.  Shrunk in place, a block the
    // allocator mapped for itself would be freed at the smaller size, which
    // is all the allocator learns of how large its blocks get: the next
    // report's room would be mapped afresh again, a fault per 4 KiB.
    if ((bytes_ - size_ * kind_) * 4 > bytes_) {
        const Py_UCS4 top = kind_ == 1 ? 0xff : kind_ == 2 ? 0xffff : 0x10ffff;
        PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(size_), top);
        if (s) std::memcpy(PyUnicode_DATA(s), data_, size_ * kind_);
        return s;
    }
    // A failed resize leaves the str as it was, still ours to release.
    if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(size_)) < 0) return nullptr;
    PyObject* s = str_;
    str_ = nullptr;
    data_ = nullptr;
    size_ = bytes_ = 0;
    if (PyUnicode_GET_LENGTH(s) > 4096) keep_spare_str(Py_NewRef(s));
    return s;
}

void TextBuf::grow(size_t need) {
    size_t cap = bytes_ / kind_;
    size_t want = cap ? cap + cap / 2 : 256;
    if (want < size_ + need) want = size_ + need;
    if (str_) {
        // Room in the str: resizing keeps its text (and may move it).
        // A failed resize leaves the str as it was (released with the buffer).
        if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(want)) < 0) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
        data_ = PyUnicode_DATA(str_);
        bytes_ = want * kind_;
        return;
    }
    void* p = std::realloc(data_, want * kind_);
    if (!p) throw std::bad_alloc();
    data_ = p;
    bytes_ = want * kind_;
}

void TextBuf::widen(Py_UCS4 c) { widen_to(c <= 0xff ? 1 : c <= 0xffff ? 2 : 4); }

void TextBuf::widen_to(int kind) {
    if (kind <= kind_) return;
    if (str_) {
        // A str's width is fixed: its text moves into a wider one.
        size_t cap = bytes_ / kind_;
        new_str(cap > size_ + 256 ? cap : size_ + 256, kind);
        return;
    }
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

void TextBuf::append_converted(const NStr& s) {
    if (s.kind > kind_) widen_to(s.kind);
    reserve_more(static_cast<size_t>(s.len));
    copy_units(s, static_cast<char*>(data_) + size_ * kind_, kind_);
    size_ += s.len;
}

void TextBuf::append_restored(const TextBuf& in, size_t from, size_t to) {
    size_t at = from;
    if (in.dropped_) {
        for (const DroppedBreaks& d : *in.dropped_) {
            if (d.at <= from || d.at >= to) continue;  // breaks are never left out at a range's ends
            append(in.view(at, d.at));
            for (size_t i = 0; i < d.count; ++i) push('\n');
            at = d.at;
        }
    }
    append(in.view(at, to));
}

PyObject* TextBuf::to_py(size_t from, size_t to) const {
    return PyUnicode_FromKindAndData(kind_, static_cast<const char*>(data_) + from * kind_,
                                     static_cast<Py_ssize_t>(to - from));
}

}  // namespace arf
