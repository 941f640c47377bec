"""Choosing the window from the noisy data alone: estimates, choices, warnings, failures."""

import sys
import warnings

import numpy as np
import pytest

import tacitor_tools
from tacitor_tools import auto_denoise, held_out_loss, select
from tacitor_tools.glitches import find_glitches, glitch_mask
from tacitor_tools.selection.noise import estimate_noise


def sines(series, length, noise, seed=1, period=(30, 80)):
    rng = np.random.default_rng(seed)
    t = np.arange(length)
    clean = np.sin(
        2 * np.pi * t / rng.uniform(*period, size=(series, 1)) + rng.uniform(0, 6, (series, 1))
    )
    return clean, clean + noise * rng.standard_normal(clean.shape)


def true_mse(out, clean):
    return float(np.mean((out - clean) ** 2))


@pytest.mark.parametrize("protocol", ["insample", "masked", "masked-2"])
def test_estimates_track_the_true_error_and_the_choice_is_near_the_best(protocol):
    clean, noisy = sines(4, 600, 0.3)
    selection = select(noisy, window_sizes=(2, 4, 8, 16, 32), protocol=protocol)
    assert abs(selection.noise_std / 0.3 - 1) < 0.1
    truth = {w: true_mse(tacitor_tools.denoise(noisy, w), clean) for w in (2, 4, 8, 16, 32)}
    for row in selection.table:
        assert row.std_error is not None and row.std_error > 0 and row.seconds >= 0
        assert row.loss == pytest.approx(truth[row.window_size], rel=0.25, abs=3 * row.std_error)
    assert truth[selection.window_size] <= 10**0.05 * min(truth.values())
    if protocol == "insample":  # the masked estimates rest on a few hundred samples here
        assert selection.gain_db == pytest.approx(
            10 * np.log10(0.09 / truth[selection.window_size]), abs=1.0
        )
    assert held_out_loss(noisy, selection.window_size, protocol=protocol) == pytest.approx(
        selection.loss, rel=1e-6
    )


def test_auto_denoise_output_and_blend():
    clean, noisy = sines(4, 600, 0.3)
    out, selection = auto_denoise(noisy, window_sizes=(4, 8, 16))
    np.testing.assert_array_equal(out, selection.denoise(noisy))
    assert out.dtype == np.float64
    # Pure noise as the "signal": every window makes it worse; with the noise level given,
    # the blend must not be worse than the input.
    rng = np.random.default_rng(5)
    rough = rng.standard_normal((4, 600))
    data = rough + 0.5 * rng.standard_normal(rough.shape)
    blended, sel = auto_denoise(data, window_sizes=(4, 8), noise_std=0.5, blend=True)
    assert any("leaving the data" in w for w in sel.warnings)
    assert true_mse(blended, rough) <= true_mse(data, rough)
    assert sel.blend_weight > 0.5 and sel.noise_given
    # Re-judging a search with a known noise level is the search made with it.
    estimated = select(data, window_sizes=(4, 8))
    rejudged, direct = (
        estimated.with_noise_std(0.5),
        select(data, window_sizes=(4, 8), noise_std=0.5),
    )
    assert rejudged.window_size == direct.window_size
    assert rejudged.blend_weight == pytest.approx(direct.blend_weight)
    assert [r.loss for r in rejudged.table] == pytest.approx([r.loss for r in direct.table])


def test_rough_signals_and_correlated_noise_are_warned_about():
    rng = np.random.default_rng(2)
    pulses = np.tile([1.0, 0.0, 0.0, 0.0], (8, 150))
    sel = select(pulses + 0.1 * rng.standard_normal(pulses.shape), window_sizes=(4, 8))
    assert any("rough" in w for w in sel.warnings)
    clean, _ = sines(8, 600, 0.0)
    ar = np.zeros(clean.shape)
    drive = 0.3 * rng.standard_normal(clean.shape)
    for t in range(1, clean.shape[1]):
        ar[:, t] = 0.8 * ar[:, t - 1] + drive[:, t]
    sel = select(clean + ar, window_sizes=(4, 8, 16))
    assert any("correlated in time" in w for w in sel.warnings)
    _, white = sines(8, 600, 0.3)
    assert not any("correlated" in w for w in select(white, window_sizes=(4, 8, 16)).warnings)


@pytest.mark.slow
def test_grid_edges():
    # Slow sines, little noise, enough rows: the widest default window is the best of the grid.
    clean, noisy = sines(12, 400, 0.05, period=(300, 600))
    extended = select(noisy, window_sizes=None)
    assert 96 in [row.window_size for row in extended.table]
    # 12 × 400 is few rows for window 64: a slower rate may be kept; the full rate's choice
    # is still the best of the extended table.
    assert extended.at_full_rate().loss == min(row.loss for row in extended.table)
    user = select(noisy, window_sizes=(4, 8))
    assert user.window_size == 8 and any("widest of the grid" in w for w in user.warnings)
    _, few = sines(4, 250, 0.05, period=(300, 600))
    small = select(few, window_sizes=None)
    assert any("not tried" in w for w in small.warnings)
    # Chirps whose estimate keeps falling: the grid stops where the exact output would cost
    # an order of magnitude more than at window 64, unless the output takes the Gram route.
    rng = np.random.default_rng(0)
    t = np.arange(512)
    f0, f1 = rng.uniform(0.001, 0.005, (100, 1)), rng.uniform(0.04, 0.1, (100, 1))
    chirps = np.cos(2 * np.pi * (f0 * t + (f1 - f0) * t**2 / 1024) + rng.uniform(0, 6, (100, 1)))
    chirps += 0.2 * rng.standard_normal(chirps.shape)
    capped = select(chirps)
    assert capped.window_size == 128 and any("exact output" in w for w in capped.warnings)
    _, lifted = auto_denoise(chirps, solver="gram")
    assert lifted.window_size > 128


def test_missing_values_are_imputed_and_only_observed_samples_scored():
    clean, noisy = sines(4, 600, 0.3)
    holed = noisy.copy()
    holed[np.random.default_rng(1).random(noisy.shape) < 0.05] = np.nan
    holed[3] = np.nan
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out, selection = auto_denoise(holed, window_sizes=(4, 8, 16))
    assert np.isfinite(out[:3]).all() and np.isnan(out[3]).all()
    assert abs(selection.noise_std / 0.3 - 1) < 0.15


def test_failures_and_degenerate_grids():
    _, noisy = sines(2, 100, 0.3)
    with pytest.raises(ValueError, match="no observed value"):
        select(np.full((3, 50), np.nan))
    with pytest.raises(ValueError, match="too few observed samples to mask"):
        select(noisy[:1, :60], window_sizes=(4,), protocol="masked")
    with pytest.raises(ValueError, match="no candidate fits"):
        select(noisy, window_sizes=(200,))
    # 1 series of 40: window 32 leaves 9 training rows for 32 parameters.
    with pytest.raises(ValueError, match="too few for the in-sample estimate"):
        select(noisy[:1, :40], window_sizes=(32,), protocol="insample")
    sel = select(noisy[:1, :40], window_sizes=(4, 32), protocol="insample")
    assert sel.window_size == 4 and any("left out" in w for w in sel.warnings)
    strided = select(noisy, window_sizes=(2, 8), strides=(1, 4))  # no stride wider than w
    assert [(r.window_size, r.stride) for r in strided.table] == [(2, 1), (8, 1), (8, 4)]
    one = select(noisy, window_sizes=(8,))
    assert one.window_size == 8 and any("only one candidate" in w for w in one.warnings)
    for bad in (
        {"protocol": "magic"},
        {"method": "forest"},
        {"window_sizes": ()},
        {"noise_std": -1.0},
        {"strides": (0,)},
    ):
        with pytest.raises(ValueError):
            select(noisy, **bad)


def test_budget_progress_and_plot(monkeypatch):
    _, noisy = sines(8, 1000, 0.3)
    calls = []
    sel = select(
        noisy,
        window_sizes=(2, 64),
        time_budget_s=1e-9,
        progress=lambda done, total, text: calls.append((done, total)),
    )
    assert [row.window_size for row in sel.table] == [2]
    assert any("time budget" in w for w in sel.warnings)
    assert calls and calls[-1] == (1, 2)
    select(noisy, window_sizes=(2, 4), progress=True)
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    assert sel.plot().get_xlabel() == "window_size"
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match="pip install matplotlib"):
        sel.plot()


def test_the_auto_path_combines_prediction_and_observation_by_default():
    from tacitor_tools import routing
    from tacitor_tools.cli import main

    clean, noisy = sines(16, 600, 0.3)
    out, selection = auto_denoise(noisy, window_sizes=(4, 8, 16))
    pure, _ = auto_denoise(noisy, window_sizes=(4, 8, 16), blend=False)
    np.testing.assert_array_equal(pure, tacitor_tools.denoise(noisy, selection.window_size))
    assert 0 < selection.blend_weight < 1
    one_k = selection.denoise(noisy, combination="global")
    np.testing.assert_allclose(one_k, pure + selection.blend_weight * (noisy - pure), rtol=1e-6)
    assert true_mse(out, clean) < true_mse(pure, clean)
    # An integer window keeps the native call unless the blend is asked for; so does the CLI.
    assert routing.Settings(window_size="auto").blended
    assert not routing.Settings(window_size=8).blended
    assert routing.Settings(window_size=8, blend=True).blended
    for window, blended in (("auto", True), ("8", False)):
        args = main.build_parser().parse_args(["denoise", "in.csv", "-o", "x", "-w", window])
        assert routing.Settings(window_size=args.window, blend=args.blend).blended == blended


def test_an_uncertain_blend_weight_is_warned_about():
    _, few = sines(1, 48, 0.3, seed=3)
    assert any(
        "blend weight k is uncertain" in w for w in select(few, window_sizes=(4, 8)).warnings
    )
    _, many = sines(64, 600, 0.3)
    assert not any("uncertain" in w for w in select(many, window_sizes=(4, 8)).warnings)


@pytest.mark.parametrize("size", [1e3, 1e7])
def test_one_glitch_is_treated_as_missing_and_reported(size):
    clean, noisy = sines(32, 1024, 0.3)
    noisy = noisy.astype(np.float32)
    hit = noisy.copy()
    hit[3, 500] += np.float32(size * 0.3)
    outside = np.ones(clean.shape, bool)
    outside[3, 500] = False
    reference, _ = auto_denoise(noisy, window_sizes=(8,))
    out, selection = auto_denoise(hit, window_sizes=(8,))
    assert selection.glitches == ((3, 500),)
    assert any(
        w.startswith("1 glitch treated as missing") and "(3, 500)" in w for w in selection.warnings
    )
    assert true_mse(out[outside], clean[outside]) <= 10**0.03 * true_mse(
        reference[outside], clean[outside]
    )
    assert abs(out[3, 500] - clean[3, 500]) < 1.0  # predicted from its neighbours
    # auto_denoise reuses the search's mask: the selection, looking again, gives the same.
    np.testing.assert_array_equal(out, selection.denoise(hit))
    # Turned off, the glitch is fitted like any sample and pulls every series.
    kept, unchecked = auto_denoise(hit, window_sizes=(8,), glitches=False)
    assert unchecked.glitches == () and not unchecked.glitch_detection
    assert true_mse(kept[outside], clean[outside]) > 2 * true_mse(out[outside], clean[outside])
    # A selection looks for glitches in every batch it denoises.
    other = noisy[::-1].copy()
    other[7, 100] = np.float32(1e6)
    assert abs(selection.denoise(other)[7, 100]) < 5.0


@pytest.mark.parametrize("length", [20, 52, 160])
def test_glitches_are_found_in_series_too_short_for_the_span_quantiles(length):
    rng = np.random.default_rng(length)
    x = np.sin(np.arange(length) / 5.0) + 0.1 * rng.standard_normal((4, length))
    assert not find_glitches(x).any()
    x[1, length // 2], x[2, 3], x[2, -4] = 100.0, -50.0, 60.0
    hits = set(zip(*np.nonzero(find_glitches(x))))
    assert hits == {(1, length // 2), (2, 3), (2, length - 4)}


def test_no_glitch_in_batches_without_outliers():
    from tacitor_tools.glitches import SPAN_QUANTILE, find_glitches, running_median, value_span

    # Rows without NaN take a faster median; it must be the NaN-aware one's.
    x = np.random.default_rng(2).standard_normal((5, 40))
    x[1, 3], x[2, ::2] = np.nan, np.nan
    windows = np.lib.stride_tricks.sliding_window_view(np.pad(x, ((0, 0), (2, 2)), "edge"), 5, 1)
    np.testing.assert_array_equal(running_median(x), np.nanmedian(windows, axis=2))
    y = np.random.default_rng(3).standard_normal((3, 800))
    y[1, 5] = np.nan
    high, low = np.nanquantile(y, (1 - SPAN_QUANTILE, SPAN_QUANTILE), axis=1)
    np.testing.assert_array_equal(value_span(y), high - low)
    assert not find_glitches(np.zeros((3, 50))).any()
    steps = np.repeat(np.array([[0.0, 5.0, -3.0, 0.0]]), 25, axis=1).repeat(4, axis=0)
    steps[1, 10:14] = np.nan
    assert not find_glitches(steps).any()
    spiky = np.zeros((2, 400))
    spiky[:, ::40] = 1.0  # regular one-sample peaks are part of the signal's span
    assert not find_glitches(
        spiky + 0.01 * np.random.default_rng(1).standard_normal(spiky.shape)
    ).any()


def test_impulsive_noise_is_treated_as_missing_but_one_sided_or_rare_excursions_are_not():
    clean, noisy = sines(4, 512, 0.3, seed=5)
    rng = np.random.default_rng(7)
    hits = rng.random(clean.shape) < 0.01  # 17 impulses of 12 noise levels, either sign
    signs = rng.choice((-1.0, 1.0), hits.sum())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        reference, _ = auto_denoise(noisy)
        impulsive = noisy.copy()
        impulsive[hits] += 3.6 * signs
        out, selection = auto_denoise(impulsive)
        kept, _ = auto_denoise(impulsive, glitches=False)
        # Each impulse alone: the blend kept it and the noise around it (20 times the error).
        assert glitch_mask(noisy.shape, selection.glitches).tolist() == hits.tolist()
        assert selection.impulsive and not auto_denoise(noisy)[1].impulsive
        assert true_mse(out, clean) < 1.1 * true_mse(reference, clean) < 0.1 * true_mse(kept, clean)
        # Events of one sign, each caught by one sample, are the signal's; so are a few.
        events = noisy.copy()
        events[hits] += 3.6
        assert auto_denoise(events)[1].glitches == ()
        few = noisy.copy()
        few[tuple(np.argwhere(hits)[:3].T)] += 3.6
        assert auto_denoise(few)[1].glitches == ()


def test_impulses_read_through_a_converter_are_caught_but_dense_steps_are_not():
    # A slow drift rounded to steps of about the noise level, with impulses of 7.7 steps at
    # least three samples apart: rounding puts a neighbour a quarter of the impulse off its
    # line often enough that the share alone missed 27 of 386 impulses.
    t = np.arange(512)
    missed = total = 0
    for seed in range(20):
        rng = np.random.default_rng(seed)
        phase = rng.uniform(0.0005, 0.006, (4, 1)) * t + rng.uniform(0, 6, (4, 1))
        hits = rng.random((4, 512)) < 0.01
        hits[:, :2] = hits[:, -2:] = False
        hits[:, 1:] &= ~hits[:, :-1]
        hits[:, 2:] &= ~hits[:, :-2]
        noisy = 8.0 * np.sin(2 * np.pi * phase) + 0.64 * rng.standard_normal((4, 512))
        noisy[hits] += 7.7 * rng.choice((-1.0, 1.0), hits.sum())
        found = find_glitches(np.round(noisy))
        assert not (found & ~hits).any()
        missed, total = missed + int((hits & ~found).sum()), total + int(hits.sum())
    assert missed <= 0.03 * total
    # Steps of 13 noise levels every 8 samples, both ways: both neighbours of a step's edge
    # are off their lines by about 3 noise levels, as the neighbours of an impulse may be,
    # but in opposite directions.
    for seed in range(8):
        rng = np.random.default_rng(seed)
        jumps = np.zeros((4, 512))
        jumps[:, 8::8] = 13.0 * rng.choice((-1.0, 1.0), (4, 63))
        assert not find_glitches(np.cumsum(jumps, axis=1) + rng.standard_normal((4, 512))).any()


def test_the_search_stops_once_the_estimate_levels_off():
    rng = np.random.default_rng(4)
    cuts = np.sort(rng.integers(0, 640, size=(48, 1, 15)), axis=2)
    levels = rng.uniform(-1.5, 1.5, size=(48, 16))
    steps = (np.arange(640)[None, :, None] >= cuts).sum(axis=2)  # steps at random places
    clean = np.take_along_axis(levels, steps, axis=1)
    noisy = clean + 0.3 * rng.standard_normal(clean.shape)
    full = select(noisy, window_sizes=(4, 8, 16, 32, 64))
    quick = select(noisy)
    tried = [row.window_size for row in quick.table]
    assert 64 not in tried and tried == sorted(tried)
    # Leaving out the wider windows costs almost nothing against the full grid's choice.
    truth = {
        w: true_mse(tacitor_tools.denoise(noisy, w), clean)
        for w in (quick.window_size, full.window_size)
    }
    assert truth[quick.window_size] <= 10**0.01 * truth[full.window_size]


def test_the_progress_bar_advances_by_the_predicted_cost(monkeypatch):
    import types

    updates, totals = [], []

    class Bar:
        def __init__(self, total, **_):
            self.total = total

        def update(self, n):
            updates.append(n)

        def set_postfix_str(self, _):
            pass

        def refresh(self):
            pass

        def close(self):
            totals.append(self.total)

    monkeypatch.setitem(sys.modules, "tqdm.auto", types.SimpleNamespace(tqdm=Bar))
    _, noisy = sines(8, 400, 0.3)
    select(noisy, window_sizes=(4, 8, 16), progress=True)
    # A linear candidate, scored through the Gram route, costs rows × window²: each doubling
    # of the window about 4× more.
    assert len(updates) == 3 and updates[0] == pytest.approx(1.0)
    assert updates[1] / updates[0] == pytest.approx(4 * 393 / 397, rel=0.01)
    assert totals == [pytest.approx(sum(updates), abs=0.05)]


def test_the_estimate_stays_unbiased_when_the_larger_series_are_the_noisier():
    # The shared fit's leverage is highest on the largest series, which are here also the
    # noisiest: σ²·p/N alone made the estimate of a few-series batch far too optimistic.
    t = np.arange(512)
    size = np.array([0.5, 0.5, 2.0, 2.0])[:, None]
    noise_std = float(np.sqrt(np.mean((0.5 * size) ** 2)))
    ratios = []
    for seed in range(6):
        rng = np.random.default_rng(seed)
        clean = size * np.sin(
            2 * np.pi * t / rng.uniform(80, 160, (4, 1)) + rng.uniform(0, 6, (4, 1))
        )
        noisy = clean + 0.5 * size * rng.standard_normal(clean.shape)
        selection = select(noisy, window_sizes=(64,), noise_std=noise_std)
        pure = selection.denoise(noisy, blend=False)
        ratios.append(selection.loss / np.mean((pure - clean) ** 2))
    assert 0.6 < np.mean(ratios) < 1.5


def test_sparse_sharp_features_do_not_pass_for_noise():
    # Steps and narrow pulses at a high signal-to-noise ratio: a mean of squared differences
    # counts their jumps as noise (several times the true level); the trimmed one does not.
    rng = np.random.default_rng(4)
    t = np.arange(1024)
    clean = np.where((t // 97) % 2 == 0, 1.0, -1.0) * np.ones((8, 1))
    clean[:, 50::120] += 3.0
    noisy = clean + 0.03 * rng.standard_normal(clean.shape)
    assert 0.8 < estimate_noise(noisy).variance / 0.03**2 < 1.6
    white = rng.standard_normal((4, 512))  # and on plain noise the estimate is the mean square
    assert estimate_noise(white).variance == pytest.approx(np.mean(white**2), rel=0.1)


def test_oscillation_bursts_do_not_pass_for_noise_and_short_series_are_not_read_low():
    # Wave packets of 3 to 20 samples per cycle over most of each series, 26 dB above the
    # noise: they leak into the low orders' differences (1.8 to 3 times the noise level),
    # and only higher orders see the noise alone.
    t = np.arange(512)
    for seed in range(6):
        rng = np.random.default_rng(seed)
        clean = np.zeros((4, 512))
        for row in clean:
            for centre in rng.choice(np.arange(40, 472), size=4, replace=False):
                width, cycles = rng.uniform(15, 40), rng.uniform(0.05, 0.2)
                envelope = np.exp(-0.5 * ((t - centre) / width) ** 2)
                row += envelope * np.sin(2 * np.pi * cycles * (t - centre))
        noise = 0.05 * rng.standard_normal(clean.shape)
        assert 0.8 < estimate_noise(clean + noise).variance / np.mean(noise**2) < 1.25
    # On a few dozen samples of white noise, neighbouring orders differ by chance: climbing
    # on such differences would read the level low.
    rng = np.random.default_rng(0)
    short = [rng.standard_normal((1, 32)) for _ in range(400)]
    assert np.mean([estimate_noise(x).variance / np.mean(x**2) for x in short]) > 0.95


def test_a_blend_weight_within_the_noise_levels_scatter_is_not_kept():
    # Few series: the estimated σ² scatters by its stated standard error (white noise over a
    # slow sine)...
    t = np.arange(512)
    draws = [np.random.default_rng(s).standard_normal((2, 512)) for s in range(200)]
    scatter = np.std([estimate_noise(np.sin(t / 50.0) + x).variance for x in draws])
    assert scatter == pytest.approx(estimate_noise(draws[0]).relative_error, rel=0.25)
    # ...and a k that such an error alone can produce cost up to 1.2 dB against the pure
    # prediction on a slow drift read through a converter that rounds to the noise level,
    # where the best k is near 0. Shrunk, it costs at most 0.25 dB, where σ² is 11 % low.
    for seed in range(8):
        rng = np.random.default_rng(seed)
        phase = rng.uniform(0.0005, 0.006, (2, 1)) * t + rng.uniform(0, 6, (2, 1))
        clean = 8.0 * np.sin(2 * np.pi * phase)
        noisy = np.round(clean + rng.standard_normal(clean.shape)).astype(np.float32)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            out, selection = auto_denoise(noisy)
        pure = selection.denoise(noisy, blend=False)
        assert true_mse(out, clean) <= 1.06 * true_mse(pure, clean)
