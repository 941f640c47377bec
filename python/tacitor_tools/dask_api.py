"""tacitor on Dask arrays larger than memory, one block of whole series at a time."""

from __future__ import annotations

from typing import Any, Literal

import dask.array as da
import numpy as np
import numpy.typing as npt

from . import memory, routing
from .trained import Denoiser
from .bridge import Method, Solver
from .selection.combination import Combination
from .missing import MissingPolicy
from .selection.search import DEFAULT_WINDOWS

__all__ = ["denoise_dask"]


def denoise_dask(
    samples: da.Array | npt.ArrayLike,
    method: Method = "linear",
    window_size: int | Literal["auto"] = "auto",
    stride: int | None = None,
    missing: MissingPolicy | None = None,
    *,
    rechunk: bool = True,
    blend: bool | None = None,
    solver: Solver = "exact",
    combination: Combination = "local",
    model: Denoiser | None = None,
) -> da.Array:
    """Lazily denoises ``samples``, a 2-D Dask array (or anything ``dask.array.asarray``
    takes), one series per row, one time position per column.

    Every block is denoised by one task as a batch of its own: its estimators learn from its
    own series only, so the result equals one call per block of rows, not one call over the
    whole array. Blocks of a few hundred series or more give results close to a single call.
    Nothing is computed until the result is (``.compute()``, ``da.store``, ...), and no task
    holds more than its block, so the array may be larger than memory.

    Blocks must hold whole series, since windows cannot be cut at block borders. When the
    time axis is split into several chunks, ``rechunk=True`` (the default) puts it in one
    chunk and lets Dask choose how many series a block holds (its ``array.chunk-size``
    setting); ``rechunk=False`` refuses such an array with ValueError. ``rechunk=True`` also
    splits blocks whose call would not fit a worker's memory (the native estimate against the
    dask.distributed workers' memory limit, shared by their threads, when a client is
    active; otherwise against this process's available memory).

    ``method``, ``window_size``, ``stride``, ``missing``, ``blend``, ``solver`` and
    ``combination`` are those of :class:`tacitor_tools.TacitorDenoiser`. With ``window_size="auto"`` the window is
    selected once, on the first block (computed at once for that purpose), and used for every
    block. Values are computed in float32; float32 data comes back as float32, everything
    else as float64.

    The native module's internal failure is raised in the tasks as
    :class:`tacitor_tools.native_failure.NativeInternalError`, an ordinary exception, so that
    Dask records it as the failure of that task like any other error.

    With ``model`` (a :class:`tacitor_tools.Denoiser` from :func:`tacitor_tools.fit`), every
    block is denoised by that one trained model, predicting only, and ``method``,
    ``window_size`` and ``missing`` are the model's (``stride`` too, unless given; without a
    model it defaults to 1): the
    result does not depend on the chunking. This is the way to scale out: fit on a sample of
    the series, then apply everywhere.

    Use worker processes rather than threads: a tacitor call holds the interpreter lock for
    its whole duration and runs its own thread pool, so threads of one process take turns.
    """
    array = samples if isinstance(samples, da.Array) else da.asarray(samples)
    if array.ndim != 2:
        raise ValueError(
            f"samples must be 2-D (series × time positions), not {array.ndim}-D "
            f"of shape {array.shape}"
        )
    settings = routing.Settings(
        method,
        window_size,
        1 if stride is None else stride,
        missing,
        blend=blend,
        solver=solver,
        combination=combination,
    ).checked()
    time_chunks = array.chunks[1]
    if len(time_chunks) > 1:
        if not rechunk:
            raise ValueError(
                f"the time axis (axis 1) is split into {len(time_chunks)} chunks; tacitor needs "
                "whole series in every block: pass rechunk=True, or rechunk the array with "
                "samples.rechunk({0: 'auto', 1: -1})"
            )
        array = array.rechunk({0: "auto", 1: -1})
    if model is not None:
        # Prediction only: the blocks as they come, sized for training or not.
        applied: da.Array = da.map_blocks(
            _apply_model,
            array,
            model=model,
            stride=stride,
            dtype=routing.result_dtype(array.dtype),
            meta=np.empty((0, 0), dtype=routing.result_dtype(array.dtype)),
        )
        return applied
    if rechunk:
        array = _blocks_that_fit(array, settings)
    choice = None
    if settings.window_size == routing.AUTO or settings.blended:
        first = np.asarray(array.blocks[0, 0].compute())
        choice = routing.choose(routing.as_rows(first), settings)
    dtype = routing.result_dtype(array.dtype)
    denoised: da.Array = da.map_blocks(
        _denoise_block,
        array,
        settings=settings,
        choice=choice,
        dtype=dtype,
        meta=np.empty((0, 0), dtype=dtype),
    )
    return denoised


def _apply_model(block: npt.NDArray[Any], model: Denoiser, stride: int | None) -> npt.NDArray[Any]:
    """One block of whole series, denoised by the trained model."""
    return model.denoise(block, stride)


def _denoise_block(
    block: npt.NDArray[Any], settings: routing.Settings, choice: routing.Choice | None
) -> npt.NDArray[Any]:
    """One block of whole series, denoised as a batch of its own."""
    return routing.denoise(block, settings, choice)


def _blocks_that_fit(array: da.Array, settings: routing.Settings) -> da.Array:
    """``array`` with at most as many series per block as one call can denoise in a worker's
    memory; MemoryError, with the native refusal, when not even one series fits."""
    length = int(array.shape[1])
    # An automatic window is not known yet: plan for the widest default candidate.
    window = (
        settings.window_size
        if isinstance(settings.window_size, int)
        else min(max(DEFAULT_WINDOWS), length)
    )
    if length == 0 or window == 0 or window > length:
        return array  # the call's own error will say what is wrong
    budget = memory.dask_worker_budget()
    series = memory.series_per_block(
        settings.native_method, length, window, settings.stride, budget
    )
    if series == 0:
        refused = memory.estimate(
            settings.native_method, 1, length, window, settings.stride, available=budget
        ).refusal
        raise MemoryError(f"one series does not fit a worker: {refused}")
    if array.chunks[0] and max(array.chunks[0]) > series:
        array = array.rechunk({0: series, 1: -1})
    return array
