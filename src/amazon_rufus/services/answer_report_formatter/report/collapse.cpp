// Blank-line collapsing: every line right-trimmed, every run of blank lines
// one empty line, no blank lines at the end, lines joined with "\n".
#include "report.hpp"
#include "../module/steps.hpp"

#include <cstring>

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
// line's "\n", or no line break at all.
template <class T>
__attribute__((always_inline)) inline bool candidate_clean(const T* d, size_t at) {
    const T c = d[at];
    if (c != '\n') [[unlikely]]
        return !is_linebreak(c);
    if (at) {
        const Py_UCS4 prev = d[at - 1];
        if (!((prev > ' ' && prev < 0x7f) || prev > 0x3000) && !line_end_clean_slow(d, at)) return false;
    }
    return true;
}

// Code units worked through between two looks for a pending signal.
constexpr size_t SIGNAL_STRIDE = 4096;

// One block of the scan: the candidates of its mask visited in order, then,
// every SIGNAL_STRIDE code units, a look for a pending signal.  0 when the
// scan goes on; else the position of the first unit that is not clean plus
// one, or SIZE_MAX when a signal handler raised.
template <class T>
__attribute__((always_inline)) inline size_t block_fault(const T* d, size_t at_i, size_t block, uint64_t bits) {
    while (bits) {
        const size_t at = at_i + static_cast<size_t>(__builtin_ctzll(bits)) / sizeof(T);
        bits &= bits - 1;
        if (!candidate_clean(d, at)) return at + 1;
    }
    if ((at_i & (SIGNAL_STRIDE - 1)) < block && interrupted_after(SIGNAL_STRIDE)) return SIZE_MAX;
    return 0;
}

// What a scan of blocks gives back: the fault of block_fault's answer `f`
// (n when there is none), with where the blocks ended.
inline size_t fault_of(size_t f, size_t i, size_t n, size_t& i_out) {
    i_out = i;
    return !f ? n : f == SIZE_MAX ? f : f - 1;
}

// The lanes of a vector of units, as comparison results: its "\n", the
// units that may be whitespace (all of U+0085..U+3000 above ASCII, whose
// letters and punctuation are only looked at again, never misjudged) and
// the units that may break a line.  (Results go out through
// references: vectors returned by value would change the calling
// convention between the builds with and without AVX.)
template <class T, class V, class M>
__attribute__((always_inline)) inline void break_lanes(const V& v, M& breaks) {
    breaks = (v < T(0x1F)) | (v == T(0x85));
    if constexpr (sizeof(T) > 1) breaks |= (v | T(1)) == T(0x2029);
}
template <class T, class V, class M>
__attribute__((always_inline)) inline void unit_lanes(const T* q, M& nl, M& space, M& breaks) {
    V v;
    std::memcpy(&v, q, sizeof(V));
    nl = v == T('\n');
    space = (v <= T(' ')) | (v - T(0x85) <= T(sizeof(T) == 1 ? 0xFF - 0x85 : 0x3000 - 0x85));
    break_lanes<T>(v, breaks);
}
// The lanes, over the vectors of units at q, q + W, ... (`count` of them),
// where some unit may break a line.
template <class T, class V, int count, class M>
__attribute__((always_inline)) inline void any_breaks(const T* q, M& any) {
    M one;
    V v;
    std::memcpy(&v, q, sizeof(V));
    break_lanes<T>(v, any);
    for (int k = 1; k < count; ++k) {
        std::memcpy(&v, q + k * (sizeof(V) / sizeof(T)), sizeof(V));
        break_lanes<T>(v, one);
        any |= one;
    }
}

// The masks of a block of units: sizeof(T) bits per unit, in the low BITS
// bits of each.
struct LaneMasks {
    uint64_t nl, space, breaks;
};

// The units of a block that need the per-candidate check: a "\n" after a
// unit that may be whitespace (an empty line's "\n" only when the line
// before is empty too), and any other unit that may break a line.  Every
// other "\n" ends a clean line, so a block without such units is clean
// whatever its line lengths, with no branch per line.  `before` holds the
// masks of the block before, whose last units come right before this one's.
template <class T, unsigned BITS>
__attribute__((always_inline)) inline uint64_t unclean_units(const LaneMasks& m, const LaneMasks& before) {
    constexpr unsigned S = sizeof(T);
    const uint64_t nl_1 = (m.nl << S) | (before.nl >> (BITS - S));
    const uint64_t nl_2 = (m.nl << 2 * S) | (before.nl >> (BITS - 2 * S));
    const uint64_t space_1 = (m.space << S) | (before.space >> (BITS - S));
    return ((m.nl & ((space_1 & ~nl_1) | (nl_1 & nl_2))) | (m.breaks & ~m.nl)) & unit_bits<T>();
}

// One block: its candidates checked one by one when some unit needs a
// look.  As block_fault answers.
template <class T, unsigned BITS>
__attribute__((always_inline)) inline size_t lane_block(const T* d, size_t i, const LaneMasks& m, LaneMasks& before) {
    constexpr size_t block = BITS / sizeof(T);
    const uint64_t unclean = unclean_units<T, BITS>(m, before);
    before = m;
    if (unclean) [[unlikely]]
        return block_fault(d, i, block, m.breaks & unit_bits<T>());
    if ((i & (SIGNAL_STRIDE - 1)) < block && interrupted_after(SIGNAL_STRIDE)) return SIZE_MAX;
    return 0;
}

// The masks before the first block, which starts at `from`: those of the
// two units before it, the text's start standing for a "\n" (its first line
// starts there) with no "\n" before that.
template <class T, unsigned BITS>
inline LaneMasks masks_before(const T* d, size_t from) {
    constexpr uint64_t last_unit = ((uint64_t(1) << sizeof(T)) - 1) << (BITS - sizeof(T));
    constexpr uint64_t unit_before = last_unit >> sizeof(T);
    if (from == 0) return LaneMasks{last_unit, last_unit, last_unit};
    const uint32_t u = d[from - 1];
    const bool space = (u <= ' ') | (u - 0x85 <= (sizeof(T) == 1 ? 0xFFu - 0x85 : 0x3000u - 0x85));
    const bool nl_before = from == 1 || d[from - 2] == T('\n');
    return LaneMasks{(u == '\n' ? last_unit : 0) | (nl_before ? unit_before : 0), space ? last_unit : 0, 0};
}

// The masks before the block after a stretch without line breaks, whose
// last unit is `last`: no "\n", and that unit's whitespace bit as
// unit_lanes would set it.
template <class T, unsigned BITS>
inline LaneMasks after_plain_stretch(T last) {
    constexpr uint64_t last_unit = ((uint64_t(1) << sizeof(T)) - 1) << (BITS - sizeof(T));
    const uint32_t u = last;
    const bool space = (u <= ' ') | (u - 0x85 <= (sizeof(T) == 1 ? 0xFFu - 0x85 : 0x3000u - 0x85));
    return LaneMasks{0, space ? last_unit : 0, 0};
}

// Blocks of code units tested at once from `from` up to the last whole
// block before n; `i_out` gets where the blocks ended.  The position of the
// first unit that is not clean, n when there is none, SIZE_MAX when a
// signal handler raised.
// (The position is kept in a local, out of the global signal counter's
// way, and handed back at the end.)
template <class T>
size_t first_fault(const T* d, size_t from, size_t n, size_t& i_out) {
    using V = Units16<T>;
    constexpr size_t W = 16 / sizeof(T), BLOCK = 2 * W, GROUP = 4 * BLOCK;
    size_t i = from, f = 0;
    LaneMasks before = masks_before<T, 32>(d, from);
    auto block = [&](size_t at) {
        decltype(V() == V()) nl[2], space[2], breaks[2];
        unit_lanes<T, V>(d + at, nl[0], space[0], breaks[0]);
        unit_lanes<T, V>(d + at + W, nl[1], space[1], breaks[1]);
        const LaneMasks m{lane_bits(nl[0]) | (uint64_t(lane_bits(nl[1])) << 16),
                          lane_bits(space[0]) | (uint64_t(lane_bits(space[1])) << 16),
                          lane_bits(breaks[0]) | (uint64_t(lane_bits(breaks[1])) << 16)};
        return lane_block<T, 32>(d, at, m, before);
    };
    // Four blocks at a time: a stretch without line breaks (a long line) is
    // passed over at the cost of finding that out.
    while (!f && i + GROUP <= n) {
        decltype(V() == V()) breaks;
        any_breaks<T, V, 8>(d + i, breaks);
        if (!lane_bits(breaks)) {
            before = after_plain_stretch<T, 32>(d[i + GROUP - 1]);
            if ((i & (SIGNAL_STRIDE - 1)) < GROUP && interrupted_after(SIGNAL_STRIDE)) f = SIZE_MAX;
            i += GROUP;
            continue;
        }
        for (const size_t end = i + GROUP; !f && i < end; i += BLOCK) f = block(i);
    }
    for (; !f && i + BLOCK <= n; i += BLOCK) f = block(i);
    return fault_of(f, i, n, i_out);
}

#if defined(__x86_64__)
// The same with 32-byte blocks where the processor has AVX2: half the
// instructions per code unit on the long, clean texts of most reports.
typedef Py_UCS1 Units32x1 __attribute__((vector_size(32)));
typedef Py_UCS2 Units32x2 __attribute__((vector_size(32)));
typedef Py_UCS4 Units32x4 __attribute__((vector_size(32)));
template <class T> struct Units32Of;
template <> struct Units32Of<Py_UCS1> { using type = Units32x1; };
template <> struct Units32Of<Py_UCS2> { using type = Units32x2; };
template <> struct Units32Of<Py_UCS4> { using type = Units32x4; };
template <class T>
using Units32 = typename Units32Of<T>::type;

template <class M>
__attribute__((target("avx2"), always_inline)) inline uint32_t lane_bits32(M m) {
    typedef char Bytes32 __attribute__((vector_size(32)));
    return static_cast<uint32_t>(__builtin_ia32_pmovmskb256(reinterpret_cast<Bytes32>(m)));
}

// One block of 64 bytes (a function of its own, as lambdas do not take the
// enclosing function's target).
template <class T>
__attribute__((target("avx2"), always_inline)) inline size_t block_avx2(const T* d, size_t at, LaneMasks& before) {
    using V = Units32<T>;
    constexpr size_t W = 32 / sizeof(T);
    decltype(V() == V()) nl[2], space[2], breaks[2];
    unit_lanes<T, V>(d + at, nl[0], space[0], breaks[0]);
    unit_lanes<T, V>(d + at + W, nl[1], space[1], breaks[1]);
    const LaneMasks m{lane_bits32(nl[0]) | (uint64_t(lane_bits32(nl[1])) << 32),
                      lane_bits32(space[0]) | (uint64_t(lane_bits32(space[1])) << 32),
                      lane_bits32(breaks[0]) | (uint64_t(lane_bits32(breaks[1])) << 32)};
    return lane_block<T, 64>(d, at, m, before);
}

template <class T>
__attribute__((target("avx2"))) size_t first_fault_avx2(const T* d, size_t from, size_t n, size_t& i_out) {
    using V = Units32<T>;
    constexpr size_t BLOCK = 64 / sizeof(T), GROUP = 4 * BLOCK;
    size_t i = from, f = 0;
    LaneMasks before = masks_before<T, 64>(d, from);
    while (!f && i + GROUP <= n) {
        decltype(V() == V()) breaks;
        any_breaks<T, V, 8>(d + i, breaks);
        if (!lane_bits32(breaks)) {
            before = after_plain_stretch<T, 64>(d[i + GROUP - 1]);
            if ((i & (SIGNAL_STRIDE - 1)) < GROUP && interrupted_after(SIGNAL_STRIDE)) f = SIZE_MAX;
            i += GROUP;
            continue;
        }
        for (const size_t end = i + GROUP; !f && i < end; i += BLOCK) f = block_avx2(d, i, before);
    }
    for (; !f && i + BLOCK <= n; i += BLOCK) f = block_avx2(d, i, before);
    return fault_of(f, i, n, i_out);
}

#endif

// The first unit of [from, n) that is not clean (n when there is none),
// SIZE_MAX when a signal handler raised.
template <class T>
size_t first_fault_in(const T* d, size_t from, size_t n) {
    size_t i = from, fault;
#if defined(__x86_64__)
    if (has_avx2())
        fault = first_fault_avx2(d, from, n, i);
    else
#endif
        fault = first_fault(d, from, n, i);
    if (fault == n) {
        for (fault = i; fault < n && candidate_clean(d, fault); ++fault) {
        }
    }
    return fault;
}

// The first unit that is not clean, looking only at `ranges` (sorted, apart)
// when given: the writers vouch for the rest.
template <class T>
size_t first_fault_of(const T* d, size_t n, const std::vector<ScanRange>* ranges) {
    if (!ranges) return first_fault_in(d, 0, n);
    for (const ScanRange& r : *ranges) {
        const size_t to = std::min(r.to, n);
        const size_t fault = first_fault_in(d, r.from, to);
        if (fault != to) return fault;
    }
    return n;
}

// Whether the text is already what collapsing makes of it, as reports
// usually are: lines separated by "\n" alone, none ending in whitespace, no
// two empty lines in a row and none at the end.  1 yes, 0 no (`prefix` then
// tells how far it is), -1 with an exception set (a signal handler raised).
template <class T>
int already_collapsed(const T* d, size_t n, const std::vector<ScanRange>* ranges, CleanPrefix& prefix) {
    size_t fault = first_fault_of(d, n, ranges);
    if (fault == SIZE_MAX) return -1;
#ifdef ARF_CHECK_VOUCHED
    // Builds for tests check the writers' word against the whole text.
    if (ranges) {
        const size_t whole = first_fault_of<T>(d, n, nullptr);
        if (whole == SIZE_MAX) return -1;
        if (whole != fault) {
            PyErr_Format(PyExc_SystemError, "report clean-up: a unit at %zu was vouched for but is not clean",
                         whole);
            return -1;
        }
    }
#endif
    // Clean throughout, and not ending in whitespace or an empty line.
    if (fault == n && (!n || !is_space(d[n - 1]))) return 1;
    // The clean lines are those before the one holding the fault (or the
    // last line): every line break before it is a plain "\n".
    size_t start = fault;
    while (start > 0 && d[start - 1] != '\n') --start;
    prefix.line_start = start;
    // Compacting only asks whether none, one or more lines come first.
    for (size_t at = 0; prefix.lines < 2 && at < start; ++at) {
        at = static_cast<size_t>(scan_units(
            d, static_cast<Py_ssize_t>(at), static_cast<Py_ssize_t>(start), [](auto v) { return v == T('\n'); },
            [](Py_UCS4 u) { return u == '\n'; }));
        prefix.lines += at < start;
    }
    prefix.previous_empty = start > 0 && (start == 1 || d[start - 2] == '\n');
    return 0;
}

template <class T>
size_t collapse_in_place(T* d, size_t n, const std::vector<ScanRange>* ranges) {
    CleanPrefix prefix;
    int clean = already_collapsed(d, n, ranges, prefix);
    if (clean < 0) return SIZE_MAX;
    return clean ? n : collapse_units(d, n, prefix);
}

}  // namespace

bool collapse_blank_lines(TextBuf& buf, const std::vector<ScanRange>* ranges) {
    size_t w;
    switch (buf.kind()) {
        case PyUnicode_1BYTE_KIND: w = collapse_in_place(static_cast<Py_UCS1*>(buf.data()), buf.size(), ranges); break;
        case PyUnicode_2BYTE_KIND: w = collapse_in_place(static_cast<Py_UCS2*>(buf.data()), buf.size(), ranges); break;
        default: w = collapse_in_place(static_cast<Py_UCS4*>(buf.data()), buf.size(), ranges);
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
