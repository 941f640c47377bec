"""What a denoising call will do: its windows, its training rows and its worker threads.

These figures are for messages only (``--verbose`` and notes about gaps); the plan itself
is :mod:`tacitor_tools.bridge`'s, which the native module follows.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

from ..bridge import window_count


def plural(count: int, noun: str) -> str:
    """``count`` followed by ``noun``, with an "s" unless the count is one."""
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


@dataclass
class WorkSize:
    series: int
    length: int
    window: int
    stride: int

    @property
    def windows(self) -> int:
        return window_count(self.length, self.window, self.stride)

    @property
    def training_rows(self) -> int:
        """Rows of every estimator's training set: one per (window, series) pair."""
        return self.windows * self.series

    def describe(self) -> str:
        return (
            f"{plural(self.windows, 'window')} × {self.series} series = "
            f"{plural(self.training_rows, 'training row')} × "
            f"{plural(self.window - 1, 'feature')} for each of "
            f"{plural(self.window, 'estimator')}"
        )


# The variables the native pool reads its size from, in the order it reads them.
WORKER_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


def worker_threads() -> str:
    """How the native pool's size is chosen, for messages: the variable that sets it, if any.

    The pool sizes itself; its rules (which values count, CPU affinity, container quotas)
    are not repeated here, so the value of the variable is shown as it is set.
    """
    for name in WORKER_VARIABLES:
        value = os.environ.get(name)
        if value is not None:
            return f"{name}={value}"
    return "one per available CPU"
