"""Hostile input: random shapes, dtypes, memory layouts, values and window parameters.

Every call either returns a new float32 array of the input's shape or raises one of the
documented exceptions with its documented message; it never crashes, hangs or writes to its
input, and a non-contiguous, unaligned or broadcast input gives the same bits as its C-ordered
copy.

The property runs in a child process per entry point, so that a crash or a hang is reported
with the case that caused it instead of taking pytest down. `HYPOTHESIS_PROFILE=long` runs
many more, freshly drawn cases; `TACITOR_HOSTILE_EXAMPLES` sets the count directly.
"""

from __future__ import annotations

import collections
import ctypes
import dataclasses
import faulthandler
import operator
import os
import subprocess
import sys
from typing import Any, Callable

import numpy as np
import pytest

ENTRY_POINTS = ("denoise_linear_regression", "denoise_decision_tree")
U32_LIMIT = 2**32
ZERO_DIVISOR = "attempt to calculate the remainder with a divisor of zero"
EMPTY_TREE_TARGETS = "assertion failed: sample_start < targets.nrows()"
NO_POSITIONS = "ShapeError/Unsupported: unsupported operation"
# Longest a single call on these small arrays may take before it counts as a hang.
CALL_TIMEOUT_S = 60


# ---------------------------------------------------------------------------------------------
# Expected outcomes


@dataclasses.dataclass(frozen=True)
class Raises:
    """An accepted exception: its type (exactly) and its message, or any message if None."""

    kind: type | str  # a type, or "InternalFailure"
    message: str | None

    def matches(self, error: BaseException) -> bool:
        if self.kind == "InternalFailure":
            if not is_internal_failure(error):
                return False
        elif type(error) is not self.kind:
            return False
        return self.message is None or error.args == (self.message,)


def is_internal_failure(error: BaseException) -> bool:
    cls = type(error)
    return (
        cls.__name__ == "InternalFailure"
        and cls.__module__ == "tacitor"
        and cls.__mro__[1] is BaseException
    )


def _unsigned_conversion_error(value: int) -> str:
    """The message CPython's PyLong_AsUnsignedLongLong gives for an unconvertible int."""
    convert = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    convert.argtypes = [ctypes.py_object]
    convert.restype = ctypes.c_ulonglong
    try:
        convert(value)
    except OverflowError as error:
        return str(error)
    raise AssertionError(f"{value} converts to unsigned long long")


def expected_integer(name: str, value: Any) -> int | Raises:
    """The unsigned 32-bit value the boundary reads from `value`, or the error it raises."""
    if isinstance(value, int):
        number = int(value)
    else:
        try:
            number = operator.index(value)
        except Exception as error:  # noqa: BLE001 - the error itself is the expectation
            if type(error) is TypeError:
                return Raises(TypeError, f"argument '{name}': {error}")
            return Raises(type(error), str(error))
    if number < 0 or number >= 2**64:
        return Raises(OverflowError, _unsigned_conversion_error(number))
    if number >= U32_LIMIT:
        return Raises(OverflowError, "out of range integral type conversion attempted")
    return number


def accepts_samples(samples: Any) -> bool:
    return (
        isinstance(samples, np.ndarray)
        and samples.ndim == 2
        and np.can_cast(samples.dtype, np.dtype(np.float32), casting="no")
    )


def window_starts(length: int, window_size: int, stride: int) -> list[int]:
    span = length - window_size
    return [start for start in range(0, span, stride)] + [span]


@dataclasses.dataclass(frozen=True)
class Expectation:
    """What a call may do: return a result (if `succeeds`) or raise one of `errors`."""

    succeeds: bool
    errors: tuple[Raises, ...] = ()

    def __str__(self):
        options = (["a result"] if self.succeeds else []) + [
            f"{getattr(e.kind, '__qualname__', e.kind)}({e.message!r})" for e in self.errors
        ]
        return " or ".join(options)


def failure(kind: type | str, message: str | None) -> Expectation:
    return Expectation(False, (Raises(kind, message),))


def non_finite_message(values: np.ndarray) -> str:
    bad = ~np.isfinite(values)
    count = int(bad.sum())
    series, position = (int(i) for i in np.argwhere(bad)[0])
    where = f"series {series}, position {position}"
    if count == 1:
        return (
            f"samples holds 1 NaN or infinite value (at {where}); fill or drop it before denoising"
        )
    return (
        f"samples holds {count} NaN or infinite values (the first at {where}); fill or drop "
        "them before denoising"
    )


def expected_outcome(entry: str, samples: Any, window_size: Any, stride: Any) -> Expectation:
    if not accepts_samples(samples):
        qualname = type(samples).__qualname__
        return failure(
            TypeError,
            f"argument 'samples': '{qualname}' object cannot be converted to 'PyArray<T, D>'",
        )
    width = expected_integer("window_size", window_size)
    if isinstance(width, Raises):
        return Expectation(False, (width,))
    step = expected_integer("stride", stride)
    if isinstance(step, Raises):
        return Expectation(False, (step,))
    series, length = samples.shape
    if step == 0:
        return failure("InternalFailure", ZERO_DIVISOR)
    if width > length:
        return failure(
            ValueError, f"window_size ({width}) is larger than the series length ({length})"
        )
    if width == 0:
        return failure(ValueError, NO_POSITIONS)
    values = np.asarray(samples, dtype=np.float64)
    if not np.isfinite(values).all():
        return failure(ValueError, non_finite_message(values))
    rows = len(window_starts(length, width, step)) * series
    if entry == "denoise_linear_regression":
        if rows < width:
            # The solve writes solution rows the system does not have.
            return failure("InternalFailure", None)
        return Expectation(True)
    if series == 0:
        return failure("InternalFailure", EMPTY_TREE_TARGETS)
    return Expectation(True)


def bits(array: np.ndarray) -> bytes:
    if array.dtype.hasobject:
        return repr(array.tolist()).encode()
    return np.ascontiguousarray(array).view(np.uint8).tobytes()


def coverage(length: int, window_size: int, stride: int) -> np.ndarray:
    covered = np.zeros(length, dtype=bool)
    for start in window_starts(length, window_size, stride):
        covered[start : start + window_size] = True
    return covered


def check_result(entry: str, samples: np.ndarray, result: Any, window_size: int, stride: int):
    assert type(result) is np.ndarray, type(result)
    assert result.dtype == np.float32 and result.dtype.isnative
    assert result.shape == samples.shape
    assert result.flags.c_contiguous and result.flags.writeable
    if result.size:
        assert not np.shares_memory(result, samples)
    window_size, stride = operator.index(window_size), operator.index(stride)
    covered = coverage(samples.shape[1], window_size, stride)
    # A time position that no window covers is the mean of nothing.
    assert np.isnan(result[:, ~covered]).all()
    values = np.asarray(samples, dtype=np.float64)
    if entry == "denoise_linear_regression":
        # Finite input of any magnitude gives finite estimates, never an overflow.
        assert np.isfinite(result[:, covered]).all()
    largest = np.abs(values).max() if values.size else 0.0
    # Window averages are float32 sums of up to window_size predictions; skip inputs whose sums
    # may overflow. Skip also inputs holding two adjacent floats: their split threshold can
    # round to the upper value, so that a child's rows differ from the side its mean was
    # computed for, and later means of that subtree are no longer means of its rows.
    distinct = np.unique(np.asarray(samples, dtype=np.float32))
    adjacent = np.any(np.nextafter(distinct[:-1], np.float32(np.inf)) == distinct[1:])
    if (
        entry == "denoise_decision_tree"
        and np.isfinite(largest)
        and largest * window_size < 3e38
        and not adjacent
    ):
        # Tree predictions are means of training targets, and so are their averages. A side
        # mean is the node total less the other side's sum, which carries a cancellation error
        # of a few double ulps of the largest sum, and each float32 addition of the average
        # rounds once more.
        rows = len(window_starts(samples.shape[1], window_size, stride)) * samples.shape[0]
        slack = largest * (rows * 2.0**-40 + window_size * 2.0**-23)
        inside = result[:, covered].astype(np.float64)
        assert (inside >= values.min() - slack).all() and (inside <= values.max() + slack).all()


def run_call(function: Callable, samples: Any, window_size: Any, stride: Any, keywords: bool):
    if keywords:
        return function(stride=stride, samples=samples, window_size=window_size)
    return function(samples, window_size, stride)


def check_call(
    entry: str, samples: Any, window_size: Any, stride: Any, keywords: bool = False
) -> str:
    """Calls `entry`, checks its outcome against the documented behaviour and names it."""
    import tacitor

    function = getattr(tacitor, entry)
    expected = expected_outcome(entry, samples, window_size, stride)
    before = bits(samples) if isinstance(samples, np.ndarray) else None
    try:
        result = run_call(function, samples, window_size, stride, keywords)
    except BaseException as error:  # noqa: BLE001 - InternalFailure derives from BaseException
        if not any(option.matches(error) for option in expected.errors):
            raise AssertionError(
                f"{entry} raised {type(error).__qualname__}{error.args!r}, expected {expected}"
            ) from error
        outcome: Any = (type(error), error.args)
        label = type(error).__name__
    else:
        assert expected.succeeds, f"{entry} returned a result, expected {expected}"
        check_result(entry, samples, result, window_size, stride)
        outcome = bits(result)
        label = "result"
    if before is not None:
        assert bits(samples) == before, "the call changed its input"
        # The same values in a fresh C-ordered array give the same outcome, to the bit.
        if accepts_samples(samples):
            plain = np.array(samples, dtype=np.float32, order="C", copy=True)
            try:
                again: Any = bits(run_call(function, plain, window_size, stride, keywords))
            except BaseException as error:  # noqa: BLE001
                again = (type(error), error.args)
            assert again == outcome, "a C-ordered copy gives a different outcome"
    return label


# ---------------------------------------------------------------------------------------------
# Cases


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, value: Any):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class IndexError_(TypeError):
    """A TypeError subclass, which the boundary passes on without wrapping."""


class RaisingIndex:
    """An object whose conversion raises `kind(message)`, a fresh exception every time."""

    def __init__(self, kind: type, message: str):
        self.kind, self.message = kind, message

    def __index__(self):
        raise self.kind(self.message)

    def __repr__(self):
        return f"RaisingIndex({self.kind.__qualname__}, {self.message!r})"


class SubArray(np.ndarray):
    pass


LAYOUTS = (
    "C", "C", "C", "F", "transposed", "strided", "negative", "broadcast_row",
    "broadcast_column", "readonly", "unaligned", "subclass", "masked",
)  # fmt: skip
NON_ARRAYS = (
    "list", "none", "float", "scalar", "zero_dim", "one_dim", "three_dim", "float64",
    "float16", "int32", "big_endian", "complex64", "bool", "object", "memoryview",
)  # fmt: skip


@dataclasses.dataclass
class Case:
    entry: str
    layout: str
    values: np.ndarray  # the C-ordered float32 values the samples view holds
    window_size: Any
    stride: Any
    keywords: bool

    def samples(self) -> Any:
        values = self.values
        series, length = values.shape
        layout = self.layout
        if layout == "C":
            return values.copy()
        if layout == "F":
            return np.asfortranarray(values)
        if layout == "transposed":
            return values.T.copy().T
        if layout == "strided":
            big = np.full((2 * series, 3 * length), np.float32(-7.5))
            big[::2, ::3] = values
            return big[::2, ::3]
        if layout == "negative":
            return values[::-1, ::-1].copy()[::-1, ::-1]
        if layout == "broadcast_row":
            return np.broadcast_to(values[:1] if series else values[:0], values.shape)
        if layout == "broadcast_column":
            return np.broadcast_to(values[:, :1] if length else values[:, :0], values.shape)
        if layout == "readonly":
            copy = values.copy()
            copy.setflags(write=False)
            return copy
        if layout == "unaligned":
            raw = np.zeros(values.size * 4 + 1, dtype=np.uint8)
            unaligned = raw[1:].view(np.float32).reshape(values.shape)
            unaligned[...] = values
            return unaligned
        if layout == "subclass":
            return values.copy().view(SubArray)
        if layout == "masked":
            return np.ma.masked_array(values.copy(), mask=np.zeros(values.shape, dtype=bool))
        return self.non_array(layout, values)

    @staticmethod
    def non_array(layout: str, values: np.ndarray) -> Any:
        return {
            "list": lambda: values.tolist(),
            "none": lambda: None,
            "float": lambda: 1.0,
            "scalar": lambda: np.float32(1),
            "zero_dim": lambda: np.array(1.0, dtype=np.float32),
            "one_dim": lambda: values.ravel(),
            "three_dim": lambda: values[None],
            "float64": lambda: values.astype(np.float64),
            "float16": lambda: values.astype(np.float16),
            "int32": lambda: values.astype(np.int32, casting="unsafe"),
            "big_endian": lambda: values.astype(">f4"),
            "complex64": lambda: values.astype(np.complex64),
            "bool": lambda: values.astype(bool),
            "object": lambda: values.astype(object),
            "memoryview": lambda: memoryview(values.copy()),
        }[layout]()

    def run(self) -> str:
        return check_call(self.entry, self.samples(), self.window_size, self.stride, self.keywords)

    def __repr__(self):
        with np.printoptions(threshold=10_000, floatmode="unique"):
            values = repr(self.values)
        return (
            f"Case(entry={self.entry!r}, layout={self.layout!r}, values={values}, "
            f"window_size={self.window_size!r}, stride={self.stride!r}, "
            f"keywords={self.keywords})"
        )


def strategies():
    from hypothesis import strategies as st
    from hypothesis.extra import numpy as hnp

    # Exact single-precision values, so that storing them changes nothing.
    special_floats = st.sampled_from(
        [
            float(np.float32(value))
            for value in (
                0.0,
                -0.0,
                np.nan,
                np.inf,
                -np.inf,
                1e-45,
                -1e-45,
                1.1754942e-38,
                3.4028235e38,
                -3.4028235e38,
                1e-30,
                1e30,
                65504.0,
                1.0,
                -1.0,
            )
        ]  # fmt: skip
    )
    element_modes = {
        "nice": st.floats(-100, 100, width=32),
        "small_ints": st.integers(-3, 3).map(float),
        "wild": st.one_of(st.floats(width=32), special_floats),
    }

    @st.composite
    def values(draw):
        # Mostly tiny arrays; now and then one large enough for many rows and wide windows.
        if draw(st.integers(0, 7)) == 0:
            series, length = draw(st.integers(1, 12)), draw(st.integers(25, 72))
        else:
            series, length = draw(st.integers(0, 6)), draw(st.integers(0, 24))
        mode = draw(st.sampled_from(["nice", "nice", "nice", "small_ints", "wild", "wild"]))
        elements = element_modes[mode]
        return draw(hnp.arrays(np.float32, (series, length), elements=elements))

    def integer_argument(length: int):
        near = [0, 1, 2, 3, length - 1, length, length + 1]
        special = [U32_LIMIT - 1, U32_LIMIT, 2**64 - 1, 2**64, -1, -(2**63), 2**100]
        objects = st.one_of(
            st.sampled_from([True, False, 1.5, "2", None, np.float64(2.0), b"\x01"]),
            st.integers(0, length + 2).map(np.int64),
            st.integers(0, 200).map(np.uint8),
            st.sampled_from(near).map(Index),
            st.sampled_from([1.5, -1, U32_LIMIT, True]).map(Index),
            st.sampled_from(
                [
                    (TypeError, "not today"),
                    (IndexError_, "subclass"),
                    (ValueError, "nope"),
                    (OverflowError, "own overflow"),
                    (ZeroDivisionError, "own zero"),
                ]  # fmt: skip
            ).map(lambda raised: RaisingIndex(*raised)),
        )
        return st.one_of(
            st.integers(1, max(1, length + 2)),
            st.integers(1, max(1, length + 2)),
            st.integers(1, 4),
            st.sampled_from(near),
            st.sampled_from(special),
            objects,
        )

    @st.composite
    def cases(draw, entry: str):
        data = draw(values())
        layout = draw(st.sampled_from(LAYOUTS * 5 + NON_ARRAYS))
        length = data.shape[1]
        window_size = draw(
            st.one_of(st.integers(1, max(1, length)), st.integers(1, 3), integer_argument(length))
        )
        stride = draw(st.one_of(st.integers(1, max(1, length)), integer_argument(length)))
        return Case(entry, layout, data, window_size, stride, draw(st.booleans()))

    return cases


# ---------------------------------------------------------------------------------------------
# Fixed cases: shapes and values that have gone wrong, or that the random search rarely meets


def _grid(series: int, length: int, scale: float = 1.0) -> np.ndarray:
    return (np.arange(series * length, dtype=np.float32).reshape(series, length) * scale) % 7


FIXED_CASES = [
    ("C", _grid(0, 0), 0, 1),
    ("C", _grid(0, 5), 2, 1),
    ("C", _grid(3, 0), 0, 1),
    ("C", _grid(3, 0), 1, 1),
    ("C", _grid(1, 1), 1, 1),
    ("C", _grid(2, 9), 9, U32_LIMIT - 1),
    ("C", _grid(2, 9), U32_LIMIT - 1, 1),
    ("C", _grid(2, 9), 3, 0),
    ("C", _grid(2, 9), 0, 0),
    ("C", _grid(2, 9), 12, 0),
    ("C", _grid(1, 3), 3, 1),  # one training row for three positions
    ("C", np.full((3, 12), np.nan, dtype=np.float32), 4, 2),
    ("C", np.full((3, 12), np.inf, dtype=np.float32), 4, 2),
    ("C", np.full((3, 12), 3.4028235e38, dtype=np.float32), 4, 2),
    ("C", np.full((3, 12), 1e-45, dtype=np.float32), 4, 2),
    ("C", np.zeros((3, 12), dtype=np.float32), 4, 2),
    ("unaligned", _grid(4, 11), 3, 2),
    ("broadcast_row", _grid(5, 10), 4, 3),
    ("broadcast_column", _grid(5, 10), 4, 3),
    ("negative", _grid(4, 10), 3, 4),  # gaps
    ("strided", _grid(4, 10), 10, 7),
    # Adjacent floats, whose split thresholds round onto the upper value.
    (
        "negative",
        np.resize(
            np.float32(
                [-9.7961605e-25, -9.7317895e-25, -2.4491032e-25, -9.7964129e-25, -9.796412e-25]
            ),
            (7, 19),
        ),
        19,
        19,
    ),
    (
        "C",
        np.resize(np.float32([1.0, np.nextafter(np.float32(1), np.float32(2)), 3.0]), (4, 11)),
        5,
        2,
    ),
]


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("layout, values, window_size, stride", FIXED_CASES)
def test_fixed_hostile_cases(entry, layout, values, window_size, stride):
    Case(entry, layout, values, window_size, stride, keywords=False).run()


# ---------------------------------------------------------------------------------------------
# The random search, one child process per entry point


def example_count() -> int:
    if "TACITOR_HOSTILE_EXAMPLES" in os.environ:
        return int(os.environ["TACITOR_HOSTILE_EXAMPLES"])
    return 20_000 if os.environ.get("HYPOTHESIS_PROFILE") == "long" else 2_000


def run_property(entry: str, examples: int, last_case_path: str) -> None:
    """Runs the search in this process; writes every case to `last_case_path` before its call."""
    from hypothesis import HealthCheck, given, settings

    cases = strategies()
    log = open(last_case_path, "w", encoding="utf-8")
    seen: collections.Counter = collections.Counter()

    @settings(
        max_examples=examples,
        # The default run explores the same cases every time, so that a suite run is
        # reproducible; the long run draws new ones.
        derandomize=os.environ.get("HYPOTHESIS_PROFILE") != "long",
        deadline=None,
        database=None,
        suppress_health_check=list(HealthCheck),
        print_blob=True,
    )
    @given(cases(entry))
    def property_holds(case: Case) -> None:
        log.seek(0)
        log.truncate()
        log.write(repr(case))
        log.flush()
        faulthandler.dump_traceback_later(CALL_TIMEOUT_S, exit=True)
        try:
            seen[case.run()] += 1
        finally:
            faulthandler.cancel_dump_traceback_later()

    property_holds()
    print("outcomes:", dict(seen.most_common()))


@pytest.mark.slow
@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_random_hostile_input(entry, tmp_path):
    examples = example_count()
    last_case = tmp_path / "last_case.txt"
    command = [sys.executable, __file__, entry, str(examples), str(last_case)]
    # Generous: the default count takes well under a minute; a hang is caught per call.
    timeout = max(900, examples)
    try:
        child = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the search timed out; last case: {last_case.read_text()}")
    if child.returncode != 0:
        case = last_case.read_text() if last_case.exists() else "(none)"
        pytest.fail(
            f"the search failed with exit status {child.returncode}\n"
            f"last case: {case}\n--- stdout ---\n{child.stdout[-6000:]}\n"
            f"--- stderr (tail) ---\n{child.stderr[-6000:]}"
        )
    assert "property holds" in child.stdout


if __name__ == "__main__":
    faulthandler.enable()
    run_property(sys.argv[1], int(sys.argv[2]), sys.argv[3])
    print(f"property holds for {sys.argv[2]} cases of {sys.argv[1]}")
