"""The typing stubs as an installed distribution ships them: the install rules
put a stub-only `quorrel-stubs` package beside the extension module, and mypy
must find it there and check calls against it."""

import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

PROGRAM = textwrap.dedent(
    """\
    import quorrel
    a: str = quorrel.receipts_for_bytes(b"<a/>", "doc", "uri", None)
    b: str = quorrel.receipts_for_bytes(source_bytes=b"", doc_id="d", uri="u", authority="")
    c: str = quorrel.verify_bytes(a, b"<a/>")
    quorrel.verify_bytes("", bytearray(b""))
    quorrel.receipts_for_bytes(b"", "doc")
    quorrel.receipts_for_bytes(b"", "doc", "uri", authority=1)
    n: bytes = quorrel.verify_bytes("", b"")
    quorrel.receipt_for_bytes(b"", "doc", "uri")
    quorrel.verify_bytes(jsonl="", source_bytes=b"")
    """
)


def test_mypy_checks_calls_against_the_installed_stubs(tmp_path):
    build, cmake = os.environ.get("QUORREL_BUILD_DIR"), shutil.which("cmake")
    if not build or cmake is None:
        pytest.skip("needs QUORREL_BUILD_DIR and cmake")
    # A bare virtual environment holding what the install rules put in site-packages.
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(tmp_path / "venv")], check=True)
    python = tmp_path / "venv" / "bin" / "python"
    purelib = subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                             check=True, capture_output=True, text=True).stdout.strip()
    subprocess.run([cmake, "--install", build, "--prefix", purelib], check=True, capture_output=True)
    (tmp_path / "program.py").write_text(PROGRAM, encoding="utf-8")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    # The command-line package is installed whole beside the module.
    cli = subprocess.run([str(python), "-m", "quorrel_cli", "--version"], capture_output=True, env=env, cwd=tmp_path)
    assert (cli.returncode, cli.stdout) == (0, b"quorrel 0.1.0\n"), cli.stderr
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         "--python-executable", str(python), "program.py"],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300,
    )
    found = re.findall(r"^program\.py:(\d+): error: .*\[([a-z-]+)\]$", run.stdout, re.MULTILINE)
    assert run.returncode == 1, run.stdout + run.stderr
    # The correct calls of lines 1-4 pass; each wrong one is flagged.
    assert [(int(n), code) for n, code in found] == [
        (5, "arg-type"), (6, "call-arg"), (7, "arg-type"), (8, "assignment"), (9, "attr-defined"), (10, "call-arg")
    ]
