"""The learnt filter at a slower sampling rate, for batches with few training rows."""

import numpy as np
import pytest

import tacitor
from tacitor_tools import auto_denoise, fit, select
from tacitor_tools.selection.slower_rate import (
    back_to_full_rate,
    prediction,
    self_influence,
    slower,
)


def slow_sensor(seed: int, series: int = 2, sigma: float = 0.3) -> tuple[np.ndarray, np.ndarray]:
    """A slow drift read through a converter that rounds to one noise σ."""
    rng = np.random.default_rng(seed)
    t = np.arange(512)
    freqs = rng.uniform(0.0005, 0.006, (series, 2, 1))
    phases = rng.uniform(0, 2 * np.pi, (series, 2, 1))
    clean = np.sin(2 * np.pi * freqs * t + phases).sum(axis=1)
    noisy = np.round((clean + sigma * rng.standard_normal(clean.shape)) / sigma) * sigma
    return clean, noisy.astype(np.float32)


def error(out: np.ndarray, clean: np.ndarray) -> float:
    return float(np.mean((out.astype(np.float64) - clean) ** 2))


def test_pairs_and_the_line_back_keep_a_straight_line_and_skip_missing_samples():
    line = np.arange(11, dtype=np.float64)[None, :] * 0.5 + 1.0
    pairs = slower(line, 2)
    assert pairs.shape == (1, 6) and pairs[0, -1] == line[0, -1]  # odd length: a lone pair
    np.testing.assert_allclose(back_to_full_rate(pairs, 11, 2)[0, 1:-1], line[0, 1:-1], rtol=1e-6)
    fours = slower(line, 4)
    assert fours.shape == (1, 3) and fours[0, -1] == line[0, 9]  # the last group: 3 samples
    np.testing.assert_allclose(back_to_full_rate(fours, 11, 4)[0, 2:-2], line[0, 2:-2], rtol=1e-6)
    gappy = line.copy()
    gappy[0, 4] = np.nan
    assert slower(gappy, 2)[0, 2] == line[0, 5]  # the pair's observed sample alone
    gappy[0, 4:6] = np.nan
    assert np.isnan(slower(gappy, 2)[0, 2])
    out = prediction(np.vstack([gappy, line, line + 1.0]).astype(np.float32), 2, 2, "linear")
    assert out.shape == (3, 11) and np.all(np.isfinite(out))


def test_a_slow_signal_with_few_rows_is_denoised_better_at_a_slower_rate():
    clean, noisy = slow_sensor(0)
    out, selection = auto_denoise(noisy)
    assert selection.slower_rate is not None
    full_rate = select(noisy, window_sizes=(selection.window_size,))
    assert full_rate.slower_rate is None
    assert error(out, clean) < 0.9 * error(full_rate.denoise(noisy), clean)
    # The route's own weight, not only the local one, must suit its output.
    one_k = selection.denoise(noisy, combination="global")
    assert error(one_k, clean) < 0.9 * error(full_rate.denoise(noisy, combination="global"), clean)
    np.testing.assert_array_equal(out, selection.denoise(noisy))
    assert selection.gain_db == pytest.approx(
        10 * np.log10(selection.noise_std**2 / selection.loss)
    )
    # The route's pull towards its own samples' noise is counted: without it the loss
    # estimate fell to zero here and the gain read as the 40 dB cap.
    pure = selection.denoise(noisy, blend=False)
    true_gain = 10 * np.log10(error(noisy, clean) / error(pure, clean))
    assert abs(selection.gain_db - true_gain) < 3.0
    # A known noise level re-judges the weight, not the route.
    known = selection.with_noise_std(0.3)
    assert known.slower_rate == selection.slower_rate
    assert known.loss == selection.slower_rate.loss(0.09)
    # A trained denoiser runs at the full rate, with that window's own weight (here, with
    # the noise level estimated, both weights are within their uncertainty of 0).
    assert known.at_full_rate().blend_weight != known.blend_weight > 0.0
    assert fit(noisy, "auto").blend_weight == selection.at_full_rate().blend_weight
    # New data too short for the route: the refusal counts means, and says so.
    with pytest.raises(ValueError, match="of the sampling rate"):
        selection.denoise(noisy[:, :9])


def test_the_full_rate_stays_where_the_data_say_so_and_is_tacitors_call():
    rng = np.random.default_rng(1)
    t = np.arange(512)
    clean = np.sin(2 * np.pi * t / rng.uniform(5, 7, (2, 1)))  # changes within a few samples
    noisy = (clean + 0.3 * rng.standard_normal(clean.shape)).astype(np.float32)
    _, fast = auto_denoise(noisy)
    assert fast.slower_rate is None
    _, many = auto_denoise(slow_sensor(0, series=16)[1])
    assert many.slower_rate is None  # enough training rows for the full-rate fit
    # A window given by the caller is that window at full rate, tacitor's own call.
    _, few = slow_sensor(0)
    given = select(few, window_sizes=(32,))
    assert given.slower_rate is None
    np.testing.assert_array_equal(
        given.denoise(few, blend=False), tacitor.denoise_linear_regression(few, 32, 1)
    )
    np.testing.assert_array_equal(
        fast.denoise(noisy, blend=False),
        tacitor.denoise_linear_regression(noisy, fast.window_size, 1),
    )


def test_self_influence_matches_moving_each_sample_alone():
    _, noisy = slow_sensor(3)
    noisy = noisy[:, :256].copy()
    noisy[0, 10] = np.nan
    observed = np.isfinite(noisy)
    out = prediction(noisy, 2, 8, "linear").astype(np.float64)
    exact = []
    for row, col in zip(*np.nonzero(observed)):
        moved = noisy.copy()
        moved[row, col] += np.float32(0.01)
        change = float(moved[row, col]) - float(noisy[row, col])
        exact.append((prediction(moved, 2, 8, "linear")[row, col] - out[row, col]) / change)
    estimate = self_influence(noisy, observed, out, 2, 8, "linear", seed=0)
    assert estimate == pytest.approx(np.mean(exact), rel=0.2)
