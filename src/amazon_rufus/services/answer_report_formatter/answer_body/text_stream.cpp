// The fused text route: one forward pass over an answer text, instantiated
// per code-unit width, writing display blocks into the section's lines as
// they close.  Line ends and "|"s are read from masks of the text, a window
// at a time (a long line's rest by a scan); the table rule reads the
// delimiter row ahead in the text itself, and a paragraph is written as its
// lines come (or, while a list item may still be continued, kept as a range
// of the text that is read again when it closes).
// So the pass keeps no list of lines and no list of paragraph lines,
// whatever the text's size.  No Python code runs here (a signal
// handler aside, which sees none of this state), so every step stays the
// native one throughout.
#include "answer_body.hpp"
#include "display_stream.hpp"

#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

// GCC compiles a second copy of the pass for AVX2 (clang builds keep one).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define ARF_WIDE_TEXT_PASS 1
#else
#define ARF_WIDE_TEXT_PASS 0
#endif

namespace arf {

namespace {

// The pass for any processor: masks and scans 16 bytes at a time.
namespace narrow {
template <class T, class V, class P>
__attribute__((always_inline)) inline Py_ssize_t scan(const T* p, Py_ssize_t from, Py_ssize_t n, V maybe, P hit) {
    return scan_units(p, from, n, maybe, hit);
}
#if defined(__SSE2__)
// Vectors of one- or two-byte units, 16 bytes each, for the masks of lines
// and rows: loads, comparisons and one bit per unit of two results.
template <class T>
struct Vectors {
    using V = __m128i;
    static constexpr int UNITS = 16 / sizeof(T);
    static V load(const T* q) { return _mm_loadu_si128(reinterpret_cast<const V*>(q)); }
    static V all(int c) {
        if constexpr (sizeof(T) == 1) return _mm_set1_epi8(static_cast<char>(c));
        else return _mm_set1_epi16(static_cast<short>(c));
    }
    static V eq(V v, int c) {
        if constexpr (sizeof(T) == 1) return _mm_cmpeq_epi8(v, all(c));
        else return _mm_cmpeq_epi16(v, all(c));
    }
    // Lanes whose unit is at most c (unsigned): nothing is left of it after c.
    static V at_most(V v, int c) {
        if constexpr (sizeof(T) == 1) return _mm_cmpeq_epi8(_mm_subs_epu8(v, all(c)), _mm_setzero_si128());
        else return _mm_cmpeq_epi16(_mm_subs_epu16(v, all(c)), _mm_setzero_si128());
    }
    static V minus(V v, int c) {
        if constexpr (sizeof(T) == 1) return _mm_sub_epi8(v, all(c));
        else return _mm_sub_epi16(v, all(c));
    }
    static V either(V a, V b) { return _mm_or_si128(a, b); }
    static V neither(V a, V b) { return _mm_xor_si128(_mm_or_si128(a, b), _mm_set1_epi8(-1)); }
    // One bit per unit of two results, the first's units first.
    static uint64_t bits(V a, V b) {
        if constexpr (sizeof(T) == 1)
            return uint64_t(uint32_t(_mm_movemask_epi8(a))) | (uint64_t(uint32_t(_mm_movemask_epi8(b))) << 16);
        else
            return uint64_t(uint32_t(_mm_movemask_epi8(_mm_packs_epi16(a, b))));
    }
};
#endif
#include "text_stream_pass.inc"
}  // namespace narrow

#if ARF_WIDE_TEXT_PASS
// The pass compiled for AVX2: masks 32 bytes at a time, scans 64 (a long
// line takes a quarter of the blocks).  Everything it calls inline is
// compiled into it; the headers' own functions were declared before this
// point and keep the ordinary target wherever they are not inlined.
#pragma GCC push_options
#pragma GCC target("avx2")
namespace wide {
template <class T, class V, class P>
__attribute__((always_inline)) inline Py_ssize_t scan(const T* p, Py_ssize_t from, Py_ssize_t n, V maybe, P hit) {
    typedef T Units __attribute__((vector_size(32)));
    typedef char Bytes __attribute__((vector_size(32)));
    constexpr Py_ssize_t W = 32 / sizeof(T);
    constexpr uint64_t LANE = (uint64_t(1) << sizeof(T)) - 1;
    Py_ssize_t i = from;
    while (i + 2 * W <= n) {
        Units a, b;
        std::memcpy(&a, p + i, 32);
        std::memcpy(&b, p + i + W, 32);
        uint64_t bits = uint64_t(uint32_t(__builtin_ia32_pmovmskb256(reinterpret_cast<Bytes>(maybe(a))))) |
                        (uint64_t(uint32_t(__builtin_ia32_pmovmskb256(reinterpret_cast<Bytes>(maybe(b))))) << 32);
        while (bits) {
            const Py_ssize_t k = __builtin_ctzll(bits) / static_cast<int>(sizeof(T));
            if (hit(static_cast<Py_UCS4>(p[i + k]))) return i + k;
            bits &= ~(LANE << (k * sizeof(T)));
        }
        i += 2 * W;
    }
    return scan_units(p, i, n, maybe, hit);
}
// Vectors of one- or two-byte units, 32 bytes each (as the narrow pass's).
template <class T>
struct Vectors {
    using V = __m256i;
    static constexpr int UNITS = 32 / sizeof(T);
    static V load(const T* q) { return _mm256_loadu_si256(reinterpret_cast<const V*>(q)); }
    static V all(int c) {
        if constexpr (sizeof(T) == 1) return _mm256_set1_epi8(static_cast<char>(c));
        else return _mm256_set1_epi16(static_cast<short>(c));
    }
    static V eq(V v, int c) {
        if constexpr (sizeof(T) == 1) return _mm256_cmpeq_epi8(v, all(c));
        else return _mm256_cmpeq_epi16(v, all(c));
    }
    static V at_most(V v, int c) {
        if constexpr (sizeof(T) == 1) return _mm256_cmpeq_epi8(_mm256_subs_epu8(v, all(c)), _mm256_setzero_si256());
        else return _mm256_cmpeq_epi16(_mm256_subs_epu16(v, all(c)), _mm256_setzero_si256());
    }
    static V minus(V v, int c) {
        if constexpr (sizeof(T) == 1) return _mm256_sub_epi8(v, all(c));
        else return _mm256_sub_epi16(v, all(c));
    }
    static V either(V a, V b) { return _mm256_or_si256(a, b); }
    static V neither(V a, V b) { return _mm256_xor_si256(_mm256_or_si256(a, b), _mm256_set1_epi8(-1)); }
    static uint64_t bits(V a, V b) {
        if constexpr (sizeof(T) == 1) {
            return uint64_t(uint32_t(_mm256_movemask_epi8(a))) | (uint64_t(uint32_t(_mm256_movemask_epi8(b))) << 32);
        } else {
            // Packing works within 16-byte lanes: the middle quarters swap back.
            return uint64_t(uint32_t(_mm256_movemask_epi8(_mm256_permute4x64_epi64(_mm256_packs_epi16(a, b), 0xD8))));
        }
    }
};
#include "text_stream_pass.inc"
}  // namespace wide
#pragma GCC pop_options
#endif

}  // namespace

bool write_text_body(Work& w, NStr text, LineSink& sink, BodyLines* lines) {
    if (lines) *lines = BodyLines::THROUGH_SINK;
    if (text.empty()) return true;
    DisplayStream display(w, sink);
    bool ok = with_units(text, [&](auto* p) {
        using T = std::remove_cv_t<std::remove_pointer_t<decltype(p)>>;
#if ARF_WIDE_TEXT_PASS
        if (has_avx2()) return wide::TextStream<T>(text, display).run();
#endif
        return narrow::TextStream<T>(text, display).run();
    });
    if (!ok) return false;
    // Nothing shown: the whole trimmed text is the one block.
    if (!display.blocks()) {
        NStr t = trim(text);
        if (!t.empty()) sink.line(t);
        return true;
    }
    // The pass splits lines at "\n", "\r\n" and "\r" only, and writes
    // them trimmed, with runs of empty lines as one.  (A short text is read
    // again by the clean-up for less than this look costs.)
    const bool clean = text.len >= VOUCHED_MIN && display.plain() && !has_odd_line_break(text);
    if (lines) *lines = clean ? BodyLines::CLEAN : BodyLines::UNKNOWN;
    return true;
}

}  // namespace arf
