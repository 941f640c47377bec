"""User code that runs inside a call, through `__index__`, cannot make the call read freed or
out-of-range memory.

`window_size` and `stride` are converted after `samples` was checked, so their `__index__` may
reshape `samples` in place, write to it, try to resize it, drop other references to it and
collect garbage, or call the module again. The call must then give the result for the array as
it was before or after the change, or a documented error. Run under `make test-asan` these
cases also prove that no byte outside the array is read.
"""

import gc
import warnings

import numpy as np
import pytest

import tacitor

ENTRY_POINTS = ("denoise_linear_regression", "denoise_decision_tree")
INTERNAL_FAILURE = "InternalFailure"


def set_shape(array, shape):
    # Setting the shape in place is deprecated in newer NumPy, yet still possible, so user code
    # may do it.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        array.shape = shape


class Hook:
    """An integer whose conversion first runs `action`."""

    def __init__(self, value, action):
        self.value, self.action, self.calls = value, action, 0

    def __index__(self):
        self.calls += 1
        self.action()
        return self.value


def outcome(function, *args):
    try:
        return function(*args)
    except BaseException as error:  # noqa: BLE001 - InternalFailure derives from BaseException
        return type(error).__name__, error.args


def same(a, b) -> bool:
    if isinstance(a, np.ndarray) and isinstance(b, np.ndarray):
        return a.shape == b.shape and a.tobytes() == b.tobytes()
    return not isinstance(a, np.ndarray) and not isinstance(b, np.ndarray) and a == b


def series(shape, offset=0.0):
    count = int(np.prod(shape))
    return (np.sin(np.arange(count, dtype=np.float32) * 0.37 + offset) * 3).reshape(shape)


def assert_before_or_after(got, function, before, after, window_size, stride):
    """`got` is the outcome for `before` or the one for `after` (fresh arrays, plain ints)."""
    expected = [outcome(function, before, window_size, stride)]
    expected.append(outcome(function, after, window_size, stride))
    assert any(same(got, option) for option in expected), (got, expected)


RESHAPES = [
    ((4, 12), (1, 48)),  # far fewer rows: stale row counts would read past the end
    ((4, 12), (48, 1)),  # far more rows
    ((4, 12), (12, 4)),
    ((4, 12), (8, 6)),
    ((6, 10), (2, 30)),
]


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("shape, new_shape", RESHAPES)
@pytest.mark.parametrize("argument", ["window_size", "stride"])
def test_reshape_in_place_during_conversion(entry, shape, new_shape, argument):
    function = getattr(tacitor, entry)
    samples = series(shape)
    before, after = samples.copy(), samples.reshape(new_shape).copy()

    def reshape():
        set_shape(samples, new_shape)

    window_size, stride = 3, 2
    if argument == "window_size":
        hook = Hook(window_size, reshape)
        got = outcome(function, samples, hook, stride)
    else:
        hook = Hook(stride, reshape)
        got = outcome(function, samples, window_size, hook)
    assert hook.calls == 1
    assert samples.shape == new_shape
    assert_before_or_after(got, function, before, after, window_size, stride)


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_reshape_of_a_view_base_and_strides(entry):
    # A transposed view whose base changes shape under it keeps its own shape and strides; the
    # view's values stay those of the base's buffer.
    function = getattr(tacitor, entry)
    base = series((10, 6))
    samples = base.T
    expected = outcome(function, samples.copy(), 3, 1)

    def reshape_base():
        set_shape(base, (6, 10))

    got = outcome(function, samples, Hook(3, reshape_base), 1)
    assert same(got, expected)


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_writes_during_conversion(entry):
    function = getattr(tacitor, entry)
    samples = series((4, 20))
    before = samples.copy()
    after = np.full_like(samples, 0.5)
    after[:, ::3] = -1.0

    def overwrite():
        samples[...] = after

    got = outcome(function, samples, 5, Hook(2, overwrite))
    assert_before_or_after(got, function, before, after, 5, 2)


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_resize_during_conversion_is_refused(entry):
    # Resizing would free the buffer; NumPy refuses while others hold references, and the
    # call holds one.
    function = getattr(tacitor, entry)
    samples = series((3, 16))
    raised = []

    def resize():
        try:
            samples.resize((3, 4096))
        except ValueError as error:
            raised.append(error)
            raise

    got = outcome(function, samples, Hook(4, resize), 2)
    assert raised and got == ("ValueError", raised[0].args)
    assert samples.shape == (3, 16)
    assert same(outcome(function, samples, 4, 2), outcome(function, samples.copy(), 4, 2))


class Holder:
    def __init__(self, array):
        self.array = array


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("view", [False, True])
def test_last_other_reference_dropped_during_conversion(entry, view):
    function = getattr(tacitor, entry)
    expected = outcome(function, series((5, 30)), 4, 3)
    holder = Holder(series((5, 30)))

    def drop():
        holder.array = None
        gc.collect()
        # New arrays of the same size would likely reuse a freed buffer.
        garbage = [np.full((5, 30), np.nan, dtype=np.float32) for _ in range(8)]
        del garbage

    # The argument is a temporary: once the hook ran, only the call keeps it (and, for a view,
    # its base) alive.
    if view:
        got = outcome(function, holder.array[:, :], Hook(4, drop), 3)
    else:
        got = outcome(function, holder.array, Hook(4, drop), 3)
    assert holder.array is None
    assert same(got, expected)


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_temporary_samples_with_collection_during_conversion(entry):
    function = getattr(tacitor, entry)
    expected = outcome(function, series((3, 25), 1.0), 5, 4)
    got = outcome(function, series((3, 25), 1.0), Hook(5, gc.collect), Hook(4, gc.collect))
    assert same(got, expected)


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_nested_call_from_conversion(entry):
    # A call made from inside another call's conversion shares the array and the module state.
    function = getattr(tacitor, entry)
    samples = series((4, 40))
    inner = []

    def call_again():
        inner.append(outcome(tacitor.denoise_linear_regression, samples, 6, 2))
        inner.append(outcome(tacitor.denoise_decision_tree, samples, 6, 2))
        inner.append(outcome(tacitor.denoise_decision_tree, samples, 6, 0))

    got = outcome(function, samples, 6, Hook(2, call_again))
    assert same(got, outcome(function, samples.copy(), 6, 2))
    assert same(inner[0], outcome(tacitor.denoise_linear_regression, samples.copy(), 6, 2))
    assert same(inner[1], outcome(tacitor.denoise_decision_tree, samples.copy(), 6, 2))
    assert inner[2][0] == INTERNAL_FAILURE
