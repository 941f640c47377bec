"""The noise level of a batch, from differences of neighbouring samples.

A difference of order d, scaled so that its coefficients have unit sum of squares, has the
variance σ² of white noise whatever d is, and cancels every polynomial signal of degree below
d. Smooth signals leak into low orders (their estimates come out high); signals that are
rough at the scale of one sample (pulse trains, alternations) leak into high orders, and
jumps into all. The estimate is the median of three neighbouring orders, from orders 2 to 4
upwards for as long as the next three orders' median is clearly lower
(:func:`levelled_order`): order 1 leaks even from smooth signals at high signal-to-noise
ratios, and the lowest of several orders would be biased low on small batches, where each
order's estimate scatters by several per cent. Oscillations of a few samples' period and
sharp beats leak into orders 2 to 4 as well, and their estimates keep falling with the order
until only the noise is left. An estimate on the high side is the safe one: it shrinks the
estimated error of every candidate and with it the blend weight. Only where the signal's
sparse sharp features (jumps, pulses, beats) inflate it several times is it replaced by a
trimmed mean of the same squares (:func:`trimmed_difference_variance`), which cuts those
features off.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass

from typing import Any

import numpy as np
import numpy.typing as npt

ORDERS = (1, 2, 3, 4)

# Above this ratio of the highest order's estimate to the lowest one, the data have more
# energy near the sampling rate than white noise has: part of the signal is being counted as
# noise. White noise gives a ratio within a few per cent of 1.
ROUGH_RATIO = 1.25
CHI2_1_MEDIAN = 0.4549364231195724  # median of a χ² variable with one degree of freedom


# The trimmed estimate keeps this share of each series' smallest squared differences; for
# white noise their mean is TRIMMED_WHITE_SHARE·σ² (E[z²; |z| < c] / P(|z| < c) with
# P(|z| < c) = 0.9, c = 1.6449). It replaces the mean-square estimate only when lower than
# it by more than TRIM_MARGIN, so that on white noise, where the two agree within a few
# per cent, the more precise mean square is kept. Measured on the quality families at
# 20 dB: the mean-square estimate was 2.5 to 5 times the true level on steps, spikes and
# ECG-like beats, the trimmed one 1.1 to 1.6 times; both within 5 % on smooth families.
TRIM_KEPT = 0.9
TRIMMED_WHITE_SHARE = 0.6230
TRIM_MARGIN = 1.05


# The orders' estimates are taken from a higher triple of orders while its median is below
# the lower one's by more than this factor (or by the estimate's own relative standard error,
# if larger), up to HIGHEST_ORDER. Neighbouring orders see the same noise, so on white noise
# their estimates differ by a per cent or two: no set of 4 × 512 samples moved in 400 draws.
# Measured on the quality families with 2 to 32 series × 512 (two draws at 0, 10 and 20 dB):
# at 20 dB the estimate of oscillation bursts went from 2.3 to 3.2 times the true level to
# 1.0 to 1.06, of ECG-like beats from 1.3 to 1.6 to 0.94 to 1.13, of spikes from 1.6 to 1.8
# to 1.2 to 1.3; the smooth families stayed at orders 2 to 4.
LEVEL_FALL = 1.05
HIGHEST_ORDER = 10


@dataclass(frozen=True)
class NoiseEstimate:
    """``variance`` is σ²; ``relative_error`` its standard error over it, as white
    Gaussian noise would give it (:func:`relative_standard_error`)."""

    variance: float
    per_order: tuple[float, ...]
    relative_error: float = 0.0

    @property
    def rough(self) -> bool:
        """True when the signal is rough at the sample scale and inflates the estimate."""
        low = min(self.per_order)
        return bool(low > 0 and self.per_order[-1] > ROUGH_RATIO * self.per_order[0])


def difference_variance(samples: npt.NDArray[np.floating[Any]], order: int) -> float:
    """Mean square of the normalised differences of ``order`` over all observed runs."""
    if samples.shape[1] <= order:
        return math.nan
    diff = normalised_differences(samples, order)
    valid = ~np.isnan(diff)  # a difference touching a missing sample is left out
    if not valid.any():
        return math.nan
    return float(np.mean(diff[valid] ** 2))


def normalised_differences(
    samples: npt.NDArray[np.floating[Any]], order: int
) -> npt.NDArray[np.float64]:
    """Differences of ``order`` along each series, scaled to unit sum of squared
    coefficients (NaN where they touch a missing sample)."""
    coefficients = np.array(
        [(-1) ** k * math.comb(order, k) for k in range(order + 1)], dtype=np.float64
    )
    coefficients /= math.sqrt(float(np.sum(coefficients**2)))
    x = samples.astype(np.float64, copy=False)
    diff = np.zeros((x.shape[0], max(x.shape[1] - order, 0)))
    for k, c in enumerate(coefficients):
        diff += c * x[:, k : k + diff.shape[1]]
    return diff


def relative_standard_error(samples: npt.NDArray[np.floating[Any]]) -> float:
    """The standard error of σ² estimated from the normalised second differences of
    ``samples``, over σ², for white Gaussian noise.

    Each square has variance 2σ⁴, and neighbouring differences share samples: the squares of
    two differences whose coefficients overlap with correlation ρ are correlated by ρ². So
    the mean of n squares has variance 2σ⁴·Σρ²/n, the sum over all lags (35/18 for order
    2). The median of orders 2 to 4 scatters about as much. On 2 series × 512 this is 6 %,
    and the actual error of single sets reached 13 %: the estimate that sets the blend weight
    is far less firm than the held-out losses on small batches.
    """
    coefficients = np.array([1.0, -2.0, 1.0]) / math.sqrt(6.0)
    correlations = np.correlate(coefficients, coefficients, mode="full")
    count = int(np.isfinite(normalised_differences(samples, 2)).sum())
    if count == 0:
        return math.inf
    return math.sqrt(2.0 * float(np.sum(correlations**2)) / count)


def trimmed_difference_variance(samples: npt.NDArray[np.floating[Any]], order: int) -> float:
    """σ² from the lowest ``TRIM_KEPT`` of each series' squared normalised differences of
    ``order``, scaled by what white noise's lowest share would give.

    A signal's sparse sharp features (steps, spikes, heartbeats, bursts) put a few very
    large differences on top of the noise; they inflate a mean of squares many times at a
    high signal-to-noise ratio but are cut off here. Unlike a median, a trimmed mean of
    many squares is not made coarse by a converter's rounding.
    """
    if samples.shape[1] <= order:
        return math.nan
    squares = normalised_differences(samples, order) ** 2
    finite = np.isfinite(squares)
    kept = np.floor(TRIM_KEPT * finite.sum(axis=1)).astype(np.int64)
    if finite.all() and kept[0] > 0:  # one cut for every series: a partition suffices
        return float(
            np.mean(np.partition(squares, kept[0] - 1, axis=1)[:, : kept[0]]) / TRIMMED_WHITE_SHARE
        )
    ordered = np.sort(np.where(finite, squares, np.inf), axis=1)
    inside = np.arange(ordered.shape[1]) < kept[:, None]
    if not inside.any():
        return math.nan
    return float(np.mean(ordered[inside]) / TRIMMED_WHITE_SHARE)


def estimate_noise(samples: npt.NDArray[np.floating[Any]]) -> NoiseEstimate:
    """The white-noise variance of ``samples`` (NaN = missing), pooled over all series."""
    per_order = tuple(difference_variance(samples, d) for d in ORDERS)
    finite = [v for v in per_order if math.isfinite(v)]
    if not finite:
        raise ValueError("too few observed neighbouring samples to estimate the noise level")
    relative_error = relative_standard_error(samples)
    lowest, levelled = levelled_order(samples, dict(zip(ORDERS, per_order)), relative_error)
    central = [v for v in per_order[1:] if math.isfinite(v)] or finite
    variance = float(np.median(central)) if lowest == ORDERS[1] else levelled
    orders = range(lowest, lowest + 3)
    trimmed = [trimmed_difference_variance(samples, d) for d in orders]
    trimmed = [v for v in trimmed if math.isfinite(v)]
    if trimmed:
        variance = min(variance, TRIM_MARGIN * float(np.median(trimmed)))
    return NoiseEstimate(variance, per_order, relative_error)


def levelled_order(
    samples: npt.NDArray[np.floating[Any]], known: dict[int, float], relative_error: float
) -> tuple[int, float]:
    """The lowest of three neighbouring orders whose estimates no longer fall with the order,
    and their median: 2 unless orders 3 to 5 give a median lower than orders 2 to 4 by more
    than ``LEVEL_FALL`` (and by the estimate's relative error), and so on up to
    ``HIGHEST_ORDER``. ``known`` holds the orders already computed; NaN (too short a
    series for an order) stops the climb."""
    variances = dict(known)

    def median_from(order: int) -> float:
        for d in range(order, order + 3):
            if d not in variances:
                variances[d] = difference_variance(samples, d)
        return float(np.median([variances[d] for d in range(order, order + 3)]))

    fall = max(LEVEL_FALL, 1.0 + relative_error)
    order = ORDERS[1]
    current = median_from(order)
    while order + 3 <= HIGHEST_ORDER:
        following = median_from(order + 1)
        if not (math.isfinite(current) and following * fall < current):
            break
        order, current = order + 1, following
    return order, current


# Squares of second differences above this multiple of their series' typical square are
# clipped before the per-series means: a step, a spike or a beat then counts as a little
# more noise, not as many times more (χ²₁ exceeds 6.63 in 1 % of white-noise samples).
RATIO_CLIP = 6.63
# A series' own level is trusted as if it had this many more differences at the batch's
# level: a series of a few dozen samples keeps close to the batch, a long one its own level.
RATIO_PRIOR = 32.0


def series_noise_ratios(samples: npt.NDArray[np.floating[Any]]) -> npt.NDArray[np.float64]:
    """Each series' noise variance relative to the batch's (NaN = missing).

    Series of one batch may be read by different sensors, or scaled by their own signal's
    size: a rule that takes one noise level for all of them reads a noisier series as one
    the prediction misses everywhere. The ratio is the series' mean square of normalised
    second differences over the batch's, each square clipped at ``RATIO_CLIP`` times its
    series' typical square (the median over 0.455, the median of χ²₁) so that the signal's
    own jumps weigh little; series with few differences are pulled towards 1.
    """
    x = samples.astype(np.float64, copy=False)
    ratios = np.ones(x.shape[0])
    if x.shape[1] < 3:
        return ratios
    squares = (x[:, 2:] - 2.0 * x[:, 1:-1] + x[:, :-2]) ** 2 / 6.0
    finite = np.isfinite(squares)
    counts = finite.sum(axis=1)
    if not finite.any():
        return ratios
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a series with no difference
        typical = np.nanmedian(np.where(finite, squares, np.nan), axis=1) / CHI2_1_MEDIAN
    # Finely quantised series can have a median of 0: their limit is the batch's.
    fallback = float(np.mean(squares[finite]))
    typical = np.where(np.isfinite(typical) & (typical > 0.0), typical, fallback)
    clipped = np.where(finite, np.minimum(squares, RATIO_CLIP * typical[:, None]), 0.0)
    batch = float(clipped.sum() / counts.sum())
    if not (batch > 0.0 and math.isfinite(batch)):
        return ratios
    own = clipped.sum(axis=1) / batch  # the series' ratio times its count
    return np.asarray((own + RATIO_PRIOR) / (counts + RATIO_PRIOR), dtype=np.float64)
