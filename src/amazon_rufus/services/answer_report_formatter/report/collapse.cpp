// Blank-line collapsing: every line right-trimmed, every run of blank lines
// one empty line, no blank lines at the end, lines joined with "\n".
#include "../module/impls.hpp"

#include <cstring>

namespace arf {

// Works in place: the output never runs ahead of the input, since every line
// keeps at most its own code points and one terminator becomes one "\n".
void collapse_blank_lines(TextBuf& buf) {
    Py_UCS4* d = buf.data();
    const size_t n = buf.size();
    size_t w = 0, count = 0, start = 0;
    bool blank = false;
    auto emit = [&](size_t a, size_t b) {
        while (b > a && is_space(d[b - 1])) --b;
        if (b == a) {
            if (!blank && count++) d[w++] = '\n';
            blank = true;
            return;
        }
        if (count++) d[w++] = '\n';
        if (w != a) std::memmove(d + w, d + a, (b - a) * sizeof(Py_UCS4));
        w += b - a;
        blank = false;
    };
    const Py_ssize_t len = static_cast<Py_ssize_t>(n);
    auto maybe = [](Units16<Py_UCS4> v) { return (v <= 0x1Eu) | (v == 0x85u) | ((v | 1u) == 0x2029u); };
    for (Py_ssize_t at = 0;; ++at) {
        at = scan_units(d, at, len, maybe, is_linebreak);
        if (at == len) break;
        Py_UCS4 c = d[at];
        emit(start, static_cast<size_t>(at));
        if (c == '\r' && at + 1 < len && d[at + 1] == '\n') ++at;
        start = static_cast<size_t>(at) + 1;
    }
    if (start < n) emit(start, n);
    // Runs are collapsed, so at most one empty line ends the output.
    if (blank && count > 1) --w;
    buf.truncate(w);
}

PyObject* py_collapse_blank_lines(PyObject*, PyObject* const* args) {
    TextBuf buf;
    buf.append(NStr::of(args[0]));
    collapse_blank_lines(buf);
    return buf.to_py();
}

}  // namespace arf
