"""Run an instrumented build of the extension on the benchmark workloads.

The build calls this between its two compilations of the module: the first,
instrumented by the compiler, is loaded from the file given here and formats
every workload at its quick size a few times; the counts it writes at exit
steer the layout and inlining of the second.  Usage:

    python train_profile.py EXTENSION_FILE STAMP_FILE

STAMP_FILE is written last, so that the build knows the profile is complete.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import workloads  # noqa: E402

MODULE = "quorin.amazon_rufus.services.answer_report_formatter"


def load(path: str):
    loader = importlib.machinery.ExtensionFileLoader(MODULE, path)
    spec = importlib.util.spec_from_file_location(MODULE, path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def main() -> None:
    extension, stamp = sys.argv[1], sys.argv[2]
    formatter = load(extension).AnswerReportFormatter()
    for name, workload in workloads.WORKLOADS.items():
        data = workloads.build(name, workload.quick_size)
        for _ in range(3):
            formatter.format_data(data)
    # The counts are written when the interpreter exits; the stamp only
    # names the run.
    Path(stamp).write_text("profile of the benchmark workloads at their quick sizes\n", encoding="ascii")


if __name__ == "__main__":
    main()
