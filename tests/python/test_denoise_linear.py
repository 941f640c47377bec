"""End-to-end behaviour of denoise_linear_regression."""

import numpy as np
import pytest

import tacitor


def window_starts(length, window_size, stride):
    span = length - window_size
    return list(range(0, span, stride)) + [span]


def lstsq_denoise(samples, window_size, stride):
    """The denoising path in float64: one least-squares fit per window position."""
    x = samples.astype(np.float64)
    series, length = x.shape
    starts = window_starts(length, window_size, stride)
    # windows[k, s, i] = x[s, starts[k] + i]; rows of the training set are (window, series).
    windows = np.stack([x[:, t : t + window_size] for t in starts])
    rows = windows.reshape(len(starts) * series, window_size)
    predictions = np.empty_like(rows)
    for i in range(window_size):
        features = np.delete(rows, i, axis=1)
        design = np.hstack([features, np.ones((rows.shape[0], 1))])
        solution, *_ = np.linalg.lstsq(design, rows[:, i], rcond=None)
        predictions[:, i] = design @ solution
    sums = np.zeros_like(x)
    counts = np.zeros(length)
    for k, t in enumerate(starts):
        sums[:, t : t + window_size] += predictions[k * series : (k + 1) * series]
        counts[t : t + window_size] += 1
    with np.errstate(invalid="ignore"):
        return sums / counts


def smooth_noisy_series(series, length, seed):
    rng = np.random.default_rng(seed)
    t = np.arange(length) / 7.0
    phases = rng.uniform(0, 2 * np.pi, size=(series, 1))
    clean = np.sin(t + phases) + 0.5 * np.cos(0.3 * t - phases)
    return (clean + 0.2 * rng.standard_normal((series, length))).astype(np.float32)


@pytest.mark.parametrize(
    "series, length, window_size, stride",
    [(8, 64, 5, 2), (3, 40, 7, 1), (16, 33, 4, 4), (5, 50, 6, 5), (2, 30, 3, 11)],
)
def test_matches_float64_least_squares(series, length, window_size, stride):
    samples = smooth_noisy_series(series, length, seed=series * 1000 + length)
    result = tacitor.denoise_linear_regression(samples, window_size, stride)
    expected = lstsq_denoise(samples, window_size, stride)
    assert result.dtype == np.float32
    assert result.shape == samples.shape
    np.testing.assert_allclose(result, expected, rtol=1e-4, atol=2e-5)


def test_exactly_linear_series_are_reproduced():
    # Every series is a straight line, so each position is an exact linear function of the
    # others and the in-sample predictions give the samples back up to float32 rounding.
    t = np.arange(24, dtype=np.float64)
    slopes = np.array([[0.5], [-1.25], [2.0], [0.0], [3.5]])
    samples = (slopes * t + np.array([[1.0], [2.0], [-3.0], [4.0], [0.25]])).astype(np.float32)
    result = tacitor.denoise_linear_regression(samples, 4, 2)
    np.testing.assert_allclose(result, samples, rtol=1e-4, atol=1e-3)


def test_window_of_one_predicts_the_overall_mean():
    # Without features the regression is its intercept: the mean of every sample.
    samples = smooth_noisy_series(4, 20, seed=7)
    result = tacitor.denoise_linear_regression(samples, 1, 1)
    np.testing.assert_allclose(
        result, np.full(samples.shape, samples.astype(np.float64).mean()), rtol=1e-4, atol=1e-5
    )


def test_layout_of_the_input_does_not_matter():
    samples = smooth_noisy_series(6, 30, seed=3)
    expected = tacitor.denoise_linear_regression(samples, 5, 2)
    fortran = np.asfortranarray(samples)
    reversed_view = samples[::-1].copy()[::-1]
    strided = np.repeat(samples, 2, axis=1)[:, ::2]
    for variant in (fortran, reversed_view, strided):
        np.testing.assert_array_equal(tacitor.denoise_linear_regression(variant, 5, 2), expected)


def test_gaps_between_windows_are_nan_columns():
    samples = smooth_noisy_series(4, 10, seed=11)
    # Starts 0, 4, 7 with width 3 leave time position 3 uncovered.
    result = tacitor.denoise_linear_regression(samples, 3, 4)
    assert np.isnan(result[:, 3]).all()
    assert np.isfinite(np.delete(result, 3, axis=1)).all()
    np.testing.assert_allclose(result, lstsq_denoise(samples, 3, 4), rtol=1e-4, atol=2e-5)


def test_zero_window_is_an_unsupported_shape():
    samples = smooth_noisy_series(3, 12, seed=1)
    with pytest.raises(ValueError) as info:
        tacitor.denoise_linear_regression(samples, 0, 1)
    assert info.value.args == ("ShapeError/Unsupported: unsupported operation",)


def test_window_larger_than_the_series_names_both_sizes():
    samples = smooth_noisy_series(3, 10, seed=1)
    with pytest.raises(ValueError) as info:
        tacitor.denoise_linear_regression(samples, 12, 1)
    assert info.value.args == ("window_size (12) is larger than the series length (10)",)


def internal_failure_of(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - must not be an ordinary exception
        pytest.fail(f"expected an internal failure, got {type(error).__name__}: {error}")
    except BaseException as error:
        assert type(error).__mro__[1] is BaseException
        return error
    pytest.fail("expected an internal failure, the call succeeded")


def test_zero_stride_is_an_internal_failure():
    samples = smooth_noisy_series(3, 10, seed=1)
    error = internal_failure_of(lambda: tacitor.denoise_linear_regression(samples, 3, 0))
    assert error.args == ("attempt to calculate the remainder with a divisor of zero",)
    # Checked before the window size is compared with the series length.
    error = internal_failure_of(lambda: tacitor.denoise_linear_regression(samples, 30, 0))
    assert error.args == ("attempt to calculate the remainder with a divisor of zero",)


def test_fewer_training_rows_than_window_positions_is_an_internal_failure():
    # One series and one window: one training row for a system of four unknowns.
    samples = smooth_noisy_series(1, 4, seed=2)
    internal_failure_of(lambda: tacitor.denoise_linear_regression(samples, 4, 1))
    # No series at all: the training sets have no rows.
    internal_failure_of(
        lambda: tacitor.denoise_linear_regression(np.zeros((0, 8), np.float32), 3, 1)
    )


def test_constant_and_duplicated_series_are_solved_not_rejected():
    # Identical feature columns make the design rank deficient; the minimum-norm solution
    # still reproduces constant series.
    samples = np.full((3, 12), 2.5, dtype=np.float32)
    result = tacitor.denoise_linear_regression(samples, 4, 1)
    np.testing.assert_allclose(result, samples, rtol=1e-5, atol=1e-5)
