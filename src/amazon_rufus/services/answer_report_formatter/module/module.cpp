// Module initialisation: the create and execute steps, the guards against a
// second interpreter and re-initialisation, and the class definition.
#include "steps.hpp"

namespace arf {

static const char FULL_NAME[] = "quorin.amazon_rufus.services.answer_report_formatter";
static int64_t g_interpreter_id = -1;
static bool g_executed = false;

// Copies one attribute of the import spec onto the module.
static bool copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    int rc = 0;
    if (allow_none || value != Py_None) rc = PyObject_SetAttrString(module, to, value);
    Py_DECREF(value);
    return rc == 0;
}

static PyObject* module_create(PyObject* spec, PyModuleDef*) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (g_interpreter_id == -1) {
        g_interpreter_id = current;
    } else if (g_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (S.module) return Py_NewRef(S.module);
    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (!copy_spec_attr(spec, module.get(), "loader", "__loader__", true) ||
        !copy_spec_attr(spec, module.get(), "origin", "__file__", true) ||
        !copy_spec_attr(spec, module.get(), "parent", "__package__", true) ||
        !copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", false))
        return nullptr;
    S.module = Py_NewRef(module.get());
    return module.release();
}

static bool check_version() {
    const int rt_major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int rt_minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (rt_major == PY_MAJOR_VERSION && rt_minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, FULL_NAME, "does not match", rt_major,
                            rt_minor) == 0;
}

static bool register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    if (!modules) return false;
    Ref name = steal(PyUnicode_FromString(FULL_NAME));
    if (!name) return false;
    int has = PyDict_Contains(modules, name.get());
    if (has < 0) return false;
    return has || PyDict_SetItem(modules, name.get(), module) == 0;
}

static PyObject* make_class() {
    Ref ns = steal(PyDict_New());
    if (!ns) return nullptr;
    Ref module_name = steal(PyUnicode_FromString(FULL_NAME));
    Ref qualname = steal(PyUnicode_FromString("AnswerReportFormatter"));
    Ref doc = steal(PyUnicode_FromString("将 Rufus 全量结果投影为前端风格的终端报告。"));
    if (!module_name || !qualname || !doc) return nullptr;
    if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0)
        return nullptr;
    for (int s = 0; s < STEP_COUNT; ++s)
        if (PyDict_SetItem(ns.get(), S.method_names[s], S.functions[s]) < 0) return nullptr;
    Ref bases = steal(PyTuple_New(0));
    if (!bases) return nullptr;
    return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", "AnswerReportFormatter",
                                 bases.get(), ns.get());
}

static int module_exec(PyObject* module) {
    if (g_executed) {
        if (module == S.module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'answer_report_formatter' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (!S.module) S.module = Py_NewRef(module);
    if (!check_version()) return -1;
    if (!init_names() || !init_function_type() || !verify_dict_layout()) return -1;
    for (int s = 0; s < STEP_COUNT; ++s) {
        if (!S.method_names[s]) S.method_names[s] = PyUnicode_InternFromString(METHODS[s].name);
        if (!S.method_names[s]) return -1;
    }
    S.module_dict = PyModule_GetDict(module);
    if (!register_in_sys_modules(module)) return -1;

    Ref re = steal(PyImport_ImportModule("re"));
    if (!re || PyObject_SetAttrString(module, "re", re.get()) < 0) return -1;
    Ref match = steal(PyObject_GetAttrString(re.get(), "match"));
    if (!match) return -1;

    Ref typing = steal(PyImport_ImportModule("typing"));
    if (!typing) return -1;
    Ref any = steal(PyObject_GetAttrString(typing.get(), "Any"));
    if (!any) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        Ref name = steal(PyUnicode_FromString("Any"));
        if (name) PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
        return -1;
    }
    if (PyObject_SetAttrString(module, "Any", any.get()) < 0) return -1;

    if (!create_functions()) return -1;
    Ref cls = steal(make_class());
    if (!cls || PyObject_SetAttrString(module, "AnswerReportFormatter", cls.get()) < 0) return -1;
    Ref test = steal(PyDict_New());
    if (!test || PyObject_SetAttrString(module, "__test__", test.get()) < 0) return -1;

    Py_XSETREF(S.re_module, re.release());
    Py_XSETREF(S.re_match, match.release());
    Py_XSETREF(S.cls, cls.release());
    g_executed = true;
    return 0;
}

static PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

static PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "answer_report_formatter",
    "Amazon Rufus 答案报告格式化服务。",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace arf

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_answer_report_formatter(void) {
    return PyModuleDef_Init(&arf::module_def);
}
