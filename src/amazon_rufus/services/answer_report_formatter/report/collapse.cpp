// Blank-line collapsing: every line right-trimmed, every run of blank lines
// one empty line, no blank lines at the end, lines joined with "\n".
#include "report.hpp"
#include "../module/steps.hpp"

#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace arf {

namespace {

// Compacts a buffer in place.  Kept ranges of the input are gathered into
// runs and moved once per run, so text that needs no change is not copied
// line by line; the output never runs ahead of the input.
template <class T>
class Compactor {
public:
    // `kept`: the first code units, already in place.
    Compactor(T* d, size_t kept) : d_(d), w_(kept) {}
    void keep(size_t from, size_t to) {
        if (from == to) return;
        if (run_end_ != from) {
            flush();
            run_start_ = from;
        }
        run_end_ = to;
    }
    void put(T c) {
        flush();
        d_[w_++] = c;
    }
    size_t finish() {
        flush();
        return w_;
    }

private:
    void flush() {
        size_t len = run_end_ - run_start_;
        if (len && w_ != run_start_) std::memmove(d_ + w_, d_ + run_start_, len * sizeof(T));
        w_ += len;
        run_start_ = run_end_ = SIZE_MAX;
    }
    T* d_;
    size_t w_;
    size_t run_start_ = SIZE_MAX, run_end_ = SIZE_MAX;
};

// Blocks that may hold a line break: code units below U+001F, U+0085,
// U+2028 and U+2029.
inline auto may_break(Units16x1 v) { return (v < 0x1F) | (v == 0x85); }
inline auto may_break(Units16x2 v) { return (v < 0x1F) | (v == 0x85) | ((v | 1) == 0x2029); }
inline auto may_break(Units16x4 v) {
    // Code points stay below 2**31, so a signed comparison is exact here.
    auto s = reinterpret_cast<Units16x4s>(v);
    return (s < 0x1F) | (s == 0x85) | ((s | 1) == 0x2029);
}

// Where a text stops being what collapsing makes of it: the start of the
// first line to change, the lines before it and whether the last of them is
// empty.  Those lines stay as they are.
struct CleanPrefix {
    size_t line_start = 0;
    size_t lines = 0;
    bool previous_empty = false;
};

// The compacted length, or SIZE_MAX when a signal handler raised.  The
// lines before `from.line_start` are left where they are; the "\n" that
// ends the last of them counts as the next line's separator.
template <class T>
size_t collapse_units(T* d, size_t n, const CleanPrefix& from) {
    Compactor<T> out(d, from.line_start ? from.line_start - 1 : 0);
    size_t count = from.lines, start = from.line_start;
    bool blank = from.previous_empty;
    // A line's "\n" separator is taken from the input when the line follows
    // a plain "\n" there.
    auto separator = [&](size_t a) {
        if (a > 0 && d[a - 1] == '\n')
            out.keep(a - 1, a);
        else
            out.put('\n');
    };
    auto emit = [&](size_t a, size_t e) {
        size_t b = e;
        while (b > a && is_space(d[b - 1])) --b;
        if (b == a) {
            if (!blank && count++) separator(a);
            blank = true;
            return;
        }
        if (count++) separator(a);
        out.keep(a, b);
        blank = false;
    };
    const Py_ssize_t len = static_cast<Py_ssize_t>(n);
    for (Py_ssize_t at = static_cast<Py_ssize_t>(start);; ++at) {
        at = scan_units(
            d, at, len, [](Units16<T> v) { return may_break(v); }, is_linebreak);
        if (at == len) break;
        Py_UCS4 c = d[at];
        if (interrupted_after(static_cast<size_t>(at) - start + 1)) return SIZE_MAX;
        emit(start, static_cast<size_t>(at));
        if (c == '\r' && at + 1 < len && d[at + 1] == '\n') ++at;
        start = static_cast<size_t>(at) + 1;
    }
    if (start < n) emit(start, n);
    size_t w = out.finish();
    // Runs are collapsed, so at most one empty line ends the output.
    if (blank && count > 1) --w;
    return w;
}

// The check below walks every line break of a report, so the work per
// line is kept to a few instructions: no state but the count of lines, and
// the common line end (a printable ASCII unit, or one past U+3000, before a
// plain "\n") decided first.  Nothing in the loop calls out, so the vector
// constants stay in registers.

// Whether the line ending in the "\n" at `at` (> 0) stays as it is: it does
// not end in whitespace, and if it is empty, the line before it is not.
template <class T>
inline bool line_end_clean_slow(const T* d, size_t at) {
    const T prev = d[at - 1];
    if (prev == '\n') return at >= 2 && d[at - 2] != '\n';
    return !is_space(prev);
}

// True when the candidate unit at `at` leaves the text clean: a clean
// line's "\n", counted in `lines`, or no line break at all.
template <class T>
__attribute__((always_inline)) inline bool candidate_clean(const T* d, size_t at, size_t& lines) {
    const T c = d[at];
    if (c != '\n') [[unlikely]]
        return !is_linebreak(c);
    if (at) {
        const Py_UCS4 prev = d[at - 1];
        if (!((prev > ' ' && prev < 0x7f) || prev > 0x3000) && !line_end_clean_slow(d, at)) return false;
    }
    ++lines;
    return true;
}

// The mask bits that stand for whole code units: one per unit.
template <class T>
constexpr uint64_t unit_bits() {
    return sizeof(T) == 1 ? ~uint64_t(0) : sizeof(T) == 2 ? 0x5555555555555555ull : 0x1111111111111111ull;
}

// Code units worked through between two looks for a pending signal.
constexpr size_t SIGNAL_STRIDE = 4096;

// One block of the scan: the candidates of its mask visited in order, then,
// every SIGNAL_STRIDE code units, a look for a pending signal.  0 when the
// scan goes on; else the position of the first unit that is not clean plus
// one, or SIZE_MAX when a signal handler raised.
template <class T>
__attribute__((always_inline)) inline size_t block_fault(const T* d, size_t at_i, size_t block, uint64_t bits,
                                                         size_t& lines) {
    while (bits) {
        const size_t at = at_i + static_cast<size_t>(__builtin_ctzll(bits)) / sizeof(T);
        bits &= bits - 1;
        if (!candidate_clean(d, at, lines)) return at + 1;
    }
    if ((at_i & (SIGNAL_STRIDE - 1)) < block && interrupted_after(SIGNAL_STRIDE)) return SIZE_MAX;
    return 0;
}

// What a scan of blocks gives back: the fault of block_fault's answer `f`
// (n when there is none), with where the blocks ended and the count of lines.
inline size_t fault_of(size_t f, size_t i, size_t n, size_t& i_io, size_t lines, size_t& lines_io) {
    i_io = i;
    lines_io = lines;
    return !f ? n : f == SIZE_MAX ? f : f - 1;
}

// Blocks of code units tested at once, every candidate of a block (a unit
// that may be a line break) taken from the block's mask, up to the last
// whole block; `i` ends where the blocks did.  The position of the first
// unit that is not clean, n when there is none, SIZE_MAX when a signal
// handler raised.
// (The position and the count are kept in locals, out of the global signal
// counter's way, and handed back at the end.)
template <class T>
size_t first_fault(const T* d, size_t& i_io, size_t n, size_t& lines_io) {
    constexpr size_t W = 16 / sizeof(T);
    size_t i = i_io, lines = lines_io, f = 0;
    for (; !f && i + 2 * W <= n; i += 2 * W) {
        Units16<T> a, b;
        std::memcpy(&a, d + i, 16);
        std::memcpy(&b, d + i + W, 16);
        f = block_fault(d, i, 2 * W, (lane_bits(may_break(a)) | (uint64_t(lane_bits(may_break(b))) << 16)) & unit_bits<T>(), lines);
    }
    return fault_of(f, i, n, i_io, lines, lines_io);
}

#if defined(__x86_64__)
// The same with 32-byte blocks where the processor has AVX2: half the
// instructions per code unit on the long, clean texts of most reports.
__attribute__((target("avx2"))) inline uint32_t break_bits(const Py_UCS1* p) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i low = _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1E)), v);
    const __m256i nel = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(0x85)));
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(low, nel)));
}
__attribute__((target("avx2"))) inline uint32_t break_bits(const Py_UCS2* p) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i low = _mm256_cmpeq_epi16(_mm256_min_epu16(v, _mm256_set1_epi16(0x1E)), v);
    const __m256i nel = _mm256_cmpeq_epi16(v, _mm256_set1_epi16(0x85));
    const __m256i sep = _mm256_cmpeq_epi16(_mm256_or_si256(v, _mm256_set1_epi16(1)), _mm256_set1_epi16(0x2029));
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(low, nel), sep)));
}
__attribute__((target("avx2"))) inline uint32_t break_bits(const Py_UCS4* p) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i low = _mm256_cmpeq_epi32(_mm256_min_epu32(v, _mm256_set1_epi32(0x1E)), v);
    const __m256i nel = _mm256_cmpeq_epi32(v, _mm256_set1_epi32(0x85));
    const __m256i sep = _mm256_cmpeq_epi32(_mm256_or_si256(v, _mm256_set1_epi32(1)), _mm256_set1_epi32(0x2029));
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(low, nel), sep)));
}

template <class T>
__attribute__((target("avx2"))) size_t first_fault_avx2(const T* d, size_t& i_io, size_t n, size_t& lines_io) {
    constexpr size_t W = 32 / sizeof(T);
    size_t i = i_io, lines = lines_io, f = 0;
    for (; !f && i + 2 * W <= n; i += 2 * W)
        f = block_fault(d, i, 2 * W, (break_bits(d + i) | (uint64_t(break_bits(d + i + W)) << 32)) & unit_bits<T>(), lines);
    return fault_of(f, i, n, i_io, lines, lines_io);
}

#endif

// Whether the text is already what collapsing makes of it, as reports
// usually are: lines separated by "\n" alone, none ending in whitespace, no
// two empty lines in a row and none at the end.  1 yes, 0 no (`prefix` then
// tells how far it is), -1 when a signal handler raised.
template <class T>
int already_collapsed(const T* d, size_t n, CleanPrefix& prefix) {
    size_t i = 0, lines = 0, fault;
#if defined(__x86_64__)
    if (has_avx2())
        fault = first_fault_avx2(d, i, n, lines);
    else
#endif
        fault = first_fault(d, i, n, lines);
    if (fault == SIZE_MAX) return -1;
    if (fault == n) {
        for (fault = i; fault < n && candidate_clean(d, fault, lines); ++fault) {
        }
    }
    // Clean throughout, and not ending in whitespace or an empty line.
    if (fault == n && (!n || !is_space(d[n - 1]))) return 1;
    // The clean lines are those before the one holding the fault (or the
    // last line): every line break before it is a plain "\n".
    size_t start = fault;
    while (start > 0 && d[start - 1] != '\n') --start;
    prefix.line_start = start;
    prefix.lines = lines;
    prefix.previous_empty = start > 0 && (start == 1 || d[start - 2] == '\n');
    return 0;
}

template <class T>
size_t collapse_in_place(T* d, size_t n) {
    CleanPrefix prefix;
    int clean = already_collapsed(d, n, prefix);
    if (clean < 0) return SIZE_MAX;
    return clean ? n : collapse_units(d, n, prefix);
}

}  // namespace

bool collapse_blank_lines(TextBuf& buf) {
    size_t w;
    switch (buf.kind()) {
        case PyUnicode_1BYTE_KIND: w = collapse_in_place(static_cast<Py_UCS1*>(buf.data()), buf.size()); break;
        case PyUnicode_2BYTE_KIND: w = collapse_in_place(static_cast<Py_UCS2*>(buf.data()), buf.size()); break;
        default: w = collapse_in_place(static_cast<Py_UCS4*>(buf.data()), buf.size());
    }
    if (w == SIZE_MAX) return false;
    buf.truncate(w);
    return true;
}

PyObject* py_collapse_blank_lines(PyObject*, PyObject* const* args) {
    TextBuf buf;
    buf.append(NStr::of(args[0]));
    if (!collapse_blank_lines(buf)) return nullptr;
    return buf.to_py();
}

}  // namespace arf
