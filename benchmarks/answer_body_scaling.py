"""Time of _format_answer_body on one large answer text at n and 10n lines.

Run from the repository root: PYTHONPATH=python python benchmarks/answer_body_scaling.py
"""

from __future__ import annotations

import random
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import workloads  # noqa: E402
from quorin.amazon_rufus.services.answer_report_formatter import AnswerReportFormatter  # noqa: E402


def best_time(call, repeats: int = 7) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.process_time()
        call()
        best = min(best, time.process_time() - start)
    return best


def main() -> None:
    formatter = AnswerReportFormatter()
    per_line = {}
    for lines in (5_000, 50_000):
        record = {"text": workloads.markdown_lines(random.Random(7), lines)}
        formatter._format_answer_body(1, record)  # warm the buffers
        seconds = best_time(lambda: formatter._format_answer_body(1, record))
        per_line[lines] = seconds / lines
        print(f"{lines:>6} lines, {len(record['text']):>9} chars: {seconds * 1e3:7.2f} ms, "
              f"{seconds / lines * 1e9:5.0f} ns/line")
    print(f"time per line at 10n / at n: {per_line[50_000] / per_line[5_000]:.2f}")


if __name__ == "__main__":
    main()
