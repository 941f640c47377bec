"""The returned array: type, layout, ownership and independence from the input."""

import gc
import sys

import numpy as np
import pytest


class TestResult:
    def test_type_shape_and_flags(self, entry_point, series_batch):
        result = entry_point(series_batch, 5, 2)
        assert type(result) is np.ndarray
        assert result.dtype == np.float32 and result.dtype.isnative
        assert result.shape == series_batch.shape
        assert result.strides == (series_batch.shape[1] * 4, 4)
        assert result.flags.c_contiguous
        assert result.flags.writeable
        assert result.flags.aligned
        assert not result.flags.owndata
        assert np.isfinite(result).all()

    def test_base_is_the_holder(self, entry_point, series_batch):
        result = entry_point(series_batch, 5, 2)
        holder = result.base
        assert type(holder).__name__ == "PySliceContainer"
        # The caller holds the only reference to the array; the array the only one to its base.
        assert sys.getrefcount(result) == 2
        assert sys.getrefcount(holder) == 3  # the array, `holder`, the call's argument

    def test_holder_cannot_be_created_from_python(self, entry_point, series_batch):
        holder_type = type(entry_point(series_batch, 5, 2).base)
        with pytest.raises(TypeError):
            holder_type()

    def test_views_keep_the_buffer_alive(self, entry_point, series_batch):
        result = entry_point(series_batch, 5, 2)
        expected = result.copy()
        view = result[1:, ::2]
        del result
        gc.collect()
        # Reuse freed memory, should the buffer have been released too early.
        junk = [np.full(series_batch.shape, 7.0, np.float32) for _ in range(20)]
        assert np.array_equal(view, expected[1:, ::2])
        del junk

    def test_independent_of_samples(self, entry_point, series_batch):
        samples = series_batch.copy()
        result = entry_point(samples, 5, 2)
        assert not np.shares_memory(result, samples)
        assert np.array_equal(samples, series_batch)  # the input is not written
        before = result.copy()
        samples[...] = 100.0
        assert np.array_equal(result, before)
        result[...] = -1.0
        assert (samples == 100.0).all()

    def test_results_are_fresh(self, entry_point, series_batch):
        first = entry_point(series_batch, 5, 2)
        second = entry_point(series_batch, 5, 2)
        assert not np.shares_memory(first, second)
        assert np.array_equal(first.view(np.uint32), second.view(np.uint32))

    def test_window_larger_than_series(self, entry_point, series_batch):
        with pytest.raises(ValueError) as caught:
            entry_point(series_batch, 25, 1)
        assert type(caught.value) is ValueError
        assert caught.value.args == ("window_size (25) is larger than the series length (24)",)

    def test_stride_zero_is_an_internal_failure(
        self, entry_point, series_batch, internal_failure_of
    ):
        error = internal_failure_of(lambda: entry_point(series_batch, 5, 0))
        assert type(error).__qualname__ == "InternalFailure"
        assert type(error).__module__ == "tacitor"
        assert error.args == ("attempt to calculate the remainder with a divisor of zero",)
        # One class for every internal failure, whichever function raised it.
        import tacitor

        other = internal_failure_of(lambda: tacitor.denoise_decision_tree(series_batch, 5, 0))
        assert type(other) is type(error)
