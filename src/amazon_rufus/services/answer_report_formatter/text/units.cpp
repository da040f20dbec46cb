// Views of interpreter texts: comparisons, search and copies.
#include "units.hpp"

#include <type_traits>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace arf {

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

Ref to_py(NStr s) {
    if (s.whole()) return steal(Py_NewRef(s.owner));
    return steal(PyUnicode_FromKindAndData(s.kind, s.data, s.len));
}

void* copy_units(NStr s, void* out, int kind) {
    const size_t n = static_cast<size_t>(s.len);
    if (!n) return out;  // an empty view may have no data pointer at all
    if (s.kind == kind) {
        std::memcpy(out, s.data, n * kind);
        return static_cast<char*>(out) + n * kind;
    }
    if (s.kind == PyUnicode_1BYTE_KIND && kind == PyUnicode_2BYTE_KIND)
        widen_units(static_cast<const Py_UCS1*>(s.data), static_cast<Py_UCS2*>(out), n);
    else if (s.kind == PyUnicode_1BYTE_KIND)
        widen_units(static_cast<const Py_UCS1*>(s.data), static_cast<Py_UCS4*>(out), n);
    else
        widen_units(static_cast<const Py_UCS2*>(s.data), static_cast<Py_UCS4*>(out), n);
    return static_cast<char*>(out) + n * kind;
}

namespace {

// The units looked for below, one by one.
inline bool odd_break(Py_UCS4 c) { return c != '\n' && c != '\r' && is_linebreak(c); }
template <class T>
bool units_have_odd_break(const T* p, size_t n) {
    // Candidates 16 bytes at a time ("\n" among them), then one by one.
    auto maybe = [](auto v) {
        auto lanes = (v < T(0x1F)) | (v == T(0x85));
        if constexpr (sizeof(T) > 1) lanes |= (v | T(1)) == T(0x2029);
        return lanes;
    };
    return scan_units(p, 0, static_cast<Py_ssize_t>(n), maybe, [](Py_UCS4 c) { return odd_break(c); }) !=
           static_cast<Py_ssize_t>(n);
}
template <class T>
size_t units_count_newlines(const T* p, size_t n) {
    size_t newlines = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == T('\n')) ++newlines;
        else if (is_linebreak(p[i])) return SIZE_MAX;
    }
    return newlines;
}

}  // namespace

#if defined(__x86_64__)
// The same 32 bytes at a time where the processor has AVX2.  For each
// range of units looked for, the least distance of a unit above the
// range's start is kept, vector by vector, with no branch; the text holds a
// unit of the range when that distance is within the range's span.
template <class T>
__attribute__((target("avx2"))) inline __m256i sub_units(__m256i a, __m256i b) {
    if constexpr (sizeof(T) == 1) return _mm256_sub_epi8(a, b);
    else if constexpr (sizeof(T) == 2) return _mm256_sub_epi16(a, b);
    else return _mm256_sub_epi32(a, b);
}
template <class T>
__attribute__((target("avx2"))) inline __m256i min_units(__m256i a, __m256i b) {
    if constexpr (sizeof(T) == 1) return _mm256_min_epu8(a, b);
    else if constexpr (sizeof(T) == 2) return _mm256_min_epu16(a, b);
    else return _mm256_min_epu32(a, b);
}
template <class T>
__attribute__((target("avx2"))) inline __m256i eq_units(__m256i a, __m256i b) {
    if constexpr (sizeof(T) == 1) return _mm256_cmpeq_epi8(a, b);
    else if constexpr (sizeof(T) == 2) return _mm256_cmpeq_epi16(a, b);
    else return _mm256_cmpeq_epi32(a, b);
}
template <class T>
__attribute__((target("avx2"))) inline __m256i all_units(uint32_t c) {
    if constexpr (sizeof(T) == 1) return _mm256_set1_epi8(static_cast<char>(c));
    else if constexpr (sizeof(T) == 2) return _mm256_set1_epi16(static_cast<short>(c));
    else return _mm256_set1_epi32(static_cast<int>(c));
}
// Whether some unit of a vector is at most `limit`.
template <class T>
__attribute__((target("avx2"))) inline bool some_unit_within(__m256i v, uint32_t limit) {
    return _mm256_movemask_epi8(eq_units<T>(min_units<T>(v, all_units<T>(limit)), v)) != 0;
}

// The whole vectors of p[0, n): whether they hold a line break other than
// "\n" (with COUNT, "\r" included, and their "\n"s added to `newlines`) or
// "\r" (without).  `done` gets where they end.
template <class T, bool COUNT>
__attribute__((target("avx2"))) bool vectors_have_odd_break(const T* p, size_t n, size_t& done, size_t& newlines) {
    constexpr size_t W = 32 / sizeof(T);
    // U+000B..U+000C, with "\r" when counting; U+001C..U+001E; U+0085; U+2028..U+2029.
    const __m256i from_vt = all_units<T>(0x0B), from_fs = all_units<T>(0x1C), nel = all_units<T>(0x85),
                  one = all_units<T>(1), ls = all_units<T>(0x2028), lf = all_units<T>('\n');
    __m256i near_vt = all_units<T>(~0u), near_fs = near_vt, near_nel = near_vt, near_ls = near_vt;
    size_t bits = 0, i = 0;
    for (; i + W <= n; i += W) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        if constexpr (COUNT)
            bits += static_cast<size_t>(__builtin_popcount(static_cast<uint32_t>(_mm256_movemask_epi8(eq_units<T>(v, lf)))));
        near_vt = min_units<T>(near_vt, sub_units<T>(v, from_vt));
        near_fs = min_units<T>(near_fs, sub_units<T>(v, from_fs));
        near_nel = min_units<T>(near_nel, sub_units<T>(v, nel));
        if constexpr (sizeof(T) > 1) near_ls = min_units<T>(near_ls, sub_units<T>(_mm256_or_si256(v, one), ls));
    }
    done = i;
    newlines += bits / sizeof(T);
    bool odd = some_unit_within<T>(near_vt, COUNT ? 2 : 1) || some_unit_within<T>(near_fs, 2) ||
               some_unit_within<T>(near_nel, 0);
    if constexpr (sizeof(T) > 1) odd = odd || some_unit_within<T>(near_ls, 1);
    return odd;
}
template <class T>
__attribute__((target("avx2"))) bool units_have_odd_break_avx2(const T* p, size_t n) {
    size_t done = 0, unused = 0;
    return vectors_have_odd_break<T, false>(p, n, done, unused) || units_have_odd_break(p + done, n - done);
}
template <class T>
__attribute__((target("avx2"))) size_t units_count_newlines_avx2(const T* p, size_t n) {
    size_t done = 0, newlines = 0;
    if (vectors_have_odd_break<T, true>(p, n, done, newlines)) return SIZE_MAX;
    const size_t rest = units_count_newlines(p + done, n - done);
    return rest == SIZE_MAX ? rest : newlines + rest;
}
#endif

#if defined(__x86_64__)
// Compiled for AVX-512 as a region (GCC's attribute on the function warns
// of the intrinsics' vector returns).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512vl"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl")
#endif
template <class O>
O* put_masked(O* out, const NStr& s) {
    const size_t n = static_cast<size_t>(s.len);
    const size_t bytes = n * static_cast<size_t>(s.kind);
    const __mmask64 in = bytes >= 64 ? ~__mmask64(0) : (__mmask64(1) << bytes) - 1;
    const __m512i raw = _mm512_maskz_loadu_epi8(in, s.data);
    if constexpr (sizeof(O) == 1) {
        _mm512_mask_storeu_epi8(out, in, raw);
    } else if constexpr (sizeof(O) == 2) {
        // (The widenings take their own narrower loads: GCC 12's casts and
        // plain widenings of vectors leave lanes it then warns of.)
        const __m512i from_bytes = _mm512_maskz_cvtepu8_epi16(~__mmask32(0), _mm256_maskz_loadu_epi8(__mmask32(in), s.data));
        const __mmask32 narrow = -__mmask32(s.kind == PyUnicode_1BYTE_KIND);
        const __mmask32 units = n >= 32 ? ~__mmask32(0) : (__mmask32(1) << n) - 1;
        _mm512_mask_storeu_epi16(out, units, _mm512_mask_blend_epi16(narrow, raw, from_bytes));
    } else {
        const __m512i from_bytes = _mm512_maskz_cvtepu8_epi32(~__mmask16(0), _mm_maskz_loadu_epi8(__mmask16(in), s.data));
        const __m512i from_words =
            _mm512_maskz_cvtepu16_epi32(~__mmask16(0), _mm256_maskz_loadu_epi8(__mmask32(in), s.data));
        const __mmask16 narrow = -__mmask16(s.kind == PyUnicode_1BYTE_KIND);
        const __mmask16 words = -__mmask16(s.kind == PyUnicode_2BYTE_KIND);
        const __mmask16 units = n >= 16 ? ~__mmask16(0) : __mmask16((1u << n) - 1);
        const __m512i v = _mm512_mask_blend_epi32(words, _mm512_mask_blend_epi32(narrow, raw, from_bytes), from_words);
        _mm512_mask_storeu_epi32(out, units, v);
    }
    return out + n;
}
// Texts of up to 64 bytes in one masked load where the processor has
// AVX-512 (the lanes past the end load as zeros, which are no line break):
// the line breaks as a mask, one bit per unit.
template <class T>
uint64_t break_lanes512(const T* p, size_t n, uint64_t& lf) {
    const size_t bytes = n * sizeof(T);
    const __m512i v = _mm512_maskz_loadu_epi8(bytes >= 64 ? ~__mmask64(0) : (__mmask64(1) << bytes) - 1, p);
    if constexpr (sizeof(T) == 1) {
        lf = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\n'));
        return _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8(0x0A)), _mm512_set1_epi8(3)) |
               _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8(0x1C)), _mm512_set1_epi8(2)) |
               _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(char(0x85)));
    } else if constexpr (sizeof(T) == 2) {
        lf = _mm512_cmpeq_epi16_mask(v, _mm512_set1_epi16('\n'));
        return _mm512_cmple_epu16_mask(_mm512_sub_epi16(v, _mm512_set1_epi16(0x0A)), _mm512_set1_epi16(3)) |
               _mm512_cmple_epu16_mask(_mm512_sub_epi16(v, _mm512_set1_epi16(0x1C)), _mm512_set1_epi16(2)) |
               _mm512_cmpeq_epi16_mask(v, _mm512_set1_epi16(0x85)) |
               _mm512_cmpeq_epi16_mask(_mm512_or_si512(v, _mm512_set1_epi16(1)), _mm512_set1_epi16(0x2029));
    } else {
        lf = _mm512_cmpeq_epi32_mask(v, _mm512_set1_epi32('\n'));
        return _mm512_cmple_epu32_mask(_mm512_sub_epi32(v, _mm512_set1_epi32(0x0A)), _mm512_set1_epi32(3)) |
               _mm512_cmple_epu32_mask(_mm512_sub_epi32(v, _mm512_set1_epi32(0x1C)), _mm512_set1_epi32(2)) |
               _mm512_cmpeq_epi32_mask(v, _mm512_set1_epi32(0x85)) |
               _mm512_cmpeq_epi32_mask(_mm512_or_si512(v, _mm512_set1_epi32(1)), _mm512_set1_epi32(0x2029));
    }
}
template <class T>
size_t units_count_newlines_masked(const T* p, size_t n) {
    uint64_t lf;
    if (break_lanes512(p, n, lf) & ~lf) return SIZE_MAX;
    return static_cast<size_t>(__builtin_popcountll(lf));
}
template <class T>
bool units_have_odd_break_masked(const T* p, size_t n) {
    uint64_t lf;
    const uint64_t breaks = break_lanes512(p, n, lf);
    if (!(breaks & ~lf)) return false;
    // "\r" is none of those looked for.
    for (size_t i = 0; i < n; ++i)
        if (odd_break(p[i])) return true;
    return false;
}
template Py_UCS1* put_masked(Py_UCS1*, const NStr&);
template Py_UCS2* put_masked(Py_UCS2*, const NStr&);
template Py_UCS4* put_masked(Py_UCS4*, const NStr&);
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

// The test of a view for its width: one masked load for short views where
// the processor has AVX-512, else vectors of 32 bytes where it has AVX2,
// else one unit at a time.
template <class R, class Masked, class Avx2, class Units>
R by_width(const NStr& s, Masked masked, Avx2 avx2, Units units) {
    const size_t n = static_cast<size_t>(s.len);
    return with_units(s, [&](auto* p) -> R {
#if defined(__x86_64__)
        if (n * sizeof(*p) <= 64 && has_avx512()) return masked(p, n);
        if (has_avx2()) return avx2(p, n);
#endif
        return units(p, n);
    });
}

size_t count_newlines(const NStr& s) {
    return by_width<size_t>(
        s, [](auto* p, size_t n) { return units_count_newlines_masked(p, n); },
        [](auto* p, size_t n) { return units_count_newlines_avx2(p, n); },
        [](auto* p, size_t n) { return units_count_newlines(p, n); });
}

bool has_odd_line_break(const NStr& s) {
    return by_width<bool>(
        s, [](auto* p, size_t n) { return units_have_odd_break_masked(p, n); },
        [](auto* p, size_t n) { return units_have_odd_break_avx2(p, n); },
        [](auto* p, size_t n) { return units_have_odd_break(p, n); });
}

}  // namespace arf
