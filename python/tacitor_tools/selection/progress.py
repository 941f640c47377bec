"""Progress reports of a search: a tqdm bar, plain lines on stderr, or the caller's function."""

from __future__ import annotations

import importlib
import sys
from collections.abc import Callable
from typing import Any, Union

ProgressCallback = Callable[[int, int, str], None]
ProgressArg = Union[bool, ProgressCallback, None]


class Progress:
    """Counts finished candidates; the total may grow when the grid is extended."""

    def __init__(self, progress: ProgressArg, total: int) -> None:
        self.done = 0
        self.total = total
        self.callback: ProgressCallback | None = None
        self.bar: Any = None
        if callable(progress):
            self.callback = progress
        elif progress:
            try:
                tqdm = importlib.import_module("tqdm.auto").tqdm
            except ImportError:
                self.callback = _print_line
            else:
                self.bar = tqdm(total=total, desc="tacitor select", unit="candidate")

    def grow(self, extra: int) -> None:
        self.total += extra
        if self.bar is not None:
            self.bar.total = self.total
            self.bar.refresh()

    def step(self, message: str) -> None:
        self.done += 1
        if self.bar is not None:
            self.bar.set_postfix_str(message)
            self.bar.update(1)
        elif self.callback is not None:
            self.callback(self.done, self.total, message)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _print_line(done: int, total: int, message: str) -> None:
    print(f"tacitor select: {done}/{total} {message}", file=sys.stderr, flush=True)
