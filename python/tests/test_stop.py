"""Workers that end early: Ctrl-C and SIGTERM in the middle of a long
`quorrel receipts` run, and a worker killed under its task."""

import math
import os
import random
import signal
import subprocess
import time

import pytest

import quorrel
from quorrel_cli import pool
from test_cli import CLI, EXAMPLE, PATH

TRIES = 20


def generated(folder):
    """A folder of documents that would keep two workers busy for 10 s or more:
    the example grown to 8 MB with prose, under many names."""
    source = EXAMPLE.read_bytes()
    at = source.index(b"</body>")
    prose = b"<p>Lorem ipsum dolor sit amet, consectetur <b>adipiscing</b> elit.</p>\n"
    big = source[:at] + prose * (8_000_000 // len(prose)) + source[at:]
    cost = min(_timed(lambda: quorrel.receipts_for_bytes(big, "a", "b")) for _ in range(3))
    count = max(100, math.ceil(2 * 10 / cost))
    folder.mkdir()
    (folder / "f00000.xhtml").write_bytes(big)
    for i in range(1, count):
        os.link(folder / "f00000.xhtml", folder / f"f{i:05}.xhtml")


def _timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_stop_ends_every_worker_leaves_no_temporary_file_and_exits_with_the_signal(tmp_path, signum):
    generated(tmp_path / "in")
    first = tmp_path / "in" / "f00000.xhtml"
    expected = len(quorrel.receipts_for_bytes(first.read_bytes(), first.name, first.name).encode())
    rng = random.Random(signum)
    for attempt in range(TRIES):
        out, scratch = tmp_path / f"out{attempt}", tmp_path / f"tmp{attempt}"
        out.mkdir()
        scratch.mkdir()
        # Every other try writes one file (parts in TMPDIR), the others a folder of outputs.
        target = out / "all.jsonl" if attempt % 2 else out / "each"
        process = subprocess.Popen([*CLI, "receipts", tmp_path / "in", "-o", f"{target}/" * (attempt % 2 == 0)
                                    or target, "--jobs", "2"],
                                   env=dict(os.environ, PYTHONPATH=PATH, TMPDIR=str(scratch)),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
        try:
            # The run is going once its first temporary file is there.
            deadline = time.monotonic() + 60
            while not any(out.rglob(".*")) and time.monotonic() < deadline:
                time.sleep(0.01)
            time.sleep(rng.uniform(0, 0.5))
            assert process.poll() is None, "the run ended before the signal"
            if signum == signal.SIGINT:
                os.killpg(process.pid, signum)  # as a terminal sends it
            else:
                os.kill(process.pid, signum)
            _, errors = process.communicate(timeout=10)
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        assert (process.returncode, errors) == (128 + signum, b"")
        with pytest.raises(ProcessLookupError):
            os.killpg(process.pid, 0)  # no worker outlives the run
        assert list(scratch.iterdir()) == []
        # Only whole outputs, under their final names.
        left = [p for p in out.rglob("*") if p != target]
        assert all(p.name.endswith(".xhtml.receipts.jsonl") and p.stat().st_size == expected for p in left), left


def test_a_task_whose_worker_dies_fails_alone_and_the_others_keep_their_order():
    def work(index):
        if index == 5:
            os.kill(os.getpid(), signal.SIGKILL)
        return index * index

    # Small weights put the tasks in shared batches: the lost batch is tried again task by task.
    results = list(pool.ordered(work, [1] * 40, 2, lambda index, reason: (index, reason)))
    assert results == [i * i for i in range(5)] + [(5, "the worker reading it was ended by SIGKILL")] + [
        i * i for i in range(6, 40)]
