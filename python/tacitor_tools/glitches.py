"""Gross outliers (glitches): single wild samples that would pull a whole batch's fit.

The linear method fits one least-squares model per window position on the windows of every
series at once, so a single sample thousands of times larger than the data (a dropped bit,
a sensor fault, a stray 1e30 for "no value") pulls every series' output. The rule here
finds such samples so that they can be treated as missing: a sample is a glitch when its
distance from the running median of its own series exceeds both ``GLITCH_SPANS`` times the
span of the series' values and ``GLITCH_NOISE`` robust standard deviations of the series'
differences from that median (about the noise level).

The first bound spares real peaks: a QRS complex or a narrow pulse stands far out of the
noise when the noise is low, but a signal's peaks are part of its span, and a median of
five keeps much of a peak two or more samples wide. The second keeps heavy-tailed noise on
noisy data from being flagged sample by sample. A glitch small enough to pass both pulls the
fit little: measured on 64 series of 4096 samples, a glitch of 100 times the noise level
costs the rest of the batch about 0.15 dB.

Impulsive noise is the other kind: a few samples in every hundred knocked ten or so noise
levels off, far too small for the rule above, yet each one alone. The neighbours cannot
predict an impulse, so the residual there is large, and a blend with the observation that
follows large residuals (as the local one does for steps and spikes) keeps the impulse and
the noise around it: on 4 series × 512 with 1 % impulses of 12 σ, the default output was
4.4 dB behind the classical filters chosen by GCV. An impulse is a lone excursion: beyond
``LONE_EXCURSION`` robust standard deviations from the line through its two neighbours,
while each neighbour stays within ``LONE_NEIGHBOURS`` of its own distance from the line
through the samples two away. A structure of the signal moves its neighbours too: a step
moves the next sample with it, a spike of a few samples' width lifts its flanks. A signal
can still have one-sample features: a step that lasts one sample, or a train of events each
caught by one sample. So lone excursions are taken for noise only where there are many of
them (at least ``LONE_SHARE`` of the observed samples and ``LONE_MIN``) and they go both
ways (at least ``LONE_SIGN_SHARE`` of them on the rarer side): then, like gross outliers,
they are treated as missing values.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from numpy.lib.stride_tricks import sliding_window_view

# Samples in the running median: a glitch of up to two consecutive samples is replaced by
# its neighbours, while a peak three or more samples wide keeps most of its height.
MEDIAN_WIDTH = 5
# A sample is a glitch beyond this many spans of its series' values (between the quantiles
# SPAN_QUANTILE and 1 − SPAN_QUANTILE, which the peaks of a signal with regular peaks reach
# and a handful of glitches do not) ...
GLITCH_SPANS = 5.0
SPAN_QUANTILE = 0.005
# In a series shorter than 1 / SPAN_QUANTILE samples those quantiles would lie between its
# extreme values, so that one glitch would stretch the span past its own distance and never
# be found; there the span leaves out at least this many values at either end.
SPAN_TRIMMED = 2
# ... and beyond this many robust standard deviations of its series' differences from the
# running median (about the noise level).
GLITCH_NOISE = 20.0
# 1.4826 × the median absolute deviation is the standard deviation for normal data.
MAD_TO_STD = 1.4826
# A lone excursion: this many robust standard deviations of the samples' distances from the
# line through their neighbours (Gaussian noise alone passes it once in two million), ...
LONE_EXCURSION = 5.0
# ... with each neighbour off the line through the samples beyond it by less than this share
# of the sample's own distance (an impulse: about 0.1 of its size; a step or a spike of the
# quality sets: half or more), ...
LONE_NEIGHBOURS = 0.25
# ... or by less than this many robust standard deviations, whatever the sample's distance:
# a neighbour that noise alone could put there says nothing of a wider feature. With the
# share alone, the noise around impulses of 7 to 8 times the noise level made 5 to 10 % of
# them fail it (more where a converter rounds the samples), and each one kept cost the
# default output up to 6 dB on smooth signals. Gaussian noise exceeds 3 of these
# deviations in about 0.3 % of samples.
LONE_NEIGHBOUR_SPREADS = 3.0
# ... while the two neighbours' deviations differ by less than this share of the sample's
# distance. Next to a step both neighbours are off their lines by half the sample's
# distance, in opposite directions (a difference of the whole distance); next to an
# impulse, by noise alone. Without it, the floor above let steps of 10 to 12 robust
# deviations pass for impulses.
LONE_ASYMMETRY = 0.4
# Lone excursions are impulsive noise where they make up at least this share of the observed
# samples and number at least LONE_MIN. Gaussian noise over the quality families (4 draws at
# 0 to 20 dB) gave at most 2 in 2,048 samples (steps lasting one sample) and 8 in 16,384;
# 1 % impulses of 12 σ gave 14 to 23. Laplace noise reached the share on the quantised
# sensor only (5 of 20 sets with 4 series, 8 to 12 excursions): treating its largest
# samples as missing moved the default output by −0.21 to +1.00 dB on the 9 such sets of 2
# to 32 series (+0.43 dB on average).
LONE_SHARE = 0.003
LONE_MIN = 5
# ... and where at least this share of them lie on the rarer side of their lines: noise that
# knocks samples off does so both ways, while a signal's events of one sign are its own.
# With impulses of either sign, 11 lone excursions fall short of it about once in 85
# batches, 17 once in 3,600.
LONE_SIGN_SHARE = 0.1


def running_median(samples: npt.NDArray[np.floating[Any]]) -> npt.NDArray[np.float64]:
    """Median of each sample's ``MEDIAN_WIDTH`` neighbours within its series (edges
    repeated); NaN (missing) neighbours are left out."""
    half = MEDIAN_WIDTH // 2
    padded = np.pad(samples.astype(np.float64), ((0, 0), (half, half)), mode="edge")
    windows = sliding_window_view(padded, MEDIAN_WIDTH, axis=1)
    gappy = np.isnan(samples).any(axis=1)
    median = np.empty(samples.shape, dtype=np.float64)
    # Without NaN the median of an odd count is its middle value: one partition, which is
    # an order of magnitude faster than the NaN-aware median and gives the same value.
    median[~gappy] = np.partition(windows[~gappy], half, axis=2)[:, :, half]
    if gappy.any():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN neighbourhoods
            median[gappy] = np.nanmedian(windows[gappy], axis=2)
    return median


def value_span(samples: npt.NDArray[np.floating[Any]]) -> npt.NDArray[np.float64]:
    """Per series, the distance between its ``SPAN_QUANTILE`` and 1 − ``SPAN_QUANTILE``
    quantiles; series whose span is zero (mostly one repeated value) take the batch's."""
    x = samples.astype(np.float64)
    counts = np.sum(~np.isnan(x), axis=1)
    gappy = counts < x.shape[1]
    quantiles = (SPAN_QUANTILE, 1.0 - SPAN_QUANTILE)
    low, high = np.empty(len(x)), np.empty(len(x))
    # Rows without NaN take the plain quantile, which is the NaN-aware one's value without
    # its row-by-row loop.
    low[~gappy], high[~gappy] = np.quantile(x[~gappy], quantiles, axis=1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN series
        if gappy.any():
            low[gappy], high[gappy] = np.nanquantile(x[gappy], quantiles, axis=1)
        overall_low, overall_high = (np.nanquantile if gappy.any() else np.quantile)(x, quantiles)
        for count in np.unique(
            counts[(counts > 1) & (SPAN_TRIMMED > SPAN_QUANTILE * (counts - 1))]
        ):
            rows = counts == count
            share = min(SPAN_TRIMMED / (count - 1), 0.5)
            low[rows], high[rows] = np.nanquantile(x[rows], (share, 1.0 - share), axis=1)
    span = np.where(np.isfinite(high - low) & (high > low), high - low, overall_high - overall_low)
    return np.where(np.isfinite(span), span, 0.0)


def noise_spread(deviation: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Per series, the standard deviation of its differences from the running median, from
    their median absolute value (a few glitches do not move it)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN series
        spread: npt.NDArray[np.float64] = MAD_TO_STD * np.nanmedian(np.abs(deviation), axis=1)
    return np.where(np.isfinite(spread), spread, 0.0)


@dataclass(frozen=True)
class GlitchSearch:
    """The glitches of a batch (``mask``), and whether lone excursions were among them:
    many, going both ways, and so taken for impulsive noise (``impulsive``)."""

    mask: npt.NDArray[np.bool_]
    impulsive: bool = False


def find_glitches(samples: npt.NDArray[np.floating[Any]]) -> npt.NDArray[np.bool_]:
    """Mask of the glitches of ``samples`` (series × time, NaN = missing, never a glitch):
    gross outliers, and lone excursions where there are many (impulsive noise).

    A batch whose values do not vary at all (zero spread) has none.
    """
    return search_glitches(samples).mask


def search_glitches(samples: npt.NDArray[np.floating[Any]]) -> GlitchSearch:
    """:func:`find_glitches`' mask, and whether the batch's noise is impulsive."""
    if samples.size == 0:
        return GlitchSearch(np.zeros(samples.shape, dtype=bool))
    deviation = samples.astype(np.float64) - running_median(samples)
    distance = np.abs(deviation)
    limit = np.maximum(GLITCH_SPANS * value_span(samples), GLITCH_NOISE * noise_spread(deviation))[
        :, None
    ]
    with np.errstate(invalid="ignore"):
        mask: npt.NDArray[np.bool_] = (distance > limit) & (limit > 0)
    # Lone excursions are judged among the samples the gross outliers leave.
    lone, upwards = lone_excursions(np.where(mask, np.nan, samples))
    count = int(np.count_nonzero(lone))
    observed = int(np.count_nonzero(~np.isnan(samples))) - int(np.count_nonzero(mask))
    up = int(np.count_nonzero(upwards))
    rarer = min(up, count - up)
    impulsive = count >= max(LONE_MIN, LONE_SHARE * observed) and rarer >= LONE_SIGN_SHARE * count
    if impulsive:
        mask |= lone
    return GlitchSearch(mask, impulsive)


def lone_excursions(
    samples: npt.NDArray[np.floating[Any]],
) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.bool_]]:
    """Samples beyond ``LONE_EXCURSION`` robust standard deviations from the line through
    their two neighbours, each neighbour off the line through the samples beyond it by less
    than ``LONE_NEIGHBOURS`` of that or than ``LONE_NEIGHBOUR_SPREADS`` robust standard
    deviations, and not as a step would move them (``LONE_ASYMMETRY``) (NaN = missing: no
    excursion, and none next to it); and of those, the ones above their line."""
    x = samples.astype(np.float64)
    lone = np.zeros(x.shape, dtype=bool)
    if x.shape[1] < 5:
        return lone, lone
    centre = x[:, 2:-2] - 0.5 * (x[:, 1:-3] + x[:, 3:-1])
    before = x[:, 1:-3] - 0.75 * x[:, :-4] - 0.25 * x[:, 4:]
    after = x[:, 3:-1] - 0.75 * x[:, 4:] - 0.25 * x[:, :-4]
    distance = np.abs(centre)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a series with too few samples
        spread = MAD_TO_STD * np.nanmedian(distance, axis=1, keepdims=True)
    neighbour_limit = np.maximum(LONE_NEIGHBOURS * distance, LONE_NEIGHBOUR_SPREADS * spread)
    with np.errstate(invalid="ignore"):
        lone[:, 2:-2] = (
            (distance > LONE_EXCURSION * spread)
            & (spread > 0)
            & (np.abs(before) < neighbour_limit)
            & (np.abs(after) < neighbour_limit)
            & (np.abs(before - after) < LONE_ASYMMETRY * distance)
        )
    upwards = np.zeros(x.shape, dtype=bool)
    upwards[:, 2:-2] = lone[:, 2:-2] & (centre > 0)
    return lone, upwards


def glitch_positions(mask: npt.NDArray[np.bool_]) -> tuple[tuple[int, int], ...]:
    """(series, time position) of every glitch, in order."""
    return tuple((int(s), int(t)) for s, t in zip(*np.nonzero(mask)))


def glitch_mask(
    shape: tuple[int, ...], positions: tuple[tuple[int, int], ...]
) -> npt.NDArray[np.bool_]:
    """The mask of ``shape`` with the glitches at ``positions`` (:func:`glitch_positions`)."""
    mask = np.zeros(shape, dtype=bool)
    if positions:  # an empty index tuple would select the whole array
        mask[tuple(zip(*positions, strict=True))] = True
    return mask


def glitch_warning(positions: tuple[tuple[int, int], ...]) -> str:
    """The warning that reports the glitches treated as missing values."""
    shown = ", ".join(f"({s}, {t})" for s, t in positions[:5])
    more = f" and {len(positions) - 5} more" if len(positions) > 5 else ""
    count = len(positions)
    return (
        f"{count} glitch{'es' if count != 1 else ''} treated as missing: gross outliers "
        f"(more than {GLITCH_SPANS:g} times the span of their series from its running "
        "median) or, where many are, impulses (samples alone far off the line through "
        f"their neighbours): (series, position) {shown}{more}; see selection.glitches, or "
        "pass glitches=False to keep them"
    )
