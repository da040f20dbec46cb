// Markdown line recognisers: headings, list items, pipe rows, delimiter rows
// and tables.  The patterns are matched natively with re.match semantics
// (anchored at the start, "." stops at "\n", "$" also before a final "\n");
// when the module global `re` has been replaced they go through it.
#include "../module/steps.hpp"
#include "blocks.hpp"


#include <cstring>
#include <type_traits>

namespace arf {

// ---- Native pattern pieces ---------------------------------------------------

// "(.*)$" from position p: the group runs to the first "\n", which must be
// the end of the text or a final "\n".  `one_line`: the text holds no "\n".
static bool dot_star_to_end(NStr t, Py_ssize_t p, NStr& group, bool one_line) {
    if (one_line) {
        group = t.sub(p, t.len);
        return true;
    }
    Py_ssize_t e = find_char(t, '\n', p);
    if (e < 0) e = t.len;
    if (e < t.len && e != t.len - 1) return false;
    group = t.sub(p, e);
    return true;
}

// "\s+" from position p; returns the position after the run, or -1.
static Py_ssize_t spaces(NStr t, Py_ssize_t p) {
    if (p >= t.len || !is_space(t[p])) return -1;
    while (p < t.len && is_space(t[p])) ++p;
    return p;
}

// ^(#{1,6})\s+(.*)$ on the trimmed line.
bool match_heading(const NStr& t, int& level, NStr& text, bool one_line) {
    Py_ssize_t h = 0;
    while (h < t.len && h < 7 && t[h] == '#') ++h;
    if (h == 0 || h > 6) return false;
    Py_ssize_t p = spaces(t, h);
    NStr group;
    if (p < 0 || !dot_star_to_end(t, p, group, one_line)) return false;
    level = static_cast<int>(h);
    text = trim(group);
    return true;
}

// ^([-*•])\s+(.*)$, then ^\d+[.)]\s+(.*)$ on the trimmed line.
bool match_list_item(const NStr& t, NStr& text, bool one_line) {
    const Py_ssize_t p = with_units(t, [&](auto* u) { return list_marker_end(u, 0, t.len); });
    NStr group;
    if (p < 0 || !dot_star_to_end(t, p, group, one_line)) return false;
    text = trim(group);
    return true;
}

// ^:?-{3,}:?$ on an already trimmed cell.
static bool match_delimiter_cell(NStr t) {
    Py_ssize_t i = 0;
    if (i < t.len && t[i] == ':') ++i;
    Py_ssize_t dashes = 0;
    while (i < t.len && t[i] == '-') ++i, ++dashes;
    if (dashes < 3) return false;
    if (i < t.len && t[i] == ':') ++i;
    return i == t.len || (i == t.len - 1 && t[i] == '\n');
}

bool starts_with_space(NStr line) { return line.len > 0 && is_space(line[0]); }

bool parse_pipe_row(const NStr& line, Row& cells) {
    cells.clear();
    // One pass over the typed code units, 16 bytes at a time: every "|" of a
    // block is taken from its mask, and the cell before it trimmed.
    bool any_bar = with_units(line, [&](auto* p) {
        using T = std::remove_cv_t<std::remove_pointer_t<decltype(p)>>;
        constexpr Py_ssize_t W = 16 / sizeof(T);
        constexpr uint32_t LANE = (1u << sizeof(T)) - 1;
        const Py_ssize_t n = line.len;
        Py_ssize_t start = 0;
        bool any = false;
        auto cell_to = [&](Py_ssize_t bar) {
            Py_ssize_t a = start, b = bar;
            // Cells are mostly padded with single spaces: those go first.
            if (a < b && p[a] == T(' ')) ++a;
            while (a < b && is_space(p[a])) ++a;
            if (b > a && p[b - 1] == T(' ')) --b;
            while (b > a && is_space(p[b - 1])) --b;
            // An empty first cell (the text before a leading "|") is dropped.
            if (a < b || start) push_view(cells, line.sub(a, b));
            start = bar + 1;
            any = true;
        };
        Py_ssize_t i = 0;
        for (; i + W <= n; i += W) {
            Units16<T> v;
            std::memcpy(&v, p + i, 16);
            uint32_t bits = lane_bits(v == T('|'));
            while (bits) {
                const Py_ssize_t k = __builtin_ctz(bits) / static_cast<int>(sizeof(T));
                cell_to(i + k);
                bits &= ~(LANE << (k * sizeof(T)));
            }
        }
        for (; i < n; ++i)
            if (p[i] == T('|')) cell_to(i);
        if (!any) return false;
        cell_to(n);  // the text after the last "|"
        return true;
    });
    if (!any_bar) return false;
    if (!cells.empty() && cells.back().empty()) cells.pop_back();
    if (cells.size() < 2) return false;
    for (const NStr& c : cells)
        if (!c.empty() && !(c.len == 1 && c[0] == '-')) return true;
    return false;
}

bool is_delimiter_row(const Row& cells) {
    if (cells.empty()) return false;
    for (const NStr& c : cells)
        if (!match_delimiter_cell(trim(c))) return false;
    return true;
}

// m.group(n), a new reference.
static PyObject* group(PyObject* m, int n) {
    return PyObject_CallMethod(m, "group", "i", n);
}

// {"kind": kind, ...} built by the generic route of the recognisers.
static PyObject* list_item_dict(PyObject* text) {
    return Py_BuildValue("{sOsO}", "kind", N.list_item, "text", text);
}

// ---- Generic recognisers (through the module global `re`) -------------------

static PyObject* heading_via_re(PyObject* trimmed) {
    Ref m = re_match_global(N.pat_heading, trimmed);
    if (!m) return nullptr;
    int t = truth(m.get());
    if (t <= 0) return t < 0 ? nullptr : Py_NewRef(Py_None);
    // The dict's values in their order: len(group(1)), then group(2).strip().
    Ref g1 = steal(group(m.get(), 1));
    if (!g1) return nullptr;
    Py_ssize_t n = PyObject_Length(g1.get());
    if (n < 0) return nullptr;
    Ref g2 = steal(group(m.get(), 2));
    if (!g2) return nullptr;
    Ref text = steal(PyObject_CallMethodNoArgs(g2.get(), N.strip));
    if (!text) return nullptr;
    return Py_BuildValue("{sOsnsO}", "kind", N.heading, "level", n, "text", text.get());
}

static PyObject* list_item_via_re(PyObject* trimmed) {
    PyObject* patterns[2] = {N.pat_unordered, N.pat_ordered};
    int groups[2] = {2, 1};
    for (int k = 0; k < 2; ++k) {
        Ref m = re_match_global(patterns[k], trimmed);
        if (!m) return nullptr;
        int t = truth(m.get());
        if (t < 0) return nullptr;
        if (!t) continue;
        Ref g = steal(group(m.get(), groups[k]));
        if (!g) return nullptr;
        Ref text = steal(PyObject_CallMethodNoArgs(g.get(), N.strip));
        if (!text) return nullptr;
        return list_item_dict(text.get());
    }
    return Py_NewRef(Py_None);
}

// re.match(pattern, cell.strip()): `re.match` is looked up before the cell
// is stripped.
static int delimiter_cell_matches(PyObject* cell, bool re_native) {
    if (re_native) {
        Ref stripped = strip_text(cell);
        if (!stripped) return -1;
        if (PyUnicode_CheckExact(stripped.get())) return match_delimiter_cell(NStr::of(stripped.get()));
        Ref m = re_match_global(N.pat_delimiter, stripped.get());
        if (!m) return -1;
        return truth(m.get());
    }
    Ref match = re_match_function();
    if (!match) return -1;
    Ref stripped = strip_text(cell);
    if (!stripped) return -1;
    Ref m = call_re_match(match.get(), N.pat_delimiter, stripped.get());
    if (!m) return -1;
    return truth(m.get());
}

// ---- Recognisers used by the parser ----------------------------------------------

// The heading (`s` PARSE_MARKDOWN_HEADING) or list-item recogniser on an
// already trimmed line: 1 recognised, 0 not, -1 error.
int recognise_line(Ctx& ctx, Work& w, Step s, NStr trimmed_line, IBlock& out) {
    int native_re = ctx.re_native();
    if (native_re < 0) return -1;
    if (native_re) {
        NStr text;
        int level = 0;
        bool heading = s == PARSE_MARKDOWN_HEADING;
        if (heading ? !match_heading(trimmed_line, level, text) : !match_list_item(trimmed_line, text)) return 0;
        out.kind = heading ? IBlock::HEADING : IBlock::LIST_ITEM;
        out.level = level;
        out.text = text;
        return 1;
    }
    PyObject* trimmed = w.hold(to_py(trimmed_line));
    if (!trimmed) return -1;
    PyObject* r = w.hold(s == PARSE_MARKDOWN_HEADING ? heading_via_re(trimmed) : list_item_via_re(trimmed));
    if (!r) return -1;
    if (r == Py_None) return 0;
    out.kind = IBlock::FOREIGN;
    out.obj = r;
    return 1;
}

int continuation_matches(Ctx& ctx, Work& w, NStr line) {
    int native_re = ctx.re_native();
    if (native_re < 0) return -1;
    if (native_re) return starts_with_space(line);
    PyObject* s = w.hold(to_py(line));
    if (!s) return -1;
    Ref m = re_match_global(N.pat_space, s);
    if (!m) return -1;
    return truth(m.get());
}

bool could_be_delimiter(const NStr& line) {
    return with_units(line, [&](auto* p) {
        bool bar = false;
        for (Py_ssize_t i = 0; i < line.len; ++i) {
            Py_UCS4 c = p[i];
            if (c == '|') bar = true;
            else if (c != '-' && c != ':' && !is_space(c)) return false;
        }
        return bar;
    });
}

// Lines the native table recogniser reads: views of our own, or the items
// of an interpreter list (read one by one, only as far as the table goes).
struct ViewLines {
    const std::vector<NStr>& lines;
    Py_ssize_t size() const { return static_cast<Py_ssize_t>(lines.size()); }
    bool get(Py_ssize_t i, NStr& out) const {
        out = lines[static_cast<size_t>(i)];
        return true;
    }
};
struct ListLines {
    PyObject* list;
    Py_ssize_t size() const { return PyList_GET_SIZE(list); }
    // False for an item that is not an exact str: the caller then takes the
    // step-by-step route, where the host's own checks apply.
    bool get(Py_ssize_t i, NStr& out) const {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!PyUnicode_CheckExact(item)) return false;
        out = NStr::of(item);
        return true;
    }
};

// The table recogniser with native steps and no Python code to run, handing
// each row to on_row (the header first) as it is read: 1 table, 0 none (no
// row handed on), -1 a line that needs the step-by-step route, -2 when
// on_row failed.
template <class Lines, class OnRow>
static int table_rows(const Lines& lines, Py_ssize_t start, OnRow&& on_row, Py_ssize_t& next) {
    const Py_ssize_t n = lines.size();
    if (start < 0 || start >= n) return 0;
    NStr header_line, delimiter_line;
    if (!lines.get(start, header_line)) return -1;
    if (start + 1 >= n) return 0;
    if (!lines.get(start + 1, delimiter_line)) return -1;
    if (!could_be_delimiter(delimiter_line)) return 0;
    // Scratch rows are reused: nothing here can re-enter the parser.
    static Row scratch, delimiter;
    if (!parse_pipe_row(header_line, scratch)) return 0;
    if (!parse_pipe_row(delimiter_line, delimiter) || !is_delimiter_row(delimiter)) return 0;
    if (!on_row(scratch, header_line.len)) return -2;
    Py_ssize_t index = start + 2;
    while (index < n) {
        NStr line;
        if (!lines.get(index, line)) return -1;
        if (trim(line).empty()) break;
        if (!parse_pipe_row(line, scratch) || is_delimiter_row(scratch)) break;
        if (!on_row(scratch, line.len)) return -2;
        ++index;
    }
    next = index;
    return 1;
}

// The table recogniser's block as a record of rows.
template <class Lines>
static int table_native(const Lines& lines, Py_ssize_t start, Work& w, IBlock& out, Py_ssize_t& next) {
    Row* header = nullptr;
    std::vector<Row*> rows;
    int r = table_rows(
        lines, start,
        [&](const Row& cells, Py_ssize_t) {
            Row* row = w.new_row();
            *row = cells;
            if (!header) header = row;
            else rows.push_back(row);
            return true;
        },
        next);
    if (r <= 0) return r;
    out.kind = IBlock::TABLE;
    out.header = header;
    out.rows = std::move(rows);
    return 1;
}

// The table recogniser step by step through the instance, on an interpreter
// list of lines; returns the (table, next_index) tuple, None, or nullptr.
static PyObject* table_generic(Ctx& ctx, PyObject* lines, PyObject* start_obj) {
    int overflow = 0;
    long long big = PyLong_AsLongLongAndOverflow(start_obj, &overflow);
    if (big == -1 && PyErr_Occurred()) return nullptr;
    if (overflow < 0) {
        PyErr_SetString(PyExc_IndexError, "cannot fit 'int' into an index-sized integer");
        return nullptr;
    }
    // Past the end, however far, reads as "" and gives no table.
    Py_ssize_t start = overflow > 0 || big > PY_SSIZE_T_MAX - 2 ? PY_SSIZE_T_MAX - 2 : static_cast<Py_ssize_t>(big);
    auto line_at = [&](Py_ssize_t i) -> PyObject* {
        Py_ssize_t n = PyList_GET_SIZE(lines);
        if (i < n) {
            if (i < 0) i += n;
            if (i < 0) {
                PyErr_SetString(PyExc_IndexError, "list index out of range");
                return nullptr;
            }
            return Py_NewRef(PyList_GET_ITEM(lines, i));
        }
        return Py_NewRef(N.empty);
    };
    Ref line = steal(line_at(start));
    if (!line) return nullptr;
    PyObject* arg = line.get();
    Ref header = ctx.invoke(PARSE_PIPE_ROW, &arg, 1);
    if (!header) return nullptr;
    int t = truth(header.get());
    if (t <= 0) return t < 0 ? nullptr : Py_NewRef(Py_None);
    line = steal(line_at(start + 1));
    if (!line) return nullptr;
    arg = line.get();
    Ref delimiter = ctx.invoke(PARSE_PIPE_ROW, &arg, 1);
    if (!delimiter) return nullptr;
    t = truth(delimiter.get());
    if (t <= 0) return t < 0 ? nullptr : Py_NewRef(Py_None);
    arg = delimiter.get();
    Ref is_delim = ctx.invoke(IS_MARKDOWN_DELIMITER_ROW, &arg, 1);
    if (!is_delim) return nullptr;
    t = truth(is_delim.get());
    if (t <= 0) return t < 0 ? nullptr : Py_NewRef(Py_None);

    Ref rows = steal(PyList_New(0));
    if (!rows) return nullptr;
    Py_ssize_t index = start + 2;
    while (index < PyList_GET_SIZE(lines)) {
        line = steal(line_at(index));
        if (!line) return nullptr;
        Ref stripped = strip_text(line.get());
        if (!stripped) return nullptr;
        t = truth(stripped.get());
        if (t < 0) return nullptr;
        if (!t) break;
        arg = line.get();
        Ref row = ctx.invoke(PARSE_PIPE_ROW, &arg, 1);
        if (!row) return nullptr;
        t = truth(row.get());
        if (t < 0) return nullptr;
        if (!t) break;
        arg = row.get();
        Ref d = ctx.invoke(IS_MARKDOWN_DELIMITER_ROW, &arg, 1);
        if (!d) return nullptr;
        t = truth(d.get());
        if (t < 0) return nullptr;
        if (t) break;
        if (PyList_Append(rows.get(), row.get()) < 0) return nullptr;
        ++index;
    }
    Ref table = steal(Py_BuildValue("{sOsOsO}", "kind", N.table, "header", header.get(), "rows", rows.get()));
    if (!table) return nullptr;
    return Py_BuildValue("(On)", table.get(), index);
}

int table_steps_native(Ctx& ctx) { return ctx.table_helpers_native(); }

int recognise_table(Work& w, const std::vector<NStr>& lines, Py_ssize_t start, IBlock& out, Py_ssize_t& next) {
    return table_native(ViewLines{lines}, start, w, out, next);
}

// ---- Entry points ---------------------------------------------------------------

static PyObject* iblock_to_dict(IBlock& b) {
    IBlocks one;
    one.records.push_back(b);
    Ref list = iblocks_to_py(one);
    if (!list) return nullptr;
    return Py_NewRef(PyList_GET_ITEM(list.get(), 0));
}

static PyObject* line_block(PyObject* self, Step s, PyObject* line) {
    Ctx ctx(self);
    Work w;
    IBlock b;
    int r = recognise_line(ctx, w, s, trim(NStr::of(line)), b);
    if (r < 0) return nullptr;
    if (r == 0) Py_RETURN_NONE;
    return b.kind == IBlock::FOREIGN ? Py_NewRef(b.obj) : iblock_to_dict(b);
}

PyObject* py_parse_markdown_heading(PyObject* self, PyObject* const* args) {
    return line_block(self, PARSE_MARKDOWN_HEADING, args[0]);
}

PyObject* py_parse_markdown_list_item(PyObject* self, PyObject* const* args) {
    return line_block(self, PARSE_MARKDOWN_LIST_ITEM, args[0]);
}

PyObject* py_parse_pipe_row(PyObject*, PyObject* const* args) {
    Row cells;
    if (!parse_pipe_row(NStr::of(args[0]), cells)) Py_RETURN_NONE;
    return row_to_py(cells).release();
}

PyObject* py_is_markdown_delimiter_row(PyObject*, PyObject* const* args) {
    PyObject* cells = args[0];
    if (PyList_GET_SIZE(cells) == 0) Py_RETURN_FALSE;
    int native_re = re_is_original();
    if (native_re < 0) return nullptr;
    bool all = true;
    bool ok = for_each_item(cells, [&](PyObject* cell) {
        int m = delimiter_cell_matches(cell, native_re == 1);
        if (m < 0) return false;
        if (!m) {
            all = false;
            return false;
        }
        return true;
    });
    if (!ok && all) return nullptr;
    return Py_NewRef(all ? Py_True : Py_False);
}

PyObject* py_parse_markdown_table(PyObject* self, PyObject* const* args) {
    Ctx ctx(self);
    PyObject* lines = args[0];
    int native = table_steps_native(ctx);
    if (native < 0) return nullptr;
    int overflow = 0;
    long long start = PyLong_AsLongLongAndOverflow(args[1], &overflow);
    if (start == -1 && PyErr_Occurred()) return nullptr;
    if (native && !overflow && start >= 0) {
        Work w;
        IBlock b;
        Py_ssize_t next = 0;
        int r = table_native(ListLines{lines}, static_cast<Py_ssize_t>(start), w, b, next);
        if (r == 0) Py_RETURN_NONE;
        if (r > 0) {
            Ref table = steal(iblock_to_dict(b));
            if (!table) return nullptr;
            return Py_BuildValue("(On)", table.get(), next);
        }
    }
    return table_generic(ctx, lines, args[1]);
}

}  // namespace arf
