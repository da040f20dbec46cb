"""Routes that leave the native fast path, at n and 10n lines, and memory kept after a large call.

Run from the repository root: PYTHONPATH=python python benchmarks/replaced_routes.py [--quick]

Each route parses one table-heavy answer text while a table helper step is not
the native one (the module global `re` behind a pass-through proxy, a subclass
overriding `_parse_pipe_row`, a class with a pass-through `__getattribute__`), or
calls `_parse_markdown_table(lines, i)` once per line. Every route must grow
linearly: the last column is the time per line at 10n over the time per line at n.
The plain-Python baseline runs the same work in the same process for comparison.
The last line is the resident memory a fresh process keeps after one call on a
500,000-line answer: while the result is held, once it is dropped, and after the
next (small) call, which hands the allocator's free pages back to the system.
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import baseline  # noqa: E402
import quorin.amazon_rufus.services.answer_report_formatter as native  # noqa: E402


def table_text(lines: int) -> str:
    """Tables of four body rows between short paragraphs: most lines reach the table rule."""
    out: list[str] = []
    while len(out) < lines:
        out += ["intro line", "| name | price |", "| --- | --- |"]
        out += [f"| item {len(out)} | {len(out) % 97}.99 |" for _ in range(4)]
        out += [""]
    return "\n".join(out[:lines])


class ReProxy:
    """A module global `re` that forwards every attribute to the real module."""

    def __getattr__(self, name: str) -> Any:
        return getattr(re, name)


def routes(module: Any) -> dict[str, Callable[[str], Any]]:
    base = module.AnswerReportFormatter

    class PipeRow(base):  # type: ignore[misc, valid-type]
        def _parse_pipe_row(self, line: str) -> Any:
            return super()._parse_pipe_row(line)

    class PassThrough(base):  # type: ignore[misc, valid-type]
        def __getattribute__(self, name: str) -> Any:
            return object.__getattribute__(self, name)

    def with_proxy(text: str) -> Any:
        module.re = ReProxy()
        try:
            return base()._build_text_fallback_blocks(text)
        finally:
            module.re = re

    def per_line(text: str) -> Any:
        lines = text.split("\n")
        parse = base()._parse_markdown_table
        return [parse(lines, i) for i in range(len(lines))]

    return {
        "re proxy": with_proxy,
        "_parse_pipe_row override": lambda text: PipeRow()._build_text_fallback_blocks(text),
        "__getattribute__": lambda text: PassThrough()._build_text_fallback_blocks(text),
        "table call per line": per_line,
    }


def best(fn: Callable[[], Any], repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.process_time()
        fn()
        times.append(time.process_time() - start)
    return min(times)


RETAINED_CHILD = """
import gc
from quorin.amazon_rufus.services.answer_report_formatter import AnswerReportFormatter
def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 2**20
kinds = ["para line {} with some words", "- item {}", "  continued", "| a | b |", "# head {}"]
text = "\\n".join(kinds[i % 5].format(i) for i in range(500_000))
formatter = AnswerReportFormatter()
formatter.format_data({"answers": [{"text": "warm"}]})
gc.collect()
before = rss_mib()
report = formatter.format_data({"answers": [{"text": text}]})
with_result = rss_mib() - before
size = len(report) * (2 if max(report) > "\\xff" else 1)
del report
gc.collect()
dropped = rss_mib() - before
formatter.format_data({"answers": [{"text": "small"}]})
print(f"{with_result:.1f} {size / 2**20:.1f} {dropped:.1f} {rss_mib() - before:.1f}")
"""


def retained_line() -> str:
    out = subprocess.run([sys.executable, "-c", RETAINED_CHILD], capture_output=True, text=True, check=True)
    with_result, result_size, dropped, after = (float(x) for x in out.stdout.split())
    return (f"500,000-line answer, fresh process: {with_result:.1f} MiB more while the "
            f"{result_size:.1f} MiB result is held, {dropped:.1f} MiB once it is dropped "
            f"(the allocator's free pages), {after:.1f} MiB after the next call")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="n = 1,000 lines and fewer repeats")
    args = parser.parse_args()
    n = 1_000 if args.quick else 4_000
    repeats = 2 if args.quick else 5
    texts = {size: table_text(size) for size in (n, 10 * n)}
    native_routes, baseline_routes = routes(native), routes(baseline)
    print(f"{'route':<28}{'native n':>11}{'native 10n':>12}{'Python 10n':>12}{'10n/n per line':>16}")
    for name, run in native_routes.items():
        at_n = best(lambda: run(texts[n]), repeats)
        at_10n = best(lambda: run(texts[10 * n]), repeats)
        python_10n = best(lambda: baseline_routes[name](texts[10 * n]), 1)
        print(f"{name:<28}{at_n * 1e3:>9.1f}ms{at_10n * 1e3:>10.1f}ms{python_10n * 1e3:>10.1f}ms"
              f"{at_10n / at_n / 10:>16.2f}")
    print(retained_line())


if __name__ == "__main__":
    main()
