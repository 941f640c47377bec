"""One road from a batch of series to its denoised values, shared by every interface.

The scikit-learn transformer and the pandas, xarray and Dask functions all come here, so the
choice between a plain call of the native module, the missing-value loop
(:mod:`tacitor_tools.missing`) and the self-supervised window selection
(:mod:`tacitor_tools.selection`) is made in one place.

A batch is a 2-D array, one series per row, one time position per column. It is computed in
float32, the only type the native module takes; float32 input comes back as float32 and
every other real type as float64.

The native module's internal failure comes out of every function here as
NativeInternalError, an ordinary exception, since these interfaces run inside frameworks
(scikit-learn's searches, Dask's tasks) that record a failed task by catching ``Exception``
(see :mod:`tacitor_tools.native_failure`).
"""

from __future__ import annotations

import operator
from dataclasses import dataclass
from typing import Any, Literal, Protocol, cast

import numpy as np
import numpy.typing as npt

import tacitor

from . import memory
from .missing import Method, MissingPolicy
from .missing import denoise as denoise_missing
from .native_failure import ordinary_errors
from .selection import held_out_loss as estimate_loss
from .selection import select as select_window

AUTO: Literal["auto"] = "auto"

# Method name → function of the native module.
NATIVE_FUNCTIONS = {
    "linear": "denoise_linear_regression",
    "tree": "denoise_decision_tree",
}

Samples = npt.NDArray[np.float32]
Result = npt.NDArray[np.float32] | npt.NDArray[np.float64]


class SelectionLike(Protocol):
    """What the interfaces use of a ``tacitor_tools.selection.Selection``."""

    @property
    def window_size(self) -> int: ...

    @property
    def stride(self) -> int: ...

    def denoise(self, x: Samples) -> npt.NDArray[np.floating[Any]]: ...


@dataclass(frozen=True)
class Settings:
    """The user's settings: ``window_size`` is an integer or ``"auto"`` (selected per batch);
    ``missing`` is None (NaN not allowed) or a strategy of ``tacitor_tools.missing``."""

    method: str = "linear"
    window_size: int | Literal["auto"] = AUTO
    stride: int = 1
    missing: str | None = None

    @property
    def native_method(self) -> Method:
        """``method`` as the companion modules type it (valid once ``checked``)."""
        return cast(Method, self.method)

    def checked(self) -> Settings:
        """These settings with integers made plain ``int``; TypeError or ValueError if they
        cannot be used. Ranges are left to the native module, which owns those rules."""
        if self.method not in NATIVE_FUNCTIONS:
            raise ValueError(f"method must be 'linear' or 'tree', not {self.method!r}")
        window: int | Literal["auto"] = AUTO
        if self.window_size != AUTO:
            window = _integer("window_size", self.window_size, "an integer or 'auto'")
        stride = _integer("stride", self.stride, "an integer")
        if self.missing is not None and not isinstance(self.missing, str):
            raise TypeError(f"missing must be None or a string, not {self.missing!r}")
        return Settings(self.method, window, stride, self.missing)


@dataclass(frozen=True)
class Choice:
    """The concrete settings for a batch: given by the user or chosen by a selection."""

    window_size: int
    stride: int
    selection: SelectionLike | None = None


def _integer(name: str, value: object, expected: str) -> int:
    if isinstance(value, bool | str | float):
        raise TypeError(f"{name} must be {expected}, not {value!r}")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be {expected}, not {value!r}") from None


def result_dtype(dtype: npt.DTypeLike) -> np.dtype[np.float32] | np.dtype[np.float64]:
    """The type of the result for input of type ``dtype``."""
    if np.dtype(dtype) == np.float32:
        return np.dtype(np.float32)
    return np.dtype(np.float64)


def as_rows(samples: npt.ArrayLike) -> Samples:
    """``samples`` as the float32 matrix the native module takes (a view when it already is)."""
    array = np.asarray(samples)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"samples must hold real numbers, not values of type {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"samples must be 2-D (series × time positions), not {array.ndim}-D "
                         f"of shape {array.shape}")
    return np.asarray(array, dtype=np.float32)


def choose(rows: Samples, settings: Settings) -> Choice:
    """The window and stride to use on ``rows``: the user's, or selected on ``rows``."""
    if isinstance(settings.window_size, int):
        return Choice(settings.window_size, settings.stride)
    with ordinary_errors():
        selection: SelectionLike = select_window(
            rows, method=settings.native_method, strides=(settings.stride,))
    return Choice(int(selection.window_size), int(selection.stride), selection)


def apply(rows: Samples, settings: Settings, choice: Choice) -> Samples:
    """Denoises ``rows`` with the method and missing-value handling of ``settings`` and the
    window and stride of ``choice``; float32 of the shape of ``rows``."""
    with ordinary_errors():
        try:
            out = _apply(rows, settings, choice)
        except MemoryError as e:
            if str(e):
                raise  # the native refusal, which names its numbers
            raise MemoryError("out of memory during the call (" + memory.describe(
                settings.native_method, rows.shape[0], rows.shape[1], choice.window_size,
                choice.stride) + ")") from e
    return np.asarray(out, dtype=np.float32)


def _apply(rows: Samples, settings: Settings, choice: Choice) -> npt.ArrayLike:
    out: npt.ArrayLike
    if settings.missing is not None:
        out = denoise_missing(rows, choice.window_size, choice.stride,
                              method=settings.native_method,
                              missing=cast(MissingPolicy, settings.missing))
    elif choice.selection is not None:
        out = choice.selection.denoise(rows)
    else:
        native = getattr(tacitor, NATIVE_FUNCTIONS[settings.method])
        out = native(rows, choice.window_size, choice.stride)
    return out


def denoise(samples: npt.ArrayLike, settings: Settings, choice: Choice | None = None) -> Result:
    """``samples`` (series × time) denoised with ``choice``, or with the window and stride
    chosen on ``samples`` itself when ``choice`` is None."""
    array = np.asarray(samples)
    rows = as_rows(array)
    checked = settings.checked()
    out = apply(rows, checked, choose(rows, checked) if choice is None else choice)
    if result_dtype(array.dtype) == np.float32:
        return out
    return out.astype(np.float64)


def held_out_loss(rows: Samples, settings: Settings, choice: Choice) -> float:
    """The estimated mean squared error against the clean signal of denoising ``rows`` with
    ``choice``, estimated without the clean signal."""
    with ordinary_errors():
        return float(estimate_loss(
            rows, choice.window_size, choice.stride, method=settings.native_method))
