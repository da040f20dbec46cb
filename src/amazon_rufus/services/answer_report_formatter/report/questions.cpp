// The question list: which source holds the questions, their clean texts,
// and the title of section N.
#include "../dispatch/dispatch.hpp"
#include "../module/steps.hpp"

namespace arf {

using namespace std::string_view_literals;  // literal lengths known at compile time

static PyObject* question_text(PyObject* item) {
    int is = is_a(item, &PyUnicode_Type);
    if (is < 0) return nullptr;
    if (is) return strip_text(item).release();
    if ((is = is_a(item, &PyDict_Type)) <= 0) return is < 0 ? nullptr : Py_NewRef(N.empty);
    Ref value = get_key(item, N.question);
    if (!value) return nullptr;
    int t = truth(value.get());
    if (t < 0) return nullptr;
    if (!t) {
        value = get_key(item, N.text);
        if (!value) return nullptr;
        t = truth(value.get());
        if (t < 0) return nullptr;
        if (!t) value = borrow(N.empty);
    }
    Ref text = text_of(value.get());
    if (!text) return nullptr;
    return strip_text(text.get()).release();
}

PyObject* py_normalize_question_list(PyObject*, PyObject* const* args) {
    PyObject* raw = args[0];
    Ref result = steal(PyList_New(0));
    if (!result) return nullptr;
    int is_list = is_a(raw, &PyList_Type);
    if (is_list <= 0) return is_list < 0 ? nullptr : result.release();
    bool ok = for_each_item(raw, [&](PyObject* item) {
        Ref text = steal(question_text(item));
        if (!text) return false;
        int keep = truth(text.get());
        return keep >= 0 && (!keep || PyList_Append(result.get(), text.get()) == 0);
    });
    return ok ? result.release() : nullptr;
}

static PyObject* normalized(Ctx& ctx, PyObject* raw) {
    Ref questions = ctx.invoke(NORMALIZE_QUESTION_LIST, &raw, 1);
    return questions.release();
}

PyObject* py_extract_questions(PyObject* self, PyObject* const* args) {
    Ctx ctx(self);
    PyObject* data = args[0];
    Ref raw = get_key(data, N.questions);
    if (!raw) return nullptr;
    Ref questions = steal(normalized(ctx, raw.get()));
    if (!questions) return nullptr;
    int t = truth(questions.get());
    if (t < 0) return nullptr;
    if (t) return check_return(questions.get(), &PyList_Type) ? questions.release() : nullptr;

    Ref payload = get_key(data, N.upload_payload);
    if (!payload) return nullptr;
    int is = is_a(payload.get(), &PyDict_Type);
    if (is <= 0) return is < 0 ? nullptr : PyList_New(0);
    Ref records = get_key(payload.get(), N.records);
    if (!records) return nullptr;
    if ((is = is_a(records.get(), &PyList_Type)) <= 0) return is < 0 ? nullptr : PyList_New(0);
    t = truth(records.get());
    if (t <= 0) return t < 0 ? nullptr : PyList_New(0);
    Ref first = steal(PyList_CheckExact(records.get()) ? Py_NewRef(PyList_GET_ITEM(records.get(), 0))
                                                       : PyObject_GetItem(records.get(), N.small_int[0]));
    if (!first) return nullptr;
    if ((is = is_a(first.get(), &PyDict_Type)) <= 0) return is < 0 ? nullptr : PyList_New(0);
    Ref first_questions = get_key(first.get(), N.questions);
    if (!first_questions) return nullptr;
    questions = steal(normalized(ctx, first_questions.get()));
    if (!questions) return nullptr;
    return check_return(questions.get(), &PyList_Type) ? questions.release() : nullptr;
}

PyObject* fallback_title(PyObject* index) {
    if (PyLong_CheckExact(index) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(index))) {
        // "第 N 题" of a position, built on the stack.
        Py_UCS2 text[32];
        Py_UCS2* end = text + 32;
        Py_UCS2* p = end;
        *--p = u'题';
        *--p = u' ';
        const long long v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(index));
        unsigned long long m = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        do {
            *--p = static_cast<Py_UCS2>('0' + m % 10);
            m /= 10;
        } while (m);
        if (v < 0) *--p = '-';
        *--p = u' ';
        *--p = u'第';
        return PyUnicode_FromKindAndData(PyUnicode_2BYTE_KIND, p, end - p);
    }
    TextBuf buf;
    buf.append(ucs2_text(u"第 "));
    if (!append_int_text(buf, index)) return nullptr;
    buf.append(ucs2_text(u" 题"));
    return buf.to_py();
}

PyObject* py_question_at(PyObject*, PyObject* const* args) {
    PyObject* questions = args[0];
    PyObject* index = args[1];
    int overflow = 0;
    long long i = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    if (!overflow && i >= 1 && i - 1 < PyList_GET_SIZE(questions)) {
        PyObject* item = PyList_GET_ITEM(questions, i - 1);
        if (!check_return(item, &PyUnicode_Type)) return nullptr;
        return Py_NewRef(item);
    }
    return fallback_title(index);
}

}  // namespace arf
