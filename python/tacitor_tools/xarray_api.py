"""tacitor on xarray DataArrays, denoised along a named time dimension."""

from __future__ import annotations

from collections.abc import Hashable
from typing import Any, Literal

import numpy.typing as npt
import xarray as xr

from . import routing
from .trained import Denoiser
from .bridge import Method, Solver
from .selection.combination import Combination
from .missing import MissingPolicy

__all__ = ["denoise_dataarray"]


def denoise_dataarray(
    data: xr.DataArray,
    dim: Hashable = "time",
    method: Method = "linear",
    window_size: int | Literal["auto"] = "auto",
    stride: int = 1,
    missing: MissingPolicy | None = None,
    *,
    blend: bool | None = None,
    solver: Solver = "exact",
    combination: Combination = "local",
    model: Denoiser | None = None,
) -> xr.DataArray:
    """Denoises every series of ``data`` along the dimension ``dim``.

    Every combination of the other dimensions' coordinates is one series (a 1-D array is one
    series), and all of them form one batch: the estimators learn from all series at once.
    The result has the dimensions, coordinates and attributes of ``data``.

    ``data`` may be backed by a Dask array: it runs through ``xarray.apply_ufunc`` with
    ``dask="parallelized"``, lazily, one block at a time. Each block is a batch of its own
    (its estimators learn from its own series only), so blocks of a few hundred series or
    more give results close to one batch. ``dim`` must then lie in one chunk, since windows
    cannot be cut at chunk borders. With ``window_size="auto"`` the window is selected once,
    on the first block, and used for every block.

    ``method``, ``window_size``, ``stride``, ``missing``, ``blend``, ``solver`` and
    ``combination`` are those of :class:`tacitor_tools.TacitorDenoiser`. Values are computed in float32; float32 data
    comes back as float32, everything else as float64.

    With ``model`` (a :class:`tacitor_tools.Denoiser`), every block is denoised by that
    trained model, the same whatever the chunks, and ``method``, ``window_size`` and
    ``missing`` are the model's (``stride`` is used when it differs from 1).

    Raises:
        TypeError: ``data`` is not a DataArray (a Dataset, say).
        ValueError: ``dim`` is not a dimension of ``data``, or it is split into several
            chunks.
    """
    if not isinstance(data, xr.DataArray):
        raise TypeError(
            f"denoise_dataarray takes an xarray.DataArray, not {type(data).__name__}; for a "
            "Dataset, denoise each data variable: dataset.map(denoise_dataarray, ...) or "
            "denoise_dataarray(dataset[name], ...)"
        )
    if dim not in data.dims:
        raise ValueError(
            f"{dim!r} is not a dimension of the data, whose dimensions are "
            f"{tuple(data.dims)}; pass the time dimension as dim="
        )
    settings = routing.Settings(
        method,
        window_size,
        stride,
        missing,
        blend=blend,
        solver=solver,
        combination=combination,
    ).checked()
    choice = None
    if data.chunks is not None:
        _check_time_in_one_chunk(data, dim)
        if (settings.window_size == routing.AUTO or settings.blended) and model is None:
            choice = routing.choose(
                routing.as_rows(_series_rows(_first_block(data, dim).values)), settings
            )
    denoised: xr.DataArray = xr.apply_ufunc(
        _denoise_block,
        data,
        input_core_dims=[[dim]],
        output_core_dims=[[dim]],
        kwargs={"settings": settings, "choice": choice, "model": model},
        dask="parallelized",
        output_dtypes=[routing.result_dtype(data.dtype)],
        keep_attrs=True,
    )
    # apply_ufunc moves the core dimension last; restore the caller's order.
    return denoised.transpose(*data.dims)


def _check_time_in_one_chunk(data: xr.DataArray, dim: Hashable) -> None:
    chunks = data.chunksizes[dim]
    if len(chunks) > 1:
        raise ValueError(
            f"the time dimension {dim!r} is split into {len(chunks)} chunks ({chunks}); "
            "tacitor needs whole series in every block, so put the time dimension in one "
            f"chunk first: data.chunk({{{dim!r}: -1}})"
        )


def _first_block(data: xr.DataArray, dim: Hashable) -> xr.DataArray:
    """The block holding the first chunk of every dimension other than ``dim``."""
    return data.isel(
        {name: slice(0, sizes[0]) for name, sizes in data.chunksizes.items() if name != dim}
    ).transpose(..., dim)


def _series_rows(values: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Values with time last as a matrix of one series per row."""
    return values.reshape(-1, values.shape[-1])


def _denoise_block(
    values: npt.NDArray[Any],
    settings: routing.Settings,
    choice: routing.Choice | None,
    model: Denoiser | None,
) -> npt.NDArray[Any]:
    """One block, time last, denoised as one batch of series (or by the trained model)."""
    if model is not None:
        stride = None if settings.stride == 1 else settings.stride
        applied: npt.NDArray[Any] = model.denoise(_series_rows(values), stride)
        return applied.reshape(values.shape)
    denoised = routing.denoise(_series_rows(values), settings, choice)
    return denoised.reshape(values.shape)
