"""The learnt filter at a slower sampling rate, for batches too small to fit it at full rate.

A least-squares fit of w coefficients from N training rows adds about σ²·w/N to the error of
its output. On a slow signal, whose best smoother spans tens of samples, a batch of a few
series has too few rows for that many coefficients: on 2 series × 512 samples of a quantised
sensor, σ²·w/N at window 32 (0.033σ²) is two thirds of the whole error of the moving average
chosen by cross-validation (0.049σ²). Read at
half the rate (the mean of each pair of neighbouring samples), the same span needs half the
coefficients, and each pair's mean carries half the noise variance; the pairs are denoised by
the same native call, and every sample's output is read off the straight line between the
outputs of the pairs around it. A quarter and an eighth of the rate halve them again.

Whether that pays is decided by the data, by a held-out estimate that the routes share: a
few masks each hide about one sample in ten (:func:`.protocols.make_masks`), every route runs
on the masked data, and the paired difference of each slower route's squared errors at the
hidden samples from the full rate's decides: the route furthest below the full rate wins. At
each rate the windows spanning the full rate's time, half of it and twice it are tried: with
fewer coefficients to fit, a slower rate can afford the wider span that the full rate could
not. The masks hide a sample from everything, the
means and the line between them included, so the comparison has no optimism term to get
wrong. A signal that
changes within a few samples (a chirp's fast end, AR(2) noise, sines of a few tens of
samples per period) loses detail at the slower rate, and there the faster rate wins. Like
the search's candidates, the routes are scored through the Gram route
(:mod:`.scoring`): at window 256 on 60 × 512, the six masked exact calls took minutes.

The route's loss (and so its gain and blend weight) is then estimated from its own output on
the unmasked batch, as the full rate's is: ``mean((f − x)²) − σ² + 2σ²·d``, where d is the
mean over samples of ∂f_i/∂x_i, the output's pull towards its own sample's noise. The native
call never reads a group to predict it, but the line back to the full rate reads a sample's
group through its neighbours' outputs, which did read it, and the fit's coefficients were
learnt from it too. Both are small per sample (d is a few hundredths), but at low noise they
are as large as the whole loss: without them a batch of slow sines at σ = 0.05 reported the
40 dB cap for a true gain of 14.6 dB, and no blend at all. d is measured by perturbing one
sample in every stretch longer than a perturbation's reach and reading the output's change
there (:func:`self_influence`). The masked error is no estimate of the loss here: a hidden
sample, filled from its neighbours, also changes the mean of its group: on the quantised
sensor with 2 series it put the loss about 0.2σ² too high and the blend weight at four to
five times the best one, which cost 2.7 to 3.5 dB.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from ..bridge import check_plan, checked_method, checked_solver
from ..missing import denoise, interpolate_gaps, run_native
from .protocols import make_masks
from .scoring import scoring_solver

# Neighbouring samples averaged into one sample of the slower series. The eighth of the rate,
# measured on the quality families with 2 to 8 series: the quantised sensor gained 1.33 dB with
# 2 series (1.33 dB on held-out noise levels too); no other family's mean moved.
FACTORS = (2, 4, 8)
# Spans of a slower rate's windows tried, as multiples of the full rate's window. Adding 2
# to 1 and 1/2, measured the same way: sines gained 0.41 dB and chirps 0.31 dB with 2
# series (0.65 and 0.29 dB on held-out noise levels), the quantised sensor 0.54 dB with 8;
# sines lost 0.10 dB with 4 and 0.09 dB with 8, and the quantised sensor 0.13 dB with 4 on
# held-out noise levels.
SPANS = (2.0, 1.0, 0.5)
# The slower rates are tried only while the full-rate fit has fewer training rows than this
# many per coefficient: its estimated filter then adds more than 1.5 % of σ² to the output's
# error. The check costs about 2.5 times the search without it (measured on 2 to 8 series ×
# 512), so it is kept off the larger batches, where the full-rate fit is well determined:
# with 32 series × 512 no quality set falls under the limit.
MAX_ROWS_PER_PARAMETER = 64
# Masks of the held-out comparison (each hides about one sample in ten). With 2, the paired
# difference on 2 series × 512 was too noisy to keep the half rate on sines where it would
# have gained 0.6 dB; with 6 (10 gave the same tables), the family means with 2 and 8 series
# rose by 0.10 and 0.09 dB (quantised sensor +0.29 and +0.55, sines +0.38 and +0.09), and
# on held-out noise levels (5 and 15 dB) by +0.13 dB with 2 series and −0.02 with 4. It
# raises the check's cost from a median 73 ms to 85 ms on 2 to 8 series × 512.
MASKS = 6
# Every route is compared with the full rate, and the one furthest below it kept. Comparing
# each rate with the route kept before it instead, and stopping at the first rate that lost,
# left slow signals at too fast a rate: over 8 draws of the quality families (sets that try
# the route), the quantised sensor gained 0.31, 0.14 and 0.10 dB with 2, 4 and 8 series from
# this change (0.23 and 0.12 dB at SNRs 5 and 15 dB with 2 and 4 series); AR(2) lost 0.06 dB
# at 5 and 15 dB with 2 series, and no other family moved.
# A slower rate is kept when its paired held-out error is below the full rate's by at least
# this many standard errors of the difference. Measured on the quality families with 2
# and 4 series: at 2 standard errors the half rate was almost never kept (the difference is
# measured on a few hundred hidden samples); at 0.5 the quantised sensor gained 1.7 to 2.1 dB
# and no family's mean lost more than 0.2 dB (AR(2) with 4 series).
MARGIN_SE = 0.5
# Perturbations that measure the route's self-influence, each moving one sample in every
# stretch longer than its reach, by this fraction of the data's spread: far above float32's
# resolution of the output, far below the scale where the refitted coefficients stop
# changing linearly.
PROBES = 8
PROBE_STEP = 1e-2


@dataclass(frozen=True)
class SlowerRate:
    """The slower-rate route kept by a search: ``factor`` samples averaged into one,
    ``window_size`` counted in samples of the slower series, ``raw`` the mean squared
    difference of its output on the searched batch to the noisy data over observed samples,
    ``std_error`` the standard error of ``raw``, ``self_influence`` the mean of ∂f_i/∂x_i over
    observed samples (:func:`self_influence`)."""

    factor: int
    window_size: int
    raw: float
    std_error: float
    self_influence: float

    def loss(self, noise_var: float) -> float:
        """The estimated mean squared error against the clean signal."""
        return max(self.raw - noise_var + 2.0 * noise_var * self.self_influence, 0.0)

    def fit_covariance(self, noise_var: float) -> float:
        """mean((f − clean)·noise): the output's pull towards the noise, σ²·d."""
        return noise_var * self.self_influence


def slower(samples: npt.NDArray[np.floating[Any]], factor: int) -> npt.NDArray[np.float32]:
    """Mean of every group of ``factor`` neighbouring samples (NaN = missing, left out of the
    mean; a group with none observed stays NaN); the last group may be shorter."""
    length = samples.shape[1]
    padded = np.full((samples.shape[0], -(-length // factor) * factor), np.nan)
    padded[:, :length] = samples
    groups = padded.reshape(samples.shape[0], -1, factor)
    counts = np.isfinite(groups).sum(axis=2)
    sums = np.where(np.isfinite(groups), groups, 0.0).sum(axis=2)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(counts > 0, sums / counts, np.nan).astype(np.float32)


def centres(length: int, factor: int) -> npt.NDArray[np.float64]:
    """The time position of every sample of :func:`slower`'s output: its group's middle."""
    starts = np.arange(0, length, factor, dtype=np.float64)
    ends = np.minimum(starts + factor, float(length)).astype(np.float64)
    middles: npt.NDArray[np.float64] = (starts + ends - 1.0) / 2.0
    return middles


def back_to_full_rate(
    out: npt.NDArray[np.floating[Any]], length: int, factor: int
) -> npt.NDArray[np.float32]:
    """The full-rate series from the slower one: straight lines between the groups'
    middles, the nearest group's value beyond the first and last middle. Series that are all
    NaN stay so."""
    at = centres(length, factor)
    positions = np.arange(length, dtype=np.float64)
    full = np.full((out.shape[0], length), np.nan, dtype=np.float32)
    for row, values in zip(full, out):
        known = np.isfinite(values)
        if known.any():
            row[:] = np.interp(positions, at[known], values[known])
    return full


def prediction(
    samples: npt.NDArray[np.floating[Any]],
    factor: int,
    window_size: int,
    method: str,
    solver: str = "exact",
) -> npt.NDArray[np.float32]:
    """The output of the route at 1/``factor`` of the rate for ``samples`` (NaN = missing,
    imputed at the slower rate as :func:`tacitor_tools.missing.denoise` does). A refusal
    names the slower rate, since its window and lengths count means, not samples."""
    checked = checked_method(method)
    means = slower(samples, factor)
    try:
        out = denoise(means, window_size, 1, method=checked, solver=checked_solver(solver, checked))
    except ValueError as e:
        raise ValueError(
            f"at 1/{factor} of the sampling rate (means of {factor} neighbouring samples, "
            f"{means.shape[1]} per series here), which the window search chose: {e}"
        ) from e
    return back_to_full_rate(out, samples.shape[1], factor)


def worth_trying(method: str, window_size: int, stride: int, rows: int) -> bool:
    """Whether a batch is small enough for the slower rates to be scored at all."""
    return method == "linear" and stride == 1 and rows < MAX_ROWS_PER_PARAMETER * window_size


def compared(
    samples: npt.NDArray[np.floating[Any]],
    observed: npt.NDArray[np.bool_],
    window_size: int,
    method: str,
    seed: int,
) -> SlowerRate | None:
    """The route furthest below the full rate at ``window_size`` on held-out samples, by its
    paired difference plus ``MARGIN_SE`` standard errors; at each rate the windows spanning
    ``SPANS`` times its time are tried. None when no route is below the full rate."""
    try:
        masks = make_masks(observed, MASKS, seed)
    except ValueError:
        return None  # too few samples to hide: nothing can be judged
    hidden_inputs = [interpolate_gaps(np.where(mask, np.nan, samples)) for mask in masks]

    def squared_errors(route: Callable[[npt.NDArray[np.float32]], npt.NDArray[np.float32]]) -> Any:
        return np.concatenate(
            [
                (route(hidden).astype(np.float64)[mask] - samples[mask]) ** 2
                for hidden, mask in zip(hidden_inputs, masks)
            ]
        )

    solver = scoring_solver(method)
    full_rate = squared_errors(lambda hidden: run_native(method, hidden, window_size, 1, solver))
    kept: tuple[int, int] | None = None
    best_margin = 0.0
    for factor in FACTORS:
        spans = {int(span * window_size) // factor for span in SPANS}
        for window in sorted(spans - {0, 1, 2, 3}):
            try:
                check_plan((samples.shape[0], -(-samples.shape[1] // factor)), window, 1, method)
                errors = squared_errors(
                    lambda hidden: prediction(hidden, factor, window, method, solver)  # noqa: B023
                )
            except ValueError:
                continue  # the slower series are too short or too few for this window
            difference = errors - full_rate
            difference = difference[np.isfinite(difference)]
            if difference.size < 2:
                continue
            se = float(np.std(difference, ddof=1) / math.sqrt(difference.size))
            margin = float(np.mean(difference)) + MARGIN_SE * se
            if margin < best_margin:
                kept, best_margin = (factor, window), margin
    if kept is None:
        return None
    out = prediction(samples, *kept, method, solver).astype(np.float64)
    squares = (out - samples)[observed & np.isfinite(out)] ** 2
    raw, se = float(np.mean(squares)), float(np.std(squares) / math.sqrt(squares.size))
    influence = self_influence(samples, observed, out, *kept, method, seed, solver)
    return SlowerRate(kept[0], kept[1], raw, se, influence)


def self_influence(
    samples: npt.NDArray[np.floating[Any]],
    observed: npt.NDArray[np.bool_],
    out: npt.NDArray[np.float64],
    factor: int,
    window_size: int,
    method: str,
    seed: int,
    solver: str = "exact",
) -> float:
    """The mean of ∂f_i/∂x_i over observed samples of the route's output ``out``.

    Each probe moves, in every series, one observed sample in every stretch of ``reach``
    positions (at a random offset, by ± :data:`PROBE_STEP` of the data's spread), so that
    no moved sample's output depends on another moved sample's value except through the
    refitted coefficients, whose share has a random sign and averages out. The ratio of the
    output's change to the sample's change at the moved samples is then ∂f_i/∂x_i there.
    """
    # A sample reaches its group's mean, the outputs of the groups within one window of it,
    # and the full-rate samples within a group of those.
    reach = factor * (window_size + 2)
    step = PROBE_STEP * (float(np.std(samples[observed])) or 1.0)
    rng = np.random.default_rng([seed, factor, window_size])
    series, length = samples.shape
    ratios = []
    for _ in range(PROBES):
        offsets = rng.integers(0, reach, size=(series, 1))
        rows, cols = np.nonzero((np.arange(length) - offsets) % reach == 0)
        keep = observed[rows, cols]
        rows, cols = rows[keep], cols[keep]
        moved = samples.astype(np.float32, copy=True)
        moved[rows, cols] += (step * rng.choice((-1.0, 1.0), rows.size)).astype(np.float32)
        change = moved[rows, cols].astype(np.float64) - samples[rows, cols].astype(np.float64)
        response = prediction(moved, factor, window_size, method, solver).astype(np.float64)
        usable = np.isfinite(response[rows, cols]) & (change != 0.0)
        ratios.append((response[rows, cols] - out[rows, cols])[usable] / change[usable])
    values = np.concatenate(ratios)
    return float(np.mean(values)) if values.size else 0.0
