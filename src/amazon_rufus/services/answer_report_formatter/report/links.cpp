// Related product links and recommended ASINs as bullet lines.
#include "report.hpp"
#include "../module/steps.hpp"
#include "../text/sink.hpp"

namespace arf {

// trim(str(value or "")) of one field of a link object.
static bool field(PyObject* item, PyObject* key, Arena& arena, TextVal& out) {
    Ref value = get_key(item, key);
    return value && trimmed_value(value.get(), arena, out);
}

// Writes a text value as an f-string formats it.
static bool append_formatted(TextBuf& buf, const TextVal& v, Arena& arena) {
    if (!v.obj) {
        buf.append(v.s);
        return true;
    }
    Ref s = format_of(v.obj);
    if (!s) return false;
    buf.append(arena.keep(std::move(s)));
    return true;
}

// "  " + value on a line of its own when the value is truthy.
static bool indented_line(LineSink& sink, const TextVal& v, Arena& arena) {
    int shown = truth_of(v);
    if (shown <= 0) return shown == 0;
    sink.begin_line();
    sink.buf().append_ascii("  ");
    return append_formatted(sink.buf(), v, arena);
}

static bool link_object_lines(PyObject* item, bool include_source, LineSink& sink, Arena& arena) {
    TextVal asin, title, href, source, description;
    if (!field(item, N.asin, arena, asin)) return false;
    {
        // title or href or "": each value's truth is asked once.
        Ref value = get_key(item, N.title);
        if (!value) return false;
        int t = truth(value.get());
        if (t < 0) return false;
        if (t) {
            Ref text = text_of(value.get());
            if (!text || !stripped_value(text.get(), arena, title)) return false;
        } else {
            value = get_key(item, N.href);
            if (!value || !trimmed_value(value.get(), arena, title)) return false;
        }
    }
    if (!field(item, N.href, arena, href) || !field(item, N.source, arena, source) ||
        !field(item, N.description, arena, description))
        return false;

    // " - ".join(part for part in (asin, title) if part)
    const TextVal* parts[2];
    size_t nparts = 0;
    for (const TextVal* part : {&asin, &title}) {
        int shown = truth_of(*part);
        if (shown < 0) return false;
        if (shown) parts[nparts++] = part;
    }
    for (size_t i = 0; i < nparts; ++i) {
        if (parts[i]->obj && !PyUnicode_Check(parts[i]->obj)) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                         static_cast<Py_ssize_t>(i), Py_TYPE(parts[i]->obj)->tp_name);
            return false;
        }
    }
    int with_source = 0;
    if (include_source) {
        with_source = truth_of(source);
        if (with_source < 0) return false;
    }

    TextBuf& buf = sink.buf();
    auto mark = sink.mark();
    sink.begin_line();
    buf.append_ascii("- ");
    size_t label_start = buf.size();
    for (size_t i = 0; i < nparts; ++i) {
        if (i) buf.append_ascii(" - ");
        buf.append(parts[i]->obj ? NStr::of(parts[i]->obj) : parts[i]->s);
    }
    if (with_source) {
        if (buf.size() > label_start) buf.push(' ');
        buf.push('(');
        if (!append_formatted(buf, source, arena)) return false;
        buf.push(')');
    }
    if (buf.size() == label_start) sink.rollback(mark);
    return indented_line(sink, href, arena) && indented_line(sink, description, arena);
}

// Writes the lines of a link list; false on error.
bool write_link_items(PyObject* raw_items, bool include_source, LineSink& sink) {
    int is_list = is_a(raw_items, &PyList_Type);
    if (is_list <= 0) return is_list == 0;
    Arena arena;  // keeps the field texts alive while their lines are written
    return for_each_item(raw_items, [&](PyObject* item) {
        if (PyUnicode_CheckExact(item)) {
            NStr text = trim(NStr::of(item));
            if (!text.empty()) {
                sink.begin_line();
                sink.buf().append_ascii("- ");
                sink.buf().append(text);
            }
            return true;
        }
        int is_text = is_a(item, &PyUnicode_Type);
        if (is_text < 0) return false;
        if (is_text) {
            // text = item.strip(); if text: f"- {text}"
            Ref stripped = steal(PyObject_CallMethodNoArgs(item, N.strip));
            if (!stripped) return false;
            TextVal text;
            if (PyUnicode_CheckExact(stripped.get()))
                text.s = arena.keep(stripped.release());
            else
                text.obj = stripped.get();
            int shown = truth_of(text);
            if (shown <= 0) return shown == 0;
            sink.begin_line();
            sink.buf().append_ascii("- ");
            return append_formatted(sink.buf(), text, arena);
        }
        int is_dict = is_a(item, &PyDict_Type);
        if (is_dict <= 0) return is_dict == 0;
        return link_object_lines(item, include_source, sink, arena);
    });
}

PyObject* py_format_link_items(PyObject*, PyObject* const* args) {
    TextBuf buf;
    LineSink sink(buf, true);
    if (!write_link_items(args[0], args[1] == Py_True, sink)) return nullptr;
    return sink.to_list();
}

static PyObject* link_lines(PyObject* self, PyObject* raw, bool include_source) {
    Ctx ctx(self);
    Ref result = ctx.invoke(FORMAT_LINK_ITEMS, &raw, 1, N.include_source, include_source ? Py_True : Py_False);
    if (!result) return nullptr;
    return check_return(result.get(), &PyList_Type) ? result.release() : nullptr;
}

PyObject* py_format_product_links(PyObject* self, PyObject* const* args) {
    return link_lines(self, args[0], false);
}

PyObject* py_format_recommended_asins(PyObject* self, PyObject* const* args) {
    return link_lines(self, args[0], true);
}

}  // namespace arf
