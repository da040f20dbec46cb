// Text fallback parser: one forward pass over the lines of an answer text
// with a code-fence flag and a buffer of pending paragraph lines.
#include "../module/steps.hpp"
#include "blocks.hpp"

#include <cstring>
#include <type_traits>

namespace arf {

using namespace std::string_view_literals;  // literal lengths known at compile time

// Lines end at "\n", "\r\n" and "\r"; no other terminator counts here.
// False when a signal handler raised on the way.
static bool split_text_lines(NStr text, std::vector<NStr>& lines) {
    Py_ssize_t last = with_units(text, [&](auto* p) -> Py_ssize_t {
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i < text.len; ++i) {
            using T = std::remove_cv_t<std::remove_pointer_t<decltype(p)>>;
            i = scan_units(
                p, i, text.len, [](Units16<T> v) { return v <= T('\r'); },
                [](Py_UCS4 u) { return u == '\n' || u == '\r'; });
            if (i == text.len) break;
            auto c = p[i];
            if (interrupted_after(static_cast<size_t>(i - start) + 1)) return -1;
            lines.push_back(text.sub(start, i));
            if (c == '\r' && i + 1 < text.len && p[i + 1] == '\n') ++i;
            start = i + 1;
        }
        return start;
    });
    if (last < 0) return false;
    lines.push_back(text.sub(last, text.len));
    return true;
}

// Room for the lines of a text.  A large text's (over 8 MiB) line breaks are counted
// first: growing a vector of millions of lines would copy it, with no
// signal check on the way.  False when a signal handler raised.
static bool reserve_lines(NStr text, std::vector<NStr>& lines) {
    size_t expected = static_cast<size_t>(text.len / 32 + 1);
    if (text.len > (Py_ssize_t(8) << 20)) {
        expected = 1;
        bool counted = with_units(text, [&](auto* p) {
            using T = std::remove_cv_t<std::remove_pointer_t<decltype(p)>>;
            constexpr Py_ssize_t CHUNK = Py_ssize_t(1) << 16;
            for (Py_ssize_t from = 0; from < text.len; from += CHUNK) {
                const Py_ssize_t to = from + CHUNK < text.len ? from + CHUNK : text.len;
                // Branch-free, so that the compiler vectorises it.
                uint32_t breaks = 0;
                for (Py_ssize_t i = from; i < to; ++i) breaks += (p[i] == T('\n')) | (p[i] == T('\r'));
                expected += breaks;
                if (interrupted_after(static_cast<size_t>(to - from))) return false;
            }
            return true;
        });
        if (!counted) return false;
    }
    lines.reserve(expected);
    return true;
}

PyObject* py_normalize_text_lines(PyObject*, PyObject* const* args) {
    std::vector<NStr> lines;
    if (!split_text_lines(NStr::of(args[0]), lines)) return nullptr;
    return row_to_py(lines).release();
}

namespace {

// line.rstrip() from line.strip(): the right-trimmed line ends where the
// trimmed one does.
static NStr rtrim_from(NStr line, NStr trimmed) {
    if (trimmed.empty()) return line.sub(0, 0);
    Py_ssize_t start = (static_cast<const char*>(trimmed.data) - static_cast<const char*>(line.data)) / line.kind;
    return line.sub(0, start + trimmed.len);
}

class Parser {
public:
    // The line being examined: views of an exact str (`obj` is the str
    // itself when the lines are objects), or a line object of another type
    // with what its own strip() gave.
    struct Line {
        NStr text, trimmed;
        PyObject* obj = nullptr;
        PyObject* trimmed_obj = nullptr;
        bool is_object() const { return obj && !PyUnicode_CheckExact(obj); }
    };
    int fence_marker(Line& l);
    int inside_fence(Line& l);
    int blank_line(Line& l);
    int heading(Line& l);
    int table(Line& l);
    int list_item(Line& l);
    int continuation(Line& l);
    int paragraph_line(Line& l);

    Parser(Ctx& ctx, Work& w, BlockOut& out)
        : ctx_(ctx),
          w_(w),
          out_(out),
          native_lines_(RecordPool<NStr>::take()),
          paragraph_(RecordPool<Piece>::take()) {}
    ~Parser() {
        RecordPool<NStr>::give(native_lines_);
        RecordPool<Piece>::give(paragraph_);
    }

    bool run(PyObject* text);

private:
    Ctx& ctx_;
    Work& w_;
    BlockOut& out_;
    // The lines: our own views, or, once anybody else sees them (a replaced
    // line splitter or table step), the object `lines`, used as the
    // algorithm uses it: len(lines) and lines[index] at every turn.
    std::vector<NStr> native_lines_;
    Ref py_lines_;
    // `index`: a position, or, once a replaced table step has handed back a
    // next index that is not a plain int, that object itself.
    Py_ssize_t index_ = 0;
    Ref index_obj_;
    std::vector<Piece> paragraph_;
    bool in_code_fence_ = false;

    bool ensure_py_lines();
    int has_line();
    PyObject* current_line();
    PyObject* index_object();
    void set_index(PyObject* next);
    bool advance();
    bool flush_paragraph();
    bool push_block(IBlock&& b) { return out_.push(std::move(b)); }
    bool step();
    int try_line(Step s, NStr line, PyObject* line_obj, NStr trimmed);
    int try_table();
    int try_continuation(NStr line, PyObject* line_obj, NStr trimmed, PyObject* trimmed_obj);
    int adopt_line_result(Ref&& result);
};

// The list of line objects, built once when a step outside the native
// table route needs it; the pass then reads its lines from it.
bool Parser::ensure_py_lines() {
    if (py_lines_) return true;
    py_lines_ = row_to_py(native_lines_);
    return static_cast<bool>(py_lines_);
}

// index < len(lines) (-1 on error).
int Parser::has_line() {
    if (!py_lines_) return index_ < static_cast<Py_ssize_t>(native_lines_.size());
    PyObject* lines = py_lines_.get();
    Py_ssize_t n;
    if (PyList_CheckExact(lines)) {
        n = PyList_GET_SIZE(lines);
    } else {
        n = PyObject_Size(lines);
        if (n < 0) return -1;
    }
    if (!index_obj_) return index_ < n;
    Ref count = steal(PyLong_FromSsize_t(n));
    if (!count) return -1;
    return PyObject_RichCompareBool(index_obj_.get(), count.get(), Py_LT);
}

// `index` as an object, a new reference.
PyObject* Parser::index_object() {
    return index_obj_ ? Py_NewRef(index_obj_.get()) : PyLong_FromSsize_t(index_);
}

// lines[index], a new reference.
PyObject* Parser::current_line() {
    PyObject* lines = py_lines_.get();
    if (PyList_CheckExact(lines) && !index_obj_) {
        Py_ssize_t n = PyList_GET_SIZE(lines);
        Py_ssize_t at = index_ < 0 ? index_ + n : index_;
        if (at < 0 || at >= n) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return nullptr;
        }
        return Py_NewRef(PyList_GET_ITEM(lines, at));
    }
    Ref key = steal(index_object());
    if (!key) return nullptr;
    return PyObject_GetItem(lines, key.get());
}

// index = next_index, as the algorithm keeps it: a plain int as a position,
// anything else as the object.
void Parser::set_index(PyObject* next) {
    if (PyLong_CheckExact(next)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(next, &overflow);
        if (!overflow && v >= PY_SSIZE_T_MIN && v <= PY_SSIZE_T_MAX) {
            index_ = static_cast<Py_ssize_t>(v);
            index_obj_.reset();
            return;
        }
        PyErr_Clear();
    }
    index_obj_ = borrow(next);
}

// index += 1
bool Parser::advance() {
    if (!index_obj_) {
        ++index_;
        return true;
    }
    Ref next = steal(PyNumber_InPlaceAdd(index_obj_.get(), N.small_int[1]));
    if (!next) return false;
    set_index(next.get());
    return true;
}

bool Parser::flush_paragraph() {
    if (paragraph_.empty()) return true;
    for (size_t i = 0; i < paragraph_.size(); ++i) {
        if (paragraph_[i].bad) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                         static_cast<Py_ssize_t>(i), Py_TYPE(paragraph_[i].bad)->tp_name);
            return false;
        }
    }
    NStr text;
    if (paragraph_.size() == 1) {
        text = trim(paragraph_[0].text);
    } else {
        size_t total = paragraph_.size() - 1;
        int kind = PyUnicode_1BYTE_KIND;
        for (const Piece& piece : paragraph_) {
            total += static_cast<size_t>(piece.text.len);
            if (piece.text.kind > kind) kind = piece.text.kind;
        }
        void* out = w_.room(total, kind);
        for (size_t i = 0; i < paragraph_.size(); ++i) {
            if (i) {
                switch (kind) {
                    case PyUnicode_1BYTE_KIND: *static_cast<Py_UCS1*>(out) = '\n'; break;
                    case PyUnicode_2BYTE_KIND: *static_cast<Py_UCS2*>(out) = '\n'; break;
                    default: *static_cast<Py_UCS4*>(out) = '\n';
                }
                out = static_cast<char*>(out) + kind;
            }
            const NStr& piece = paragraph_[i].text;
            if (piece.kind == kind) {
                // The common case, inline: no widening, one copy.
                size_t bytes = static_cast<size_t>(piece.len) * kind;
                if (bytes) std::memcpy(out, piece.data, bytes);
                out = static_cast<char*>(out) + bytes;
            } else {
                out = copy_units(piece, out, kind);
            }
        }
        text = trim(w_.stored(total, kind));
    }
    paragraph_.clear();
    if (!text.empty()) {
        IBlock b;
        b.kind = IBlock::TEXT;
        b.text = text;
        if (!push_block(std::move(b))) return false;
    }
    return true;
}

// A recogniser's result handed over as an object: a truthy one becomes a
// block as it is.
int Parser::adopt_line_result(Ref&& result) {
    PyObject* r = w_.hold(std::move(result));
    if (!r) return -1;
    int t = truth(r);
    if (t <= 0) return t;
    IBlock b;
    b.kind = IBlock::FOREIGN;
    b.obj = r;
    if (!flush_paragraph()) return -1;
    if (!push_block(std::move(b))) return -1;
    return 1;
}

// Whether a trimmed line can open what the native recogniser looks for: a
// heading starts with "#", a list item with "-", "*", "•" or a digit.
static bool may_open(Step s, NStr trimmed) {
    if (trimmed.empty()) return false;
    Py_UCS4 c = trimmed[0];
    if (s == PARSE_MARKDOWN_HEADING) return c == '#';
    return is_bullet(c) || is_digit(c);
}

// The heading or list-item rule (`s`): the native recogniser on the trimmed
// line, or whatever replaces it on the line itself.  1 a block, 0 none.
int Parser::try_line(Step s, NStr line, PyObject* line_obj, NStr trimmed) {
    auto line_arg = [&]() { return line_obj ? borrow(line_obj) : to_py(line); };
    return at_step(
        ctx_, s,
        [&]() -> int {
            if (line_obj && !PyUnicode_CheckExact(line_obj)) {
                // A line object of another type meets the argument contract.
                PyObject* a = line_obj;
                return adopt_line_result(ctx_.native_body(s, &a, 1));
            }
            // With native patterns nothing observable happens for a line that
            // cannot match, so it is turned away before any record is made.
            if (!may_open(s, trimmed)) {
                int native_re = ctx_.re_native();
                if (native_re < 0) return -1;
                if (native_re) return 0;
            }
            IBlock b;
            int r = recognise_line(ctx_, w_, s, trimmed, b);
            if (r <= 0) return r;
            if (!flush_paragraph()) return -1;
            if (!push_block(std::move(b))) return -1;
            return 1;
        },
        [&](const Callee& callee) -> int {
            Ref arg = line_arg();
            if (!arg) return -1;
            PyObject* a = arg.get();
            return adopt_line_result(ctx_.call(callee, &a, 1));
        });
}

// Unpacks `table, next_index = result` as the host does.
static bool unpack_pair(PyObject* result, Ref& first, Ref& second) {
    Ref it = steal(PyObject_GetIter(result));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(result)->tp_name);
        }
        return false;
    }
    Ref* slots[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return false;
        }
    }
    Ref extra = steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

// Rule 5: self._parse_markdown_table(lines, index).  Over our own views with
// every table step native it runs on the views; otherwise the lines become
// one list of objects, once, and the step is called with it.
int Parser::try_table() {
    Ref result;  // the (table, next_index) pair of a step called with objects
    auto call_with_objects = [&](auto&& call) -> int {
        if (!ensure_py_lines()) return -1;
        Ref start = steal(index_object());
        if (!start) return -1;
        PyObject* args[2] = {py_lines_.get(), start.get()};
        result = call(args);
        return result ? 1 : -1;
    };
    int r = at_step(
        ctx_, PARSE_MARKDOWN_TABLE,
        [&]() -> int {
            if (!py_lines_) {
                int helpers = table_steps_native(ctx_);
                if (helpers < 0) return -1;
                if (helpers) {
                    IBlock b;
                    Py_ssize_t next = 0;
                    if (!recognise_table(w_, native_lines_, index_, b, next)) return 0;
                    if (!flush_paragraph()) return -1;
                    if (!push_block(std::move(b))) return -1;
                    index_ = next;
                    return 1;
                }
            }
            return call_with_objects([&](PyObject** args) { return ctx_.native_body(PARSE_MARKDOWN_TABLE, args, 2); });
        },
        [&](const Callee& callee) -> int {
            return call_with_objects([&](PyObject** args) { return ctx_.call(callee, args, 2); });
        });
    if (r <= 0 || !result) return r;
    int t = truth(result.get());
    if (t <= 0) return t;
    if (!flush_paragraph()) return -1;
    Ref table, next_obj;
    if (!unpack_pair(result.get(), table, next_obj)) return -1;
    IBlock b;
    b.kind = IBlock::FOREIGN;
    b.obj = w_.hold(table.release());
    if (!push_block(std::move(b))) return -1;
    set_index(next_obj.get());
    return 1;
}

int Parser::try_continuation(NStr line, PyObject* line_obj, NStr trimmed, PyObject* trimmed_obj) {
    int m;
    if (line_obj && !PyUnicode_CheckExact(line_obj)) {
        Ref r = re_match_global(N.pat_space, line_obj);
        if (!r) return -1;
        m = truth(r.get());
    } else {
        m = continuation_matches(ctx_, w_, line);
    }
    IBlock* last_block = m > 0 ? out_.last() : nullptr;
    if (!last_block) return m < 0 ? -1 : 0;
    IBlock& last = *last_block;
    if (last.kind != IBlock::FOREIGN) {
        if (last.kind != IBlock::LIST_ITEM) return 0;
        // Item text and line are both trimmed, so the joined text is too.
        TextBuf& buf = out_.continue_last();
        buf.push(' ');
        if (trimmed_obj && !PyUnicode_CheckExact(trimmed_obj)) {
            Ref s = format_of(trimmed_obj);
            if (!s) return -1;
            buf.append(NStr::of(s.get()));
        } else {
            buf.append(trimmed);
        }
        return 1;
    }
    Ref kind = get_key(last.obj, N.kind);
    if (!kind) return -1;
    int is_item = equals_text(kind.get(), N.list_item);
    if (is_item <= 0) return is_item;
    // blocks[-1]["text"] = f"{blocks[-1]['text']} {trimmed}".strip()
    PyObject* obj = last.obj;
    Ref current = steal(PyObject_GetItem(obj, N.text));
    if (!current) return -1;
    Ref current_text = format_of(current.get());
    Ref tail = trimmed_obj ? format_of(trimmed_obj) : to_py(trimmed);
    if (!current_text || !tail) return -1;
    Ref joined = steal(PyUnicode_FromFormat("%U %U", current_text.get(), tail.get()));
    if (!joined) return -1;
    Ref stripped = strip_text(joined.get());
    if (!stripped || PyObject_SetItem(obj, N.text, stripped.get()) < 0) return -1;
    return 1;
}


// ---- The line rules, in the order they are tried --------------------------
//
// Each rule takes the line being examined and answers 0 (not mine, the next
// rule looks), 1 (taken; the pass goes on at the next line), 2 (taken; the
// rule has set the next index itself) or -1 (error).  A line is held as
// views when it is an exact str; a line object of another type (from a
// replaced line splitter) is worked on through its own methods.

int Parser::fence_marker(Line& l) {
    int marker;
    if (l.is_object()) {
        Ref starts = steal(PyObject_CallMethod(l.trimmed_obj, "startswith", "s", "```"));
        if (!starts) return -1;
        marker = truth(starts.get());
        if (marker <= 0) return marker;
    } else if (!starts_with(l.trimmed, U"```"sv)) {
        return 0;
    }
    in_code_fence_ = !in_code_fence_;
    return paragraph_line(l);
}

int Parser::inside_fence(Line& l) { return in_code_fence_ ? paragraph_line(l) : 0; }

int Parser::blank_line(Line& l) {
    bool blank = l.trimmed.empty();
    if (l.is_object()) {
        int t = truth(l.trimmed_obj);
        if (t < 0) return -1;
        blank = !t;
    }
    if (!blank) return 0;
    return flush_paragraph() ? 1 : -1;
}

int Parser::heading(Line& l) { return try_line(PARSE_MARKDOWN_HEADING, l.text, l.obj, l.trimmed); }

int Parser::table(Line&) {
    int r = try_table();
    return r > 0 ? 2 : r;
}

int Parser::list_item(Line& l) { return try_line(PARSE_MARKDOWN_LIST_ITEM, l.text, l.obj, l.trimmed); }

int Parser::continuation(Line& l) { return try_continuation(l.text, l.obj, l.trimmed, l.trimmed_obj); }

// The line, right-trimmed, joins the pending paragraph.
int Parser::paragraph_line(Line& l) {
    if (!l.is_object()) {
        paragraph_.push_back(Piece{rtrim_from(l.text, l.trimmed)});
        return 1;
    }
    PyObject* r = w_.hold(PyObject_CallMethodNoArgs(l.obj, N.rstrip));
    if (!r) return -1;
    paragraph_.push_back(PyUnicode_Check(r) ? Piece{NStr::of(r)} : Piece{NStr{}, r});
    return 1;
}

// The rules in the order they are tried, as a list known when compiling,
// so that trying them is a row of direct calls.
template <int (Parser::*... Rules)(Parser::Line&)>
struct LineRules {
    // The first rule that takes the line decides: 1, 2 or -1; 0 if none does.
    static int apply(Parser& p, Parser::Line& l) {
        int r = 0;
        (void)(((r = (p.*Rules)(l)) != 0) || ...);
        return r;
    }
};
using LINE_RULES = LineRules<
    &Parser::fence_marker,    // trimmed line starts with ```: toggles the fence
    &Parser::inside_fence,    // inside a fence: kept as paragraph text
    &Parser::blank_line,      // ends the paragraph
    &Parser::heading,         // _parse_markdown_heading(line)
    &Parser::table,           // _parse_markdown_table(lines, index)
    &Parser::list_item,       // _parse_markdown_list_item(line)
    &Parser::continuation,    // indented line after a list item
    &Parser::paragraph_line>; // anything else

bool Parser::step() {
    if (interrupted_after(py_lines_ ? 64 : static_cast<size_t>(native_lines_[static_cast<size_t>(index_)].len) + 1))
        return false;
    Line l;
    if (!py_lines_) {
        l.text = native_lines_[static_cast<size_t>(index_)];
        l.trimmed = trim(l.text);
    } else {
        PyObject* line = w_.hold(current_line());
        if (!line) return false;
        if (PyUnicode_CheckExact(line)) {
            l.text = NStr::of(line);
            l.trimmed = trim(l.text);
            l.obj = line;
        } else {
            // trimmed = line.strip(), with the object's own method.
            l.obj = line;
            l.trimmed_obj = w_.hold(PyObject_CallMethodNoArgs(line, N.strip));
            if (!l.trimmed_obj) return false;
            if (PyUnicode_CheckExact(l.trimmed_obj)) l.trimmed = NStr::of(l.trimmed_obj);
        }
    }
    int r = LINE_RULES::apply(*this, l);
    if (r < 0) return false;
    return r == 2 || advance();  // the last rule always takes the line
}


bool Parser::run(PyObject* text) {
    bool split = at_step(
        ctx_, NORMALIZE_TEXT_LINES,
        [&] {
            return reserve_lines(NStr::of(text), native_lines_) && split_text_lines(NStr::of(text), native_lines_);
        },
        [&](const Callee& callee) {
            py_lines_ = ctx_.call(callee, &text, 1);
            return static_cast<bool>(py_lines_);
        });
    if (!split) return false;
    for (;;) {
        int more = has_line();
        if (more < 0) return false;
        if (!more) break;
        if (!step()) return false;
    }
    return flush_paragraph() && out_.finish();
}

// The blocks as records for the steps that follow; continued list items
// grow in builders whose texts the records take at the end.
class RecordOut final : public BlockOut {
public:
    RecordOut(Work& w, std::vector<IBlock>& blocks) : w_(w), blocks_(blocks) {}
    bool push(IBlock&& b) override {
        blocks_.push_back(std::move(b));
        builder_of_.push_back(0);
        return true;
    }
    IBlock* last() override { return blocks_.empty() ? nullptr : &blocks_.back(); }
    TextBuf& continue_last() override {
        size_t& slot = builder_of_.back();
        if (!slot) {
            builders_.emplace_back();
            builders_.back().append(blocks_.back().text);
            slot = builders_.size();
        }
        return builders_[slot - 1];
    }
    bool finish() override {
        for (size_t i = 0; i < blocks_.size(); ++i)
            if (builder_of_[i]) blocks_[i].text = w_.keep_text(builders_[builder_of_[i] - 1]);
        return true;
    }

private:
    Work& w_;
    std::vector<IBlock>& blocks_;
    std::vector<TextBuf> builders_;   // growing texts of continued list items
    std::vector<size_t> builder_of_;  // per block: builder index + 1, or 0
};

}  // namespace

bool parse_text(Ctx& ctx, Work& w, PyObject* text, IBlocks& out) {
    out.native = true;
    out.records.clear();
    out.records.reserve(static_cast<size_t>(PyUnicode_GET_LENGTH(text) / 128 + 1));
    RecordOut records(w, out.records);
    Parser parser(ctx, w, records);
    return parser.run(text);
}

PyObject* py_build_text_fallback_blocks(PyObject* self, PyObject* const* args) {
    Ctx ctx(self);
    Work w;
    IBlocks blocks;
    if (!parse_text(ctx, w, args[0], blocks)) return nullptr;
    return iblocks_to_py(blocks).release();
}

}  // namespace arf
