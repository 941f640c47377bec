"""One road from a batch of series to its denoised values, shared by every interface.

The scikit-learn transformer and the pandas, xarray and Dask functions all come here, so the
choice between a plain call of the native module, the missing-value loop
(:mod:`tacitor_tools.missing`) and the self-supervised window selection
(:mod:`tacitor_tools.selection`) is made in one place.

A batch is a 2-D array, one series per row, one time position per column. It is computed in
float32, the only type the native module takes; the type of the result follows
:func:`tacitor_tools.bridge.result_dtype`.

The native module's internal failure comes out of every function here as
NativeInternalError, an ordinary exception, since these interfaces run inside frameworks
(scikit-learn's searches, Dask's tasks) that record a failed task by catching ``Exception``
(see :mod:`tacitor_tools.native_failure`).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal, Protocol, cast

import numpy as np
import numpy.typing as npt

from . import bridge, memory
from .bridge import Method
from .missing import MissingPolicy, refuse_missing
from .missing import denoise as denoise_missing
from .native_failure import ordinary_errors
from .selection import held_out_loss as estimate_loss
from .selection import select as select_window
from .selection.combination import COMBINATION_DEFAULT, checked_combination

AUTO: Literal["auto"] = "auto"
MISSING_POLICIES = (None, "impute", "raise")

Samples = npt.NDArray[np.float32]
Result = npt.NDArray[np.float32] | npt.NDArray[np.float64]
as_rows = bridge.as_float32
result_dtype = bridge.result_dtype


class SelectionLike(Protocol):
    """What the interfaces use of a ``tacitor_tools.selection.Selection``."""

    @property
    def window_size(self) -> int: ...

    @property
    def stride(self) -> int: ...

    def denoise(
        self, x: Samples, *, blend: bool = ..., combination: str = ..., solver: str = ...
    ) -> npt.NDArray[np.floating[Any]]: ...


@dataclass(frozen=True)
class Settings:
    """The user's settings: ``window_size`` is an integer or ``"auto"`` (selected per batch);
    ``missing`` is None (NaN refused) or a policy of :func:`tacitor_tools.missing.denoise`;
    ``blend`` is True, False or None (see :func:`tacitor_tools.bridge.blends`); ``solver``
    is how the linear method solves its fits (:data:`tacitor_tools.bridge.Solver`);
    ``combination`` is how a blended output weighs the observation, per stretch of time
    (``"local"``) or with one weight (``"global"``, see
    :mod:`tacitor_tools.selection.combination`)."""

    method: str = "linear"
    window_size: int | Literal["auto"] = AUTO
    stride: int = 1
    missing: str | None = None
    names: bridge.Names = bridge.PYTHON_NAMES
    # Move the output back towards the input by the weight a selection estimates (with an
    # integer window, the one candidate is scored for that); None: the default of
    # bridge.blends (blended when the window is selected, not with an integer window).
    blend: bool | None = None
    solver: str = bridge.SOLVER_DEFAULT
    combination: str = COMBINATION_DEFAULT

    @property
    def blended(self) -> bool:
        """Whether the output is the combined estimate f + k·(x − f)."""
        return bridge.blends(isinstance(self.window_size, str), self.blend)

    @property
    def native_method(self) -> Method:
        """``method`` as the companion modules type it (valid once ``checked``)."""
        return cast(Method, self.method)

    def checked(self) -> Settings:
        """These settings with integers made plain ``int``; TypeError or ValueError, naming
        the setting, if they cannot be used."""
        bridge.checked_method(self.method, self.names)
        window: int | Literal["auto"] = AUTO
        if not (isinstance(self.window_size, str) and self.window_size == AUTO):
            window = bridge.positive_int(
                self.window_size, self.names.window, "an integer or 'auto'"
            )
        stride = bridge.positive_int(self.stride, self.names.stride)
        solver = bridge.checked_solver(self.solver, self.method, self.names)
        combination = checked_combination(self.combination)
        if self.blend not in (None, True, False):
            raise TypeError(f"blend must be None, True or False, not {self.blend!r}")
        if self.missing not in MISSING_POLICIES:
            raise (TypeError if not isinstance(self.missing, str) else ValueError)(
                f"missing must be None, 'impute' or 'raise', not {self.missing!r}"
            )
        return Settings(
            self.method, window, stride, self.missing, self.names, self.blend, solver, combination
        )

    def refuse_missing(self, rows: Samples) -> None:
        """ValueError if ``rows`` holds NaN and these settings do not fill it."""
        if self.missing is None:
            refuse_missing(rows, self.names.impute)


@dataclass(frozen=True)
class Choice:
    """The concrete settings for a batch: given by the user or chosen by a selection."""

    window_size: int
    stride: int
    selection: SelectionLike | None = None


def choose(rows: Samples, settings: Settings) -> Choice:
    """The window and stride to use on ``rows``: the user's, or selected on ``rows``."""
    settings.refuse_missing(rows)
    grid = None
    if isinstance(settings.window_size, int):
        if not settings.blended:
            return Choice(settings.window_size, settings.stride)
        grid = (settings.window_size,)
    with ordinary_errors():
        selection: SelectionLike = select_window(
            rows, method=settings.native_method, window_sizes=grid, strides=(settings.stride,)
        )
    return Choice(int(selection.window_size), int(selection.stride), selection)


def apply(rows: Samples, settings: Settings, choice: Choice) -> Samples:
    """Denoises ``rows`` with the method and missing-value handling of ``settings`` and the
    window and stride of ``choice``; float32 of the shape of ``rows``."""
    settings.refuse_missing(rows)
    bridge.check_plan(
        rows.shape, choice.window_size, choice.stride, settings.method, settings.names
    )
    with ordinary_errors():
        try:
            out = _apply(rows, settings, choice)
        except MemoryError as e:
            if str(e):
                raise  # the native refusal, which names its numbers
            raise MemoryError(
                "out of memory during the call ("
                + memory.describe(
                    settings.native_method,
                    rows.shape[0],
                    rows.shape[1],
                    choice.window_size,
                    choice.stride,
                )
                + ")"
            ) from e
    return np.asarray(out, dtype=np.float32)


def _apply(rows: Samples, settings: Settings, choice: Choice) -> npt.ArrayLike:
    out: npt.ArrayLike
    if settings.blended and choice.selection is not None:
        out = choice.selection.denoise(
            rows, blend=True, combination=settings.combination, solver=settings.solver
        )
    elif settings.missing is not None:
        out = denoise_missing(
            rows,
            choice.window_size,
            choice.stride,
            method=settings.native_method,
            missing=cast(MissingPolicy, settings.missing),
            solver=cast(bridge.Solver, settings.solver),
        )
    elif choice.selection is not None:
        out = choice.selection.denoise(rows, blend=False, solver=settings.solver)
    else:
        out = bridge.call(
            settings.method,
            rows,
            choice.window_size,
            choice.stride,
            settings.names,
            solver=settings.solver,
        )
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
        return float(
            estimate_loss(rows, choice.window_size, choice.stride, method=settings.native_method)
        )
