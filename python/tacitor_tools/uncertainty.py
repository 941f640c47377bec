"""Per-sample error bars and anomaly scores from the held-out residuals of a trained denoiser.

The prediction f at a sample is made by estimators that never take that sample as an input,
so the residual r = x − f is a held-out one: with s the clean signal, e the local mean
squared error of f and σ² the noise variance, E r² = e + σ² wherever the noise is white. An
isolated spike therefore stands out of r in full, instead of pulling its own prediction
towards it as a smoothing filter's output is pulled.

Error bars. The local mean square m(t) of r is its mean over the n = ``smoothing_span(w)``
samples centred on t (fewer at the ends of a series). The noise variance σ² is taken as the
smallest of the upper bounds the series gives: the difference estimates of every order of
:func:`tacitor_tools.selection.noise.estimate_noise` (a signal only adds to a difference, so
each is σ² plus a leak), the same differences' robust scale (1.4826 times their median
absolute value, squared: sparse peaks, jumps and pulses cannot move a median) and the lowest
m(t) along the series (m = e + σ² ≥ σ²) raised by ``NOISE_MARGIN`` of its standard errors
m·√(2/n) (the lowest of several hundred overlapping means falls below σ² by about that
much, and every bit of σ² it misses would be counted as prediction error). Then
e = max(m − σ², ``E_FLOOR``·σ²) + ``SE_SHARE``·m·√(2/n), the last term a share of the
standard error of m (m is a mean of n squared residuals), so that a stretch where m
happens to fall low does not get a band narrower than its error. Where the errors
concentrate in a few samples (a sharp beat the estimators miss), a mean over n samples
dilutes them: the mean square m₁ over the ``SHORT_SPAN`` samples centred on t resolves
them, and e is raised to m₁·(1 − √(2/n₁)) − σ² where that is larger (m₁ less one standard
error, so that the short mean's own scatter does not widen every band). The output
f + k·(x − f) has the error (1 − k)·(f − s) + k·noise, whose variance is
(1 − k)²·e + k²·σ² (f − s does not depend on the noise at that sample); its square root is
the standard error, and a band of level p is the output ± z·std, z the normal quantile of
(1 + p) / 2.

Anomalies. The score is r divided by a robust local scale: 1.4826 times the median of |r|
over the same span (a median that one spike in ``smoothing_span`` samples cannot move),
never below σ as above (whose lowest local mean square leaves out the stretches with
anomalies). A sample is flagged when |score| exceeds the threshold.
"""

from __future__ import annotations

import math
import warnings
from numbers import Real
from statistics import NormalDist
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
from numpy.lib.stride_tricks import sliding_window_view

from .glitches import MAD_TO_STD
from .selection.noise import ORDERS, estimate_noise

# Samples in the local mean square: at least this many, so that the mean of r² (relative
# standard error √(2/n) for Gaussian residuals) is known to about ±25 %.
MIN_SPAN = 33
# The local error variance never goes below this share of the noise variance: a mean of r²
# that falls under σ² says that e is small, not that it is zero, and a band of width zero
# around the prediction would be a claim of certainty no estimator earns.
E_FLOOR = 0.05
# Samples in the short local mean square that resolves errors concentrated at sharp features:
# about half of MIN_SPAN, narrow enough for a beat or a pulse to dominate it.
SHORT_SPAN = 17
# Standard errors of a local mean square added to the lowest one along a series before it
# bounds the noise variance (the minimum of many overlapping means is biased low).
NOISE_MARGIN = 2.0
# Share of the standard error of the local mean square added to the error variance; chosen
# on the quality families (bench/anomalies.py), where it brings the coverage of 95 % bands
# into 93–97 % on most of them.
SE_SHARE = 0.25
# Default threshold on |standardised residual|: the lowest at which isolated spikes of 8σ on
# the smooth quality families (bench/anomalies.py) are found with a precision of at least 0.9;
# 3.5 flags more of the noise's own tail, 4.5 and above miss more spikes of 5σ.
ANOMALY_THRESHOLD = 4.0
# Values held at once by the rolling median (series × length × span), in chunks of series.
MEDIAN_CHUNK = 1 << 22


class Anomalies(NamedTuple):
    """``scores``: (x − f) / local scale per sample (NaN where no window covers it or the
    sample is missing); ``mask``: True where |score| exceeds the threshold."""

    scores: npt.NDArray[np.float64]
    mask: npt.NDArray[np.bool_]


def smoothing_span(window: int) -> int:
    """Samples in the local mean square: the 2w − 1 samples whose values enter the
    prediction at the centre (so a stretch the estimators find hard is seen whole), and at
    least ``MIN_SPAN``; odd, so that it is centred."""
    return max(2 * window - 1, MIN_SPAN)


def robust_difference_variances(samples: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Per series, the lowest over the difference orders of (1.4826 · median |difference|)²,
    the differences scaled to unit sum of squared coefficients (NaN where none is observed)."""
    lowest = np.full(samples.shape[0], math.nan)
    for order in ORDERS:
        if samples.shape[1] <= order:
            break
        coefficients = np.array([(-1) ** k * math.comb(order, k) for k in range(order + 1)])
        coefficients = coefficients / math.sqrt(float(np.sum(coefficients**2)))
        width = samples.shape[1] - order
        diff = np.zeros((samples.shape[0], width))
        for k, c in enumerate(coefficients):
            diff += c * samples[:, k : k + width]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # series without a difference
            scale = MAD_TO_STD * np.nanmedian(np.abs(diff), axis=1)
        lowest = np.fmin(lowest, scale * scale)
    return lowest


def noise_variances(
    samples: npt.NDArray[np.float64], mean_square: npt.NDArray[np.float64], span: int
) -> npt.NDArray[np.float64]:
    """σ² per series (NaN = missing): the smallest of its difference estimates of every order
    (mean square and robust), and of its lowest local mean square of the held-out residual
    ``mean_square`` (means over ``span`` samples) plus ``NOISE_MARGIN`` standard errors; a
    series too short or too sparse for the differences takes the batch's."""
    differences = np.full(samples.shape[0], math.nan)
    for row in range(samples.shape[0]):
        try:
            estimate = estimate_noise(samples[row : row + 1])
        except ValueError:
            continue
        differences[row] = min(v for v in estimate.per_order if math.isfinite(v))
    if not np.isfinite(differences).all():
        batch = estimate_noise(samples)
        differences[~np.isfinite(differences)] = min(v for v in batch.per_order if math.isfinite(v))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN series
        lowest = np.nanmin(mean_square, axis=1) * (1.0 + NOISE_MARGIN * math.sqrt(2.0 / span))
    noise: npt.NDArray[np.float64] = np.fmin(
        np.fmin(differences, robust_difference_variances(samples)), lowest
    )
    return noise


def local_mean(values: npt.NDArray[np.float64], span: int) -> npt.NDArray[np.float64]:
    """Centred mean of ``span`` samples along each series, NaN left out (NaN where none)."""
    half = span // 2
    valid = ~np.isnan(values)
    padded = np.pad(np.where(valid, values, 0.0), ((0, 0), (half + 1, half)))
    counts = np.pad(valid.astype(np.float64), ((0, 0), (half + 1, half)))
    sums = np.cumsum(padded, axis=1)
    totals = np.cumsum(counts, axis=1)
    window_sum = sums[:, span:] - sums[:, :-span]
    window_count = totals[:, span:] - totals[:, :-span]
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(window_count > 0, window_sum / np.maximum(window_count, 1), math.nan)


def local_median(values: npt.NDArray[np.float64], span: int) -> npt.NDArray[np.float64]:
    """Centred median of ``span`` samples along each series, NaN left out."""
    half = span // 2
    out = np.empty(values.shape)
    rows = max(1, MEDIAN_CHUNK // max(1, values.shape[1] * span))
    for first in range(0, values.shape[0], rows):
        part = np.pad(values[first : first + rows], ((0, 0), (half, half)), constant_values=np.nan)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN neighbourhoods
            out[first : first + rows] = np.nanmedian(
                sliding_window_view(part, span, axis=1), axis=2
            )
    return out


def standard_error(
    samples: npt.NDArray[np.floating[Any]],
    prediction: npt.NDArray[np.floating[Any]],
    window: int,
    blend_weight: float,
) -> npt.NDArray[np.float64]:
    """Standard error of f + k·(x − f) per sample, f the pure ``prediction``, k
    ``blend_weight`` (0 for the pure prediction); NaN where f is NaN."""
    x = samples.astype(np.float64)
    residual = x - prediction.astype(np.float64)
    span = smoothing_span(window)
    mean_square = local_mean(residual * residual, span)
    noise = noise_variances(x, mean_square, span)[:, None]
    error = np.maximum(mean_square - noise, E_FLOOR * noise) + SE_SHARE * mean_square * math.sqrt(
        2.0 / span
    )
    short = local_mean(residual * residual, SHORT_SPAN)
    error = np.fmax(error, short * (1.0 - math.sqrt(2.0 / SHORT_SPAN)) - noise)
    k = blend_weight
    variance = (1.0 - k) ** 2 * error + k * k * noise
    # Where the sample is missing the output is the prediction itself.
    variance = np.where(np.isnan(x), error, variance)
    return np.where(np.isnan(prediction), math.nan, np.sqrt(variance))


def band_halfwidth(
    std: npt.NDArray[np.floating[Any]], level: float
) -> npt.NDArray[np.floating[Any]]:
    """z · std for a band of probability ``level`` (0 < level < 1)."""
    if isinstance(level, bool) or not (isinstance(level, Real) and 0.0 < level < 1.0):
        raise ValueError(f"level must be a number between 0 and 1, not {level!r}")
    return NormalDist().inv_cdf(0.5 + level / 2.0) * std


def anomaly_scores(
    samples: npt.NDArray[np.floating[Any]],
    prediction: npt.NDArray[np.floating[Any]],
    window: int,
    threshold: float,
) -> Anomalies:
    """Standardised held-out residuals and the mask of those beyond ``threshold``."""
    if isinstance(threshold, bool) or not (
        isinstance(threshold, Real) and threshold > 0 and math.isfinite(threshold)
    ):
        raise ValueError(f"threshold must be a positive number, not {threshold!r}")
    x = samples.astype(np.float64)
    residual = x - prediction.astype(np.float64)
    span = smoothing_span(window)
    scale = MAD_TO_STD * local_median(np.abs(residual), span)
    noise = noise_variances(x, local_mean(residual * residual, span), span)
    scale = np.maximum(scale, np.sqrt(noise)[:, None])
    with np.errstate(invalid="ignore", divide="ignore"):
        scores = residual / scale
        mask = np.abs(scores) > threshold
    return Anomalies(scores, mask)
