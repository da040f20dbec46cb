"""Differential property tests: the native extension against the plain-Python baseline.

Hypothesis generates loose result dictionaries (answers mixed with junk, Markdown-like
answer texts full of odd whitespace and line terminators, structured blocks and link
lists of every shape) and arguments for the internal steps. Both implementations must
return equal values of identical types, or raise the same exception type with the same
message, and neither may modify its input.

Only exact dict/list/str containers are generated: the native module rejects
subclasses where an argument is annotated dict/list/str, the baseline does not.
"""

from __future__ import annotations

import copy
import math

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from oracle import BASE, NATIVE, STAGED, baseline_module, native_module  # noqa: E402,F401

PROPS = settings(
    max_examples=200,
    deadline=None,
    database=None,
    derandomize=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)
HEAVY = settings(PROPS, max_examples=250)


# --------------------------------------------------------------------- comparison


def same_value(a, b) -> bool:
    """Structural equality that also demands identical types (True is not 1, tuple is not list)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same_value(a[k], b[k]) for k in a)
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


def outcome(func, args, kwargs):
    try:
        result = func(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - the exception itself is the observed outcome
        return ("raise", type(exc), str(exc))
    # Which argument, if any, is handed back as the result itself.
    passthrough = next((i for i, arg in enumerate(args) if result is arg and isinstance(arg, list)), None)
    return ("ok", result, passthrough)


# The steps whose answer bodies take the fused route when nothing is replaced.
ROUTED = {"format_data", "_format_section", "_format_answer_body"}


def check(method: str, *args, **kwargs):
    """Call `method` on both implementations with private deep copies of the arguments."""
    original = (args, kwargs)
    native_args = copy.deepcopy(original)
    base_args = copy.deepcopy(original)
    got = outcome(getattr(NATIVE, method), *native_args)
    want = outcome(getattr(BASE, method), *base_args)
    if method in ROUTED:
        # The same input on the staged route, which a replaced step forces.
        staged_args = copy.deepcopy(original)
        staged = outcome(getattr(STAGED, method), *staged_args)
        assert staged[0] == got[0] and (staged[1:] == got[1:] if got[0] == "raise" else
                                        same_value(staged[1], got[1])), f"{method}: fused {got!r}\nstaged {staged!r}"
    assert got[0] == want[0], f"{method}: native {got!r}\nbaseline {want!r}"
    if got[0] == "raise":
        assert (got[1], got[2]) == (want[1], want[2]), f"{method}: native {got!r}\nbaseline {want!r}"
    else:
        assert same_value(got[1], want[1]), f"{method}:\nnative   {got[1]!r}\nbaseline {want[1]!r}"
        assert got[2] == want[2], f"{method}: result aliasing differs (native {got[2]}, baseline {want[2]})"
    assert same_value(native_args, original), f"{method}: native modified its input"
    assert same_value(base_args, original), f"{method}: baseline modified its input"
    return got


# --------------------------------------------------------------------- text grammar

WHITESPACE = [
    " ", "\t", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x1f", "\x85", "\xa0", "\u1680",
    "\u2000", "\u2007", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000",
]
# Look blank but are not whitespace to str.strip() or \s.
NOT_WHITESPACE = ["\u200b", "\ufeff", "\u180e"]
TERMINATORS = ["\n"] * 6 + ["\r\n", "\r", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x85", "\u2028", "\u2029"]
# Every storage width of str (latin-1, UCS-2, UCS-4), NUL and a lone surrogate included.
INLINE_CHARS = (
    list("aZx答案é ") + ["1", "9", "１", "٣", "²", "\U0001d7d9", "😀", "\x00", "\ud800"]
    + list("#-*•.):|｜`\\+_") + WHITESPACE + NOT_WHITESPACE
)
WORDS = ["Hello", "答案", "3.5 kg", "**bold** text", "a | b", "`x|y`", "Title ##", "None", "0", "- -", "```"]

ws_run = st.text(alphabet=st.sampled_from(WHITESPACE), max_size=3)
ws_run1 = st.text(alphabet=st.sampled_from(WHITESPACE), min_size=1, max_size=3)
inline = st.one_of(st.text(alphabet=st.sampled_from(INLINE_CHARS), max_size=10), st.sampled_from(WORDS))
inline_no_pipe = st.text(alphabet=st.sampled_from([c for c in INLINE_CHARS if c != "|"]), max_size=6)

LIST_MARKERS = ["-", "*", "•", "1.", "12)", "２)", "１.", "٣.", "+", "²)", "1", "3.5", "-1.", "１．", "*-"]
CELLS = ["a", "", " ", "-", "--", "---", ":---", "---:", ":---:", "- - -", ": ---", "１", "—", "x y"]
DELIMITER_CELLS = [":---", "---:", "--", "- - -", "---", ":-:", "----", ":---:", " --- ", "-"]

heading_line = st.builds(
    lambda lead, n, sep, body, tail: lead + "#" * n + sep + body + tail,
    ws_run, st.integers(1, 7), st.one_of(ws_run1, st.just("")), inline, ws_run,
)
list_line = st.builds(
    lambda lead, marker, sep, body, tail: lead + marker + sep + body + tail,
    ws_run, st.sampled_from(LIST_MARKERS), st.one_of(ws_run1, st.just("")), inline, ws_run,
)
continuation_line = st.builds(lambda lead, body: lead + body, ws_run1, inline)


def pipe_line(cell_strategy):
    return st.builds(
        lambda lead, left, cells, right, tail: lead + left + "|".join(cells) + right + tail,
        ws_run,
        st.sampled_from(["", "|", "||"]),
        st.lists(cell_strategy, min_size=1, max_size=4),
        st.sampled_from(["", "|", "||"]),
        ws_run,
    )


table_line = pipe_line(st.one_of(st.sampled_from(CELLS), inline_no_pipe))
delimiter_line = pipe_line(st.sampled_from(DELIMITER_CELLS))
fence_line = st.builds(lambda lead, info: lead + "```" + info, ws_run, st.sampled_from(["", "py", "`", " text", "``"]))
markdown_line = st.one_of(
    heading_line, list_line, continuation_line, table_line, delimiter_line, fence_line, ws_run, inline,
)
# A header, a delimiter and body rows on consecutive lines, so tables are actually recognised.
table_chunk = st.builds(
    lambda header, delimiter, rows, nl: nl.join([header, delimiter, *rows]),
    table_line, delimiter_line, st.lists(table_line, max_size=3), st.sampled_from(["\n", "\r\n", "\r"]),
)
markdown_unit = st.one_of(markdown_line, markdown_line, table_chunk)
markdown_text = st.builds(
    lambda pairs, final: "".join(unit + term for unit, term in pairs) + final,
    st.lists(st.tuples(markdown_unit, st.sampled_from(TERMINATORS)), max_size=8),
    st.one_of(st.just(""), markdown_line),
)

# --------------------------------------------------------------------- loose values

ODD_NUMBERS = [0, 1.5, 3.0, 10**20, -(10**20), float("nan"), float("inf"), -0.0, 1e16, 0.1]
loose_scalar = st.one_of(
    st.none(), st.booleans(), st.integers(-3, 12), st.sampled_from(ODD_NUMBERS), inline,
)
loose = st.one_of(
    loose_scalar,
    st.lists(loose_scalar, max_size=3),
    st.dictionaries(st.sampled_from(["a", "text", "type"]), loose_scalar, max_size=2),
    st.tuples(loose_scalar),
)
junk = st.one_of(st.none(), st.integers(-2, 9), st.sampled_from([1.5, 0.0, True, False]), inline, st.lists(loose_scalar, max_size=2))

BLOCK_TYPES = ["heading", "paragraph", "list_item", "table_row", "text", "code", None, 5]
LEVELS = [1, 2, 3, 4, 5, 6, 0, -4, 9, 10**30, -(10**30), True, False, "3", 3.0, 2.5, None]
block_text = st.one_of(inline, markdown_line, loose)
cell_value = st.one_of(st.sampled_from(CELLS), inline_no_pipe, loose_scalar)
cells_value = st.one_of(st.lists(cell_value, max_size=4), st.lists(cell_value, min_size=1, max_size=4), loose)

structured_block = st.one_of(
    st.fixed_dictionaries(
        {"type": st.sampled_from(BLOCK_TYPES)},
        optional={"text": block_text, "level": st.sampled_from(LEVELS), "cells": cells_value},
    ),
    st.fixed_dictionaries(
        {}, optional={"type": st.sampled_from(BLOCK_TYPES), "text": block_text, "cells": cells_value},
    ),
)
structured_list = st.lists(st.one_of(structured_block, structured_block, structured_block, junk), max_size=7)

LINK_KEYS = ("asin", "title", "href", "source", "description")
link_dict = st.fixed_dictionaries({}, optional={key: st.one_of(inline, loose_scalar) for key in LINK_KEYS})
link_item = st.one_of(inline, link_dict, link_dict, loose_scalar, st.lists(inline, max_size=2))
link_list = st.one_of(st.lists(link_item, max_size=4), st.lists(link_item, max_size=4), loose)

question_item = st.one_of(
    inline,
    st.fixed_dictionaries({}, optional={"question": loose_scalar, "text": loose_scalar}),
    loose_scalar,
)
question_list = st.one_of(st.lists(question_item, max_size=4), st.lists(question_item, max_size=4), loose)

NON_STR_TEXTS = [None, 0, 12, 1.5, True, False, ["a"], [], "", 0.0]
answer_record = st.fixed_dictionaries(
    {},
    optional={
        "text": st.one_of(markdown_text, markdown_text, st.sampled_from(NON_STR_TEXTS)),
        "isSuccess": st.sampled_from([False, True, 0, None]),
        "blocks": st.one_of(structured_list, structured_list, loose),
        "productLinks": link_list,
        "recommendedAsins": link_list,
        "summaryText": st.one_of(inline, loose_scalar, markdown_text),
        "other": loose,
    },
)
answers_list = st.lists(st.one_of(answer_record, answer_record, answer_record, junk), max_size=4)
first_record = st.one_of(st.fixed_dictionaries({}, optional={"questions": question_list}), loose_scalar)
upload_payload = st.one_of(
    st.fixed_dictionaries(
        {}, optional={"records": st.one_of(st.lists(first_record, max_size=3), st.lists(first_record, max_size=3), loose)}
    ),
    loose,
)
result_dict = st.fixed_dictionaries(
    {"answers": st.one_of(answers_list, answers_list, answers_list, loose)},
    optional={"questions": question_list, "upload_payload": upload_payload, "meta": loose},
)

# --------------------------------------------------------------------- the public entry


@HEAVY
@given(result_dict)
@example({"answers": [None, "x", 3, [1]], "questions": ["Q"]})
@example({"answers": [{"text": "- a\n  b\n| a | b |\n|---|---|\n| 1 | 2 |"}]})
@example({"answers": [{"isSuccess": False, "blocks": [{"type": "paragraph", "text": "Hi"}]}]})
@example({"answers": [  # body rows wider than the header (merged) and narrower (padded)
    {"blocks": [{"type": "table_row", "cells": c} for c in (["a", "b"], ["c", "d", "e", "f"], ["g"], ["h", "i"])]},
    {"text": "| a | b |\n|---|---|\n| c | d | e | f |\n| g |\n| h | i |"}]})
def test_format_data_matches_baseline(data):
    result = check("format_data", data)
    if result[0] == "ok":
        report = result[1]
        assert not report.endswith("\n")
        assert "\n\n\n" not in report


class _Holder:
    pass


class _Key(str):
    pass


def _holed(d: dict, at_front: bool) -> dict:
    """The same items in a dict whose table keeps a deleted entry."""
    out = {"zz_deleted": 0} if at_front else {}
    out.update(d)
    if not at_front:
        out["zz_deleted"] = 0
    del out["zz_deleted"]
    return out


def _split(d: dict) -> dict:
    """The same items in an instance's attribute dict (a shared-key table where the keys allow)."""
    if not all(type(k) is str for k in d):
        return d
    holder = _Holder()
    for key, value in d.items():
        setattr(holder, key, value)
    return holder.__dict__


DICT_SHAPES = [
    lambda d: d,
    lambda d: _holed(d, True),
    lambda d: _holed(d, False),
    _split,
    lambda d: {**d, 12345: "x"},
    lambda d: {**d, _Key("zz"): 1},
]


def _reshaped(value, shapes):
    """value with every dict rebuilt by the next shape in turn, so their tables differ."""
    if isinstance(value, list):
        return [_reshaped(item, shapes) for item in value]
    if isinstance(value, dict):
        shape = shapes[0]
        shapes.append(shapes.pop(0))
        return shape({key: _reshaped(item, shapes) for key, item in value.items()})
    return value


@PROPS
@given(result_dict, st.integers(0, len(DICT_SHAPES) - 1))
@example({"answers": [{"blocks": [{"type": "heading", "text": "T", "level": 1}],
                       "productLinks": [{"asin": "B0", "title": "t"}]}]}, 1)
def test_dict_tables_of_every_shape_read_alike(data, first):
    # Not through check(): a deep copy would rebuild every dict as a plain one.
    shapes = DICT_SHAPES[first:] + DICT_SHAPES[:first]
    reshaped = _reshaped(data, shapes)
    want = outcome(BASE.format_data, (reshaped,), {})
    for formatter in (NATIVE, STAGED):
        got = outcome(formatter.format_data, (reshaped,), {})
        assert got[0] == want[0] and (got[1:] == want[1:] if got[0] == "raise" else got[1] == want[1])


@PROPS
@given(st.integers(-2, 5), st.one_of(answer_record, junk), st.one_of(inline, st.sampled_from(["Q", "第 1 题", ""])))
def test_format_section_matches_baseline(index, answer, question):
    check("_format_section", index, answer, question)


@PROPS
@given(st.integers(-2, 5), answer_record)
def test_format_answer_body_matches_baseline(index, answer):
    check("_format_answer_body", index, answer)


@PROPS
@given(st.one_of(markdown_text, inline), st.one_of(structured_list, loose))
@example("Hello", [{"type": "code", "text": "x"}])
@example("", [])
def test_build_answer_blocks_matches_baseline(text, structured):
    check("_build_answer_blocks", text, structured)


@PROPS
@given(structured_list)
@example([{"type": "table_row", "cells": ["h1", "h2"]}, {"type": "table_row", "cells": ["x", "y", "z"]},
          {"type": "table_row", "cells": ["x"]}])
def test_build_structured_answer_blocks_matches_baseline(blocks):
    check("_build_structured_answer_blocks", blocks)


intermediate_block = st.fixed_dictionaries(
    {},
    optional={
        "kind": st.sampled_from(["heading", "list_item", "table", "text", "paragraph", None, 5]),
        "text": loose,
        "level": st.sampled_from(LEVELS),
        "header": st.one_of(st.lists(st.one_of(inline, inline, loose_scalar), max_size=3), loose),
        "rows": st.one_of(
            st.lists(st.one_of(st.lists(inline, max_size=3), st.lists(inline, max_size=3), junk), max_size=3),
            loose,
        ),
    },
)


@PROPS
@given(st.lists(st.one_of(intermediate_block, intermediate_block, intermediate_block, junk), max_size=5))
def test_to_structured_blocks_matches_baseline(blocks):
    check("_to_structured_blocks", blocks)


@HEAVY
@given(markdown_text)
@example("- a\nb\n  c")
@example("Intro\n```py\nx = 1\n\ny = 2\n```\nAfter")
@example("| a | b |\n|---|---|\n| 1 | 2 |\n|---|---|\n| 3 | 4 |")
def test_build_text_fallback_blocks_matches_baseline(text):
    check("_build_text_fallback_blocks", text)


@PROPS
@given(markdown_text)
def test_text_route_end_to_end_matches_baseline(text):
    # Text split by the parser, then converted, assembled and rendered by each implementation.
    check("_normalize_text_lines", text)
    check("_format_answer_body", 1, {"text": text})
    # With a long text after it, every line of it is read on the table masks (which read ahead).
    check("_format_answer_body", 1, {"text": text + "\n\n" + "tail " * 60})


@PROPS
@given(st.data())
def test_parse_markdown_table_matches_baseline(data):
    lines = data.draw(st.lists(st.one_of(markdown_line, table_line, delimiter_line), max_size=7))
    start_index = data.draw(st.integers(0, len(lines)))
    check("_parse_markdown_table", lines, start_index)


@PROPS
@given(st.one_of(table_line, delimiter_line, markdown_line, inline))
@example("|| a | b ||")
@example("| - | - |")
def test_parse_pipe_row_matches_baseline(line):
    check("_parse_pipe_row", line)


@PROPS
@given(st.lists(st.one_of(st.sampled_from(DELIMITER_CELLS + CELLS), inline), max_size=4))
def test_is_markdown_delimiter_row_matches_baseline(cells):
    check("_is_markdown_delimiter_row", cells)


@PROPS
@given(st.lists(st.one_of(st.sampled_from(CELLS), inline), max_size=5), st.integers(-3, 7))
def test_normalize_row_cells_matches_baseline(row, width):
    check("_normalize_row_cells", row, width)


@PROPS
@given(structured_block)
def test_normalize_structured_row_matches_baseline(block):
    check("_normalize_structured_row", block)


@PROPS
@given(link_list, st.sampled_from([True, False, 0, 1, "", "x", None, [], [0]]))
@example([{"title": "  ", "href": "L1"}], False)
@example([{"source": "s1"}], True)
def test_format_link_items_matches_baseline(items, include_source):
    check("_format_link_items", items, include_source=include_source)
    check("_format_product_links", items)
    check("_format_recommended_asins", items)


display_block = st.fixed_dictionaries(
    {},
    optional={
        "type": st.sampled_from(["heading", "list", "table", "text", "paragraph", "list_item", None, 5]),
        "text": loose,
        "level": st.sampled_from(LEVELS),
        "items": st.one_of(st.lists(loose_scalar, max_size=3), st.lists(inline, max_size=3), loose, st.integers()),
        "header": st.one_of(st.lists(loose_scalar, max_size=3), st.lists(inline, min_size=1, max_size=3), loose),
        "rows": st.one_of(
            st.lists(st.one_of(st.lists(loose_scalar, max_size=3), junk), max_size=3), loose, st.integers()
        ),
    },
)


@HEAVY
@given(st.lists(st.one_of(display_block, display_block, display_block, display_block, junk), max_size=5))
@example([{"type": "text", "text": "a"}, {"type": "text", "text": "  "}, {"type": "text", "text": "b"}])
@example([{"type": "heading", "text": None, "level": 1}, {"type": "list", "items": 5}])
def test_render_blocks_matches_baseline(blocks):
    check("_render_blocks", blocks)


@PROPS
@given(
    st.builds(
        lambda pairs: "".join(pairs),
        st.lists(st.one_of(markdown_line, st.sampled_from(TERMINATORS), ws_run), max_size=10),
    )
)
@example("a  \n\n\n  b\t\n\n")
@example("a\u3000\n\u3000\nb")
def test_collapse_blank_lines_matches_baseline(text):
    check("_collapse_blank_lines", text)


@PROPS
@given(result_dict, question_list)
def test_question_steps_match_baseline(data, raw_questions):
    check("_extract_questions", data)
    check("_normalize_question_list", raw_questions)
    questions = [q for q in raw_questions if isinstance(q, str)] if isinstance(raw_questions, list) else []
    for index in (-1, 0, 1, 2, len(questions), len(questions) + 1):
        check("_question_at", questions, index)


@PROPS
@given(st.one_of(heading_line, list_line, markdown_line, inline))
def test_line_recognisers_match_baseline(line):
    check("_parse_markdown_heading", line)
    check("_parse_markdown_list_item", line)


def _large_text(seed: int) -> str:
    parts = []
    for i in range(3000):
        kind = (i * 7 + seed) % 9
        parts.append([
            f"# heading {i}", f"- item {i}", f"  continued {i}\u3000", f"| c{i} | d | e{i} |", "|---|:---:|",
            "```", f"para {i} " + "x" * (i % 50), "", f"{i}. numbered\u2028tail",
        ][kind])
    return ["\n", "\r\n", "\r"][seed % 3].join(parts)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_large_inputs_match_baseline(seed):
    text = _large_text(seed)
    check("_build_text_fallback_blocks", text)
    check("_collapse_blank_lines", text + "\n \n" * 500)
    check("_parse_pipe_row", "|".join(f" c{i} " for i in range(5000)))
    blocks = [{"type": "table_row", "cells": [str(j) for j in range(i % 7)], "text": f"a | {i}"} for i in range(2000)]
    check("_build_structured_answer_blocks", blocks)
    answers = [{"text": text[: 40 * i], "productLinks": [f"p{i}"] * (i % 3)} for i in range(60)]
    check("format_data", {"answers": answers, "questions": [f"Q{i}" for i in range(30)]})


def test_cjk_range_holds_no_list_number():
    # The native digit test decides U+3000..U+9FFF without the interpreter's table.
    text = "\n".join(chr(c) + ". x" for c in range(0x3000, 0xA000))
    check("_build_text_fallback_blocks", text + "\n１. y\n٣) z")
    assert not any(chr(c).isdecimal() for c in range(0x3000, 0xA000))


def test_whitespace_above_ascii_matches_host():
    # The native whitespace test spells out the set above ASCII; every code point up to U+3000 (none
    # above it is whitespace) ends a line and edges a cell here.
    chars = [chr(c) for c in range(0x80, 0x3001)]
    check("_collapse_blank_lines", "\n".join("x" + ch for ch in chars))
    check("_parse_pipe_row", "|".join(ch + "x" + ch for ch in chars))
    assert not any(chr(c).isspace() for c in range(0x3001, 0x110000))


@pytest.mark.parametrize("narrow, wide", [("abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOP", "答"),
                                          ("abcdefghijklmnopqrstuvwxyzé0123456789ABCDEFGHIJKLMNO", "😀"),
                                          ("答案一二三四五六七八九十甲乙丙丁戊己庚辛壬癸子丑寅卯辰巳午未申酉戌亥", "😀")])
def test_narrow_texts_of_every_short_length_widen_exactly(narrow, wide):
    # Texts of one width copied into a report that something wider has widened, at every
    # length around the sizes the copies work in.
    answers = [{"text": wide}]
    for n in range(41):
        t = (narrow * 2)[n:2 * n] if n else ""
        answers.append({"text": f"{t}\n# {t}\n- {t}\n| {t} | {t[:n // 2]} |\n|---|---|\n| {t[::-1]} | x |",
                        "productLinks": [{"title": t, "asin": t[:10]}], "summaryText": t})
        answers.append({"blocks": [{"type": "paragraph", "text": t}, {"type": "table_row", "cells": [t, t[1:]]},
                                   {"type": "table_row", "cells": [t[::-1], "y"]}, {"type": "list_item", "text": t}]})
    check("format_data", {"answers": answers, "questions": [wide]})


@pytest.mark.parametrize("c", ["x", "\xe9", "\u793a", "\U0001F600"])
def test_table_rows_near_their_written_form_match_baseline(c):
    # Body rows one change away from the text their cells are written as (which the fused
    # route copies whole), in every width, short and across 64-byte blocks, and ending the text.
    long = c * 40
    variants = [f"| {c} | {c} |", f"| {long} | {c} | {c} |", f"| {c} |", f"| {c} |  {c} |", f"| {c}  | {c} |",
                f"| {c} | {c}\u3000 |", f"| \u3000{c} | {c} |", f"|{c} | {c} |", f"| {c} | {c}|", f"| {c} | |",
                f"| | {c} |", f"{c} | {c} |", f"| {c} | {c}", f"| --- | :-: |", "| - | - |", "| -- | : |",
                f"| {c} | - |", f"  | {c} | {c} |  ", f"| {c} ||", f"| {c}\t| {c} |", f"| {c} | {long} |"]
    # Bars on either side of the 64th and 128th unit, and doubtful units beside a padding space.
    # Each pattern at lengths from three units under to two over 64 and 128 (`extra` is its length
    # beside the run of k units), the last two with a last "|" that is not written as it stands.
    patterns = [(lambda k: f"| {c * k} | {c} |", 8), (lambda k: f"| {c * k} | {c} | {c}|", 11),
                (lambda k: f"| {c} | {c * k}  |", 9)]
    variants += [make(n - extra) for make, extra in patterns for edge in (64, 128) for n in range(edge - 3, edge + 3)]
    variants.append(f"| {c * 130} | {c} |")
    variants += [f"| {c * 60} |  | {c} |", f"| {c * 59}\xa0| {c} |", f"| {c * 61} | \x85{c} |", f"| {c} | {c * 122}\u2000|"]
    answers = []
    for v in variants:
        text = f"| h | {c} |\n|---|---|\n| {c} | {long} |\n{v}\n| {c}{c} | {c} |"
        # Rows followed by a long text as well as rows near or at its end.
        answers += [{"text": text}, {"text": text[: text.rindex("\n")]}, {"text": text + "\n\n" + long * 8}]
    check("format_data", {"answers": answers})


# Texts that leave a line the report's clean-up changes: whitespace before a line break,
# runs of empty lines, and line breaks other than "\n".
UNCLEAN_TEXTS = ["a \nb", "a\n\n\nb", "a\n \n\nb", "a\rb", "a\r\nb", "a\x0bb", "a\u2028b", "a\x85b",
                 "a\t\nb", "a\u3000\nb", "\u7b54 \n\u6848"]
# Where a text goes in an answer whose section the report's writers could otherwise
# vouch for as already clean (sections and texts that long; shorter ones are read anyway).
_LONG = " ".join(["words"] * 60)
UNCLEAN_PLACES = {
    "question": lambda t: ({"text": _LONG}, t),
    "product link": lambda t: ({"text": _LONG, "productLinks": ["x", t]}, "Q"),
    "link title": lambda t: ({"text": _LONG, "productLinks": [{"asin": "B1", "title": t}]}, "Q"),
    "link href": lambda t: ({"text": _LONG, "productLinks": [{"asin": "B1", "href": t}]}, "Q"),
    "asin source": lambda t: ({"text": _LONG, "recommendedAsins": [{"asin": "B1", "source": t}]}, "Q"),
    "summary": lambda t: ({"text": _LONG, "summaryText": t}, "Q"),
    "answer text": lambda t: ({"text": f"# h\n\n{_LONG}\n{t}\n- item\n| a | b |\n|---|---|\n| c | d |"}, "Q"),
    "paragraph block": lambda t: ({"blocks": [{"type": "paragraph", "text": t}, {"type": "paragraph", "text": _LONG}]}, "Q"),
    "heading block": lambda t: ({"blocks": [{"type": "heading", "text": t}, {"type": "paragraph", "text": _LONG}]}, "Q"),
    "list block": lambda t: ({"blocks": [{"type": "list_item", "text": t}, {"type": "paragraph", "text": _LONG}]}, "Q"),
    "table cells": lambda t: ({"blocks": [{"type": "table_row", "cells": ["h", t]}, {"type": "table_row", "cells": ["c", "d"]},
                                         {"type": "paragraph", "text": _LONG}]}, "Q"),
}


@pytest.mark.parametrize("place", list(UNCLEAN_PLACES))
def test_line_breaks_inside_written_texts_are_cleaned_as_baseline(place):
    # Each text in a section of its own, between sections that are clean as written.
    clean = {"text": _LONG, "productLinks": ["x"], "summaryText": "s"}
    for t in UNCLEAN_TEXTS:
        answer, question = UNCLEAN_PLACES[place](t)
        check("format_data", {"questions": ["Q0", question, "Q2"], "answers": [clean, answer, clean]})
        check("format_data", {"questions": [question], "answers": [answer]})


class _FormatsWithSpace(str):
    """A text whose own strip keeps it and whose f-string form ends in a space."""

    def strip(self, *chars):
        return self

    def __format__(self, spec):
        return "x "


class _StrGivesFormatsWithSpace:
    def __str__(self):
        return _FormatsWithSpace("x")

    def __deepcopy__(self, memo):
        return self


@pytest.mark.parametrize("key", ["asin", "title", "href", "description"])
def test_link_values_formatted_by_their_own_methods_are_cleaned_as_baseline(key):
    # Such a value's line is not known to be trimmed, so its section is read by the clean-up.
    answer = {"text": _LONG, "productLinks": [{"asin": "B1", key: _StrGivesFormatsWithSpace()}]}
    check("format_data", {"questions": ["Q"], "answers": [answer, {"text": _LONG}]})


class _StrRaises(str):
    def __str__(self):
        raise RuntimeError("str() of a row text")

    def __deepcopy__(self, memo):
        return self


ROW_TEXTS = {"huge int": 10**5000, "str raises": _StrRaises("a | b"), "absent": None, "empty": "",
             "pipe row": " x | y ", "int": 7, "float": 2.5}


@pytest.mark.parametrize("text", list(ROW_TEXTS.values()), ids=list(ROW_TEXTS))
@pytest.mark.parametrize("cells", [["a", "b"], [], None])
def test_row_texts_are_converted_even_when_cells_give_the_row(text, cells):
    # str(text).strip() comes before the cells are looked at, whatever they hold.
    blocks = [{"type": "table_row", "text": text, "cells": cells}, {"type": "table_row", "cells": ["c", "d"]}]
    check("format_data", {"answers": [{"text": "t", "blocks": blocks}]})


DELIMITER_CANDIDATES = [
    "|---|---|", "| --- | :---: |", "---|---", "--- | ---|", "|--- | ---", " | :--- | ---: | ", "|:---:|:---:|",
    "|---|", "|---|---|---|---|", "| --- |  | --- |", "| --- | --- |  |", "|  | --- | --- |", "|- - -|---|",
    "|:-:|---|", "|:--|---|", "|::---|---|", "|---::|---|", "|--:-|---|", "|:|---|", "|::|---|", "| -- - |---|",
    "|--- ---|  |---|", "|---|---|\t", "|---|---| x", "|---|\u3000---|", "|---|\xa0---|", "|---|\xe9---|",
    "|---|---|:", ":|---|---|",
    "|" + "-" * 70 + "|---|", "|---|" + "-" * 125 + "|", "|" + "-" * 130 + "|---|", "| --- | --- " + " " * 60 + "|",
]


@pytest.mark.parametrize("wide", ["", "\u7b54"])
def test_delimiter_rows_match_baseline(wide):
    # Each candidate under a header, with a body row, ending the text, near its end and with a
    # long text after it.
    answers = []
    for d in DELIMITER_CANDIDATES:
        text = f"| a{wide} | b |\n{d}\n| c | d |"
        answers += [{"text": text}, {"text": text[: text.rindex("\n")]}, {"text": text + "\n\n" + "x" * 300}]
    check("format_data", {"answers": answers})


@pytest.mark.parametrize("c", ["x", "\u7b54"])
@pytest.mark.parametrize("sep", ["\n", "\r\n", "\r"])
def test_line_breaks_and_bars_at_every_offset_match_baseline(c, sep):
    # Line breaks, "\r\n" pairs and "|"s at every offset around the sizes the text pass reads
    # ahead in (multiples of 256 units), and lines of several such sizes holding a "|" only early,
    # only in the middle or only late.
    answers = []
    for k in [*range(250, 262), *range(506, 518), 600, 1023, 1024, 1100]:
        table = sep.join(["| h | i |", "|---|---|", "| a | b |"])
        answers += [{"text": c * k + sep + table},
                    {"text": c * (k - 10) + sep + sep.join(["- item", "  more", table, "", c * 9 + "|"])},
                    {"text": sep.join(["| " + c * k + " | i |", "|---|---|", "| a | " + c * k + " |", c])},
                    {"text": sep.join([c * k + " | x", c * 3 + " | y", "|---|---|"])},
                    {"text": sep.join(["| a | " + c * k, "|---|---|", "| b | c |"])},
                    {"text": sep.join([c * k + " | " + c * k, "|---|---|", "| b | c |"])}]
    check("format_data", {"answers": answers})
