"""Tests of the rufus-answer-report command line.

The command line is run as a child process (``python -m ...``) so that exit
statuses, standard streams and terminal detection are the real ones.
"""

from __future__ import annotations

import json
import os
import pty
import select
import signal
import subprocess
import sys
import termios
import unicodedata
from pathlib import Path
from typing import Any

import pytest

cli = pytest.importorskip("quorin.amazon_rufus.services.answer_report_cli")

REPO = Path(__file__).resolve().parents[1]
EXAMPLES = REPO / "examples"
PROG = "rufus-answer-report"
CLI_MODULE = "quorin.amazon_rufus.services.answer_report_cli"
FORMATTER_MODULE = "quorin.amazon_rufus.services.answer_report_formatter"
TIMEOUT = 60

# An answer that tries to drive the terminal: colour (ESC [), a C1 CSI that
# clears the screen, a bell and DEL, next to characters that must stay as
# they are (tab, no-break space, CJK).
HOSTILE = {
    "questions": ["恶意控制字符"],
    "answers": [
        {
            "text": "red \x1b[31mALERT\x1b[0m clear \x9b2J bell \x07 del \x7f"
            " keep\ttab\u00a0nbsp 中文 last-c1 \x9f",
            "summaryText": "title \x1b]0;pwned\x07 done",
        }
    ],
}


def format_report(data: dict[str, Any]) -> str:
    """The report as the extension makes it; skips the test while it is not built."""
    module = pytest.importorskip(FORMATTER_MODULE)
    report = module.AnswerReportFormatter().format_data(data)
    assert isinstance(report, str)
    return report


def _child_env(**extra: str) -> dict[str, str]:
    """Environment in which the child imports the same package as this process."""
    import quorin

    roots = [str(Path(p).parent) for p in quorin.__path__]
    inherited = os.environ.get("PYTHONPATH")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(roots + ([inherited] if inherited else []))
    env.pop("PYTHONSTARTUP", None)
    env.update(extra)
    return env


def run_cli(
    *args: str | os.PathLike[str], stdin: bytes = b"", cwd: Path | None = None
) -> subprocess.CompletedProcess[bytes]:
    pytest.importorskip(FORMATTER_MODULE)
    return subprocess.run(
        [sys.executable, "-m", CLI_MODULE, *map(str, args)],
        input=stdin,
        capture_output=True,
        env=_child_env(),
        cwd=cwd,
        timeout=TIMEOUT,
    )


def expected_output(data: dict[str, Any]) -> bytes:
    report = format_report(data)
    return (report + "\n").encode("utf-8") if report else b""


def load(path: Path) -> dict[str, Any]:
    with open(path, encoding="utf-8") as handle:
        value = json.load(handle)
    assert isinstance(value, dict)
    return value


def assert_one_line_error(result: subprocess.CompletedProcess[bytes], fragment: str) -> None:
    stderr = result.stderr.decode("utf-8")
    assert result.returncode == 2, stderr
    assert result.stdout == b""
    assert "Traceback" not in stderr
    lines = stderr.splitlines()
    assert len(lines) == 1, stderr
    assert lines[0].startswith(f"{PROG}: error: ")
    assert fragment in lines[0]


# --- success -------------------------------------------------------------


@pytest.mark.parametrize("name", ["result.json", "result_upload_payload.json"])
def test_example_file_and_stdin_give_the_report(name: str) -> None:
    path = EXAMPLES / name
    expected = expected_output(load(path))
    assert expected.startswith("## 第 1 题：".encode("utf-8"))
    assert expected.endswith(b"\n") and not expected.endswith(b"\n\n")

    from_file = run_cli(path)
    from_stdin = run_cli("-", stdin=path.read_bytes())
    for result in (from_file, from_stdin):
        assert result.returncode == 0, result.stderr
        assert result.stderr == b""
        assert result.stdout == expected


def test_examples_cover_both_question_sources() -> None:
    # The second example carries its questions only in the upload payload;
    # a report titled with the fallback "第 1 题" would mean they were missed.
    for name in ("result.json", "result_upload_payload.json"):
        report = run_cli(EXAMPLES / name).stdout.decode("utf-8")
        first = report.splitlines()[0]
        assert first != "## 第 1 题：第 1 题", name


def test_output_file(tmp_path: Path) -> None:
    path = EXAMPLES / "result.json"
    out = tmp_path / "report.md"
    result = run_cli(path, "-o", out)
    assert result.returncode == 0, result.stderr
    assert result.stdout == b""
    assert out.read_bytes() == expected_output(load(path))

    # "-o -" is standard output, and so is /dev/stdout (a pipe here), which
    # must be written as it is, not replaced.
    assert run_cli(path, "--output", "-").stdout == expected_output(load(path))
    if os.path.exists("/dev/stdout"):
        assert run_cli(path, "-o", "/dev/stdout").stdout == expected_output(load(path))


@pytest.mark.parametrize(
    ("document", "hint"),
    [
        (b"{}", 'it has no "answers" key (the object is empty)'),
        (b'{"answers": []}', '"answers" is an empty array; top-level keys: "answers"'),
        (
            b'{"questions": ["Q"], "answers": "none"}',
            '"answers" is a string, not an array; top-level keys: "questions", "answers"',
        ),
        (
            b'{"questions": ["Q"], "Answers": [{"text": "A"}]}',
            'no "answers" key; top-level keys: "questions", "Answers" '
            '("Answers" looks like a misspelling of "answers")',
        ),
        (
            json.dumps({f"k{i}": i for i in range(20)}).encode(),
            'top-level keys: "k0", "k1", "k2", "k3", "k4", "k5", "k6", "k7", "k8", "k9", '
            '"k10", "k11" and 8 more',
        ),
    ],
)
def test_empty_report_writes_nothing_and_explains(
    tmp_path: Path, document: bytes, hint: str
) -> None:
    result = run_cli("-", stdin=document)
    assert (result.returncode, result.stdout) == (0, b"")
    lines = result.stderr.decode("utf-8").splitlines()
    assert len(lines) == 1 and lines[0].startswith(
        f"{PROG}: note: standard input gives an empty report: "
    )
    assert hint in lines[0]

    out = tmp_path / "empty.md"
    out.write_bytes(b"stale content")
    assert run_cli("-", "-o", out, stdin=document).returncode == 0
    assert out.read_bytes() == b""


def test_byte_order_mark_is_accepted() -> None:
    data = {"questions": ["Q"], "answers": [{"text": "A"}]}
    raw = json.dumps(data, ensure_ascii=False).encode("utf-8")
    result = run_cli("-", stdin=b"\xef\xbb\xbf" + raw)
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected_output(data)


def test_pipe_output_keeps_control_characters_raw() -> None:
    result = run_cli("-", stdin=json.dumps(HOSTILE).encode("utf-8"))
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected_output(HOSTILE)
    assert b"\x1b[31m" in result.stdout
    assert "\x9b".encode("utf-8") in result.stdout


def test_lone_surrogate_is_written_as_escape() -> None:
    result = run_cli("-", stdin=b'{"answers": [{"text": "x \\ud800 y"}]}')
    assert result.returncode == 0, result.stderr
    assert b"x \\ud800 y\n" in result.stdout
    result.stdout.decode("utf-8")  # still valid UTF-8


# --- errors --------------------------------------------------------------


@pytest.mark.parametrize(
    ("stdin", "fragment"),
    [
        pytest.param(b'{"a": 1}\xff', "standard input is not valid UTF-8", id="invalid-utf8"),
        pytest.param(
            b'{"answers": [\n  {"text": "x",}\n]}',
            "invalid JSON at line 2, column 16: Expecting property name",
            id="invalid-json",
        ),
        pytest.param(b"", "invalid JSON at line 1, column 1: Expecting value", id="empty"),
        pytest.param(b"[" * 100_000, "invalid JSON: nesting too deep", id="too-deep"),
        pytest.param(
            b'{"n": ' + b"7" * 5000 + b"}", "invalid JSON: Exceeds the limit", id="huge-int"
        ),
        pytest.param(b"[1, 2]", "must be a JSON object", id="array"),
        pytest.param(b'"text"', "not a string", id="string"),
        pytest.param(b"null", "not null", id="null"),
    ],
)
def test_bad_input_on_stdin(stdin: bytes, fragment: str) -> None:
    assert_one_line_error(run_cli("-", stdin=stdin), fragment)


def test_bad_input_file_names_the_file(tmp_path: Path) -> None:
    bad = tmp_path / "bad.json"
    bad.write_bytes(b"{\n  oops\n}")
    assert_one_line_error(run_cli(bad), f"'{bad}': invalid JSON at line 2, column 3:")


@pytest.mark.parametrize(
    ("name", "fragment"),
    [
        ("missing.json", "cannot read 'missing.json': No such file or directory"),
        (".", "cannot read '.': Is a directory"),
        # A hostile file name cannot break the message into two lines.
        ("two\nlines.json", "cannot read 'two\\x0alines.json'"),
    ],
)
def test_unreadable_input(tmp_path: Path, name: str, fragment: str) -> None:
    assert_one_line_error(run_cli(name, cwd=tmp_path), fragment)


def test_unwritable_output(tmp_path: Path) -> None:
    document = EXAMPLES / "result.json"
    assert_one_line_error(
        run_cli(document, "-o", tmp_path / "no" / "such" / "dir.md"),
        "No such file or directory",
    )
    assert_one_line_error(run_cli(document, "-o", tmp_path), "Is a directory")


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_failed_write_to_stdout() -> None:
    pytest.importorskip(FORMATTER_MODULE)
    with open("/dev/full", "wb") as full:
        result = subprocess.run(
            [sys.executable, "-m", CLI_MODULE, str(EXAMPLES / "result.json")],
            stdout=full,
            stderr=subprocess.PIPE,
            env=_child_env(),
            timeout=TIMEOUT,
        )
    stderr = result.stderr.decode("utf-8")
    assert result.returncode == 2
    assert stderr.startswith(f"{PROG}: error: cannot write standard output")
    assert "Traceback" not in stderr


# Big enough to fill a pipe several times over.
BIG = {"answers": [{"text": "line of the answer " * 40 + "\n"} for _ in range(3000)]}


@pytest.mark.parametrize("size", ["small", "big", "batch"])
def test_reader_gone_ends_quietly_with_one_status(tmp_path: Path, size: str) -> None:
    pytest.importorskip(FORMATTER_MODULE)
    document = tmp_path / ("result.jsonl" if size == "batch" else "result.json")
    if size == "batch":  # worker processes still busy when the reader leaves
        document.write_text((json.dumps(BIG) + "\n") * 20)
    else:
        document.write_text(json.dumps(BIG if size == "big" else {"answers": [{"text": "A"}]}))
    read_end, write_end = os.pipe()
    process = subprocess.Popen(
        [sys.executable, "-m", CLI_MODULE, "-j", "2", str(document)],
        stdout=write_end,
        stderr=subprocess.PIPE,
        env=_child_env(),
    )
    os.close(write_end)
    if size == "big":
        os.read(read_end, 100)  # a reader that takes a little and leaves
    os.close(read_end)
    _, stderr = process.communicate(timeout=TIMEOUT)
    assert (process.returncode, stderr) == (141, b"")


def test_closed_stdout_fails_with_the_same_status() -> None:
    pytest.importorskip(FORMATTER_MODULE)
    result = subprocess.run(
        [sys.executable, "-m", CLI_MODULE, str(EXAMPLES / "result.json")],
        stderr=subprocess.PIPE,
        env=_child_env(),
        timeout=TIMEOUT,
        preexec_fn=lambda: os.close(1),
    )
    assert result.returncode == 141
    assert result.stderr == f"{PROG}: error: cannot write standard output: it is closed\n".encode()


def start_blocked_on_fifo(
    tmp_path: Path, *args: str | Path, name: str = "slow.json", first: bytes = b'{"answers": ['
) -> tuple[subprocess.Popen[bytes], Any]:
    """Start the CLI with ``args`` and a FIFO ``name`` as its last input.

    Returns once the CLI has opened the FIFO and ``first`` is written to it:
    the CLI is then blocked reading it, well past start-up, with the writing
    end in the caller's hands.
    """
    pytest.importorskip(FORMATTER_MODULE)
    fifo = tmp_path / name
    os.mkfifo(fifo)
    process = subprocess.Popen(
        [sys.executable, "-m", CLI_MODULE, *map(str, args), str(fifo)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=_child_env(),
    )
    writer = open(fifo, "wb")  # returns when the CLI opens the other end
    writer.write(first)
    writer.flush()
    return process, writer


def interrupt(process: subprocess.Popen[bytes]) -> tuple[bytes, bytes]:
    """Press Ctrl-C until the CLI ends; its standard output and error.

    As on a terminal, a SIGINT that lands between two reads of a pipe takes
    effect only when the next read returns, so it is sent again; pressing
    twice must still give one clean interrupt.
    """
    for _ in range(100):
        process.send_signal(signal.SIGINT)
        try:
            return process.communicate(timeout=0.5)
        except subprocess.TimeoutExpired:
            continue
    process.kill()
    pytest.fail("the CLI did not end on Ctrl-C")


@pytest.mark.parametrize("existing", [False, True])
def test_interrupt_prints_one_line_and_leaves_no_output_file(
    tmp_path: Path, existing: bool
) -> None:
    out = tmp_path / "report.md"
    if existing:
        out.write_bytes(b"previous report")
    process, writer = start_blocked_on_fifo(tmp_path, "-o", out)
    stdout, stderr = interrupt(process)
    writer.close()
    assert (process.returncode, stdout, stderr) == (130, b"", f"{PROG}: interrupted\n".encode())
    if existing:
        assert out.read_bytes() == b"previous report"
    # No temporary file is left beside it either.
    assert sorted(p.name for p in tmp_path.iterdir()) == (
        ["report.md", "slow.json"] if existing else ["slow.json"]
    )


def test_output_file_keeps_its_mode_and_link(tmp_path: Path) -> None:
    target = tmp_path / "target.md"
    target.write_bytes(b"old")
    target.chmod(0o640)
    link = tmp_path / "link.md"
    link.symlink_to(target)
    result = run_cli(EXAMPLES / "result.json", "-o", link)
    assert result.returncode == 0, result.stderr
    assert link.is_symlink()
    assert target.read_bytes() == expected_output(load(EXAMPLES / "result.json"))
    assert target.stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.md", "target.md"]


def test_usage_errors() -> None:
    for args in (
        [],
        ["--no-such-option", "a.json"],
        ["-", "-"],
        ["-o", "out.md", "-d", "out", "a.json"],
        ["-j", "0", "a.json"],
    ):
        result = run_cli(*args)
        stderr = result.stderr.decode("utf-8")
        assert result.returncode == 2
        assert stderr.startswith(f"usage: {PROG}")
        assert f"{PROG}: error: " in stderr
        assert "Traceback" not in stderr


def test_help_is_complete() -> None:
    result = run_cli("--help")
    assert result.returncode == 0
    text = result.stdout.decode("utf-8")
    for needle in (
        "INPUT", "--output", "--raw-control", "exit status", "\\x1b", "examples:", "130", "141"
    ):
        assert needle in text


# --- batches -------------------------------------------------------------


def report_bytes(data: dict[str, Any]) -> bytes:
    report = format_report(data)
    return (report + "\n").encode("utf-8") if report else b""


def make_batch(tmp_path: Path) -> tuple[list[str], list[tuple[str, dict[str, Any] | None]]]:
    """Inputs of a batch and, in order, each result's label and data (None
    for the bad ones).

    The JSON Lines file is long enough to span several chunks of work, so
    that order across worker processes is exercised.
    """
    lines: list[bytes] = []
    expected: list[tuple[str, dict[str, Any] | None]] = []
    for number in range(1, 151):
        if number == 17:
            lines.append(b'{"answers": [')  # invalid JSON on line 17
            expected.append(("runs.jsonl:17", None))
        elif number == 18:
            lines.append(b"   ")  # blank lines are skipped
        elif number == 40:
            lines.append(b"[1, 2]")  # not an object
            expected.append(("runs.jsonl:40", None))
        elif number == 41:
            lines.append(b'{"answer": []}')  # an empty report, with its note
            expected.append(("runs.jsonl:41", {"answer": []}))
        else:
            data = {"questions": [f"Q{number}"], "answers": [{"text": f"answer {number}"}]}
            lines.append(json.dumps(data).encode())
            expected.append((f"runs.jsonl:{number}", data))
    (tmp_path / "runs.jsonl").write_bytes(b"\n".join(lines) + b"\n")
    example = load(EXAMPLES / "result.json")
    (tmp_path / "result.json").write_bytes((EXAMPLES / "result.json").read_bytes())
    inputs = ["result.json", "runs.jsonl", "missing.json", "runs.jsonl"]
    order = (
        [("result.json", example)]
        + expected
        + [("missing.json", None)]
        + expected
    )
    return inputs, order


def expected_stream(order: list[tuple[str, dict[str, Any] | None]]) -> bytes:
    parts = [
        f"==> {label} <==\n".encode() + report_bytes(data)
        for label, data in order
        if data is not None
    ]
    return b"\n".join(parts)


EXPECTED_BATCH_ERRORS = [
    f"{PROG}: error: 'runs.jsonl' line 17: invalid JSON at column 14: Expecting value",
    f"{PROG}: error: 'runs.jsonl' line 40: the top level must be a JSON object "
    "(the result dictionary), not an array",
    f"{PROG}: error: cannot read 'missing.json': No such file or directory",
]


@pytest.mark.parametrize(("target", "jobs"), [("stdout", "2"), ("file", "1")])
def test_batch_stream_keeps_order_and_reports_bad_inputs(
    tmp_path: Path, target: str, jobs: str
) -> None:
    inputs, order = make_batch(tmp_path)
    out = tmp_path / "all.md"
    extra = ["-o", str(out)] if target == "file" else []
    result = run_cli(*inputs, "-j", jobs, *extra, cwd=tmp_path)
    written = out.read_bytes() if target == "file" else result.stdout
    assert written == expected_stream(order)
    assert result.returncode == 2
    errors = [line for line in result.stderr.decode().splitlines() if ": error: " in line]
    assert errors == EXPECTED_BATCH_ERRORS + EXPECTED_BATCH_ERRORS[:2]
    notes = [line for line in result.stderr.decode().splitlines() if ": note: " in line]
    assert len(notes) == 2 and all("'runs.jsonl' line 41 gives an empty report" in n for n in notes)


def test_batch_to_directory_writes_one_file_per_result(tmp_path: Path) -> None:
    inputs, order = make_batch(tmp_path)
    out = tmp_path / "reports"
    result = run_cli(*inputs[:3], "-j", "2", "-d", out, cwd=tmp_path)
    assert result.returncode == 2
    expected = {
        ("result.md" if label == "result.json" else f"runs/{label.split(':')[1]}.md"):
        report_bytes(data)
        for label, data in order[: len(order) // 2]
        if data is not None
    }
    written = {
        str(path.relative_to(out)): path.read_bytes() for path in out.rglob("*") if path.is_file()
    }
    assert written == expected


def test_batch_to_directory_refuses_clashing_names(tmp_path: Path) -> None:
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "Result.json").write_text('{"answers": [{"text": "x"}]}')
    (tmp_path / "b" / "result.json").write_text("{}")
    for inputs in (["a/Result.json", "b/Result.json"], ["a/Result.json", "b/result.json"]):
        result = run_cli(*inputs, "-d", "out", cwd=tmp_path)
        assert_one_line_error(result, "would both be written to")
        assert not (tmp_path / "out").exists()


def test_batch_interrupt_ends_workers_and_leaves_no_output_file(tmp_path: Path) -> None:
    # Enough lines for several chunks to be with the workers when the
    # interrupt comes, while the parent waits for more input.
    lines = b"".join(b'{"answers": [{"text": "%d"}]}\n' % n for n in range(300))
    out = tmp_path / "all.md"
    process, writer = start_blocked_on_fifo(
        tmp_path, "-j", "2", "-o", out, EXAMPLES / "result.json", name="slow.jsonl", first=lines
    )
    stdout, stderr = interrupt(process)
    writer.close()
    assert (process.returncode, stdout, stderr) == (130, b"", f"{PROG}: interrupted\n".encode())
    assert sorted(p.name for p in tmp_path.iterdir()) == ["slow.jsonl"]


def test_batch_from_a_live_pipe_writes_each_report_without_waiting_for_more() -> None:
    # A producer that writes one result and waits must see its report,
    # worker processes or not.
    pytest.importorskip(FORMATTER_MODULE)
    data = {"questions": ["Q"], "answers": [{"text": "live"}]}
    for jobs in ("1", "2"):
        process = subprocess.Popen(
            [sys.executable, "-m", CLI_MODULE, "--jsonl", "-j", jobs, "-"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=_child_env(),
        )
        assert process.stdin is not None and process.stdout is not None
        process.stdin.write(json.dumps(data).encode() + b"\n")
        process.stdin.flush()
        expected = b"==> <stdin>:1 <==\n" + report_bytes(data)
        received = b""
        while len(received) < len(expected):
            ready, _, _ = select.select([process.stdout], [], [], TIMEOUT)
            if not ready:
                process.kill()
                pytest.fail(f"-j {jobs}: no report while the input stays open")
            received += os.read(process.stdout.fileno(), 65536)
        assert received == expected
        process.stdin.close()
        assert process.wait(timeout=TIMEOUT) == 0
        process.stdout.close()
        assert process.stderr is not None
        process.stderr.close()


def test_progress_bar_on_request(tmp_path: Path) -> None:
    pytest.importorskip("tqdm")
    inputs, _ = make_batch(tmp_path)
    result = run_cli("--progress", "always", inputs[0], inputs[1], "-o", "all.md", cwd=tmp_path)
    assert result.returncode == 2
    # result.json and the 149 lines that are not blank, the bad ones included.
    assert "/150 [" in result.stderr.decode()
    # "auto" draws nothing when standard error is not a terminal.
    result = run_cli(inputs[0], inputs[0], "-o", "all.md", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")


# --- pretty --------------------------------------------------------------


def display_width(text: str) -> int:
    return sum(2 if unicodedata.east_asian_width(char) in "WF" else 1 for char in text)


def test_pretty_aligns_tables_by_display_width() -> None:
    pytest.importorskip("rich")
    data = {
        "questions": ["对比"],
        "answers": [
            {"text": "## 参数\n\n| 型号 | 容量 |\n| --- | --- |\n| 小熊 ZDH-Q15 | 1.5 L |\n"
             "| Hamilton Beach | 1.7 L |"}
        ],
    }
    result = run_cli("--pretty", "-", stdin=json.dumps(data).encode())
    assert (result.returncode, result.stderr) == (0, b"")
    lines = result.stdout.decode("utf-8").splitlines()
    assert not any(line.lstrip().startswith("#") for line in lines)  # headings rendered
    assert all(line == line.rstrip() for line in lines)  # no padding in a pipe
    # The second column starts at the same display column in every row.
    starts = {
        display_width(line[: line.index(cell)])
        for cell in ("容量", "1.5 L", "1.7 L")
        for line in lines
        if cell in line
    }
    assert len(starts) == 1, "\n".join(lines)


def test_pretty_without_rich_says_how_to_get_it(tmp_path: Path) -> None:
    pytest.importorskip(FORMATTER_MODULE)
    fake = tmp_path / "fake" / "rich"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ImportError('No module named rich')\n")
    env = _child_env()
    env["PYTHONPATH"] = os.pathsep.join([str(fake.parent), env["PYTHONPATH"]])
    result = subprocess.run(
        [sys.executable, "-m", CLI_MODULE, "--pretty", str(EXAMPLES / "result.json")],
        capture_output=True,
        env=env,
        timeout=TIMEOUT,
    )
    assert_one_line_error(result, "--pretty needs the optional package rich: pip install")


# --- terminals -----------------------------------------------------------


def run_on_terminal(*args: str, stdin: bytes) -> tuple[int, bytes, bytes]:
    """Run the CLI with standard output on a pseudo-terminal.

    Output post-processing (newline to CR LF) is switched off so the bytes
    read from the terminal are exactly the bytes written.
    """
    pytest.importorskip(FORMATTER_MODULE)
    master, slave = pty.openpty()
    attrs = termios.tcgetattr(slave)
    attrs[1] &= ~termios.OPOST
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    try:
        process = subprocess.Popen(
            [sys.executable, "-m", CLI_MODULE, *args],
            stdin=subprocess.PIPE,
            stdout=slave,
            stderr=subprocess.PIPE,
            env=_child_env(),
        )
    finally:
        os.close(slave)
    assert process.stdin is not None and process.stderr is not None
    process.stdin.write(stdin)
    process.stdin.close()
    chunks: list[bytes] = []
    try:
        while True:
            ready, _, _ = select.select([master], [], [], TIMEOUT)
            if not ready:
                process.kill()
                pytest.fail("no output from the terminal")
            try:
                chunk = os.read(master, 65536)
            except OSError:  # EIO: every writer of the terminal has gone
                break
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        os.close(master)
    status = process.wait(timeout=TIMEOUT)
    stderr = process.stderr.read()
    process.stderr.close()
    return status, b"".join(chunks), stderr


def test_terminal_output_escapes_control_characters() -> None:
    status, output, stderr = run_on_terminal("-", stdin=json.dumps(HOSTILE).encode("utf-8"))
    assert (status, stderr) == (0, b"")
    text = output.decode("utf-8")
    report = format_report(HOSTILE)
    assert text == cli.escape_control_characters(report) + "\n"
    for code in (0x1B, 0x9B, 0x07, 0x7F, 0x9F):
        assert chr(code) not in text
        assert f"\\x{code:02x}" in text
    assert "red \\x1b[31mALERT\\x1b[0m clear \\x9b2J" in text
    assert "keep\ttab\u00a0nbsp 中文" in text
    assert "\n### 总结\n" in text


def test_terminal_output_with_raw_control() -> None:
    status, output, stderr = run_on_terminal(
        "--raw-control", "-", stdin=json.dumps(HOSTILE).encode("utf-8")
    )
    assert (status, stderr) == (0, b"")
    assert output == expected_output(HOSTILE)
    assert b"\x1b[31m" in output


def test_terminal_with_output_file_is_not_escaped(tmp_path: Path) -> None:
    out = tmp_path / "report.md"
    document = json.dumps(HOSTILE).encode("utf-8")
    status, output, _ = run_on_terminal("-", "-o", str(out), stdin=document)
    assert status == 0 and output == b""
    assert out.read_bytes() == expected_output(HOSTILE)


# --- escaping (in process) -----------------------------------------------


@pytest.mark.parametrize(
    ("code", "escaped"),
    [
        (0x00, True),
        (0x08, True),
        (0x09, False),  # tab
        (0x0A, False),  # line feed
        (0x0B, True),
        (0x0D, True),
        (0x1B, True),
        (0x1F, True),
        (0x20, False),
        (0x7E, False),
        (0x7F, True),
        (0x80, True),
        (0x9B, True),
        (0x9F, True),
        (0xA0, False),
        (0x2028, False),
        (0x1F600, False),
    ],
)
def test_escape_control_characters(code: int, escaped: bool) -> None:
    char = chr(code)
    result = cli.escape_control_characters(f"a{char}b")
    assert result == (f"a\\x{code:02x}b" if escaped else f"a{char}b")


# --- static checks -------------------------------------------------------


def _mypy_env() -> dict[str, str]:
    # The stub is checked as it stands in the source tree.
    return _child_env(MYPYPATH=str(REPO / "python"))


def test_mypy_strict(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    result = subprocess.run(
        [
            sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
            "-m", CLI_MODULE, "-m", FORMATTER_MODULE,
        ],
        capture_output=True,
        text=True,
        env=_mypy_env(),
        cwd=tmp_path,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest(tmp_path: Path) -> None:
    pytest.importorskip("mypy.stubtest")
    pytest.importorskip(FORMATTER_MODULE)
    command = [sys.executable, "-m", "mypy.stubtest", FORMATTER_MODULE]
    allowlist = REPO / "tests" / "stubtest_allowlist.txt"
    if allowlist.exists():
        command += ["--allowlist", str(allowlist)]
    result = subprocess.run(
        command,
        capture_output=True,
        text=True,
        env=_mypy_env(),
        cwd=tmp_path,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
