// Related product links and recommended ASINs as bullet lines.
#include "../module/impls.hpp"
#include "../module/sink.hpp"

namespace arf {

// trim(str(value or "")) of one field of a link object.
static bool field(PyObject* item, PyObject* key, Arena& arena, NStr& out) {
    Ref value = steal(get_key(item, key));
    return value && trimmed_text_or_empty(value.get(), arena, out);
}

static bool link_object_lines(PyObject* item, bool include_source, LineSink& sink, Arena& arena) {
    NStr asin, title, href, source, description;
    if (!field(item, N.asin, arena, asin)) return false;
    {
        // title or href or "": each value's truth is asked once.
        Ref value = steal(get_key(item, N.title));
        if (!value) return false;
        int t = truth(value.get());
        if (t < 0) return false;
        if (t) {
            PyObject* s = text_of(value.get());
            if (!s) return false;
            title = trim(arena.keep(s));
        } else {
            value = steal(get_key(item, N.href));
            if (!value || !trimmed_text_or_empty(value.get(), arena, title)) return false;
        }
    }
    if (!field(item, N.href, arena, href) || !field(item, N.source, arena, source) ||
        !field(item, N.description, arena, description))
        return false;

    TextBuf& buf = sink.buf();
    auto mark = sink.mark();
    sink.begin_line();
    buf.append_ascii("- ");
    size_t label_start = buf.size();
    if (!asin.empty()) buf.append(asin);
    if (!title.empty()) {
        if (!asin.empty()) buf.append_ascii(" - ");
        buf.append(title);
    }
    if (include_source && !source.empty()) {
        if (buf.size() > label_start) buf.push(' ');
        buf.push('(');
        buf.append(source);
        buf.push(')');
    }
    if (buf.size() == label_start) sink.rollback(mark);
    if (!href.empty()) {
        sink.begin_line();
        buf.append_ascii("  ");
        buf.append(href);
    }
    if (!description.empty()) {
        sink.begin_line();
        buf.append_ascii("  ");
        buf.append(description);
    }
    return true;
}

// Writes the lines of a link list; false on error.
bool write_link_items(PyObject* raw_items, bool include_source, LineSink& sink) {
    if (!PyList_Check(raw_items)) return true;
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
        if (PyUnicode_Check(item)) {
            Ref stripped = steal(strip_text(item));
            if (!stripped) return false;
            int t = truth(stripped.get());
            if (t < 0) return false;
            if (t) {
                if (!PyUnicode_Check(stripped.get())) {
                    PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                                 Py_TYPE(stripped.get())->tp_name);
                    return false;
                }
                sink.begin_line();
                sink.buf().append_ascii("- ");
                sink.buf().append(NStr::of(stripped.get()));
            }
            return true;
        }
        if (!PyDict_Check(item)) return true;
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
    Ref result = steal(ctx.invoke(FORMAT_LINK_ITEMS, &raw, 1, N.include_source, include_source ? Py_True : Py_False));
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
