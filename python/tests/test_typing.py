"""The stub-only packages the install rules put beside the extension modules:
mypy (strict) and pyright find them there and flag every wrong call on its own
line and nothing else."""

import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

# Lines marked "# wrong" must be flagged, and nothing else.
PROGRAM = textwrap.dedent(
    """\
    import mmap
    import quorrel
    import quorrel_tools
    a: str = quorrel.receipts_for_bytes(b"<a/>", "doc", "uri", None)
    b: str = quorrel.receipts_for_bytes(source_bytes=b"", doc_id="d", uri="u", authority="")
    c: str = quorrel.verify_bytes(a, b"<a/>")
    rows, summary = quorrel_tools.facts(memoryview(b""), "d", "u")
    d: str | None = rows[0]["receipt_id"]
    e: int = summary["open_facts_dropped"]
    f: list[quorrel_tools.Dimension] = rows[0]["dimensions"]
    text, counts = quorrel_tools.receipts(bytearray(b""), "d", "u", authority=None)
    g: str = text + str(counts["receipts"])
    k: str = quorrel_tools.generate_key()
    j: str = quorrel_tools.derive("ratio", a, a, round_dp=4, roles=("n", "d"), doc_id=None)
    l: str = quorrel_tools.sign(j, k.encode(), replace=True) + quorrel_tools.public_key(k)
    quorrel.verify_bytes("", bytearray(b""))  # wrong
    quorrel.receipts_for_bytes(b"", "doc")  # wrong
    quorrel.receipts_for_bytes(b"", "doc", "uri", authority=1)  # wrong
    n: bytes = quorrel.verify_bytes("", b"")  # wrong
    quorrel.receipt_for_bytes(b"", "doc", "uri")  # wrong
    quorrel_tools.facts("text", "d", "u")  # wrong
    h: int = rows[0]["value"]  # wrong
    i: int = summary["nope"]  # wrong
    quorrel_tools.derive("sum", a, a)  # wrong
    quorrel_tools.derive("ratio", a, a, 4)  # wrong
    quorrel_tools.sign(j, k, True)  # wrong
    """
)
WRONG = [n for n, line in enumerate(PROGRAM.splitlines(), 1) if line.endswith("# wrong")]


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """A bare virtual environment holding what the install rules put in site-packages."""
    build, cmake = os.environ.get("QUORREL_BUILD_DIR"), shutil.which("cmake")
    if not build or cmake is None:
        pytest.skip("needs QUORREL_BUILD_DIR and cmake")
    root = tmp_path_factory.mktemp("typing")
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(root / "venv")], check=True)
    python = root / "venv" / "bin" / "python"
    purelib = subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                             check=True, capture_output=True, text=True).stdout.strip()
    subprocess.run([cmake, "--install", build, "--prefix", purelib], check=True, capture_output=True)
    (root / "program.py").write_text(PROGRAM, encoding="utf-8")
    return root, python


def flagged(output):
    return sorted({int(n) for n in re.findall(r"program\.py:(\d+):\d*:? ?-? ?error", output)})


def without(*names):
    return {k: v for k, v in os.environ.items() if k not in names}


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_the_checker_flags_exactly_the_wrong_calls(installed, checker):
    root, python = installed
    if checker == "mypy":
        command = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-column-numbers",
                   "--cache-dir", str(root / "cache"), "--python-executable", str(python), "program.py"]
    elif shutil.which("pyright") is None:
        pytest.skip("pyright is not installed")
    else:
        command = [shutil.which("pyright"), "--pythonpath", str(python), "program.py"]
    run = subprocess.run(command, capture_output=True, text=True, env=without("PYTHONPATH", "MYPYPATH"), cwd=root,
                         timeout=300)
    assert flagged(run.stdout) == WRONG, run.stdout + run.stderr


def test_the_command_line_package_is_installed_whole(installed):
    root, python = installed
    cli = subprocess.run([str(python), "-m", "quorrel_cli", "--version"], capture_output=True, env=without("PYTHONPATH"),
                         cwd=root)
    assert (cli.returncode, cli.stdout) == (0, b"quorrel 0.1.0\n"), cli.stderr
