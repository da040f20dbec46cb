// The method table: every step of the formatter, its parameters and the
// dispatcher through which steps reach each other.
#pragma once
#include "text.hpp"

namespace arf {

enum Step : int {
    FORMAT_DATA,
    EXTRACT_QUESTIONS,
    NORMALIZE_QUESTION_LIST,
    QUESTION_AT,
    FORMAT_SECTION,
    FORMAT_ANSWER_BODY,
    FORMAT_PRODUCT_LINKS,
    FORMAT_RECOMMENDED_ASINS,
    FORMAT_LINK_ITEMS,
    BUILD_ANSWER_BLOCKS,
    BUILD_STRUCTURED_ANSWER_BLOCKS,
    NORMALIZE_STRUCTURED_ROW,
    NORMALIZE_ROW_CELLS,
    BUILD_TEXT_FALLBACK_BLOCKS,
    TO_STRUCTURED_BLOCKS,
    RENDER_BLOCKS,
    NORMALIZE_TEXT_LINES,
    PARSE_MARKDOWN_HEADING,
    PARSE_MARKDOWN_LIST_ITEM,
    PARSE_MARKDOWN_TABLE,
    PARSE_PIPE_ROW,
    IS_MARKDOWN_DELIMITER_ROW,
    COLLAPSE_BLANK_LINES,
    STEP_COUNT
};

enum class ParamKind { Dict, List, Str, Int, Any, BoolKeywordOnly };

struct Param {
    const char* name;
    ParamKind kind;
    const char* annotation;
};

// Called with `self` and the checked, converted arguments; returns a new
// reference or nullptr with an exception set.
using StepImpl = PyObject* (*)(PyObject* self, PyObject* const* args);

struct MethodSpec {
    const char* name;
    const char* doc;
    const char* returns;  // return annotation
    int nparams;          // after self
    Param params[3];
    StepImpl impl;
};

extern const MethodSpec METHODS[STEP_COUNT];

// Applies the argument contract to one parameter: exact-type checks, int
// conversion, truth value of the keyword-only flag.  Returns a new reference.
PyObject* check_arg(Step s, int param, PyObject* value);
// The return check: an exact instance of `expected` or None passes.
bool check_return(PyObject* value, PyTypeObject* expected);
// Adds the traceback entry of a method to the exception being raised.
void add_traceback(Step s);

// ---- Dispatcher ------------------------------------------------------------

// Per-call view of how the steps resolve on one instance.  A resolution to
// the module's own native step is cached until code that may run Python has
// run (g_epoch); anything else is looked up afresh on every call.
class Ctx {
public:
    explicit Ctx(PyObject* self)
        : self_(self), cacheable_(Py_TYPE(self)->tp_getattro == PyObject_GenericGetAttr) {}
    // Whether looking a step up can run Python code (a custom __getattribute__
    // or __getattr__): then every use of a step does its own lookup.
    bool lookups_observable() const { return !cacheable_; }
    // Calls the native step directly with interpreter values, applying its
    // argument contract (no lookup).
    PyObject* call_native(Step s, PyObject* const* args, int nargs, PyObject* kwname = nullptr,
                          PyObject* kwvalue = nullptr);
    PyObject* self() const { return self_; }
    // 1: the step is the unreplaced native one; 0: `callable` holds the
    // replacement (to be called with `self` first when `with_self`); -1: error.
    int resolve(Step s, Ref& callable, bool& with_self);
    // Shorthand when only the answer matters (-1 on error).
    int is_native(Step s) {
        if (cacheable_ && native_epoch_[s] == g_epoch + 1) return 1;
        return is_native_slow(s);
    }
    // Whether patterns can be matched natively: the module global `re` and
    // its `match` are those imported at load time (-1 on error).
    int re_native() {
        if (re_epoch_ == g_epoch + 1) return 1;
        return re_native_slow();
    }
    // Calls a replacement with interpreter values (positional arguments,
    // optionally one keyword argument); a new reference or nullptr.
    PyObject* call(Step s, const Ref& callable, bool with_self, PyObject* const* args, int nargs,
                   PyObject* kwname = nullptr, PyObject* kwvalue = nullptr);
    // Resolves and calls a step with interpreter values, whatever it resolves
    // to (the native step is entered through its contract).
    PyObject* invoke(Step s, PyObject* const* args, int nargs, PyObject* kwname = nullptr,
                     PyObject* kwvalue = nullptr);

private:
    int is_native_slow(Step s);
    int re_native_slow();
    PyObject* self_;
    bool cacheable_;
    // The last resolution, reused by an invoke() of the same step that
    // follows it before any Python code runs (one lookup per use).
    int pending_step_ = -1;
    uint64_t pending_epoch_ = 0;
    int pending_result_ = 0;
    bool pending_with_self_ = false;
    Ref pending_callable_;
    uint64_t native_epoch_[STEP_COUNT] = {};  // g_epoch + 1 when known native
    uint64_t re_epoch_ = 0;                    // g_epoch + 1 when `re` is known original
};

// Interpreter-level objects created at module execution.
struct ModuleState {
    PyObject* module = nullptr;
    PyObject* module_dict = nullptr;  // borrowed from module
    PyObject* functions[STEP_COUNT] = {};
    PyObject* method_names[STEP_COUNT] = {};
    PyObject* re_module = nullptr;     // as imported at load time
    PyObject* re_match = nullptr;      // its `match`
    PyObject* code_objects[STEP_COUNT] = {};
    PyObject* cls = nullptr;
};
extern ModuleState S;

// Creates the native function objects; part of module execution.
bool create_functions();
extern PyTypeObject* FunctionType;
bool init_function_type();

}  // namespace arf
