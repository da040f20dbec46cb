"""Command line for the Amazon Rufus answer report formatter.

Reads the manager's result dictionary as JSON (from a file or standard input),
formats it with ``AnswerReportFormatter().format_data`` and writes the report
as UTF-8 text to standard output or to a file.
"""

from __future__ import annotations

import argparse
import difflib
import errno
import json
import os
import stat
import sys
import tempfile
from typing import Any, BinaryIO, NoReturn

PROG = "rufus-answer-report"

# Exit statuses.
EXIT_OK = 0
EXIT_FAILURE = 1  # the formatter could not be loaded or failed on the input
EXIT_USAGE = 2  # bad command line, unreadable or malformed input, unwritable output
EXIT_INTERRUPTED = 130  # Ctrl-C (SIGINT), as a shell reports a program it ended
EXIT_STDOUT_GONE = 141  # standard output closed or its reader gone, as SIGPIPE would give

DESCRIPTION = """\
Format the full result of an Amazon Rufus question run (the manager's result
dictionary, as JSON) into the front-end-style Markdown-like terminal report.
"""

EPILOG = """\
input:
  INPUT is a JSON file holding one JSON object (the result dictionary with
  "answers", "questions", "upload_payload", ...) or "-" for standard input.
  The input is read as UTF-8; one leading byte order mark is accepted.

output:
  The report is written as UTF-8 to standard output, or to FILE with -o
  ("-o -" also means standard output). A non-empty report is followed by
  exactly one newline; a result without answers gives an empty report and
  nothing is written (with -o the file is still created, empty).

  Written to a file or a pipe, the report is reproduced byte for byte. Written
  to a terminal, control characters other than newline and tab (U+0000-U+001F,
  U+007F and U+0080-U+009F) are shown escaped as \\xHH, for example an escape
  character as the four characters \\x1b, so that answer text cannot send
  commands to the terminal. --raw-control writes them unescaped. A lone
  surrogate (a JSON escape such as "\\ud800") has no UTF-8 form and is
  written as the six characters \\ud800.

exit status:
  0  the report was written (an empty report too: a result without usable
     "answers" gives a one-line note on standard error naming its keys)
  1  internal failure: the formatter could not be loaded or failed on the input
  2  bad input or usage: usage error, unreadable input, invalid UTF-8, invalid
     JSON, a top level that is not a JSON object, or an unwritable output
  130  interrupted (Ctrl-C): "interrupted" is written on standard error and
     no output file is left behind, not even in part
  141  standard output went away: its reader left early (for example
     "| head -1") or it was closed ("> &-"); the same status whatever the
     size of the output. A reader that goes away ends the run quietly; a
     closed standard output gives a one-line error.
  Every error is one line on standard error naming the input.

examples:
  rufus-answer-report examples/result.json
  rufus-answer-report examples/result.json -o report.md
  python -m quorin.amazon_rufus.services.answer_report_cli - < result.json
  cat result.json | rufus-answer-report - | less
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


def _build_parser() -> argparse.ArgumentParser:
    parser = _ArgumentParser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "input",
        metavar="INPUT",
        help='JSON file with the result dictionary, or "-" for standard input',
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help='write the report to FILE instead of standard output ("-" for standard output)',
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


def _describe(path: str) -> str:
    """Name of an input or output for messages."""
    return "standard input" if path == "-" else f"'{path}'"


def _os_error_text(error: OSError) -> str:
    return error.strerror or str(error)


def _read_input(path: str) -> bytes:
    try:
        if path == "-":
            stdin = sys.stdin
            if stdin is None:
                raise CliError("cannot read standard input: it is closed")
            buffer: BinaryIO | None = getattr(stdin, "buffer", None)
            if buffer is None:
                # A text-only stream (for example when embedded): re-encode.
                return stdin.read().encode("utf-8", "surrogateescape")
            return buffer.read()
        with open(path, "rb") as handle:
            return handle.read()
    except OSError as error:
        raise CliError(f"cannot read {_describe(path)}: {_os_error_text(error)}") from None


def _decode_input(raw: bytes, path: str) -> str:
    try:
        # utf-8-sig is UTF-8 that also drops one leading byte order mark.
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        bad = raw[error.start : error.end].hex(" ")
        raise CliError(
            f"{_describe(path)} is not valid UTF-8: {error.reason} "
            f"(byte {bad} at offset {error.start})"
        ) from None


def _parse_json(text: str, path: str) -> dict[str, Any]:
    try:
        value: object = json.loads(text)
    except json.JSONDecodeError as error:
        raise CliError(
            f"{_describe(path)}: invalid JSON at line {error.lineno}, "
            f"column {error.colno}: {error.msg}"
        ) from None
    except RecursionError:
        raise CliError(f"{_describe(path)}: invalid JSON: nesting too deep") from None
    except ValueError as error:
        # For example an integer literal longer than the interpreter's
        # integer conversion limit.
        raise CliError(f"{_describe(path)}: invalid JSON: {error}") from None
    if not isinstance(value, dict):
        raise CliError(
            f"{_describe(path)}: the top level must be a JSON object "
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


def _format_report(data: dict[str, Any], path: str) -> str:
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
            f"cannot format {_describe(path)}: {type(error).__name__}: {error}",
            EXIT_FAILURE,
        ) from None


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


def _write_file(path: str, payload: bytes) -> None:
    """Write ``payload`` to ``path`` whole or not at all.

    A regular file (or a name not yet taken) is written through a temporary
    file beside it that replaces it only when complete, so an interrupt or a
    full disk never leaves part of a report; the file keeps its permissions
    and a symbolic link keeps pointing at it. Anything else (a device, a
    pipe) is written directly.
    """
    try:
        target = os.path.realpath(path)
        try:
            info: os.stat_result | None = os.stat(target)
        except FileNotFoundError:
            info = None
        if info is not None and not stat.S_ISREG(info.st_mode):
            with open(path, "wb") as handle:
                handle.write(payload)
            return
        directory, name = os.path.split(target)
        fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=directory)
        try:
            with os.fdopen(fd, "wb") as handle:
                os.fchmod(handle.fileno(), stat.S_IMODE(info.st_mode) if info else _new_file_mode())
                handle.write(payload)
            os.replace(temporary, target)
        except BaseException:
            os.unlink(temporary)
            raise
    except OSError as error:
        raise CliError(f"cannot write {_describe(path)}: {_os_error_text(error)}") from None


def _new_file_mode() -> int:
    umask = os.umask(0o022)
    os.umask(umask)
    return 0o666 & ~umask


def _stdout_is_terminal() -> bool:
    stdout = sys.stdout
    if stdout is None:
        return False
    try:
        return stdout.isatty()
    except (AttributeError, ValueError):
        return False


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


def _run(argv: list[str] | None) -> int:
    parser = _build_parser()
    args = parser.parse_args(argv)
    input_path: str = args.input
    output_path: str | None = args.output
    raw_control: bool = args.raw_control

    data = _parse_json(_decode_input(_read_input(input_path), input_path), input_path)
    report = _format_report(data, input_path)
    text = report + "\n" if report else ""
    if not report:
        _report_note(f"{_describe(input_path)} gives an empty report: {empty_report_hint(data)}")

    if output_path is not None and output_path != "-":
        _write_file(output_path, _encode(text))
        return EXIT_OK

    if not raw_control and _stdout_is_terminal():
        text = escape_control_characters(text)
    if text:
        _write_stdout(_encode(text))
    return EXIT_OK


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
    except KeyboardInterrupt:
        _write_stderr_line(f"{PROG}: interrupted")
        return EXIT_INTERRUPTED


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
