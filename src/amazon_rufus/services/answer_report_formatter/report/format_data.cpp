// Report assembly: one section per answer, joined with one empty line, then
// the final blank-line clean-up.
#include "report.hpp"
#include "../module/steps.hpp"

namespace arf {


namespace {

// A guess at the report's length in code units and width, from what the
// answers hold: the lengths and widths of their texts and summaries, and a
// typical line for each link, ASIN and front-end block.  Only exact dicts
// whose keys are exact strs are read (no code runs); any other answer counts
// as a short one.  The report's str is sized from this, so that a report
// much larger than the ones before it does not regrow its str (a copy, and
// fresh pages, of all written so far), and is not widened late.
struct SizeGuess {
    size_t units = 0;
    int kind = 0;  // 0: no text seen
};
SizeGuess guess_report_size(PyObject* answers) {
    SizeGuess g;
    if (!PyList_CheckExact(answers)) return g;
    // The names are interned once, at module initialisation, and never change.
    static const KeyName names[5] = {{N.text, "text"},
                                     {N.summaryText, "summaryText"},
                                     {N.productLinks, "productLinks"},
                                     {N.recommendedAsins, "recommendedAsins"},
                                     {N.blocks, "blocks"}};
    constexpr size_t SECTION = 32, LINK = 100, ASIN = 16, BLOCK = 60;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(answers); ++i) {
        PyObject* answer = PyList_GET_ITEM(answers, i);
        PyObject* v[5];
        g.units += SECTION;
        if (!PyDict_CheckExact(answer) || !read_plain_keys(answer, names, v)) continue;
        for (int k = 0; k < 2; ++k)
            if (v[k] && PyUnicode_CheckExact(v[k])) {
                g.units += static_cast<size_t>(PyUnicode_GET_LENGTH(v[k]));
                g.kind = std::max(g.kind, static_cast<int>(PyUnicode_KIND(v[k])));
            }
        if (v[2] && PyList_CheckExact(v[2])) g.units += LINK * static_cast<size_t>(PyList_GET_SIZE(v[2]));
        if (v[3] && PyList_CheckExact(v[3])) g.units += ASIN * static_cast<size_t>(PyList_GET_SIZE(v[3]));
        if (v[4] && PyList_CheckExact(v[4])) g.units += BLOCK * static_cast<size_t>(PyList_GET_SIZE(v[4]));
    }
    return g;
}

// A section: a range of the shared buffer, or what a replaced step returned.
struct Section {
    size_t from = 0, to = 0;
    Ref obj;
};

// Notes a section's range of the shared buffer for the clean-up to read,
// with the "\n\n" that will follow it.  Sections that their writers vouch
// for start and end with a line that is not empty, so the joins around
// them are clean.
void must_scan(std::vector<ScanRange>& ranges, size_t from, size_t to) {
    if (to == from) return;
    if (!ranges.empty() && ranges.back().to >= from) ranges.back().to = to + 2;
    else ranges.push_back(ScanRange{from, to + 2});
}

PyObject* question_for(Ctx& ctx, PyObject* questions, PyObject* index) {
    PyObject* args[2] = {questions, index};
    if (!PyList_CheckExact(questions)) return ctx.invoke(QUESTION_AT, args, 2).release();
    // An exact list and the exact int of a position meet the native step's
    // argument contract as they are: its body runs at once.
    Ref result;
    bool ok = at_step(
        ctx, QUESTION_AT,
        [&] {
            result = steal(py_question_at(ctx.self(), args));
            return static_cast<bool>(result);
        },
        [&](const Callee& callee) {
            result = ctx.call(callee, args, 2);
            return static_cast<bool>(result);
        });
    return ok ? result.release() : nullptr;
}

// Sections are written into `buf` joined as they come; `joined_ok` stays
// true while that equals the host's join of the truthy sections (it does
// unless a replaced step returns something other than an exact str).
bool add_section(Ctx& ctx, PyObject* index, PyObject* answer, PyObject* question, TextBuf& buf,
                 std::vector<Section>& sections, size_t& kept, bool& joined_ok, std::vector<ScanRange>& unvouched) {
    Section s;
    bool ok = at_step(
        ctx, FORMAT_SECTION,
        [&] {
            if (!accepts(FORMAT_SECTION, 2, question)) return false;
            if (kept) buf.append_ascii("\n\n");
            s.from = buf.size();
            bool vouched = false;
            if (!write_section(ctx, index, answer, question, buf, &vouched)) return false;
            s.to = buf.size();
            if (!vouched) must_scan(unvouched, s.from, s.to);
            ++kept;
            return true;
        },
        [&](const Callee& callee) {
            PyObject* args[3] = {index, answer, question};
            s.obj = ctx.call(callee, args, 3);
            if (!s.obj) return false;
            if (!PyUnicode_CheckExact(s.obj.get())) {
                joined_ok = false;
            } else if (PyUnicode_GET_LENGTH(s.obj.get())) {
                if (kept) buf.append_ascii("\n\n");
                s.from = buf.size();
                buf.append(NStr::of(s.obj.get()));
                s.to = buf.size();
                must_scan(unvouched, s.from, s.to);
                ++kept;
            }
            return true;
        });
    if (!ok) return false;
    sections.push_back(std::move(s));
    return true;
}

// "\n\n".join(section for section in sections if section)
bool join_sections(const TextBuf& buf, std::vector<Section>& sections, TextBuf& joined) {
    std::vector<Section*> kept;
    for (Section& s : sections) {
        int t = s.obj ? truth(s.obj.get()) : s.to > s.from;
        if (t < 0) return false;
        if (t) kept.push_back(&s);
    }
    for (size_t i = 0; i < kept.size(); ++i) {
        if (kept[i]->obj && !PyUnicode_Check(kept[i]->obj.get())) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                         static_cast<Py_ssize_t>(i), Py_TYPE(kept[i]->obj.get())->tp_name);
            return false;
        }
    }
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i) joined.append_ascii("\n\n");
        if (kept[i]->obj)
            joined.append(NStr::of(kept[i]->obj.get()));
        else
            joined.append_restored(buf, kept[i]->from, kept[i]->to);
    }
    return true;
}

}  // namespace

PyObject* py_format_data(PyObject* self, PyObject* const* args) {
    Ctx ctx(self);
    PyObject* data = args[0];
    Ref answers = get_key(data, N.answers);
    if (!answers) return nullptr;
    int is_list = is_a(answers.get(), &PyList_Type);
    if (is_list <= 0) return is_list < 0 ? nullptr : Py_NewRef(N.empty);
    int t = truth(answers.get());
    if (t <= 0) return t < 0 ? nullptr : Py_NewRef(N.empty);

    Ref questions = ctx.invoke(EXTRACT_QUESTIONS, &data, 1);
    if (!questions) return nullptr;

    const SizeGuess guess = guess_report_size(answers.get());
    TextBuf buf{TextBuf::ForStr{}, guess.units, guess.kind};
    std::vector<DroppedBreaks> dropped;
    buf.keep_dropped_breaks(&dropped);
    std::vector<Section> sections;
    std::vector<ScanRange> unvouched;  // what the clean-up must read
    size_t kept = 0;
    bool joined_ok = true;
    Py_ssize_t position = 0;
    bool ok = for_each_item(answers.get(), [&](PyObject* answer) {
        Ref index = steal(PyLong_FromSsize_t(++position));
        if (!index) return false;
        Ref question = steal(question_for(ctx, questions.get(), index.get()));
        return question && add_section(ctx, index.get(), answer, question.get(), buf, sections, kept, joined_ok, unvouched);
    });
    if (!ok) return nullptr;

    TextBuf joined;
    if (!joined_ok) {
        if (!join_sections(buf, sections, joined)) return nullptr;
        buf.swap(joined);
    }
    sections.clear();

    Ref report;
    bool collapsed = at_step(
        ctx, COLLAPSE_BLANK_LINES,
        [&] {
            if (!collapse_blank_lines(buf, joined_ok ? &unvouched : nullptr)) return false;
            report = steal(buf.take_str());
            return static_cast<bool>(report);
        },
        [&](const Callee& callee) {
            // The replacement gets the report as written, every line break in it.
            Ref text;
            if (buf.dropped_breaks() && !buf.dropped_breaks()->empty()) {
                TextBuf whole;
                whole.append_restored(buf, 0, buf.size());
                text = steal(whole.to_py());
            } else {
                text = steal(buf.to_py());
            }
            if (!text) return false;
            PyObject* arg = text.get();
            report = ctx.call(callee, &arg, 1);
            return report && check_return(report.get(), &PyUnicode_Type);
        });
    return collapsed ? report.release() : nullptr;
}

}  // namespace arf
