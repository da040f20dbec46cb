"""Text rules checked against the interpreter's own str operations.

Whitespace, line splitting and text conversion must agree with CPython for
every input, non-ASCII included, so generated text leans heavily on the
Unicode whitespace and line-break code points and on near misses that are
not whitespace (zero-width space, BOM, Mongolian vowel separator).
"""

from __future__ import annotations

import math
import sys

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import example, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from oracle import BASE, native_module as mod  # noqa: E402

fmt = mod.AnswerReportFormatter()

WHITESPACE = (
    " \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f\x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)
NOT_WHITESPACE = "\u200b\ufeff\u180e\u00ad\x00\x7f"
LETTERS = "abcXYZ答案题中文é"
DIGITS = "0123456789１２３٣"
MARKS = "#-*•.)|:`"
ALPHABET = WHITESPACE + NOT_WHITESPACE + LETTERS + DIGITS + MARKS

# Whitespace-heavy text: short runs so blank lines and trailing runs are common.
texts = st.text(alphabet=st.sampled_from(ALPHABET), max_size=40)
LINE_BREAKS = "\n\r\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029"
line_texts = st.lists(
    st.one_of(texts, st.sampled_from(["\r\n", "\n\n", "\r\r", " \r\n ", "\u3000\n"] + list(LINE_BREAKS))),
    max_size=12,
).map("".join)

SETTINGS = settings(max_examples=250, deadline=None, derandomize=True)


def test_alphabet_has_every_whitespace_code_point():
    # The generated alphabet must cover the interpreter's whole whitespace set.
    host = {chr(c) for c in range(sys.maxunicode + 1) if chr(c).isspace()}
    assert host == set(WHITESPACE)
    assert not any(ch.isspace() for ch in NOT_WHITESPACE)


# ---------------------------------------------------------------- blank-line collapsing


def reference_collapse(text):
    collapsed = []
    blank = False
    for line in text.splitlines():
        line = line.rstrip()
        if not line.strip():
            if not blank:
                collapsed.append("")
            blank = True
        else:
            collapsed.append(line)
            blank = False
    while collapsed and collapsed[-1] == "":
        collapsed.pop()
    return "\n".join(collapsed)


@SETTINGS
@given(line_texts)
@example("a  \n\n\n  b\t\n\n")
@example("\n\nx")
@example("x\r\ny\rz")
@example("a\u3000\n\u3000\nb")
@example("a\x1fb\x1c\x1fc\x1f")
@example("\u200b\n\ufeff \n\u180e")
def test_collapse_blank_lines_matches_reference(text):
    result = fmt._collapse_blank_lines(text)
    assert type(result) is str
    assert result == reference_collapse(text)


@pytest.mark.parametrize("filler", ["x", "\xe9", "\u793a", "\U0001F600"])
def test_collapse_sees_each_fault_at_every_offset(filler):
    # Line ends whose cleanness depends on the units before them, placed at
    # every offset of texts of each width, so that they straddle every place
    # where the scan's blocks meet, after stretches it passes over whole.
    for fault in ["\n\n\n", "\n\n", " \n", "\u3000\n", "\xa0\n", "\u2026\n", "\r", "\x85", "\u2028", "\t\n"]:
        for offset in range(300):
            text = filler * offset + fault + filler * 70 + "\n" + filler * 3
            assert fmt._collapse_blank_lines(text) == reference_collapse(text), (fault, offset)


@settings(max_examples=120, deadline=None, derandomize=True)
@given(line_texts)
def test_collapse_blank_lines_is_idempotent(text):
    once = fmt._collapse_blank_lines(text)
    assert fmt._collapse_blank_lines(once) == once
    assert not once.endswith("\n")
    assert "\n\n\n" not in once


@pytest.mark.parametrize("text", ["", "\n", "  \n \n", "\u3000\u2028\x85", "\r\n\r\n"])
def test_collapse_blank_input_gives_empty_text(text):
    assert fmt._collapse_blank_lines(text) == ""


# ---------------------------------------------------------------- text line splitting


@SETTINGS
@given(line_texts)
@example("a\r\n\r\nb")
@example("a\r\rb")
@example("a\x0bb\x0cc\x1cd\x85e\u2028f")
@example("")
def test_normalize_text_lines_matches_reference(text):
    result = fmt._normalize_text_lines(text)
    assert type(result) is list and all(type(line) is str for line in result)
    assert result == text.replace("\r\n", "\n").replace("\r", "\n").split("\n")


# ---------------------------------------------------------------- question list


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(10**30), max_value=10**30),
    st.floats(allow_nan=True, allow_infinity=True),
    texts,
)
question_values = st.one_of(scalars, st.lists(scalars, max_size=3), st.tuples(scalars))
question_dicts = st.fixed_dictionaries(
    {}, optional={"question": question_values, "text": question_values, "other": scalars}
)
question_items = st.one_of(texts, question_dicts, scalars, st.lists(texts, max_size=2), st.tuples(texts))
raw_question_lists = st.one_of(
    st.lists(question_items, max_size=8),
    question_items,  # not a list at all
    st.tuples(question_items),
)


@SETTINGS
@given(raw_question_lists)
@example(["  A  ", {"question": "B"}, {"text": "C"}, {"question": "", "text": "D"}, {"question": None}, 5, None, "",
          {"question": "   ", "text": "E"}])
@example([{"question": 12}, {"question": 0, "text": "x"}, {"question": float("nan")}, {"question": -0.0, "text": 1e16}])
@example([{"question": "\u3000答案\u00a0"}, "\u200b", "\x1f题\x1c"])
def test_normalize_question_list_matches_baseline(raw):
    result = fmt._normalize_question_list(raw)
    assert type(result) is list
    assert all(type(q) is str for q in result)
    assert result == BASE._normalize_question_list(raw)


def test_normalize_question_list_returns_new_list():
    raw = ["a"]
    result = fmt._normalize_question_list(raw)
    assert result == raw and result is not raw


# ---------------------------------------------------------------- question lookup


def reference_question_at(questions, index):
    index = int(index)
    if 0 <= index - 1 < len(questions):
        item = questions[index - 1]
        if item is not None and type(item) is not str:
            raise TypeError(f"Expected str, got {type(item).__name__}")
        return item
    return f"第 {index} 题"


question_entries = st.one_of(texts, st.none(), st.integers(), st.lists(texts, max_size=1), st.builds(dict))
indexes = st.one_of(
    st.integers(min_value=-3, max_value=10),
    st.integers(),
    st.booleans(),
    st.floats(min_value=-5, max_value=12, allow_nan=False),
)


@SETTINGS
@given(st.lists(question_entries, max_size=8), indexes)
def test_question_at_matches_reference(questions, index):
    try:
        expected = reference_question_at(questions, index)
    except TypeError as exc:
        with pytest.raises(TypeError) as info:
            fmt._question_at(questions, index)
        assert str(info.value) == str(exc)
    else:
        result = fmt._question_at(questions, index)
        assert result == expected
        assert type(result) is type(expected)
        if expected is not None and 0 <= int(index) - 1 < len(questions):
            assert result is questions[int(index) - 1]  # the entry itself, not a copy


# ---------------------------------------------------------------- text of a value


class ReprOverride(float):
    def __repr__(self):
        return " float-repr "


class IntReprOverride(int):
    def __repr__(self):
        return " int-repr "


class StrOverride(str):
    def __str__(self):
        return " str-override "


class PlainStrSub(str):
    pass


class FormatOnly:
    def __format__(self, spec):
        return "format"

    def __str__(self):
        return " via-str "


class Falsy:
    def __bool__(self):
        return False

    def __str__(self):
        return "never shown"


def text_of(value):
    return str(value or "").strip()


converted_values = st.one_of(
    st.integers(min_value=-(10**60), max_value=10**60),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([1e16, 1e15, 1e-5, 1e-4, 0.1, 0.1 + 0.2, -0.0, 5e-324, 1.7976931348623157e308, 1e22, 123456789.0]),
    st.booleans(),
    st.none(),
    st.lists(st.one_of(st.integers(), texts, st.none(), st.floats()), max_size=3),
    st.dictionaries(texts, st.integers(), max_size=2),
    texts,
)


@SETTINGS
@given(converted_values)
def test_text_of_value_matches_str(value):
    expected = text_of(value)
    result = fmt._normalize_question_list([{"question": value}])
    assert result == ([expected] if expected else [])
    assert all(type(q) is str for q in result)


@pytest.mark.parametrize(
    "value, expected",
    [
        (1.0, "1.0"),
        (10**20, "1" + "0" * 20),
        (True, "True"),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
        (float("nan"), "nan"),
        (1e16, "1e+16"),
        (["a", "b"], "['a', 'b']"),
        ((1,), "(1,)"),
        ({"k": None}, "{'k': None}"),
        (1 + 2j, "(1+2j)"),
        (b"x", "b'x'"),
        (ReprOverride(1.5), "float-repr"),
        (IntReprOverride(7), "int-repr"),
        (StrOverride(" s "), "str-override"),
        (PlainStrSub(" plain "), "plain"),
        (FormatOnly(), "via-str"),
    ],
    ids=repr,
)
def test_text_of_value_examples(value, expected):
    assert text_of(value) == expected  # the interpreter's own rule
    result = fmt._normalize_question_list([{"question": value}])
    assert result == [expected]
    assert type(result[0]) is str


@pytest.mark.parametrize(
    "item, expected",
    [
        ({"question": Falsy(), "text": "fallback"}, ["fallback"]),
        ({"question": 0, "text": 0.0}, []),
        ({"question": [], "text": {}}, []),
        ({"question": "   ", "text": "E"}, []),
        (PlainStrSub(" s "), ["s"]),
    ],
    ids=repr,
)
def test_falsy_values_fall_back(item, expected):
    result = fmt._normalize_question_list([item])
    assert result == expected
    assert all(type(q) is str for q in result)


def test_text_of_huge_int_follows_the_digit_limit():
    limit = sys.get_int_max_str_digits()
    if limit == 0:
        pytest.skip("integer string conversion limit disabled")
    value = 10 ** (limit + 1)
    with pytest.raises(ValueError) as expected:
        str(value)
    with pytest.raises(ValueError) as actual:
        fmt._normalize_question_list([{"question": value}])
    assert str(actual.value) == str(expected.value)


class StrRaises:
    def __str__(self):
        raise KeyError("no text")


class StrNotStr:
    def __str__(self):
        return 5


@pytest.mark.parametrize("value", [StrRaises(), StrNotStr()], ids=["raises", "returns-int"])
def test_text_conversion_errors_propagate(value):
    with pytest.raises(Exception) as expected:
        str(value)
    with pytest.raises(type(expected.value)) as actual:
        fmt._normalize_question_list([{"question": value}])
    assert str(actual.value) == str(expected.value)


def test_float_texts_read_back():
    # Shortest round-trip texts: the conversion must not lose or add digits.
    for value in [0.1, 1 / 3, 2.0**0.5, 1e-310, 9007199254740993.0, -1.5e300]:
        [text] = fmt._normalize_question_list([{"question": value}])
        assert float(text) == value or math.isnan(value)
        assert text == repr(value)


# The report is written into the storage of the str it becomes; that str must still be stored at the
# width of its widest code point, as every str is (equality and hashing rely on it), also when the widest
# code points were trailing whitespace that the clean-up removed.
@pytest.mark.parametrize(
    "section",
    ["abc", "é and more", "abc\u3000", "é\u3000\u3000", "x\U0001f600", "x\u3000\n\U0001f600 ", "答案", "a\n\n\n b  "],
    ids=["ascii", "latin-1", "ascii-after-wide-space", "latin-1-after-wide-space", "astral",
         "astral-after-space", "two-byte", "blank-runs"],
)
def test_report_str_is_stored_at_its_own_width(section):
    class Sections(mod.AnswerReportFormatter):
        def _format_section(self, index, answer, question):
            return section

    class BaseSections(BASE.__class__):
        def _format_section(self, index, answer, question):
            return section

    data = {"answers": [{"text": "t"}, {"text": "u"}]}
    report = Sections().format_data(data)
    assert report == BaseSections().format_data(data)
    rebuilt = report.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")
    assert (sys.getsizeof(report), report.isascii()) == (sys.getsizeof(rebuilt), rebuilt.isascii())
