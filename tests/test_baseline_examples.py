"""Worked examples for the report formatter, run against every implementation.

Each case calls one method with literal inputs and compares the result with a
literal expected value. The same table runs against the plain-Python baseline
and, once it is built, the native extension.
"""

from __future__ import annotations

import copy
import importlib
import sys
from pathlib import Path

import pytest

BENCHMARKS_DIR = Path(__file__).resolve().parents[1] / "benchmarks"
if str(BENCHMARKS_DIR) not in sys.path:
    sys.path.insert(0, str(BENCHMARKS_DIR))

NATIVE_MODULE = "quorin.amazon_rufus.services.answer_report_formatter"


@pytest.fixture(params=["baseline", "native"])
def impl(request):
    if request.param == "native":
        module = pytest.importorskip(NATIVE_MODULE)
    else:
        module = importlib.import_module("baseline")
    return module.AnswerReportFormatter()


def assert_same(actual, expected):
    # repr() also catches True-vs-1, tuple-vs-list and dict key order.
    assert actual == expected
    assert repr(actual) == repr(expected)


def report(*lines: str) -> str:
    return "\n".join(lines)


def case(method, *args, expected, id):
    return pytest.param(method, args, expected, id=id)


EMPTY_SECTION_2 = report("## 第 2 题：Q", "", "### 答案", "", "第 2 题未获取到答案")

# ---------------------------------------------------------------- report assembly
REPORT_CASES = [
    case("format_data", {}, expected="", id="report-no-answers-key"),
    case("format_data", {"answers": [], "questions": ["Q"]}, expected="", id="report-answers-empty"),
    case("format_data", {"answers": ({},), "questions": ["Q"]}, expected="", id="report-answers-tuple"),
    case("format_data", {"answers": {"a": {}}, "questions": ["Q"]}, expected="", id="report-answers-dict"),
    case("format_data", {"answers": "text", "questions": ["Q"]}, expected="", id="report-answers-str"),
    case(
        "format_data",
        {"questions": ["Q1", "Q2", "Q3"], "answers": [{"text": "A1"}, {"text": "A2"}]},
        expected=report(
            "## 第 1 题：Q1", "", "### 答案", "", "A1", "",
            "## 第 2 题：Q2", "", "### 答案", "", "A2",
        ),
        id="report-extra-questions-ignored",
    ),
    case(
        "format_data",
        {"questions": ["Q1"], "answers": [{"text": "A1"}, {}, None]},
        expected=report(
            "## 第 1 题：Q1", "", "### 答案", "", "A1", "",
            "## 第 2 题：第 2 题", "", "### 答案", "", "第 2 题未获取到答案", "",
            "## 第 3 题：第 3 题", "", "### 答案", "", "第 3 题未获取到答案",
        ),
        id="report-fallback-titles",
    ),
    case(
        "format_data",
        {"answers": [None]},
        expected=report("## 第 1 题：第 1 题", "", "### 答案", "", "第 1 题未获取到答案"),
        id="report-none-answer",
    ),
    case(
        "format_data",
        {"questions": ["Q1", "", "Q3"], "answers": [{}, {}, {}]},
        expected=report(
            "## 第 1 题：Q1", "", "### 答案", "", "第 1 题未获取到答案", "",
            "## 第 2 题：Q3", "", "### 答案", "", "第 2 题未获取到答案", "",
            "## 第 3 题：第 3 题", "", "### 答案", "", "第 3 题未获取到答案",
        ),
        id="report-empty-question-dropped-before-pairing",
    ),
    # The first body ends with an empty element; still one empty line between sections.
    case(
        "format_data",
        {
            "questions": ["Q1", "Q2"],
            "answers": [
                {"blocks": [{"type": "paragraph", "text": "a"}, {"type": "table_row", "cells": [None]}]},
                {},
            ],
        },
        expected=report(
            "## 第 1 题：Q1", "", "### 答案", "", "a", "",
            "## 第 2 题：Q2", "", "### 答案", "", "第 2 题未获取到答案",
        ),
        id="report-one-blank-line-between-sections",
    ),
    # Two product links, a two-line body, a summary; then a failed answer without text.
    case(
        "format_data",
        {
            "questions": ["Q1", "Q2"],
            "answers": [
                {
                    "productLinks": ["B01", "B02"],
                    "blocks": [{"type": "list_item", "text": "a"}, {"type": "list_item", "text": "b"}],
                    "summaryText": "S1",
                },
                {"isSuccess": False},
            ],
        },
        expected=report(
            "## 第 1 题：Q1", "", "### 相关产品", "", "- B01", "- B02", "",
            "### 答案", "", "- a", "- b", "", "### 总结", "", "S1", "",
            "## 第 2 题：Q2", "", "### 答案", "", "第 2 题未获取到答案",
        ),
        id="report-two-sections-21-lines",
    ),
    case(
        "format_data",
        {
            "questions": ["  Best kettle?  ", {"question": "Cheapest option?"}],
            "upload_payload": {"records": [{"questions": ["unused"]}]},
            "answers": [
                {
                    "productLinks": [
                        "B0PLAIN",
                        {
                            "asin": "B01",
                            "title": "Kettle",
                            "href": "https://a.co/1",
                            "source": "search",
                            "description": "Steel, 1.7 L",
                        },
                    ],
                    "text": "ignored because the blocks win",
                    "blocks": [
                        {"type": "heading", "text": "Overview", "level": 1},
                        {"type": "paragraph", "text": "Two picks:"},
                        {"type": "list_item", "text": "Kettle A"},
                        {"type": "list_item", "text": "Kettle B"},
                        {"type": "table_row", "cells": ["Name", "Price"]},
                        {"type": "table_row", "text": "A | 20 | on sale"},
                        {"type": "table_row", "cells": ["B"]},
                    ],
                    "recommendedAsins": [{"asin": "B02", "title": "Kettle B", "source": "rufus"}, "  B03  "],
                    "summaryText": "  Kettle A is the best value.  ",
                },
                {
                    "isSuccess": True,
                    "text": (
                        "## Budget\nUnder $20:\n- Kettle C\n  with auto shut-off\n\n"
                        "| Model | Price |\n| --- | ---: |\n| C | 15 |\n\n```\ncode  \n```"
                    ),
                },
            ],
        },
        expected=report(
            "## 第 1 题：Best kettle?",
            "",
            "### 相关产品",
            "",
            "- B0PLAIN",
            "- B01 - Kettle",
            "  https://a.co/1",
            "  Steel, 1.7 L",
            "",
            "### 答案",
            "",
            "### Overview",
            "",
            "Two picks:",
            "",
            "- Kettle A",
            "- Kettle B",
            "",
            "| Name | Price |",
            "| --- | --- |",
            "| A | 20 | on sale |",
            "| B |  |",
            "",
            "### 推荐 ASIN",
            "",
            "- B02 - Kettle B (rufus)",
            "- B03",
            "",
            "### 总结",
            "",
            "Kettle A is the best value.",
            "",
            "## 第 2 题：Cheapest option?",
            "",
            "### 答案",
            "",
            "#### Budget",
            "",
            "Under $20:",
            "",
            "- Kettle C with auto shut-off",
            "",
            "| Model | Price |",
            "| --- | --- |",
            "| C | 15 |",
            "",
            "```",
            "code",
            "```",
        ),
        id="report-every-subsection",
    ),
]

# ---------------------------------------------------------------- question list
MIXED_QUESTIONS = [
    "  A  ",
    {"question": "B"},
    {"text": "C"},
    {"question": "", "text": "D"},
    {"question": None},
    5,
    None,
    "",
    {"question": "   ", "text": "E"},
]
PAYLOAD_Q = {"records": [{"questions": ["Q"]}]}

QUESTION_CASES = [
    case("_extract_questions", {"questions": MIXED_QUESTIONS}, expected=["A", "B", "C", "D"], id="questions-mixed"),
    case("_normalize_question_list", [{"question": 12}], expected=["12"], id="questions-number"),
    case("_normalize_question_list", [{"question": 0, "text": "x"}], expected=["x"], id="questions-zero-falls-back"),
    case("_normalize_question_list", ("A",), expected=[], id="questions-tuple-not-list"),
    case("_extract_questions", {"upload_payload": PAYLOAD_Q}, expected=["Q"], id="questions-payload-when-absent"),
    case("_extract_questions", {"questions": [], "upload_payload": PAYLOAD_Q}, expected=["Q"], id="questions-payload-when-empty"),
    case("_extract_questions", {"questions": ("X",), "upload_payload": PAYLOAD_Q}, expected=["Q"], id="questions-payload-when-tuple"),
    case("_extract_questions", {"questions": ["  ", ""], "upload_payload": PAYLOAD_Q}, expected=["Q"], id="questions-payload-when-blank"),
    case(
        "_extract_questions",
        {"upload_payload": {"records": [{}, {"questions": ["Q"]}]}},
        expected=[],
        id="questions-only-first-record",
    ),
    case("_extract_questions", {"upload_payload": {"records": [{"questions": "Q"}]}}, expected=[], id="questions-payload-str"),
    case(
        "_extract_questions",
        {"questions": ["Q1"], "upload_payload": {"records": [{"questions": ["P1", "P2"]}]}},
        expected=["Q1"],
        id="questions-top-level-wins",
    ),
    case("_question_at", ["A"], 1, expected="A", id="question-at-hit"),
    case("_question_at", ["A"], 2, expected="第 2 题", id="question-at-past-end"),
    case("_question_at", [], 1, expected="第 1 题", id="question-at-empty"),
    case("_question_at", ["A"], 0, expected="第 0 题", id="question-at-zero"),
    case("_question_at", ["A", "B"], -1, expected="第 -1 题", id="question-at-negative"),
]

# ---------------------------------------------------------------- question section
SECTION_CASES = [
    case("_format_section", 2, {}, "Q", expected=EMPTY_SECTION_2, id="section-empty-record"),
    case("_format_section", 2, None, "Q", expected=EMPTY_SECTION_2, id="section-none-answer"),
    case("_format_section", 2, "text", "Q", expected=EMPTY_SECTION_2, id="section-str-answer"),
    case("_format_section", 2, 7, "Q", expected=EMPTY_SECTION_2, id="section-number-answer"),
    case("_format_section", 2, {"summaryText": "   "}, "Q", expected=EMPTY_SECTION_2, id="section-blank-summary"),
    case("_format_section", 2, {"summaryText": 0}, "Q", expected=EMPTY_SECTION_2, id="section-zero-summary"),
    case(
        "_format_section", 2, {"summaryText": "  S  "}, "Q",
        expected=report("## 第 2 题：Q", "", "### 总结", "", "S"),
        id="section-summary-stands-in",
    ),
    case(
        "_format_section", 2, {"summaryText": 12}, "Q",
        expected=report("## 第 2 题：Q", "", "### 总结", "", "12"),
        id="section-number-summary",
    ),
    case(
        "_format_section", 1, {"text": "x", "summaryText": "s", "productLinks": ["P"], "recommendedAsins": ["R"]}, "Q",
        expected=report(
            "## 第 1 题：Q", "", "### 相关产品", "", "- P", "", "### 答案", "", "x",
            "", "### 推荐 ASIN", "", "- R", "", "### 总结", "", "s",
        ),
        id="section-subsection-order",
    ),
    # Empty trailing elements are kept here; only the final clean-up collapses them.
    case(
        "_format_section", 1, {"blocks": [{"type": "paragraph", "text": "a"}, {"type": "table_row", "cells": [None]}]}, "Q",
        expected="## 第 1 题：Q\n\n### 答案\n\na\n",
        id="section-no-collapse",
    ),
]

# ---------------------------------------------------------------- link lines
KETTLE = {"asin": "B01", "title": "Kettle", "href": "L1"}
KETTLE_S = {"asin": "B01", "title": "Kettle", "href": "L1", "source": "s1"}

LINK_CASES = [
    case("_format_product_links", None, expected=[], id="links-none"),
    case("_format_product_links", {"asin": "B01"}, expected=[], id="links-dict"),
    case("_format_product_links", ("B01",), expected=[], id="links-tuple"),
    case("_format_product_links", "B01", expected=[], id="links-str"),
    case("_format_product_links", ["  B0ABC  ", "", "   ", 5], expected=["- B0ABC"], id="links-strings"),
    case("_format_product_links", [KETTLE], expected=["- B01 - Kettle", "  L1"], id="links-object-product"),
    case("_format_recommended_asins", [KETTLE], expected=["- B01 - Kettle", "  L1"], id="links-object-recommended"),
    case("_format_product_links", [KETTLE_S], expected=["- B01 - Kettle", "  L1"], id="links-source-hidden"),
    case("_format_recommended_asins", [KETTLE_S], expected=["- B01 - Kettle (s1)", "  L1"], id="links-source-shown"),
    case("_format_product_links", [{"source": "s1"}], expected=[], id="links-only-source-product"),
    case("_format_recommended_asins", [{"source": "s1"}], expected=["- (s1)"], id="links-only-source-recommended"),
    case("_format_product_links", [{"href": "L1"}], expected=["- L1", "  L1"], id="links-href-as-title"),
    case("_format_product_links", [{"title": "  ", "href": "L1"}], expected=["  L1"], id="links-blank-title-no-fallback"),
    case("_format_product_links", [{"asin": 123}], expected=["- 123"], id="links-number-asin"),
    case("_format_product_links", [{"asin": 0}], expected=[], id="links-zero-asin"),
    case("_format_product_links", [{"description": "d"}], expected=["  d"], id="links-only-description"),
]

# ---------------------------------------------------------------- blank-line collapsing
COLLAPSE_CASES = [
    case("_collapse_blank_lines", "a  \n\n\n  b\t\n\n", expected="a\n\n  b", id="collapse-runs-and-tail"),
    case("_collapse_blank_lines", "\n\nx", expected="\nx", id="collapse-leading"),
    case("_collapse_blank_lines", "x\r\ny\rz", expected="x\ny\nz", id="collapse-terminators"),
    case("_collapse_blank_lines", "a\u3000\n\u3000\nb", expected="a\n\nb", id="collapse-ideographic-space"),
    case("_collapse_blank_lines", "", expected="", id="collapse-empty"),
    case("_collapse_blank_lines", "\n", expected="", id="collapse-newline"),
    case("_collapse_blank_lines", "  \n \n", expected="", id="collapse-all-blank"),
]

# ---------------------------------------------------------------- block model, end to end
from block_model_example import (  # noqa: E402
    OVERVIEW_DISPLAY,
    OVERVIEW_INTERMEDIATE,
    OVERVIEW_LINES,
    OVERVIEW_STRUCTURED,
    OVERVIEW_TEXT,
)


MODEL_CASES = [
    case("_build_text_fallback_blocks", OVERVIEW_TEXT, expected=OVERVIEW_INTERMEDIATE, id="model-parse"),
    case("_to_structured_blocks", OVERVIEW_INTERMEDIATE, expected=OVERVIEW_STRUCTURED, id="model-convert"),
    case("_build_structured_answer_blocks", OVERVIEW_STRUCTURED, expected=OVERVIEW_DISPLAY, id="model-assemble"),
    case("_render_blocks", OVERVIEW_DISPLAY, expected=OVERVIEW_LINES, id="model-render"),
    case("_format_answer_body", 1, {"text": OVERVIEW_TEXT}, expected=OVERVIEW_LINES, id="model-text-route"),
    case("_format_answer_body", 1, {"blocks": OVERVIEW_STRUCTURED}, expected=OVERVIEW_LINES, id="model-blocks-route"),
    case("_format_answer_body", 1, {"text": "1. alpha"}, expected=["- alpha"], id="model-numbered-item"),
    case("_format_answer_body", 1, {"text": "- alpha"}, expected=["- alpha"], id="model-bullet-item"),
    case("_build_structured_answer_blocks", [{"type": "text", "text": "x"}], expected=[], id="model-text-type-ignored"),
    case(
        "_build_structured_answer_blocks", [{"type": "paragraph", "text": "x"}],
        expected=[{"type": "text", "text": "x"}],
        id="model-paragraph-to-text",
    ),
    case(
        "_build_structured_answer_blocks", [{"type": "heading", "text": " A ", "level": True}],
        expected=[{"type": "heading", "text": "A", "level": 1}],
        id="model-heading-bool-level",
    ),
    case(
        "_build_structured_answer_blocks",
        [{"type": "list_item", "text": "a"}, {"type": "list_item", "text": "b"}],
        expected=[{"type": "list", "items": ["a", "b"]}],
        id="model-list-grouped",
    ),
    case(
        "_format_answer_body", 1, {"blocks": [{"type": "list_item", "text": "a"}, {"type": "list_item", "text": "b"}]},
        expected=["- a", "- b"],
        id="model-list-rendered",
    ),
    case(
        "_build_answer_blocks", "| Name | Price |\n| --- | --- |", None,
        expected=[{"type": "text", "text": "Name | Price"}],
        id="model-header-only-table",
    ),
]

# ---------------------------------------------------------------- answer body selection
HI_BLOCKS = [{"type": "paragraph", "text": "Hi"}]

BODY_CASES = [
    case("_format_answer_body", 1, {"text": "Hello"}, expected=["Hello"], id="body-text"),
    case("_format_answer_body", 1, {"text": "", "blocks": HI_BLOCKS}, expected=["Hi"], id="body-blocks-without-text"),
    case(
        "_format_answer_body", 1, {"isSuccess": False, "text": "  ", "blocks": HI_BLOCKS},
        expected=[],
        id="body-failed-without-text",
    ),
    case("_format_answer_body", 1, {"isSuccess": False, "text": "Partial"}, expected=["Partial"], id="body-failed-with-text"),
    case(
        "_format_answer_body", 1, {"isSuccess": 0, "text": "", "blocks": HI_BLOCKS},
        expected=["Hi"],
        id="body-zero-is-not-false",
    ),
    case("_format_answer_body", 1, {"isSuccess": None}, expected=[], id="body-none-success"),
    case("_format_answer_body", 1, {}, expected=[], id="body-empty-record"),
    case(
        "_format_answer_body", 1, {"text": "Hello", "blocks": [{"type": "code", "text": "x"}]},
        expected=["Hello"],
        id="body-unknown-blocks-fall-back",
    ),
    case(
        "_format_answer_body", 1, {"text": "Hello", "blocks": [{"type": "paragraph", "text": "Other"}]},
        expected=["Other"],
        id="body-blocks-win",
    ),
    case(
        "_format_answer_body", 1, {"text": "Hello", "blocks": {"type": "paragraph"}},
        expected=["Hello"],
        id="body-non-list-blocks",
    ),
    case("_format_answer_body", 1, {"text": 0}, expected=[], id="body-zero-text"),
    case("_format_answer_body", 1, {"text": None}, expected=[], id="body-none-text"),
    case("_format_answer_body", 1, {"text": 12}, expected=["12"], id="body-number-text"),
    case("_format_answer_body", 1, {"text": "Hello", "blocks": []}, expected=["Hello"], id="body-empty-blocks"),
    case("_build_answer_blocks", "", [], expected=[], id="body-build-empty-list"),
    case("_build_answer_blocks", "", None, expected=[], id="body-build-none"),
]

# ---------------------------------------------------------------- structured block assembly
def _li(text):
    return {"type": "list_item", "text": text}


def _row(*cells):
    return {"type": "table_row", "cells": list(cells)}


def _heading(level):
    return [{"type": "heading", "text": "H", "level": level}]


ASSEMBLY_CASES = [
    case("_build_structured_answer_blocks", [], expected=[], id="assemble-empty"),
    case("_build_structured_answer_blocks", [None, "x", 3, ["a"]], expected=[], id="assemble-non-dicts"),
    case(
        "_build_structured_answer_blocks",
        [{"type": "paragraph", "text": " "}, {"type": "heading", "text": None}, _li(0)],
        expected=[],
        id="assemble-all-empty-text",
    ),
    case(
        "_build_structured_answer_blocks",
        [_li("a"), _li("b"), {"type": "paragraph", "text": "p"}, _li("c")],
        expected=[
            {"type": "list", "items": ["a", "b"]},
            {"type": "text", "text": "p"},
            {"type": "list", "items": ["c"]},
        ],
        id="assemble-paragraph-splits-list",
    ),
    case(
        "_build_structured_answer_blocks",
        [_li("a"), {"type": "note", "text": "x"}, _li("b")],
        expected=[{"type": "list", "items": ["a", "b"]}],
        id="assemble-unknown-type-keeps-list",
    ),
    case(
        "_build_structured_answer_blocks",
        [_li("a"), {"type": "table_row", "text": ""}, _li("b")],
        expected=[{"type": "list", "items": ["a"]}, {"type": "list", "items": ["b"]}],
        id="assemble-empty-row-splits-list",
    ),
    case("_build_structured_answer_blocks", _heading("3"), expected=[{"type": "heading", "text": "H", "level": 2}], id="assemble-level-str"),
    case("_build_structured_answer_blocks", _heading(3.0), expected=[{"type": "heading", "text": "H", "level": 2}], id="assemble-level-float"),
    case("_build_structured_answer_blocks", _heading(0), expected=[{"type": "heading", "text": "H", "level": 1}], id="assemble-level-zero"),
    case("_build_structured_answer_blocks", _heading(-4), expected=[{"type": "heading", "text": "H", "level": 1}], id="assemble-level-negative"),
    case("_build_structured_answer_blocks", _heading(9), expected=[{"type": "heading", "text": "H", "level": 6}], id="assemble-level-high"),
    case("_build_structured_answer_blocks", _heading(True), expected=[{"type": "heading", "text": "H", "level": 1}], id="assemble-level-true"),
    case(
        "_build_structured_answer_blocks", [{"type": "heading", "text": "H"}],
        expected=[{"type": "heading", "text": "H", "level": 2}],
        id="assemble-level-missing",
    ),
    case(
        "_build_structured_answer_blocks", [{"type": "heading", "text": "   ", "level": 1}],
        expected=[],
        id="assemble-blank-heading-skipped",
    ),
    case("_build_structured_answer_blocks", [_row("a", "b")], expected=[{"type": "text", "text": "a | b"}], id="assemble-lone-row"),
    case("_build_structured_answer_blocks", [_row(None)], expected=[{"type": "text", "text": ""}], id="assemble-lone-none-cell"),
    case(
        "_build_structured_answer_blocks",
        [_row("h1", "h2"), _row("x", "y", "z"), _row("x")],
        expected=[{"type": "table", "header": ["h1", "h2"], "rows": [["x", "y | z"], ["x", ""]]}],
        id="assemble-row-widths",
    ),
    case(
        "_build_structured_answer_blocks",
        [_row("h1", "h2"), {"type": "table_row", "cells": [], "text": "a | b"}],
        expected=[{"type": "table", "header": ["h1", "h2"], "rows": [["a", "b"]]}],
        id="assemble-row-from-text",
    ),
    case(
        "_build_structured_answer_blocks",
        [_row("h1", "h2"), _row("a", "b"), {"type": "table_row", "text": "no pipes here"}],
        expected=[
            {"type": "table", "header": ["h1", "h2"], "rows": [["a", "b"]]},
            {"type": "text", "text": "no pipes here"},
        ],
        id="assemble-unreadable-row-closes-table",
    ),
    case(
        "_build_structured_answer_blocks",
        [_row("a", "b"), _row("1", "2"), {"type": "heading", "text": "H", "level": 1}, _row("c", "d"), _row("3", "4")],
        expected=[
            {"type": "table", "header": ["a", "b"], "rows": [["1", "2"]]},
            {"type": "heading", "text": "H", "level": 1},
            {"type": "table", "header": ["c", "d"], "rows": [["3", "4"]]},
        ],
        id="assemble-heading-splits-tables",
    ),
    case(
        "_build_structured_answer_blocks",
        [_row(" a ", 12, 0, False)],
        expected=[{"type": "text", "text": "a | 12 |  | "}],
        id="assemble-cell-conversion",
    ),
    case("_normalize_row_cells", ["a", "b", "c"], 0, expected=["a", "b", "c"], id="row-cells-width-zero"),
    case("_normalize_row_cells", ["a", "b", "c"], 1, expected=["a | b | c"], id="row-cells-width-one"),
]

# ---------------------------------------------------------------- text fallback parser
def _text(text):
    return {"kind": "text", "text": text}


def _item(text):
    return {"kind": "list_item", "text": text}


PARSER_CASES = [
    case("_build_text_fallback_blocks", "", expected=[], id="parse-empty"),
    case("_build_text_fallback_blocks", " \n\t ", expected=[], id="parse-blank"),
    case("_build_text_fallback_blocks", "Hello\nworld", expected=[_text("Hello\nworld")], id="parse-one-paragraph"),
    case("_build_text_fallback_blocks", "Hello\n\nworld", expected=[_text("Hello"), _text("world")], id="parse-two-paragraphs"),
    case("_build_text_fallback_blocks", "  first  \n    second", expected=[_text("first\n    second")], id="parse-paragraph-indent"),
    case("_build_text_fallback_blocks", "a\r\nb\rc", expected=[_text("a\nb\nc")], id="parse-line-breaks"),
    case(
        "_build_text_fallback_blocks", "# Title\nBody",
        expected=[{"kind": "heading", "level": 1, "text": "Title"}, _text("Body")],
        id="parse-heading",
    ),
    case(
        "_build_text_fallback_blocks", "Intro\n```py\nx = 1\n\ny = 2\n```\nAfter",
        expected=[_text("Intro\n```py\nx = 1\n\ny = 2\n```\nAfter")],
        id="parse-fence",
    ),
    case(
        "_build_text_fallback_blocks", "```\n# not a heading\n\n- not an item",
        expected=[_text("```\n# not a heading\n\n- not an item")],
        id="parse-unclosed-fence",
    ),
    case("_build_text_fallback_blocks", "- a\n  b\n- c", expected=[_item("a b"), _item("c")], id="parse-continuation"),
    case("_build_text_fallback_blocks", "- a\nb\n  c", expected=[_item("a c"), _text("b")], id="parse-continuation-past-paragraph"),
    case("_build_text_fallback_blocks", "- a\n\n  b", expected=[_item("a b")], id="parse-continuation-past-blank"),
    case(
        "_build_text_fallback_blocks", "1. one\n2) two\n• three\n* four",
        expected=[_item("one"), _item("two"), _item("three"), _item("four")],
        id="parse-item-markers",
    ),
    case("_build_text_fallback_blocks", "para\n  - nested", expected=[_text("para"), _item("nested")], id="parse-nested-item"),
    case(
        "_build_text_fallback_blocks", "- a\n  # b",
        expected=[_item("a"), {"kind": "heading", "level": 1, "text": "b"}],
        id="parse-indented-heading",
    ),
    case(
        "_build_text_fallback_blocks", "para\n    indented code",
        expected=[_text("para\n    indented code")],
        id="parse-indent-is-not-code",
    ),
    case(
        "_build_text_fallback_blocks", "| a | b |\n|---|---|\n| 1 | 2 |\n\nafter",
        expected=[{"kind": "table", "header": ["a", "b"], "rows": [["1", "2"]]}, _text("after")],
        id="parse-table",
    ),
    case(
        "_build_text_fallback_blocks", "Intro\n| a | b |\n| --- | --- |",
        expected=[_text("Intro"), {"kind": "table", "header": ["a", "b"], "rows": []}],
        id="parse-table-no-rows",
    ),
    case("_build_text_fallback_blocks", "| a | b |\nnext", expected=[_text("| a | b |\nnext")], id="parse-no-delimiter"),
    case("_build_text_fallback_blocks", "###### Six", expected=[{"kind": "heading", "level": 6, "text": "Six"}], id="parse-h6"),
    case("_build_text_fallback_blocks", "####### Seven", expected=[_text("####### Seven")], id="parse-h7-is-text"),
    case("_normalize_text_lines", "", expected=[""], id="lines-empty"),
    case("_normalize_text_lines", "a\n", expected=["a", ""], id="lines-trailing"),
    case("_normalize_text_lines", "a\r\n\r\nb", expected=["a", "", "b"], id="lines-crlf"),
    case("_normalize_text_lines", "a\r\rb", expected=["a", "", "b"], id="lines-cr"),
    case("_normalize_text_lines", "a\u2028b\x0cc", expected=["a\u2028b\x0cc"], id="lines-only-cr-lf"),
]

# ---------------------------------------------------------------- line recognisers
RECOGNISER_CASES = [
    case("_parse_markdown_heading", "## Title", expected={"kind": "heading", "level": 2, "text": "Title"}, id="heading-h2"),
    case(
        "_parse_markdown_heading", "  ###   Spaced out  ",
        expected={"kind": "heading", "level": 3, "text": "Spaced out"},
        id="heading-spaced",
    ),
    case("_parse_markdown_heading", "#Title", expected=None, id="heading-no-space"),
    case("_parse_markdown_heading", "#", expected=None, id="heading-bare"),
    case("_parse_markdown_heading", "### ", expected=None, id="heading-empty"),
    case("_parse_markdown_heading", "####### Seven", expected=None, id="heading-seven"),
    case("_parse_markdown_heading", "## Title ##", expected={"kind": "heading", "level": 2, "text": "Title ##"}, id="heading-closing-hashes"),
    *[
        case("_parse_markdown_list_item", line, expected={"kind": "list_item", "text": "a"}, id=f"item-{name}")
        for name, line in [
            ("dash", "- a"), ("star", "* a"), ("bullet", "• a"), ("dot", "1. a"),
            ("paren", "12) a"), ("padded", "  -   a  "), ("fullwidth-digit", "１. a"),
        ]
    ],
    *[
        case("_parse_markdown_list_item", line, expected=None, id=f"item-not-{name}")
        for name, line in [
            ("plus", "+ a"), ("dash-no-space", "-a"), ("dot-no-space", "1.a"),
            ("bold", "**bold** text"), ("rule", "---"), ("decimal", "3.5 kg"),
        ]
    ],
    case("_parse_markdown_list_item", "2024. Year", expected={"kind": "list_item", "text": "Year"}, id="item-year"),
    case("_parse_markdown_list_item", "- - -", expected={"kind": "list_item", "text": "- -"}, id="item-dashes"),
    case("_parse_pipe_row", "| a | b |", expected=["a", "b"], id="pipe-outer"),
    case("_parse_pipe_row", "a | b", expected=["a", "b"], id="pipe-inner"),
    case("_parse_pipe_row", "|| a | b ||", expected=["", "a", "b", ""], id="pipe-double-outer"),
    *[
        case("_parse_pipe_row", line, expected=None, id=f"pipe-not-{name}")
        for name, line in [
            ("one-cell", "| a |"), ("bare", "|"), ("empty-cells", "| | |"),
            ("dash-cells", "| - | - |"), ("no-pipe", "no pipe"),
        ]
    ],
    case("_parse_pipe_row", "| -- | x |", expected=["--", "x"], id="pipe-double-dash"),
    case("_is_markdown_delimiter_row", ["---", ":---", "---:", ":---:"], expected=True, id="delim-aligned"),
    case("_is_markdown_delimiter_row", ["---", "x"], expected=False, id="delim-text-cell"),
    case("_is_markdown_delimiter_row", ["--"], expected=False, id="delim-two-dashes"),
    case("_is_markdown_delimiter_row", ["- - -"], expected=False, id="delim-spaced"),
    case("_is_markdown_delimiter_row", [": ---"], expected=False, id="delim-detached-colon"),
    case("_is_markdown_delimiter_row", [], expected=False, id="delim-empty"),
    case(
        "_parse_markdown_table", ["| a | b |", "|---|---|", "| 1 | 2 |", "", "x"], 0,
        expected=({"kind": "table", "header": ["a", "b"], "rows": [["1", "2"]]}, 3),
        id="table-blank-ends",
    ),
    case("_parse_markdown_table", ["| a | b |", "| x | y |"], 0, expected=None, id="table-no-delimiter"),
    case(
        "_parse_markdown_table", ["a | b | c", "--- | ---", "1 | 2"], 0,
        expected=({"kind": "table", "header": ["a", "b", "c"], "rows": [["1", "2"]]}, 3),
        id="table-counts-not-compared",
    ),
    case(
        "_parse_markdown_table", ["| a | b |", "|---|---|", "| 1 | 2 |", "|---|---|", "| 3 | 4 |"], 0,
        expected=({"kind": "table", "header": ["a", "b"], "rows": [["1", "2"]]}, 3),
        id="table-second-delimiter-ends",
    ),
    case(
        "_parse_markdown_table", ["| a | b |", "|---|---|", "| only |"], 0,
        expected=({"kind": "table", "header": ["a", "b"], "rows": []}, 2),
        id="table-single-cell-ends",
    ),
    case(
        "_parse_markdown_table", ["| a | b |", "|---|---|"], 0,
        expected=({"kind": "table", "header": ["a", "b"], "rows": []}, 2),
        id="table-no-body",
    ),
    case("_parse_markdown_table", ["| a | b |", "|---|---|"], 2, expected=None, id="table-start-at-end"),
]

# ---------------------------------------------------------------- block conversion
CONVERSION_CASES = [
    case("_to_structured_blocks", [], expected=[], id="convert-empty"),
    case(
        "_to_structured_blocks", [{"kind": "heading", "level": 1, "text": "A"}],
        expected=[{"type": "heading", "text": "A", "level": 1}],
        id="convert-heading",
    ),
    case(
        "_to_structured_blocks", [{"kind": "heading", "text": "A"}],
        expected=[{"type": "heading", "text": "A", "level": 2}],
        id="convert-heading-default-level",
    ),
    case("_to_structured_blocks", [{"kind": "text", "text": "p"}], expected=[{"type": "paragraph", "text": "p"}], id="convert-text"),
    case("_to_structured_blocks", [{"text": "p"}], expected=[{"type": "paragraph", "text": "p"}], id="convert-no-kind"),
    case(
        "_to_structured_blocks", [{"kind": "list_item", "text": "x"}, {"kind": "list_item", "text": "y"}],
        expected=[{"type": "list_item", "text": "x"}, {"type": "list_item", "text": "y"}],
        id="convert-items-not-grouped",
    ),
    case(
        "_to_structured_blocks", [{"kind": "table", "header": ["A", "B"], "rows": [["1", "2"], "junk", ["3"]]}],
        expected=[
            {"type": "table_row", "text": "A | B", "cells": ["A", "B"]},
            {"type": "table_row", "text": "1 | 2", "cells": ["1", "2"]},
            {"type": "table_row", "text": "3", "cells": ["3"]},
        ],
        id="convert-table",
    ),
    case(
        "_to_structured_blocks", [{"kind": "table", "header": "A|B"}],
        expected=[{"type": "table_row", "text": "", "cells": []}],
        id="convert-table-bad-header",
    ),
    case(
        "_to_structured_blocks", [{"kind": "heading", "level": 1, "text": None}],
        expected=[{"type": "heading", "text": None, "level": 1}],
        id="convert-none-text-copied",
    ),
    case(
        "_build_structured_answer_blocks", [{"type": "heading", "text": None, "level": 1}],
        expected=[],
        id="convert-none-text-then-skipped",
    ),
]

# ---------------------------------------------------------------- rendering
def _hd(text, level):
    return [{"type": "heading", "text": text, "level": level}]


RENDER_CASES = [
    case("_render_blocks", [], expected=[], id="render-empty"),
    case("_render_blocks", [{"type": "text", "text": "a"}, {"type": "text", "text": "b"}], expected=["a", "", "b"], id="render-separator"),
    case("_render_blocks", [{"type": "text", "text": ""}, {"type": "text", "text": "b"}], expected=["b"], id="render-empty-first"),
    case(
        "_render_blocks",
        [{"type": "text", "text": "a"}, {"type": "text", "text": "  "}, {"type": "text", "text": "b"}],
        expected=["a", "", "", "b"],
        id="render-empty-middle-keeps-separator",
    ),
    case(
        "_render_blocks", [{"type": "text", "text": "a"}, {"type": "table", "header": [], "rows": [["x"]]}],
        expected=["a", ""],
        id="render-headerless-table",
    ),
    case("_render_blocks", _hd("Intro", 1), expected=["### Intro"], id="render-level-1"),
    case("_render_blocks", _hd("Intro", 2), expected=["#### Intro"], id="render-level-2"),
    case("_render_blocks", _hd("Intro", 4), expected=["###### Intro"], id="render-level-4"),
    case("_render_blocks", _hd("T", "3"), expected=["#### T"], id="render-level-str"),
    case("_render_blocks", _hd("T", True), expected=["### T"], id="render-level-true"),
    case("_render_blocks", _hd("T", -5), expected=["# T"], id="render-level-low"),
    case("_render_blocks", _hd("T", 99), expected=["###### T"], id="render-level-high"),
    case("_render_blocks", _hd("  T  ", 1), expected=["###   T"], id="render-heading-untrimmed-text"),
    case("_render_blocks", _hd("", 1), expected=["###"], id="render-heading-empty"),
    case("_render_blocks", _hd(None, 1), expected=["### None"], id="render-heading-none"),
    case("_render_blocks", [{"type": "heading", "level": 1}], expected=["###"], id="render-heading-missing-text"),
    case("_render_blocks", [{"type": "text", "text": None}], expected=[], id="render-text-none"),
    case("_render_blocks", [{"type": "list", "items": ["a", "b"]}], expected=["- a", "- b"], id="render-list"),
    case("_render_blocks", [{"type": "list", "items": ["x", 3, None]}], expected=["- x", "- 3", "- None"], id="render-list-values"),
    case(
        "_render_blocks", [{"type": "table", "header": ["Name", "Price"], "rows": [["A", "1"], ["B", "2"]]}],
        expected=["| Name | Price |", "| --- | --- |", "| A | 1 |", "| B | 2 |"],
        id="render-table",
    ),
    case(
        "_render_blocks", [{"type": "table", "header": ["A", 1], "rows": [["x", 2], "not a row", ["y"]]}],
        expected=["| A | 1 |", "| --- | --- |", "| x | 2 |", "| y |"],
        id="render-table-loose",
    ),
    case(
        "_render_blocks", [{"type": "table", "header": ["a|b", "c"], "rows": []}],
        expected=["| a|b | c |", "| --- | --- |"],
        id="render-pipe-in-cell",
    ),
    case(
        "_render_blocks", [{"type": "text", "text": "  line one\nline two  "}],
        expected=["line one\nline two"],
        id="render-text-multiline",
    ),
    case("_render_blocks", [{"type": "paragraph", "text": " p "}], expected=["p"], id="render-paragraph-as-text"),
    case("_render_blocks", [{"type": "list_item", "text": "i"}], expected=["i"], id="render-list-item-as-text"),
]

ALL_CASES = (
    REPORT_CASES
    + QUESTION_CASES
    + SECTION_CASES
    + LINK_CASES
    + COLLAPSE_CASES
    + MODEL_CASES
    + BODY_CASES
    + ASSEMBLY_CASES
    + PARSER_CASES
    + RECOGNISER_CASES
    + CONVERSION_CASES
    + RENDER_CASES
)


@pytest.mark.parametrize(("method", "args", "expected"), ALL_CASES)
def test_worked_example(impl, method, args, expected):
    call_args = copy.deepcopy(args)
    result = getattr(impl, method)(*call_args)
    assert_same(result, expected)
    # Inputs are never modified.
    assert call_args == args


@pytest.mark.parametrize("width", [2, 3])
def test_row_of_matching_width_is_returned_unchanged(impl, width):
    row = ["a", "b", "c"][:width]
    assert impl._normalize_row_cells(row, width) is row


def test_link_items_take_include_source_by_keyword(impl):
    items = [{"asin": "B01", "source": "s"}]
    assert impl._format_link_items(items, include_source=True) == ["- B01 (s)"]
    assert impl._format_link_items(items, include_source=0) == ["- B01"]
