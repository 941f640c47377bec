"""What a denoising call will do: its windows, its training rows and its worker threads.

These figures are for messages only (``--verbose``, notes about gaps, early checks with
helpful errors). The native module makes the same plan itself.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

MAX_WORKERS = 255


def window_starts(length: int, window: int, stride: int) -> list[int]:
    """Start positions of the windows: multiples of ``stride`` below the last start, then it."""
    last = length - window
    starts = list(range(0, last, stride))
    starts.append(last)
    return starts


def uncovered_positions(length: int, window: int, stride: int) -> int:
    """How many time positions no window covers (they come out as NaN)."""
    covered = 0
    end = 0
    for start in window_starts(length, window, stride):
        covered += max(0, start + window - max(start, end))
        end = max(end, start + window)
    return length - covered


@dataclass
class WorkSize:
    series: int
    length: int
    window: int
    stride: int

    @property
    def windows(self) -> int:
        return len(window_starts(self.length, self.window, self.stride))

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
