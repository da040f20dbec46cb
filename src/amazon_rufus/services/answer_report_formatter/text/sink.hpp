// A line list written straight into a text buffer: lines are separated by
// "\n" as the joining steps would separate them, and items handed over by a
// replaced step are checked as the host's join would check them.
#pragma once
#include "values.hpp"

namespace arf {

class LineSink {
public:
    explicit LineSink(TextBuf& buf, bool keep_bounds = false) : buf_(buf), keep_bounds_(keep_bounds) {}

    Py_ssize_t count() const { return count_; }
    TextBuf& buf() { return buf_; }
    const TextBuf& buf() const { return buf_; }

    void begin_line() {
        if (count_) buf_.push('\n');
        if (keep_bounds_) starts_.push_back(buf_.size());
        ++count_;
    }
    void line(const NStr& s) { begin_line(); buf_.append(s); }
    // An empty line, a line of `s`, and the next line begun, as three
    // begin_line() calls around line(s) make them, written in one piece.
    void spaced_line(const NStr& s) {
        if (keep_bounds_) {
            begin_line();
            line(s);
            begin_line();
            return;
        }
        buf_.append_between_breaks(count_ ? 2 : 1, s, 1);
        count_ += 3;
    }
    void line(std::u32string_view s) { begin_line(); buf_.append(s); }

    // A line that is an object rather than a written text (an item of a list
    // returned by a replaced step, a value whose own methods gave something
    // other than an exact str): a str's text is written, any other object is
    // remembered for the join error, and a line list hands the object back.
    bool item(PyObject* o) {
        if (PyUnicode_CheckExact(o)) {
            line(NStr::of(o));
            return true;
        }
        if (keep_bounds_) {
            try {
                objects_.emplace_back(count_, borrow(o));
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                return false;
            }
        }
        if (PyUnicode_Check(o)) {
            line(NStr::of(o));
            return true;
        }
        if (!bad_) {
            bad_ = borrow(o);
            bad_index_ = count_;
        }
        begin_line();
        return true;
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
        while (!objects_.empty() && objects_.back().first >= m.count) objects_.pop_back();
        if (bad_ && bad_index_ >= m.count) bad_.reset();
    }

    // Raises the join's TypeError when a non-text item was written.
    bool check_join() const;
    // The lines as a new list (needs keep_bounds): written texts as strs,
    // object lines as the objects themselves.
    PyObject* to_list() const;
private:
    TextBuf& buf_;
    bool keep_bounds_;
    Py_ssize_t count_ = 0;
    std::vector<size_t> starts_;
    std::vector<std::pair<Py_ssize_t, Ref>> objects_;  // object lines, by position
    Ref bad_;
    Py_ssize_t bad_index_ = 0;
};

}  // namespace arf
