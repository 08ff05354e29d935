"""The typing information as an installed distribution ships it: the install
rules put a stub-only `quorrel-stubs` package beside the extension module, and
a type checker must find it there and check calls against it."""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

GOOD = textwrap.dedent(
    """\
    import quorrel

    a: str = quorrel.receipts_for_bytes(b"<a/>", "doc", "uri")
    b: str = quorrel.receipts_for_bytes(b"<a/>", "doc", "uri", None)
    c: str = quorrel.receipts_for_bytes(source_bytes=b"", doc_id="d", uri="u", authority="")
    d: str = quorrel.verify_bytes(a, b"<a/>")
    e: str = quorrel.verify_bytes(source_bytes=b"", receipts_jsonl="")
    """
)

BAD = textwrap.dedent(
    """\
    import quorrel

    quorrel.verify_bytes("", bytearray(b""))
    quorrel.receipts_for_bytes(b"", "doc")
    quorrel.receipts_for_bytes(b"", "doc", "uri", authority=1)
    n: bytes = quorrel.verify_bytes("", b"")
    quorrel.receipt_for_bytes(b"", "doc", "uri")
    quorrel.verify_bytes(jsonl="", source_bytes=b"")
    """
)


@pytest.fixture
def installed(tmp_path: Path) -> Path:
    """A bare virtual environment with the install rules' output in its site-packages."""
    build = os.environ.get("QUORREL_BUILD_DIR")
    cmake = shutil.which("cmake")
    if not build or cmake is None:
        pytest.skip("needs QUORREL_BUILD_DIR and cmake")
    env_dir = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(env_dir)], check=True)
    python = env_dir / "bin" / "python"
    purelib = subprocess.run(
        [str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
        check=True, capture_output=True, text=True, env={"PATH": os.environ.get("PATH", "")},
    ).stdout.strip()
    subprocess.run([cmake, "--install", build, "--prefix", purelib], check=True, capture_output=True)
    assert (Path(purelib) / "quorrel-stubs" / "__init__.pyi").is_file()
    return python


def run_mypy(python: Path, tmp_path: Path, source: str) -> list[tuple[int, str]]:
    program = tmp_path / "program.py"
    program.write_text(source, encoding="utf-8")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         "--python-executable", str(python), str(program)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300,
    )
    found = re.findall(r"^\S*program\.py:(\d+): error: .*\[([a-z-]+)\]$", run.stdout, re.MULTILINE)
    assert run.returncode == (1 if found else 0), run.stdout + run.stderr
    return [(int(line), code) for line, code in found]


def test_mypy_accepts_correct_calls_through_the_installed_stubs(installed, tmp_path):
    assert run_mypy(installed, tmp_path, GOOD) == []


def test_mypy_flags_wrong_calls_through_the_installed_stubs(installed, tmp_path):
    assert run_mypy(installed, tmp_path, BAD) == [
        (3, "arg-type"),
        (4, "call-arg"),
        (5, "arg-type"),
        (6, "assignment"),
        (7, "attr-defined"),
        (8, "call-arg"),
    ]
