"""What a denoising call will do: its windows, its training rows and its worker threads.

These figures are for messages only (``--verbose``, notes about gaps, early checks with
helpful errors). The native module makes the same plan itself.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

MAX_WORKERS = 255


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
        return (f"{self.windows} windows × {self.series} series = {self.training_rows} "
                f"training rows × {self.window - 1} features for each of {self.window} "
                f"estimators")


def _parse_count(value: str | None) -> int | None:
    """A worker-count variable's value: digits with an optional '+', else None."""
    if value is None:
        return None
    digits = value[1:] if value.startswith("+") else value
    if not digits or not digits.isascii() or not digits.isdigit():
        return None
    return int(digits)


def _cgroup_cpu_limit() -> int | None:
    """The CPU quota of this process's own version-2 control group, if it has one."""
    try:
        with open("/proc/self/cgroup") as f:
            lines = f.read().splitlines()
        path = next(line[3:] for line in lines if line.startswith("0::"))
        with open(os.path.join("/sys/fs/cgroup", path.lstrip("/"), "cpu.max")) as f:
            limit, period = f.read().split()[:2]
        if limit == "max":
            return None
        return max(1, int(limit) // int(period))
    except (OSError, StopIteration, ValueError):
        return None


def worker_threads() -> tuple[int, str]:
    """The worker count the native pool will use, and where it comes from."""
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        count = _parse_count(os.environ.get(name))
        if count is not None and count > 0:
            return min(count, MAX_WORKERS), name
        if count == 0 and name == "RAYON_NUM_THREADS":
            break  # 0 asks for the CPU count explicitly
    cpus = len(os.sched_getaffinity(0)) or os.cpu_count() or 1
    quota = _cgroup_cpu_limit()
    if quota is not None:
        cpus = min(cpus, quota)
    return min(cpus, MAX_WORKERS), "CPU count"
