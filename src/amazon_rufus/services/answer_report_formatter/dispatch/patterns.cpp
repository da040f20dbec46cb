// The module global `re`: whether it and its `match` are those imported at
// load time, and `re.match` looked up and called as the algorithm does.
#include "patterns.hpp"

namespace arf {

int re_is_original() {
    PyObject* re = PyDict_GetItemWithError(S.module_dict, N.re);
    if (!re) return PyErr_Occurred() ? -1 : 0;  // looked up elsewhere: not ours
    if (re != S.re_module) return 0;
    PyObject* match = PyDict_GetItemWithError(PyModule_GetDict(re), N.match);
    if (!match) return PyErr_Occurred() ? -1 : 0;
    return match == S.re_match;
}

Ref re_match_function() {
    // The global `re`, as a name lookup finds it: the module, then builtins.
    PyObject* re = PyDict_GetItemWithError(S.module_dict, N.re);
    if (!re && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        re = builtins ? PyDict_GetItemWithError(builtins, N.re) : nullptr;
        if (!re && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", N.re);
    }
    if (!re) return nullptr;
    Ref keep = borrow(re);
    return steal(PyObject_GetAttr(keep.get(), N.match));
}

Ref call_re_match(Handle match, Handle pattern, Handle text) {
    PyObject* args[2] = {pattern, text};
    return steal(PyObject_Vectorcall(match, args, 2, nullptr));
}

Ref re_match_global(Handle pattern, Handle text) {
    Ref match = re_match_function();
    if (!match) return nullptr;
    return call_re_match(match.get(), pattern, text);
}

}  // namespace arf
