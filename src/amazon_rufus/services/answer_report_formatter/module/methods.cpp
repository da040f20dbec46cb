// The method table, in the class's source order.
#include "impls.hpp"

namespace arf {

using K = ParamKind;

const MethodSpec METHODS[STEP_COUNT] = {
    {"format_data", "格式化 manager 返回的完整数据。", "str", 1, {{"data", K::Dict, "dict"}}, py_format_data},
    {"_extract_questions", "从全量数据中提取题目文本。", "list[str]", 1, {{"data", K::Dict, "dict"}},
     py_extract_questions},
    {"_normalize_question_list", "兼容字符串题目与前端 question item。", "list[str]", 1,
     {{"raw_questions", K::Any, "Any"}}, py_normalize_question_list},
    {"_question_at", "读取第 N 题文本，缺失时使用稳定兜底。", "str", 2,
     {{"questions", K::List, "list[str]"}, {"index", K::Int, "int"}}, py_question_at},
    {"_format_section", "格式化单题 section。", "str", 3,
     {{"index", K::Int, "int"}, {"answer", K::Any, "Any"}, {"question", K::Str, "str"}}, py_format_section},
    {"_format_answer_body", "按前端 block 模型格式化答案正文。", "list[str]", 2,
     {{"index", K::Int, "int"}, {"answer", K::Dict, "dict"}}, py_format_answer_body},
    {"_format_product_links", "格式化相关产品。", "list[str]", 1, {{"raw_links", K::Any, "Any"}},
     py_format_product_links},
    {"_format_recommended_asins", "格式化推荐 ASIN。", "list[str]", 1, {{"raw_items", K::Any, "Any"}},
     py_format_recommended_asins},
    {"_format_link_items", "兼容字符串链接和前端链接对象。", "list[str]", 2,
     {{"raw_items", K::Any, "Any"}, {"include_source", K::BoolKeywordOnly, "bool"}}, py_format_link_items},
    {"_build_answer_blocks", "优先使用结构化 blocks，不可渲染时回退解析文本。", "list[dict]", 2,
     {{"text", K::Str, "str"}, {"structured_blocks", K::Any, "Any"}}, py_build_answer_blocks},
    {"_build_structured_answer_blocks", "按前端结构化 block 规则组装展示块。", "list[dict]", 1,
     {{"structured_blocks", K::List, "list[Any]"}}, py_build_structured_answer_blocks},
    {"_normalize_structured_row", "读取结构化表格行。", "list[str] | None", 1, {{"block", K::Dict, "dict"}},
     py_normalize_structured_row},
    {"_normalize_row_cells", "补齐或合并表格列。", "list[str]", 2,
     {{"row", K::List, "list[str]"}, {"width", K::Int, "int"}}, py_normalize_row_cells},
    {"_build_text_fallback_blocks", "解析 Markdown-like 文本为中间块。", "list[dict]", 1,
     {{"text", K::Str, "str"}}, py_build_text_fallback_blocks},
    {"_to_structured_blocks", "将中间块转换为前端结构化 block。", "list[dict]", 1,
     {{"blocks", K::List, "list[dict]"}}, py_to_structured_blocks},
    {"_render_blocks", "将展示块渲染为 Markdown-like 文本。", "list[str]", 1, {{"blocks", K::List, "list[dict]"}},
     py_render_blocks},
    {"_normalize_text_lines", "统一换行符。", "list[str]", 1, {{"text", K::Str, "str"}}, py_normalize_text_lines},
    {"_parse_markdown_heading", "解析 Markdown 标题。", "dict | None", 1, {{"line", K::Str, "str"}},
     py_parse_markdown_heading},
    {"_parse_markdown_list_item", "解析 Markdown 列表项。", "dict | None", 1, {{"line", K::Str, "str"}},
     py_parse_markdown_list_item},
    {"_parse_markdown_table", "解析带 delimiter 的 Markdown 表格。", "tuple[dict, int] | None", 2,
     {{"lines", K::List, "list[str]"}, {"start_index", K::Int, "int"}}, py_parse_markdown_table},
    {"_parse_pipe_row", "解析管道分隔行。", "list[str] | None", 1, {{"line", K::Str, "str"}}, py_parse_pipe_row},
    {"_is_markdown_delimiter_row", "判断是否为 Markdown 表头分隔符。", "bool", 1,
     {{"cells", K::List, "list[str]"}}, py_is_markdown_delimiter_row},
    {"_collapse_blank_lines", "压缩连续空行并清理行尾空白。", "str", 1, {{"text", K::Str, "str"}},
     py_collapse_blank_lines},
};

}  // namespace arf
