"""tacitor on pandas objects: a DataFrame with time as the index and one column per series."""

from __future__ import annotations

from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import routing

__all__ = ["denoise_frame"]


@overload
def denoise_frame(data: pd.DataFrame, method: str = ..., window_size: int | Literal["auto"] = ...,
                  stride: int = ..., missing: str | None = ...) -> pd.DataFrame: ...


@overload
def denoise_frame(data: pd.Series, method: str = ..., window_size: int | Literal["auto"] = ...,
                  stride: int = ..., missing: str | None = ...) -> pd.Series: ...


def denoise_frame(data: pd.DataFrame | pd.Series, method: str = "linear",
                  window_size: int | Literal["auto"] = "auto", stride: int = 1,
                  missing: str | None = None) -> pd.DataFrame | pd.Series:
    """Denoises the series of a DataFrame (one per column) or a single Series.

    The index is time: rows must be in time order and, for the method to make sense, equally
    spaced. A DataFrame comes back with the same index and columns, a Series with the same
    index and name. All columns form one batch: the estimators learn from every series at
    once. A single Series is a batch of one series.

    ``method``, ``window_size``, ``stride`` and ``missing`` are those of
    :class:`tacitor_tools.TacitorDenoiser`; with ``missing`` set, NaN and pandas' NA mark
    missing samples. The values are computed in float32; all-float32 data comes back as
    float32, everything else as float64.

    Raises:
        TypeError: a column does not hold real numbers.
        ValueError: the index is not sorted in time order.
    """
    frame = data.to_frame() if isinstance(data, pd.Series) else data
    _check_time_index(frame.index)
    rows = _series_rows(frame)
    settings = routing.Settings(method, window_size, stride, missing)
    denoised = routing.denoise(rows, settings)
    if isinstance(data, pd.Series):
        return pd.Series(denoised[0], index=data.index, name=data.name, copy=False)
    return pd.DataFrame(denoised.T, index=frame.index, columns=frame.columns, copy=False)


def _check_time_index(index: pd.Index) -> None:
    """Refuses an index of times or numbers that is out of order: windows would then mix
    samples from distant times without any error."""
    ordered = isinstance(index, pd.DatetimeIndex | pd.TimedeltaIndex | pd.PeriodIndex) or \
        pd.api.types.is_numeric_dtype(index.dtype)
    if ordered and not index.is_monotonic_increasing:
        raise ValueError("the index must be time in increasing order; sort the data first "
                         "(data.sort_index())")


def _series_rows(frame: pd.DataFrame) -> npt.NDArray[Any]:
    """The columns as rows of a float array (float32 when every column is float32), with
    NaN for missing values."""
    for name, dtype in frame.dtypes.items():
        if pd.api.types.is_bool_dtype(dtype) or not pd.api.types.is_numeric_dtype(dtype):
            raise TypeError(f"column {name!r} holds values of type {dtype}; tacitor needs "
                            "real numbers")
        if pd.api.types.is_complex_dtype(dtype):
            raise TypeError(f"column {name!r} holds complex numbers; tacitor needs real ones")
    float32 = len(frame.columns) > 0 and all(dtype == np.float32 for dtype in frame.dtypes)
    values = frame.to_numpy(dtype=np.float32 if float32 else np.float64, na_value=np.nan)
    return np.ascontiguousarray(values.T)
