"""Throughput of quorrel_dask.run on a LocalCluster of 1 and of 2 worker
processes (one thread each) over the corpus listed --times times (default
20, about 420 MB), each run into a new output folder:

    PYTHONPATH=build/release/python:python python bench/dask_bench.py [--corpus DIR] [--times N] [--repeat N]

Printed per cluster: the best wall time of --repeat runs (the cluster
already started), MB/s of input, documents and fact rows per second, the
CPU time the workers spent, and the ratio to one worker. Beside them, the
same documents read once in this process without Dask, as the floor the
cluster adds its cost to, and the machine's load average: where others share
the cores, wall time cannot show what a second worker saves.
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import sys
import tempfile
import time
from pathlib import Path

from distributed import Client, LocalCluster

import quorrel_dask
from quorrel_cli import inputs

ROOT = Path(__file__).resolve().parents[1]
CORPUS = ROOT.parent / "shared" / "corpus"


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def in_process(paths: list[str], times: int) -> float:
    """Seconds to read the corpus once here, as one batch task does, scaled to times."""
    job = quorrel_dask._Job(None, None, None, inputs.DEFAULT_MAX_SIZE, None, "")
    sources = inputs.expand(paths, inputs.DEFAULT_MAX_SIZE).sources
    start = time.perf_counter()
    for source in sources:
        quorrel_dask._read(source, job)
    return (time.perf_counter() - start) * times


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=CORPUS)
    parser.add_argument("--times", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    if not args.corpus.is_dir():
        print(f"no corpus at {args.corpus}", file=sys.stderr)
        return 2
    paths = [str(args.corpus)] * args.times
    size = sum(source.size for source in inputs.expand(paths, inputs.DEFAULT_MAX_SIZE).sources)
    print(f"input: {args.corpus} listed {args.times} times, {size / 1e6:,.0f} MB")
    floor = in_process([str(args.corpus)], args.times)
    print(f"one process, no Dask:   {floor:6.1f} s  {size / 1e6 / floor:6.1f} MB/s")
    work = Path(tempfile.mkdtemp(prefix="quorrel-dask-bench-"))
    first = None
    try:
        for workers in (1, 2):
            started = time.perf_counter()
            with LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=None) as cluster, \
                    Client(cluster) as client:
                startup = time.perf_counter() - started
                best, cpu, summary = float("inf"), 0.0, None
                for attempt in range(args.repeat):
                    out = work / f"out-{workers}-{attempt}"
                    before = sum(client.run(cpu_seconds).values())
                    start = time.perf_counter()
                    summary = quorrel_dask.run(paths, out, client=client)
                    elapsed = time.perf_counter() - start
                    if elapsed < best:
                        best, cpu = elapsed, sum(client.run(cpu_seconds).values()) - before
                    shutil.rmtree(out)
            assert summary is not None
            first = first or best
            print(f"{workers} worker{'s' if workers > 1 else ' '} (start {startup:4.1f} s): {best:6.1f} s  "
                  f"{size / 1e6 / best:6.1f} MB/s  {summary.documents / best:7,.0f} documents/s  "
                  f"{summary.facts / best:9,.0f} fact rows/s  workers' CPU {cpu:6.1f} s  "
                  f"{summary.parts} batches  x{first / best:.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"cores: {os.cpu_count()}, load average: {load}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
