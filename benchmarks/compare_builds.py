"""Two builds of the extension timed in interleaved calls, cold and warm.

Run from the repository root:

    PYTHONPATH=python python benchmarks/compare_builds.py A.so B.so [--workload report] [--size 50]
        [--processes 6] [--rounds 60]

Single benchmark runs move by tens of percent on a shared machine, more than most changes are worth.
Here each child process loads both builds and, round after round, calls the baseline and then one build
cold (right after the baseline call, as the benchmark's cold column does), then each build warm; the
builds take turns going first, and the processes alternate which build is loaded first. The mean of the
processes' medians is printed per build, with the baseline's median.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
MODULE = "quorin.amazon_rufus.services.answer_report_formatter"


def load(path: str, tag: str, scratch: str):
    # A private copy per build: the loader keeps one module per file.
    copy = os.path.join(scratch, f"{tag}_{os.path.basename(path)}")
    shutil.copy(path, copy)
    spec = importlib.util.spec_from_file_location(MODULE, copy)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.AnswerReportFormatter().format_data


def child(builds: list[str], workload: str, size: int, rounds: int) -> None:
    sys.path.insert(0, str(HERE))
    import gc

    import workloads
    from run import load_baseline

    baseline = load_baseline().AnswerReportFormatter().format_data
    with tempfile.TemporaryDirectory() as scratch:
        calls = [load(path, str(i), scratch) for i, path in enumerate(builds)]
        data = workloads.build(workload, size)
        expected = baseline(data)
        if any(call(data) != expected for call in calls):
            raise SystemExit("the builds' reports differ from the baseline's")
        gc.disable()
        cold: list[list[float]] = [[] for _ in calls]
        warm: list[list[float]] = [[] for _ in calls]
        base: list[float] = []
        for r in range(rounds):
            order = list(range(len(calls)))
            if r % 2:
                order.reverse()
            for k in order:
                t = time.process_time()
                baseline(data)
                base.append(time.process_time() - t)
                t = time.process_time()
                calls[k](data)
                cold[k].append(time.process_time() - t)
            for k in order:
                calls[k](data)
                t = time.process_time()
                calls[k](data)
                warm[k].append(time.process_time() - t)
        for k in range(len(calls)):
            print(f"{k} {statistics.median(cold[k]) * 1e6:.1f} {statistics.median(warm[k]) * 1e6:.1f} "
                  f"{statistics.median(base) * 1e6:.1f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs=2, help="the two extension files")
    parser.add_argument("--workload", default="report")
    parser.add_argument("--size", type=int, default=50)
    parser.add_argument("--processes", type=int, default=6)
    parser.add_argument("--rounds", type=int, default=60)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.builds, args.workload, args.size, args.rounds)
        return
    sums = {path: [0.0, 0.0] for path in args.builds}
    base = 0.0
    for p in range(args.processes):
        builds = args.builds if p % 2 == 0 else args.builds[::-1]
        out = subprocess.run([sys.executable, __file__, *builds, "--child", "--workload", args.workload,
                              "--size", str(args.size), "--rounds", str(args.rounds)],
                             capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            k, cold, warm, b = line.split()
            sums[builds[int(k)]][0] += float(cold)
            sums[builds[int(k)]][1] += float(warm)
            base += float(b) / len(builds)
    print(f"{args.workload} n={args.size}, {args.processes} processes of {args.rounds} rounds "
          f"(baseline {base / args.processes:.1f} us):")
    for path, (cold, warm) in sums.items():
        print(f"  {path}: cold {cold / args.processes:.1f} us, warm {warm / args.processes:.1f} us")


if __name__ == "__main__":
    main()
