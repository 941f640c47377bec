"""Denoising with missing values: gaps filled, then refined by the native calls."""

import numpy as np
import pytest

import tacitor
import tacitor_tools
from tacitor_tools.missing import gap_lengths


def smooth_batch(series=8, length=400, noise=0.1, seed=3):
    rng = np.random.default_rng(seed)
    t = np.arange(length)
    clean = np.sin(2 * np.pi * t / rng.uniform(40, 90, size=(series, 1)))
    return clean, clean + noise * rng.standard_normal(clean.shape)


@pytest.fixture
def finite_only(monkeypatch):
    """Makes any native call that receives NaN or infinity fail the test."""
    for name in ("denoise_linear_regression", "denoise_decision_tree"):
        original = getattr(tacitor, name)

        def guarded(samples, window_size, stride, original=original):
            assert np.isfinite(samples).all(), "the native module was given a missing value"
            return original(samples, window_size, stride)

        monkeypatch.setattr(tacitor, name, guarded)


def test_without_gaps_it_is_the_native_call_and_keeps_float64():
    _, noisy = smooth_batch()
    native = tacitor.denoise_linear_regression(noisy.astype(np.float32), 8, 2)
    out32 = tacitor_tools.denoise(noisy.astype(np.float32), 8, 2)
    out64 = tacitor_tools.denoise(noisy, 8, 2)
    assert out32.dtype == np.float32 and out64.dtype == np.float64
    np.testing.assert_array_equal(out32, native)
    np.testing.assert_array_equal(out64, native.astype(np.float64))


@pytest.mark.parametrize("method", ["linear", "tree"])
def test_gaps_are_filled_close_to_the_output_without_them(finite_only, method):
    clean, noisy = smooth_batch()
    full = tacitor_tools.denoise(noisy, 8, method=method)
    holed = noisy.copy()
    holed[np.random.default_rng(0).random(noisy.shape) < 0.05] = np.nan
    out = tacitor_tools.denoise(holed, 8, method=method)
    assert np.isfinite(out).all()
    loss = np.mean((out - clean) ** 2) / np.mean((full - clean) ** 2)
    assert loss < 1.25, f"gaps cost {10 * np.log10(loss):.2f} dB"


def test_long_gaps_and_empty_series_come_back_missing(finite_only):
    _, noisy = smooth_batch(series=5)
    holed = noisy.copy()
    holed[0, 100:130] = np.nan  # 30 long: beyond max_gap
    holed[1, 50:53] = np.nan  # 3 long: filled
    holed[2, :4] = np.nan  # at the start: filled from the first observed value
    holed[4] = np.nan  # an empty series takes no part in training
    out = tacitor_tools.denoise(holed, 8, max_gap=5)
    assert np.isnan(out[0, 100:130]).all() and np.isfinite(out[0, :100]).all()
    assert np.isfinite(out[1]).all() and np.isfinite(out[2]).all()
    assert np.isnan(out[4]).all()
    without_empty = tacitor_tools.denoise(holed[:4], 8, max_gap=5)
    np.testing.assert_array_equal(out[:4], without_empty)
    assert np.isnan(tacitor_tools.denoise(np.full((3, 20), np.nan), 4)).all()


def test_refused_inputs():
    _, noisy = smooth_batch(series=2, length=50)
    noisy[0, 3] = np.inf
    with pytest.raises(ValueError, match="infinite"):
        tacitor_tools.denoise(noisy, 4)
    noisy[0, 3] = np.nan
    with pytest.raises(ValueError, match="missing values"):
        tacitor_tools.denoise(noisy, 4, missing="raise")
    for bad in ({"method": "forest"}, {"missing": "drop"}, {"max_iter": 0}, {"max_gap": -1}):
        with pytest.raises(ValueError):
            tacitor_tools.denoise(noisy, 4, **bad)
    with pytest.raises(ValueError, match="2-D"):
        tacitor_tools.denoise(noisy[0], 4)


def test_gap_lengths():
    missing = np.array([[1, 1, 0, 1, 0, 0, 1, 1, 1]], dtype=bool)
    np.testing.assert_array_equal(gap_lengths(missing), [[2, 2, 0, 1, 0, 0, 3, 3, 3]])
