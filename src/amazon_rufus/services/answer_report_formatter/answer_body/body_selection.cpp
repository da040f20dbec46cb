// Answer body selection: the front end's structured blocks when they
// assemble to something, else the parsed answer text, else the text as one
// block; then the rendered lines.
#include "../module/steps.hpp"
#include "answer_body.hpp"
#include "display_stream.hpp"

namespace arf {

namespace {

// A step that takes one list of blocks: native records stay records, and a
// replaced step gets them as the block model's dicts; what it returns is
// taken as it is (`out` becomes foreign).
template <class In, class Out, class ToPy, class Core>
bool blocks_step(Ctx& ctx, Step s, In& in, Out& out, ToPy&& to_py, Core&& core) {
    return at_step(
        ctx, s, [&] { return (in.native || accepts(s, 0, in.obj.get())) && core(); },
        [&](const Callee& callee) {
            Ref arg = to_py(in);
            if (!arg) return false;
            PyObject* a = arg.get();
            out.native = false;
            out.obj = ctx.call(callee, &a, 1);
            return static_cast<bool>(out.obj);
        });
}

// _build_structured_answer_blocks through the instance.
bool assemble_step(Ctx& ctx, Work& w, SBlocks& in, DBlocks& out) {
    return blocks_step(
        ctx, BUILD_STRUCTURED_ANSWER_BLOCKS, in, out, [&](SBlocks& b) { return sblocks_to_py_in(w, b); },
        [&] { return assemble_blocks(ctx, w, in, out); });
}

// Truth value of assembled blocks (-1 on error).
int blocks_truth(DBlocks& d) {
    if (d.native) return !d.records.empty();
    return truth(d.obj.get());
}

// _build_text_fallback_blocks through the instance.
bool parse_step(Ctx& ctx, Work& w, PyObject* text, IBlocks& out) {
    return at_step(
        ctx, BUILD_TEXT_FALLBACK_BLOCKS, [&] { return parse_text(ctx, w, text, out); },
        [&](const Callee& callee) {
            out.native = false;
            out.obj = ctx.call(callee, &text, 1);
            return static_cast<bool>(out.obj);
        });
}

// _to_structured_blocks through the instance.
bool convert_step(Ctx& ctx, Work& w, IBlocks& in, SBlocks& out) {
    return blocks_step(
        ctx, TO_STRUCTURED_BLOCKS, in, out, [](IBlocks& b) { return iblocks_to_py(b); },
        [&] { return convert_blocks(ctx, w, in, out); });
}

// A result handed on from another step must be a list (or None).
bool handed_on(DBlocks& d) { return d.native || check_return(d.obj.get(), &PyList_Type); }

}  // namespace

bool build_answer_blocks(Ctx& ctx, Work& w, PyObject* text, PyObject* structured, DBlocks& out) {
    out.native = true;
    out.records.clear();
    int is_list = is_a(structured, &PyList_Type);
    if (is_list < 0) return false;
    if (is_list) {
        int t = truth(structured);
        if (t < 0) return false;
        if (t) {
            SBlocks in;
            in.native = false;
            in.obj = borrow(structured);
            if (!assemble_step(ctx, w, in, out)) return false;
            int shown = blocks_truth(out);
            if (shown < 0) return false;
            if (shown) return handed_on(out);
        }
    }
    out.reset();
    if (PyUnicode_GET_LENGTH(text) == 0) return true;
    IBlocks parsed;
    SBlocks structured_fallback;
    if (!parse_step(ctx, w, text, parsed) || !convert_step(ctx, w, parsed, structured_fallback) ||
        !assemble_step(ctx, w, structured_fallback, out))
        return false;
    int shown = blocks_truth(out);
    if (shown < 0) return false;
    if (shown) return handed_on(out);
    out.reset();
    DBlock last_resort;
    last_resort.type = DBlock::TEXT;
    last_resort.text = TextVal{trim(NStr::of(text))};
    out.records.push_back(std::move(last_resort));
    return true;
}

PyObject* py_build_answer_blocks(PyObject* self, PyObject* const* args) {
    Ctx ctx(self);
    Work w;
    DBlocks out;
    if (!build_answer_blocks(ctx, w, args[0], args[1], out)) return nullptr;
    return dblocks_to_py(out).release();
}

bool write_answer_body(Ctx& ctx, PyObject*, PyObject* answer, LineSink& sink, Ref& foreign, BodyLines* lines) {
    if (lines) *lines = BodyLines::UNKNOWN;
    Work w;
    Ref value = get_key(answer, N.text);
    if (!value) return false;
    TextVal trimmed;
    if (!trimmed_value(value.get(), w.arena, trimmed)) return false;
    Ref is_success = get_key(answer, N.isSuccess);
    if (!is_success) return false;
    if (is_success.get() == Py_False) {
        int shown = truth_of(trimmed);
        if (shown < 0) return false;
        if (!shown) {
            if (lines) *lines = BodyLines::THROUGH_SINK;  // no lines
            return true;
        }
    }
    Ref structured = get_key(answer, N.blocks);
    if (!structured) return false;

    // The fused routes: every step from the blocks or the text to the lines
    // native.  The front end's blocks come first when they are a non-empty
    // list; a value that is not a list, or an empty list, passes the list
    // test without running code.
    PyObject* blocks = structured.get();
    const bool blocks_list = PyList_CheckExact(blocks) && PyList_GET_SIZE(blocks) > 0;
    const bool no_blocks = PyList_CheckExact(blocks) ? !blocks_list
                                                     : is_plain_scalar(blocks) || PyDict_CheckExact(blocks) ||
                                                           PyTuple_CheckExact(blocks);
    if ((blocks_list || no_blocks) && !trimmed.obj) {
        int fused = ctx.all_native(FUSED_STEPS);
        if (fused < 0) return false;
        if (fused) {
            bool plain = false;
            Py_ssize_t shown = blocks_list ? write_structured_body(w, blocks, sink, &plain) : 0;
            if (shown > 0) {
                // The display stream writes the blocks' trimmed texts, a
                // block's lines apart by one empty line.
                if (lines) *lines = plain ? BodyLines::THROUGH_SINK : BodyLines::UNKNOWN;
                return true;
            }
            if (shown == 0 && write_text_body(w, trimmed.s, sink, lines)) return true;
            if (shown != NOT_PLAIN) {
                add_traceback(BUILD_ANSWER_BLOCKS);
                return false;
            }
        }
    }

    // The staged route hands the trimmed text on as a str.
    PyObject* text = trimmed.obj ? trimmed.obj : w.hold(to_py(trimmed.s));
    if (!text) return false;
    DBlocks display;
    bool built = at_step(
        ctx, BUILD_ANSWER_BLOCKS,
        [&] { return accepts(BUILD_ANSWER_BLOCKS, 0, text) && build_answer_blocks(ctx, w, text, structured.get(), display); },
        [&](const Callee& callee) {
            PyObject* args[2] = {text, structured.get()};
            display.native = false;
            display.obj = ctx.call(callee, args, 2);
            return static_cast<bool>(display.obj);
        });
    if (!built) return false;
    return at_step(
        ctx, RENDER_BLOCKS,
        [&] {
            return (display.native || accepts(RENDER_BLOCKS, 0, display.obj.get())) &&
                   render_blocks(ctx, w, display, sink);
        },
        [&](const Callee& callee) {
            Ref arg = dblocks_to_py(display);
            if (!arg) return false;
            PyObject* a = arg.get();
            foreign = ctx.call(callee, &a, 1);
            return foreign && check_return(foreign.get(), &PyList_Type);
        });
}

PyObject* py_format_answer_body(PyObject* self, PyObject* const* args) {
    Ctx ctx(self);
    TextBuf buf;
    LineSink sink(buf, true);
    Ref foreign;
    if (!write_answer_body(ctx, args[0], args[1], sink, foreign)) return nullptr;
    if (foreign) return foreign.release();
    return sink.to_list();
}

}  // namespace arf
