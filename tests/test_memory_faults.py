"""Allocation failures: each interpreter allocation of a call fails once in turn.

Every such failure must surface as MemoryError (or be absorbed when the host
itself absorbs it) and leave the formatter fully usable; a result that comes
back must be the correct one. A crash here means an unchecked C API result.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any, Callable

import pytest

from block_model_example import (
    OVERVIEW_DISPLAY,
    OVERVIEW_INTERMEDIATE,
    OVERVIEW_STRUCTURED,
    OVERVIEW_TEXT,
)
from oracle import native_module

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("this interpreter cannot inject allocation failures", allow_module_level=True)

EXAMPLE = json.loads((Path(__file__).resolve().parents[1] / "examples" / "result.json").read_text("utf-8"))
F = native_module.AnswerReportFormatter()

# Allocation indexes tried per call, at most.
MAX_STEPS = 3000


class Relisting(native_module.AnswerReportFormatter):
    """Replaced steps force the dict boundary between native steps."""

    def _to_structured_blocks(self, blocks: list[dict]) -> list[dict]:
        return list(super()._to_structured_blocks(blocks))

    def _render_blocks(self, blocks: list[dict]) -> list[str]:
        return list(super()._render_blocks(blocks))


CALLS: list[tuple[str, Callable[[], Any]]] = [
    ("format_data example", lambda: F.format_data(EXAMPLE)),
    ("format_data through overrides", lambda: Relisting().format_data(EXAMPLE)),
    ("text parser", lambda: F._build_text_fallback_blocks(OVERVIEW_TEXT)),
    ("conversion", lambda: F._to_structured_blocks(OVERVIEW_INTERMEDIATE)),
    ("assembly", lambda: F._build_structured_answer_blocks(OVERVIEW_STRUCTURED)),
    ("rendering", lambda: F._render_blocks(OVERVIEW_DISPLAY)),
    ("line splitting", lambda: F._normalize_text_lines("a\r\nb\rc\n" * 20)),
    ("table", lambda: F._parse_markdown_table(["| a | b |", "|---|---|", "| 1 | 2 |"], 0)),
]


@pytest.mark.parametrize("label, call", CALLS, ids=[label for label, _ in CALLS])
def test_each_allocation_failure_raises_memory_error_or_gives_the_right_result(label, call):
    expected = call()
    failures = successes_in_a_row = 0
    for start in range(MAX_STEPS):
        _testcapi.set_nomemory(start, start + 1)
        try:
            result = call()
        except MemoryError:
            failures += 1
            successes_in_a_row = 0
            continue
        finally:
            _testcapi.remove_mem_hooks()
        assert result == expected, f"{label}: wrong result when allocation {start} failed"
        successes_in_a_row += 1
        if successes_in_a_row == 50:
            break  # well past the call's last allocation
    assert failures > 0, f"{label}: no allocation failure was met"
    assert call() == expected
