"""Benchmark the native report formatter against the plain-Python baseline.

Usage, from the repository root:

    python benchmarks/run.py [--quick] [--only NAME[,NAME...]] [--json FILE]

The installed package is used when importable; otherwise the repository's
``python/`` directory is put on the path. Each workload (see workloads.py) is
built at size n and 10n, both implementations must give the same report, and
one row per workload is printed with timings, throughput, memory and scaling,
checked against the goals listed in GOALS.
"""

from __future__ import annotations

import argparse
import atexit
import gc
import importlib
import importlib.util
import json
import os
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any, Callable

BENCH_DIR = Path(__file__).resolve().parent
REPO_DIR = BENCH_DIR.parent
NATIVE_MODULE = "quorin.amazon_rufus.services.answer_report_formatter"

if str(BENCH_DIR) not in sys.path:
    sys.path.insert(0, str(BENCH_DIR))

import workloads  # noqa: E402

GOALS = {
    "speedup_report": 30.0,  # baseline/native on the realistic report, cold
    "speedup_report_warm": 50.0,  # the same, warm
    "speedup_long_text": 40.0,  # baseline/native on long_text, cold and warm
    "speedup_other": 15.0,  # baseline/native on every other workload, cold and warm
    "scaling": 1.3,  # time per unit at 10n over time per unit at n (or the copy floor's own slowdown)
    "memory": 2.5,  # peak of one call over (input texts + output), UTF-8 bytes
    "floor_report": 50.0,  # native over the "\n\n".join copy floor, realistic report
}

# The clock for every timing; --clock cpu switches to process CPU time, which
# leaves out the time spent waiting for a core on a busy machine.
CLOCK: Callable[[], float] = time.perf_counter

# Baseline runs at 10n only when 10x its time at n stays under this (seconds).
BASELINE_10N_LIMIT = 8.0


@dataclass
class Settings:
    native_runs: int
    native_budget: float
    baseline_runs: int
    baseline_budget: float
    floor_runs: int
    floor_budget: float
    baseline_10n_limit: float


# Baseline runs include the first call, which checks the output and which no cold call
# follows: one more than the cold calls.
DEFAULT = Settings(7, 2.0, 8, 4.0, 9, 0.5, BASELINE_10N_LIMIT)
QUICK = Settings(3, 0.5, 4, 1.0, 3, 0.1, 1.0)


@dataclass
class Result:
    name: str
    description: str
    size: int
    unit: str
    input_bytes: int = 0
    output_bytes: int = 0
    native_s: float = 0.0  # cold: each call right after a baseline call
    native_min_s: float = 0.0
    native_warm_s: float = 0.0  # warm: calls repeated back to back
    native_runs: int = 0
    native_faults: float = 0.0  # page faults per cold call (mean)
    baseline_s: float | None = None
    baseline_runs: int = 0
    floor_s: float = 0.0
    floor_min_s: float = 0.0
    floor_10n_min_s: float = 0.0
    tracemalloc_peak: int = 0
    rss_delta: int | None = None
    rss_method: str = ""
    units_n: float = 0.0
    units_10n: float = 0.0
    native_10n_s: float = 0.0
    native_10n_min_s: float = 0.0
    baseline_10n_s: float | None = None
    equal_n: bool | None = None
    equal_10n: bool | None = None
    notes: list[str] = field(default_factory=list)

    # Derived figures -------------------------------------------------------

    @property
    def speedup(self) -> float | None:
        return self.baseline_s / self.native_s if self.baseline_s else None

    @property
    def speedup_warm(self) -> float | None:
        return self.baseline_s / self.native_warm_s if self.baseline_s and self.native_warm_s else None

    @property
    def throughput(self) -> float:
        return self.output_bytes / self.native_s / 1e6

    @property
    def floor_ratio(self) -> float:
        return self.native_s / self.floor_s

    @property
    def memory_peak(self) -> int:
        return max(self.tracemalloc_peak, self.rss_delta or 0)

    @property
    def memory_ratio(self) -> float:
        return self.memory_peak / max(1, self.input_bytes + self.output_bytes)

    @property
    def per_unit_n(self) -> float:
        return self.native_s / self.units_n

    @property
    def per_unit_10n(self) -> float:
        return self.native_10n_s / self.units_10n

    @property
    def scaling(self) -> float:
        # Minimum times: load from other processes only ever adds to a run.
        return (self.native_10n_min_s / self.units_10n) / (self.native_min_s / self.units_n)

    @property
    def floor_scaling(self) -> float:
        # The same ratio for the copy floor, a reference for what the machine does at 10x the data.
        return self.floor_10n_min_s / self.floor_min_s / 10

    @property
    def baseline_scaling(self) -> float | None:
        if not self.baseline_10n_s or not self.baseline_s:
            return None
        return (self.baseline_10n_s / self.units_10n) / (self.baseline_s / self.units_n)

    def verdicts(self) -> dict[str, str]:
        def mark(ok: bool | None) -> str:
            return "-" if ok is None else ("PASS" if ok else "MISS")

        if self.name == "report":
            cold_goal, warm_goal = GOALS["speedup_report"], GOALS["speedup_report_warm"]
        elif self.name == "long_text":
            cold_goal = warm_goal = GOALS["speedup_long_text"]
        else:
            cold_goal = warm_goal = GOALS["speedup_other"]
        speed = None
        if self.speedup is not None and self.speedup_warm is not None:
            speed = self.speedup >= cold_goal and self.speedup_warm >= warm_goal
        return {
            "speed": mark(speed),
            "scale": mark(self.scaling <= max(GOALS["scaling"], self.floor_scaling)),
            "mem": mark(self.memory_ratio <= GOALS["memory"]),
            "floor": mark(self.floor_ratio <= GOALS["floor_report"] if self.name == "report" else None),
        }

    def to_json(self) -> dict[str, Any]:
        data = asdict(self)
        for key in ("speedup", "speedup_warm", "throughput", "floor_ratio", "memory_peak", "memory_ratio",
                    "per_unit_n", "per_unit_10n", "scaling", "floor_scaling", "baseline_scaling"):
            data[key] = getattr(self, key)
        data["verdicts"] = self.verdicts()
        return data


# --------------------------------------------------------------------------
# Loading the implementations
# --------------------------------------------------------------------------


def find_native() -> tuple[Path, str]:
    """Where the extension file is: the installed package if any, else the repo's python/ dir."""
    def lookup() -> Any:
        try:
            return importlib.util.find_spec(NATIVE_MODULE)
        except ImportError:  # a parent package is missing
            return None

    spec = lookup()
    origin = "importable"
    if spec is None or not spec.origin:
        sys.path.insert(0, str(REPO_DIR / "python"))
        importlib.invalidate_caches()
        spec = lookup()
        origin = "repo python/ (package not installed)"
    if spec is None or not spec.origin:
        raise SystemExit(f"cannot find {NATIVE_MODULE}; build it or set PYTHONPATH")
    return Path(spec.origin), origin


def snapshot(module_file: Path) -> Path:
    """A private copy of the extension file, so a rebuild during the run cannot swap or crash it."""
    directory = Path(tempfile.mkdtemp(prefix="formatter-bench-"))
    atexit.register(shutil.rmtree, directory, True)
    for _ in range(10):
        before = module_file.stat()
        copy = Path(shutil.copy2(module_file, directory / module_file.name))
        after = module_file.stat()
        if (before.st_mtime_ns, before.st_size) == (after.st_mtime_ns, after.st_size):
            return copy
        time.sleep(1)  # being rewritten right now
    raise SystemExit(f"{module_file} keeps changing; try again later")


def load_native(module_file: Path | None = None) -> Any:
    """The native module, from module_file when given, else by its import name."""
    if module_file is None:
        return importlib.import_module(NATIVE_MODULE)
    spec = importlib.util.spec_from_file_location(NATIVE_MODULE, module_file)
    assert spec and spec.loader
    module = importlib.util.module_from_spec(spec)
    sys.modules[NATIVE_MODULE] = module
    spec.loader.exec_module(module)
    return module


def load_baseline() -> Any:
    spec = importlib.util.spec_from_file_location("baseline_formatter", BENCH_DIR / "baseline.py")
    assert spec and spec.loader
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# --------------------------------------------------------------------------
# Measuring
# --------------------------------------------------------------------------


@dataclass
class Timing:
    fn: Callable[[], Any]
    runs: int  # at most this many calls
    budget: float  # and no new call once this many seconds are spent
    times: list[float] = field(default_factory=list)
    faults: list[int] = field(default_factory=list)  # minor page faults of each call
    # Timed right before every call of this one, so that each call comes right after
    # one of its calls (the cold pairing); calls stop when either runs out.
    before: Timing | None = None

    def wants_more(self) -> bool:
        if not self.times:
            return True  # one call at least, even when `before` is out of runs
        mine = len(self.times) < self.runs and sum(self.times) < self.budget
        return mine and (self.before is None or self.before.wants_more())

    @property
    def median(self) -> float:
        return statistics.median(self.times)

    @property
    def min(self) -> float:
        return min(self.times)


def call(timing: Timing) -> None:
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    start = CLOCK()
    timing.fn()
    timing.times.append(CLOCK() - start)
    timing.faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults)


def measure(*timings: Timing) -> None:
    """Time the given calls round-robin until each has its runs or has spent its budget.

    Interleaving puts the calls being compared under the same background load. The
    cyclic collector is off while timing, as in timeit, so its pauses do not land on
    whichever run happens to trigger them.
    """
    enabled = gc.isenabled()
    gc.disable()
    try:
        while any(timing.wants_more() for timing in timings):
            for timing in timings:
                if timing.wants_more():
                    if timing.before is not None:
                        call(timing.before)
                    call(timing)
    finally:
        if enabled:
            gc.enable()


@dataclass
class MixResult:
    reports: int = 0
    calls: int = 0
    answers: tuple[int, int] = (0, 0)
    baseline_s: float = 0.0  # sums over every call
    native_s: float = 0.0
    faults: float = 0.0  # page faults per native call (mean)
    equal: bool = True

    @property
    def speedup(self) -> float:
        return self.baseline_s / self.native_s if self.native_s else 0.0


def run_mix(native_fmt: Callable[[dict], str], baseline_fmt: Callable[[dict], str], rounds: int) -> MixResult:
    """Different reports in turn, each native call right after a baseline call on the same report.

    The workloads repeat one input; a caller's reports differ in content and size, which the
    kept report str and the allocator see.  Times are summed, so large reports weigh more.
    """
    reports = workloads.report_mix()
    sizes = [len(data["answers"]) for data in reports]
    result = MixResult(reports=len(reports), answers=(min(sizes), max(sizes)))
    result.equal = all(native_fmt(data) == baseline_fmt(data) for data in reports)
    faults = 0
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            for data in reports:
                start = CLOCK()
                baseline_fmt(data)
                result.baseline_s += CLOCK() - start
                before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
                start = CLOCK()
                native_fmt(data)
                result.native_s += CLOCK() - start
                faults += resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
                result.calls += 1
    finally:
        if enabled:
            gc.enable()
    result.faults = faults / result.calls
    return result


def timed_call(fn: Callable[[], Any]) -> tuple[Any, float]:
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = CLOCK()
        value = fn()
        return value, CLOCK() - start
    finally:
        if enabled:
            gc.enable()


def tracemalloc_peak(fn: Callable[[], Any]) -> int:
    """Peak of Python-heap allocations during one call of fn."""
    gc.collect()
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        base, _ = tracemalloc.get_traced_memory()
        fn()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return peak - base


def _proc_status_kib(key: str) -> int | None:
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            match = re.search(rf"^{key}:\s+(\d+) kB", status.read(), re.M)
    except OSError:
        return None
    return int(match.group(1)) if match else None


def rss_child(name: str, size: int, module_file: str) -> None:
    """Run in a fresh process: print the resident-set growth of one native call as JSON."""
    if not module_file:
        find_native()
    native = load_native(Path(module_file) if module_file else None)
    formatter = native.AnswerReportFormatter()
    # A first call on a small, different input keeps one-time start-up costs out of the figure.
    formatter.format_data(workloads.build("report", 3))
    data = workloads.build(name, size)
    gc.collect()
    method = "VmHWM reset"
    try:
        # Writing 5 resets the peak-RSS mark, so building the input does not mask the call's peak.
        with open("/proc/self/clear_refs", "w", encoding="ascii") as clear:
            clear.write("5")
    except OSError:
        method = "ru_maxrss (upper bound)"
    before = _proc_status_kib("VmRSS")
    if before is None:
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        method = "ru_maxrss (upper bound)"
    formatter.format_data(data)
    if method == "VmHWM reset":
        peak = _proc_status_kib("VmHWM") or 0
    else:
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"delta": max(0, peak - before) * 1024, "method": method}))


def rss_delta(name: str, size: int, module_file: str) -> tuple[int | None, str]:
    command = [sys.executable, str(Path(__file__).resolve()), "--rss-child", name, str(size), module_file]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=300, check=True)
        answer = json.loads(done.stdout.strip().splitlines()[-1])
    except (subprocess.SubprocessError, ValueError, IndexError) as error:
        return None, f"failed: {error}"
    return answer["delta"], answer["method"]


def describe_mismatch(native: str, baseline: str) -> str:
    limit = min(len(native), len(baseline))
    at = next((i for i in range(limit) if native[i] != baseline[i]), limit)
    line = baseline.count("\n", 0, at) + 1
    return (
        f"lengths native {len(native)} / baseline {len(baseline)}; first difference at "
        f"char {at} (line {line}):\n      native:   {native[max(0, at - 60):at + 60]!r}\n"
        f"      baseline: {baseline[max(0, at - 60):at + 60]!r}"
    )


def utf8_size(texts: list[str]) -> int:
    return sum(len(text.encode("utf-8", "surrogatepass")) for text in texts)


# --------------------------------------------------------------------------
# One workload
# --------------------------------------------------------------------------


def run_workload(name: str, size: int, native: Any, baseline: Any, cfg: Settings,
                 errors: list[str], rss_module: str | None) -> Result:
    """Measure one workload; rss_module is the extension file for the RSS subprocess
    ("" to import it by name, None to skip that measurement)."""
    spec = workloads.WORKLOADS[name]
    result = Result(name, spec.description, size, spec.unit)
    native_fmt = native.AnswerReportFormatter().format_data
    baseline_fmt = baseline.AnswerReportFormatter().format_data

    # Size n ------------------------------------------------------------------
    data = workloads.build(name, size)
    texts = workloads.input_texts(data)
    result.input_bytes = utf8_size(texts)
    result.units_n = workloads.unit_count(name, data)

    native_out = native_fmt(data)  # warm-up, and the output checked below
    result.output_bytes = len(native_out.encode("utf-8", "surrogatepass"))
    baseline_out, first = timed_call(lambda: baseline_fmt(data))
    result.equal_n = native_out == baseline_out
    if not result.equal_n:
        errors.append(f"{name} at n={size}: native and baseline reports differ: "
                      + describe_mismatch(native_out, baseline_out))
    del native_out, baseline_out

    # str.join hands back a lone text without copying it; an empty second text forces the copy.
    floor_texts = texts if len(texts) > 1 else texts + [""]
    baseline_t = Timing(lambda: baseline_fmt(data), cfg.baseline_runs, cfg.baseline_budget, [first])
    # Every cold call comes right after a baseline call, which is timed too.
    native_t = Timing(lambda: native_fmt(data), cfg.native_runs, cfg.native_budget, before=baseline_t)
    floor_t = Timing(lambda: "\n\n".join(floor_texts), cfg.floor_runs, cfg.floor_budget)
    measure(native_t, floor_t)
    result.native_s, result.native_min_s, result.native_runs = native_t.median, native_t.min, len(native_t.times)
    result.native_faults = statistics.mean(native_t.faults)
    # Warm is the settled figure: the processor learns an input's branches over
    # several calls, so as many calls again go first, untimed.
    measure(Timing(lambda: native_fmt(data), cfg.native_runs, cfg.native_budget))
    warm_t = Timing(lambda: native_fmt(data), cfg.native_runs, cfg.native_budget)
    measure(warm_t)
    result.native_warm_s = warm_t.median
    result.baseline_s, result.baseline_runs = baseline_t.median, len(baseline_t.times)
    result.floor_s, result.floor_min_s = floor_t.median, floor_t.min
    result.tracemalloc_peak = tracemalloc_peak(lambda: native_fmt(data))
    del data, texts, floor_texts
    gc.collect()
    if rss_module is not None:
        result.rss_delta, result.rss_method = rss_delta(name, size, rss_module)

    # Size 10n -----------------------------------------------------------------
    big = workloads.build(name, 10 * size)
    result.units_10n = workloads.unit_count(name, big)
    big_texts = workloads.input_texts(big)
    big_texts = big_texts if len(big_texts) > 1 else big_texts + [""]
    native_big = native_fmt(big)
    native_t = Timing(lambda: native_fmt(big), cfg.native_runs, 2 * cfg.native_budget)
    floor_t = Timing(lambda: "\n\n".join(big_texts), cfg.floor_runs, 2 * cfg.floor_budget)
    measure(native_t, floor_t)
    result.native_10n_s, result.native_10n_min_s = native_t.median, native_t.min
    result.floor_10n_min_s = floor_t.min
    del big_texts
    predicted = 10 * result.baseline_s
    if predicted <= cfg.baseline_10n_limit:
        baseline_big, result.baseline_10n_s = timed_call(lambda: baseline_fmt(big))
        result.equal_10n = native_big == baseline_big
        if not result.equal_10n:
            errors.append(f"{name} at 10n={10 * size}: native and baseline reports differ: "
                          + describe_mismatch(native_big, baseline_big))
    else:
        result.notes.append(
            f"baseline not run at 10n (10x its time at n is {predicted:.0f} s); native timed only, "
            f"output compared at n only")
    del big, native_big
    gc.collect()
    return result


# --------------------------------------------------------------------------
# Output
# --------------------------------------------------------------------------


def machine_lines(native_origin: str, module_file: Path) -> list[str]:
    cpu = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            match = re.search(r"^model name\s*:\s*(.+)$", info.read(), re.M)
            if match:
                cpu = match.group(1).strip()
    except OSError:
        pass
    return [
        f"platform : {platform.platform()}",
        f"cpu      : {cpu} ({os.cpu_count()} logical cores)",
        f"python   : {platform.python_implementation()} {sys.version.split()[0]} ({sys.executable})",
        f"native   : {module_file} ({native_origin}; built "
        f"{time.strftime('%Y-%m-%d %H:%M:%S', time.localtime(module_file.stat().st_mtime))})",
    ]


def load_line() -> str:
    """The load average, with a warning when other work competes for the cores."""
    try:
        load = os.getloadavg()[0]
    except OSError:
        return "load     : unknown"
    line = f"load     : {load:.2f} (1-minute average)"
    cores = os.cpu_count() or 1
    if load > max(1.0, cores - 1):
        line += f"; WARNING: other jobs are using the {cores} cores, wall-clock figures are noisy (try --clock cpu)"
    return line


def fmt(value: float | None, spec: str) -> str:
    return "-" if value is None else format(value, spec)


COLUMNS = [
    # header, width, cell
    ("workload", 14, lambda r: r.name),
    ("n", 8, lambda r: str(r.size)),
    ("in MB", 6, lambda r: fmt(r.input_bytes / 1e6, ".2f")),
    ("out MB", 6, lambda r: fmt(r.output_bytes / 1e6, ".2f")),
    ("cold ms", 8, lambda r: fmt(r.native_s * 1e3, ".2f")),
    ("warm ms", 8, lambda r: fmt(r.native_warm_s * 1e3, ".2f")),
    ("base ms", 8, lambda r: fmt(r.baseline_s * 1e3 if r.baseline_s else None, ".1f")),
    ("flt", 5, lambda r: fmt(r.native_faults, ".1f")),
    ("cold x", 7, lambda r: fmt(r.speedup, ".1f") + "x"),
    ("warm x", 7, lambda r: fmt(r.speedup_warm, ".1f") + "x"),
    ("MB/s", 6, lambda r: fmt(r.throughput, ".0f")),
    ("floor ms", 8, lambda r: fmt(r.floor_s * 1e3, ".3f")),
    ("x floor", 7, lambda r: fmt(r.floor_ratio, ".1f")),
    ("tm MB", 6, lambda r: fmt(r.tracemalloc_peak / 1e6, ".2f")),
    ("rss MB", 6, lambda r: fmt(None if r.rss_delta is None else r.rss_delta / 1e6, ".2f")),
    ("mem x", 5, lambda r: fmt(r.memory_ratio, ".2f")),
    ("us/unit n", 9, lambda r: fmt(r.per_unit_n * 1e6, ".4g") + ("/MiB" if r.unit == "MiB" else "")),
    ("us/u 10n", 9, lambda r: fmt(r.per_unit_10n * 1e6, ".4g") + ("/MiB" if r.unit == "MiB" else "")),
    ("scale", 5, lambda r: fmt(r.scaling, ".2f")),
    ("fl sc", 5, lambda r: fmt(r.floor_scaling, ".2f")),
    ("speed", 5, lambda r: r.verdicts()["speed"]),
    ("scal", 4, lambda r: r.verdicts()["scale"]),
    ("mem", 4, lambda r: r.verdicts()["mem"]),
    ("floor", 5, lambda r: r.verdicts()["floor"]),
    ("out==", 5, lambda r: "ok" if r.equal_n and r.equal_10n is not False else "DIFF"),
]


def table(results: list[Result]) -> str:
    def line(cells: list[str]) -> str:
        return " ".join(cell.ljust(w) if i == 0 else cell.rjust(w)
                        for i, (cell, (_, w, _)) in enumerate(zip(cells, COLUMNS)))

    rows = [line([header for header, _, _ in COLUMNS])]
    rows.append("-" * len(rows[0]))
    rows.extend(line([cell(result) for _, _, cell in COLUMNS]) for result in results)
    return "\n".join(rows)


LEGEND = """\
Columns: n = workload size (answers, lines, blocks, rows or bytes); in/out MB = UTF-8 size of every
input text (answers and questions) and of the report; cold ms = median time of one native
format_data call made right after a baseline call; warm ms = the same for native calls repeated back
to back, after as many untimed ones (the processor learns an input's branches over a few calls);
base ms = median time of one baseline call; flt = page faults per cold native call (mean; each
costs microseconds, more on a virtual machine, and comes from fresh pages the allocator hands out); cold x, warm x = base/cold, base/warm; MB/s =
report bytes per (cold) native second; floor ms = median of "\\n\\n".join(input texts), with an empty
text appended when there is only one so that it is copied;
x floor = native/floor; tm MB = tracemalloc peak of one native call (Python allocations only);
rss MB = growth of the peak resident set over one native call in a fresh process (sees the C++ heap
too, but not memory reused from freed blocks); mem x = max(tm, rss) / (in + out); us/unit = native
time per input line (answer-text lines plus one per structured block; per MiB for long_line) at n and
10n (medians); scale = time per unit at 10n over time per unit at n, from minimum times; fl sc = the
same ratio for the copy floor (the machine's own slowdown on 10x the data, e.g. from cache misses).
Goals: speed = cold x >= {speedup_report:g} and warm x >= {speedup_report_warm:g} for report, both >= {speedup_long_text:g}
for long_text and >= {speedup_other:g} otherwise; scal = scale <= {scaling:g} or <= fl sc; mem = mem x <= {memory:g}; floor = x floor <= {floor_report:g} (report only). Times are {clock}, with the cyclic GC off."""


# --------------------------------------------------------------------------
# Main
# --------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller n and fewer repeats (smoke run)")
    parser.add_argument("--only", metavar="NAME", help="comma-separated workloads: " + ", ".join(workloads.WORKLOADS))
    parser.add_argument("--json", metavar="FILE", help="also write the results to FILE as JSON")
    parser.add_argument("--no-rss", action="store_true", help="skip the per-workload RSS subprocess")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="time with the wall clock (default) or with process CPU time, "
                             "steadier when other jobs share the cores")
    parser.add_argument("--no-snapshot", action="store_true",
                        help="import the extension in place instead of from a private copy")
    parser.add_argument("--rss-child", nargs=3, metavar=("NAME", "SIZE", "FILE"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.rss_child:
        rss_child(args.rss_child[0], int(args.rss_child[1]), args.rss_child[2])
        return 0

    names = list(workloads.WORKLOADS)
    if args.only:
        names = [name.strip() for name in args.only.split(",") if name.strip()]
        unknown = [name for name in names if name not in workloads.WORKLOADS]
        if unknown:
            parser.error(f"unknown workload(s) {', '.join(unknown)}; choose from {', '.join(workloads.WORKLOADS)}")

    module_file, origin = find_native()
    loaded_file = None if args.no_snapshot else snapshot(module_file)
    native = load_native(loaded_file)
    if loaded_file is not None:
        origin += ", run from a private copy"
    baseline = load_baseline()
    cfg = QUICK if args.quick else DEFAULT
    global CLOCK
    CLOCK = time.process_time if args.clock == "cpu" else time.perf_counter
    machine = machine_lines(origin, module_file)
    print("\n".join(machine))
    print(f"mode     : {'quick' if args.quick else 'default'}, {args.clock} clock; "
          f"workloads: {', '.join(names)}", flush=True)
    print(load_line() + "\n", flush=True)

    # Other people may rebuild the extension while this runs; say so if the file changes.
    module_stamp = module_file.stat().st_mtime_ns
    rss_module = None if args.no_rss else str(loaded_file or "")
    started = time.perf_counter()
    results: list[Result] = []
    errors: list[str] = []
    for name in names:
        spec = workloads.WORKLOADS[name]
        size = spec.quick_size if args.quick else spec.size
        t0 = time.perf_counter()
        result = run_workload(name, size, native, baseline, cfg, errors, rss_module)
        results.append(result)
        print(f"  {name}: done in {time.perf_counter() - t0:.1f} s", file=sys.stderr, flush=True)

    mix = None
    if not args.only:
        t0 = time.perf_counter()
        mix = run_mix(native.AnswerReportFormatter().format_data, baseline.AnswerReportFormatter().format_data,
                      1 if args.quick else 4)
        print(f"  mixed reports: done in {time.perf_counter() - t0:.1f} s", file=sys.stderr, flush=True)
        if not mix.equal:
            errors.append("mixed reports: native and baseline reports differ")

    sys.stderr.flush()
    print(table(results))
    if mix:
        print(f"\nMixed reports (no goal): {mix.reports} different reports of {mix.answers[0]} to {mix.answers[1]} "
              f"answers in turn, {mix.calls} calls, each native call right after a baseline call on the same "
              f"report: baseline/native {mix.speedup:.1f}x (summed times), {mix.faults:.1f} page faults per native "
              f"call, outputs {'equal' if mix.equal else 'DIFFER'}.")
    print()
    print(LEGEND.format(clock="process CPU time" if args.clock == "cpu" else "wall clock", **GOALS))
    notes = [f"{r.name}: {note}" for r in results for note in r.notes]
    rss_methods = {r.rss_method for r in results if r.rss_method and r.rss_method != "VmHWM reset"}
    if rss_methods:
        notes.append("rss: " + "; ".join(sorted(rss_methods)))
    if notes:
        print("Notes:")
        for number, note in enumerate(notes, 1):
            print(f"  [{number}] {note}")
    misses = [f"{r.name}:{goal}" for r in results for goal, verdict in r.verdicts().items() if verdict == "MISS"]
    print(f"\nGoals missed: {', '.join(misses) if misses else 'none'}")
    print(f"Total time: {time.perf_counter() - started:.1f} s; at the end {load_line()}")
    if module_file.stat().st_mtime_ns != module_stamp:
        if loaded_file is None:
            print(f"WARNING: {module_file} was rebuilt during the run; the figures may mix builds.")
        else:
            print(f"NOTE: {module_file} was rebuilt during the run; all figures are for the build "
                  f"copied at the start.")

    if args.json:
        payload = {
            "machine": machine,
            "mode": "quick" if args.quick else "default",
            "goals": GOALS,
            "results": [r.to_json() for r in results],
            "mixed_reports": asdict(mix) | {"speedup": mix.speedup} if mix else None,
            "errors": errors,
        }
        Path(args.json).write_text(json.dumps(payload, indent=2, ensure_ascii=False), encoding="utf-8")
        print(f"Results written to {args.json}")

    if errors:
        print("\nERROR: native and baseline outputs differ:", file=sys.stderr)
        for error in errors:
            print("  - " + error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
