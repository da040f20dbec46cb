// Entry points of the native steps as the method table calls them: `self`
// and the arguments after the contract's checks and conversions.
#pragma once
#include "steps.hpp"

namespace arf {

#define ARF_STEP(name) PyObject* name(PyObject* self, PyObject* const* args)
ARF_STEP(py_format_data);
ARF_STEP(py_extract_questions);
ARF_STEP(py_normalize_question_list);
ARF_STEP(py_question_at);
ARF_STEP(py_format_section);
ARF_STEP(py_format_answer_body);
ARF_STEP(py_format_product_links);
ARF_STEP(py_format_recommended_asins);
ARF_STEP(py_format_link_items);
ARF_STEP(py_build_answer_blocks);
ARF_STEP(py_build_structured_answer_blocks);
ARF_STEP(py_normalize_structured_row);
ARF_STEP(py_normalize_row_cells);
ARF_STEP(py_build_text_fallback_blocks);
ARF_STEP(py_to_structured_blocks);
ARF_STEP(py_render_blocks);
ARF_STEP(py_normalize_text_lines);
ARF_STEP(py_parse_markdown_heading);
ARF_STEP(py_parse_markdown_list_item);
ARF_STEP(py_parse_markdown_table);
ARF_STEP(py_parse_pipe_row);
ARF_STEP(py_is_markdown_delimiter_row);
ARF_STEP(py_collapse_blank_lines);
#undef ARF_STEP

}  // namespace arf
