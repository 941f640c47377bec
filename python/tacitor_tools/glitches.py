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
"""

from __future__ import annotations

import warnings
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


def find_glitches(samples: npt.NDArray[np.floating[Any]]) -> npt.NDArray[np.bool_]:
    """Mask of the glitches of ``samples`` (series × time, NaN = missing, never a glitch).

    A batch whose values do not vary at all (zero spread) has none.
    """
    if samples.size == 0:
        return np.zeros(samples.shape, dtype=bool)
    deviation = samples.astype(np.float64) - running_median(samples)
    distance = np.abs(deviation)
    limit = np.maximum(GLITCH_SPANS * value_span(samples), GLITCH_NOISE * noise_spread(deviation))[
        :, None
    ]
    with np.errstate(invalid="ignore"):
        mask: npt.NDArray[np.bool_] = (distance > limit) & (limit > 0)
    return mask


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
        f"{count} gross outlier{'s' if count != 1 else ''} (more than "
        f"{GLITCH_SPANS:g} times the span of their series from its running median) "
        f"treated as missing: (series, position) {shown}{more}; see "
        "selection.glitches, or pass glitches=False to keep them"
    )
