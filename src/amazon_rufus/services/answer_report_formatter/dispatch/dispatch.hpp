// The step dispatcher: how each step resolves on an instance, kept true by
// the interpreter's own change tracking, and the one place that runs a step
// natively or calls its replacement.
#pragma once
#include "../module/steps.hpp"

#include <type_traits>

namespace arf {

// Which steps are the module's own, unreplaced ones for one instance, and
// what the answer depends on.  The class part is keyed by the class's
// version tag, which the interpreter changes whenever the class or a base
// changes (and never reuses); the instance's `__dict__`, the module globals
// and the `re` module's dict are watched, and any change to them moves
// g_dict_version.
struct Resolution {
    PyTypeObject* type = nullptr;  // identity only
    unsigned int tag = 0;          // type->tp_version_tag when taken; 0: never valid
    PyObject* dict = nullptr;      // the instance's __dict__, identity only
    uint64_t dict_version = 0;
    uint32_t native = 0;           // one bit per step
    bool re_native = false;        // `re` and `re.match` are those imported at load
    // Looking a step up can run Python code (a custom __getattribute__ or
    // __getattr__, a dict key that is not an exact str): every use then does
    // its own lookup, as the algorithm does.
    bool observable = false;
    // _parse_pipe_row and _is_markdown_delimiter_row native, patterns native.
    bool table_helpers_native = false;
};

// Moved by every event on a watched dict (never 0).
extern uint64_t g_dict_version;

// A step as a call site gets it: native, or the replacement to call.
struct Callee {
    Ref callable;
    bool with_self = false;  // an unbound function: `self` goes first
};

// Per-call view of the steps on one instance.
class Ctx {
public:
    explicit Ctx(PyObject* self) : self_(self) {}
    PyObject* self() const { return self_; }

    // Whether patterns can be matched natively (-1 on error).
    int re_native() {
        if (!current() && !refresh()) return -1;
        return res_.re_native;
    }
    // 1: the step is native; 0: `callee` holds the replacement, looked up
    // now as the algorithm looks it up at this use; -1: error.
    int resolve(Step s, Callee& callee) {
        if (current() && !res_.observable && ((res_.native >> s) & 1u)) return 1;
        return resolve_slow(s, callee);
    }
    // Whether every step of `mask` is native, the patterns too, and no lookup
    // can run Python code (-1 on error).
    int all_native(uint32_t mask) {
        if (!current() && !refresh()) return -1;
        return !res_.observable && res_.re_native && (res_.native & mask) == mask;
    }
    // Whether the table recogniser's helper steps and the patterns are all
    // native and no lookup can run Python code (-1 on error).
    int table_helpers_native() {
        if (!current() && !refresh()) return -1;
        return res_.table_helpers_native;
    }
    // Calls a replacement with interpreter values (positional arguments,
    // optionally one keyword argument); a new reference or nullptr.
    Ref call(const Callee& callee, PyObject* const* args, int nargs, PyObject* kwname = nullptr,
                   PyObject* kwvalue = nullptr);
    // The native step's contract and body on interpreter values, inside a
    // boundary (which adds the traceback entry).
    Ref native_body(Step s, PyObject* const* args, int nargs, PyObject* kwvalue = nullptr);
    // A step with interpreter values, whatever it resolves to: one boundary.
    Ref invoke(Step s, PyObject* const* args, int nargs, PyObject* kwname = nullptr,
                     PyObject* kwvalue = nullptr);

private:
    // Whether the resolution still holds: nothing it depends on has moved.
    // (A version tag belongs to one class at one state, so it stands for the
    // class too; without a watcher the dict version never matches.)
    bool current() const {
        return res_.tag != 0 && Py_TYPE(self_)->tp_version_tag == res_.tag &&
               res_.dict_version == g_dict_version && *dict_slot_ == res_.dict;
    }
    bool refresh();
    int resolve_slow(Step s, Callee& callee);
    // One lookup of the step on the instance, as the algorithm does at a use.
    int lookup(Step s, Callee& callee);

    PyObject* self_;
    PyObject** dict_slot_ = &NO_DICT;  // where the instance keeps its __dict__
    static inline PyObject* NO_DICT = nullptr;
    Resolution res_;
};

}  // namespace arf

namespace arf {

// One step boundary: the step resolves once for this use; a native step
// runs `native()` (which checks anything an earlier replaced step handed
// over and runs the body) and gets its traceback entry if that fails, as a
// call of the method would; a replaced step is handed to `replaced(callee)`,
// which builds the arguments, calls it and checks or adopts what it returns.
// Both return bool (false: failed) or int (negative: failed).
template <class Native, class Replaced>
auto at_step(Ctx& ctx, Step s, Native&& native, Replaced&& replaced) -> decltype(native()) {
    using Result = decltype(native());
    constexpr Result failed = static_cast<Result>(std::is_same_v<Result, bool> ? 0 : -1);
    Callee callee;
    int r = ctx.resolve(s, callee);
    if (r < 0) return failed;
    if (r == 0) return replaced(callee);
    Result result = native();
    bool ok;
    if constexpr (std::is_same_v<Result, bool>)
        ok = result;
    else
        ok = result >= 0;
    if (!ok) add_traceback(s);
    return result;
}

// The contract check of a value handed from one step to the next: the value
// must suit parameter `param` of step `s` (a new reference is not kept).
inline bool accepts(Step s, int param, PyObject* value) {
    // The exact built-in types pass as they are; anything else goes through
    // the argument check, which raises its error or converts.
    switch (METHODS[s].params[param].kind) {
        case ParamKind::Dict: if (PyDict_CheckExact(value)) return true; break;
        case ParamKind::List: if (PyList_CheckExact(value)) return true; break;
        case ParamKind::Str: if (PyUnicode_CheckExact(value)) return true; break;
        case ParamKind::Int: if (PyLong_CheckExact(value)) return true; break;
        default: break;
    }
    Ref checked = check_arg(s, param, value);
    return static_cast<bool>(checked);
}

}  // namespace arf
