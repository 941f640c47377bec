"""tacitor on pandas objects: a DataFrame with time as the index and one column per series."""

from __future__ import annotations

import warnings
from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import routing
from .trained import Denoiser
from .bridge import Method, Solver
from .selection.combination import Combination
from .missing import MissingPolicy

__all__ = ["denoise_frame"]


@overload
def denoise_frame(
    data: pd.DataFrame,
    method: Method = ...,
    window_size: int | Literal["auto"] = ...,
    stride: int = ...,
    missing: MissingPolicy | None = ...,
    *,
    blend: bool | None = ...,
    solver: Solver = ...,
    combination: Combination = ...,
    model: Denoiser | None = ...,
) -> pd.DataFrame: ...


@overload
def denoise_frame(
    data: pd.Series,
    method: Method = ...,
    window_size: int | Literal["auto"] = ...,
    stride: int = ...,
    missing: MissingPolicy | None = ...,
    *,
    blend: bool | None = ...,
    solver: Solver = ...,
    combination: Combination = ...,
    model: Denoiser | None = ...,
) -> pd.Series: ...


def denoise_frame(
    data: pd.DataFrame | pd.Series,
    method: Method = "linear",
    window_size: int | Literal["auto"] = "auto",
    stride: int = 1,
    missing: MissingPolicy | None = None,
    *,
    blend: bool | None = None,
    solver: Solver = "exact",
    combination: Combination = "local",
    model: Denoiser | None = None,
) -> pd.DataFrame | pd.Series:
    """Denoises the series of a DataFrame (one per column) or a single Series.

    The index is time: rows must be in time order and, for the method to make sense, equally
    spaced. A DataFrame comes back with the same index and columns, a Series with the same
    index and name. All columns form one batch: the estimators learn from every series at
    once. A single Series is a batch of one series.

    ``method``, ``window_size``, ``stride``, ``missing``, ``blend``, ``solver`` and
    ``combination`` are those of :class:`tacitor_tools.TacitorDenoiser`; with ``missing`` set, NaN and pandas' NA mark
    missing samples. The values are computed in float32; data whose columns are all float32
    (NumPy's or pandas' nullable ``Float32``) comes back as float32, everything else as
    float64 (the rule of :func:`tacitor_tools.bridge.result_dtype`).

    A ``DatetimeIndex`` or ``TimedeltaIndex`` whose steps are not all equal (rows dropped,
    say) gives a UserWarning: the windows then span different lengths of time. Put the data
    on a regular grid first, ``data.asfreq(step)``, and pass ``missing="impute"`` to fill
    the rows that adds.

    With ``model`` (a :class:`tacitor_tools.Denoiser`), the series are denoised by that
    trained model and ``method``, ``window_size`` and ``missing`` are the model's
    (``stride`` is used when it differs from 1).

    Raises:
        TypeError: a column does not hold real numbers.
        ValueError: the index is not sorted in time order.
    """
    frame = data.to_frame() if isinstance(data, pd.Series) else data
    _check_time_index(frame.index)
    _warn_if_uneven(frame.index)
    rows = _series_rows(frame)
    if model is not None:
        denoised = model.denoise(rows, None if stride == 1 else stride)
    else:
        settings = routing.Settings(
            method,
            window_size,
            stride,
            missing,
            blend=blend,
            solver=solver,
            combination=combination,
        )
        denoised = routing.denoise(rows, settings)
    if isinstance(data, pd.Series):
        return pd.Series(denoised[0], index=data.index, name=data.name, copy=False)
    return pd.DataFrame(denoised.T, index=frame.index, columns=frame.columns, copy=False)


def _check_time_index(index: pd.Index) -> None:
    """Refuses an index of times or numbers that is out of order: windows would then mix
    samples from distant times without any error."""
    ordered = isinstance(
        index, pd.DatetimeIndex | pd.TimedeltaIndex | pd.PeriodIndex
    ) or pd.api.types.is_numeric_dtype(index.dtype)
    if ordered and not index.is_monotonic_increasing:
        raise ValueError(
            "the index must be time in increasing order; sort the data first (data.sort_index())"
        )


def _warn_if_uneven(index: pd.Index) -> None:
    if not isinstance(index, pd.DatetimeIndex | pd.TimedeltaIndex) or len(index) < 3:
        return
    steps = pd.TimedeltaIndex(index[1:] - index[:-1])
    if (steps == steps[0]).all():
        return
    step = pd.tseries.frequencies.to_offset(steps.value_counts().index[0])
    warnings.warn(
        f"the time index is not evenly spaced (steps from {steps.min()} to {steps.max()}), "
        "so windows span different lengths of time; put the data on a regular grid first, "
        f"data.asfreq({step.freqstr!r}), and pass missing='impute' to fill the rows that adds",
        UserWarning,
        stacklevel=3,
    )


def _series_rows(frame: pd.DataFrame) -> npt.NDArray[Any]:
    """The columns as rows of a float array (float32 when every column is float32), with
    NaN for missing values."""
    for name, dtype in frame.dtypes.items():
        if pd.api.types.is_bool_dtype(dtype) or not pd.api.types.is_numeric_dtype(dtype):
            raise TypeError(
                f"column {name!r} holds values of type {dtype}; tacitor needs real numbers"
            )
        if pd.api.types.is_complex_dtype(dtype):
            raise TypeError(f"column {name!r} holds complex numbers; tacitor needs real ones")
    float32 = len(frame.columns) > 0 and all(
        getattr(dtype, "numpy_dtype", dtype) == np.float32 for dtype in frame.dtypes
    )
    values = frame.to_numpy(dtype=np.float32 if float32 else np.float64, na_value=np.nan)
    return np.ascontiguousarray(values.T)
