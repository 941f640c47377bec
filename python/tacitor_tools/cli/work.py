"""What a denoising call will do: its windows, its training rows and its worker threads.

These figures are for messages only (``--verbose``, notes about gaps, early checks with
helpful errors). The native module makes the same plan itself.
"""

from __future__ import annotations

import os
from dataclasses import dataclass


def plural(count: int, noun: str) -> str:
    """``count`` followed by ``noun``, with an "s" unless the count is one."""
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def window_count(length: int, window: int, stride: int) -> int:
    """Windows of the plan: the multiples of ``stride`` below the last start, then the last."""
    last = length - window
    return -(-last // stride) + 1


def uncovered_positions(length: int, window: int, stride: int) -> int:
    """How many time positions no window covers (they come out as NaN)."""
    last = length - window
    if stride <= window or last == 0:
        return 0
    multiples = -(-last // stride)  # starts 0, stride, ... below `last`
    between_multiples = (multiples - 1) * (stride - window)
    before_last = max(0, last - ((multiples - 1) * stride + window))
    return between_multiples + before_last


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
        return (f"{plural(self.windows, 'window')} × {self.series} series = "
                f"{plural(self.training_rows, 'training row')} × "
                f"{plural(self.window - 1, 'feature')} for each of "
                f"{plural(self.window, 'estimator')}")


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
