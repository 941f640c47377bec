"""Denoising batches with missing values (NaN).

The native functions need every sample. Missing samples are first filled by straight lines
between their observed neighbours, series by series; then the native call runs and its output
replaces the filled values, missing positions only, and the call runs again on the refined
data. Observed samples are never changed before they reach the native call.
"""

from __future__ import annotations

from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from . import bridge
from .bridge import Method, Solver

MissingPolicy = Literal["impute", "raise"]


def as_float_matrix(samples: npt.ArrayLike, name: str = "samples") -> npt.NDArray[np.floating[Any]]:
    """``samples`` as a 2-D floating array (float64 kept, anything else float32), checked.

    NaN is allowed (missing); ±inf is refused, since no value can stand in for it.
    """
    array = bridge.as_matrix(samples, name)
    if array.dtype != np.float64:
        array = array.astype(np.float32, copy=False)
    infinite = int(np.isinf(array).sum())
    if infinite:
        raise ValueError(
            f"{name} holds {infinite} infinite values; only NaN may mark a missing sample"
        )
    return array


def refuse_missing(
    samples: npt.NDArray[np.floating[Any]], remedy: str = bridge.PYTHON_NAMES.impute
) -> None:
    """ValueError, pointing to the imputation, if ``samples`` holds NaN."""
    gaps = int(np.isnan(samples).sum())
    if gaps:
        raise ValueError(f"samples holds {gaps} missing values (NaN); pass {remedy} to fill them")


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


def run_native(
    method: str,
    filled: npt.NDArray[np.float32],
    window_size: int,
    stride: int,
    solver: str = bridge.SOLVER_DEFAULT,
) -> npt.NDArray[np.float32]:
    """One native call on the series that have data; all-NaN rows come back all NaN.

    The call is checked on the whole batch first: a setting that does not fit it is refused
    even when no series has data."""
    window_size, stride = bridge.check_plan(filled.shape, window_size, stride, method)
    usable = ~np.isnan(filled).all(axis=1) if filled.shape[1] else np.ones(len(filled), bool)
    if usable.all():
        return bridge.call(method, np.ascontiguousarray(filled), window_size, stride, solver=solver)
    out = np.full(filled.shape, np.nan, dtype=np.float32)
    if usable.any():
        out[usable] = bridge.call(
            method, np.ascontiguousarray(filled[usable]), window_size, stride, solver=solver
        )
    return out


def impute_and_denoise(
    samples: npt.NDArray[np.floating[Any]],
    window_size: int,
    stride: int,
    method: str,
    max_iter: int,
    solver: str = bridge.SOLVER_DEFAULT,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """(denoised output, the data with its gaps filled) after ``max_iter`` native calls."""
    missing = np.isnan(samples)
    filled = interpolate_gaps(samples)
    out = run_native(method, filled, window_size, stride, solver)
    for _ in range(max_iter - 1):
        # Positions no window covers stay NaN in the output; they keep the previous fill.
        refill = missing & ~np.isnan(out)
        if not refill.any():
            break
        filled[refill] = out[refill]
        out = run_native(method, filled, window_size, stride, solver)
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
    solver: Solver = bridge.SOLVER_DEFAULT,
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

    ``solver="gram"`` (linear method only) solves the fits from one float64 Gram matrix of
    the windows instead of tacitor's own call (see :data:`tacitor_tools.bridge.Solver`).

    The computation is in float32, whatever the input type. float32 input gives float32
    output; any other real input gives float64 (the float32 result widened).

    Raises:
        ValueError: ``window_size`` or ``stride`` below 1, a window longer than the series,
            a batch without series, too few training rows for the linear method, an unknown
            ``method``, infinite values, or NaN with ``missing="raise"``.
        TypeError: ``samples`` does not hold real numbers, or a setting is not an integer.
    """
    if missing not in ("impute", "raise"):
        raise ValueError(f"missing must be 'impute' or 'raise', not {missing!r}")
    if max_iter < 1:
        raise ValueError(f"max_iter must be at least 1, not {max_iter}")
    if max_gap is not None and max_gap < 0:
        raise ValueError(f"max_gap must be None or at least 0, not {max_gap}")
    bridge.checked_method(method)
    bridge.checked_solver(solver, method)
    original = np.asarray(samples)
    array = as_float_matrix(original)
    out_type = bridge.result_dtype(original.dtype)
    window_size, stride = bridge.check_plan(array.shape, window_size, stride, method)
    gaps = np.isnan(array)
    if not gaps.any():
        out = bridge.call(
            method,
            np.ascontiguousarray(array, dtype=np.float32),
            window_size,
            stride,
            solver=solver,
        )
        return out.astype(out_type, copy=False)
    if missing == "raise":
        refuse_missing(array)
    out, _ = impute_and_denoise(array, window_size, stride, method, max_iter, solver)
    if max_gap is not None:
        out[gap_lengths(gaps) > max_gap] = np.nan
    return out.astype(out_type, copy=False)
