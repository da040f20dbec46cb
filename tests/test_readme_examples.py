"""The README's Python examples type-check under ``mypy --strict``.

Each ```python block is checked as a module of its own against the type stub
in the source tree, so a stub that an override or a call in the README does
not match fails here.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]


def readme_python_blocks() -> list[str]:
    text = (REPO / "README.md").read_text(encoding="utf-8")
    return re.findall(r"^```python\n(.*?)^```$", text, flags=re.DOTALL | re.MULTILINE)


def test_readme_examples_pass_mypy_strict(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    blocks = readme_python_blocks()
    # The call example and the override example at least.
    assert len(blocks) >= 2 and any("def _render_blocks" in block for block in blocks)
    paths = []
    for number, block in enumerate(blocks, 1):
        path = tmp_path / f"readme_example_{number}.py"
        path.write_text(block, encoding="utf-8")
        paths.append(str(path))
    env = dict(os.environ, MYPYPATH=str(REPO / "python"))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *paths],
        capture_output=True,
        text=True,
        env=env,
        cwd=tmp_path,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
