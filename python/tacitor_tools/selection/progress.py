"""Progress reports of a search: a tqdm bar, plain lines on stderr, or the caller's function."""

from __future__ import annotations

import importlib
import sys
from collections.abc import Callable
from typing import Any, Union

ProgressCallback = Callable[[int, int, str], None]
ProgressArg = Union[bool, ProgressCallback, None]


class Progress:
    """Counts finished candidates; the total may grow when the grid is extended.

    The bar advances by each candidate's predicted cost (``work``, from the search's cost
    model) rather than by one per candidate, so that its time estimate allows for wide
    windows costing many times what narrow ones do. A callback gets candidate counts.
    """

    def __init__(self, progress: ProgressArg, total: int, work_total: float | None = None) -> None:
        self.done = 0
        self.total = total
        self.work_total = float(total) if work_total is None else work_total
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
                self.bar = tqdm(total=round(self.work_total, 2), desc="tacitor select", unit="work")

    def grow(self, extra: int, work: float = 1.0) -> None:
        """``extra`` candidates (negative: left out) of predicted cost ``work`` each."""
        self.total += extra
        self.work_total += extra * work
        if self.bar is not None:
            self.bar.total = round(self.work_total, 2)
            self.bar.refresh()

    def step(self, message: str, work: float = 1.0) -> None:
        self.done += 1
        if self.bar is not None:
            self.bar.set_postfix_str(message)
            self.bar.update(round(work, 2))
        elif self.callback is not None:
            self.callback(self.done, self.total, message)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _print_line(done: int, total: int, message: str) -> None:
    print(f"tacitor select: {done}/{total} {message}", file=sys.stderr, flush=True)
