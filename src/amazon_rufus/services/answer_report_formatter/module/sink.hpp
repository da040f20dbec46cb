// A line list written straight into a text buffer: lines are separated by
// "\n" as the joining steps would separate them, and items handed over by a
// replaced step are checked as the host's join would check them.
#pragma once
#include "text.hpp"

namespace arf {

class LineSink {
public:
    explicit LineSink(TextBuf& buf, bool keep_bounds = false) : buf_(buf), keep_bounds_(keep_bounds) {}

    Py_ssize_t count() const { return count_; }
    TextBuf& buf() { return buf_; }

    void begin_line() {
        if (count_) buf_.push('\n');
        if (keep_bounds_) starts_.push_back(buf_.size());
        ++count_;
    }
    void line(NStr s) { begin_line(); buf_.append(s); }
    void line(std::u32string_view s) { begin_line(); buf_.append(s); }

    // An item of a list returned by a replaced step: a str is written, any
    // other object is remembered for the join error.
    void item(PyObject* o) {
        if (PyUnicode_Check(o)) {
            line(NStr::of(o));
            return;
        }
        if (!bad_) {
            bad_ = borrow(o);
            bad_index_ = count_;
        }
        begin_line();
    }
    // Appends every item of a returned list (any iterable), as list.extend.
    bool extend(PyObject* seq);

    // Position for rolling back speculative lines.
    struct Mark { size_t size; Py_ssize_t count; size_t nstarts; };
    Mark mark() const { return Mark{buf_.size(), count_, starts_.size()}; }
    void rollback(Mark m) {
        buf_.truncate(m.size);
        count_ = m.count;
        starts_.resize(m.nstarts);
    }

    // Raises the join's TypeError when a non-text item was written.
    bool check_join() const;
    // The lines as a new list of str (needs keep_bounds).
    PyObject* to_list() const;
    // Only the text written since `from` (for a sink that shares a buffer).
private:
    TextBuf& buf_;
    bool keep_bounds_;
    Py_ssize_t count_ = 0;
    std::vector<size_t> starts_;
    Ref bad_;
    Py_ssize_t bad_index_ = 0;
};

}  // namespace arf
