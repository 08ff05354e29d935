"""Times the command line as a user runs it, and prints figures and ratios:

    PYTHONPATH=build/release/python:python python bench/cli_bench.py [--corpus DIR] [--repeat N] [--stops N]

- stop: the median and the longest time from SIGINT, sent to the process
  group as a terminal does, to the end of a `quorrel receipts` run over
  generated files (target: median under 1 s);
- folder: 4,000 small files into a new output folder, then again into the
  same, existing folder, best of --repeat (target: at most 2 times the
  first run);
- jobs: wall time of --jobs 2 against --jobs 1 over the corpus listed 20
  times (about 420 MB), into a folder and into one file, best of --repeat
  (target: --jobs 2 at most 1/1.6 of --jobs 1, on two cores). The CPU time
  of each best run and the machine's load average are printed beside them,
  and what the machine gives at the time: the same native work split over
  two forked processes against one. Where others share the cores, wall time
  cannot show what two workers save.
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "nordlicht-2025.xhtml"
CORPUS = ROOT.parent / "shared" / "corpus"
SUFFIXES = (".htm", ".html", ".xhtml", ".xml", ".xbrl")
CLI = [sys.executable, "-m", "quorrel_cli"]


# The command runs as an installed one does, from compiled modules: where
# the environment says not to write them, each run would compile the
# command's source again.
ENV = {key: value for key, value in os.environ.items() if key != "PYTHONDONTWRITEBYTECODE"}


def timed(args: list[str]) -> float:
    start = time.perf_counter()
    subprocess.run([*CLI, *map(str, args)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False,
                   env=ENV)
    return time.perf_counter() - start


def cpu_of_children() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def stop_times(work: Path, tries: int) -> list[float]:
    source = EXAMPLE.read_bytes()
    at = source.index(b"</body>")
    prose = b"<p>Lorem ipsum dolor sit amet, consectetur <b>adipiscing</b> elit.</p>\n"
    folder = work / "long"
    folder.mkdir()
    (folder / "f0000.xhtml").write_bytes(source[:at] + prose * (8_000_000 // len(prose)) + source[at:])
    for i in range(1, 2000):
        os.link(folder / "f0000.xhtml", folder / f"f{i:04}.xhtml")
    times = []
    for attempt in range(tries):
        out = work / f"stop{attempt}"
        process = subprocess.Popen([*CLI, "receipts", str(folder), "-o", f"{out}/"], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        time.sleep(1.0 + 0.1 * attempt)
        if process.poll() is not None:
            raise SystemExit("the run ended before the signal")
        start = time.perf_counter()
        os.killpg(process.pid, signal.SIGINT)
        status = process.wait()
        times.append(time.perf_counter() - start)
        if status != 130:
            raise SystemExit(f"exit status {status} after SIGINT")
        shutil.rmtree(out, ignore_errors=True)
    return times


def folder_times(work: Path, repeat: int) -> tuple[float, float]:
    """Best of repeat: into a new folder, then again into the same."""
    folder = work / "small"
    folder.mkdir()
    for i in range(4000):
        shutil.copy(EXAMPLE, folder / f"f{i:04}.xhtml")
    first = again = float("inf")
    # A new folder for each run, removed only at the end (see jobs_times).
    for run in range(repeat):
        output = f"{work / f'small-out-{run}'}/"
        first = min(first, timed(["receipts", folder, "-o", output]))
        again = min(again, timed(["receipts", folder, "-o", output]))
    for run in range(repeat):
        shutil.rmtree(work / f"small-out-{run}")
    return first, again


def jobs_times(work: Path, corpus: Path, repeat: int) -> dict[tuple[str, int], float]:
    files = sorted(p for p in corpus.rglob("*") if p.is_file() and p.name.lower().endswith(SUFFIXES))
    # Twenty copies of the corpus under one folder, each file a link, so that
    # every output has a name of its own.
    copies = work / "copies"
    for copy in range(20):
        for path in files:
            link = copies / f"c{copy:02}" / path.relative_to(corpus)
            link.parent.mkdir(parents=True, exist_ok=True)
            link.symlink_to(path)
    listed = [str(p) for p in files] * 20
    print(f"corpus: {len(files)} files, {sum(p.stat().st_size for p in files) * 20 / 1e6:.0f} MB listed 20 times")
    # Each run writes to a new folder or file, and all of them are removed at
    # the end: removing thousands of files just before a run would charge it
    # with the file system's own work on them (freeing their blocks, and
    # ext4 looking past recently freed inodes for every new one).
    outputs = work / "jobs-out"
    outputs.mkdir()
    best: dict[tuple[str, int], tuple[float, float]] = {}
    for run in range(repeat):
        for jobs in (1, 2):
            for mode in ("folder", "file"):
                output = outputs / f"{run}-{jobs}-{mode}"
                cpu = cpu_of_children()
                wall = timed(["receipts", *([copies] if mode == "folder" else listed),
                              "-o", f"{output}/" if mode == "folder" else output, "--jobs", jobs])
                best[(mode, jobs)] = min(best.get((mode, jobs), (float("inf"), 0.0)), (wall, cpu_of_children() - cpu))
    shutil.rmtree(outputs)
    return best


def machine_speedup(corpus: Path) -> float:
    """Wall time of native work in one process over the same work split
    between two, best of three: about 2 on two idle cores."""
    import quorrel

    sources = [p.read_bytes() for p in sorted(corpus.rglob("*")) if p.name.lower().endswith(SUFFIXES)]

    def share(part: int, parts: int) -> None:
        for _ in range(3):
            for source in sources[part::parts]:
                try:
                    quorrel.receipts_for_bytes(source, "d", "u")
                except ValueError:
                    pass

    def split(parts: int) -> float:
        start = time.perf_counter()
        children = []
        for part in range(parts):
            pid = os.fork()
            if pid == 0:
                share(part, parts)
                os._exit(0)
            children.append(pid)
        for pid in children:
            os.waitpid(pid, 0)
        return time.perf_counter() - start

    return min(split(1) for _ in range(3)) / min(split(2) for _ in range(3))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", type=Path, default=CORPUS)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--stops", type=int, default=10)
    parser.add_argument("--only", choices=["stop", "folder", "jobs"], action="append")
    args = parser.parse_args()
    only = set(args.only or ["stop", "folder", "jobs"])
    with tempfile.TemporaryDirectory() as scratch:
        work = Path(scratch)
        if "stop" in only:
            times = stop_times(work, args.stops)
            print(f"stop after SIGINT: median {statistics.median(times) * 1000:.0f} ms, "
                  f"longest {max(times) * 1000:.0f} ms over {len(times)} tries (target: median under 1 s)")
        if "folder" in only:
            first, again = folder_times(work, args.repeat)
            print(f"4,000 files: first run {first:.2f} s, into the existing folder {again:.2f} s, "
                  f"ratio {again / first:.2f} (target: at most 2)")
        if "jobs" in only:
            if not args.corpus.is_dir():
                print(f"jobs: skipped, no corpus at {args.corpus}")
                return
            print(f"the machine now: native work split over two processes runs {machine_speedup(args.corpus):.2f} "
                  f"times as fast as in one")
            best = jobs_times(work, args.corpus, args.repeat)
            for mode in ("folder", "file"):
                (one, cpu_one), (two, cpu_two) = best[(mode, 1)], best[(mode, 2)]
                print(f"into one {mode}: --jobs 1 {one:.2f} s (CPU {cpu_one:.2f} s), --jobs 2 {two:.2f} s "
                      f"(CPU {cpu_two:.2f} s), jobs 2 / jobs 1 = {two / one:.2f} = 1/{one / two:.2f} "
                      f"(target: at most 1/1.6)")
        load = " ".join(f"{x:.2f}" for x in os.getloadavg())
        print(f"load average of the machine: {load} over {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
