"""The native memory estimate, as the companion's interfaces use it.

The estimate and the rule for the workers that fit live in the native core (the same code the
denoising functions run before they allocate); this module only asks it and words the answer.
"""

from __future__ import annotations


from . import _native

__all__ = ["estimate", "refusal", "describe", "series_per_block", "dask_worker_budget"]

# Dask pauses a worker at 80 % of its memory limit; a block's call stays well below that.
DASK_WORKER_SHARE = 0.6


def estimate(
    method: str,
    n_series: int,
    length: int,
    window_size: int,
    stride: int,
    available: int | None = None,
) -> _native.MemoryEstimate:
    """``tacitor_tools._native.memory_estimate`` for one call of this shape."""
    return _native.memory_estimate(
        method, n_series, length, window_size, stride, available=available
    )


def refusal(method: str, n_series: int, length: int, window_size: int, stride: int) -> str | None:
    """The MemoryError text a call of this shape would raise here and now, or None."""
    return estimate(method, n_series, length, window_size, stride).refusal


def describe(method: str, n_series: int, length: int, window_size: int, stride: int) -> str:
    """ "estimated peak 1.2 GiB on 2 workers of 2, 20.7 GiB available" for error messages."""
    e = estimate(method, n_series, length, window_size, stride)
    return (
        f"estimated peak {e.peak_bytes / 2**30:.1f} GiB on {max(e.workers, 1)} of "
        f"{e.pool_workers} workers, {e.available_bytes / 2**30:.1f} GiB available"
    )


def series_per_block(
    method: str, length: int, window_size: int, stride: int, available: int | None
) -> int:
    """The most series one call can denoise within ``available`` bytes (this process's
    memory when None); 0 when not even one fits."""
    return int(_native.series_that_fit(method, length, window_size, stride, available=available))


def dask_worker_budget() -> int | None:
    """Bytes one task may use on the smallest worker of the current dask.distributed client
    (its memory limit shared by its threads, with room below the pause threshold); None
    without a client or without limits."""
    try:
        from distributed import get_client

        client = get_client()
    except (ImportError, ValueError):
        return None
    budgets = [
        int(DASK_WORKER_SHARE * w["memory_limit"] / max(int(w.get("nthreads", 1)), 1))
        for w in client.scheduler_info().get("workers", {}).values()
        if w.get("memory_limit")
    ]
    return min(budgets) if budgets else None
