"""Every memory layout of `samples` is read element by element: same bits as a C-ordered copy."""

import os

import numpy as np
import pytest


def c_ordered_reference(entry_point, samples, window_size=5, stride=2):
    return entry_point(np.ascontiguousarray(samples), window_size, stride)


def bits(array):
    return array.view(np.uint32)


def unaligned(values):
    raw = np.zeros(values.size * 4 + 1, np.uint8)
    view = raw[1:].view(np.float32).reshape(values.shape)
    view[...] = values
    assert not view.flags.aligned
    return view


def read_only(values):
    view = values.copy()
    view.flags.writeable = False
    return view


LAYOUTS = {
    "c_order": lambda v: v.copy(),
    "fortran_order": np.asfortranarray,
    "transposed_view": lambda v: np.ascontiguousarray(v.T).T,
    "column_step_2": lambda v: np.repeat(v, 2, axis=1)[:, ::2],
    "row_step_2": lambda v: np.repeat(v, 2, axis=0)[::2],
    "both_negative": lambda v: np.ascontiguousarray(v[::-1, ::-1])[::-1, ::-1],
    "row_negative": lambda v: np.ascontiguousarray(v[::-1])[::-1],
    "read_only": read_only,
    "unaligned": unaligned,
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_layout_gives_the_bits_of_its_copy(entry_point, series_batch, layout):
    samples = LAYOUTS[layout](series_batch)
    assert np.array_equal(samples, series_batch)
    expected = c_ordered_reference(entry_point, series_batch)
    result = entry_point(samples, 5, 2)
    assert np.array_equal(bits(result), bits(expected))


def test_broadcast_zero_strides(entry_point, series_batch):
    row = series_batch[2]
    broadcast = np.broadcast_to(row, (5, row.size))
    assert broadcast.strides[0] == 0 and not broadcast.flags.writeable
    column = np.broadcast_to(series_batch[:, :1], (6, 24))
    assert column.strides[1] == 0
    for samples in (broadcast, column):
        expected = c_ordered_reference(entry_point, samples)
        assert np.array_equal(bits(entry_point(samples, 5, 2)), bits(expected))


def test_strided_view_of_a_larger_array(entry_point, series_batch):
    big = np.zeros((20, 80), np.float32)
    big[3:15:2, 5:77:3] = series_batch
    samples = big[3:15:2, 5:77:3]
    assert samples.strides == (2 * 80 * 4, 3 * 4)
    expected = c_ordered_reference(entry_point, series_batch)
    assert np.array_equal(bits(entry_point(samples, 5, 2)), bits(expected))


def outcome(call):
    try:
        return ("result", bits(call()).tobytes())
    except BaseException as error:  # the internal failure too
        return (type(error), error.args)


@pytest.mark.parametrize("special", ["signed_zero_and_subnormal", "nan", "infinity"])
def test_special_values_are_copied_exactly(entry_point, special):
    # The values reach the pipeline unchanged, so every layout meets the same fate: the same
    # bits, or the same refusal of a non-finite value at the same logical position.
    values = np.linspace(-1, 1, 6 * 24, dtype=np.float32).reshape(6, 24)
    values[1, 3] = -0.0
    values[2, 5] = np.float32(1e-42)
    if special == "nan":
        values[4, 20] = np.nan
    elif special == "infinity":
        values[0, 7] = -np.inf
    expected = outcome(lambda: entry_point(values, 4, 1))
    if special != "signed_zero_and_subnormal":
        where = "series 4, position 20" if special == "nan" else "series 0, position 7"
        assert expected[0] is ValueError and f"(at {where})" in expected[1][0]
    assert outcome(lambda: entry_point(np.asfortranarray(values), 4, 1)) == expected
    assert outcome(lambda: entry_point(values[::-1].copy()[::-1], 4, 1)) == expected


@pytest.mark.parametrize("shape", [(0, 24), (0, 0), (6, 0)])
def test_zero_sized_dimensions_reach_the_pipeline(entry_point, shape):
    samples = np.zeros(shape, np.float32)
    # The copy succeeds; what follows is the pipeline's own verdict, never a conversion error.
    with pytest.raises(BaseException) as caught:
        entry_point(samples, 5, 1)
    assert not isinstance(caught.value, (TypeError, OverflowError))
    if shape[1] == 0:
        assert type(caught.value) is ValueError
        assert str(caught.value) == "window_size (5) is larger than the series length (0)"
    for view in (samples.T.copy().T, samples[::-1]):
        with pytest.raises(type(caught.value)) as again:
            entry_point(view, 5, 1)
        assert again.value.args == caught.value.args


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer aborts instead of throwing std::bad_alloc",
)
@pytest.mark.parametrize("shape", [(2**30, 2**30), (2**58, 4), (3, 2**59)])
def test_copy_too_large_for_memory(entry_point, shape):
    # Zero strides let a one-element array claim a shape whose copy cannot exist.
    samples = np.broadcast_to(np.float32(1.0), shape)
    with pytest.raises(MemoryError):
        entry_point(samples, 2, 1)
