"""How soon a signal stops a long format_data call (Ctrl-C arrives as SIGINT; SIGALRM stands in for it).

Run from the repository root: PYTHONPATH=python python benchmarks/interrupt.py [MB]

One answer of about MB megabytes of text (default 200) is formatted once to time the whole call; then the
same call is interrupted by a signal at several points, and for each the time from the signal to its
handler running (the native loop noticing it) and to the KeyboardInterrupt reaching Python (after the
call's storage is freed) is printed.
"""

from __future__ import annotations

import signal
import sys
import time

from quorin.amazon_rufus.services.answer_report_formatter import AnswerReportFormatter


def text_of_size(mb: int) -> str:
    kinds = ["a paragraph line with some words in it", "- a list item", "  continued further", "| a | b |",
             "| --- | --- |", "| 1 | 2 |", "", "## a heading"]
    line_block = "\n".join(kinds) + "\n"
    return line_block * (mb * 2**20 // len(line_block))


def main() -> None:
    mb = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    data = {"answers": [{"text": text_of_size(mb)}]}
    formatter = AnswerReportFormatter()
    formatter.format_data(data)  # the first call maps its storage: the timed one is as the later ones
    start = time.perf_counter()
    formatter.format_data(data)
    whole = time.perf_counter() - start
    print(f"{mb} MB answer: the whole call takes {whole:.2f} s")
    raised_at = [0.0]

    def on_alarm(signum, frame):
        raised_at[0] = time.perf_counter()
        raise KeyboardInterrupt

    signal.signal(signal.SIGALRM, on_alarm)
    worst = 0.0
    for fraction in (0.1, 0.3, 0.5, 0.7, 0.9):
        delay = whole * fraction
        signal.setitimer(signal.ITIMER_REAL, delay)
        start = time.perf_counter()
        try:
            formatter.format_data(data)
        except KeyboardInterrupt:
            caught = time.perf_counter()
            seen = raised_at[0] - (start + delay)
            latency = caught - (start + delay)
            worst = max(worst, seen)
            print(f"  signal at {delay:.2f} s: seen after {seen * 1e3:.1f} ms, "
                  f"KeyboardInterrupt in Python after {latency * 1e3:.1f} ms (the call's storage freed)")
        else:
            print(f"  signal at {delay:.2f} s: the call finished first")
        signal.setitimer(signal.ITIMER_REAL, 0)
    print(f"worst time from signal to handler: {worst * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
