"""Cluster runs on a LocalCluster of two worker processes, checked table by
table against the single-process commands over the same inputs."""

import contextlib
import gzip
import json
import os
import re
import shutil
import zipfile

import dask
import pyarrow.parquet as pq
import pytest
from distributed import Client, LocalCluster, WorkerPlugin

import quorrel_dask
from conftest import EDGE, EXAMPLE, INLINE, OUTCOMES
from test_cli import BROKEN, errors, run

NOT_XBRL = "not an XBRL or Inline XBRL document"
CLOSING = re.compile(rb"quorrel: \d+ documents?: (\d+) read, (\d+) skipped \(no XBRL instance\), (\d+) failed")


@pytest.fixture(scope="module")
def client():
    # A task is given up after its second worker death, and each worker holds
    # only the task it runs, so that only the task that ends a worker is blamed.
    config = {"distributed.scheduler.allowed-failures": 1, "distributed.scheduler.worker-saturation": 1.0}
    with dask.config.set(config), LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                               dashboard_address=None) as cluster, Client(cluster) as client:
        yield client


def own_inputs(tmp_path):
    """Every input form, from the project's own documents: a folder, a package and
    a .gz file as file:// URLs (read through fsspec), and named files that do not
    parse, hold no XBRL, are no package or do not exist."""
    tree = tmp_path / "filings"
    for relative, source in (("a/index.htm", EXAMPLE), ("b/index.htm", INLINE), ("b/c/edge.xml", EDGE),
                             ("every.xhtml", OUTCOMES)):
        (tree / relative).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(source, tree / relative)
    (tree / "b" / "notes.xml").write_text("<notes>no facts</notes>")
    with zipfile.ZipFile(tmp_path / "report.zip", "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("nordlicht/reports/nordlicht.xhtml", EXAMPLE.read_bytes())
        archive.writestr("nordlicht/reports/edge.xhtml", INLINE.read_bytes())
    (tmp_path / "edge.xbrl.gz").write_bytes(gzip.compress(EDGE.read_bytes()))
    (tmp_path / "broken.xml").write_bytes(b"</x>")
    (tmp_path / "plain.xhtml").write_text("<html><body>no facts</body></html>")
    (tmp_path / "junk.zip").write_bytes(b"not a zip")
    urls = [f"file://{tmp_path / name}" for name in ("filings", "report.zip", "edge.xbrl.gz", "missing.xml")]
    return urls + [str(tmp_path / name) for name in ("broken.xml", "plain.xhtml", "junk.zip")]


def commands(paths, work):
    """What `quorrel facts` and `quorrel receipts` make of the same inputs:
    the fact rows, the receipt lines, the error lines and the closing counts
    (documents read, skipped and failed; None without a folder or package)."""
    local = [path.removeprefix("file://") for path in paths]
    table = run("facts", *local, "--format", "parquet", "-o", work / "facts.parquet")
    made = run("receipts", *local)
    assert table.returncode == made.returncode
    error_lines = errors(made).decode().splitlines()
    closing = CLOSING.fullmatch(error_lines[-1].encode()) if error_lines else None
    if closing is not None:
        error_lines.pop()
    return (pq.read_table(work / "facts.parquet").to_pylist(), made.stdout.decode().splitlines(),
            sorted(error_lines), closing and tuple(map(int, closing.groups())))


def check(out, summary, expected):
    """The three tables against the commands' output: labels without file://,
    rows in the order of the documents, each document's rows as written."""
    reference_facts, lines, error_lines, counts = expected
    # Each table holds a part of every batch, and nothing else.
    names = [sorted(p.name for p in (out / table).iterdir()) for table in quorrel_dask.TABLES]
    assert names[0] == names[1] == names[2] and all(re.fullmatch(r"part-[\d-]+\.parquet", n) for n in names[0])
    read = {table: pq.read_table(out / table).to_pylist() for table in quorrel_dask.TABLES}
    for row in (row for rows in read.values() for row in rows):
        row["file"] = row["file"].removeprefix("file://")
    order = {label: i for i, label in enumerate(dict.fromkeys(row["file"] for row in reference_facts))}
    facts = sorted(read["facts"], key=lambda row: order[row["file"]])
    receipts = sorted(read["receipts"], key=lambda row: order[row["file"]])
    assert facts == reference_facts
    assert [row["line"] for row in receipts] == lines
    # A receipt row's id is its line's, and the fact rows name the same receipts in the same order.
    assert [row["receipt_id"] for row in receipts] == [json.loads(line)["receipt_id"] for line in lines] == [
        row["receipt_id"] for row in facts if row["receipt_id"] is not None]
    assert sorted(f"quorrel: {row['file']}: {row['message']}" for row in read["errors"]) == error_lines
    if summary is not None:
        assert (summary.documents, summary.skipped, summary.failed, summary.facts, summary.receipts) == (
            *counts, len(facts), len(lines))


@pytest.mark.parametrize("inputs", ["own", "corpus"])
def test_tables_match_the_single_process_commands_row_for_row(client, tmp_path, request, inputs):
    paths = own_inputs(tmp_path) if inputs == "own" else [str(request.getfixturevalue("corpus_dir"))]
    expected = commands(paths, tmp_path)
    summary = quorrel_dask.run(paths, tmp_path / "out", client=client)
    check(tmp_path / "out", summary, expected)
    assert summary.parts > 1  # a small run is still shared out between the workers
    if inputs == "own":
        assert {f"quorrel: {tmp_path}/broken.xml: {BROKEN}", f"quorrel: {tmp_path}/plain.xhtml: {NOT_XBRL}",
                f"quorrel: {tmp_path}/missing.xml: No such file or directory",
                f"quorrel: {tmp_path}/junk.zip: not a readable report package (File is not a zip file)"
                } == set(expected[2])
        assert summary.skipped == 1  # filings/b/notes.xml
    # Output is never mixed with an earlier run's.
    with pytest.raises(FileExistsError, match="holds the output of an earlier run"):
        quorrel_dask.run(paths, tmp_path / "out", client=client)


class Crash(WorkerPlugin):
    """Ends the worker process as it reads: every time for poison.xhtml, and
    the first time for the report package (a marker file says it happened)."""

    def __init__(self, marker):
        self.marker = marker

    def setup(self, worker):
        from quorrel_cli import inputs
        self.read = read = inputs.read

        def crashing(source, max_size):
            if source.label.endswith("poison.xhtml"):
                os._exit(1)
            if source.label.endswith("report.zip"):
                with contextlib.suppress(FileExistsError):
                    os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
                    os._exit(1)
            return read(source, max_size)

        inputs.read = crashing

    def teardown(self, worker):
        from quorrel_cli import inputs
        inputs.read = self.read


def test_dead_workers_lose_nothing_and_a_file_that_kills_every_worker_becomes_an_error(client, tmp_path):
    paths = own_inputs(tmp_path)
    expected = commands(paths, tmp_path)
    (tmp_path / "poison.xhtml").write_bytes(b"<x/>")  # never read: it ends the worker first
    marker = tmp_path / "killed"
    client.register_plugin(Crash(str(marker)), name="crash")
    try:
        # Batches of a few files: the package's and poison.xhtml's each hold others.
        summary = quorrel_dask.run([*paths, str(tmp_path / "poison.xhtml")], tmp_path / "out", client=client,
                                   batch_bytes=20_000)
    finally:
        client.unregister_worker_plugin("crash")
    assert marker.exists()
    reference_facts, lines, error_lines, (read, skipped, failed) = expected
    died = f"quorrel: {tmp_path}/poison.xhtml: {quorrel_dask.DIED}"
    check(tmp_path / "out", summary, (reference_facts, lines, sorted([*error_lines, died]), (read, skipped, failed + 1)))


def test_the_command_line_runs_on_a_scheduler_and_writes_to_its_folder(client, tmp_path):
    shutil.copy(EXAMPLE, tmp_path / EXAMPLE.name)
    (tmp_path / "broken.xml").write_bytes(b"</x>")
    paths = [str(tmp_path / EXAMPLE.name), str(tmp_path / "broken.xml")]
    assert run("receipts", "--dask", "local", *paths).stderr.endswith(b"--dask needs -o FOLDER: the Parquet tables "
                                                                      b"are written there\n")
    result = run("receipts", "--dask", client.scheduler.address, "-o", tmp_path / "out", *paths)
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.decode().endswith(
        f"quorrel: 2 documents: 1 read, 0 skipped (no XBRL instance), 1 failed; what failed is in {tmp_path}/out/errors\n")
    check(tmp_path / "out", None, commands(paths, tmp_path))
