"""Trained denoisers that outlive the call: fit once, denoise any batch later.

:func:`fit` trains the estimators of tacitor's method on a batch and keeps them in a
:class:`Denoiser`; :meth:`Denoiser.denoise` plans the windows of whatever batch it is given
(any number of series, any length of at least the window) and predicts with the trained
estimators: no training on the new data. ``fit(x, w, s).denoise(x, s)`` is bit for bit
``tacitor.denoise_*(x, w, s)``.

The native work runs with the interpreter lock released, so other Python threads run beside a
long fit or denoise; Ctrl-C stops them as it stops tacitor's own calls.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Literal, Protocol, overload

import importlib
import math
import os

import numpy as np
import numpy.typing as npt

from . import bridge, uncertainty
from .bridge import SOLVER_DEFAULT, Method, Solver
from .missing import as_float_matrix, interpolate_gaps, refuse_missing
from .native_failure import ordinary_errors
from .selection import select as select_window
from .selection.result import blend_output

if TYPE_CHECKING:
    from .stream import DenoiserStream

# The companion's native module; its trained models are typed by the protocol below.
_native = importlib.import_module("tacitor_tools._native")

AUTO = "auto"
# Native passes over a batch with gaps: the interpolated fill, then twice refined by the output.
IMPUTE_PASSES = 3


class TrainedModel(Protocol):
    """``tacitor_tools._native.TrainedModel``: the estimators of one fit."""

    @property
    def method(self) -> Method: ...

    @property
    def window_size(self) -> int: ...

    def denoise(
        self, samples: npt.NDArray[np.float32], stride: int, out: npt.NDArray[np.float32]
    ) -> None: ...

    def to_bytes(self, stride: int, fill_missing: bool, blend_weight: float) -> bytes: ...


def _checked_missing(missing: object) -> str | None:
    if missing not in (None, "impute"):
        raise ValueError(f"missing must be None or 'impute', not {missing!r}")
    return missing


def _check_batch(shape: tuple[int, ...], window: int, stride: object) -> int:
    """``stride`` as an int, if the trained window can be planned on a batch of ``shape``."""
    step = bridge.positive_int(stride, "stride")
    series, length = shape
    if series == 0 or length == 0:
        raise ValueError(
            f"no series to denoise: the batch has {series} series of {length} time positions"
        )
    if window > length:
        raise ValueError(
            f"the series ({length} time positions) are shorter than the trained window ({window})"
        )
    return step


class Denoiser:
    """The trained estimators of one method and window, made by :func:`fit`.

    Attributes: ``method`` (``"linear"`` or ``"tree"``), ``window_size``, ``stride`` (the
    stride it was trained with, the default of :meth:`denoise`), ``missing`` (None or
    ``"impute"``) and ``blend_weight`` (the k of ``f + k·(x − f)`` estimated when the window
    was selected with ``window_size="auto"``; None otherwise).
    """

    def __init__(
        self,
        model: TrainedModel,
        stride: int,
        missing: str | None,
        blend_weight: float | None = None,
    ) -> None:
        self._model = model
        self.stride = stride
        self.missing = missing
        self.blend_weight = blend_weight

    @property
    def method(self) -> Method:
        return self._model.method

    @property
    def window_size(self) -> int:
        return int(self._model.window_size)

    def __repr__(self) -> str:
        return (
            f"Denoiser(method={self.method!r}, window_size={self.window_size}, "
            f"stride={self.stride}, missing={self.missing!r})"
        )

    def to_bytes(self) -> bytes:
        """The denoiser in the model file's format (README, "Trained denoisers")."""
        weight = math.nan if self.blend_weight is None else self.blend_weight
        return bytes(self._model.to_bytes(self.stride, self.missing == "impute", weight))

    @classmethod
    def from_bytes(cls, data: bytes) -> Denoiser:
        """The denoiser whose model file's bytes are ``data``; ValueError naming the problem
        for bytes that are not a valid model file (truncated, corrupted, another version)."""
        model, stride, impute, weight = _native.from_bytes(data)
        return cls(
            model, stride, "impute" if impute else None, None if math.isnan(weight) else weight
        )

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the denoiser to the file ``path`` (read it back with :func:`load`)."""
        with open(path, "wb") as file:
            file.write(self.to_bytes())

    def __reduce__(self) -> tuple[Any, tuple[bytes]]:
        return (Denoiser.from_bytes, (self.to_bytes(),))

    def stream(self, n_series: int) -> DenoiserStream:
        """A stream of ``n_series`` series: ``push(block)`` returns the samples that became
        final, ``close()`` the rest; their concatenation is bit for bit :meth:`denoise` of
        the whole series, except, with a stride above 1, for samples returned before
        ``close()`` that the batch's last window [L − w, L) covers (see
        :mod:`tacitor_tools.stream`)."""
        from .stream import DenoiserStream

        return DenoiserStream(self, n_series)

    def _predict(self, rows: npt.NDArray[np.float32], stride: int) -> npt.NDArray[np.float32]:
        out = np.empty(rows.shape, dtype=np.float32)
        with ordinary_errors():
            self._model.denoise(np.ascontiguousarray(rows), stride, out)
        return out

    @overload
    def denoise(
        self,
        samples: npt.ArrayLike,
        stride: int | None = None,
        *,
        blend: bool | None = None,
        return_std: Literal[False] = False,
    ) -> npt.NDArray[np.floating[Any]]: ...

    @overload
    def denoise(
        self,
        samples: npt.ArrayLike,
        stride: int | None = None,
        *,
        blend: bool | None = None,
        return_std: Literal[True],
    ) -> tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.floating[Any]]]: ...

    def denoise(
        self,
        samples: npt.ArrayLike,
        stride: int | None = None,
        *,
        blend: bool | None = None,
        return_std: bool = False,
    ) -> (
        npt.NDArray[np.floating[Any]]
        | tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.floating[Any]]]
    ):
        """``samples`` (series × time) denoised with the trained estimators.

        The windows are planned on ``samples`` with ``stride`` (by default the stride of the
        fit); the series need only be at least as long as the window. Positions no window
        covers are NaN, as in tacitor's functions. The output is ``f + k·(x − f)``, k the
        ``blend_weight`` of a fit with ``window_size="auto"``, when ``blend`` is True, or
        when it is None (the default) and the window was selected; otherwise the prediction.
        NaN in ``samples`` is refused unless the denoiser was fitted with
        ``missing="impute"``: then gaps are filled by interpolation and refined by the
        output, as :func:`tacitor_tools.denoise` does. float32 input gives float32, other
        real types float64.

        With ``return_std=True`` the result is ``(output, std)``: the standard error of every
        output sample, from the local held-out residuals and the noise level (see
        :mod:`tacitor_tools.uncertainty`), in the output's dtype.
        """
        original = np.asarray(samples)
        array, step = self._checked(original, stride)
        k = self._blend_weight(blend)
        prediction = self._prediction(array, step)
        out = prediction if k is None else blend_output(prediction, array, k)
        dtype = bridge.result_dtype(original.dtype)
        if not return_std:
            return out.astype(dtype, copy=False)
        std = uncertainty.standard_error(array, prediction, self.window_size, k or 0.0)
        return out.astype(dtype, copy=False), std.astype(dtype, copy=False)

    def bands(
        self,
        samples: npt.ArrayLike,
        level: float = 0.95,
        stride: int | None = None,
        *,
        blend: bool | None = None,
    ) -> tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.floating[Any]]]:
        """``(lower, upper)``: the band of probability ``level`` around :meth:`denoise`'s
        output, output ∓ z·std with z the normal quantile (1.96 for 0.95)."""
        out, std = self.denoise(samples, stride, blend=blend, return_std=True)
        half = uncertainty.band_halfwidth(std, level).astype(out.dtype, copy=False)
        return out - half, out + half

    def anomalies(
        self,
        samples: npt.ArrayLike,
        threshold: float = uncertainty.ANOMALY_THRESHOLD,
        stride: int | None = None,
    ) -> uncertainty.Anomalies:
        """``(scores, mask)``: every sample's held-out residual x − f over a robust local
        scale, and True where its absolute value exceeds ``threshold`` (see
        :mod:`tacitor_tools.uncertainty`). Missing samples score NaN and are not flagged."""
        array, step = self._checked(np.asarray(samples), stride)
        prediction = self._prediction(array, step)
        return uncertainty.anomaly_scores(array, prediction, self.window_size, threshold)

    def _checked(
        self, original: npt.NDArray[Any], stride: int | None
    ) -> tuple[npt.NDArray[np.floating[Any]], int]:
        array = as_float_matrix(original)
        step = _check_batch(
            array.shape, self.window_size, self.stride if stride is None else stride
        )
        if self.missing is None and np.isnan(array).any():
            refuse_missing(array)
        return array, step

    def _blend_weight(self, blend: bool | None) -> float | None:
        """The k to blend with, or None for the pure prediction."""
        if not bridge.blends(self.blend_weight is not None, blend):
            return None
        if self.blend_weight is None:
            raise ValueError("blend=True needs a blend weight: fit with window_size='auto'")
        return self.blend_weight

    def _prediction(
        self, array: npt.NDArray[np.floating[Any]], stride: int
    ) -> npt.NDArray[np.float32]:
        """The pure prediction f of a checked batch, gaps imputed."""
        gaps = np.isnan(array)
        if gaps.any():
            return self._impute_and_predict(array, gaps, stride)
        return self._predict(np.asarray(array, dtype=np.float32), stride)

    def _impute_and_predict(
        self, array: npt.NDArray[np.floating[Any]], gaps: npt.NDArray[np.bool_], stride: int
    ) -> npt.NDArray[np.float32]:
        filled = interpolate_gaps(array)
        usable = ~gaps.all(axis=1)
        out = np.full(filled.shape, np.nan, dtype=np.float32)
        if not usable.any():
            return out
        for _ in range(IMPUTE_PASSES):
            out[usable] = self._predict(filled[usable], stride)
            refill = gaps & ~np.isnan(out)
            filled[refill] = out[refill]
        return out


def fit(
    samples: npt.ArrayLike,
    window_size: int | Literal["auto"],
    stride: int = 1,
    *,
    method: Method = "linear",
    missing: str | None = None,
    solver: Solver = SOLVER_DEFAULT,
) -> Denoiser:
    """Trains the estimators of ``method`` on ``samples`` (series × time) and keeps them.

    ``window_size`` is an integer or ``"auto"`` (chosen on ``samples`` as
    :func:`tacitor_tools.auto_denoise` chooses it, among windows with ``stride``).
    NaN is refused, or with ``missing="impute"`` filled by interpolation within its series
    before training (series that are all NaN take no part). Training needs what tacitor's
    functions need: a window no longer than the series and, for the linear method, at least
    as many training rows (windows × series) as the window has positions.
    ``solver="gram"`` (linear method only) solves every fit from one float64 Gram matrix of
    the windows instead of tacitor's own per-position solve: much faster for wide windows,
    equal to the exact estimators up to rounding (see the README).

    Raises:
        ValueError: a setting that cannot be used, NaN without ``missing="impute"``,
            infinite values.
        TypeError: ``samples`` does not hold real numbers, or a setting is not an integer.
    """
    method = bridge.checked_method(method)
    solver = bridge.checked_solver(solver, method)
    policy = _checked_missing(missing)
    array = as_float_matrix(samples)
    gaps = np.isnan(array)
    if gaps.any():
        if policy is None:
            refuse_missing(array)
        rows = interpolate_gaps(array)[~gaps.all(axis=1)]
    else:
        rows = np.ascontiguousarray(array, dtype=np.float32)
    weight = None
    if isinstance(window_size, str) and window_size == AUTO:
        step = bridge.positive_int(stride, "stride")
        with ordinary_errors():
            # The denoiser is fitted at the full rate, so it takes that window's weight.
            selection = select_window(rows, method=method, strides=(step,)).at_full_rate()
        window_size, weight = int(selection.window_size), float(selection.blend_weight)
    elif isinstance(window_size, str):
        raise ValueError(f"window_size must be an integer or 'auto', not {window_size!r}")
    window, step = bridge.check_plan(rows.shape, window_size, stride, method)
    with ordinary_errors():
        model = _native.fit(method, np.ascontiguousarray(rows), window, step, solver=solver)
    return Denoiser(model, step, policy, weight)


def load(path: str | os.PathLike[str], method: Method | None = None) -> Denoiser:
    """The denoiser saved to the file ``path`` by :meth:`Denoiser.save`.

    With ``method`` given, a file that holds another method's denoiser is refused.

    Raises:
        ValueError: the file is no tacitor model file, or is truncated, corrupted or of
            another format version, or holds another method; the message names the problem.
    """
    with open(path, "rb") as file:
        denoiser = Denoiser.from_bytes(file.read())
    if method is not None and bridge.checked_method(method) != denoiser.method:
        raise ValueError(
            f"{os.fspath(path)!r} holds a {denoiser.method!r} denoiser, not {method!r}"
        )
    return denoiser
