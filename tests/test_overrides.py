"""Every step is reached through the instance at call time.

A step can be replaced by a subclass, by a plain function stored on the
instance, or by patching the class, and format_data must pick the
replacement up on every use. Expected reports come from the plain-Python
formatter with the same replacement installed. The last group feeds
callbacks that mutate the data being read while it is read.
"""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

BENCHMARKS_DIR = Path(__file__).resolve().parents[1] / "benchmarks"
if str(BENCHMARKS_DIR) not in sys.path:
    sys.path.insert(0, str(BENCHMARKS_DIR))

import baseline  # noqa: E402

mod = pytest.importorskip("quorin.amazon_rufus.services.answer_report_formatter")
Formatter = mod.AnswerReportFormatter
NATIVE_FUNCTION = type(vars(Formatter)["format_data"])


def as_method(core):
    def method(self, *args, **kwargs):
        return core(*args, **kwargs)

    return method


def baseline_with(name, core):
    return type("BaselineSub", (baseline.AnswerReportFormatter,), {name: as_method(core)})()


@pytest.fixture(params=["subclass", "instance", "class"])
def install(request, monkeypatch):
    """Returns install(name, core) -> formatter whose step `name` runs core (called without self)."""

    def _install(name, core):
        if request.param == "subclass":
            return type("Sub", (Formatter,), {name: as_method(core)})()
        if request.param == "instance":
            obj = Formatter()
            setattr(obj, name, core)
            return obj
        monkeypatch.setattr(Formatter, name, as_method(core))
        return Formatter()

    return _install


# ---------------------------------------------------------------- one replaced step per case

TABLE_TEXT = "| h1 | h2 |\n| --- | --- |\n| a |\n| b | c | d |"


def _heading_bang(line):
    if line.startswith("!"):
        return {"kind": "heading", "level": 2, "text": line[1:].strip()}
    return None


def _semicolon_row(line):
    if ";" not in line:
        return None
    return [cell.strip() for cell in line.split(";")]


STEP_CASES = [
    # (step, replacement without self, input, marker expected in the report)
    ("_render_blocks",
     lambda blocks: ["BODY:" + ",".join(b["type"] for b in blocks)],
     {"answers": [{"text": "# T\npara\n- a\n- b\n\n" + TABLE_TEXT}]},
     "BODY:heading,text,list,text,text"),
    ("_format_section",
     lambda index, answer, question: f"S{index}:{question}:{type(answer).__name__}",
     {"questions": ["Q1"], "answers": [{}, None]},
     "S1:Q1:dict\n\nS2:第 2 题:NoneType"),
    ("_question_at",
     lambda questions, index: f"Q{index}/{len(questions)}",
     {"questions": ["a", "b"], "answers": [{}, {}, {}]},
     "## 第 3 题：Q3/2"),
    ("_collapse_blank_lines",
     lambda text: "<" + text + ">",
     {"answers": [{"text": "x  \n\n\n\ny"}]},
     "<## 第 1 题"),
    ("_parse_markdown_heading",
     _heading_bang,
     {"answers": [{"text": "!Title\nbody\n# not a heading"}]},
     "#### Title"),
    ("_normalize_row_cells",
     lambda row, width: [f"{cell}/{width}" for cell in row],
     {"answers": [{"blocks": [{"type": "table_row", "cells": ["h1", "h2"]},
                              {"type": "table_row", "cells": ["a"]},
                              {"type": "table_row", "cells": ["b", "c", "d"]}]}]},
     "| b/2 | c/2 | d/2 |"),
    ("_format_link_items",
     lambda raw_items, *, include_source: [f"L{include_source}:{raw_items!r}"],
     {"answers": [{"productLinks": ["p"], "recommendedAsins": ["r"]}]},
     "LTrue:['r']"),
    ("_parse_pipe_row",
     _semicolon_row,
     {"answers": [{"text": "a;b\n---;---\nc;d\n\nx | y"}]},
     "| a | b |\n| --- | --- |\n| c | d |"),
    ("_format_answer_body",
     lambda index, answer: [f"body{index}", repr(sorted(answer))],
     {"answers": [{"text": "t", "isSuccess": False}, 7]},
     "body2\n[]"),
    ("_extract_questions",
     lambda data: ["EQ"],
     {"answers": [{}]},
     "## 第 1 题：EQ"),
    ("_normalize_question_list",
     lambda raw: [f"N{raw!r}"],
     {"questions": 5, "answers": [{}]},
     "## 第 1 题：N5"),
    ("_format_product_links",
     lambda raw: ["- P"],
     {"answers": [{}]},
     "### 相关产品\n\n- P"),
    ("_format_recommended_asins",
     lambda raw: ["- R"],
     {"answers": [{}]},
     "### 推荐 ASIN\n\n- R"),
    ("_build_answer_blocks",
     lambda text, blocks: [{"type": "text", "text": f"B[{text}|{blocks!r}]"}],
     {"answers": [{"text": " t ", "blocks": 3}]},
     "B[t|3]"),
    ("_build_structured_answer_blocks",
     lambda blocks: [{"type": "list", "items": [b.get("type") for b in blocks]}],
     {"answers": [{"text": "# h\np"}]},
     "- heading\n- paragraph"),
    ("_to_structured_blocks",
     lambda blocks: [{"type": "paragraph", "text": b["kind"]} for b in blocks],
     {"answers": [{"text": "# h\n\np\n- i"}]},
     "heading\n\ntext\n\nlist_item"),
    ("_build_text_fallback_blocks",
     lambda text: [{"kind": "list_item", "text": t} for t in text.split()],
     {"answers": [{"text": "one two"}]},
     "- one\n- two"),
    ("_normalize_text_lines",
     lambda text: text.split("/"),
     {"answers": [{"text": "# A/- b/- c"}]},
     "### A\n\n- b\n- c"),
    ("_parse_markdown_list_item",
     lambda line: {"kind": "list_item", "text": line[1:].strip()} if line.startswith("+") else None,
     {"answers": [{"text": "+ plus\n- minus"}]},
     "- plus\n\n- minus"),
    ("_parse_markdown_table",
     lambda lines, index: ({"kind": "table", "header": ["L", str(index)], "rows": [[lines[index], "x"]]}, index + 1),
     {"answers": [{"text": "first\nsecond"}]},
     "| L | 0 |\n| --- | --- |\n| first | x |\n| L | 1 |\n| second | x |"),
    ("_is_markdown_delimiter_row",
     lambda cells: all(c == "===" for c in cells),
     {"answers": [{"text": "| a | b |\n| === | === |\n| 1 | 2 |\n\n| c | d |\n| --- | --- |"}]},
     "| a | b |\n| --- | --- |\n| 1 | 2 |\n\n| c | d |\n| --- | --- |"),
    ("_normalize_structured_row",
     lambda block: [str(block.get("n")), "x"],
     {"answers": [{"blocks": [{"type": "table_row", "n": 1}, {"type": "table_row", "n": 2}]}]},
     "| 1 | x |\n| --- | --- |\n| 2 | x |"),
]


@pytest.mark.parametrize("name, core, data, marker", STEP_CASES, ids=[c[0] for c in STEP_CASES])
def test_replaced_step_reaches_the_report(install, name, core, data, marker):
    expected = baseline_with(name, core).format_data(data)
    assert marker in expected  # the case really exercises the step
    assert install(name, core).format_data(data) == expected


def test_every_internal_step_has_a_case():
    internal = {n for n in vars(Formatter) if n.startswith("_") and not n.startswith("__")}
    assert internal == {c[0] for c in STEP_CASES}


def test_class_patch_is_undone(monkeypatch):
    monkeypatch.setattr(Formatter, "_render_blocks", lambda self, blocks: ["P"])
    assert "P" in Formatter().format_data({"answers": [{"text": "t"}]})
    monkeypatch.undo()
    assert Formatter().format_data({"answers": [{"text": "t"}]}).endswith("### 答案\n\nt")


def test_instance_override_does_not_leak_to_other_instances():
    patched = Formatter()
    patched._question_at = lambda questions, index: "mine"
    assert "mine" in patched.format_data({"answers": [{}]})
    assert "mine" not in Formatter().format_data({"answers": [{}]})


def test_override_calling_the_original_step():
    class Sub(Formatter):
        def _render_blocks(self, blocks):
            return ["[before]"] + super()._render_blocks(blocks) + ["[after]"]

    out = Sub().format_data({"answers": [{"text": "body"}]})
    assert out.endswith("### 答案\n\n[before]\nbody\n[after]")


def test_empty_section_from_override_is_left_out():
    obj = type("Sub", (Formatter,), {"_format_section": lambda self, i, a, q: "" if i == 2 else f"s{i}"})()
    assert obj.format_data({"answers": [1, 2, 3]}) == "s1\n\ns3"


# ---------------------------------------------------------------- replacement during a call


def test_class_step_replaced_mid_call_is_seen_by_later_calls():
    class Sub(Formatter):
        def _format_section(self, index, answer, question):
            text = super()._format_section(index, answer, question)
            if index == 1:
                type(self)._render_blocks = lambda self, blocks: ["PATCHED"]
            return text

    out = Sub().format_data({"answers": [{"text": "A1"}, {"text": "A2"}, {"text": "A3"}]})
    assert out.count("PATCHED") == 2
    assert "A1" in out and "A2" not in out and "A3" not in out


def test_instance_step_replaced_and_removed_mid_call():
    obj = Formatter()
    seen = []

    def question_at(questions, index):
        seen.append(index)
        if index == 1:
            obj._collapse_blank_lines = lambda text: "collapsed:" + text
        if index == 2:
            del obj._question_at  # later answers use the class step again
        return f"q{index}"

    obj._question_at = question_at
    out = obj.format_data({"answers": [{}, {}, {}]})
    assert seen == [1, 2]
    assert out.startswith("collapsed:## 第 1 题：q1")
    assert "## 第 3 题：第 3 题" in out


def test_report_step_replaced_while_sections_run():
    class Sub(Formatter):
        def _format_product_links(self, raw_links):
            Sub._collapse_blank_lines = lambda self, text: "swapped"
            return []

    assert Sub().format_data({"answers": [{}]}) == "swapped"


# ---------------------------------------------------------------- attribute hooks

RICH = {
    "questions": ["Q1", {"question": "Q2"}],
    "answers": [
        {
            "text": "# H\npara\n- a\n  more\n| x | y |\n| --- | --- |\n| 1 | 2 |",
            "productLinks": [{"asin": "B1", "title": "T", "href": "h"}],
            "recommendedAsins": ["R1"],
            "summaryText": "S",
        },
        {"blocks": [{"type": "table_row", "text": "a | b"}, {"type": "table_row", "cells": ["c"]}]},
        {"isSuccess": False},
    ],
}


def logging_class(base, log):
    class Logging(base):
        def __getattribute__(self, name):
            log.append(name)
            return super().__getattribute__(name)

    return Logging


def test_getattribute_sees_every_step_lookup_in_order():
    native_log, baseline_log = [], []
    out = logging_class(Formatter, native_log)().format_data(RICH)
    expected = logging_class(baseline.AnswerReportFormatter, baseline_log)().format_data(RICH)
    assert out == expected
    assert native_log == baseline_log
    assert native_log[0] == "format_data"
    assert native_log[-1] == "_collapse_blank_lines"


INTERNAL_STEPS = [n for n in vars(Formatter) if n.startswith("_") and not n.startswith("__")]


def second_lookup_wraps(base, target, calls):
    """A subclass whose lookups of `target` after the first one return a recording wrapper."""

    class Hooked(base):
        lookups = 0

        def __getattribute__(self, name):
            found = super().__getattribute__(name)
            if name != target:
                return found
            Hooked.lookups += 1
            if Hooked.lookups < 2:
                return found

            def wrapper(*args, **kwargs):
                calls.append(args)
                return found(*args, **kwargs)

            return wrapper

    return Hooked()


@pytest.mark.parametrize("target", INTERNAL_STEPS)
def test_every_use_of_a_step_does_its_own_lookup(target):
    # A hook that changes what a step resolves to after its first use must be
    # seen by every later use, exactly as in plain Python.
    native_calls, baseline_calls = [], []
    out = second_lookup_wraps(Formatter, target, native_calls).format_data(RICH)
    expected = second_lookup_wraps(baseline.AnswerReportFormatter, target, baseline_calls).format_data(RICH)
    assert out == expected
    assert native_calls == baseline_calls


@pytest.mark.parametrize(
    "target",
    ["_parse_markdown_heading", "_is_markdown_delimiter_row"],
)
def test_parser_sees_a_step_that_changes_between_lines(target):
    text = "# a\n# b\n- c\n- d\n| e | f |\n| --- | --- |\n\n| g | h |\n| --- | --- |"
    replacement = {
        "_parse_markdown_heading": lambda line: {"kind": "heading", "level": 1, "text": "R:" + line},
        "_is_markdown_delimiter_row": lambda cells: False,
    }[target]

    def hooked(base):
        class Hooked(base):
            lookups = 0

            def __getattribute__(self, name):
                if name == target:
                    Hooked.lookups += 1
                    if Hooked.lookups >= 2:
                        return replacement
                return super().__getattribute__(name)

        return Hooked()

    assert hooked(Formatter)._build_text_fallback_blocks(text) == hooked(
        baseline.AnswerReportFormatter
    )._build_text_fallback_blocks(text)


def test_getattribute_redirect_and_getattr_fallback():
    class Hooked(Formatter):
        def __getattribute__(self, name):
            if name == "_render_blocks":
                raise AttributeError(name)
            return super().__getattribute__(name)

        def __getattr__(self, name):
            if name == "_render_blocks":
                return lambda blocks: ["via __getattr__"]
            raise AttributeError(name)

    assert Hooked().format_data({"answers": [{"text": "t"}]}).endswith("via __getattr__")


def test_getattr_never_consulted_for_existing_steps():
    class Hooked(Formatter):
        def __getattr__(self, name):
            raise AssertionError(f"unexpected lookup of {name}")

    assert Hooked().format_data(RICH) == Formatter().format_data(RICH)


def test_missing_step_raises_attribute_error():
    class Hooked(Formatter):
        def __getattribute__(self, name):
            if name == "_format_answer_body":
                raise AttributeError("no body today")
            return super().__getattribute__(name)

    with pytest.raises(AttributeError, match="no body today"):
        Hooked().format_data({"answers": [{}]})


# ---------------------------------------------------------------- what overrides receive

from block_model_example import OVERVIEW_DISPLAY as EXAMPLE_DISPLAY  # noqa: E402
from block_model_example import OVERVIEW_INTERMEDIATE as EXAMPLE_INTERMEDIATE  # noqa: E402
from block_model_example import OVERVIEW_STRUCTURED as EXAMPLE_STRUCTURED  # noqa: E402
from block_model_example import OVERVIEW_TEXT as EXAMPLE_TEXT  # noqa: E402


def recording_formatter(log):
    """A subclass whose every internal step records its arguments and then runs the original."""

    def wrap(name):
        original = vars(Formatter)[name]

        def method(self, *args, **kwargs):
            log.append((name, args, kwargs))
            return original(self, *args, **kwargs)

        return method

    names = [n for n in vars(Formatter) if n.startswith("_") and not n.startswith("__")]
    return type("Recording", (Formatter,), {n: wrap(n) for n in names})()


def calls_of(log, name):
    return [(args, kwargs) for n, args, kwargs in log if n == name]


def assert_same(actual, expected):
    # repr also compares dict key order and exact element types.
    assert actual == expected
    assert repr(actual) == repr(expected)


def test_steps_receive_the_documented_block_shapes():
    log = []
    out = recording_formatter(log).format_data({"answers": [{"text": EXAMPLE_TEXT}]})
    assert out.endswith("### Overview\n\nSome intro\nline two\n\n- first\n- second\n\n| Name | Price |\n| --- | --- |\n| A | 1 |")
    [(args, _)] = calls_of(log, "_to_structured_blocks")
    assert_same(args[0], EXAMPLE_INTERMEDIATE)
    [(args, _)] = calls_of(log, "_build_structured_answer_blocks")
    assert_same(args[0], EXAMPLE_STRUCTURED)
    [(args, _)] = calls_of(log, "_render_blocks")
    assert_same(args[0], EXAMPLE_DISPLAY)
    # The table rows handed to _normalize_row_cells come with the header width.
    assert_same(calls_of(log, "_normalize_row_cells"), [((["A", "1"], 2), {})])


def test_steps_receive_the_callers_objects():
    log = []
    questions = ["Q"]
    links = ["  L  "]
    answer = {"text": "t", "productLinks": links, "recommendedAsins": None}
    data = {"questions": questions, "answers": [answer, "junk"]}
    recording_formatter(log).format_data(data)

    assert calls_of(log, "_extract_questions")[0][0][0] is data
    assert calls_of(log, "_normalize_question_list")[0][0][0] is questions
    assert [args for args, _ in calls_of(log, "_question_at")] == [(["Q"], 1), (["Q"], 2)]
    first, second = calls_of(log, "_format_section")
    assert first[0][0] == 1 and type(first[0][0]) is int
    assert first[0][1] is answer and first[0][2] == "Q"
    assert second[0][1] == "junk" and second[0][2] == "第 2 题"
    body_calls = calls_of(log, "_format_answer_body")
    assert body_calls[0][0][1] is answer
    assert body_calls[1][0][1] == {} and type(body_calls[1][0][1]) is dict
    assert calls_of(log, "_format_product_links")[0][0][0] is links
    assert calls_of(log, "_format_link_items")[0] == ((links,), {"include_source": False})
    assert calls_of(log, "_format_link_items")[1] == ((None,), {"include_source": True})
    assert calls_of(log, "_build_answer_blocks")[0][0] == ("t", None)


def test_front_end_blocks_handed_on_unchanged():
    log = []
    blocks = [{"type": "table_row", "text": " a | b "}, {"type": "table_row", "cells": ["c", None, 3]}]
    recording_formatter(log).format_data({"answers": [{"blocks": blocks}]})
    assert calls_of(log, "_build_structured_answer_blocks")[0][0][0] is blocks
    rows = calls_of(log, "_normalize_structured_row")
    assert [args[0] for args, _ in rows] == blocks
    assert rows[0][0][0] is blocks[0]
    assert calls_of(log, "_parse_pipe_row")[0][0] == (" a | b ",)


def test_parser_passes_its_own_lines_list():
    log = []
    seen = {}

    class Sub(Formatter):
        def _normalize_text_lines(self, text):
            seen["lines"] = super()._normalize_text_lines(text)
            return seen["lines"]

        def _parse_markdown_table(self, lines, start_index):
            log.append((lines, start_index))
            return super()._parse_markdown_table(lines, start_index)

    Sub()._build_text_fallback_blocks("a\n  \nb\n# h\n- i")
    assert [index for _, index in log] == [0, 2, 4]
    assert all(lines is seen["lines"] for lines, _ in log)


# ---------------------------------------------------------------- reentrancy


class OnStr:
    """A value whose text conversion runs an action (once) before giving its text."""

    def __init__(self, text, action):
        self.text, self.action, self.done = text, action, False

    def __str__(self):
        if not self.done:
            self.done = True
            self.action()
        return self.text

    def __format__(self, spec):
        return str(self)

    def __repr__(self):
        return f"OnStr({self.text!r})"


class OnEq:
    """A block type that runs an action (once) on its first comparison and equals nothing."""

    def __init__(self, action):
        self.action, self.done = action, False

    def __eq__(self, other):
        if not self.done:
            self.done = True
            self.action()
        return False

    __hash__ = object.__hash__

    def __repr__(self):
        return "OnEq()"


class GetClears(dict):
    """A dict subclass whose get first empties a target list."""

    def __init__(self, target, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.target = target

    def get(self, key, default=None):
        self.target.clear()
        return super().get(key, default)


def r_summary_clears_answers():
    data = {"answers": [{}, {}, {}]}
    data["answers"][0]["summaryText"] = OnStr("S", data["answers"].clear)
    return "format_data", (data,), {}


def r_summary_appends_answer():
    data = {"answers": [{}]}
    data["answers"][0]["summaryText"] = OnStr("S", lambda: data["answers"].append({"text": "late"}))
    return "format_data", (data,), {}


def r_summary_replaces_answers():
    data = {"answers": [{}, {"text": "kept"}]}
    data["answers"][0]["summaryText"] = OnStr("S", lambda: data.__setitem__("answers", []))
    return "format_data", (data,), {}


def r_summary_clears_own_record():
    answer = {"text": "t", "recommendedAsins": ["R"], "isSuccess": True}
    answer["summaryText"] = OnStr("S", answer.clear)
    return "format_data", ({"answers": [answer]},), {}


def r_question_clears_questions():
    questions = [{"question": None}, "Q2", "Q3"]
    questions[0]["question"] = OnStr("Q1", questions.clear)
    return "format_data", ({"questions": questions, "answers": [{}, {}, {}]},), {}


def r_block_type_clears_blocks():
    blocks = [None, {"type": "paragraph", "text": "p2"}, {"type": "list_item", "text": "i"}]
    blocks[0] = {"type": OnEq(blocks.clear), "text": "x"}
    return "format_data", ({"answers": [{"text": "fallback", "blocks": blocks}]},), {}


def r_block_type_appends_block():
    blocks = [{"type": "paragraph", "text": "p1"}]
    blocks.insert(0, {"type": OnEq(lambda: blocks.append({"type": "paragraph", "text": "added"})), "text": "x"})
    return "format_data", ({"answers": [{"blocks": blocks}]},), {}


def r_block_type_replaces_items():
    blocks = [{"type": "list_item", "text": "a"}, None]
    blocks[1] = {"type": OnEq(lambda: blocks.__setitem__(slice(None), [{"type": "list_item", "text": "z"}] * 3)), "text": "b"}
    return "_build_structured_answer_blocks", (blocks,), {}


def r_block_text_clears_block():
    block = {"type": "heading", "level": 5}
    block["text"] = OnStr("H", block.clear)
    return "_build_structured_answer_blocks", ([block],), {}


def r_cell_clears_cells():
    cells = ["a", None, "c"]
    cells[1] = OnStr("b", cells.clear)
    return "format_data", ({"answers": [{"blocks": [{"type": "table_row", "cells": cells},
                                                    {"type": "table_row", "cells": ["1", "2", "3"]}]}]},), {}


def r_link_asin_clears_link():
    link = {"title": "T", "href": "h", "source": "s", "description": "d"}
    link["asin"] = OnStr("B1", link.clear)
    return "_format_link_items", ([link, "after"],), {"include_source": True}


def r_link_title_clears_items():
    items = [{"title": None}, "second", {"asin": "B3"}]
    items[0]["title"] = OnStr("T", items.clear)
    return "_format_link_items", (items,), {"include_source": False}


def r_list_item_format_clears_items():
    items = ["a", None, "c"]
    items[1] = OnStr("b", items.clear)
    return "_render_blocks", ([{"type": "list", "items": items}, {"type": "text", "text": "t"}],), {}


def r_header_cell_clears_header():
    header = ["h1", None, "h3"]
    header[1] = OnStr("h2", header.clear)
    return "_render_blocks", ([{"type": "table", "header": header, "rows": [["1", "2", "3"]]}],), {}


def r_row_cell_clears_rows():
    rows = [["1", None], ["3", "4"]]
    rows[0][1] = OnStr("2", rows.clear)
    return "_render_blocks", ([{"type": "table", "header": ["a", "b"], "rows": rows}],), {}


def r_kind_clears_blocks():
    blocks = [{"kind": "text", "text": "p"}, None]
    blocks[1] = {"kind": OnEq(blocks.clear), "text": "q"}
    blocks.append({"kind": "list_item", "text": "r"})
    return "_to_structured_blocks", (blocks,), {}


def r_question_item_get_clears_list():
    questions = ["Q0"]
    questions.append(GetClears(questions, question="Q1"))
    questions.append("Q2")
    return "_normalize_question_list", (questions,), {}


def r_link_item_get_clears_list():
    items = []
    items.extend([GetClears(items, asin="B1"), "second"])
    return "_format_link_items", (items,), {"include_source": True}


def r_block_get_clears_list():
    blocks = []
    blocks.extend([GetClears(blocks, type="paragraph", text="p"), {"type": "paragraph", "text": "q"}])
    return "_build_structured_answer_blocks", (blocks,), {}


def r_upload_payload_get_clears_records():
    records = [{"questions": ["P1"]}]
    payload = GetClears(records, records=records)
    return "_extract_questions", ({"upload_payload": payload},), {}


REENTRANT = [
    r_summary_clears_answers,
    r_summary_appends_answer,
    r_summary_replaces_answers,
    r_summary_clears_own_record,
    r_question_clears_questions,
    r_block_type_clears_blocks,
    r_block_type_appends_block,
    r_block_type_replaces_items,
    r_block_text_clears_block,
    r_cell_clears_cells,
    r_link_asin_clears_link,
    r_link_title_clears_items,
    r_list_item_format_clears_items,
    r_header_cell_clears_header,
    r_row_cell_clears_rows,
    r_kind_clears_blocks,
    r_question_item_get_clears_list,
    r_link_item_get_clears_list,
    r_block_get_clears_list,
    r_upload_payload_get_clears_records,
]


def outcome(obj, factory):
    name, args, kwargs = factory()
    try:
        return "ok", repr(getattr(obj, name)(*args, **kwargs))
    except Exception as exc:  # the exception itself is part of the behaviour
        return type(exc).__name__, str(exc)


@pytest.mark.parametrize("factory", REENTRANT, ids=[f.__name__[2:] for f in REENTRANT])
def test_mutation_during_the_call_matches_baseline(factory):
    assert outcome(Formatter(), factory) == outcome(baseline.AnswerReportFormatter(), factory)


# ---------------------------------------------------------------- odd values used as the algorithm uses them

class Lying(int):
    """An int level that is always "less", so min(6, ...) keeps it, and whose sums stay Lying."""

    __lt__ = lambda self, other: True  # noqa: E731
    __add__ = lambda self, other: Lying(int(self) + other)  # noqa: E731


class AlwaysLying(Lying):
    """Also always "greater", so max(1, ...) keeps it."""

    __gt__ = lambda self, other: True  # noqa: E731
    __add__ = lambda self, other: AlwaysLying(int(self) + other)  # noqa: E731


class FloatSum(int):
    __add__ = lambda self, other: 2.5  # noqa: E731


class Decorated(str):
    """What a __str__ may return: a str whose own strip and format differ from str's."""

    def strip(self, *args):
        return Decorated(" <" + str.strip(self) + "> ")

    def __format__(self, spec):
        return "F[" + str.__str__(self) + "]"


class StripsToInt(str):
    def strip(self, *args):
        return 42


class Texted:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class ShrinksOnClassCheck:
    """A record whose isinstance test (its __class__) clears the list it sits in."""

    def __init__(self, owner):
        self.owner = owner

    @property
    def __class__(self):
        self.owner.clear()
        return type(self)


def texted(cls, text):
    return Texted(cls(text))


class DictSub(dict):
    pass


class NeverEqual(str):
    """A dict key that hashes as its text but equals nothing, so a lookup of that text misses it."""

    __hash__ = str.__hash__
    __eq__ = lambda self, other: False  # noqa: E731


class StrSection(str):
    pass


def o_installs_mid_call(**replacements):
    """format_data on answers whose fences hold runs of blank lines, where a link field's __str__, met
    in the first section, installs replacements on the instance."""

    def factory(base):
        obj = base()

        class Installer:
            def __str__(self):
                for name, core in replacements.items():
                    setattr(obj, name, core)
                return "A"

        fence = "```\na\n\n\n\nb\n  \n\n```"
        # The fence after a list item is held until it closes, as an indented line may still
        # continue the item.
        data = {"answers": [{"text": fence, "productLinks": [{"asin": Installer()}]}, {"text": fence},
                            {"text": "- i\n" + fence + "\n  c"}, {"text": "x"}]}
        return obj, "format_data", (data,)

    return factory


# Plain front-end blocks that render before an odd value turns up in a later one.
PLAIN_FIRST = [{"type": "paragraph", "text": " a "}, {"type": "list_item", "text": "b"},
               {"type": "table_row", "cells": ["c", 1]}, {"type": "table_row", "text": "d | e | f"}]


def o_level(level, text="x"):
    return lambda base: (base(), "_render_blocks", ([{"type": "heading", "text": text, "level": level}],))


def o_front_end_level(level):
    data = {"answers": [{"text": "t", "blocks": [{"type": "heading", "text": "h", "level": level}]}]}
    return lambda base: (base(), "format_data", (data,))


def o_report(answer):
    return lambda base: (base(), "format_data", ({"answers": [answer]},))


def o_call(name, *args):
    return lambda base: (base(), name, args)


def o_sub(name, core, call, *args):
    return lambda base: (type("Sub", (base,), {name: as_method(core)})(), call, args)


def o_shrinking_answers(base):
    answers = []
    answers += [{"text": "a"}, ShrinksOnClassCheck(answers), {"text": "c"}]
    return base(), "format_data", ({"answers": answers},)


TABLE_PARAGRAPHS = "| a | b |\n| --- | --- |\n| 1 | 2 |\n| 3 | 4 |\n\n- item\n  more"
ODD_VALUES = {
    "level comparisons lie, huge count": o_level(Lying(2**62)),
    "level comparisons lie, count past an index": o_level(Lying(2**63)),
    "level comparisons lie, negative count": o_level(AlwaysLying(-9), "  t  "),
    "level comparisons lie, small count": o_level(Lying(1), "  t  "),
    "level sum is a float": o_level(FloatSum(1)),
    "bool level": o_level(True),
    "front-end level comparisons lie": o_front_end_level(Lying(3)),
    "front-end level sum is a float": o_front_end_level(FloatSum(3)),
    "heading text formats itself": o_level(2, Decorated(" h ")),
    "list items format themselves": o_call("_render_blocks", [{"type": "list", "items": [Decorated("a"), 3]}]),
    "text block strips itself": o_call("_render_blocks", [{"type": "text", "text": texted(Decorated, " t ")}]),
    "text block strips to an int": o_call("_render_blocks", [{"type": "text", "text": texted(StripsToInt, "t")}]),
    "structured texts strip themselves": o_call(
        "_build_structured_answer_blocks",
        [{"type": "heading", "text": texted(Decorated, "h")}, {"type": "list_item", "text": texted(StripsToInt, "i")},
         {"type": "paragraph", "text": texted(Decorated, "p")}]),
    "structured cell strips to an int, lone row": o_call(
        "_build_structured_answer_blocks", [{"type": "table_row", "cells": [texted(StripsToInt, "a"), "b"]}]),
    "structured cell strips to an int, table": o_call(
        "_build_structured_answer_blocks",
        [{"type": "table_row", "cells": [texted(Decorated, "a"), "b"]},
         {"type": "table_row", "cells": ["c", texted(StripsToInt, "d"), "e"]}]),
    "front-end text strips itself after plain blocks": o_report(
        {"text": "t", "blocks": PLAIN_FIRST + [{"type": "paragraph", "text": texted(Decorated, " p ")}]}),
    "front-end cell strips to an int after plain blocks": o_report(
        {"text": "t", "blocks": PLAIN_FIRST + [{"type": "table_row", "cells": ["x", texted(StripsToInt, "y")]}]}),
    "front-end key equals nothing after plain blocks": o_report(
        {"text": "t", "blocks": PLAIN_FIRST + [{"type": "heading", NeverEqual("text"): "hidden"}]}),
    "clean-up replaced mid-call gets every blank line": o_installs_mid_call(_collapse_blank_lines=repr),
    "sections that are no str join with every blank line": o_installs_mid_call(
        _format_section=lambda index, answer, question: StrSection(f"s{index}\n\n\n"), _collapse_blank_lines=repr),
    "summary strips itself": o_report({"text": "x", "summaryText": texted(Decorated, " s ")}),
    "summary strips to an int": o_report({"summaryText": texted(StripsToInt, "s")}),
    "link fields strip themselves": o_report(
        {"productLinks": [Decorated(" a "), {"asin": texted(Decorated, "A"), "title": "t", "href": texted(Decorated, "h"),
                                              "description": texted(Decorated, "d")}]}),
    "link asin strips to an int": o_report({"recommendedAsins": [{"asin": texted(StripsToInt, "A"), "title": "t"}]}),
    "link source formats itself": o_report({"recommendedAsins": [{"asin": "A", "source": texted(Decorated, "s")}]}),
    "padding past memory": o_call("_normalize_row_cells", ["a"], 2**63),
    "padding past an index": o_call("_normalize_row_cells", [], 2**63),
    "class check shrinks the answers": o_shrinking_answers,
    "replaced row reader gives nothing for parsed rows": o_sub(
        "_normalize_structured_row", lambda block: None, "format_data", {"answers": [{"text": TABLE_PARAGRAPHS}]}),
    "replaced row reader gives an empty list": o_sub(
        "_normalize_structured_row", lambda block: [], "_build_structured_answer_blocks",
        [{"type": "table_row", "text": " a | b "}, {"type": "table_row", "cells": ["c"]}]),
    "replaced item recogniser leaves out the text": o_sub(
        "_parse_markdown_list_item", lambda line: {"kind": "list_item"} if line.startswith("-") else None,
        "_build_text_fallback_blocks", "- a\n  b"),
    "replaced splitter gives a dict without its keys": o_sub(
        "_normalize_text_lines", lambda text: {5: "x"}, "_build_text_fallback_blocks", "t"),
    "replaced splitter gives a str of blanks": o_sub(
        "_normalize_text_lines", lambda text: "\u3000 \t", "_build_text_fallback_blocks", "t"),
    "replaced splitter gives non-str lines": o_sub(
        "_normalize_text_lines", lambda text: ["- a", "  b", 5], "_build_text_fallback_blocks", "t"),
    "replaced table step gives a float index": o_sub(
        "_parse_markdown_table",
        lambda lines, i: ({"kind": "table", "header": ["a", "b"], "rows": []}, 2.5) if i == 0 else None,
        "_build_text_fallback_blocks", "x\ny\nz"),
}


def odd_outcome(base, factory):
    obj, name, args = factory(base)
    try:
        return "ok", repr(getattr(obj, name)(*args))
    except Exception as exc:  # the exception itself is part of the behaviour
        return type(exc).__name__, str(exc)


@pytest.mark.parametrize("factory", ODD_VALUES.values(), ids=ODD_VALUES.keys())
def test_odd_values_and_replaced_steps_match_baseline(factory):
    assert odd_outcome(Formatter, factory) == odd_outcome(baseline.AnswerReportFormatter, factory)


# Where the native steps' argument checks apply, the host's own exception comes from them.
CHECKED = {
    "splitter dict reaches the table step": (
        o_sub("_normalize_text_lines", lambda text: {0: "# h", 1: "x"}, "_build_text_fallback_blocks", "t"),
        "TypeError", "Argument 'lines' has incorrect type (expected list, got dict)"),
    "splitter str reaches the table step": (
        o_sub("_normalize_text_lines", lambda text: " x", "_build_text_fallback_blocks", "t"),
        "TypeError", "Argument 'lines' has incorrect type (expected list, got str)"),
    "splitter tuple reaches the table step": (
        o_sub("_normalize_text_lines", lambda text: ("| a |", "x"), "_build_text_fallback_blocks", "t"),
        "TypeError", "Argument 'lines' has incorrect type (expected list, got tuple)"),
    "stripped answer text is a str subclass": (
        o_report({"text": texted(Decorated, "t")}),
        "TypeError", "Argument 'text' has incorrect type (expected str, got Decorated)"),
    "front-end row of a dict subclass after plain blocks": (
        o_report({"text": "t", "blocks": PLAIN_FIRST + [DictSub(type="table_row", cells=["x"])]}),
        "TypeError", "Argument 'block' has incorrect type (expected dict, got DictSub)"),
    "row text is a str subclass": (
        o_call("_normalize_structured_row", {"text": texted(Decorated, "a | b")}),
        "TypeError", "Argument 'line' has incorrect type (expected str, got Decorated)"),
}


@pytest.mark.parametrize("factory, kind, message", CHECKED.values(), ids=CHECKED.keys())
def test_odd_values_meet_the_argument_checks(factory, kind, message):
    assert odd_outcome(Formatter, factory) == (kind, message)


class MatchOf:
    """A stand-in for `re`: 0 for no match, and a falsy match object for leading whitespace."""

    def __init__(self, log):
        self.log = log

    def match(self, pattern, text):
        import re

        self.log.append(("match", text))
        found = re.match(pattern, text)
        if found and pattern == r"^\s+":
            return type("Falsy", (), {"__bool__": lambda s: False})()
        return found or 0


class NoMatchAttribute:
    pass


class LoggedStrip(str):
    def strip(self, *args):
        LoggedStrip.log.append("strip")
        return str.strip(self)


@pytest.mark.parametrize("stand_in", [MatchOf, lambda log: NoMatchAttribute()], ids=["falsy match", "no match"])
@pytest.mark.parametrize("call", [
    ("_build_text_fallback_blocks", "- a\n  b\n# h\n| x | y |\n|---|---|"),
    ("_is_markdown_delimiter_row", [LoggedStrip("---"), "x"]),
])
def test_replaced_re_is_used_as_the_algorithm_uses_it(monkeypatch, stand_in, call):
    outcomes = []
    for module, base in ((mod, Formatter), (baseline, baseline.AnswerReportFormatter)):
        log = LoggedStrip.log = []
        monkeypatch.setattr(module, "re", stand_in(log))
        name, arg = call
        try:
            result = "ok", repr(getattr(base(), name)(arg))
        except Exception as exc:
            result = type(exc).__name__, str(exc)
        outcomes.append((result, log))
    assert outcomes[0] == outcomes[1]


def test_dict_subclass_answer_whose_get_mutates():
    answers = []
    answers.extend([GetClears(answers, text="t", summaryText="S"), {"text": "second"}])
    with pytest.raises(TypeError) as info:
        Formatter().format_data({"answers": answers})
    assert str(info.value) == "Argument 'answer' has incorrect type (expected dict, got GetClears)"
    assert getattr(info.value, "__notes__", None)
    assert answers == []  # the record's own get ran before the body was refused


def test_inputs_are_not_modified():
    import copy

    data = copy.deepcopy(RICH)
    Formatter().format_data(data)
    assert data == RICH


def test_class_left_intact():
    # Runs last in this module: class-level patches above must all be undone.
    for name in [n for n in vars(Formatter) if not n.startswith("__")]:
        assert type(vars(Formatter)[name]) is NATIVE_FUNCTION, name


# ---------------------------------------------------------------- replacements installed from inside a lookup

class Collider:
    """A dict key with the hash of `name` whose __eq__ (run by a lookup of `name`) acts once."""

    def __init__(self, name, action):
        self.hash = hash(name)
        self.action = action

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        action, self.action = self.action, None
        if action:
            action()
        return False


def install_from_key(base, key, install):
    """format_data on two answers; reading `key` in the second installs a replacement."""
    formatter = type("Sub", (base,), {})()
    answer = {}
    answer[Collider(key, lambda: install(formatter))] = "x"
    answer["text"] = "# Two\n- item\n  more\n| a | b |\n| --- | --- |"
    answer["blocks"] = "not a list"
    data = {"answers": [{"text": "# One\nfirst"}, answer, {"text": "# Three"}]}
    try:
        return "ok", formatter.format_data(data)
    except Exception as exc:  # the exception is part of the behaviour
        return type(exc).__name__, str(exc)


def on_instance(name, value):
    return lambda formatter: setattr(formatter, name, value)


def on_class(name, value):
    return lambda formatter: setattr(type(formatter), name, value)


def on_module(module_of, value):
    def install(formatter):
        module_of(formatter).re = value

    return install


class ReProxy:
    def __init__(self):
        import re

        self.real = re

    def match(self, pattern, text):
        found = self.real.match(pattern, text)
        return None if found and pattern.startswith("^(#") else found


def module_of(formatter):
    return mod if isinstance(formatter, Formatter) else baseline


INSTALLS = {
    "instance body step": ("productLinks", on_instance("_format_answer_body", lambda index, answer: ["replaced"])),
    "class render step": ("summaryText", on_class("_render_blocks", lambda self, blocks: [f"{len(blocks)} blocks"])),
    "instance parser step": ("isSuccess", on_instance("_parse_markdown_heading", lambda line: None)),
    "class table helper": ("blocks", on_class("_is_markdown_delimiter_row", lambda self, cells: False)),
    "instance line splitter": ("text", on_instance("_normalize_text_lines", lambda text: text.split("\n")[:2])),
    "module re": ("recommendedAsins", on_module(module_of, ReProxy())),
}


@pytest.mark.parametrize("key, install", INSTALLS.values(), ids=INSTALLS.keys())
def test_replacement_installed_by_a_colliding_key_is_used_at_the_next_step(monkeypatch, key, install):
    monkeypatch.setattr(mod, "re", mod.re)
    monkeypatch.setattr(baseline, "re", baseline.re)
    native = install_from_key(Formatter, key, install)
    assert native == install_from_key(baseline.AnswerReportFormatter, key, install)
    assert native[0] == "ok"


@pytest.mark.parametrize("base", [Formatter, baseline.AnswerReportFormatter], ids=["native", "baseline"])
def test_attribute_lookup_that_installs_a_replacement(base):
    formatter = type("Sub", (base,), {})()
    # An instance attribute key whose comparisons (run by every lookup of the name) install a replacement.
    formatter.__dict__[Collider("_render_blocks", lambda: setattr(
        type(formatter), "_format_product_links", lambda self, raw: ["- replaced link"]))] = None
    data = {"answers": [{"text": "a", "productLinks": ["x"]}, {"text": "b", "productLinks": ["y"]}]}
    report = formatter.format_data(data)
    # The first answer's links were formatted before its body's _render_blocks lookup ran the key's __eq__.
    assert report.count("- replaced link") == 1
    assert "- x" in report and "- y" not in report
