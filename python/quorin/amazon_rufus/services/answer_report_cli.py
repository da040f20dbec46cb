"""Command line for the Amazon Rufus answer report formatter.

Reads result dictionaries as JSON (files, JSON Lines or standard input),
formats each with ``AnswerReportFormatter().format_data`` (in worker processes
when there are several) and writes the reports as UTF-8 text, in input order,
to one stream or to one file per input in a directory.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import difflib
import errno
import importlib
import json
import os
import select
import shutil
import signal
import stat
import sys
import tempfile
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import IO, Any, BinaryIO, NoReturn

PROG = "rufus-answer-report"
FORMATTER_MODULE = "quorin.amazon_rufus.services.answer_report_formatter"

# Exit statuses.
EXIT_OK = 0
EXIT_FAILURE = 1  # the formatter could not be loaded or failed on the input
EXIT_USAGE = 2  # bad command line, unreadable or malformed input, unwritable output
EXIT_INTERRUPTED = 130  # Ctrl-C (SIGINT), as a shell reports a program it ended
EXIT_STDOUT_GONE = 141  # standard output closed or its reader gone, as SIGPIPE would give

DESCRIPTION = """\
Format the full result of an Amazon Rufus question run (the manager's result
dictionary, as JSON) into the front-end-style Markdown-like terminal report.
Several inputs, and JSON Lines files with one result per line, are formatted
in one run, in worker processes, with the reports in input order.
"""

EPILOG = """\
input:
  INPUT is a JSON file holding one JSON object (the result dictionary with
  "answers", "questions", "upload_payload", ...) or "-" for standard input.
  The input is read as UTF-8; one leading byte order mark is accepted.
  An INPUT named *.jsonl or *.ndjson, or any INPUT with --jsonl, is JSON
  Lines: one result object per line, blank lines skipped.

output:
  One JSON input gives its report alone, exactly as the formatter makes it,
  followed by one newline (nothing for an empty report). Several inputs, or
  any JSON Lines input, give one report per result, each under a header line
  naming its input ("==> result.json <==", "==> runs.jsonl:17 <==" for line
  17, "<stdin>" for standard input), the reports separated by an empty line.

  The reports go to standard output, or to FILE with -o ("-o -" also means
  standard output), or with -d to one file per result in DIR: result.json
  gives DIR/result.md, line 17 of runs.jsonl gives DIR/runs/17.md, standard
  input DIR/stdin.md. Files are replaced only when complete; two inputs that
  would write the same file are refused before anything is done. With -o an
  empty report still creates the file, empty.

  Written to a file or a pipe, the report is reproduced byte for byte. Written
  to a terminal, control characters other than newline and tab (U+0000-U+001F,
  U+007F and U+0080-U+009F) are shown escaped as \\xHH, for example an escape
  character as the four characters \\x1b, so that answer text cannot send
  commands to the terminal. --raw-control writes them unescaped. A lone
  surrogate (a JSON escape such as "\\ud800") has no UTF-8 form and is
  written as the six characters \\ud800.

  A result without usable "answers" gives an empty report and a one-line
  note on standard error naming its top-level keys.

  --pretty renders each report with rich's Markdown renderer instead of
  writing its text: headings styled, tables aligned by display width (CJK
  text included), at the terminal's width. On a terminal it has colours;
  into a file or pipe it is plain text. It needs the optional package rich:
  pip install 'quorin-answer-report-formatter[pretty]'.

batch:
  -j N formats with N worker processes (default: the number of usable
  cores, unless the inputs are files of less than 4 MB in all, which one
  process formats sooner); the reports keep the order of the inputs. JSON
  Lines from a pipe are reported as they arrive: when the writer pauses,
  every report under way is written before waiting for more. A progress bar is shown
  on standard error when it is a terminal and the batch takes more than half
  a second (--progress always/never to force it). A bad input is reported
  as one line naming it (and its line in a JSON Lines file); nothing is
  written for it, and every other input still gets its report.

exit status:
  0  every report was written (an empty report too)
  1  internal failure: the formatter could not be loaded or failed on an
     input, or a worker process died (takes precedence over 2)
  2  bad input or usage: usage error, unreadable input, invalid UTF-8, invalid
     JSON, a top level that is not a JSON object, or an unwritable output
  130  interrupted (Ctrl-C): "interrupted" is written on standard error and
     no output file is left behind, not even in part
  141  standard output went away: its reader left early (for example
     "| head -1") or it was closed (">&-"); the same status whatever the
     size of the output. A reader that goes away ends the run quietly; a
     closed standard output gives a one-line error.
  Every error is one line on standard error naming the input.

examples:
  rufus-answer-report examples/result.json
  rufus-answer-report examples/result.json -o report.md
  python -m quorin.amazon_rufus.services.answer_report_cli - < result.json
  cat result.json | rufus-answer-report - | less
  rufus-answer-report results/*.json -d reports/ -j 4
  rufus-answer-report runs.jsonl > reports.txt
  producer | rufus-answer-report --jsonl - -d reports/
"""


class StdoutGone(Exception):
    """Standard output is closed or its reader has gone away."""


class CliError(Exception):
    """A failure reported to the user as one line on standard error."""

    def __init__(self, message: str, status: int = EXIT_USAGE) -> None:
        super().__init__(message)
        self.message = message
        self.status = status


class _ArgumentParser(argparse.ArgumentParser):
    """Argument parser that reports usage errors through ``CliError``.

    argparse would otherwise call ``sys.exit`` itself; raising keeps ``main``
    usable from other Python code, which gets the status as a return value.
    """

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        raise CliError(message)


# Code points that can drive a terminal: the C0 controls except tab and line
# feed, DEL and the C1 controls. Each is shown as a \xHH escape.
_CONTROL_ESCAPES: dict[int, str] = {
    code: f"\\x{code:02x}"
    for code in (*range(0x00, 0x20), 0x7F, *range(0x80, 0xA0))
    if code not in (0x09, 0x0A)
}

# For error messages every control character is escaped, tab and line feed
# included, so that a message always stays on one line.
_MESSAGE_ESCAPES: dict[int, str] = {
    **_CONTROL_ESCAPES,
    0x09: "\\x09",
    0x0A: "\\x0a",
}


def escape_control_characters(text: str) -> str:
    """Return ``text`` with terminal control characters written as ``\\xHH``.

    Line feed and tab are kept; every other C0 control, DEL and every C1
    control becomes the four characters backslash, ``x`` and two lowercase hex
    digits.
    """
    return text.translate(_CONTROL_ESCAPES)


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _usable_cores() -> int:
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


# Below this much JSON in regular files, starting worker processes costs
# more than it saves.
_SERIAL_BYTES = 4 << 20


def _default_jobs(paths: list[str]) -> int:
    size = 0
    for path in paths:
        if path == "-":
            return _usable_cores()
        try:
            size += os.stat(path).st_size
        except OSError:
            pass  # reported when it is read
    return 1 if size < _SERIAL_BYTES else _usable_cores()


def _build_parser() -> argparse.ArgumentParser:
    parser = _ArgumentParser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "inputs",
        nargs="+",
        metavar="INPUT",
        help='JSON or JSON Lines file with result dictionaries, or "-" for standard input',
    )
    target = parser.add_mutually_exclusive_group()
    target.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help='write the reports to FILE instead of standard output ("-" for standard output)',
    )
    target.add_argument(
        "-d",
        "--output-dir",
        metavar="DIR",
        help="write one report file per result into DIR (created if missing)",
    )
    parser.add_argument(
        "--jsonl",
        action="store_true",
        help="read every INPUT as JSON Lines (one result object per line)",
    )
    parser.add_argument(
        "-j",
        "--jobs",
        type=_positive_int,
        metavar="N",
        help="number of worker processes (default: the number of usable cores when the"
        " inputs are large enough to gain from them)",
    )
    parser.add_argument(
        "--progress",
        choices=("auto", "always", "never"),
        default="auto",
        help="progress bar on standard error (auto: on a terminal, for a batch that takes a while)",
    )
    parser.add_argument(
        "--pretty",
        action="store_true",
        help="render the reports for reading with rich (styled headings, aligned tables);"
        " needs the [pretty] extra",
    )
    parser.add_argument(
        "--raw-control",
        action="store_true",
        help="write control characters unescaped even when the output is a terminal",
    )
    parser.add_argument(
        "--version",
        action=_VersionAction,
        help="show the program's version and exit",
    )
    return parser


class _VersionAction(argparse.Action):
    """Print the installed distribution's version; looked up only when asked."""

    def __init__(self, option_strings: list[str], dest: str, help: str | None = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: object,
        option_string: str | None = None,
    ) -> None:
        from importlib import metadata

        try:
            version = metadata.version("quorin-answer-report-formatter")
        except metadata.PackageNotFoundError:
            version = "(unknown version: the distribution is not installed)"
        parser.exit(message=f"{parser.prog} {version}\n")


def _os_error_text(error: OSError) -> str:
    return error.strerror or str(error)


def _is_json_lines(path: str, forced: bool) -> bool:
    return forced or path.lower().endswith((".jsonl", ".ndjson"))


# --- one result ------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Rendering:
    """How a report is turned into the bytes written."""

    escape: bool = False  # escape terminal control characters
    pretty_width: int | None = None  # render with rich at this width (--pretty)
    pretty_styles: bool = False  # with colours and styles, for a terminal


@dataclasses.dataclass(frozen=True)
class Task:
    """One result to format, as sent to a worker process."""

    path: str  # the INPUT it comes from ("-" for standard input)
    line: int | None  # its line in a JSON Lines input
    raw: bytes
    rendering: Rendering

    @property
    def where(self) -> str:
        """The input, and line, for messages."""
        name = "standard input" if self.path == "-" else f"'{self.path}'"
        return name if self.line is None else f"{name} line {self.line}"


@dataclasses.dataclass(frozen=True)
class Outcome:
    """What became of one result: the encoded report, or the error line."""

    status: int
    payload: bytes = b""
    message: str | None = None  # the error (status not 0) or the note


def _decode_input(task: Task) -> str:
    try:
        # utf-8-sig is UTF-8 that also drops one leading byte order mark.
        return task.raw.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        bad = task.raw[error.start : error.end].hex(" ")
        raise CliError(
            f"{task.where} is not valid UTF-8: {error.reason} "
            f"(byte {bad} at offset {error.start})"
        ) from None


def _parse_json(text: str, task: Task) -> dict[str, Any]:
    try:
        value: object = json.loads(text)
    except json.JSONDecodeError as error:
        at = (
            f"line {error.lineno}, column {error.colno}"
            if task.line is None
            else f"column {error.colno}"
        )
        raise CliError(f"{task.where}: invalid JSON at {at}: {error.msg}") from None
    except RecursionError:
        raise CliError(f"{task.where}: invalid JSON: nesting too deep") from None
    except ValueError as error:
        # For example an integer literal longer than the interpreter's
        # integer conversion limit.
        raise CliError(f"{task.where}: invalid JSON: {error}") from None
    if not isinstance(value, dict):
        raise CliError(
            f"{task.where}: the top level must be a JSON object "
            f"(the result dictionary), not {_json_type_name(value)}"
        )
    return value


def _json_type_name(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    if isinstance(value, dict):
        return "an object"
    return type(value).__name__


# At most this many top-level keys are named in the empty-report hint.
_HINT_KEYS = 12


def empty_report_hint(data: dict[str, Any]) -> str:
    """Why ``data`` gives an empty report, naming the top-level keys it has.

    The report is empty exactly when ``answers`` is missing, not an array or
    an empty array.
    """
    keys = [str(key) for key in data]
    answers = data.get("answers")
    if "answers" not in data:
        reason = 'it has no "answers" key'
    elif isinstance(answers, list):
        reason = '"answers" is an empty array'
    else:
        reason = f'"answers" is {_json_type_name(answers)}, not an array'
    if not keys:
        return f"{reason} (the object is empty)"
    shown = ", ".join(json.dumps(key, ensure_ascii=False) for key in keys[:_HINT_KEYS])
    if len(keys) > _HINT_KEYS:
        shown += f" and {len(keys) - _HINT_KEYS} more"
    hint = f"{reason}; top-level keys: {shown}"
    if "answers" not in data:
        close = difflib.get_close_matches("answers", keys, n=1, cutoff=0.6)
        if close:
            hint += f' ({json.dumps(close[0], ensure_ascii=False)} looks like a misspelling of "answers")'
    return hint


def _format_report(data: dict[str, Any], task: Task) -> str:
    try:
        from quorin.amazon_rufus.services.answer_report_formatter import (
            AnswerReportFormatter,
        )
    except ImportError as error:
        raise CliError(f"cannot load the formatter extension: {error}", EXIT_FAILURE) from None
    try:
        return AnswerReportFormatter().format_data(data)
    except Exception as error:
        # JSON yields only plain values, which the formatter absorbs; what can
        # still fail (a recursion or memory limit) is reported as one line.
        raise CliError(
            f"cannot format {task.where}: {type(error).__name__}: {error}",
            EXIT_FAILURE,
        ) from None


def format_task(task: Task) -> Outcome:
    """Parse and format one result; never raises for a bad input.

    Runs in the worker processes, so it takes and returns only plain,
    picklable values.
    """
    try:
        data = _parse_json(_decode_input(task), task)
        report = _format_report(data, task)
    except CliError as error:
        return Outcome(error.status, message=error.message)
    if not report:
        note = f"{task.where} gives an empty report: {empty_report_hint(data)}"
        return Outcome(EXIT_OK, message=note)
    rendering = task.rendering
    if rendering.escape:
        report = escape_control_characters(report)
    if rendering.pretty_width is None:
        return Outcome(EXIT_OK, _encode(report + "\n"))
    try:
        return Outcome(EXIT_OK, _encode(_render_pretty(report, rendering)))
    except Exception as error:
        message = f"cannot render {task.where} with rich: {type(error).__name__}: {error}"
        return Outcome(EXIT_FAILURE, message=message)


PRETTY_MISSING = (
    "--pretty needs the optional package rich: "
    "pip install 'quorin-answer-report-formatter[pretty]'"
)


def _check_pretty() -> None:
    try:
        import rich.console  # noqa: F401
        import rich.markdown  # noqa: F401
    except ImportError:
        raise CliError(PRETTY_MISSING) from None


def _render_pretty(report: str, rendering: Rendering) -> str:
    """The report as rich's Markdown renderer draws it: headings styled,
    tables aligned by display width (a CJK character takes two columns)."""
    import io

    from rich.console import Console
    from rich.markdown import Markdown

    buffer = io.StringIO()
    console = Console(
        file=buffer,
        width=rendering.pretty_width,
        force_terminal=rendering.pretty_styles,
        no_color=not rendering.pretty_styles,
        highlight=False,
        emoji=False,
    )
    console.print(Markdown(report))
    text = buffer.getvalue()
    if not rendering.pretty_styles:
        # Plain text for a file or pipe: without the padding to full width.
        text = "\n".join(line.rstrip() for line in text.split("\n"))
    return text


# --- reading the inputs ----------------------------------------------------


def _open_input(path: str) -> BinaryIO:
    if path != "-":
        return open(path, "rb")
    stdin = sys.stdin
    if stdin is None:
        raise CliError("cannot read standard input: it is closed")
    buffer: BinaryIO | None = getattr(stdin, "buffer", None)
    if buffer is None:
        # A text-only stream (for example when embedded): re-encode.
        import io

        return io.BytesIO(stdin.read().encode("utf-8", "surrogateescape"))
    return buffer


# Yielded among the tasks when the input has nothing more for now (a pipe
# whose writer is still at work): what is under way should be written out
# before waiting for more.
WAITING = None

Item = Task | Outcome | None


def _stream_lines(fd: int) -> Iterator[bytes | None]:
    """The lines of a pipe or terminal, with ``WAITING`` whenever the next
    read would wait."""
    pending = bytearray()
    while True:
        readable, _, _ = select.select([fd], [], [], 0)
        if not readable:
            yield WAITING
        chunk = os.read(fd, 1 << 16)
        if not chunk:
            break
        pending += chunk
        start = 0
        while (end := pending.find(b"\n", start)) >= 0:
            yield bytes(pending[start : end + 1])
            start = end + 1
        del pending[:start]
    if pending:
        yield bytes(pending)


def _lines(handle: BinaryIO) -> Iterator[bytes | None]:
    try:
        fd = handle.fileno()
        streaming = not stat.S_ISREG(os.fstat(fd).st_mode)
    except (AttributeError, ValueError, OSError):
        streaming = False
    if streaming and hasattr(select, "select") and sys.platform != "win32":
        return _stream_lines(fd)
    return iter(handle)


def _read_tasks(path: str, json_lines: bool, rendering: Rendering) -> Iterator[Item]:
    """The results of one INPUT; a read error ends it with an ``Outcome``."""
    where = "standard input" if path == "-" else f"'{path}'"
    try:
        handle = _open_input(path)
        try:
            if not json_lines:
                yield Task(path, None, handle.read(), rendering)
                return
            results = 0
            number = 0
            for line in _lines(handle):
                if line is WAITING:
                    yield WAITING
                    continue
                number += 1
                if number == 1 and line.startswith(b"\xef\xbb\xbf"):
                    line = line[3:]
                if line.strip():
                    results += 1
                    yield Task(path, number, line.rstrip(b"\r\n"), rendering)
            if not results:
                yield Outcome(EXIT_OK, message=f"{where} holds no results (no line that is not blank)")
        finally:
            if path != "-":
                handle.close()
    except CliError as error:
        yield Outcome(error.status, message=error.message)
    except OSError as error:
        yield Outcome(EXIT_USAGE, message=f"cannot read {where}: {_os_error_text(error)}")


def _count_results(paths: list[str], forced_lines: bool) -> int | None:
    """Number of results, for the progress bar; None when it cannot be known
    without reading standard input."""
    total = 0
    for path in paths:
        if not _is_json_lines(path, forced_lines):
            total += 1
            continue
        if path == "-":
            return None
        try:
            with open(path, "rb") as handle:
                total += sum(1 for line in handle if line.strip())
        except OSError:
            total += 1  # reported when it is read
    return total


# --- formatting in worker processes ----------------------------------------


def _ignore_interrupts() -> None:
    # Ctrl-C reaches every process of the terminal's group; the parent alone
    # handles it and ends the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _pool_context() -> Any:
    import multiprocessing

    # forkserver: workers are forked from a small single-threaded server (a
    # fork of this process could copy a lock held by another thread).
    if sys.platform != "darwin" and "forkserver" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("forkserver")
        # The extension is loaded once, in the server, for every worker.
        context.set_forkserver_preload([FORMATTER_MODULE])
        return context
    return multiprocessing.get_context("spawn")


def format_tasks(tasks: list[Task]) -> list[Outcome]:
    """``format_task`` over a chunk: one round trip to a worker for many
    small results."""
    return [format_task(task) for task in tasks]


# A chunk sent to a worker holds up to this many results or bytes of JSON.
_CHUNK_TASKS = 64
_CHUNK_BYTES = 1 << 20


def _chunks(items: Iterable[Item]) -> Iterator[list[Task] | Outcome | None]:
    chunk: list[Task] = []
    size = 0
    for item in items:
        if not isinstance(item, Task):
            if chunk:
                yield chunk
                chunk, size = [], 0
            yield item
            continue
        chunk.append(item)
        size += len(item.raw)
        if len(chunk) >= _CHUNK_TASKS or size >= _CHUNK_BYTES:
            yield chunk
            chunk, size = [], 0
    if chunk:
        yield chunk


def _outcomes(items: Iterable[Item], jobs: int) -> Iterator[tuple[Task | None, Outcome]]:
    """Format ``items`` and yield each with its outcome, in input order."""
    if jobs <= 1:
        for item in items:
            if isinstance(item, Outcome):
                yield None, item
            elif item is not WAITING:
                yield item, format_task(item)
        return

    from concurrent.futures import Future, ProcessPoolExecutor
    from concurrent.futures.process import BrokenProcessPool

    def new_pool() -> ProcessPoolExecutor:
        return ProcessPoolExecutor(jobs, mp_context=_pool_context(), initializer=_ignore_interrupts)

    Pending = tuple[list[Task], "Future[list[Outcome]] | Outcome", ProcessPoolExecutor]
    pool = new_pool()
    # Chunks wait here until those before them are out; the bound keeps the
    # memory flat for a long JSON Lines input.
    window: deque[Pending] = deque()
    limit = 2 * jobs

    def settle(
        tasks: list[Task], pending: Future[list[Outcome]] | Outcome, submitted_to: ProcessPoolExecutor
    ) -> Iterator[tuple[Task | None, Outcome]]:
        nonlocal pool
        if isinstance(pending, Outcome):
            yield None, pending
            return
        try:
            outcomes = pending.result()
        except BrokenProcessPool:
            # A worker died (killed, out of memory): what it and the others
            # held is lost; the rest goes to a new pool.
            if submitted_to is pool:
                pool.shutdown(wait=False, cancel_futures=True)
                pool = new_pool()
            outcomes = [
                Outcome(EXIT_FAILURE, message=f"cannot format {task.where}: "
                        "a worker process ended unexpectedly")
                for task in tasks
            ]
        except Exception as error:
            outcomes = [
                Outcome(EXIT_FAILURE, message=f"cannot format {task.where}: "
                        f"{type(error).__name__}: {error}")
                for task in tasks
            ]
        yield from zip(tasks, outcomes)

    try:
        for chunk in _chunks(items):
            if chunk is WAITING:
                # The input pauses: finish and write what is under way.
                while window:
                    yield from settle(*window.popleft())
                continue
            if isinstance(chunk, Outcome):
                window.append(([], chunk, pool))
            else:
                window.append((chunk, pool.submit(format_tasks, chunk), pool))
            while len(window) >= limit:
                yield from settle(*window.popleft())
        while window:
            yield from settle(*window.popleft())
    except BaseException as error:
        _hold_interrupts(error)
        # Interrupted, or the output went away: end the workers now instead
        # of letting them finish what they hold (Python 3.14 has
        # terminate_workers for this).
        pool.shutdown(wait=False, cancel_futures=True)
        for process in list((getattr(pool, "_processes", None) or {}).values()):
            process.terminate()
        raise
    pool.shutdown(wait=True)


# --- writing the reports ---------------------------------------------------


class _AtomicFile:
    """A file written whole or not at all.

    A regular file (or a name not yet taken) is written through a temporary
    file beside it that replaces it only on ``commit``, so an interrupt or a
    full disk never leaves part of a report; the file keeps its permissions
    and a symbolic link keeps pointing at it. Anything else (a device, a
    pipe) is written directly.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        self._temporary: str | None = None
        try:
            try:
                # Through any links: /dev/stdout on a pipe is a pipe.
                info: os.stat_result | None = os.stat(path)
            except FileNotFoundError:
                info = None
            if info is not None and not stat.S_ISREG(info.st_mode):
                self._target = None
                self._handle: IO[bytes] = open(path, "wb")
                return
            target = os.path.realpath(path)
            directory, name = os.path.split(target)
            fd, self._temporary = tempfile.mkstemp(
                prefix=f".{name}.", suffix=".tmp", dir=directory
            )
            self._target = target
            self._handle = os.fdopen(fd, "wb")
            os.fchmod(fd, stat.S_IMODE(info.st_mode) if info else _new_file_mode())
        except OSError as error:
            self.abort()
            raise self._error(error) from None

    def _error(self, error: OSError) -> CliError:
        return CliError(f"cannot write '{self.path}': {_os_error_text(error)}")

    def write(self, payload: bytes) -> None:
        try:
            self._handle.write(payload)
        except OSError as error:
            raise self._error(error) from None

    def commit(self) -> None:
        try:
            self._handle.close()
            if self._temporary is not None and self._target is not None:
                os.replace(self._temporary, self._target)
                self._temporary = None
        except OSError as error:
            self.abort()
            raise self._error(error) from None

    def abort(self) -> None:
        handle = getattr(self, "_handle", None)
        if handle is not None:
            try:
                handle.close()
            except OSError:
                pass
        if self._temporary is not None:
            try:
                os.unlink(self._temporary)
            except OSError:
                pass
            self._temporary = None


def _write_file(path: str, payload: bytes) -> None:
    output = _AtomicFile(path)
    try:
        output.write(payload)
    except BaseException as error:
        _hold_interrupts(error)
        output.abort()
        raise
    output.commit()


# The SIGINT handler replaced while an interrupt is being handled.
_held_handler: Any = None


def _hold_interrupts(error: BaseException) -> None:
    """Ignore Ctrl-C while the first one is handled: another press inside the
    clean-up would print a traceback and could leave a temporary file."""
    global _held_handler
    if not isinstance(error, KeyboardInterrupt) or _held_handler is not None:
        return
    try:
        _held_handler = signal.signal(signal.SIGINT, signal.SIG_IGN)
    except ValueError:  # not the main thread: signals are not ours to set
        pass


def _release_interrupts() -> None:
    global _held_handler
    if _held_handler is not None:
        signal.signal(signal.SIGINT, _held_handler)
        _held_handler = None


def _new_file_mode() -> int:
    umask = os.umask(0o022)
    os.umask(umask)
    return 0o666 & ~umask


def _write_stdout(payload: bytes) -> None:
    stdout = sys.stdout
    if stdout is None:  # the interpreter found descriptor 1 closed at start
        raise StdoutGone("cannot write standard output: it is closed")
    try:
        fd = stdout.fileno()
    except (AttributeError, ValueError, OSError):
        fd = -1
    if fd < 0:
        # A stream without a descriptor (for example when embedded): hand it
        # the text.
        stdout.write(payload.decode("utf-8"))
        stdout.flush()
        return
    try:
        stdout.flush()  # anything written as text before must come first
        # os.write directly: a buffered writer can report a broken pipe or
        # not depending on how much it still held.
        view = memoryview(payload)
        while view:
            view = view[os.write(fd, view) :]
    except BrokenPipeError:
        raise StdoutGone() from None
    except OSError as error:
        if error.errno == errno.EBADF:
            raise StdoutGone("cannot write standard output: it is closed") from None
        raise CliError(f"cannot write standard output: {_os_error_text(error)}") from None


def _header(task: Task) -> bytes:
    name = "<stdin>" if task.path == "-" else task.path
    if task.line is not None:
        name = f"{name}:{task.line}"
    return f"==> {name.translate(_MESSAGE_ESCAPES)} <==\n".encode("utf-8", "backslashreplace")


def _directory_names(paths: list[str], forced_lines: bool) -> dict[str, str]:
    """The file (or, for JSON Lines, folder) each INPUT writes in the output
    directory; two inputs that would share one are refused."""
    names: dict[str, str] = {}
    taken: dict[str, str] = {}
    for path in paths:
        stem = "stdin" if path == "-" else Path(path).stem or Path(path).name
        name = stem if _is_json_lines(path, forced_lines) else f"{stem}.md"
        key = name.casefold()  # case-insensitive file systems
        if key in taken:
            raise CliError(
                f"inputs '{taken[key]}' and '{path}' would both be written to '{name}' "
                "in the output directory; rename one"
            )
        taken[key] = path
        names[path] = name
    return names


class _Sink:
    """Where the reports go."""

    def put(self, task: Task, payload: bytes) -> None:
        raise NotImplementedError

    def finish(self) -> None:
        pass

    def abort(self) -> None:
        pass


class _StreamSink(_Sink):
    """All reports on one stream, under headers when there can be several."""

    def __init__(self, write: Callable[[bytes], None], headers: bool) -> None:
        self._write = write
        self._headers = headers
        self._first = True

    def put(self, task: Task, payload: bytes) -> None:
        if self._headers:
            payload = (b"" if self._first else b"\n") + _header(task) + payload
        self._first = False
        if payload:
            self._write(payload)


class _FileSink(_StreamSink):
    """The stream into one file, which appears only when complete, and only
    when at least one report went in (a bad input alone leaves it as it was)."""

    def __init__(self, path: str, headers: bool) -> None:
        self._file = _AtomicFile(path)
        super().__init__(self._file.write, headers)

    def finish(self) -> None:
        if self._first:
            self._file.abort()
        else:
            self._file.commit()

    def abort(self) -> None:
        self._file.abort()


class _DirectorySink(_Sink):
    """One file per report in a directory."""

    def __init__(self, directory: str, names: dict[str, str]) -> None:
        self._directory = directory
        self._names = names
        try:
            os.makedirs(directory, exist_ok=True)
        except OSError as error:
            raise CliError(f"cannot create '{directory}': {_os_error_text(error)}") from None

    def put(self, task: Task, payload: bytes) -> None:
        name = self._names[task.path]
        if task.line is not None:
            folder = os.path.join(self._directory, name)
            try:
                os.makedirs(folder, exist_ok=True)
            except OSError as error:
                raise CliError(f"cannot create '{folder}': {_os_error_text(error)}") from None
            path = os.path.join(folder, f"{task.line}.md")
        else:
            path = os.path.join(self._directory, name)
        _write_file(path, payload)


# --- progress --------------------------------------------------------------


class _Progress:
    """A tqdm bar on standard error, or nothing."""

    def __init__(self, mode: str, total: Callable[[], int | None], results: int | None) -> None:
        self._bar: Any = None
        self._tqdm: Any = None
        stderr = sys.stderr
        if mode == "never" or stderr is None:
            return
        if mode == "auto" and (results == 1 or not _is_terminal(stderr)):
            return
        try:
            # tqdm ships no type information; the bar is used as Any.
            from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            if mode == "always":
                raise CliError("--progress always needs the tqdm package", EXIT_USAGE) from None
            return
        self._tqdm = tqdm
        self._bar = tqdm(
            total=total(),
            unit="report",
            file=stderr,
            # "auto": only a batch still running after half a second shows
            # a bar; a quick one leaves no trace.
            delay=0.5 if mode == "auto" else 0,
            dynamic_ncols=True,
            leave=False,
        )

    def update(self) -> None:
        if self._bar is not None:
            self._bar.update()

    def quiet(self) -> Any:
        """Context in which other output can go to the terminal."""
        if self._bar is None:
            return contextlib.nullcontext()
        return self._tqdm.external_write_mode(file=sys.stderr)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


# --- the run ---------------------------------------------------------------


def _run(argv: list[str] | None) -> int:
    parser = _build_parser()
    args = parser.parse_args(argv)
    paths: list[str] = args.inputs
    forced_lines: bool = args.jsonl
    if paths.count("-") > 1:
        parser.error('standard input ("-") can be given only once')
    output: str | None = None if args.output in (None, "-") else args.output
    directory: str | None = args.output_dir

    single = len(paths) == 1 and not _is_json_lines(paths[0], forced_lines)
    terminal = output is None and directory is None and _stdout_is_terminal()
    rendering = Rendering(escape=terminal and not args.raw_control)
    if args.pretty:
        _check_pretty()
        width = shutil.get_terminal_size((100, 24)).columns
        rendering = dataclasses.replace(rendering, pretty_width=width, pretty_styles=terminal)
    jobs = 1 if single else (args.jobs or _default_jobs(paths))

    try:
        # Once here rather than once a result in every worker.
        importlib.import_module(FORMATTER_MODULE)
    except ImportError as error:
        raise CliError(f"cannot load the formatter extension: {error}", EXIT_FAILURE) from None

    sink: _Sink
    if directory is not None:
        sink = _DirectorySink(directory, _directory_names(paths, forced_lines))
    elif output is not None:
        sink = _FileSink(output, headers=not single)
    else:
        sink = _StreamSink(_write_stdout, headers=not single)

    items = (
        item
        for path in paths
        for item in _read_tasks(path, _is_json_lines(path, forced_lines), rendering)
    )
    progress: _Progress | None = None
    worst = EXIT_OK
    try:
        progress = _Progress(
            args.progress, lambda: _count_results(paths, forced_lines), 1 if single else None
        )
        for task, outcome in _outcomes(items, jobs):
            if outcome.status != EXIT_OK:
                worst = EXIT_FAILURE if EXIT_FAILURE in (worst, outcome.status) else outcome.status
                with progress.quiet():
                    _report_error(outcome.message or "failed")
            else:
                if outcome.message:
                    with progress.quiet():
                        _report_note(outcome.message)
                if task is None:  # a note about an input, no report
                    continue
                try:
                    with progress.quiet() if terminal else contextlib.nullcontext():
                        sink.put(task, outcome.payload)
                except CliError as error:
                    if isinstance(sink, _DirectorySink):
                        # One report that cannot be written does not stop
                        # the others.
                        worst = EXIT_FAILURE if worst == EXIT_FAILURE else EXIT_USAGE
                        with progress.quiet():
                            _report_error(error.message)
                    else:
                        raise
            progress.update()
    except BaseException as error:
        _hold_interrupts(error)
        sink.abort()
        raise
    finally:
        if progress is not None:
            progress.close()
    sink.finish()
    return worst


def _stdout_is_terminal() -> bool:
    return _is_terminal(sys.stdout)


def _report_error(message: str) -> None:
    _write_stderr_line(f"{PROG}: error: {message}")


def _report_note(message: str) -> None:
    _write_stderr_line(f"{PROG}: note: {message}")


def _write_stderr_line(text: str) -> None:
    line = text.translate(_MESSAGE_ESCAPES) + "\n"
    stderr = sys.stderr
    if stderr is None:
        return
    buffer: BinaryIO | None = getattr(stderr, "buffer", None)
    try:
        if buffer is None:
            stderr.write(line)
            stderr.flush()
        else:
            stderr.flush()
            buffer.write(line.encode("utf-8", "backslashreplace"))
            buffer.flush()
    except OSError:
        pass


def _encode(text: str) -> bytes:
    # A lone surrogate (JSON allows "\ud800") has no UTF-8 form; it is written
    # as the escape \ud800 so the output stays valid UTF-8.
    return text.encode("utf-8", "backslashreplace")


def main(argv: list[str] | None = None) -> int:
    """Run the command line with ``argv`` (default ``sys.argv[1:]``).

    Returns the exit status instead of exiting, so it can be called from other
    Python code; ``--help`` and ``--version`` return 0 after printing.
    """
    try:
        return _run(argv)
    except CliError as error:
        _report_error(error.message)
        return error.status
    except SystemExit as exit_request:
        # --help and --version end the parser with SystemExit(0).
        code = exit_request.code
        return code if isinstance(code, int) else EXIT_FAILURE
    except StdoutGone as gone:
        if gone.args:
            _report_error(gone.args[0])
        _silence_stdout()
        return EXIT_STDOUT_GONE
    except KeyboardInterrupt as error:
        _hold_interrupts(error)
        _write_stderr_line(f"{PROG}: interrupted")
        return EXIT_INTERRUPTED
    finally:
        _release_interrupts()


def _silence_stdout() -> None:
    """Point descriptor 1 at /dev/null so the interpreter's final flush of
    whatever is left in ``sys.stdout`` cannot fail a second time."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, AttributeError, ValueError):
        pass


if __name__ == "__main__":
    sys.exit(main())
