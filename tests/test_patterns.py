"""The native line recognisers against the host's own `re.match`.

The recognisers must give exactly what the host's regular expressions give on the
trimmed line: Unicode whitespace for \\s, any Unicode decimal digit for \\d, "."
stopping at "\\n" and "$" accepting a final "\\n". The generated lines are dense in
the characters those patterns care about. The module global `re` must be looked up
at call time, so a replacement is honoured and a deleted global fails by name.
"""

from __future__ import annotations

import re

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from oracle import BASE, NATIVE, baseline_module, native_module  # noqa: E402,F401

PROPS = settings(
    max_examples=300,
    deadline=None,
    database=None,
    derandomize=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)

HEADING = r"^(#{1,6})\s+(.*)$"
UNORDERED = r"^([-*•])\s+(.*)$"
ORDERED = r"^\d+[.)]\s+(.*)$"
DELIMITER = r"^:?-{3,}:?$"
LEADING_SPACE = r"^\s+"


def ref_heading(line: str):
    match = re.match(HEADING, line.strip())
    if not match:
        return None
    return {"kind": "heading", "level": len(match.group(1)), "text": match.group(2).strip()}


def ref_list_item(line: str):
    trimmed = line.strip()
    unordered = re.match(UNORDERED, trimmed)
    if unordered:
        return {"kind": "list_item", "text": unordered.group(2).strip()}
    ordered = re.match(ORDERED, trimmed)
    if ordered:
        return {"kind": "list_item", "text": ordered.group(1).strip()}
    return None


def ref_delimiter(cells: list[str]) -> bool:
    return bool(cells) and all(re.match(DELIMITER, cell.strip()) for cell in cells)


def assert_identical(actual, expected):
    # repr() also pins dict key order and int-vs-bool.
    assert actual == expected
    assert repr(actual) == repr(expected)


# --------------------------------------------------------------------- generators

WHITESPACE = [
    " ", "\t", "\x0b", "\x0c", "\r", "\x1c", "\x1d", "\x1e", "\x1f", "\x85", "\xa0", "\u1680",
    "\u2000", "\u2005", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000",
]
DIGITS = list("0123456789") + list("０１２３４５６７８９") + ["٣", "३", "\U0001d7d9"]
# Digit-like and dash-like characters that the patterns must not accept.
LOOKALIKES = ["²", "①", "Ⅻ", "＃", "－", "‐", "—", "）", "．", "∗", "·", "\u200b", "\ufeff"]
PATTERN_CHARS = (
    list("#-*•.):|") * 3 + DIGITS + WHITESPACE + ["\n"] * 3 + LOOKALIKES + list("ax答é") + ["😀", "\x00", "\ud800"]
)
MARKERS = [
    "#", "##", "######", "#######", "-", "*", "•", "+", "1.", "12)", "０.", "９)", "٣.", "\U0001d7d9)",
    "².", "①.", "1", "1:", "1.)", "-1.", "--", "---", ":---", "---:", ":---:", ":-:", "- - -", "＃", "－",
]

pattern_soup = st.text(alphabet=st.sampled_from(PATTERN_CHARS), max_size=14)
ws_run = st.text(alphabet=st.sampled_from(WHITESPACE + ["\n"]), max_size=3)
ws_run1 = st.text(alphabet=st.sampled_from(WHITESPACE + ["\n"]), min_size=1, max_size=3)
shaped_line = st.builds(
    lambda lead, marker, sep, body, tail: lead + marker + sep + body + tail,
    ws_run,
    st.sampled_from(MARKERS),
    st.one_of(ws_run1, st.just(""), st.sampled_from(["\n", " \n", "\n\n"])),
    pattern_soup,
    st.one_of(ws_run, st.sampled_from(["\n", "\nx", " \n", "\n#"])),
)
pattern_line = st.one_of(pattern_soup, shaped_line, shaped_line)

delimiter_cell = st.one_of(
    pattern_soup,
    st.builds(
        lambda lead, left, dashes, right, tail: lead + left + "-" * dashes + right + tail,
        ws_run, st.sampled_from(["", ":", "::", " :"]), st.integers(0, 5),
        st.sampled_from(["", ":", "::", ": ", "\n", ":\n"]), ws_run,
    ),
)

# --------------------------------------------------------------------- recognisers


@PROPS
@given(pattern_line)
@example("#\nabc")
@example("# a\nb")
@example("##\u3000Title ##\n")
@example("####### Seven")
def test_heading_matches_host_re(line):
    assert_identical(NATIVE._parse_markdown_heading(line), ref_heading(line))


@PROPS
@given(pattern_line)
@example("１. x")
@example("\U0001d7d9) x")
@example("². x")
@example("-\nx")
@example("- a\nb")
@example("• \x1ca")
def test_list_item_matches_host_re(line):
    assert_identical(NATIVE._parse_markdown_list_item(line), ref_list_item(line))


@PROPS
@given(delimiter_cell)
@example(":---:")
@example("---\n")
@example("---\n:")
@example("\u3000---\x85")
def test_single_delimiter_cell_matches_host_re(cell):
    assert_identical(NATIVE._is_markdown_delimiter_row([cell]), ref_delimiter([cell]))


@PROPS
@given(st.lists(delimiter_cell, max_size=4))
def test_delimiter_row_matches_host_re(cells):
    assert_identical(NATIVE._is_markdown_delimiter_row(cells), ref_delimiter(cells))


# A line after a list item: no "\n" or "\r", which would split it in two.
follow_line = pattern_line.map(lambda s: s.replace("\n", "").replace("\r", ""))


def classify_after_item(line: str) -> str:
    """What the parser does with `line` right after a list item (no table can start there)."""
    trimmed = line.strip()
    if trimmed.startswith("```"):
        return "fence"
    if not trimmed:
        return "blank"
    if ref_heading(line):
        return "heading"
    if ref_list_item(line):
        return "list_item"
    if re.match(LEADING_SPACE, line):
        return "continuation"
    return "paragraph"


@PROPS
@given(follow_line)
@example("\u3000b")
@example("\x1cb")
@example("\u200bb")
@example("  # b")
def test_continuation_joins_iff_line_starts_with_whitespace(line):
    item = {"kind": "list_item", "text": "a"}
    expected = {
        "blank": [item],
        "fence": [item, {"kind": "text", "text": line.strip()}],
        "heading": [item, ref_heading(line)],
        "list_item": [item, ref_list_item(line)],
        "continuation": [{"kind": "list_item", "text": f"a {line.strip()}".strip()}],
        "paragraph": [item, {"kind": "text", "text": line.strip()}],
    }[classify_after_item(line)]
    assert_identical(NATIVE._build_text_fallback_blocks("- a\n" + line), expected)


@PROPS
@given(follow_line)
def test_continuation_skips_a_pending_paragraph_line(line):
    # The continuation test looks at the emitted blocks only, not at the paragraph buffer.
    item = {"kind": "list_item", "text": "a"}
    para = {"kind": "text", "text": "para"}
    joined = {"kind": "text", "text": ("para\n" + line.rstrip()).strip()}
    expected = {
        "blank": [item, para],
        "fence": [item, joined],
        "heading": [item, para, ref_heading(line)],
        "list_item": [item, para, ref_list_item(line)],
        "continuation": [{"kind": "list_item", "text": f"a {line.strip()}".strip()}, para],
        "paragraph": [item, joined],
    }[classify_after_item(line)]
    assert_identical(NATIVE._build_text_fallback_blocks("- a\npara\n" + line), expected)


# --------------------------------------------------------------------- the module global `re`


class RecordingRe:
    """Stands in for the `re` module: records every match call and delegates it."""

    def __init__(self, error=None):
        self.calls = []
        self._error = error

    def match(self, pattern, string, *args, **kwargs):
        self.calls.append((pattern, string, args, kwargs))
        if self._error is not None:
            raise self._error
        return re.match(pattern, string, *args, **kwargs)


class NeverMatches(RecordingRe):
    def match(self, pattern, string, *args, **kwargs):
        self.calls.append((pattern, string, args, kwargs))
        return None


RE_CALLS = [
    ("_parse_markdown_heading", ("  ## Title  ",)),
    ("_parse_markdown_heading", ("#Title",)),
    ("_parse_markdown_list_item", ("- a",)),
    ("_parse_markdown_list_item", ("１) a",)),
    ("_parse_markdown_list_item", ("plain",)),
    ("_is_markdown_delimiter_row", ([":---", "---:", "x", "---"],)),
    ("_is_markdown_delimiter_row", (["---", ":---:"],)),
    ("_parse_markdown_table", (["| a | b |", "|---|---|", "| 1 | 2 |", "|---|---|"], 0)),
    ("_build_text_fallback_blocks", ("- a\n  b\n# H\n| a | b |\n| --- | --- |\n| 1 | 2 |\n1. x\n\u3000y\npara",)),
]


@pytest.mark.parametrize(("method", "args"), RE_CALLS, ids=[f"{m}-{i}" for i, (m, _) in enumerate(RE_CALLS)])
def test_recognisers_go_through_the_module_global_re(monkeypatch, method, args):
    plain = getattr(NATIVE, method)(*args)
    native_shim, base_shim = RecordingRe(), RecordingRe()
    monkeypatch.setattr(native_module, "re", native_shim)
    monkeypatch.setattr(baseline_module, "re", base_shim)
    assert_identical(getattr(NATIVE, method)(*args), plain)
    assert_identical(getattr(BASE, method)(*args), plain)
    assert native_shim.calls, "the replaced re module was not used"
    # Same patterns, same subjects, same order, same short-circuiting as the baseline.
    assert native_shim.calls == base_shim.calls


@PROPS
@given(pattern_line)
def test_replaced_re_sees_the_same_calls_as_the_baseline(line):
    native_shim, base_shim = RecordingRe(), RecordingRe()
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(native_module, "re", native_shim)
        mp.setattr(baseline_module, "re", base_shim)
        for method, args in [
            ("_parse_markdown_heading", (line,)),
            ("_parse_markdown_list_item", (line,)),
            ("_is_markdown_delimiter_row", ([line, "---"],)),
            ("_build_text_fallback_blocks", ("- a\n" + line,)),
        ]:
            assert_identical(getattr(NATIVE, method)(*args), getattr(BASE, method)(*args))
    assert native_shim.calls == base_shim.calls


@pytest.mark.parametrize(
    ("method", "args", "expected"),
    [
        ("_parse_markdown_heading", ("## Title",), None),
        ("_parse_markdown_list_item", ("- a",), None),
        ("_is_markdown_delimiter_row", (["---"],), False),
        ("_build_text_fallback_blocks", ("- a\n  b",), [{"kind": "text", "text": "- a\n  b"}]),
    ],
)
def test_replaced_re_result_is_used(monkeypatch, method, args, expected):
    shim = NeverMatches()
    monkeypatch.setattr(native_module, "re", shim)
    assert_identical(getattr(NATIVE, method)(*args), expected)
    assert shim.calls


def test_error_from_replaced_re_propagates(monkeypatch):
    monkeypatch.setattr(native_module, "re", RecordingRe(error=LookupError("shim failed")))
    with pytest.raises(LookupError, match="shim failed"):
        NATIVE._parse_markdown_heading("# a")


@pytest.mark.parametrize(
    ("method", "args"),
    [
        ("_parse_markdown_heading", ("# a",)),
        ("_parse_markdown_list_item", ("- a",)),
        ("_is_markdown_delimiter_row", (["---"],)),
        ("_build_text_fallback_blocks", ("x",)),
        ("format_data", ({"answers": [{"text": "x"}]},)),
    ],
)
def test_deleted_re_global_raises_name_error(monkeypatch, method, args):
    monkeypatch.delattr(native_module, "re")
    monkeypatch.delattr(baseline_module, "re")
    with pytest.raises(NameError) as native_error:
        getattr(NATIVE, method)(*args)
    with pytest.raises(NameError) as base_error:
        getattr(BASE, method)(*args)
    assert str(native_error.value) == str(base_error.value) == "name 're' is not defined"


@pytest.mark.parametrize(
    ("method", "args", "expected"),
    [
        ("_is_markdown_delimiter_row", ([],), False),
        ("_parse_pipe_row", ("| a | b |",), ["a", "b"]),
        ("_build_text_fallback_blocks", ("",), []),
        ("_render_blocks", ([{"type": "text", "text": "x"}],), ["x"]),
    ],
)
def test_steps_without_patterns_work_without_re(monkeypatch, method, args, expected):
    monkeypatch.delattr(native_module, "re")
    assert_identical(getattr(NATIVE, method)(*args), expected)
