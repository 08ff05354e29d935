"""Worker processes, and the clean stop on Ctrl-C or SIGTERM.

A run plans its tasks first, then forks its workers: each worker inherits the
planned tasks and is sent only their numbers, a batch at a time, reads and
writes its own files, and sends back small results. Results come out in task order whatever order
the workers finish in.

Workers ignore SIGINT, which a terminal sends to the whole process group: a
worker may be inside a long native call, so the parent ends them. In the
parent, SIGINT and SIGTERM raise `Stopped`; the pool's cleanup kills and reaps
every worker, and the command's own cleanup removes its temporary files.
"""

from __future__ import annotations

import os
import selectors
import signal
from collections import deque
from contextlib import contextmanager
from typing import TYPE_CHECKING, Callable, Generator, Iterator, Sequence, TypeVar

if TYPE_CHECKING:
    from multiprocessing.connection import Connection

R = TypeVar("R")

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
# Batches sent ahead to each worker, so that it never waits for the parent.
DEPTH = 2
# A batch ends once its tasks weigh this much (bytes to read) or are this many.
BATCH_WEIGHT = 1 << 20
BATCH_TASKS = 32


class Stopped(Exception):
    """Raised in the parent by SIGINT or SIGTERM."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.status = 128 + signum


_stopping = False


def _on_signal(signum: int, _frame: object) -> None:
    global _stopping
    # The first signal stops the run; one arriving during the cleanup it
    # started must not interrupt that cleanup.
    if not _stopping:
        _stopping = True
        raise Stopped(signum)


def install_stop_handlers() -> None:
    for signum in STOP_SIGNALS:
        signal.signal(signum, _on_signal)


def exit_on_late_signals() -> None:
    for signum in STOP_SIGNALS:
        signal.signal(signum, lambda received, _frame: os._exit(128 + received))


@contextmanager
def signals_held() -> Iterator[None]:
    """Holds SIGINT and SIGTERM back while a step must not be cut in two
    (a fork, a temporary file made and recorded); they arrive after it."""
    signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)


class _Worker:
    def __init__(self, pid: int, conn: Connection) -> None:
        self.pid = pid
        self.conn = conn
        self.queue: deque[list[int]] = deque()  # batches sent, not yet answered


def _serve(conn: Connection, work: Callable[[int], R], fail: Callable[[int, str], R]) -> None:
    while True:
        try:
            batch = conn.recv()
        except (EOFError, OSError):
            return  # the parent is gone
        if batch is None:
            return
        results = []
        for index in batch:
            try:
                results.append(work(index))
            except Exception as exc:  # a fault of ours must not take the run down with it
                results.append(fail(index, f"{type(exc).__name__}: {exc}"))
        try:
            conn.send(results)
        except (EOFError, OSError):
            return


def batches(weights: Sequence[int]) -> Iterator[list[int]]:
    """Consecutive tasks grouped until they weigh BATCH_WEIGHT or number
    BATCH_TASKS, so that small files do not each cost a round trip."""
    batch: list[int] = []
    weight = 0
    for index, item in enumerate(weights):
        batch.append(index)
        weight += item
        if weight >= BATCH_WEIGHT or len(batch) >= BATCH_TASKS:
            yield batch
            batch, weight = [], 0
    if batch:
        yield batch


def _describe(status: int) -> str:
    if os.WIFSIGNALED(status):
        signum = os.WTERMSIG(status)
        try:
            return f"the worker reading it was ended by {signal.Signals(signum).name}"
        except ValueError:
            return f"the worker reading it was ended by signal {signum}"
    return f"the worker reading it exited with status {os.waitstatus_to_exitcode(status)}"


def ordered(work: Callable[[int], R], weights: Sequence[int], workers: int,
            fail: Callable[[int, str], R]) -> Generator[R, None, None]:
    """work(0) ... work(n - 1) in worker processes, yielded in that order;
    weights, one per task (bytes to read, say), decide how tasks are batched.

    `fail(index, reason)` stands for the result of a task that raised or
    whose worker died. The caller must close the iterator
    (contextlib.closing) so that the workers are ended however its loop ends.
    """
    count = len(weights)
    if count == 0:
        return
    if not hasattr(os, "fork"):
        for index in range(count):
            yield work(index)
        return
    from multiprocessing.connection import Pipe

    pending = deque(batches(weights))
    running: dict[Connection, _Worker] = {}
    selector = selectors.DefaultSelector()
    done: dict[int, R] = {}
    next_out = 0

    def start() -> None:
        ours, theirs = Pipe()
        with signals_held():
            pid = os.fork()
            if pid == 0:
                # The child: stop signals are still held; from here on SIGINT
                # is ignored and SIGTERM ends the process where it stands.
                try:
                    signal.signal(signal.SIGINT, signal.SIG_IGN)
                    signal.signal(signal.SIGTERM, signal.SIG_DFL)
                    signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
                    ours.close()
                    for other in running:
                        other.close()  # so that each worker sees EOF when the parent goes
                    _serve(theirs, work, fail)
                finally:
                    os._exit(0)
            running[ours] = _Worker(pid, ours)
            selector.register(ours, selectors.EVENT_READ)
        theirs.close()

    def feed(worker: _Worker) -> None:
        while pending and len(worker.queue) < DEPTH:
            batch = pending.popleft()
            worker.queue.append(batch)
            try:
                worker.conn.send(batch)
            except OSError:
                return  # a worker that died: its end is read next, and its batches go back

    def retire(worker: _Worker) -> int:
        selector.unregister(worker.conn)
        worker.conn.close()
        _, status = os.waitpid(worker.pid, 0)
        del running[worker.conn]
        return status

    try:
        for _ in range(min(workers, count)):
            start()
        for worker in list(running.values()):
            feed(worker)
        while next_out < count:
            if next_out in done:
                result = done.pop(next_out)
                next_out += 1
                yield result
                continue
            for key, _ in selector.select():
                worker = running[key.fileobj]  # type: ignore[index]
                try:
                    results = worker.conn.recv()
                except (EOFError, OSError):
                    status = retire(worker)
                    # The batch it was on is lost. Alone, its task fails; else
                    # its tasks are tried again one by one, so that only the
                    # one that ends a worker fails. Batches sent ahead go back.
                    if worker.queue:
                        lost = worker.queue.popleft()
                        if len(lost) == 1:
                            done[lost[0]] = fail(lost[0], _describe(status))
                        else:
                            worker.queue.extendleft([index] for index in reversed(lost))
                    pending.extendleft(reversed(worker.queue))
                    if pending:
                        start()
                        for other in list(running.values()):
                            feed(other)
                    continue
                for index, result in zip(worker.queue.popleft(), results):
                    done[index] = result
                feed(worker)
                if not worker.queue:
                    try:
                        worker.conn.send(None)
                    except OSError:
                        pass  # it has ended already
                    retire(worker)
    finally:
        # Reached on success, on an error, on Stopped and when the caller
        # stops reading: no worker outlives the run, none is left a zombie.
        # A first signal arriving now waits until this is done.
        with signals_held():
            for worker in list(running.values()):
                try:
                    os.kill(worker.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                worker.conn.close()
                try:
                    os.waitpid(worker.pid, 0)
                except ChildProcessError:
                    pass  # reaped just before the stop
            running.clear()
            selector.close()
