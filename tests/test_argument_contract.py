"""Argument and result checks that every method applies around its body.

Every message is compared in full: callers match on these texts, and the
positional counts include ``self``.
"""

from __future__ import annotations

import ctypes
from decimal import Decimal
from fractions import Fraction

import pytest

mod = pytest.importorskip("quorin.amazon_rufus.services.answer_report_formatter")
Formatter = mod.AnswerReportFormatter

# name -> ([(parameter, check, valid value), ...], keyword-only parameter or None)
# check: "dict" / "list" / "str" = exact built-in type, "int" = int conversion, None = unchecked.
METHODS = {
    "format_data": ([("data", "dict", {})], None),
    "_extract_questions": ([("data", "dict", {})], None),
    "_normalize_question_list": ([("raw_questions", None, None)], None),
    "_question_at": ([("questions", "list", []), ("index", "int", 1)], None),
    "_format_section": ([("index", "int", 1), ("answer", None, None), ("question", "str", "Q")], None),
    "_format_answer_body": ([("index", "int", 1), ("answer", "dict", {})], None),
    "_format_product_links": ([("raw_links", None, None)], None),
    "_format_recommended_asins": ([("raw_items", None, None)], None),
    "_format_link_items": ([("raw_items", None, None)], "include_source"),
    "_build_answer_blocks": ([("text", "str", ""), ("structured_blocks", None, None)], None),
    "_build_structured_answer_blocks": ([("structured_blocks", "list", [])], None),
    "_normalize_structured_row": ([("block", "dict", {})], None),
    "_normalize_row_cells": ([("row", "list", []), ("width", "int", 0)], None),
    "_build_text_fallback_blocks": ([("text", "str", "")], None),
    "_to_structured_blocks": ([("blocks", "list", [])], None),
    "_render_blocks": ([("blocks", "list", [])], None),
    "_normalize_text_lines": ([("text", "str", "")], None),
    "_parse_markdown_heading": ([("line", "str", "")], None),
    "_parse_markdown_list_item": ([("line", "str", "")], None),
    "_parse_markdown_table": ([("lines", "list", []), ("start_index", "int", 0)], None),
    "_parse_pipe_row": ([("line", "str", "")], None),
    "_is_markdown_delimiter_row": ([("cells", "list", [])], None),
    "_collapse_blank_lines": ([("text", "str", "")], None),
}
ALL_METHODS = list(METHODS)


def valid_call(name):
    params, kwonly = METHODS[name]
    args = [value for _, _, value in params]
    kwargs = {kwonly: False} if kwonly else {}
    return args, kwargs


def count_message(name, given):
    total = len(METHODS[name][0]) + 1  # self included
    return f"{name}() takes exactly {total} positional arguments ({given} given)"


def type_message(param, expected, actual):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {actual})"


def raises_exactly(exc_type, message, call):
    with pytest.raises(exc_type) as info:
        call()
    assert str(info.value) == message
    return info.value


def has_note(exc):
    return bool(getattr(exc, "__notes__", None))


class DictSub(dict):
    pass


class ListSub(list):
    pass


class StrSub(str):
    pass


SUBCLASS_OF = {"dict": DictSub({}), "list": ListSub(), "str": StrSub("")}
SUBCLASS_NAME = {"dict": "DictSub", "list": "ListSub", "str": "StrSub"}
# A value of a different, unrelated type for each check.
FOREIGN = {"dict": ([], "list"), "list": ((), "tuple"), "str": (b"", "bytes"), "int": ("1", "str")}


# ---------------------------------------------------------------- positional count


@pytest.mark.parametrize("name", ALL_METHODS)
def test_too_few_positional(name):
    _, kwargs = valid_call(name)
    raises_exactly(TypeError, count_message(name, 1), lambda: getattr(Formatter(), name)(**kwargs))


@pytest.mark.parametrize("name", ALL_METHODS)
def test_too_many_positional(name):
    args, kwargs = valid_call(name)
    total = len(args) + 2
    raises_exactly(
        TypeError, count_message(name, total), lambda: getattr(Formatter(), name)(*args, "extra", **kwargs)
    )


@pytest.mark.parametrize("name", ALL_METHODS)
def test_unbound_without_self(name):
    _, kwargs = valid_call(name)
    raises_exactly(TypeError, count_message(name, 0), lambda: getattr(Formatter, name)(**kwargs))


@pytest.mark.parametrize("name", ALL_METHODS)
def test_valid_call_positional_and_keyword_agree(name):
    params, kwonly = METHODS[name]
    args, kwargs = valid_call(name)
    by_keyword = {p: v for p, _, v in params} | kwargs
    obj = Formatter()
    assert getattr(obj, name)(*args, **kwargs) == getattr(obj, name)(**by_keyword)
    assert getattr(Formatter, name)(obj, *args, **kwargs) == getattr(obj, name)(*args, **kwargs)


# ---------------------------------------------------------------- keywords


@pytest.mark.parametrize("name", ALL_METHODS)
def test_unknown_keyword(name):
    args, kwargs = valid_call(name)
    raises_exactly(
        TypeError,
        f"{name}() got an unexpected keyword argument 'bogus'",
        lambda: getattr(Formatter(), name)(*args, bogus=1, **kwargs),
    )


@pytest.mark.parametrize("name", ALL_METHODS)
def test_duplicate_keyword(name):
    args, kwargs = valid_call(name)
    first = METHODS[name][0][0][0]
    raises_exactly(
        TypeError,
        f"{name}() got multiple values for keyword argument '{first}'",
        lambda: getattr(Formatter(), name)(*args, **{first: args[0]}, **kwargs),
    )


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda o: Formatter.format_data(o, {}, self=o), "format_data() got multiple values for keyword argument 'self'"),
        (lambda o: o.format_data(self=o, data={}), "format_data() got multiple values for keyword argument 'self'"),
        (lambda o: o._format_link_items(None, include_source=1, raw_items=2),
         "_format_link_items() got multiple values for keyword argument 'raw_items'"),
    ],
    ids=["self-unbound", "self-bound", "raw_items"],
)
def test_duplicate_keyword_other_forms(call, message):
    raises_exactly(TypeError, message, lambda: call(Formatter()))


def test_keyword_only_passed_positionally_is_a_count_error():
    raises_exactly(
        TypeError,
        "_format_link_items() takes exactly 2 positional arguments (3 given)",
        lambda: Formatter()._format_link_items([], True),
    )


@pytest.mark.parametrize(
    "call",
    [
        lambda o: o._format_link_items([]),
        lambda o: o._format_link_items(raw_items=[]),
        lambda o: Formatter._format_link_items(o, []),
    ],
    ids=["positional", "keyword", "unbound"],
)
def test_keyword_only_missing(call):
    raises_exactly(
        TypeError, "_format_link_items() needs keyword-only argument include_source", lambda: call(Formatter())
    )


def test_keyword_only_accepted_by_keyword_in_any_order():
    obj = Formatter()
    items = [{"asin": "B1", "source": "s"}]
    assert obj._format_link_items(include_source=True, raw_items=items) == ["- B1 (s)"]
    assert obj._format_link_items(items, include_source=False) == ["- B1"]


_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]


def vectorcall(func, args, kwnames):
    """Call through the vectorcall protocol with arbitrary keyword names."""
    arr = (ctypes.py_object * len(args))(*args)
    return _vectorcall(func, arr, len(args) - len(kwnames), kwnames)


@pytest.mark.parametrize(
    "name, args, kwnames",
    [
        ("format_data", lambda o: [o, {}], (1,)),
        ("_question_at", lambda o: [o, [], 1], (b"index",)),
        ("_format_link_items", lambda o: [o, [], True], (None,)),
        ("_collapse_blank_lines", lambda o: [o, "", ""], ("text", 0)),
    ],
    ids=["int", "bytes", "none", "second-name"],
)
def test_non_string_keyword(name, args, kwnames):
    obj = Formatter()
    # Python-level calls reject non-string keywords before the callee runs,
    # so the vectorcall protocol is used directly.
    raises_exactly(
        TypeError,
        f"{name}() keywords must be strings",
        lambda: vectorcall(vars(Formatter)[name], args(obj), kwnames),
    )


def test_vectorcall_with_string_keywords_works():
    obj = Formatter()
    assert vectorcall(Formatter._question_at, [obj, ["A"], 1], ("index",)) == "A"
    assert vectorcall(Formatter._format_link_items, [obj, ["x"], 1], ("include_source",)) == ["- x"]
    assert vectorcall(obj._question_at, [["A", "B"], 2], ("index",)) == "B"


def test_non_string_keyword_through_bound_method():
    obj = Formatter()
    raises_exactly(
        TypeError, "format_data() keywords must be strings", lambda: vectorcall(obj.format_data, [{}], (1,))
    )


# ---------------------------------------------------------------- exact-type checks

TYPED_PARAMS = [
    (name, i, param, check)
    for name, (params, _) in METHODS.items()
    for i, (param, check, _) in enumerate(params)
    if check is not None
]
typed_params = pytest.mark.parametrize(
    "name, position, param, check", TYPED_PARAMS, ids=[f"{n}-{p}" for n, _, p, _ in TYPED_PARAMS]
)
EXACT_PARAMS = [row for row in TYPED_PARAMS if row[3] != "int"]
exact_params = pytest.mark.parametrize(
    "name, position, param, check", EXACT_PARAMS, ids=[f"{n}-{p}" for n, _, p, _ in EXACT_PARAMS]
)


def _call_with(name, position, value, by_keyword):
    params, _ = METHODS[name]
    args, kwargs = valid_call(name)
    args[position] = value
    if by_keyword:
        kwargs = kwargs | {p: a for (p, _, _), a in zip(params, args)}
        args = []
    return lambda: getattr(Formatter(), name)(*args, **kwargs)


@typed_params
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_none_rejected(name, position, param, check, by_keyword):
    exc = raises_exactly(
        TypeError, type_message(param, check, "NoneType"), _call_with(name, position, None, by_keyword)
    )
    assert not has_note(exc)


@typed_params
def test_foreign_type_rejected(name, position, param, check):
    value, type_name = FOREIGN[check]
    exc = raises_exactly(TypeError, type_message(param, check, type_name), _call_with(name, position, value, False))
    assert not has_note(exc)


@exact_params
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_subclass_rejected_with_note(name, position, param, check, by_keyword):
    exc = raises_exactly(
        TypeError,
        type_message(param, check, SUBCLASS_NAME[check]),
        _call_with(name, position, SUBCLASS_OF[check], by_keyword),
    )
    assert has_note(exc)
    assert all(isinstance(note, str) and note for note in exc.__notes__)


def test_subclass_note_is_one_line():
    with pytest.raises(TypeError) as info:
        Formatter().format_data(DictSub())
    assert len(info.value.__notes__) == 1
    assert "\n" not in info.value.__notes__[0]


@pytest.mark.parametrize(
    "call",
    [
        lambda o: o._normalize_question_list(ListSub(["q"])),
        lambda o: o._format_section(1, [1], "Q"),
        lambda o: o._build_answer_blocks("", ()),
        lambda o: o._format_link_items(ListSub(["x"]), include_source=False),
    ],
    ids=["question-list", "section-answer", "blocks-tuple", "link-items"],
)
def test_any_parameters_accept_anything(call):
    call(Formatter())


def test_dict_subclass_answer_passes_the_section_but_not_the_body():
    exc = raises_exactly(
        TypeError,
        type_message("answer", "dict", "DictSub"),
        lambda: Formatter()._format_section(1, DictSub(text="x"), "Q"),
    )
    assert has_note(exc)


# ---------------------------------------------------------------- int conversion


class IntSub(int):
    def __int__(self):
        return 3


class IndexOnly:
    def __index__(self):
        return 2


class FloatOnly:
    def __float__(self):
        return 2.0


class IntRaises:
    def __int__(self):
        raise RuntimeError("int boom")


class IndexNotInt:
    def __index__(self):
        return "x"


QUESTIONS = ["A", "B", "C"]


@pytest.mark.parametrize(
    "index, expected",
    [
        (1, "A"),
        (1.0, "A"),
        (2.7, "B"),
        (3.999, "C"),
        (-0.5, "第 0 题"),
        (True, "A"),
        (False, "第 0 题"),
        (Fraction(7, 2), "C"),
        (Decimal("2.9"), "B"),
        (IntSub(1), "C"),
        (IndexOnly(), "B"),
        (10**30, "第 1000000000000000000000000000000 题"),
        (-(10**30), "第 -1000000000000000000000000000000 题"),
        (2**63, "第 9223372036854775808 题"),
        (2**63 - 1, "第 9223372036854775807 题"),
        (-10, "第 -10 题"),
        (100, "第 100 题"),
        (-(2**63), "第 -9223372036854775808 题"),
        (2**64 + 1, "第 18446744073709551617 题"),
        (1e20, "第 100000000000000000000 题"),
    ],
    ids=repr,
)
def test_int_parameter_conversion(index, expected):
    assert Formatter()._question_at(QUESTIONS, index) == expected


@pytest.mark.parametrize(
    "index, shown",
    [(True, "1"), (False, "0"), (2.9, "2"), (Decimal("-1.5"), "-1"), (IntSub(7), "3"), (10**30, str(10**30))],
    ids=repr,
)
def test_converted_index_is_what_the_body_sees(index, shown):
    text = Formatter()._format_section(index, None, "Q")
    assert text == f"## 第 {shown} 题：Q\n\n### 答案\n\n第 {shown} 题未获取到答案"


@pytest.mark.parametrize(
    "value, type_name",
    [("1", "str"), (None, "NoneType"), ([1], "list"), (b"1", "bytes"), (object(), "object"), (StrSub("1"), "StrSub")],
    ids=repr,
)
def test_int_parameter_rejects_non_numbers(value, type_name):
    exc = raises_exactly(
        TypeError, type_message("index", "int", type_name), lambda: Formatter()._question_at(QUESTIONS, value)
    )
    assert not has_note(exc)


@pytest.mark.parametrize(
    "value",
    [1 + 2j, float("nan"), float("inf"), FloatOnly(), IntRaises(), IndexNotInt()],
    ids=["complex", "nan", "inf", "float-only", "int-raises", "index-not-int"],
)
def test_int_conversion_errors_propagate(value):
    with pytest.raises(Exception) as expected:
        int(value)
    with pytest.raises(type(expected.value)) as actual:
        Formatter()._question_at(QUESTIONS, value)
    assert str(actual.value) == str(expected.value)


@pytest.mark.parametrize(
    "width, expected",
    [
        (2.0, ["a", "b | c"]),
        (True, ["a | b | c"]),
        (Fraction(9, 2), ["a", "b", "c", ""]),
        (-1, ["a", "b | c"]),
        (-(2**63), ["a | b | c"]),
        (-(10**30), ["a | b | c"]),
    ],
    ids=repr,
)
def test_width_conversion(width, expected):
    assert Formatter()._normalize_row_cells(["a", "b", "c"], width) == expected


def test_row_of_matching_width_is_returned_itself():
    row = ["a"]
    assert Formatter()._normalize_row_cells(row, True) is row


@pytest.mark.parametrize("start", [2.0, 2, 3, 2**62, 2**63, 10**30], ids=repr)
def test_start_index_past_the_end(start):
    lines = ["| a | b |", "|---|---|"]
    assert Formatter()._parse_markdown_table(lines, start) is None


def test_start_index_float_converted():
    lines = ["x", "| a | b |", "|---|---|", "| 1 | 2 |"]
    assert Formatter()._parse_markdown_table(lines, 1.5) == (
        {"kind": "table", "header": ["a", "b"], "rows": [["1", "2"]]},
        4,
    )


# ---------------------------------------------------------------- include_source


class Truthy:
    def __len__(self):
        return 1


class Falsy:
    def __len__(self):
        return 0


@pytest.mark.parametrize(
    "value, shown",
    [(True, True), (1, True), ("x", True), ([0], True), (Truthy(), True), (2.5, True),
     (False, False), (0, False), ("", False), (None, False), ([], False), (Falsy(), False), (0.0, False)],
    ids=repr,
)
def test_include_source_truth_value(value, shown):
    result = Formatter()._format_link_items([{"asin": "B1", "source": "s"}], include_source=value)
    assert result == (["- B1 (s)"] if shown else ["- B1"])


class BoolRaises:
    def __bool__(self):
        raise ZeroDivisionError("bool boom")


class BoolNotBool:
    def __bool__(self):
        return 1


@pytest.mark.parametrize("value", [BoolRaises(), BoolNotBool()], ids=["raises", "returns-int"])
def test_include_source_truth_errors_propagate(value):
    with pytest.raises(Exception) as expected:
        bool(value)
    with pytest.raises(type(expected.value)) as actual:
        Formatter()._format_link_items([{"source": "s"}], include_source=value)
    assert str(actual.value) == str(expected.value)


# ---------------------------------------------------------------- order of complaints


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        # too many positional beats everything
        (lambda o: o._question_at([], 1, 2, bogus=1), TypeError, "_question_at() takes exactly 3 positional arguments (4 given)"),
        (lambda o: o.format_data(None, 1), TypeError, "format_data() takes exactly 2 positional arguments (3 given)"),
        (lambda o: o._format_link_items(None, True, bogus=1), TypeError, "_format_link_items() takes exactly 2 positional arguments (3 given)"),
        # unknown and duplicate keywords, in the order given
        (lambda o: o.format_data({}, bogus=1, data={}), TypeError, "format_data() got an unexpected keyword argument 'bogus'"),
        (lambda o: o.format_data({}, data={}, bogus=1), TypeError, "format_data() got multiple values for keyword argument 'data'"),
        (lambda o: o._question_at(zzz=1, aaa=2), TypeError, "_question_at() got an unexpected keyword argument 'zzz'"),
        # keyword problems beat missing arguments
        (lambda o: o._question_at(bogus=1), TypeError, "_question_at() got an unexpected keyword argument 'bogus'"),
        (lambda o: o._format_link_items(None, bogus=1), TypeError, "_format_link_items() got an unexpected keyword argument 'bogus'"),
        (lambda o: o._question_at(None, 1, questions=None), TypeError, "_question_at() got multiple values for keyword argument 'questions'"),
        # missing required beats missing keyword-only and type checks
        (lambda o: o._format_link_items(), TypeError, "_format_link_items() takes exactly 2 positional arguments (1 given)"),
        (lambda o: o._format_link_items(include_source=True), TypeError, "_format_link_items() takes exactly 2 positional arguments (1 given)"),
        (lambda o: o._question_at(index="x"), TypeError, "_question_at() takes exactly 3 positional arguments (1 given)"),
        (lambda o: o._question_at(None), TypeError, "_question_at() takes exactly 3 positional arguments (2 given)"),
        # type checks in parameter order, whatever the keyword order
        (lambda o: o._question_at(None, "x"), TypeError, type_message("questions", "list", "NoneType")),
        (lambda o: o._question_at(index="x", questions=None), TypeError, type_message("questions", "list", "NoneType")),
        (lambda o: o._format_section("x", None, None), TypeError, type_message("index", "int", "str")),
        (lambda o: o._format_section(1, None, None), TypeError, type_message("question", "str", "NoneType")),
        (lambda o: o._normalize_row_cells(None, None), TypeError, type_message("row", "list", "NoneType")),
        (lambda o: o._parse_markdown_table(start_index="x", lines=()), TypeError, type_message("lines", "list", "tuple")),
        (lambda o: o._build_answer_blocks(None, None), TypeError, type_message("text", "str", "NoneType")),
        # int conversion happens in its parameter's turn
        (lambda o: o._question_at(None, 1 + 2j), TypeError, type_message("questions", "list", "NoneType")),
        (lambda o: o._format_section(float("nan"), None, None), ValueError, "cannot convert float NaN to integer"),
        (lambda o: o._format_answer_body(float("inf"), None), OverflowError, "cannot convert float infinity to integer"),
    ],
)
def test_first_fault_is_reported(call, exc_type, message):
    raises_exactly(exc_type, message, lambda: call(Formatter()))


def test_no_body_runs_when_arguments_fail():
    calls = []

    class Spy(Formatter):
        def _extract_questions(self, data):
            calls.append(data)
            return []

    with pytest.raises(TypeError):
        Spy().format_data(DictSub(answers=[{}]))
    with pytest.raises(TypeError):
        Spy().format_data({"answers": [{}]}, 1)
    assert calls == []


# ---------------------------------------------------------------- result checks


def subclass(**methods):
    return type("Sub", (Formatter,), methods)()


class TupleSub(tuple):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Formatter()._question_at([5], 1), "Expected str, got int"),
        (lambda: Formatter()._question_at(["a", {}], 2), "Expected str, got dict"),
        (lambda: Formatter()._question_at([StrSub("x")], 1), "Expected str, got StrSub"),
        (lambda: subclass(_render_blocks=lambda s, b: ("x",))._format_answer_body(1, {"text": "a"}), "Expected list, got tuple"),
        (lambda: subclass(_render_blocks=lambda s, b: ())._format_answer_body(1, {"text": "a"}), "Expected list, got tuple"),
        (lambda: subclass(_render_blocks=lambda s, b: ListSub())._format_answer_body(1, {"text": "a"}), "Expected list, got ListSub"),
        (lambda: subclass(_render_blocks=lambda s, b: "x")._format_answer_body(1, {"text": "a"}), "Expected list, got str"),
        (lambda: subclass(_collapse_blank_lines=lambda s, t: 5).format_data({"answers": [{}]}), "Expected str, got int"),
        (lambda: subclass(_collapse_blank_lines=lambda s, t: StrSub(t)).format_data({"answers": [{}]}), "Expected str, got StrSub"),
        (lambda: subclass(_normalize_question_list=lambda s, r: ("q",))._extract_questions({}), "Expected list, got tuple"),
        (lambda: subclass(_normalize_question_list=lambda s, r: ListSub(["q"]))._extract_questions({}), "Expected list, got ListSub"),
        (lambda: subclass(_normalize_question_list=lambda s, r: () if r is None else TupleSub("q"))._extract_questions(
            {"upload_payload": {"records": [{"questions": 1}]}}), "Expected list, got TupleSub"),
        (lambda: subclass(_build_structured_answer_blocks=lambda s, b: ({"type": "text", "text": "x"},))._build_answer_blocks("", [1]),
         "Expected list, got tuple"),
        (lambda: subclass(_build_structured_answer_blocks=lambda s, b: ({"type": "text", "text": "x"},))._build_answer_blocks("t", None),
         "Expected list, got tuple"),
        (lambda: subclass(_format_link_items=lambda s, r, *, include_source: ("x",))._format_product_links(None), "Expected list, got tuple"),
        (lambda: subclass(_format_link_items=lambda s, r, *, include_source: ("x",))._format_recommended_asins(None), "Expected list, got tuple"),
        (lambda: subclass(_parse_pipe_row=lambda s, line: ("a", "b"))._normalize_structured_row({"text": "a|b"}), "Expected list, got tuple"),
    ],
)
def test_result_type_checked(call, message):
    raises_exactly(TypeError, message, call)


@pytest.mark.parametrize(
    "call",
    [
        lambda: Formatter()._question_at([None], 1),
        lambda: subclass(_render_blocks=lambda s, b: None)._format_answer_body(1, {"text": "a"}),
        lambda: subclass(_collapse_blank_lines=lambda s, t: None).format_data({"answers": [{}]}),
        lambda: subclass(_format_link_items=lambda s, r, *, include_source: None)._format_product_links(None),
        lambda: subclass(_format_link_items=lambda s, r, *, include_source: None)._format_recommended_asins(None),
        lambda: subclass(_parse_pipe_row=lambda s, line: None)._normalize_structured_row({"text": "a|b"}),
        lambda: subclass(_normalize_question_list=lambda s, r: None if r is None else None)._extract_questions(
            {"upload_payload": {"records": [{}]}}),
    ],
)
def test_none_result_passes_through(call):
    assert call() is None


def test_results_handed_on_are_the_same_objects():
    body = ["x"]
    report = "final"
    links = ["- l"]
    obj = subclass(
        _render_blocks=lambda s, b: body,
        _collapse_blank_lines=lambda s, t: report,
        _format_link_items=lambda s, r, *, include_source: links,
    )
    assert obj._format_answer_body(1, {"text": "a"}) is body
    assert obj.format_data({"answers": [{}]}) is report
    assert obj._format_product_links(None) is links
    assert obj._format_recommended_asins(None) is links


def test_falsy_non_list_from_assembly_falls_through():
    obj = subclass(_build_structured_answer_blocks=lambda s, b: ())
    assert obj._build_answer_blocks("", [{"type": "paragraph", "text": "x"}]) == []
    assert obj._build_answer_blocks("t", None) == [{"type": "text", "text": "t"}]


# ---------------------------------------------------------------- unusual self


class Duck:
    def _extract_questions(self, data):
        return ["DQ"]

    def _question_at(self, questions, index):
        return f"{questions[0]}{index}"

    def _format_section(self, index, answer, question):
        return f"sec {question}"

    def _collapse_blank_lines(self, text):
        return text.upper()


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda o: Formatter.format_data(self=o, data={}), ""),
        (lambda o: Formatter._question_at(questions=["a"], index=1, self=o), "a"),
        (lambda o: Formatter.format_data(object(), {}), ""),
        (lambda o: Formatter._question_at(None, ["a"], 1), "a"),
        (lambda o: Formatter._normalize_text_lines(42, "a\nb"), ["a", "b"]),
        (lambda o: Formatter.format_data(Duck(), {"answers": [1, 2]}), "SEC DQ1\n\nSEC DQ2"),
        (lambda o: Formatter._format_section(o, 1, None, "Q"), "## 第 1 题：Q\n\n### 答案\n\n第 1 题未获取到答案"),
    ],
    ids=["self-kw", "self-kw-last", "object", "none", "int", "duck", "plain"],
)
def test_unusual_self(call, expected):
    assert call(Formatter()) == expected


@pytest.mark.parametrize(
    "call, attribute",
    [
        (lambda: Formatter.format_data(None, {"answers": [{}]}), "_extract_questions"),
        (lambda: Formatter._format_product_links(object(), []), "_format_link_items"),
        (lambda: Formatter._build_text_fallback_blocks(1, "x"), "_normalize_text_lines"),
    ],
)
def test_non_instance_self_fails_on_step_lookup(call, attribute):
    with pytest.raises(AttributeError, match=attribute):
        call()
