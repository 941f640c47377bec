"""The one bridge from the companion package to the native ``tacitor`` functions.

Everything the companion needs to know about a native call lives here, once: the method names
and the functions behind them, the conversion to the float32 matrix the functions take, the
window plan (how many windows, which positions none covers), the checks that keep a call
from failing inside the module, and the type of a result. Routing, the missing-value loop,
window selection and the command-line tool all call these functions.

Checks name the settings in the caller's words (``window_size`` in Python, ``--window`` on
the command line), so every entry point gives the same plain error for the same mistake.
"""

from __future__ import annotations

import importlib
import operator
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Literal, cast, get_args

import numpy as np
import numpy.typing as npt

Method = Literal["linear", "tree"]
# Method name → function of the native module.
NATIVE_FUNCTIONS: dict[str, str] = {
    "linear": "denoise_linear_regression",
    "tree": "denoise_decision_tree",
}
METHODS: tuple[str, ...] = get_args(Method)

# How the linear method solves its least-squares fits. "exact" is the tacitor module's own
# call, bit for bit. "gram" solves every window position from one float64 Gram matrix of the
# windows (the companion's native module): the same estimators up to rounding, at a fraction of
# the cost for wide windows, and the same bits at every thread count and instruction set.
Solver = Literal["exact", "gram"]
SOLVERS: tuple[str, ...] = get_args(Solver)
SOLVER_DEFAULT: Solver = "exact"

Samples = npt.NDArray[np.float32]
NativeFunction = Callable[[Samples, int, int], Samples]


@dataclass(frozen=True)
class Names:
    """How the caller spells the settings, for messages."""

    window: str = "window_size"
    stride: str = "stride"
    method: str = "method"
    impute: str = "missing='impute'"  # the setting that fills missing values
    solver: str = "solver"
    gram: str = "solver='gram'"  # the setting that asks for the Gram route


PYTHON_NAMES = Names()

# Whether a window chosen from the data ("auto") gives the combined estimate f + k·(x − f) by
# default rather than the pure prediction f. Every output sample is predicted from its
# neighbours only, so the observation x still carries information about it; the search's
# held-out estimates give the k that weighs the two. An integer window the caller gave gets
# the pure prediction (the native call) unless the blend is asked for.
BLEND_DEFAULT = True


def blends(window_is_auto: bool, blend: bool | None) -> bool:
    """Whether the output is blended: ``blend`` when given, else :data:`BLEND_DEFAULT` for a
    selected window and no blend for a window the caller chose."""
    if blend is None:
        return BLEND_DEFAULT and window_is_auto
    return bool(blend)


def checked_method(method: object, names: Names = PYTHON_NAMES) -> Method:
    """``method`` if it names a method; ValueError listing the valid names otherwise."""
    if not isinstance(method, str) or method not in NATIVE_FUNCTIONS:
        valid = ", ".join(repr(m) for m in METHODS)
        raise ValueError(f"{names.method} must be one of {valid}, not {method!r}")
    return cast(Method, method)


def checked_solver(solver: object, method: object, names: Names = PYTHON_NAMES) -> Solver:
    """``solver`` if it names a solver that ``method`` has; ValueError otherwise."""
    if not isinstance(solver, str) or solver not in SOLVERS:
        valid = ", ".join(repr(s) for s in SOLVERS)
        raise ValueError(f"{names.solver} must be one of {valid}, not {solver!r}")
    if solver == "gram" and method != "linear":
        raise ValueError(f"{names.gram} is for the linear method only, not {method!r}")
    return cast(Solver, solver)


def native_function(method: object) -> NativeFunction:
    """The native function of ``method``. The module is imported on first use, so that the
    package (and the command-line tool's --help) imports without it."""
    name = NATIVE_FUNCTIONS[checked_method(method)]
    import tacitor

    function: NativeFunction = getattr(tacitor, name)
    return function


def positive_int(value: object, name: str, expected: str = "an integer") -> int:
    """``value`` as a plain int of at least 1: TypeError if it is no integer, ValueError if
    it is below 1."""
    if isinstance(value, bool | str | float):
        raise TypeError(f"{name} must be {expected}, not {value!r}")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be {expected}, not {value!r}") from None
    if number < 1:
        raise ValueError(f"{name} must be at least 1, not {number}")
    return number


def as_matrix(samples: npt.ArrayLike, name: str = "samples") -> npt.NDArray[Any]:
    """``samples`` as a 2-D array of real numbers, unconverted: TypeError for other values,
    ValueError for another number of dimensions."""
    array = np.asarray(samples)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, not values of type {array.dtype}")
    if array.ndim != 2:
        raise ValueError(
            f"{name} must be 2-D (series × time positions), not {array.ndim}-D "
            f"of shape {array.shape}"
        )
    return array


def as_float32(samples: npt.ArrayLike, name: str = "samples") -> Samples:
    """``samples`` as the float32 matrix the native functions take (a view when it already
    is one)."""
    return np.asarray(as_matrix(samples, name), dtype=np.float32)


def result_dtype(dtype: npt.DTypeLike) -> np.dtype[np.float32] | np.dtype[np.float64]:
    """The type of a result for input of type ``dtype``: the work is float32 throughout;
    float32 input gives float32, every other real type float64 (as NumPy widens integers)."""
    if np.dtype(dtype) == np.float32:
        return np.dtype(np.float32)
    return np.dtype(np.float64)


def window_count(length: int, window: int, stride: int) -> int:
    """Windows of the plan: the multiples of ``stride`` below the last start, then the last."""
    last = length - window
    return -(-last // stride) + 1


def uncovered_positions(length: int, window: int, stride: int) -> int:
    """How many time positions of every series no window covers (they come out as NaN)."""
    last = length - window
    if stride <= window or last == 0:
        return 0
    multiples = -(-last // stride)  # starts 0, stride, ... below `last`
    between_multiples = (multiples - 1) * (stride - window)
    before_last = max(0, last - ((multiples - 1) * stride + window))
    return between_multiples + before_last


def check_plan(
    shape: tuple[int, ...],
    window_size: object,
    stride: object,
    method: object = "linear",
    names: Names = PYTHON_NAMES,
) -> tuple[int, int]:
    """(window, stride) as ints, if a native call on a batch of ``shape`` can run with them.

    ValueError otherwise: a window or stride below 1, a batch without series or time
    positions, a window longer than the series, or, for the linear method, fewer training
    rows (windows × series) than the window has positions, which no least-squares fit can
    solve. The module would refuse these with its own terms or fail internally.
    """
    checked_method(method, names)
    window = positive_int(window_size, names.window)
    step = positive_int(stride, names.stride)
    series, length = shape
    if series == 0 or length == 0:
        raise ValueError(
            f"no series to denoise: the batch has {series} series of {length} time positions"
        )
    if window > length:
        raise ValueError(f"{names.window} ({window}) is larger than the series length ({length})")
    windows = window_count(length, window, step)
    if method == "linear" and windows * series < window:
        raise ValueError(
            f"the linear method needs at least as many training rows as the window has "
            f"positions ({window}), but {windows} window{'s' if windows != 1 else ''} × "
            f"{series} series give {windows * series}; use more series, a smaller "
            f"{names.stride} or a smaller {names.window}"
        )
    return window, step


def call(
    method: object,
    samples: Samples,
    window_size: object,
    stride: object,
    names: Names = PYTHON_NAMES,
    solver: object = SOLVER_DEFAULT,
) -> Samples:
    """The native function of ``method`` on ``samples``, after :func:`check_plan`; with
    ``solver="gram"``, the linear method through the Gram route."""
    window, step = check_plan(samples.shape, window_size, stride, method, names)
    if checked_solver(solver, method) == "gram":
        return gram_call(samples, window, step)
    return native_function(method)(samples, window, step)


def gram_call(samples: Samples, window: int, stride: int) -> Samples:
    """The linear method's output with every fit solved from the Gram matrix of the windows."""
    native = importlib.import_module("tacitor_tools._native")
    rows = np.ascontiguousarray(samples, dtype=np.float32)
    out = np.empty(rows.shape, dtype=np.float32)
    native.fit("linear", rows, window, stride, solver="gram").denoise(rows, stride, out)
    return out
