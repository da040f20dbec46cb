"""Coverage-guided fuzzing of the answer routes with atheris.

Arbitrary bytes become answer texts (from Markdown-like tokens), front-end `blocks` lists and whole result
dictionaries. Each result goes through the fused route (the native formatter as it is), the staged route
(the native formatter with a replaced step that calls the native one) and the plain-Python baseline; the
three must give the same report or the same exception.

On the extension built by clang with AddressSanitizer, UBSan and libFuzzer's coverage counters (what CI runs):
  short run:  make fuzz                  (60 seconds)
  long run:   mkdir -p build/fuzz-corpus && make fuzz FUZZ_TIME=3600 FUZZ_ARGS=build/fuzz-corpus
On the release build:  PYTHONPATH=python python fuzz/fuzz_routes.py -max_total_time=60
"""

from __future__ import annotations

import sys
from pathlib import Path

import atheris

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "benchmarks"))

with atheris.instrument_imports():
    import baseline
    from quorin.amazon_rufus.services.answer_report_formatter import AnswerReportFormatter


class Staged(AnswerReportFormatter):
    """Kept off the fused route by a replaced step that calls the native one."""

    def _render_blocks(self, blocks):
        return super()._render_blocks(blocks)


FUSED, STAGED, BASE = AnswerReportFormatter(), Staged(), baseline.AnswerReportFormatter()

TOKENS = ["#", "##", "####### ", " ", "  ", "\t", "\u3000", "- ", "* ", "\u2022 ", "1. ", "12) ", "+ ", "|", " | ",
          "---", ":---:", "--", "```", "```py", "\n", "\n", "\n", "\r\n", "\r", "\x0b", "\x0c", "\x1c", "\u0085",
          "\u2028", "a", "b c", "中文", "１", "x" * 20, "**b**", "\\|", "\u00a0", ""]
TYPES = ["heading", "paragraph", "list_item", "table_row", "text", "code", None, 5, ""]
LEVELS = [1, 2, 3, 6, 7, 0, -3, True, False, "2", 2.0, None, 2**70]


def text_from(fdp: atheris.FuzzedDataProvider, most: int) -> str:
    return "".join(TOKENS[fdp.ConsumeIntInRange(0, len(TOKENS) - 1)] for _ in range(fdp.ConsumeIntInRange(0, most)))


def value_from(fdp: atheris.FuzzedDataProvider):
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeIntInRange(-2, 3)
    if kind == 2:
        return [text_from(fdp, 3) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    return text_from(fdp, 12)


def block_from(fdp: atheris.FuzzedDataProvider):
    if fdp.ConsumeIntInRange(0, 9) == 0:
        return value_from(fdp)
    block = {}
    if fdp.ConsumeBool():
        block["type"] = TYPES[fdp.ConsumeIntInRange(0, len(TYPES) - 1)]
    if fdp.ConsumeBool():
        block["text"] = value_from(fdp)
    if fdp.ConsumeBool():
        block["level"] = LEVELS[fdp.ConsumeIntInRange(0, len(LEVELS) - 1)]
    if fdp.ConsumeBool():
        block["cells"] = value_from(fdp)
    return block


def answer_from(fdp: atheris.FuzzedDataProvider):
    if fdp.ConsumeIntInRange(0, 15) == 0:
        return value_from(fdp)
    answer = {"text": text_from(fdp, 60) if fdp.ConsumeIntInRange(0, 5) else value_from(fdp)}
    if fdp.ConsumeIntInRange(0, 2) == 0:
        answer["blocks"] = [block_from(fdp) for _ in range(fdp.ConsumeIntInRange(0, 6))]
    if fdp.ConsumeIntInRange(0, 3) == 0:
        answer["isSuccess"] = [True, False, None, 0][fdp.ConsumeIntInRange(0, 3)]
    if fdp.ConsumeIntInRange(0, 3) == 0:
        answer["summaryText"] = value_from(fdp)
    if fdp.ConsumeIntInRange(0, 3) == 0:
        answer["productLinks"] = [value_from(fdp) if fdp.ConsumeBool() else
                                  {"asin": value_from(fdp), "title": value_from(fdp), "href": value_from(fdp)}
                                  for _ in range(fdp.ConsumeIntInRange(0, 3))]
    return answer


def outcome(formatter, data):
    try:
        return "ok", formatter.format_data(data)
    except Exception as exc:  # the exception is the observed outcome
        return type(exc).__name__, str(exc)


def test_one_input(raw: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(raw)
    data = {"answers": [answer_from(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]}
    if fdp.ConsumeBool():
        data["questions"] = [text_from(fdp, 4) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    fused, staged, base = outcome(FUSED, data), outcome(STAGED, data), outcome(BASE, data)
    if not fused == staged == base:
        raise AssertionError(f"routes differ on {data!r}:\nfused  {fused!r}\nstaged {staged!r}\nbase   {base!r}")


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
