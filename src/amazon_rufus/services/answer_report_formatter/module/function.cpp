// The native method type: binds like a Python function, carries the usual
// function metadata and applies the argument contract before a step runs.
#include "steps.hpp"

#include <cstddef>
#include <cstring>
#include <new>

#include <frameobject.h>
#include <pthread.h>

namespace arf {

ModuleState S;
PyTypeObject* FunctionType = nullptr;

static const char MODULE_NAME[] = "quorin.amazon_rufus.services.answer_report_formatter";
static const char SOURCE_FILE[] = "amazon_rufus/services/answer_report_formatter";

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Step step;
    PyObject* dict;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* signature;  // built on first request
    PyObject* weakrefs;
};

// ---- Argument contract -----------------------------------------------------

static const char* type_name_for(ParamKind k) {
    switch (k) {
        case ParamKind::Dict: return "dict";
        case ParamKind::List: return "list";
        case ParamKind::Str: return "str";
        case ParamKind::Int: return "int";
        default: return "object";
    }
}

static void add_note(const char* note) {
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* r = PyObject_CallMethod(exc, "add_note", "s", note);
    if (!r) {
        Py_DECREF(exc);
        return;
    }
    Py_DECREF(r);
    PyErr_SetRaisedException(exc);
}

static PyObject* wrong_type(const char* param, ParamKind kind, PyObject* value, bool subclass) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, type_name_for(kind), Py_TYPE(value)->tp_name);
    if (subclass) {
        char note[256];
        snprintf(note, sizeof note,
                 "Subclasses of built-in types are rejected here: pass an exact %s instance.",
                 type_name_for(kind));
        add_note(note);
    }
    return nullptr;
}

Ref check_arg(Step s, int param, Handle v_handle) {
    PyObject* v = v_handle;
    const Param& p = METHODS[s].params[param];
    switch (p.kind) {
        case ParamKind::Dict:
            if (PyDict_CheckExact(v)) return steal(Py_NewRef(v));
            return steal(wrong_type(p.name, p.kind, v, PyDict_Check(v)));
        case ParamKind::List:
            if (PyList_CheckExact(v)) return steal(Py_NewRef(v));
            return steal(wrong_type(p.name, p.kind, v, PyList_Check(v)));
        case ParamKind::Str:
            if (PyUnicode_CheckExact(v)) return steal(Py_NewRef(v));
            return steal(wrong_type(p.name, p.kind, v, PyUnicode_Check(v)));
        case ParamKind::Int:
            if (PyLong_CheckExact(v)) return steal(Py_NewRef(v));
            if (PyNumber_Check(v)) return steal(PyNumber_Long(v));
            return steal(wrong_type(p.name, p.kind, v, false));
        case ParamKind::BoolKeywordOnly: {
            int t = truth(v);
            if (t < 0) return nullptr;
            return steal(Py_NewRef(t ? Py_True : Py_False));
        }
        case ParamKind::Any:
            break;
    }
    return steal(Py_NewRef(v));
}

bool check_return(PyObject* value, PyTypeObject* expected) {
    if (value == Py_None || Py_IS_TYPE(value, expected)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

void add_traceback(Step s) {
    if (!PyErr_Occurred()) {
        // A failure path forgot its exception: report that loudly instead of
        // handing the traceback machinery nothing to attach to.
        PyErr_Format(PyExc_SystemError, "AnswerReportFormatter.%s failed without setting an exception",
                     METHODS[s].name);
    }
    PyObject* exc = PyErr_GetRaisedException();
    if (!S.code_objects[s]) {
        char name[256];
        snprintf(name, sizeof name, "%s.AnswerReportFormatter.%s", MODULE_NAME, METHODS[s].name);
        S.code_objects[s] = reinterpret_cast<PyObject*>(PyCode_NewEmpty(SOURCE_FILE, name, 1));
    }
    PyFrameObject* frame = nullptr;
    if (S.code_objects[s] && S.module_dict)
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(S.code_objects[s]),
                            S.module_dict, nullptr);
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

static void positional_count_error(const MethodSpec& m, Py_ssize_t given) {
    Py_ssize_t expected = m.nparams + 1;
    for (int i = 0; i < m.nparams; ++i)
        if (m.params[i].kind == ParamKind::BoolKeywordOnly) --expected;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", m.name,
                 "exactly", expected, expected == 1 ? "" : "s", given);
}

// Binds vectorcall arguments to [self, params...] by the contract's rules and
// in the contract's order of complaints; `bound` receives borrowed references.
static bool bind_arguments(const MethodSpec& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           PyObject** bound) {
    const int total = m.nparams + 1;
    int npositional = 1;
    for (int i = 0; i < m.nparams; ++i)
        if (m.params[i].kind != ParamKind::BoolKeywordOnly) ++npositional;
    if (nargs > npositional) {
        positional_count_error(m, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", m.name);
            return false;
        }
        int slot = -1;
        for (int i = 0; i < total; ++i) {
            const char* pname = i == 0 ? "self" : m.params[i - 1].name;
            if (PyUnicode_CompareWithASCIIString(key, pname) == 0) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", m.name, key);
            return false;
        }
        if (bound[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", m.name, key);
            return false;
        }
        bound[slot] = args[nargs + k];
    }
    for (int i = 0; i < npositional; ++i) {
        if (!bound[i]) {
            positional_count_error(m, i);
            return false;
        }
    }
    for (int i = npositional; i < total; ++i) {
        if (!bound[i]) {
            PyObject* pname = PyUnicode_FromString(m.params[i - 1].name);
            if (pname) {
                PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", m.name, pname);
                Py_DECREF(pname);
            }
            return false;
        }
    }
    return true;
}

// Calls a native body; C++ exceptions (only allocation failures are
// possible) become interpreter exceptions here and never go further.
static PyObject* call_impl(const MethodSpec& m, PyObject* const* checked) {
    try {
        return m.impl(checked[0], checked + 1);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected native failure");
        return nullptr;
    }
}

static PyObject* run_entered(Step s, PyObject* const* bound);

// The calling thread's stack: its lowest usable address, found once per
// thread (0 when unknown).
static uintptr_t stack_low_end() {
    static thread_local uintptr_t low = 1;  // 1: not looked up yet
    if (low == 1) {
        low = 0;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0) low = reinterpret_cast<uintptr_t>(addr);
            pthread_attr_destroy(&attr);
        }
    }
    return low;
}

// Room a method keeps in reserve below it for the code it calls before the
// next method entry (its own frames, the interpreter's, a callback's).
constexpr uintptr_t STACK_RESERVE = 96 * 1024;

// Re-entry through callbacks is bounded twice: by the interpreter's own
// recursion counter, and by the room left on the thread's stack, so that a
// thread with a small stack ends in RecursionError, never in a crash.
static bool enter_method() {
    char here;
    uintptr_t sp = reinterpret_cast<uintptr_t>(&here);
    uintptr_t low = stack_low_end();
    if (low && sp > low && sp - low < STACK_RESERVE) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return false;
    }
    return Py_EnterRecursiveCall("") == 0;
}

// Runs a step's native body on already bound arguments: the contract's type
// checks, the body, and the traceback entry when it fails.
PyObject* run_step(Step s, PyObject* const* bound) {
    static int depth = 0;  // method calls in progress (under the interpreter lock)
    if (!enter_method()) {
        add_traceback(s);
        return nullptr;
    }
    ++depth;
    PyObject* result = run_entered(s, bound);
    if (--depth == 0) release_large_storage();
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* run_step_body(Step s, PyObject* const* bound) {
    const MethodSpec& m = METHODS[s];
    PyObject* checked[4] = {bound[0], nullptr, nullptr, nullptr};
    PyObject* result = nullptr;
    bool ok = true;
    for (int i = 1; i <= m.nparams && ok; ++i) {
        checked[i] = check_arg(s, i - 1, bound[i]).release();
        ok = checked[i] != nullptr;
    }
    if (ok) result = call_impl(m, checked);
    for (int i = 1; i <= m.nparams; ++i) Py_XDECREF(checked[i]);
    return result;
}

static PyObject* run_entered(Step s, PyObject* const* bound) {
    PyObject* result = run_step_body(s, bound);
    if (!result) add_traceback(s);
    return result;
}

static PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
    auto* f = reinterpret_cast<Function*>(callable);
    PyObject* bound[4] = {};
    if (!bind_arguments(METHODS[f->step], args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        add_traceback(f->step);
        return nullptr;
    }
    return run_step(f->step, bound);
}

// ---- The function type -----------------------------------------------------

static PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

static int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<Function*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    return 0;
}

static int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature);
    return 0;
}

static void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<Function*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    tp->tp_free(self);
    Py_DECREF(tp);
}

static PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// inspect.Signature with string annotations, built on first request.
static PyObject* build_signature(Function* f) {
    const MethodSpec& m = METHODS[f->step];
    Ref inspect = steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter || !signature) return nullptr;
    Ref positional = steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    Ref keyword_only = steal(PyObject_GetAttrString(parameter.get(), "KEYWORD_ONLY"));
    if (!positional || !keyword_only) return nullptr;
    Ref params = steal(PyList_New(0));
    if (!params) return nullptr;
    for (int i = 0; i <= m.nparams; ++i) {
        const char* name = i == 0 ? "self" : m.params[i - 1].name;
        bool kwonly = i > 0 && m.params[i - 1].kind == ParamKind::BoolKeywordOnly;
        Ref kwargs = steal(PyDict_New());
        if (!kwargs) return nullptr;
        if (i > 0) {
            Ref ann = steal(PyUnicode_FromString(m.params[i - 1].annotation));
            if (!ann || PyDict_SetItemString(kwargs.get(), "annotation", ann.get()) < 0) return nullptr;
        }
        Ref pargs = steal(Py_BuildValue("(sO)", name, kwonly ? keyword_only.get() : positional.get()));
        if (!pargs) return nullptr;
        Ref p = steal(PyObject_Call(parameter.get(), pargs.get(), kwargs.get()));
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    Ref ret = steal(PyUnicode_FromString(m.returns));
    Ref kwargs = steal(PyDict_New());
    if (!ret || !kwargs || PyDict_SetItemString(kwargs.get(), "return_annotation", ret.get()) < 0)
        return nullptr;
    Ref sargs = steal(PyTuple_Pack(1, params.get()));
    if (!sargs) return nullptr;
    return PyObject_Call(signature.get(), sargs.get(), kwargs.get());
}

static PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<Function*>(self);
    if (!f->signature) f->signature = build_signature(f);
    return Py_XNewRef(f->signature);
}

static PyObject* get_annotations(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->annotations);
}

static int set_annotations(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<Function*>(self);
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_SETREF(f->annotations, Py_NewRef(value));
    return 0;
}

static PyObject* get_text_field(PyObject* self, void* which) {
    auto* f = reinterpret_cast<Function*>(self);
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(f) + reinterpret_cast<Py_ssize_t>(which));
    return Py_NewRef(*slot);
}

static int set_text_field(PyObject* self, PyObject* value, void* which) {
    auto* f = reinterpret_cast<Function*>(self);
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(f) + reinterpret_cast<Py_ssize_t>(which));
    Py_ssize_t doc_offset = offsetof(Function, doc);
    Py_ssize_t module_offset = offsetof(Function, module);
    if (reinterpret_cast<Py_ssize_t>(which) == doc_offset || reinterpret_cast<Py_ssize_t>(which) == module_offset) {
        Py_XSETREF(*slot, Py_NewRef(value ? value : Py_None));
        return 0;
    }
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "must be set to a string object");
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

// Functions are copied as themselves and pickled by their qualified name,
// as the interpreter's own functions are.
static PyObject* function_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

static PyObject* function_deepcopy(PyObject* self, PyObject*) { return Py_NewRef(self); }

static PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

static PyMethodDef function_methods[] = {
    {"__copy__", function_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", function_deepcopy, METH_O, nullptr},
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#define TEXT_FIELD(attr, field) \
    {attr, get_text_field, set_text_field, nullptr, reinterpret_cast<void*>(offsetof(Function, field))}

static PyGetSetDef function_getset[] = {
    TEXT_FIELD("__name__", name),
    TEXT_FIELD("__qualname__", qualname),
    TEXT_FIELD("__module__", module),
    TEXT_FIELD("__doc__", doc),
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMemberDef function_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

static PyType_Spec function_spec = {
    "quorin.amazon_rufus.services.answer_report_formatter.native_function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

bool init_function_type() {
    if (FunctionType) return true;
    FunctionType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return FunctionType != nullptr;
}

static PyObject* new_function(Step s) {
    const MethodSpec& m = METHODS[s];
    auto* f = PyObject_GC_New(Function, FunctionType);
    if (!f) return nullptr;
    f->vectorcall = function_vectorcall;
    f->step = s;
    f->dict = nullptr;
    f->signature = nullptr;
    f->weakrefs = nullptr;
    f->name = PyUnicode_FromString(m.name);
    f->qualname = PyUnicode_FromFormat("AnswerReportFormatter.%s", m.name);
    f->module = PyUnicode_FromString(MODULE_NAME);
    f->doc = PyUnicode_FromString(m.doc);
    f->annotations = PyDict_New();
    PyObject_GC_Track(f);
    Ref self = steal(reinterpret_cast<PyObject*>(f));
    if (!f->name || !f->qualname || !f->module || !f->doc || !f->annotations) return nullptr;
    for (int i = 0; i < m.nparams; ++i) {
        Ref ann = steal(PyUnicode_FromString(m.params[i].annotation));
        if (!ann || PyDict_SetItemString(f->annotations, m.params[i].name, ann.get()) < 0) return nullptr;
    }
    Ref ret = steal(PyUnicode_FromString(m.returns));
    if (!ret || PyDict_SetItemString(f->annotations, "return", ret.get()) < 0) return nullptr;
    return self.release();
}

bool create_functions() {
    for (int s = 0; s < STEP_COUNT; ++s) {
        if (S.functions[s]) continue;
        S.functions[s] = new_function(static_cast<Step>(s));
        if (!S.functions[s]) return false;
    }
    return true;
}

}  // namespace arf
