"""What the commands print: error lines, the progress bar, UTF-8 output."""

from __future__ import annotations

import os
import sys
from typing import TextIO


def error(message: str) -> None:
    sys.stderr.write(f"quorrel: {message}\n")


def note(message: str) -> None:
    """A line about a document that is not an error: what it left undone."""
    sys.stderr.write(f"{message}\n")


def write_utf8(stream: TextIO, text: str) -> None:
    # Receipts and summaries are UTF-8 whatever the terminal's encoding, with
    # bare line feeds on every platform.
    buffer = getattr(stream, "buffer", None)
    if buffer is None:
        stream.write(text)
    else:
        stream.flush()
        buffer.write(text.encode("utf-8"))
        buffer.flush()


def silence_stdout() -> None:
    """After a broken pipe: nothing more reaches the reader, and the flush at
    exit must not complain about it."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


class Progress:
    def __init__(self, total: int, enabled: bool) -> None:
        self.total = total
        self.done = 0
        self.enabled = enabled

    def step(self, label: str) -> None:
        self.done += 1
        if not self.enabled:
            return
        width = 30
        filled = width * self.done // self.total
        name = os.path.basename(label)[-40:]
        sys.stderr.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} {name:<40}")
        sys.stderr.flush()

    def interrupt(self) -> None:
        """Ends the bar's line so that a message starts on its own."""
        if self.enabled:
            sys.stderr.write("\n")

    def close(self) -> None:
        if self.enabled:
            sys.stderr.write("\n")
            sys.stderr.flush()
            self.enabled = False
