"""Instructions per format_data call, counted by valgrind's callgrind (repeatable, unlike timings).

Run from the repository root: PYTHONPATH=python python benchmarks/instructions.py [NAME[:SIZE] ...]

Each workload runs in a child process under callgrind once with one call and once with five; the
difference over four is the count of one warm call, start-up and input building left out.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

DEFAULT = ["report:50", "tiny_answers:5000", "long_text:20000", "blocks:10000"]

CHILD = """
import sys
sys.path.insert(0, {bench!r})
import workloads
from quorin.amazon_rufus.services.answer_report_formatter import AnswerReportFormatter
data = workloads.build({name!r}, {size})
formatter = AnswerReportFormatter()
for _ in range({calls}):
    formatter.format_data(data)
"""


def count(name: str, size: int, calls: int) -> int:
    code = CHILD.format(bench=str(Path(__file__).resolve().parent), name=name, size=size, calls=calls)
    # A fixed hash seed: dict layouts, and with them the counts, repeat from run to run.
    env = dict(os.environ, PYTHONHASHSEED="0")
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c", code],
                         capture_output=True, text=True, check=True, env=env)
    found = re.search(r"Collected : (\d+)", out.stderr)
    if not found:
        raise SystemExit(out.stderr[-2000:])
    return int(found.group(1))


def main() -> None:
    if not shutil.which("valgrind"):
        raise SystemExit("valgrind not found")
    for spec in sys.argv[1:] or DEFAULT:
        name, _, size = spec.partition(":")
        size_n = int(size or 1)
        per_call = (count(name, size_n, 5) - count(name, size_n, 1)) // 4
        print(f"{name:<16}{size_n:>9}{per_call:>14,} instructions per call")


if __name__ == "__main__":
    main()
