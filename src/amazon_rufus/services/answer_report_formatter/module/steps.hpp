// The method table: every step of the formatter, its parameters, and the
// entry through which a step's native body runs as a method call.
#pragma once
#include "../text/values.hpp"

namespace arf {

// The one list of steps, in the class's source order: enum name, method
// name, native entry point, docstring, return annotation, then the
// parameters after self (name, kind, annotation).  The step enum, the entry
// points' declarations and the method table are all made from it.
#define ARF_STEPS(X)                                                                                       \
    X(FORMAT_DATA, "format_data", py_format_data, "格式化 manager 返回的完整数据。", "str",                \
      ARF_PARAM(data, Dict, "dict"))                                                                        \
    X(EXTRACT_QUESTIONS, "_extract_questions", py_extract_questions, "从全量数据中提取题目文本。",         \
      "list[str]", ARF_PARAM(data, Dict, "dict"))                                                           \
    X(NORMALIZE_QUESTION_LIST, "_normalize_question_list", py_normalize_question_list,                     \
      "兼容字符串题目与前端 question item。", "list[str]", ARF_PARAM(raw_questions, Any, "Any"))            \
    X(QUESTION_AT, "_question_at", py_question_at, "读取第 N 题文本，缺失时使用稳定兜底。", "str",         \
      ARF_PARAM(questions, List, "list[str]"), ARF_PARAM(index, Int, "int"))                               \
    X(FORMAT_SECTION, "_format_section", py_format_section, "格式化单题 section。", "str",                  \
      ARF_PARAM(index, Int, "int"), ARF_PARAM(answer, Any, "Any"), ARF_PARAM(question, Str, "str"))        \
    X(FORMAT_ANSWER_BODY, "_format_answer_body", py_format_answer_body, "按前端 block 模型格式化答案正文。", \
      "list[str]", ARF_PARAM(index, Int, "int"), ARF_PARAM(answer, Dict, "dict"))                          \
    X(FORMAT_PRODUCT_LINKS, "_format_product_links", py_format_product_links, "格式化相关产品。",           \
      "list[str]", ARF_PARAM(raw_links, Any, "Any"))                                                        \
    X(FORMAT_RECOMMENDED_ASINS, "_format_recommended_asins", py_format_recommended_asins,                  \
      "格式化推荐 ASIN。", "list[str]", ARF_PARAM(raw_items, Any, "Any"))                                   \
    X(FORMAT_LINK_ITEMS, "_format_link_items", py_format_link_items, "兼容字符串链接和前端链接对象。",     \
      "list[str]", ARF_PARAM(raw_items, Any, "Any"), ARF_PARAM(include_source, BoolKeywordOnly, "bool"))   \
    X(BUILD_ANSWER_BLOCKS, "_build_answer_blocks", py_build_answer_blocks,                                 \
      "优先使用结构化 blocks，不可渲染时回退解析文本。", "list[dict]", ARF_PARAM(text, Str, "str"),        \
      ARF_PARAM(structured_blocks, Any, "Any"))                                                             \
    X(BUILD_STRUCTURED_ANSWER_BLOCKS, "_build_structured_answer_blocks", py_build_structured_answer_blocks, \
      "按前端结构化 block 规则组装展示块。", "list[dict]", ARF_PARAM(structured_blocks, List, "list[Any]")) \
    X(NORMALIZE_STRUCTURED_ROW, "_normalize_structured_row", py_normalize_structured_row,                  \
      "读取结构化表格行。", "list[str] | None", ARF_PARAM(block, Dict, "dict"))                             \
    X(NORMALIZE_ROW_CELLS, "_normalize_row_cells", py_normalize_row_cells, "补齐或合并表格列。",            \
      "list[str]", ARF_PARAM(row, List, "list[str]"), ARF_PARAM(width, Int, "int"))                        \
    X(BUILD_TEXT_FALLBACK_BLOCKS, "_build_text_fallback_blocks", py_build_text_fallback_blocks,            \
      "解析 Markdown-like 文本为中间块。", "list[dict]", ARF_PARAM(text, Str, "str"))                       \
    X(TO_STRUCTURED_BLOCKS, "_to_structured_blocks", py_to_structured_blocks,                              \
      "将中间块转换为前端结构化 block。", "list[dict]", ARF_PARAM(blocks, List, "list[dict]"))              \
    X(RENDER_BLOCKS, "_render_blocks", py_render_blocks, "将展示块渲染为 Markdown-like 文本。", "list[str]", \
      ARF_PARAM(blocks, List, "list[dict]"))                                                                \
    X(NORMALIZE_TEXT_LINES, "_normalize_text_lines", py_normalize_text_lines, "统一换行符。", "list[str]",  \
      ARF_PARAM(text, Str, "str"))                                                                          \
    X(PARSE_MARKDOWN_HEADING, "_parse_markdown_heading", py_parse_markdown_heading, "解析 Markdown 标题。",  \
      "dict | None", ARF_PARAM(line, Str, "str"))                                                           \
    X(PARSE_MARKDOWN_LIST_ITEM, "_parse_markdown_list_item", py_parse_markdown_list_item,                  \
      "解析 Markdown 列表项。", "dict | None", ARF_PARAM(line, Str, "str"))                                 \
    X(PARSE_MARKDOWN_TABLE, "_parse_markdown_table", py_parse_markdown_table,                              \
      "解析带 delimiter 的 Markdown 表格。", "tuple[dict, int] | None", ARF_PARAM(lines, List, "list[str]"), \
      ARF_PARAM(start_index, Int, "int"))                                                                   \
    X(PARSE_PIPE_ROW, "_parse_pipe_row", py_parse_pipe_row, "解析管道分隔行。", "list[str] | None",         \
      ARF_PARAM(line, Str, "str"))                                                                          \
    X(IS_MARKDOWN_DELIMITER_ROW, "_is_markdown_delimiter_row", py_is_markdown_delimiter_row,               \
      "判断是否为 Markdown 表头分隔符。", "bool", ARF_PARAM(cells, List, "list[str]"))                      \
    X(COLLAPSE_BLANK_LINES, "_collapse_blank_lines", py_collapse_blank_lines, "压缩连续空行并清理行尾空白。", \
      "str", ARF_PARAM(text, Str, "str"))

#define ARF_STEP_ENUM(e, ...) e,
enum Step : int { ARF_STEPS(ARF_STEP_ENUM) STEP_COUNT };
#undef ARF_STEP_ENUM
static_assert(STEP_COUNT <= 32, "the dispatcher keeps one bit per step in 32 bits");

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

// The entry points of the native steps, as the method table calls them:
// `self` and the arguments after the contract's checks and conversions.
#define ARF_STEP_DECLARE(e, name, impl, ...) PyObject* impl(PyObject* self, PyObject* const* args);
ARF_STEPS(ARF_STEP_DECLARE)
#undef ARF_STEP_DECLARE

// Applies the argument contract to one parameter: exact-type checks, int
// conversion, truth value of the keyword-only flag.  Returns a new reference.
Ref check_arg(Step s, int param, Handle value);
// The return check: an exact instance of `expected` or None passes.
bool check_return(PyObject* value, PyTypeObject* expected);
// Adds the traceback entry of a method to the exception being raised.
void add_traceback(Step s);

// Runs a step's native body as a call of its method would: `bound` holds
// self and the arguments; the argument contract, the recursion bounds and
// the traceback entry all apply.  A new reference or nullptr.
PyObject* run_step(Step s, PyObject* const* bound);
// The contract and the body alone, for a boundary that adds the traceback
// entry itself.
PyObject* run_step_body(Step s, PyObject* const* bound);

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
