"""The native formatter and the pure-Python baseline, side by side, for the comparing tests."""

from __future__ import annotations

import importlib
import sys
from pathlib import Path

import pytest

BENCHMARKS_DIR = Path(__file__).resolve().parents[1] / "benchmarks"
if str(BENCHMARKS_DIR) not in sys.path:
    sys.path.insert(0, str(BENCHMARKS_DIR))

native_module = pytest.importorskip("quorin.amazon_rufus.services.answer_report_formatter")
baseline_module = importlib.import_module("baseline")

NATIVE = native_module.AnswerReportFormatter()
BASE = baseline_module.AnswerReportFormatter()


class _Staged(native_module.AnswerReportFormatter):
    """The native formatter kept off the fused route: a replaced step (here one that calls the
    native one) makes every answer take the staged route through records and block dicts."""

    def _render_blocks(self, blocks):
        return super()._render_blocks(blocks)


STAGED = _Staged()
