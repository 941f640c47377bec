"""End-to-end behaviour of denoise_decision_tree."""

import numpy as np
import pytest

import tacitor


def piecewise_constant(series, length, seed):
    """Series that jump between a few levels at random times, and a noisy copy."""
    rng = np.random.default_rng(seed)
    levels = np.array([-2.0, -0.5, 1.0, 2.5])
    clean = np.empty((series, length))
    for s in range(series):
        jumps = np.sort(rng.choice(np.arange(8, length - 8), size=5, replace=False))
        pieces = np.split(np.arange(length), jumps)
        for piece in pieces:
            clean[s, piece] = rng.choice(levels)
    noisy = clean + 0.4 * rng.standard_normal(clean.shape)
    return clean.astype(np.float32), noisy.astype(np.float32)


def test_denoises_piecewise_constant_signals():
    clean, noisy = piecewise_constant(48, 160, seed=5)
    result = tacitor.denoise_decision_tree(noisy, 9, 1)
    assert result.dtype == np.float32 and result.shape == noisy.shape
    noisy_error = np.mean((noisy - clean) ** 2)
    denoised_error = np.mean((result - clean) ** 2)
    assert denoised_error < 0.5 * noisy_error, (denoised_error, noisy_error)


def test_window_of_one_is_a_single_leaf_holding_the_mean():
    # Without features the tree never splits: every sample becomes the mean of all samples.
    # Small integers make the double-precision sum exact, so the float result is too.
    samples = ((np.arange(5 * 13).reshape(5, 13) * 7) % 19 - 9).astype(np.float32)
    result = tacitor.denoise_decision_tree(samples, 1, 1)
    expected = np.float32(samples.astype(np.float64).sum() / samples.size)
    assert (result == expected).all()


def test_non_finite_samples_are_refused_not_spread():
    # One NaN used to turn the whole batch into NaN; now the call refuses the input.
    _, noisy = piecewise_constant(6, 40, seed=9)
    noisy[0, 3] = np.nan
    noisy[2, 10] = np.inf
    noisy[4, 20] = -np.inf
    noisy[5, :] = np.nan
    with pytest.raises(ValueError) as info:
        tacitor.denoise_decision_tree(noisy, 5, 2)
    assert info.value.args == (
        "samples holds 43 NaN or infinite values (the first at series 0, position 3); fill or "
        "drop them before denoising",
    )


def test_errors_match_the_linear_entry_point():
    samples = np.ones((2, 10), np.float32)
    with pytest.raises(ValueError) as info:
        tacitor.denoise_decision_tree(samples, 0, 3)
    assert info.value.args == ("ShapeError/Unsupported: unsupported operation",)
    with pytest.raises(ValueError) as info:
        tacitor.denoise_decision_tree(samples, 11, 3)
    assert info.value.args == ("window_size (11) is larger than the series length (10)",)
    with pytest.raises(BaseException) as info:
        tacitor.denoise_decision_tree(samples, 3, 0)
    assert not isinstance(info.value, Exception)
    assert info.value.args == ("attempt to calculate the remainder with a divisor of zero",)


def test_no_series_reaches_the_reassembly_assertion():
    with pytest.raises(BaseException) as info:
        tacitor.denoise_decision_tree(np.zeros((0, 8), np.float32), 3, 2)
    assert type(info.value).__mro__[1] is BaseException
    assert info.value.args == ("assertion failed: sample_start < targets.nrows()",)


def test_gaps_are_nan_columns():
    _, noisy = piecewise_constant(4, 30, seed=2)
    # Starts 0, 6, 12, 18, 24, 25 with width 5 leave positions 5, 11, 17 and 23 uncovered.
    result = tacitor.denoise_decision_tree(noisy, 5, 6)
    gaps = [5, 11, 17, 23]
    assert np.isnan(result[:, gaps]).all()
    assert np.isfinite(np.delete(result, gaps, axis=1)).all()
