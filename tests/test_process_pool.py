"""The formatter inside process pools: the instance and its bound
``format_data`` pickle, and run in worker processes with the same results.

The workers are started with "spawn", so everything they run reaches them
through pickle alone.
"""

from __future__ import annotations

import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor
from typing import Any

import pytest

module = pytest.importorskip("quorin.amazon_rufus.services.answer_report_formatter")
AnswerReportFormatter = module.AnswerReportFormatter


class Numbered(AnswerReportFormatter):
    """An override, which must survive the trip to the worker."""

    def _render_blocks(self, blocks: list[dict[str, Any]]) -> list[str]:
        lines = super()._render_blocks(blocks)
        return [f"{n:>3} {line}" for n, line in enumerate(lines, 1)]


RESULTS: list[dict[str, Any]] = [
    {
        "questions": [f"Q{n}"],
        "answers": [{"text": f"## H{n}\n- item {n}\n\n| a | b |\n| - | - |\n| {n} | x |"}],
    }
    for n in range(20)
] + [{}, {"answers": "loose"}]


def test_bound_format_data_runs_in_a_process_pool() -> None:
    plain, numbered = AnswerReportFormatter(), Numbered()
    for formatter in (plain, numbered):
        copy = pickle.loads(pickle.dumps(formatter))
        assert type(copy) is type(formatter)
        assert pickle.loads(pickle.dumps(formatter.format_data))(RESULTS[0]) == formatter.format_data(
            RESULTS[0]
        )
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        for formatter in (plain, numbered):
            expected = [formatter.format_data(result) for result in RESULTS]
            assert list(pool.map(formatter.format_data, RESULTS, chunksize=4)) == expected
    assert "\n  1 #### H0\n" in expected[0]  # the override ran in the workers
