// Views of the code units of interpreter texts: the whitespace, digit and
// line-break sets, vector scanning, trimming and copying.
#pragma once
#include "../module/ref.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace arf {

// A view of code points inside a str that somebody keeps alive.
struct NStr {
    const void* data = nullptr;
    int kind = PyUnicode_1BYTE_KIND;
    Py_ssize_t len = 0;
    PyObject* owner = nullptr;  // the viewed str, when known (borrowed)

    static NStr of(PyObject* s) {
        // A compact str's text follows its header, whose size depends on
        // whether the text is ASCII: computed without a branch on that, as
        // ASCII and wider texts alternate.
        const PyASCIIObject* h = reinterpret_cast<const PyASCIIObject*>(s);
        const void* data;
        if (h->state.compact) [[likely]]
            data = reinterpret_cast<const char*>(s) + sizeof(PyCompactUnicodeObject) -
                   h->state.ascii * (sizeof(PyCompactUnicodeObject) - sizeof(PyASCIIObject));
        else
            data = reinterpret_cast<const PyUnicodeObject*>(s)->data.any;
        return NStr{data, static_cast<int>(h->state.kind), h->length, s};
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

// Copies a view field by field.  The compiler's own copy of a view just
// computed stores it on the stack and reads it back in 16-byte halves,
// whose loads straddle the stores of its fields: a store-forwarding stall
// of a dozen cycles per copy.
inline void set_view(NStr& to, const NStr& from) {
    to.data = from.data;
    to.kind = from.kind;
    to.len = from.len;
    to.owner = from.owner;
}
// Appends a view to a vector, as set_view copies.
template <class Views>
inline void push_view(Views& v, const NStr& s) {
    v.emplace_back();
    set_view(v.back(), s);
}

// Whether a code point may be whitespace: up to " ", or from U+0085 to
// U+3000 (a superset, decided without a branch).
inline bool may_be_space(Py_UCS4 c) { return (c <= ' ') | (c - 0x85 <= 0x3000 - 0x85); }
// The host's \s / str.strip() set and its \d set, with the common ranges
// decided inline.  Above ASCII the whitespace of CPython 3.12's Unicode
// database is U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
// U+202F, U+205F and U+3000 (a test checks every code point against
// str.isspace), so no call is needed.
inline bool is_space(Py_UCS4 c) {
    // Most units are ASCII text or CJK, neither of which may be whitespace:
    // one branch for both, whichever comes.
    if (!may_be_space(c)) return false;
    if (c <= ' ') return Py_UNICODE_ISSPACE(c);
    if (c >= 0x2000) return c <= 0x200A || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
    return c == 0x85 || c == 0xA0 || c == 0x1680;
}
inline bool is_digit(Py_UCS4 c) {
    if (c < 128) return c >= '0' && c <= '9';
    // CJK punctuation, kana and ideographs hold no decimal digit (a test
    // checks the range against str.isdecimal): no call for Chinese text.
    if (c >= 0x3000 && c <= 0x9FFF) return false;
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

// The bits of lane_bits() masks that stand for whole code units: one per unit.
template <class T>
constexpr uint64_t unit_bits() {
    return sizeof(T) == 1 ? ~uint64_t(0) : sizeof(T) == 2 ? 0x5555555555555555ull : 0x1111111111111111ull;
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

#if defined(__x86_64__)
// Whether the processor has AVX2, and AVX-512 with its byte and word
// instructions on vectors of every size, for the code paths compiled for
// them.  A build with ARF_AVX2=0 takes neither, so that its tests run the
// paths of processors without them on any machine.
#ifndef ARF_AVX2
#define ARF_AVX2 1
#endif
inline bool has_avx2() {
    static const bool yes = ARF_AVX2 && __builtin_cpu_supports("avx2");
    return yes;
}
inline bool has_avx512() {
    static const bool yes = ARF_AVX2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vl");
    return yes;
}
#endif

// A constant text of the Basic Multilingual Plane with a code point above
// U+00FF, as a two-byte view: appended to a two-byte buffer it is one copy.
template <size_t N>
constexpr NStr ucs2_text(const char16_t (&s)[N]) {
    return NStr{s, PyUnicode_2BYTE_KIND, static_cast<Py_ssize_t>(N - 1), nullptr};
}

// Position of the first `c` at or after `from`, or -1.
Py_ssize_t find_char(NStr s, Py_UCS4 c, Py_ssize_t from = 0);

// str.strip() and str.rstrip() as views; inline, since they run several
// times per line and usually stop at the first code unit they look at.
// Each builds its view in one place from the bounds it found: a view that
// several paths return is kept in a stack temporary, which the caller then
// copies in 16-byte halves straddling the stores of its fields (a
// store-forwarding stall per call).
inline void trim_bounds(const NStr& s, Py_ssize_t& a, Py_ssize_t& b) {
    with_units(s, [&](auto* p) {
        while (a < b && is_space(p[a])) ++a;
        while (b > a && is_space(p[b - 1])) --b;
        return 0;
    });
}
inline NStr trim_units(const NStr& s) {
    Py_ssize_t a = 0, b = s.len;
    trim_bounds(s, a, b);
    return s.sub(a, b);
}
// The code unit at `i` of a view into a compact str, read as the four bytes
// that end with it: they lie inside the str object, whose header comes right
// before its text, so the read needs no branch on the width.
inline Py_UCS4 unit_in_compact(const NStr& s, Py_ssize_t i) {
    uint32_t v;
    std::memcpy(&v, static_cast<const char*>(s.data) + (i + 1) * s.kind - 4, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return s.kind == 4 ? v : v & ((1u << (8 * s.kind)) - 1);
#else
    return v >> (32 - 8 * s.kind);
#endif
}
inline NStr trim(const NStr& s) {
    Py_ssize_t a = 0, b = s.len;
    // Most texts neither start nor end with whitespace.
    if (s.len && s.owner && PyUnicode_IS_COMPACT(s.owner)) {
        const bool first = may_be_space(unit_in_compact(s, 0)), last = may_be_space(unit_in_compact(s, s.len - 1));
        if (first | last) trim_bounds(s, a, b);
    } else if (!s.len || is_space(s[0]) || is_space(s[s.len - 1])) {
        trim_bounds(s, a, b);
    }
    return s.sub(a, b);
}
inline NStr rtrim(const NStr& s) {
    Py_ssize_t b = s.len;
    with_units(s, [&](auto* p) {
        while (b > 0 && is_space(p[b - 1])) --b;
        return 0;
    });
    return s.sub(0, b);
}
bool eq(NStr s, std::u32string_view lit);
bool starts_with(NStr s, std::u32string_view lit);
bool contains(NStr s, Py_UCS4 c);
// Writes the view's code points at `out` as units of `kind` (at least the
// view's own); returns the end of what it wrote.
void* copy_units(NStr s, void* out, int kind);

// A new str holding the viewed code points (the owner itself when whole).
Ref to_py(NStr s);

// memcpy with the short sizes of most texts copied inline, by two
// overlapping fixed-size moves.  (GCC warns of the moves for constant
// texts shorter than them, in branches their length never takes.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif
inline void copy_short_bytes(char* to, const char* from, size_t bytes) {
    if (bytes > 64) {
        std::memcpy(to, from, bytes);
    } else if (bytes >= 32) {
        std::memcpy(to, from, 32);
        std::memcpy(to + bytes - 32, from + bytes - 32, 32);
    } else if (bytes >= 16) {
        std::memcpy(to, from, 16);
        std::memcpy(to + bytes - 16, from + bytes - 16, 16);
    } else if (bytes >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + bytes - 8, from + bytes - 8, 8);
    } else if (bytes >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + bytes - 4, from + bytes - 4, 4);
    } else {
        for (size_t i = 0; i < bytes; ++i) to[i] = from[i];
    }
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// Calls `whole` on blocks of 2h units from the start, then `half` on one of
// h units, then on the last h units (overlapping what came before when n is
// no multiple of h): every unit once at least, for any n >= h.
template <size_t H, class Whole, class Half>
inline void in_blocks(size_t n, Whole whole, Half half) {
    size_t i = 0;
    for (; i + 2 * H <= n; i += 2 * H) whole(i);
    if (i + H <= n) {
        half(i);
        i += H;
    }
    if (i < n) half(n - H);
}

#if defined(__SSE2__)
// The 1-to-2 and 2-to-4 byte widenings: 16 bytes of 2h units widened into
// two vectors by `lo` and `hi`, 8 bytes of h units into one by `lo`.
template <size_t H, class From, class To, class Lo, class Hi>
inline void widen_by_halves(const From* in, To* out, size_t n, Lo lo, Hi hi) {
    auto store = [&](size_t i, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v); };
    in_blocks<H>(
        n,
        [&](size_t i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            store(i, lo(v));
            store(i + H, hi(v));
        },
        [&](size_t i) { store(i, lo(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i)))); });
}
#endif

// Copies `n` code units into wider units (1 to 2, 1 to 4 or 2 to 4 bytes),
// the two not overlapping.  Most widened texts are short ASCII cells and
// sentences going into a report that holds wider text elsewhere, so the
// ends are done by overlapping vector moves rather than one unit at a time.
template <class From, class To>
inline void widen_units(const From* in, To* out, size_t n) {
    static_assert(sizeof(From) < sizeof(To));
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    auto load4 = [&](size_t i) {
        uint32_t w;
        std::memcpy(&w, in + i, 4);
        return _mm_cvtsi32_si128(static_cast<int>(w));
    };
    if constexpr (sizeof(From) == 1 && sizeof(To) == 2) {
        if (n >= 8) {
            widen_by_halves<8>(
                in, out, n, [&](__m128i v) { return _mm_unpacklo_epi8(v, zero); },
                [&](__m128i v) { return _mm_unpackhi_epi8(v, zero); });
            return;
        }
        if (n >= 4) {
            auto step4 = [&](size_t i) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(load4(i), zero));
            };
            step4(0);
            step4(n - 4);
            return;
        }
    } else if constexpr (sizeof(From) == 1) {
        if (n >= 4) {
            auto step4 = [&](size_t i) {
                const __m128i v = _mm_unpacklo_epi16(_mm_unpacklo_epi8(load4(i), zero), zero);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
            };
            in_blocks<4>(n, [&](size_t i) { step4(i), step4(i + 4); }, step4);
            return;
        }
    } else if (n >= 4) {
        widen_by_halves<4>(
            in, out, n, [&](__m128i v) { return _mm_unpacklo_epi16(v, zero); },
            [&](__m128i v) { return _mm_unpackhi_epi16(v, zero); });
        return;
    }
#endif
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<To>(in[i]);
}

#if defined(__x86_64__)
// Texts of up to MASKED_UNITS<O> code units are written into units of O by
// masked vector moves: one load of the view's bytes, widened as its width
// needs, and one store, with no branch on the length or the width (short
// cells and fragments of every length and width alternate in a report).
// The masked lanes are neither read nor written.  Processors with AVX-512
// only (has_avx512()).
template <class O>
constexpr size_t MASKED_UNITS = 64 / sizeof(O);
template <class O>
O* put_masked(O* out, const NStr& s);
#endif

// Whether a view holds a unit that str.splitlines() breaks at other than
// "\n" and "\r": U+000B, U+000C, U+001C..U+001E, U+0085, U+2028, U+2029.
bool has_odd_line_break(const NStr& s);
// The "\n"s of a view, counted; SIZE_MAX when it holds any other unit that
// str.splitlines() breaks at ("\r" included).  Writers use both to vouch for
// the lines they write, so that the report's clean-up need not read them.
size_t count_newlines(const NStr& s);

// Writes the view's code points at `out`, whose units are at least as wide
// as the view's; returns the end of what it wrote.
template <class O>
inline O* put_units(O* out, const NStr& s) {
    const size_t n = static_cast<size_t>(s.len);
#if defined(__x86_64__)
    if (n <= MASKED_UNITS<O> && has_avx512()) return put_masked(out, s);
#endif
    if (s.kind == static_cast<int>(sizeof(O))) {
        copy_short_bytes(reinterpret_cast<char*>(out), static_cast<const char*>(s.data), n * sizeof(O));
    } else if constexpr (sizeof(O) > 1) {
        if (s.kind == PyUnicode_1BYTE_KIND) widen_units(static_cast<const Py_UCS1*>(s.data), out, n);
        else if constexpr (sizeof(O) > 2) widen_units(static_cast<const Py_UCS2*>(s.data), out, n);
    }
    return out + n;
}

}  // namespace arf
