// Blank-line collapsing: every line right-trimmed, every run of blank lines
// one empty line, no blank lines at the end, lines joined with "\n".
#include "../module/impls.hpp"

namespace arf {

void collapse_blank_lines(NStr text, TextBuf& out) {
    Py_ssize_t count = 0;
    bool blank = false;
    auto emit = [&](NStr line) {
        NStr kept = rtrim(line);
        if (kept.empty()) {
            if (!blank) {
                if (count++) out.push('\n');
            }
            blank = true;
            return;
        }
        if (count++) out.push('\n');
        out.append(kept);
        blank = false;
    };
    Py_ssize_t start = 0;
    for (Py_ssize_t i = 0; i < text.len; ++i) {
        Py_UCS4 c = text[i];
        if (!is_linebreak(c)) continue;
        emit(text.sub(start, i));
        if (c == '\r' && i + 1 < text.len && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.len) emit(text.sub(start, text.len));
    // At most one empty line can end the output, because runs are collapsed.
    if (blank && count) {
        size_t size = out.size();
        out.truncate(count == 1 ? size : size - 1);
    }
}

PyObject* py_collapse_blank_lines(PyObject*, PyObject* const* args) noexcept {
    TextBuf out;
    collapse_blank_lines(NStr::of(args[0]), out);
    return out.to_py();
}

}  // namespace arf
