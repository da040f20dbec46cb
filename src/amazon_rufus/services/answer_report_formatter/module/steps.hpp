// The method table: every step of the formatter, its parameters and the
// dispatcher through which steps reach each other.
#pragma once
#include "../text/values.hpp"

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

// Runs a step's native body as a call of its method would: `bound` holds
// self and the arguments; the argument contract, the recursion bounds and
// the traceback entry all apply.  A new reference or nullptr.
PyObject* run_step(Step s, PyObject* const* bound);

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
