// The step dispatcher.  Steps are resolved once and the answer is reused
// while nothing it depends on has changed: the class (its version tag), the
// instance's __dict__ and the globals that name `re` (dict watchers).  So a
// replacement installed from anywhere (a callback, a colliding key's
// __eq__, an attribute lookup) is seen at the next use of the step.
#include "dispatch.hpp"

#include "patterns.hpp"

namespace arf {

uint64_t g_dict_version = 1;

namespace {

// The dict watcher: -2 not registered yet, -1 none to be had (every use of
// a step then resolves it afresh), otherwise its id.
int g_watcher = -2;
// The last resolution made, reused by the next call on the same instance.
Resolution g_last;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++g_dict_version;
    return 0;
}

bool watch(PyObject* dict) {
    if (PyDict_Watch(g_watcher, dict) == 0) return true;
    PyErr_Clear();
    return false;
}

// Registers the watcher and watches the dicts that name `re` and `re.match`.
bool watching() {
    if (g_watcher == -2) {
        g_watcher = PyDict_AddWatcher(on_dict_event);
        if (g_watcher < 0) {
            PyErr_Clear();
            g_watcher = -1;
        } else if (!watch(S.module_dict) || !watch(PyModule_GetDict(S.re_module))) {
            g_watcher = -1;
        }
    }
    return g_watcher >= 0;
}

// Whether every key of a dict is an exact str: only then can a lookup in it
// not run Python code (a key's own __eq__).
bool plain_keys(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// The classes on the MRO keep their attributes in plain dicts.
bool plain_class_dicts(PyTypeObject* type) {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(cls->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;  // built-in types: str keys only
        if (!cls->tp_dict || !PyDict_Check(cls->tp_dict) || !plain_keys(cls->tp_dict)) return false;
    }
    return true;
}

// The instance's __dict__ (created when the instance can have one but has
// none yet, so that attributes set later land in a watched dict).
PyObject* instance_dict(PyObject* self, bool create) {
    PyObject** slot = _PyObject_GetDictPtr(self);
    if (!slot) return nullptr;
    if (!*slot && create) {
        Ref dict = steal(PyObject_GenericGetDict(self, nullptr));
        if (!dict) PyErr_Clear();
    }
    return *slot;
}

}  // namespace

bool Ctx::refresh() {
    PyTypeObject* type = Py_TYPE(self_);
    instance_dict(self_, true);
    PyObject** slot = _PyObject_GetDictPtr(self_);
    dict_slot_ = slot ? slot : &NO_DICT;
    if (g_last.type == type) {
        // The last call's resolution, when it still holds for this instance.
        Resolution saved = res_;
        res_ = g_last;
        if (current()) return true;
        res_ = saved;
    }
    Resolution r;
    if (!watching()) {
        // No watcher to keep a resolution true: every use resolves afresh.
        r.observable = true;
        int re = re_is_original();
        if (re < 0) return false;
        r.re_native = re == 1;
        res_ = r;
        return true;
    }
    r.type = type;
    if (!type->tp_version_tag) PyUnstable_Type_AssignVersionTag(type);
    r.tag = type->tp_version_tag;
    r.observable = type->tp_getattro != PyObject_GenericGetAttr || !plain_class_dicts(type);
    if (!r.observable) {
        for (int s = 0; s < STEP_COUNT; ++s)
            if (_PyType_Lookup(type, S.method_names[s]) == S.functions[s]) r.native |= 1u << s;
    }
    r.dict = *dict_slot_;
    if (r.dict) {
        if (!watch(r.dict) || !PyDict_CheckExact(r.dict) || !plain_keys(r.dict)) {
            r.observable = true;
        } else if (PyDict_GET_SIZE(r.dict)) {
            // An instance attribute shadows the class's function.
            for (int s = 0; s < STEP_COUNT; ++s) {
                if (!(r.native & (1u << s))) continue;
                if (PyDict_GetItemWithError(r.dict, S.method_names[s])) r.native &= ~(1u << s);
                else if (PyErr_Occurred()) return false;
            }
        }
    }
    // `re` is looked up in the module globals; keys of another kind there
    // make that lookup observable, so it then happens at every use.
    int re = plain_keys(S.module_dict) && plain_keys(PyModule_GetDict(S.re_module)) ? re_is_original() : 0;
    if (re < 0) return false;
    r.re_native = re == 1;
    r.table_helpers_native = !r.observable && r.re_native && (r.native >> PARSE_PIPE_ROW & 1u) &&
                             (r.native >> IS_MARKDOWN_DELIMITER_ROW & 1u);
    r.dict_version = g_dict_version;
    res_ = r;
    if (!r.tag) res_.dict_version = 0;  // no version tag to be had: never current
    g_last = res_;
    return true;
}

int Ctx::lookup(Step s, Callee& callee) {
    PyObject* found = nullptr;
    int unbound = 0;
    if (Py_TYPE(self_)->tp_getattro == PyObject_GenericGetAttr) {
        unbound = _PyObject_GetMethod(self_, S.method_names[s], &found);
    } else {
        found = PyObject_GetAttr(self_, S.method_names[s]);
    }
    if (!found) return -1;
    PyObject* fn = S.functions[s];
    bool native = unbound ? found == fn
                          : (PyMethod_Check(found) && PyMethod_GET_FUNCTION(found) == fn &&
                             PyMethod_GET_SELF(found) == self_);
    if (native) {
        Py_DECREF(found);
        return 1;
    }
    callee.callable = steal(found);
    callee.with_self = unbound != 0;
    return 0;
}

int Ctx::resolve_slow(Step s, Callee& callee) {
    if (!current() && !refresh()) return -1;
    if (!res_.observable && (res_.native >> s) & 1u) return 1;
    return lookup(s, callee);
}

Ref Ctx::call(const Callee& callee, PyObject* const* args, int nargs, PyObject* kwname, PyObject* kwvalue) {
    PyObject* stack[6];
    int n = 0;
    stack[n++] = nullptr;  // room for PY_VECTORCALL_ARGUMENTS_OFFSET
    if (callee.with_self) stack[n++] = self_;
    for (int i = 0; i < nargs; ++i) stack[n++] = args[i];
    int npos = n - 1;
    Ref kwnames;
    if (kwname) {
        stack[n++] = kwvalue;
        kwnames = steal(PyTuple_Pack(1, kwname));
        if (!kwnames) return nullptr;
    }
    return steal(PyObject_Vectorcall(callee.callable.get(), stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               kwnames.get()));
}

Ref Ctx::native_body(Step s, PyObject* const* args, int nargs, PyObject* kwvalue) {
    PyObject* bound[4] = {self_, nullptr, nullptr, nullptr};
    for (int i = 0; i < nargs; ++i) bound[i + 1] = args[i];
    if (kwvalue) bound[nargs + 1] = kwvalue;
    return steal(run_step_body(s, bound));
}

Ref Ctx::invoke(Step s, PyObject* const* args, int nargs, PyObject* kwname, PyObject* kwvalue) {
    Ref result;
    at_step(
        *this, s,
        [&] {
            result = native_body(s, args, nargs, kwvalue);
            return static_cast<bool>(result);
        },
        [&](const Callee& callee) {
            result = call(callee, args, nargs, kwname, kwvalue);
            return static_cast<bool>(result);
        });
    return result;
}

}  // namespace arf
