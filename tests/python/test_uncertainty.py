"""Error bars and anomaly scores of trained denoisers: the mechanics (the calibration and
detection figures are measured in bench/anomalies.py)."""

import numpy as np
import pytest

from tacitor_tools import fit, uncertainty


def sines(series, length, seed, noise=0.2):
    rng = np.random.default_rng(seed)
    t = np.arange(length)
    clean = np.sin(
        2 * np.pi * t / rng.uniform(60, 120, (series, 1)) + rng.uniform(0, 6, (series, 1))
    )
    return clean, clean + noise * rng.standard_normal((series, length))


@pytest.fixture(scope="module")
def denoiser():
    _, x = sines(24, 600, seed=1)
    return fit(x.astype(np.float32), 12)


def test_bands_follow_the_local_held_out_error(denoiser):
    clean, x = sines(4, 600, seed=2)
    # A burst of fast oscillation the estimators never saw: the prediction misses it there.
    burst = slice(300, 360)
    x[:, burst] += 1.5 * np.sin(np.arange(60) * 2.5)
    out, std = denoiser.denoise(x, return_std=True)
    assert out.dtype == std.dtype == np.float64 and std.shape == x.shape
    assert np.all(std > 0)
    assert np.median(std[:, burst]) > 4 * np.median(std[:, :200])
    lower, upper = denoiser.bands(x, 0.95)
    assert np.all(lower < out) and np.all(out < upper)
    narrow_lower, _ = denoiser.bands(x, 0.5)
    assert np.all(narrow_lower > lower)
    # Away from the burst the band holds the clean signal about as often as it says.
    inside = (clean >= lower) & (clean <= upper)
    assert 0.85 < inside[:, :250].mean() <= 1.0
    # float32 in, float32 out; the prediction is the one denoise gives.
    out32, std32 = denoiser.denoise(x.astype(np.float32), return_std=True)
    assert std32.dtype == np.float32
    np.testing.assert_array_equal(out32, denoiser.denoise(x.astype(np.float32)))


def test_a_blended_output_gets_the_smaller_error_of_the_mix():
    _, x = sines(16, 400, seed=3, noise=0.5)
    auto = fit(x, 12)
    auto.blend_weight = 0.3  # as a fit with window_size="auto" would have set it
    _, blended = auto.denoise(x, return_std=True)
    _, pure = auto.denoise(x, blend=False, return_std=True)
    k = auto.blend_weight
    # (1 − k)²e + k²σ² lies between the prediction's error and the noise's.
    assert np.all(blended >= (1 - k) * pure - 1e-12)
    assert not np.allclose(blended, pure)


def test_an_isolated_spike_is_flagged_and_clean_data_are_not(denoiser):
    _, x = sines(8, 600, seed=4)
    quiet = denoiser.anomalies(x)
    assert quiet.scores.shape == x.shape and quiet.mask.dtype == bool
    assert quiet.mask.mean() < 0.002
    spiked = x.copy()
    spiked[3, 250] += 20 * 0.2
    spiked[5, 40] -= 20 * 0.2
    found = denoiser.anomalies(spiked)
    assert found.mask[3, 250] and found.mask[5, 40]
    assert found.scores[3, 250] > 10 and found.scores[5, 40] < -10
    # The spike does not hide itself by inflating the scale around it.
    assert found.mask.sum() <= quiet.mask.sum() + 2
    assert denoiser.anomalies(spiked, threshold=50).mask.sum() == 0


def test_refusals_leave_the_denoiser_usable(denoiser):
    _, x = sines(2, 300, seed=5)
    expected = denoiser.denoise(x, return_std=True)
    for level in (0, 1, 1.5, "0.9"):
        with pytest.raises(ValueError, match="level must be"):
            denoiser.bands(x, level)
    for threshold in (0, -1, float("nan"), None):
        with pytest.raises(ValueError, match="threshold must be"):
            denoiser.anomalies(x, threshold)
    with pytest.raises(ValueError, match="shorter than the trained window"):
        denoiser.anomalies(x[:, :5])
    gappy = x.copy()
    gappy[0, 5] = np.nan
    with pytest.raises(ValueError, match="missing values"):
        denoiser.denoise(gappy, return_std=True)
    for got, want in zip(denoiser.denoise(x, return_std=True), expected):
        np.testing.assert_array_equal(got, want)


def test_missing_samples_score_nan_and_get_the_prediction_error():
    _, x = sines(6, 300, seed=6)
    imputing = fit(x, 8, missing="impute")
    gappy = x.copy()
    gappy[1, 100:104] = np.nan
    out, std = imputing.denoise(gappy, return_std=True)
    assert np.isfinite(out).all() and np.isfinite(std).all()
    scores, mask = imputing.anomalies(gappy)
    assert np.isnan(scores[1, 100:104]).all() and not mask[1, 100:104].any()


def test_sharp_beats_widen_the_bands_near_them_and_leave_the_noise_level_alone(denoiser):
    clean, x = sines(6, 600, seed=7)
    # Narrow tall beats every 150 samples, which the estimators never saw.
    beats = np.arange(75, 600, 150)
    shape = np.array([1.0, 4.0, 8.0, 4.0, 1.0])
    for offset, height in zip(range(-2, 3), shape):
        clean[:, beats + offset] += height
        x[:, beats + offset] += height
    # The beats' differences do not count as noise.
    np.testing.assert_allclose(uncertainty.robust_difference_variances(x), 0.2**2, rtol=0.25)
    _, std = denoiser.denoise(x, blend=False, return_std=True)
    # The error bars widen where the prediction sees a beat, not over the series.
    assert np.median(std[:, beats]) > 5 * np.median(std[:, beats + 40])
    assert np.median(std[:, beats + 40]) < 0.2
