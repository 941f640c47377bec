"""Denoising batches with missing values (NaN).

The native functions need every sample. Missing samples are first filled by straight lines
between their observed neighbours, series by series; then the native call runs and its output
replaces the filled values, missing positions only, and the call runs again on the refined
data. Observed samples are never changed before they reach the native call.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

Method = Literal["linear", "tree"]
MissingPolicy = Literal["impute", "raise"]

NATIVE_NAMES = {"linear": "denoise_linear_regression", "tree": "denoise_decision_tree"}


def native_function(
    method: str,
) -> Callable[[npt.NDArray[np.float32], int, int], npt.NDArray[np.float32]]:
    """The native function of ``method``; the module is imported on first use, so that the
    package (and the command-line tool's --help) imports without it."""
    if method not in NATIVE_NAMES:
        raise ValueError(f"method must be 'linear' or 'tree', not {method!r}")
    import tacitor

    function: Callable[[npt.NDArray[np.float32], int, int], npt.NDArray[np.float32]] = \
        getattr(tacitor, NATIVE_NAMES[method])
    return function


def as_float_matrix(samples: npt.ArrayLike, name: str = "samples") -> npt.NDArray[np.floating[Any]]:
    """``samples`` as a 2-D floating array (float64 kept, anything else float32), checked.

    NaN is allowed (missing); ±inf is refused, since no value can stand in for it.
    """
    array = np.asarray(samples)
    if array.ndim != 2:
        raise ValueError(f"{name} must be a 2-D array (rows are series, columns are time), "
                         f"not {array.ndim}-D of shape {array.shape}")
    if array.dtype.kind not in "biuf":
        raise ValueError(f"{name} must hold real numbers, not {array.dtype}")
    if array.dtype != np.float64:
        array = array.astype(np.float32, copy=False)
    infinite = int(np.isinf(array).sum())
    if infinite:
        raise ValueError(f"{name} holds {infinite} infinite values; only NaN may mark a "
                         "missing sample")
    return array


def interpolate_gaps(samples: npt.NDArray[np.floating[Any]]) -> npt.NDArray[np.float32]:
    """Float32 copy with every NaN replaced by linear interpolation within its series.

    Leading and trailing gaps take the nearest observed value; series without any observed
    sample are left all NaN (the caller keeps them out of training).
    """
    filled = np.array(samples, dtype=np.float32, order="C", copy=True)
    positions = np.arange(filled.shape[1], dtype=np.float64)
    for row in filled:
        gaps = np.isnan(row)
        if gaps.any() and not gaps.all():
            row[gaps] = np.interp(positions[gaps], positions[~gaps], row[~gaps])
    return filled


def gap_lengths(missing: npt.NDArray[np.bool_]) -> npt.NDArray[np.int64]:
    """For every sample, the length of the run of missing samples it belongs to (0 if observed)."""
    lengths = np.zeros(missing.shape, dtype=np.int64)
    for s, row in enumerate(missing):
        if not row.any():
            continue
        edges = np.diff(np.concatenate(([0], row.astype(np.int8), [0])))
        starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
        for start, end in zip(starts, ends):
            lengths[s, start:end] = end - start
    return lengths


def run_native(method: str, filled: npt.NDArray[np.float32], window_size: int,
               stride: int) -> npt.NDArray[np.float32]:
    """One native call on the series that have data; all-NaN rows come back all NaN."""
    function = native_function(method)
    usable = ~np.isnan(filled).all(axis=1) if filled.shape[1] else np.ones(len(filled), bool)
    if usable.all():
        return function(np.ascontiguousarray(filled), window_size, stride)
    out = np.full(filled.shape, np.nan, dtype=np.float32)
    if usable.any():
        out[usable] = function(np.ascontiguousarray(filled[usable]), window_size, stride)
    return out


def impute_and_denoise(
    samples: npt.NDArray[np.floating[Any]], window_size: int, stride: int, method: str,
    max_iter: int,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """(denoised output, the data with its gaps filled) after ``max_iter`` native calls."""
    missing = np.isnan(samples)
    filled = interpolate_gaps(samples)
    out = run_native(method, filled, window_size, stride)
    for _ in range(max_iter - 1):
        # Positions no window covers stay NaN in the output; they keep the previous fill.
        refill = missing & ~np.isnan(out)
        if not refill.any():
            break
        filled[refill] = out[refill]
        out = run_native(method, filled, window_size, stride)
    return out, filled


def denoise(
    samples: npt.ArrayLike,
    window_size: int,
    stride: int = 1,
    *,
    method: Method = "linear",
    missing: MissingPolicy = "impute",
    max_iter: int = 3,
    max_gap: int | None = None,
) -> npt.NDArray[np.floating[Any]]:
    """Denoise a batch of series (rows) that may have missing samples (NaN).

    Without NaN this is exactly one call of the native function of ``method`` (``"linear"``:
    ``tacitor.denoise_linear_regression``, ``"tree"``: ``tacitor.denoise_decision_tree``).

    With ``missing="impute"``, each gap is first filled by linear interpolation between its
    observed neighbours (the nearest value at either end of a series); then the native call
    runs, its output is written into the missing positions only, and the call runs again:
    ``max_iter`` native calls in all. The last call's output is returned. Series that are all
    NaN take no part in training and come back all NaN. Samples in a gap longer than
    ``max_gap`` consecutive positions come back NaN (``None``: every gap is filled).
    ``missing="raise"`` refuses NaN with ValueError. Infinite values are always refused.

    The computation is in float32, whatever the input type. float64 input gives float64
    output (the float32 result widened); any other real input gives float32.
    """
    if missing not in ("impute", "raise"):
        raise ValueError(f"missing must be 'impute' or 'raise', not {missing!r}")
    if max_iter < 1:
        raise ValueError(f"max_iter must be at least 1, not {max_iter}")
    if max_gap is not None and max_gap < 0:
        raise ValueError(f"max_gap must be None or at least 0, not {max_gap}")
    native_function(method)
    array = as_float_matrix(samples)
    out_type = np.float64 if array.dtype == np.float64 else np.float32
    gaps = np.isnan(array)
    if not gaps.any():
        out = native_function(method)(np.ascontiguousarray(array, dtype=np.float32),
                                      window_size, stride)
        return out.astype(out_type, copy=False)
    if missing == "raise":
        raise ValueError(f"samples holds {int(gaps.sum())} missing values (NaN); pass "
                         "missing='impute' to fill them")
    out, _ = impute_and_denoise(array, window_size, stride, method, max_iter)
    if max_gap is not None:
        out[gap_lengths(gaps) > max_gap] = np.nan
    return out.astype(out_type, copy=False)
