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
template Py_UCS1* put_masked(Py_UCS1*, const NStr&);
template Py_UCS2* put_masked(Py_UCS2*, const NStr&);
template Py_UCS4* put_masked(Py_UCS4*, const NStr&);
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

}  // namespace arf
