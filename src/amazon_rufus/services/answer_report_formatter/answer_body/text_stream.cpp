// The fused text route: one forward pass over an answer text, instantiated
// per code-unit width, writing display blocks into the section's lines as
// they close.  Each line is scanned once, for its end and for a "|"; the
// table rule reads the delimiter row ahead in the text itself, and a
// paragraph is written as its lines come (or, while a list item may still be
// continued, kept as a range of the text that is read again when it closes).
// So the pass keeps no list of lines and no list of paragraph lines,
// whatever the text's size.  No Python code runs here (a signal
// handler aside, which sees none of this state), so every step stays the
// native one throughout.
#include "display_stream.hpp"

#include <cstring>
#include <type_traits>

namespace arf {

namespace {

template <class T>
class TextStream {
public:
    TextStream(NStr text, DisplayStream& d)
        : p_(static_cast<const T*>(text.data)), n_(text.len), text_(text), d_(d), dropping_(d.drops_blank_runs()) {}

    // False when a signal handler raised on the way.
    bool run() {
        Py_ssize_t at = 0, counted = 0;
        for (;;) {
            const Line l = line_at(at);
            // The text read so far is counted towards the next look for a
            // pending signal a few thousand code units at a time, not per line.
            if (l.end - counted >= 4096) {
                if (interrupted_after(static_cast<size_t>(l.end - counted))) return false;
                counted = l.end;
            }
            Py_ssize_t next = l.next;
            if (!take_line(l, next)) return false;
            if (next < 0) break;
            at = next;
        }
        if (interrupted_after(static_cast<size_t>(n_ - counted) + 1)) return false;
        if (!flush_paragraph()) return false;
        d_.finish();
        return true;
    }

private:
    // A line [start, end), whether it holds a "|", and where the next line
    // starts (-1: it is the last).  Lines end at "\n", "\r\n" and "\r".
    struct Line {
        Py_ssize_t start = -1, end = 0, next = -1;
        bool pipe = false;
    };

    // The line at `start`; the last one read is kept, as the table rule
    // reads one line ahead and the pass then takes that line.
    // Callers copy the line: the next call overwrites it.
    const Line& line_at(Py_ssize_t start) {
        if (start == seen_.start) return seen_;
        Line& l = seen_;
        l.start = start;
        l.pipe = false;
        Py_ssize_t i = scan_units(
            p_, start, n_, [](Units16<T> v) { return (v <= T('\r')) | (v == T('|')); },
            [](Py_UCS4 u) { return u == '\n' || u == '\r' || u == '|'; });
        if (i < n_ && p_[i] == T('|')) {
            l.pipe = true;
            i = line_end(i + 1);
        }
        l.end = i;
        l.next = i == n_ ? -1 : after_break(i);
        return l;
    }
    Py_ssize_t line_end(Py_ssize_t from) const {
        return scan_units(
            p_, from, n_, [](Units16<T> v) { return v <= T('\r'); }, [](Py_UCS4 u) { return u == '\n' || u == '\r'; });
    }
    // Where the line after the break at `i` starts.
    Py_ssize_t after_break(Py_ssize_t i) const {
        return i + 1 + (p_[i] == T('\r') && i + 1 < n_ && p_[i + 1] == T('\n'));
    }
    NStr view(Py_ssize_t a, Py_ssize_t b) const { return text_.sub(a, b); }

    // The rules in the order they are tried; the first that takes the line
    // decides.  `next` is where the pass goes on (a table moves it).
    __attribute__((always_inline)) bool take_line(const Line& l, Py_ssize_t& next) {
        Py_ssize_t a = l.start, b = l.end;
        // Indentation is mostly spaces: those are skipped before the general test.
        while (a < b && p_[a] == T(' ')) ++a;
        while (a < b && is_space(p_[a])) ++a;
        while (b > a && is_space(p_[b - 1])) --b;
        if (b - a >= 3 && p_[a] == T('`') && p_[a + 1] == T('`') && p_[a + 2] == T('`')) {
            fence_ = !fence_;  // a fence marker is kept as paragraph text
            paragraph_line(l, a, b);
            return true;
        }
        if (fence_) {
            paragraph_line(l, a, b);
            return true;
        }
        if (a == b) return flush_paragraph();
        const Py_UCS4 c = p_[a];
        if (c == '#') {
            int level = 0;
            NStr t;
            if (match_heading(view(a, b), level, t, true)) {
                if (!flush_paragraph()) return false;
                d_.heading(level + 2 >= 6 ? 6 : level + 2, t);
                last_is_item_ = false;
                return true;
            }
        }
        if (l.pipe && l.next >= 0) {
            int r = table(l, next);
            if (r) return r > 0;
        }
        if (is_bullet(c) || is_digit(c)) {
            NStr t;
            if (match_list_item(view(a, b), t, true)) {
                if (!flush_paragraph()) return false;
                d_.list_item(t);
                last_is_item_ = true;
                return true;
            }
        }
        if (last_is_item_ && is_space(p_[l.start])) {
            // An indented line continues the last block when it is a list
            // item, even with paragraph lines pending since.
            TextBuf& item = d_.continue_item();
            item.push(' ');
            item.append(view(a, b));
            if (para_open_ && head_ >= 0) {
                holes_.push_back(Hole{l.start, l.next});
                simple_ = false;
            }
            return true;
        }
        paragraph_line(l, a, b);
        return true;
    }

    // A header row, a delimiter row, then rows up to a blank line, a line
    // that is no row, or another delimiter row.  1 a table, 0 none, -1 error.
    int table(const Line& header, Py_ssize_t& next) {
        const Line delimiter = line_at(header.next);
        if (!delimiter.pipe) return 0;
        const NStr delimiter_text = view(delimiter.start, delimiter.end);
        Row& row = d_.row();
        if (!could_be_delimiter(delimiter_text) || !parse_pipe_row(delimiter_text, row) || !is_delimiter_row(row))
            return 0;
        if (!parse_pipe_row(view(header.start, header.end), row)) return 0;
        if (!flush_paragraph()) return -1;
        last_is_item_ = false;
        d_.table_row(row.data(), row.size());
        Py_ssize_t at = delimiter.next;
        while (at >= 0) {
            const Line l = line_at(at);
            // A blank line has no "|", and a line without one is no row.
            if (!l.pipe || !parse_pipe_row(view(l.start, l.end), row) || is_delimiter_row(row)) break;
            d_.table_row(row.data(), row.size());
            if (interrupted_after(static_cast<size_t>(l.end - l.start) + 1)) return -1;
            at = l.next;
        }
        next = at;
        return 1;
    }

    // ---- The pending paragraph ------------------------------------------------
    //
    // Its text is "\n".join of its lines, each right-trimmed, with the empty
    // ones at either end left out and the first left-trimmed.
    //
    // Usually it is written as its lines come (`eager_`): nothing can come
    // between it and the block before it.  When a list item is the last
    // block, an indented line may still continue that item, which is then
    // written before the paragraph; so the paragraph is kept as the range
    // [head_, end_) of the text, head_ where the first non-empty line's text
    // starts, end_ where the last one's ends, and written when it closes.
    // Lines inside the range that the list item took (holes_) are skipped.
    // `simple_`: the range is the text as it stands (only "\n" breaks, no
    // trailing whitespace inside, no run of empty lines left out).
    // empties_ counts the empty lines since the last non-empty one.

    struct Hole {
        Py_ssize_t start, next;
    };

    void paragraph_line(const Line& l, Py_ssize_t a, Py_ssize_t b) {
        if (!para_open_) {
            para_open_ = true;
            eager_ = !last_is_item_;
        }
        if (a == b) {
            if (head_ >= 0) ++empties_;
            return;
        }
        if (eager_) {
            write_line(l, a, b);
            return;
        }
        if (head_ < 0) {
            head_ = a;
            simple_ = true;
        } else if (simple_) {
            // What the gap from the last text to this line becomes.
            const Py_ssize_t breaks = empties_ == 0 ? 1 : dropping_ ? 2 : empties_ + 1;
            simple_ = l.start - end_ == breaks && all_breaks(end_, l.start);
        }
        end_ = b;
        empties_ = 0;
    }
    // A non-empty line of an eager paragraph, with the breaks before it.
    // Lines that follow each other in the text as they are to be written
    // (only "\n" between them, no whitespace at their ends) are gathered
    // into one range [run_a_, run_b_) of the text and copied in one piece.
    void write_line(const Line& l, Py_ssize_t a, Py_ssize_t b) {
        if (head_ < 0) {
            head_ = a;
            buf_ = &d_.begin_paragraph();
            run_a_ = a;
            run_b_ = b;
            return;
        }
        const Py_ssize_t empties = empties_;
        empties_ = 0;
        const bool drop = empties > 1 && dropping_;
        const Py_ssize_t breaks = drop ? 2 : empties + 1;
        if (!drop && l.start - run_b_ == breaks && all_breaks(run_b_, l.start)) {
            run_b_ = b;
            return;
        }
        TextBuf& buf = *buf_;
        put(buf, run_a_, run_b_);
        if (drop) {
            // The second and later of a run of empty lines are left out, as
            // the report's clean-up would take them out, and noted so that
            // the text as written can be given back.
            buf.push('\n');
            note_dropped(buf, buf.size(), static_cast<size_t>(empties) - 1);
            buf.push('\n');
        } else {
            for (Py_ssize_t i = 0; i < breaks; ++i) buf.push('\n');
        }
        run_a_ = l.start;
        run_b_ = b;
    }
    // The text's [a, b), as units of the buffer's width.
    void put(TextBuf& buf, Py_ssize_t a, Py_ssize_t b) {
        const size_t n = static_cast<size_t>(b - a);
        void* room = buf.raw_room(n, sizeof(T));
        switch (buf.kind()) {
            case PyUnicode_1BYTE_KIND: copy(static_cast<Py_UCS1*>(room), a, b); break;
            case PyUnicode_2BYTE_KIND: copy(static_cast<Py_UCS2*>(room), a, b); break;
            default: copy(static_cast<Py_UCS4*>(room), a, b);
        }
        buf.commit(n);
    }
    static void note_dropped(TextBuf& buf, size_t at, size_t count) {
        std::vector<DroppedBreaks>* dropped = buf.dropped_breaks();
        if (!dropped->empty() && dropped->back().at == at) dropped->back().count += count;
        else dropped->push_back(DroppedBreaks{at, count});
    }

    bool all_breaks(Py_ssize_t from, Py_ssize_t to) const {
        if (to - from == 1) return p_[from] == T('\n');  // the gap between two adjacent lines
        for (Py_ssize_t i = from; i < to; ++i)
            if (p_[i] != T('\n')) return false;
        return true;
    }

    bool flush_paragraph() {
        if (!para_open_) return true;
        para_open_ = false;
        if (head_ < 0) return true;  // only empty lines: no block
        bool ok = true;
        if (eager_) put(*buf_, run_a_, run_b_);
        else ok = write_paragraph();
        head_ = -1;
        empties_ = 0;
        holes_.clear();
        last_is_item_ = false;
        return ok;
    }

    bool write_paragraph() {
        TextBuf& buf = d_.begin_paragraph();
        // The text is never longer than its range.
        const size_t most = static_cast<size_t>(end_ - head_);
        void* room = buf.raw_room(most, sizeof(T));
        const size_t base = buf.size();
        Py_ssize_t written;
        switch (buf.kind()) {
            case PyUnicode_1BYTE_KIND: written = write_as(static_cast<Py_UCS1*>(room), base, buf); break;
            case PyUnicode_2BYTE_KIND: written = write_as(static_cast<Py_UCS2*>(room), base, buf); break;
            default: written = write_as(static_cast<Py_UCS4*>(room), base, buf);
        }
        if (written < 0) return false;
        buf.commit(static_cast<size_t>(written));
        return !interrupted_after(static_cast<size_t>(written));
    }

    // Writes the paragraph's text at `out` (units at least as wide as the
    // text's); its length, or -1 when a signal handler raised.
    template <class O>
    Py_ssize_t write_as(O* out, size_t base, TextBuf& buf) {
        if constexpr (sizeof(O) < sizeof(T)) {
            return 0;  // the room was widened to the text's units first
        } else {
            if (simple_) {
                copy(out, head_, end_);
                return end_ - head_;
            }
            std::vector<DroppedBreaks>* dropped = buf.dropped_breaks();
            O* o = out;
            size_t h = 0;
            bool first = true, prev_empty = false;
            for (Py_ssize_t at = head_;;) {
                const Py_ssize_t e = line_end(at);
                Py_ssize_t b = e;
                while (b > at && is_space(p_[b - 1])) --b;
                const bool empty = b == at;
                if (first) {
                    first = false;
                } else if (empty && prev_empty && dropped) {
                    note_dropped(buf, base + static_cast<size_t>(o - out), 1);  // as write_line does
                } else {
                    *o++ = O('\n');
                }
                o = copy(o, at, b);
                prev_empty = empty;
                if (e >= end_) break;
                if (interrupted_after(static_cast<size_t>(e - at) + 1)) return -1;
                at = after_break(e);
                while (h < holes_.size() && holes_[h].start == at) at = holes_[h++].next;
            }
            return o - out;
        }
    }
    template <class O>
    O* copy(O* out, Py_ssize_t a, Py_ssize_t b) const {
        const size_t n = static_cast<size_t>(b - a);
        if constexpr (sizeof(O) < sizeof(T)) {
            return out;  // rooms are widened to the text's units first
        } else if constexpr (sizeof(O) == sizeof(T)) {
            copy_short_bytes(reinterpret_cast<char*>(out), reinterpret_cast<const char*>(p_ + a), n * sizeof(T));
        } else {
            widen_units(p_ + a, out, n);
        }
        return out + n;
    }

    const T* const p_;
    const Py_ssize_t n_;
    const NStr text_;
    DisplayStream& d_;
    const bool dropping_;
    Line seen_;
    bool fence_ = false;
    bool last_is_item_ = false;  // the last block is a list item
    bool para_open_ = false;
    bool eager_ = true;
    TextBuf* buf_ = nullptr;  // where an eager paragraph is written
    Py_ssize_t run_a_ = 0, run_b_ = 0;  // its lines not yet written
    bool simple_ = true;
    Py_ssize_t head_ = -1, end_ = 0, empties_ = 0;
    std::vector<Hole> holes_;
};

}  // namespace

bool write_text_body(Work& w, NStr text, LineSink& sink) {
    if (text.empty()) return true;
    DisplayStream display(w, sink);
    bool ok = with_units(text, [&](auto* p) {
        using T = std::remove_cv_t<std::remove_pointer_t<decltype(p)>>;
        return TextStream<T>(text, display).run();
    });
    if (!ok) return false;
    // Nothing shown: the whole trimmed text is the one block.
    if (!display.blocks()) {
        NStr t = trim(text);
        if (!t.empty()) sink.line(t);
    }
    return true;
}

}  // namespace arf
