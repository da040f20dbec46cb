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

// The fields read through the host's lookups and conversions.
static bool generic_link_fields(PyObject* item, Arena& arena, TextVal& asin, TextVal& title, TextVal& href,
                                TextVal& source, TextVal& description) {
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
    return true;
}

static bool write_link_object(bool include_source, LineSink& sink, Arena& arena, const TextVal& asin,
                              const TextVal& title, const TextVal& href, const TextVal& source,
                              const TextVal& description) {
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

// The fields of a link dict whose keys and values are all plain, read in
// one pass: 1 read, 0 not plain (nothing read), -1 on error.
static int plain_link_fields(PyObject* item, Arena& arena, TextVal& asin, TextVal& title, TextVal& href,
                             TextVal& source, TextVal& description) {
    if (!PyDict_CheckExact(item)) return 0;
    // The names are interned once, at module initialisation, and never change.
    static const KeyName names[5] = {
        {N.asin, "asin"}, {N.title, "title"}, {N.href, "href"}, {N.source, "source"}, {N.description, "description"}};
    PyObject* values[5];
    if (!read_plain_keys(item, names, values)) return 0;
    NStr texts[5];
    for (size_t i = 0; i < 5; ++i) {
        int r = plain_text(values[i], arena, texts[i]);
        if (r <= 0) return r;
    }
    // title or href or "": a truthy title is used even when it strips to "".
    int has_title = !values[1]                    ? 0
                    : PyUnicode_CheckExact(values[1]) ? PyUnicode_GET_LENGTH(values[1]) != 0
                                                      : PyObject_IsTrue(values[1]);  // no code runs for plain values
    if (has_title < 0) return -1;
    asin = TextVal{trim(texts[0])};
    title = TextVal{trim(texts[has_title ? 1 : 2])};
    href = TextVal{trim(texts[2])};
    source = TextVal{trim(texts[3])};
    description = TextVal{trim(texts[4])};
    return 1;
}

// The lines of a link dict whose keys and present values are all exact
// strs, as most are, written straight from the values' trimmed texts.
// False (nothing written) for any other dict.
static bool str_link_lines(PyObject* item, bool include_source, LineSink& sink) {
    // The names are interned once, at module initialisation, and never change.
    static const KeyName names[5] = {
        {N.asin, "asin"}, {N.title, "title"}, {N.href, "href"}, {N.source, "source"}, {N.description, "description"}};
    const DictEntries e = str_keyed_entries(item);
    if (!e.entries) return false;
    PyObject* values[5] = {};
    for (Py_ssize_t j = 0; j < e.count; ++j) {
        if (!e.entries[j].value) continue;
        const size_t i = key_index(e.entries[j].key, names);
        if (i < 5) values[i] = e.entries[j].value;
    }
    NStr t[5];
    for (size_t i = 0; i < 5; ++i) {
        if (!values[i]) continue;
        if (!PyUnicode_CheckExact(values[i])) return false;
        t[i] = trim(NStr::of(values[i]));
    }
    // title or href or "": a non-empty title is used even when it strips to "".
    const NStr& asin = t[0];
    const NStr& title = values[1] && PyUnicode_GET_LENGTH(values[1]) ? t[1] : t[2];
    const bool with_source = include_source && !t[3].empty();
    TextBuf& buf = sink.buf();
    if (!asin.empty() || !title.empty() || with_source) {
        // "- " + " - ".join(part for part in (asin, title) if part), then " (source)".
        sink.begin_line();
        buf.append_ascii("- ");
        if (!asin.empty()) buf.append(asin);
        if (!asin.empty() && !title.empty()) buf.append_ascii(" - ");
        if (!title.empty()) buf.append(title);
        if (with_source) {
            buf.append_ascii(asin.empty() && title.empty() ? "(" : " (");
            buf.append(t[3]);
            buf.push(')');
        }
    }
    for (const NStr* more : {&t[2], &t[4]}) {
        if (more->empty()) continue;
        sink.begin_line();
        buf.append_ascii("  ");
        buf.append(*more);
    }
    return true;
}

static bool link_object_lines(PyObject* item, bool include_source, LineSink& sink, Arena& arena,
                              bool& plain_lines) {
    if (str_link_lines(item, include_source, sink)) return true;
    plain_lines = false;
    TextVal asin, title, href, source, description;
    int plain = plain_link_fields(item, arena, asin, title, href, source, description);
    if (plain < 0) return false;
    if (!plain && !generic_link_fields(item, arena, asin, title, href, source, description)) return false;
    return write_link_object(include_source, sink, arena, asin, title, href, source, description);
}

// Writes the lines of a link list; false on error.
bool write_link_items(PyObject* raw_items, bool include_source, LineSink& sink, bool* vouched) {
    int is_list = is_a(raw_items, &PyList_Type);
    if (is_list <= 0) {
        if (vouched) *vouched = true;  // no lines
        return is_list == 0;
    }
    Arena arena;  // keeps the field texts alive while their lines are written
    bool plain = true;  // every line written from exact strs, trimmed
    bool ok = for_each_item(raw_items, [&](PyObject* item) {
        if (PyUnicode_CheckExact(item)) {
            NStr text = trim(NStr::of(item));
            if (!text.empty()) {
                sink.begin_line();
                sink.buf().append_ascii("- ");
                sink.buf().append(text);
            }
            return true;
        }
        // Most other items are exact dicts: no subtype test for them.
        if (PyDict_CheckExact(item)) return link_object_lines(item, include_source, sink, arena, plain);
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
            plain = false;
            sink.begin_line();
            sink.buf().append_ascii("- ");
            return append_formatted(sink.buf(), text, arena);
        }
        int is_dict = is_a(item, &PyDict_Type);
        if (is_dict <= 0) return is_dict == 0;
        return link_object_lines(item, include_source, sink, arena, plain);
    });
    if (ok && vouched) *vouched = plain;
    return ok;
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
