"""Native helpers of tacitor_tools, built from tacitor's own core."""

from typing import Literal, NamedTuple

class MemoryEstimate(NamedTuple):
    peak_bytes: int
    one_worker_bytes: int
    workers: int
    pool_workers: int
    available_bytes: int
    training_rows: int
    refusal: str | None

def memory_estimate(
    method: Literal["linear", "tree"] | str,
    n_series: int,
    length: int,
    window_size: int,
    stride: int,
    available: int | None = None,
) -> MemoryEstimate: ...
def series_that_fit(
    method: Literal["linear", "tree"] | str,
    length: int,
    window_size: int,
    stride: int,
    available: int | None = None,
) -> int: ...
def available_memory() -> int: ...
