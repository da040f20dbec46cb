"""Hostile values: callbacks that mutate what the formatter is reading, or raise.

Every protocol call a formatter makes on a hostile value (text conversion, formatting,
truth value, comparison, `get` of a dict subclass) is logged and may run a side
effect: clearing or refilling the list being walked, emptying the dict being read,
then churning the allocator so that anything freed too early gets overwritten. The
native extension must not crash, must make the same calls in the same order as the
baseline, must end with the same result or exception and leave the input in the same
state; where no callback mutates the input, the input must come back unchanged. Each
case runs several times with garbage collection in between, and the hostile objects
must be freed afterwards (no leaked references).
"""

from __future__ import annotations

import gc
import itertools
import sys
import weakref
from dataclasses import dataclass, field
from typing import Callable

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from oracle import BASE, NATIVE, baseline_module, native_module  # noqa: E402,F401
ROUNDS = 4


def churn(collect: bool = False) -> None:
    """Reuse freed memory with fresh objects of common sizes (after a full collection if asked)."""
    if collect:
        gc.collect()
    junk = [{"k": str(i) * 3, "v": [i, str(i)]} for i in range(200)]
    junk += [[f"cell {i}", f"x{i}"] for i in range(200)]
    del junk


class Probe:
    """A value that logs each protocol call made on it and can act inside one of them."""

    def __init__(self, label, log, *, text="probe", truth=True, raise_on=(), effect=None,
                 effect_on=("str", "format"), equal_to=()):
        self.label = label
        self.log = log
        self.text = text
        self.truth = truth
        self.raise_on = set(raise_on)
        self.effect = effect
        self.effect_on = set(effect_on)
        self.equal_to = set(equal_to)

    def _hit(self, what):
        self.log.append((self.label, what))
        kind = what.split()[0]
        if kind in self.raise_on:
            raise ValueError(f"{self.label} refuses {kind}")
        if kind in self.effect_on and self.effect is not None:
            effect, self.effect = self.effect, None  # fires once
            effect()
            churn()

    def __str__(self):
        self._hit("str")
        return self.text

    def __repr__(self):
        self._hit("repr")
        return self.text

    def __format__(self, spec):
        self._hit("format")
        return self.text

    def __bool__(self):
        self._hit("bool")
        return self.truth

    def __eq__(self, other):
        self._hit(f"eq {other!r}")
        return other in self.equal_to

    __hash__ = object.__hash__


class NeProbe(Probe):
    """Answers != on its own, differently from negating ==."""

    def __ne__(self, other):
        self._hit(f"ne {other!r}")
        return False


class FalsyEqProbe(Probe):
    """== returns an object whose truth value raises."""

    def __eq__(self, other):
        self._hit(f"eq {other!r}")
        return Probe(f"{self.label}-eq-result", self.log, raise_on=("bool",))


class LoggingDict(dict):
    """A dict subclass whose `get` logs the key and can act on the first read."""

    def __init__(self, *args, label="d", log=None, effect=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.label = label
        self.log = log if log is not None else []
        self.effect = effect

    def get(self, key, default=None):
        self.log.append((self.label, f"get {key!r}"))
        if self.effect is not None:
            effect, self.effect = self.effect, None
            effect()
            churn()
        return super().get(key, default)


class CountingDict(LoggingDict):
    """Each `get` of the same key returns a new text, so re-reads are visible in the output."""

    def get(self, key, default=None):
        value = super().get(key, default)
        if isinstance(value, str):
            reads = sum(1 for label, what in self.log if label == self.label and what == f"get {key!r}")
            return f"{value}#{reads}"
        return value


@dataclass
class Case:
    method: str
    args: tuple
    kwargs: dict = field(default_factory=dict)
    mutates: bool = True


def describe(value, seen=None):
    """A comparable picture of a value that never calls back into hostile objects."""
    seen = set() if seen is None else seen
    if isinstance(value, Probe):
        return ("probe", value.label)
    if isinstance(value, (list, tuple, dict)):
        if id(value) in seen:
            return ("cycle", type(value).__name__)
        seen = seen | {id(value)}
        if isinstance(value, dict):
            return (type(value).__name__, [(k, describe(v, seen)) for k, v in dict.items(value)])
        return (type(value).__name__, [describe(v, seen) for v in value])
    if isinstance(value, (str, int, float, type(None))):
        return (type(value).__name__, value)
    return (type(value).__name__, "?")


def run(formatter, build: Callable[[list], Case]):
    log: list = []
    case = build(log)
    before = describe(case.args)
    try:
        result = ("ok", describe(getattr(formatter, case.method)(*case.args, **case.kwargs)))
    except Exception as exc:  # noqa: BLE001 - the exception is the observed outcome
        result = ("raise", type(exc).__name__, str(exc))
    after = describe(case.args)
    if not case.mutates:
        assert after == before, "the formatter modified its input"
    return {"result": result, "log": log, "input_after": after}


# ------------------------------------------------------------------ the cases


def unique(text: str) -> str:
    # A fresh (non-interned) text object, so that freeing it early is observable.
    return (text + "\x00")[:-1]


def answers_cleared_by_answer_text(log):
    answers = [{"text": unique("first")}, {"text": None, "summaryText": unique("S2")}, {"text": unique("third")}]
    answers[1]["text"] = Probe("t", log, text="- item", effect=answers.clear)
    return Case("format_data", ({"answers": answers, "questions": ["Q1", "Q2", "Q3"]},))


def answers_extended_by_summary(log):
    answers = [{"text": unique("a")}, {"text": unique("b")}]
    answers[0]["summaryText"] = Probe("s", log, text="sum", effect=lambda: answers.append({"text": unique("late")}))
    return Case("format_data", ({"answers": answers},))


def answer_record_emptied_by_its_text(log):
    record = {"productLinks": [unique("p1")], "recommendedAsins": [unique("r1")], "summaryText": unique("S")}
    record["text"] = Probe("t", log, text="body", effect=record.clear)
    return Case("format_data", ({"answers": [record, {"text": unique("next")}]},))


def blocks_cleared_by_paragraph_text(log):
    blocks = [{"type": "list_item", "text": unique("a")}, {"type": "paragraph"},
              {"type": "list_item", "text": unique("c")}]
    blocks[1]["text"] = Probe("p", log, text="para", effect=blocks.clear)
    return Case("format_data", ({"answers": [{"text": unique("fallback"), "blocks": blocks}]},))


def blocks_refilled_during_assembly(log):
    blocks = [{"type": "heading", "level": 2}, {"type": "paragraph", "text": unique("gone")}]

    def refill():
        blocks[:] = [{"type": "list_item", "text": unique(f"new {i}")} for i in range(3)]

    blocks[0]["text"] = Probe("h", log, text="Head", effect=refill)
    return Case("_build_structured_answer_blocks", (blocks,))


def product_links_cleared_by_asin(log):
    links = [{"asin": None, "title": unique("T")}, unique("plain"), {"title": unique("after")}]
    links[0]["asin"] = Probe("asin", log, text="B0", effect=links.clear)
    return Case("format_data", ({"answers": [{"productLinks": links, "text": unique("x")}]},))


def link_object_emptied_by_its_asin(log):
    item = {"title": unique("T"), "href": unique("H"), "source": unique("src"), "description": unique("D")}
    item["asin"] = Probe("asin", log, text="B0", effect=item.clear)
    return Case("_format_link_items", ([item, unique("tail")],), {"include_source": True})


def recommended_replaced_by_source(log):
    items = [{"asin": unique("A1"), "source": None}, unique("old")]
    items[0]["source"] = Probe("src", log, text="s", effect=lambda: items.__setitem__(slice(None), [unique("n1")]))
    return Case("_format_link_items", (items,), {"include_source": True})


def cells_cleared_by_first_cell(log):
    cells = [None, unique("b"), unique("c")]
    cells[0] = Probe("cell", log, text="a", effect=cells.clear)
    return Case("_normalize_structured_row", ({"type": "table_row", "cells": cells},))


def cells_cleared_inside_assembly(log):
    cells = [unique("x"), None, unique("z")]
    cells[1] = Probe("cell", log, text="y", effect=cells.clear)
    blocks = [{"type": "table_row", "cells": [unique("h1"), unique("h2")]}, {"type": "table_row", "cells": cells}]
    return Case("_build_structured_answer_blocks", (blocks,))


def render_items_cleared_by_item(log):
    items = [None, unique("b"), unique("c")]
    items[0] = Probe("item", log, text="a", effect=items.clear)
    return Case("_render_blocks", ([{"type": "list", "items": items}, {"type": "text", "text": unique("t")}],))


def render_items_grown_by_item(log):
    items = [None, unique("b")]
    items[0] = Probe("item", log, text="a", effect=lambda: items.extend([unique("c"), unique("d")]))
    return Case("_render_blocks", ([{"type": "list", "items": items}],))


def render_header_cleared_by_header_cell(log):
    header = [None, unique("B"), unique("C")]
    header[0] = Probe("head", log, text="A", effect=header.clear)
    return Case("_render_blocks", ([{"type": "table", "header": header, "rows": [[unique("1"), unique("2")]]}],))


def render_rows_cleared_by_cell(log):
    rows = [[None, unique("y")], [unique("p"), unique("q")]]
    rows[0][0] = Probe("cell", log, text="x", effect=rows.clear)
    return Case("_render_blocks", ([{"type": "table", "header": [unique("A"), unique("B")], "rows": rows}],))


def render_row_cleared_by_its_cell(log):
    row = [None, unique("y"), unique("z")]
    row[0] = Probe("cell", log, text="x", effect=row.clear)
    return Case("_render_blocks", ([{"type": "table", "header": [unique("A")], "rows": [row, [unique("w")]]}],))


def render_blocks_cleared_by_text(log):
    blocks = [{"type": "text"}, {"type": "text", "text": unique("b")}, {"type": "list", "items": [unique("i")]}]
    blocks[0]["text"] = Probe("text", log, text="a", effect=blocks.clear)
    return Case("_render_blocks", (blocks,))


def render_blocks_cleared_by_heading_text(log):
    blocks = [{"type": "heading", "level": 1}, {"type": "text", "text": unique("b")}]
    blocks[0]["text"] = Probe("text", log, text="H", effect=blocks.clear)
    return Case("_render_blocks", (blocks,))


def questions_cleared_by_question(log):
    questions = [unique("Q1"), {"question": None}, unique("Q3")]
    questions[1]["question"] = Probe("q", log, text="Q2", effect=questions.clear)
    return Case("format_data", ({"questions": questions, "answers": [{}, {}, {}]},))


def structured_from_text_then_cleared(log):
    blocks = [{"kind": "text"}, {"kind": "heading", "text": unique("H"), "level": 1}]
    blocks[0]["text"] = unique("p")
    blocks[0]["kind"] = Probe("kind", log, effect=blocks.clear, effect_on=("eq",))
    return Case("_to_structured_blocks", (blocks,))


# Truth values and comparisons that raise.

def raising(where, *, raise_on=("bool",), cls=Probe):
    def build(log):
        p = cls(where, log, raise_on=raise_on)
        cases = {
            "answer-text": lambda: Case("format_data", ({"answers": [{"text": p}]},), mutates=False),
            "summary": lambda: Case("format_data", ({"answers": [{"summaryText": p}]},), mutates=False),
            "link-asin": lambda: Case("_format_link_items", ([{"asin": p}],), {"include_source": False}, mutates=False),
            "include-source": lambda: Case("_format_link_items", ([{"source": unique("s")}],),
                                           {"include_source": p}, mutates=False),
            "question": lambda: Case("_normalize_question_list", ([{"question": p}],), mutates=False),
            "cell": lambda: Case("_normalize_structured_row", ({"cells": [unique("a"), p]},), mutates=False),
            "block-text": lambda: Case("_build_structured_answer_blocks", ([{"type": "paragraph", "text": p}],),
                                       mutates=False),
            "render-text": lambda: Case("_render_blocks", ([{"type": "text", "text": p}],), mutates=False),
            "block-type": lambda: Case("_build_structured_answer_blocks", ([{"type": p, "text": unique("t")}],),
                                       mutates=False),
            "block-type-empty-text": lambda: Case("_build_structured_answer_blocks", ([{"type": p}],),
                                                  mutates=False),
            "render-type": lambda: Case("_render_blocks", ([{"type": p, "text": unique("t")}],), mutates=False),
            "kind": lambda: Case("_to_structured_blocks", ([{"kind": p, "text": unique("t")}],), mutates=False),
            # Only identity with False is tested, and a level is only type-tested: no truth value asked.
            "is-success": lambda: Case("format_data", ({"answers": [{"isSuccess": p, "text": unique("x")}]},),
                                       mutates=False),
            "level": lambda: Case("_render_blocks", ([{"type": "heading", "text": unique("h"), "level": p}],),
                                  mutates=False),
            "render-item": lambda: Case("_render_blocks", ([{"type": "list", "items": [p]}],), mutates=False),
        }
        return cases[where]()

    return build


def ne_differs_from_not_eq(log):
    # != is asked as such: this type says "not different from table_row" yet equals only "paragraph".
    kind = NeProbe("type", log, equal_to={"paragraph"})
    return Case("_build_structured_answer_blocks", ([{"type": kind}, {"type": "paragraph", "text": unique("p")}],),
                mutates=False)


def eq_clears_structured_blocks(log):
    blocks = [{"type": None, "text": unique("a")}, {"type": "paragraph", "text": unique("b")}]
    blocks[0]["type"] = Probe("type", log, effect=blocks.clear, effect_on=("eq",), equal_to={"list_item"})
    return Case("_build_structured_answer_blocks", (blocks,))


def eq_grows_structured_blocks(log):
    blocks = [{"type": None, "text": unique("a")}]
    grow = lambda: blocks.extend({"type": "list_item", "text": unique(f"n{i}")} for i in range(3))  # noqa: E731
    blocks[0]["type"] = Probe("type", log, effect=grow, effect_on=("eq",), equal_to={"heading"})
    return Case("_build_structured_answer_blocks", (blocks,))


def eq_clears_render_blocks(log):
    blocks = [{"type": None, "text": unique("a")}, {"type": "text", "text": unique("b")}]
    blocks[0]["type"] = Probe("type", log, effect=blocks.clear, effect_on=("eq",))
    return Case("_render_blocks", (blocks,))


def eq_clears_blocks_via_format_data(log):
    blocks = [{"type": None, "text": unique("a")}, {"type": "paragraph", "text": unique("b")}]
    blocks[0]["type"] = Probe("type", log, effect=blocks.clear, effect_on=("eq",), equal_to={"paragraph"})
    return Case("format_data", ({"answers": [{"blocks": blocks, "text": unique("fallback")}]},))


# Dict subclasses whose `get` logs and mutates.

def get_clears_product_links(log):
    links = [None, unique("plain"), {"asin": unique("B2")}]
    links[0] = LoggingDict(asin=unique("B1"), href=unique("H"), label="link", log=log, effect=lambda: links.clear())
    return Case("format_data", ({"answers": [{"productLinks": links}]},))


def get_empties_link_object(log):
    item = LoggingDict(asin=unique("B1"), title=unique("T"), href=unique("H"), source=unique("s"),
                       description=unique("D"), label="link", log=log)
    item.effect = item.clear
    return Case("_format_link_items", ([item],), {"include_source": True})


def get_reads_counted_link_object(log):
    item = CountingDict(asin=unique("B1"), href=unique("H"), source=unique("s"), label="link", log=log)
    return Case("_format_link_items", ([item, CountingDict(title=unique("T"), label="l2", log=log)],),
                {"include_source": True}, mutates=False)


def get_clears_questions(log):
    questions = [unique("Q1"), None, unique("Q3")]
    questions[1] = LoggingDict(text=unique("Q2"), label="q", log=log, effect=lambda: questions.clear())
    return Case("format_data", ({"questions": questions, "answers": [{}, {}, {}]},))


def get_on_upload_payload(log):
    record = LoggingDict(questions=[unique("P1")], label="record", log=log)
    payload = LoggingDict(records=[record, {"questions": [unique("P2")]}], label="payload", log=log)
    payload.effect = lambda: payload.__setitem__("records", [{"questions": [unique("swapped")]}])
    return Case("format_data", ({"upload_payload": payload, "answers": [{}]},))


def get_clears_structured_blocks(log):
    blocks = [None, {"type": "paragraph", "text": unique("b")}]
    blocks[0] = LoggingDict(type="list_item", text=unique("a"), label="block", log=log, effect=lambda: blocks.clear())
    return Case("_build_structured_answer_blocks", (blocks,))


def get_counted_structured_heading(log):
    block = CountingDict(type="heading", text=unique("H"), level=3, label="block", log=log)
    return Case("_build_structured_answer_blocks", ([block],), mutates=False)


def get_clears_render_blocks(log):
    blocks = [None, {"type": "text", "text": unique("b")}]
    blocks[0] = LoggingDict(type="heading", text=unique("H"), level=1, label="block", log=log,
                            effect=lambda: blocks.clear())
    return Case("_render_blocks", (blocks,))


def get_counted_render_table(log):
    block = CountingDict(type="table", header=[unique("A")], rows=[[unique("1")]], label="block", log=log)
    return Case("_render_blocks", ([block, CountingDict(type="text", text=unique("t"), label="b2", log=log)],),
                mutates=False)


def get_empties_intermediate_block(log):
    block = LoggingDict(kind="table", header=[unique("A"), unique("B")], rows=[[unique("1"), unique("2")]],
                        label="block", log=log)
    block.effect = block.clear
    return Case("_to_structured_blocks", ([block, {"kind": "list_item", "text": unique("x")}],))


def link_title_truth_tested_once(log):
    # `title or href or ""` asks the truth of a truthy title once.
    item = {"title": Probe("title", log, text="T"), "href": Probe("href", log, text="H")}
    return Case("_format_link_items", ([item, {"title": Probe("t2", log, truth=False), "href": unique("h2")}],),
                {"include_source": False}, mutates=False)


CASES: dict[str, Callable[[list], Case]] = {
    "answers-cleared-by-answer-text": answers_cleared_by_answer_text,
    "answers-extended-by-summary": answers_extended_by_summary,
    "answer-record-emptied-by-its-text": answer_record_emptied_by_its_text,
    "blocks-cleared-by-paragraph-text": blocks_cleared_by_paragraph_text,
    "blocks-refilled-during-assembly": blocks_refilled_during_assembly,
    "product-links-cleared-by-asin": product_links_cleared_by_asin,
    "link-object-emptied-by-its-asin": link_object_emptied_by_its_asin,
    "recommended-replaced-by-source": recommended_replaced_by_source,
    "cells-cleared-by-first-cell": cells_cleared_by_first_cell,
    "cells-cleared-inside-assembly": cells_cleared_inside_assembly,
    "render-items-cleared-by-item": render_items_cleared_by_item,
    "render-items-grown-by-item": render_items_grown_by_item,
    "render-header-cleared-by-header-cell": render_header_cleared_by_header_cell,
    "render-rows-cleared-by-cell": render_rows_cleared_by_cell,
    "render-row-cleared-by-its-cell": render_row_cleared_by_its_cell,
    "render-blocks-cleared-by-text": render_blocks_cleared_by_text,
    "render-blocks-cleared-by-heading-text": render_blocks_cleared_by_heading_text,
    "questions-cleared-by-question": questions_cleared_by_question,
    "intermediate-blocks-cleared-by-kind-eq": structured_from_text_then_cleared,
    "ne-differs-from-not-eq": ne_differs_from_not_eq,
    "eq-clears-structured-blocks": eq_clears_structured_blocks,
    "eq-grows-structured-blocks": eq_grows_structured_blocks,
    "eq-clears-render-blocks": eq_clears_render_blocks,
    "eq-clears-blocks-via-format-data": eq_clears_blocks_via_format_data,
    "get-clears-product-links": get_clears_product_links,
    "get-empties-link-object": get_empties_link_object,
    "get-reads-counted-link-object": get_reads_counted_link_object,
    "get-clears-questions": get_clears_questions,
    "get-on-upload-payload": get_on_upload_payload,
    "get-clears-structured-blocks": get_clears_structured_blocks,
    "get-counted-structured-heading": get_counted_structured_heading,
    "get-clears-render-blocks": get_clears_render_blocks,
    "get-counted-render-table": get_counted_render_table,
    "get-empties-intermediate-block": get_empties_intermediate_block,
    "link-title-truth-tested-once": link_title_truth_tested_once,
}
for _where in ["answer-text", "summary", "link-asin", "include-source", "question", "cell", "block-text",
               "render-text", "is-success", "level", "render-item"]:
    CASES[f"bool-raises-{_where}"] = raising(_where)
for _where in ["block-type", "block-type-empty-text", "render-type", "kind"]:
    CASES[f"eq-raises-{_where}"] = raising(_where, raise_on=("eq",))
    CASES[f"eq-result-truth-raises-{_where}"] = raising(_where, raise_on=(), cls=FalsyEqProbe)
for _where in ["answer-text", "cell", "render-item", "render-text"]:
    CASES[f"str-raises-{_where}"] = raising(_where, raise_on=("str", "format"))


@pytest.mark.parametrize("build", CASES.values(), ids=CASES.keys())
def test_hostile_input_matches_baseline(build):
    for _ in range(ROUNDS):
        expected = run(BASE, build)
        actual = run(NATIVE, build)
        assert actual["result"] == expected["result"]
        assert actual["log"] == expected["log"], "different protocol calls or order"
        assert actual["input_after"] == expected["input_after"]
        churn(collect=True)


@pytest.mark.parametrize("build", CASES.values(), ids=CASES.keys())
def test_hostile_objects_are_released(build):
    # Everything the native call touched must be freeable afterwards: no leaked references.
    log: list = []
    case = build(log)
    refs = _weakrefs(case.args) + _weakrefs(case.kwargs)
    assert refs, "case has no weak-referenceable objects"
    try:
        result = getattr(NATIVE, case.method)(*case.args, **case.kwargs)
    except Exception:  # noqa: BLE001 - only the references matter here
        result = None
    del result, case
    for _ in range(3):
        gc.collect()
    alive = [ref() for ref in refs if ref() is not None]
    assert not alive, f"{len(alive)} object(s) still referenced after the call"


def _weakrefs(value, seen=None) -> list:
    seen = set() if seen is None else seen
    if id(value) in seen:
        return []
    seen.add(id(value))
    refs = []
    if isinstance(value, (Probe, LoggingDict)):
        refs.append(weakref.ref(value))
    if isinstance(value, dict):
        for item in dict.values(value):
            refs += _weakrefs(item, seen)
    elif isinstance(value, (list, tuple)):
        for item in value:
            refs += _weakrefs(item, seen)
    return refs


REFCOUNT_CALLS = [
    ("format_data", ({"questions": ["Q"], "answers": [
        {"text": "# T\n- a\n  b\n| a | b |\n|---|---|\n| 1 | 2 | 3 |\n```\ncode\n```", "summaryText": "S",
         "productLinks": ["p", {"asin": "B", "href": "h", "description": 5}],
         "recommendedAsins": [{"source": "s", "title": 1.5}]},
        {"blocks": [{"type": "table_row", "cells": ["h", None]}, {"type": "table_row", "text": "x | y | z"},
                    {"type": "heading", "text": "H", "level": 10**30}, {"type": "list_item", "text": 7}]},
        None, "junk"]},), {}),
    ("_render_blocks", ([{"type": "table", "header": ["A", 1], "rows": [["x", 2], "no", ["y"]]},
                         {"type": "list", "items": ("i", None)}, {"type": "heading", "text": None, "level": True}],), {}),
    ("_render_blocks", ([{"type": "list", "items": 5}],), {}),
    ("_render_blocks", ([{"type": "text", "text": "a"}, 3],), {}),
    ("_to_structured_blocks", ([{"kind": "table", "header": ["A", "B"], "rows": [["1", "2"], "junk"]}, {"text": "p"}],), {}),
    ("_to_structured_blocks", ([{"kind": "table", "header": ["A", 2]}],), {}),
    ("_normalize_row_cells", (["a", "b", "c", "d"], 2), {}),
    ("_normalize_row_cells", (["a", "b"], 2), {}),
    ("_parse_markdown_table", (["| a | b |", "|---|---|", "| 1 | 2 |", "|---|---|"], 0), {}),
    ("_format_link_items", (["  x  ", {"href": "h"}, 5],), {"include_source": True}),
    ("_question_at", (["A", "B"], 2), {}),
    ("_question_at", ([5], 1), {}),
]


@pytest.mark.parametrize(("method", "args", "kwargs"), REFCOUNT_CALLS,
                         ids=[f"{m}-{i}" for i, (m, _, _) in enumerate(REFCOUNT_CALLS)])
def test_calls_keep_input_reference_counts(method, args, kwargs):
    objects = _all_objects((args, kwargs))
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(20):
        try:
            result = getattr(NATIVE, method)(*args, **kwargs)
        except Exception:  # noqa: BLE001 - error paths must balance their references too
            result = None
        del result
    gc.collect()
    after = [sys.getrefcount(obj) for obj in objects]
    changed = [(obj, b, a) for obj, b, a in zip(objects, before, after) if a != b]
    assert not changed, f"reference counts drifted: {changed[:3]!r}"


def _all_objects(value, out=None) -> list:
    out = [] if out is None else out
    out.append(value)
    if isinstance(value, dict):
        for key, item in value.items():
            _all_objects(key, out)
            _all_objects(item, out)
    elif isinstance(value, (list, tuple)):
        for item in value:
            _all_objects(item, out)
    return out


# Loose values that are instances of built-in subclasses with their own protocol methods.
# Only the arguments the method table annotates dict/list/str must be exact; nested values
# are read through their own methods, as the baseline does.


class Text(str):
    def __str__(self):
        return f"S<{str.__str__(self)}>"

    def strip(self, *args):
        return f"STRIP<{str.strip(self, *args)}>"

    def __format__(self, spec):
        return f"F<{str.__str__(self)}>"

    def __eq__(self, other):
        return str.__eq__(self, other) or other == "paragraph"

    __hash__ = str.__hash__


class Number(int):
    def __repr__(self):
        return f"I<{int(self)}>"

    def __add__(self, other):
        return Number(int(self) + other + 1)


class Real(float):
    def __repr__(self):
        return f"R<{float(self)!r}>"


class Walk(list):
    """Iterates with an extra leading item and reports one more item than it holds."""

    def __iter__(self):
        return iter(["ITER", *list.__iter__(self)])

    def __len__(self):
        return list.__len__(self) + 1


SUBCLASS_CALLS = [
    ("answer-text", "format_data", ({"answers": [{"text": Text(" hi "), "summaryText": Text("s")}]},), {}),
    ("question-str", "_normalize_question_list", ([Text(" q "), {"question": Text(" r ")}],), {}),
    ("link-values", "_format_link_items", ([Text(" l "), {"asin": Real(1.5), "title": Number(5), "source": Text("s")}],),
     {"include_source": True}),
    ("heading-level", "_build_structured_answer_blocks", ([{"type": "heading", "text": "h", "level": Number(3)}],), {}),
    ("render-level", "_render_blocks", ([{"type": "heading", "text": Text("h"), "level": Number(3)}],), {}),
    ("render-items", "_render_blocks", ([{"type": "list", "items": [Text("i"), Number(4), Real(2.0)]}],), {}),
    ("render-table", "_render_blocks",
     ([{"type": "table", "header": [Text("h"), Number(1)], "rows": [[Text("c"), Real(0.5)]]}],), {}),
    ("render-text", "_render_blocks", ([{"type": "text", "text": Text("t")}, {"type": Text("x"), "text": "u"}],), {}),
    ("cells", "_normalize_structured_row", ({"cells": [Text("c"), Number(3)]},), {}),
    ("row-text", "_normalize_structured_row", ({"text": Text("a|b")},), {}),
    ("type-eq", "_build_structured_answer_blocks", ([{"type": Text("x"), "text": "t"}],), {}),
    ("kind-eq", "_to_structured_blocks", ([{"kind": Text("x"), "text": Text("t"), "level": Number(2)}],), {}),
    ("answers-walk", "format_data", ({"answers": Walk([{"text": "a"}])},), {}),
    ("answers-empty-walk", "format_data", ({"answers": Walk()},), {}),
    ("questions-walk", "format_data", ({"answers": [{}, {}], "questions": Walk(["q"])},), {}),
    ("records-walk", "format_data", ({"answers": [{}], "upload_payload": {"records": Walk([{"questions": ["p"]}])}},), {}),
    ("links-walk", "_format_link_items", (Walk(["x"]),), {"include_source": False}),
    ("cells-walk", "_normalize_structured_row", ({"cells": Walk(["c"])},), {}),
    ("render-walk", "_render_blocks", ([{"type": "list", "items": Walk(["i"])},
                                        {"type": "table", "header": Walk(["h"]), "rows": Walk([Walk(["r"])])}],), {}),
    ("intermediate-walk", "_to_structured_blocks", ([{"kind": "table", "header": Walk(["h"]), "rows": Walk([["r"]])}],), {}),
]


@pytest.mark.parametrize(("method", "args", "kwargs"), [c[1:] for c in SUBCLASS_CALLS], ids=[c[0] for c in SUBCLASS_CALLS])
def test_builtin_subclass_values_match_baseline(method, args, kwargs):
    def observe(formatter):
        try:
            return ("ok", describe(getattr(formatter, method)(*args, **kwargs)))
        except Exception as exc:  # noqa: BLE001 - the exception is the observed outcome
            return ("raise", type(exc).__name__, str(exc))

    snapshot = describe((args, kwargs))
    assert observe(NATIVE) == observe(BASE)
    assert describe((args, kwargs)) == snapshot


# Probes at random places of a generated result: every conversion, truth test and
# comparison the formatter makes on them must come in the same order as in the baseline.

@dataclass(frozen=True)
class ProbeSpec:
    label: str
    text: str
    truth: bool
    equal_to: frozenset


def materialize(value, log):
    if isinstance(value, ProbeSpec):
        return Probe(value.label, log, text=value.text, truth=value.truth, equal_to=value.equal_to)
    if isinstance(value, list):
        return [materialize(item, log) for item in value]
    if isinstance(value, dict):
        return {key: materialize(item, log) for key, item in value.items()}
    return value


TYPE_NAMES = ["heading", "paragraph", "list_item", "table_row", "list", "table", "text"]
short_text = st.sampled_from(["", " ", "a", " b ", "- item", "# H", "a | b", "|---|---|", "0", "x\ny", "\u3000"])
probe = st.builds(
    ProbeSpec,
    label=st.sampled_from("pqrstuvw"),
    text=short_text,
    truth=st.booleans(),
    equal_to=st.frozensets(st.sampled_from(TYPE_NAMES), max_size=2),
)
value = st.one_of(probe, probe, short_text, st.none(), st.integers(-1, 7), st.booleans())
record_block = st.fixed_dictionaries(
    {"type": st.one_of(probe, st.sampled_from(TYPE_NAMES))},
    optional={"text": value, "level": value, "cells": st.lists(value, max_size=3)},
)
plain_value = st.one_of(short_text, st.none(), st.integers(-1, 7), st.booleans())
# A probe as `title` has its own focused case (link-title-truth-tested-once).
link = st.one_of(value, st.fixed_dictionaries(
    {}, optional={"title": plain_value, **{k: value for k in ("asin", "href", "source", "description")}},
))
record = st.fixed_dictionaries(
    {},
    optional={
        "text": value,
        "isSuccess": st.one_of(probe, st.just(False)),
        "blocks": st.lists(record_block, max_size=4),
        "productLinks": st.lists(link, max_size=3),
        "recommendedAsins": st.lists(link, max_size=3),
        "summaryText": value,
    },
)
probed_result = st.fixed_dictionaries(
    {"answers": st.lists(st.one_of(record, record, value), min_size=1, max_size=3)},
    optional={"questions": st.lists(st.one_of(value, st.fixed_dictionaries({}, optional={"question": value, "text": value})), max_size=3)},
)
display = st.fixed_dictionaries(
    {"type": st.one_of(probe, st.sampled_from(TYPE_NAMES))},
    optional={"text": value, "level": value, "items": st.lists(value, max_size=3),
              "header": st.lists(value, max_size=3), "rows": st.lists(st.lists(value, max_size=3), max_size=2)},
)

intermediate = st.fixed_dictionaries(
    {"kind": st.one_of(probe, st.sampled_from(["heading", "list_item", "table", "text"]))},
    optional={"text": value, "level": value, "header": st.lists(st.one_of(short_text, probe), max_size=3),
              "rows": st.lists(st.lists(short_text, max_size=3), max_size=2)},
)


def observe_with_log(formatter, method, spec):
    log: list = []
    args = materialize(spec, log)
    try:
        result = ("ok", describe(getattr(formatter, method)(*args)))
    except Exception as exc:  # noqa: BLE001 - the exception is the observed outcome
        result = ("raise", type(exc).__name__, str(exc))
    return result, log


@settings(max_examples=200, deadline=None, database=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.one_of(
    st.tuples(st.just("format_data"), st.tuples(probed_result)),
    st.tuples(st.just("_render_blocks"), st.tuples(st.lists(display, max_size=4))),
    st.tuples(st.just("_build_structured_answer_blocks"), st.tuples(st.lists(record_block, max_size=5))),
    st.tuples(st.just("_to_structured_blocks"), st.tuples(st.lists(intermediate, max_size=4))),
))
def test_probe_calls_come_in_baseline_order(call):
    method, spec = call
    assert observe_with_log(NATIVE, method, list(spec)) == observe_with_log(BASE, method, list(spec))


# ---------------------------------------------------------------- re-entry on small thread stacks

REENTRY_CHILD = """
import sys, threading
from quorin.amazon_rufus.services.answer_report_formatter import AnswerReportFormatter

class Again:
    def __str__(self):
        return AnswerReportFormatter().format_data({"answers": [{"summaryText": Again()}]})

class Reparses(AnswerReportFormatter):
    def _parse_markdown_heading(self, line):
        return self._build_text_fallback_blocks("x\\n" + line)

class Retables(AnswerReportFormatter):
    def _parse_pipe_row(self, line):
        return self._parse_markdown_table(["a|b", "-|-"], 0)

CALLS = {
    "format_data from __str__": lambda: AnswerReportFormatter().format_data({"answers": [{"summaryText": Again()}]}),
    "parser from a recogniser": lambda: Reparses()._build_text_fallback_blocks("hello"),
    "table step from a helper": lambda: Retables()._parse_markdown_table(["a|b", "-|-"], 0),
}

def run(call):
    try:
        call()
    except RecursionError:
        print("RecursionError")
    else:
        print("returned")

threading.stack_size(int(sys.argv[1]) * 1024)
for call in CALLS.values():
    thread = threading.Thread(target=run, args=(call,))
    thread.start()
    thread.join()
"""


@pytest.mark.parametrize("stack_kib", [256, 512, 1024])
def test_unbounded_reentry_ends_in_recursion_error_on_small_stacks(stack_kib):
    import subprocess

    proc = subprocess.run([sys.executable, "-c", REENTRY_CHILD, str(stack_kib)], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["RecursionError"] * 3


# ---------------------------------------------------------------- Ctrl-C inside a long native loop

INTERRUPT_CHILD = """
import signal, sys
from quorin.amazon_rufus.services.answer_report_formatter import AnswerReportFormatter

block = "a paragraph line\\n- a list item\\n  continued\\n| a | b |\\n| --- | --- |\\n| 1 | 2 |\\n\\n## heading\\n"
text = block * (40 * 2**20 // len(block))
data = {"answers": [{"text": text}]}
before = sys.getrefcount(text)

def on_alarm(signum, frame):
    raise KeyboardInterrupt

signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.02)
try:
    AnswerReportFormatter().format_data(data)
except KeyboardInterrupt as exc:
    # Raised inside the call (its frames are in the traceback), not after it returned.
    tb, files = exc.__traceback__, []
    while tb:
        files.append(tb.tb_frame.f_code.co_filename)
        tb = tb.tb_next
    print("interrupted-inside" if "amazon_rufus/services/answer_report_formatter" in files else "interrupted-after")
else:
    print("finished")
signal.setitimer(signal.ITIMER_REAL, 0)
print(sys.getrefcount(text) == before)
print(AnswerReportFormatter().format_data({"answers": [{"text": "after"}]}).splitlines()[-1])
"""


def test_a_signal_stops_a_long_native_call_cleanly():
    import subprocess

    proc = subprocess.run([sys.executable, "-c", INTERRUPT_CHILD], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["interrupted-inside", "True", "after"]


# A signal handler that returns normally runs Python code in the middle of a fused route: here it formats
# reports of its own (tables, fences with blank lines, front-end blocks), which use the same pending-state
# buffers and row scratch, and both the inner and the outer reports must come out whole.
HANDLER_REENTRY_CHILD = """
import signal
from quorin.amazon_rufus.services.answer_report_formatter import AnswerReportFormatter

formatter = AnswerReportFormatter()
block = "para\\n- item\\n  more\\n| a | b | c |\\n| --- | --- | --- |\\n| 1 | 2 |\\n```\\nx\\n\\n\\ny\\n```\\n"
blocks = [{"type": "table_row", "cells": ["h", "i"]}, {"type": "table_row", "cells": ["1", "2", "3"]},
          {"type": "list_item", "text": "li"}, {"type": "paragraph", "text": "p"}]
outer = {"answers": [{"text": block * (6 * 2**20 // len(block))}, {"text": "t", "blocks": blocks * 50000}]}
inner = {"answers": [{"text": block * 20}, {"text": "t", "blocks": blocks * 20}]}
expected_outer, expected_inner = formatter.format_data(outer), formatter.format_data(inner)
inner_results = []

def on_alarm(signum, frame):
    inner_results.append(formatter.format_data(inner))

signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
got = formatter.format_data(outer)
signal.setitimer(signal.ITIMER_REAL, 0)
print(got == expected_outer, len(inner_results) > 3, all(r == expected_inner for r in inner_results))
"""


def test_signal_handler_reentry_inside_the_fused_routes():
    import subprocess

    proc = subprocess.run([sys.executable, "-c", HANDLER_REENTRY_CHILD], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["True", "True", "True"]


# A handler that empties the front-end blocks between two of them: the list items and the table row still
# pending keep their texts, which nothing else holds any more.
HANDLER_CLEARS_BLOCKS_CHILD = """
import signal
from quorin.amazon_rufus.services.answer_report_formatter import AnswerReportFormatter

blocks = [{"type": "table_row", "cells": ["head %d" % 1, "cell %d" % 2]}]
blocks += [{"type": "list_item", "text": "item %d" % i} for i in range(200000)]
data = {"answers": [{"text": "t", "blocks": blocks}]}

def on_alarm(signum, frame):
    for block in blocks:
        block.clear()
    blocks.clear()

signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.001)
report = AnswerReportFormatter().format_data(data)
signal.setitimer(signal.ITIMER_REAL, 0)
lines = report.split("\\n")
items = [line for line in lines if line.startswith("- ")]
# The handler ran inside the call: the list stopped short, and what was pending came out whole.
print(not blocks, 0 < len(items) < 200000, "head 1 | cell 2" in lines, items == ["- item %d" % i for i in range(len(items))])
"""


def test_signal_handler_emptying_the_blocks_leaves_pending_texts_whole():
    import subprocess

    proc = subprocess.run([sys.executable, "-c", HANDLER_CLEARS_BLOCKS_CHILD], capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["True", "True", "True", "True"]


def _utf8_form(text: str) -> bytes:
    """The UTF-8 form the interpreter caches inside a str (PyUnicode_AsUTF8AndSize)."""
    import ctypes

    as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
    as_utf8.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.c_ssize_t)]
    as_utf8.restype = ctypes.c_void_p
    size = ctypes.c_ssize_t()
    return ctypes.string_at(as_utf8(text, ctypes.byref(size)), size.value)


def _fresh(text: str) -> str:
    """An equal str that is a different object."""
    return "".join(list(text))


# What a caller may do with a report before it lets go of it. A report nobody holds any more may be
# written over by the next call; a report somebody holds, or one the interpreter knows by its text
# or has cached a form of, must never change.
REPORT_USES = {
    "kept": lambda report: report,
    "dropped": lambda report: None,
    "hashed": lambda report: hash(report) and None,
    "interned": lambda report: sys.intern(report) and None,
    "utf8_cached": lambda report: _utf8_form(report) and None,
}


@pytest.mark.parametrize("wide", ["é", "€"])
@pytest.mark.parametrize("use", REPORT_USES)
def test_a_later_report_never_changes_an_earlier_one(use, wide):
    formatter = native_module.AnswerReportFormatter()
    first_data = {"answers": [{"text": wide + "a" * 6000}]}
    second_data = {"answers": [{"text": wide + "b" * 6000}]}
    # A wide report first: the ones after it go back to their own width (and so to their own str).
    formatter.format_data({"answers": [{"text": "\U0001F600"}]})
    for _ in range(4):  # recent reports of this size and width, whatever ran before
        formatter.format_data(first_data)
    first = formatter.format_data(first_data)
    first_text, first_id = _fresh(first), id(first)
    held = REPORT_USES[use](first)
    del first
    second = formatter.format_data(second_data)
    if use == "dropped":
        # Written over, and kept for the next report in turn: the cases around do reach that path.
        assert id(second) == first_id and sys.getrefcount(second) == 3
    assert second == baseline_module.AnswerReportFormatter().format_data(second_data)
    assert second != first_text
    assert hash(second) == hash(_fresh(second))
    assert _utf8_form(second).decode("utf-8") == second
    if held is not None:
        assert held == first_text and hash(held) == hash(first_text)
    # The interpreter's table of interned strs still finds the first text as it was.
    assert sys.intern(_fresh(first_text)) == first_text


# Reports of every width, one after another: each is written at the width that the report before needed,
# maybe into its str, and must still come back as the str the interpreter itself would make of its text.
WIDTHS = {"ascii": "a", "latin-1": "é", "bmp": "€", "astral": "\U0001F600"}


@pytest.mark.parametrize("order", list(itertools.permutations(WIDTHS)), ids="-".join)
def test_reports_of_changing_widths_are_canonical_strs(order):
    formatter = native_module.AnswerReportFormatter()
    base = baseline_module.AnswerReportFormatter()
    for name in order + order[:1]:
        data = {"questions": ["Q"], "answers": [{"text": WIDTHS[name] + "x" * 6000}]}
        for _ in range(2):  # the second of a width may be written into the first's str
            report = formatter.format_data(data)
            made = _fresh(report)
            assert report == base.format_data(data)
            assert (report.isascii(), sys.getsizeof(report)) == (made.isascii(), sys.getsizeof(made))
            assert report.encode("utf-8", "surrogatepass") == made.encode("utf-8", "surrogatepass")


# Reports of very different sizes, each let go before the next: a small one is written into the large
# report's str and copied out of it, and the large str stays for the next large report.
@pytest.mark.parametrize("sizes", [(40000, 6000, 40000), (6000, 40000, 7000, 30000, 40000)], ids=str)
def test_reports_of_changing_sizes_come_out_whole(sizes):
    formatter = native_module.AnswerReportFormatter()
    base = baseline_module.AnswerReportFormatter()
    for i, size in enumerate(sizes):
        data = {"questions": ["Q"], "answers": [{"text": "é" + "xyz\n" * (size // 4) + str(i)}]}
        report = formatter.format_data(data)
        assert report == base.format_data(data)
        assert sys.getsizeof(report) == sys.getsizeof(_fresh(report))
        del report


def _trim_heap() -> bool:
    """Hands the allocator's free pages back to the system (glibc), so that new room is not in memory."""
    import ctypes

    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        return False
    return True


# A large report goes into the allocator's room when all of it is in memory, and into the last report's
# str when not (after the heap is trimmed): either way whole, and the same str the interpreter would make.
@pytest.mark.parametrize("trimmed", [False, True], ids=["room in memory", "heap trimmed"])
def test_large_reports_in_new_or_kept_strs(trimmed):
    formatter = native_module.AnswerReportFormatter()
    base = baseline_module.AnswerReportFormatter()
    first_data = {"answers": [{"text": "é" + "abcd\n" * 80000}]}
    second_data = {"answers": [{"text": "€" + "efgh\n" * 80000}]}
    for _ in range(2):  # recent reports of this size and width
        formatter.format_data(first_data)
    first = formatter.format_data(first_data)
    first_id = id(first)
    del first
    if trimmed and not _trim_heap():
        pytest.skip("no malloc_trim")
    second = formatter.format_data(second_data)
    if trimmed:
        assert id(second) == first_id  # the kept str: the path is reached
    assert second == base.format_data(second_data)
    made = _fresh(second)
    assert sys.getsizeof(second) == sys.getsizeof(made) and hash(second) == hash(made)
    assert _utf8_form(second) == made.encode("utf-8")
