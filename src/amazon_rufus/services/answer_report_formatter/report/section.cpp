// One question section: heading, related products, answer body or the
// no-answer message, recommended ASINs and the summary.
#include "../answer_body/answer_body.hpp"
#include "report.hpp"
#include "../module/steps.hpp"
#include "../text/sink.hpp"

namespace arf {

using namespace std::string_view_literals;  // literal lengths known at compile time


namespace {

// An empty line, the heading, and the next line begun.
void sub_heading(LineSink& sink, const NStr& heading) { sink.spaced_line(heading); }

// A link sub-section: the heading and its lines, when there are lines.
// `_format_product_links` / `_format_recommended_asins` hand `raw` on to
// `_format_link_items`; natively the lines go straight into the section.
bool link_section(Ctx& ctx, LineSink& sink, Step step, PyObject* raw, const NStr& heading, bool& vouched) {
    PyObject* include_source = step == FORMAT_RECOMMENDED_ASINS ? Py_True : Py_False;
    vouched = false;
    Ref lines;  // what a replaced step returned
    bool ok = at_step(
        ctx, step,
        [&] {
            return at_step(
                ctx, FORMAT_LINK_ITEMS,
                [&] {
                    // A plain value that is not a list, or an empty list, has
                    // no lines, and the list test runs no code for it.
                    if (PyList_CheckExact(raw) ? PyList_GET_SIZE(raw) == 0
                                               : is_plain_scalar(raw) || PyDict_CheckExact(raw) || PyTuple_CheckExact(raw)) {
                        vouched = true;
                        return true;
                    }
                    auto mark = sink.mark();
                    sub_heading(sink, heading);
                    Py_ssize_t before = sink.count();
                    if (!write_link_items(raw, include_source == Py_True, sink, &vouched)) return false;
                    if (sink.count() == before) sink.rollback(mark);
                    return true;
                },
                [&](const Callee& callee) {
                    lines = ctx.call(callee, &raw, 1, N.include_source, include_source);
                    return lines && check_return(lines.get(), &PyList_Type);
                });
        },
        [&](const Callee& callee) {
            lines = ctx.call(callee, &raw, 1);
            return static_cast<bool>(lines);
        });
    if (!ok || !lines) return ok;
    int t = truth(lines.get());
    if (t <= 0) return t == 0;
    sub_heading(sink, heading);
    return sink.extend(lines.get());
}

}  // namespace

bool write_section(Ctx& ctx, PyObject* index, PyObject* answer, PyObject* question, TextBuf& out,
                   bool* vouched) {
    if (vouched) *vouched = false;
    const size_t start = out.size();
    LineSink sink(out);
    int is_dict = is_a(answer, &PyDict_Type);
    if (is_dict < 0) return false;
    Ref answer_data = is_dict ? borrow(answer) : steal(PyDict_New());
    if (!answer_data) return false;
    sink.begin_line();
    out.append(ucs2_text(u"## 第 "));
    if (!append_int_text(out, index)) return false;
    out.append(ucs2_text(u" 题："));
    const NStr question_text = NStr::of(question);
    out.append(question_text);
    // The section's form, as its writers know it: texts written trimmed,
    // every line begun through the sink, no empty block.  Line breaks
    // inside the texts are counted at the end.
    bool plain = question_text.empty() || !is_space(question_text[question_text.len - 1]), part_plain = false;

    Ref raw = get_key(answer_data.get(), N.productLinks);
    if (!raw || !link_section(ctx, sink, FORMAT_PRODUCT_LINKS, raw.get(), ucs2_text(u"### 相关产品"), part_plain))
        return false;
    plain &= part_plain;

    Arena arena;
    Ref summary_value = get_key(answer_data.get(), N.summaryText);
    TextVal summary;
    if (!summary_value || !trimmed_value(summary_value.get(), arena, summary)) return false;

    auto no_answer = [&]() {
        sink.begin_line();
        out.append(ucs2_text(u"第 "));
        if (!append_int_text(out, index)) return false;
        out.append(ucs2_text(u" 题未获取到答案"));
        return true;
    };
    // Lines returned by a replaced step: used by truth value and appended.
    auto returned_body = [&](PyObject* body) {
        int t = truth(body);
        if (t < 0) return false;
        if (!t) {
            int has_summary = truth_of(summary);
            if (has_summary < 0) return false;
            if (has_summary) return true;
        }
        sub_heading(sink, ucs2_text(u"### 答案"));
        if (!t) return no_answer();
        return sink.extend(body);
    };

    // The body's lines go into the section under a speculative heading; a
    // replaced step (the body's own, or its renderer) hands back a list.
    Ref body;
    BodyLines body_lines = BodyLines::UNKNOWN;
    auto mark = sink.mark();
    Py_ssize_t before = 0;
    size_t body_from = 0;
    bool ok = at_step(
        ctx, FORMAT_ANSWER_BODY,
        [&] {
            if (!accepts(FORMAT_ANSWER_BODY, 1, answer_data.get())) return false;
            sub_heading(sink, ucs2_text(u"### 答案"));
            before = sink.count();
            body_from = out.size();
            return write_answer_body(ctx, index, answer_data.get(), sink, body, &body_lines);
        },
        [&](const Callee& callee) {
            PyObject* args[2] = {index, answer_data.get()};
            body = ctx.call(callee, args, 2);
            return static_cast<bool>(body);
        });
    if (!ok) return false;
    plain &= body_lines != BodyLines::UNKNOWN && !body;
    // A body clean as it stands is left out of the count (its line breaks
    // do not all go through the sink).
    size_t skip_from = 0, skip_to = 0;
    Py_ssize_t skip_lines = 0;
    if (body_lines == BodyLines::CLEAN && !body && sink.count() != before) {
        skip_from = body_from;
        skip_to = out.size();
        skip_lines = sink.count() - before;
    }
    if (body) {
        sink.rollback(mark);
        if (!returned_body(body.get())) return false;
    } else if (sink.count() == before) {
        int has_summary = truth_of(summary);
        if (has_summary < 0) return false;
        if (has_summary)
            sink.rollback(mark);
        else if (!no_answer())
            return false;
    }

    raw = get_key(answer_data.get(), N.recommendedAsins);
    if (!raw ||
        !link_section(ctx, sink, FORMAT_RECOMMENDED_ASINS, raw.get(), ucs2_text(u"### 推荐 ASIN"), part_plain))
        return false;
    plain &= part_plain;

    int has_summary = truth_of(summary);
    if (has_summary < 0) return false;
    if (has_summary) {
        sub_heading(sink, ucs2_text(u"### 总结"));
        if (summary.obj) {
            if (!sink.item(summary.obj)) return false;
            plain = false;
        } else {
            sink.line(summary.s);
        }
    }
    if (!sink.check_join()) return false;
    if (vouched && plain && out.size() - start >= static_cast<size_t>(VOUCHED_MIN)) {
        // Every "\n" outside the skipped body began a line through the sink
        // (the first line began with none): more means a text held one.
        const size_t head = count_newlines(out.view(start, skip_to ? skip_from : out.size()));
        const size_t tail = skip_to ? count_newlines(out.view(skip_to, out.size())) : 0;
        const size_t expected = static_cast<size_t>(sink.count() - 1 - skip_lines);
        *vouched = head != SIZE_MAX && tail != SIZE_MAX && head + tail == expected;
    }
    return true;
}

PyObject* py_format_section(PyObject* self, PyObject* const* args) {
    Ctx ctx(self);
    TextBuf out;
    if (!write_section(ctx, args[0], args[1], args[2], out)) return nullptr;
    return out.to_py();
}

}  // namespace arf
