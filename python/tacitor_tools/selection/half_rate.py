"""The learnt filter at half the sampling rate, for batches too small to fit it at full rate.

A least-squares fit of w coefficients from N training rows adds about σ²·w/N to the error of
its output. On a slow signal, whose best smoother spans tens of samples, a batch of a few
series has too few rows for that many coefficients: on 2 series × 512 samples of a quantised
sensor, the estimated filter's own variance was as large as the rest of its error. Read at
half the rate (the mean of each pair of neighbouring samples), the same span needs half the
coefficients, and each pair's mean carries half the noise variance; the pairs are denoised by
the same native call, and every sample's output is read off the straight line between the
outputs of the pairs around it.

Whether that pays is decided by the data, by a held-out estimate that both routes share: a
few masks each hide about one sample in ten (:func:`.protocols.make_masks`), both routes run
on the masked data, and the paired difference of their squared errors at the hidden samples
decides. The masks hide a sample from everything, the pair means and the line between pairs
included, so the comparison has no optimism term to get wrong. A signal that changes within
a few samples (a chirp's fast end, AR(2) noise) loses detail at half the rate, and there the
full rate wins.

The route's loss (and so its gain and blend weight) is then estimated from its own output on
the unmasked batch, as the full rate's is: ``mean((f − x)²) − σ²``. The pairs' outputs never
see their own pair; the line between them reads a sample's pair through its neighbours'
outputs only, a pull towards the sample's noise too small to count. The masked error is no
estimate of the loss here: a hidden sample, filled from its neighbours, also changes the
mean of its pair, and with 2 to 4 series it put the loss 0.2σ² too high, a blend weight
four times the best one and 3 dB lost on the quantised sensor.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ..bridge import check_plan, checked_method, checked_solver
from ..missing import denoise, interpolate_gaps, run_native
from .protocols import make_masks

# Neighbouring samples averaged into one sample of the slower series.
FACTOR = 2
# The half rate is tried only while the full-rate fit has fewer training rows than this
# many per coefficient: its estimated filter then adds more than 1.5 % of σ² to the output's
# error. With more rows the full rate won or tied on every quality family (8 to 32 series ×
# 512 samples), and the masked calls would only cost time.
MAX_ROWS_PER_PARAMETER = 64
# Masks of the held-out comparison. Two gave the same choices as four on the quality sets at
# half the cost; one left the choice to chance on 2-series batches.
MASKS = 2
# The half rate is kept when its paired held-out error is below the full rate's by at least
# this many standard errors of the difference. Measured on the quality families with 2, 4 and
# 8 series: at 2 standard errors the half rate was almost never kept (the difference is
# measured on a few hundred hidden samples), at 0 it was kept on AR(2) batches that lost
# 0.3 dB by it; at 0.5 no family lost more than 0.2 dB and the quantised sensor gained 1.7 to
# 2.1 dB with 2 and 4 series.
MARGIN_SE = 0.5


@dataclass(frozen=True)
class HalfRate:
    """The half-rate route kept by a search: ``window_size`` counted in samples of the slower
    series (pairs), ``raw`` the mean squared difference of its output on the searched batch
    to the noisy data over observed samples (so that ``raw − σ²`` estimates its error against
    the clean signal), ``std_error`` the standard error of ``raw``."""

    window_size: int
    raw: float
    std_error: float

    def loss(self, noise_var: float) -> float:
        return max(self.raw - noise_var, 0.0)


def slower(samples: npt.NDArray[np.floating[Any]]) -> npt.NDArray[np.float32]:
    """Mean of every pair of neighbouring samples (NaN = missing, left out of the mean; a
    pair with neither observed stays NaN); an odd last sample forms its own pair."""
    length = samples.shape[1]
    padded = np.full((samples.shape[0], -(-length // FACTOR) * FACTOR), np.nan)
    padded[:, :length] = samples
    groups = padded.reshape(samples.shape[0], -1, FACTOR)
    counts = np.isfinite(groups).sum(axis=2)
    sums = np.where(np.isfinite(groups), groups, 0.0).sum(axis=2)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(counts > 0, sums / counts, np.nan).astype(np.float32)


def centres(length: int) -> npt.NDArray[np.float64]:
    """The time position of every sample of :func:`slower`'s output: its pair's middle."""
    starts = np.arange(0, length, FACTOR, dtype=np.float64)
    return (starts + np.minimum(starts + FACTOR, length) - 1.0) / 2.0


def back_to_full_rate(out: npt.NDArray[np.floating[Any]], length: int) -> npt.NDArray[np.float32]:
    """The full-rate series from the slower one: straight lines between the pairs' middles,
    the nearest pair's value beyond the first and last middle. Series that are all NaN stay
    so."""
    at = centres(length)
    positions = np.arange(length, dtype=np.float64)
    full = np.full((out.shape[0], length), np.nan, dtype=np.float32)
    for row, values in zip(full, out):
        known = np.isfinite(values)
        if known.any():
            row[:] = np.interp(positions, at[known], values[known])
    return full


def prediction(
    samples: npt.NDArray[np.floating[Any]], window_size: int, method: str, solver: str = "exact"
) -> npt.NDArray[np.float32]:
    """The half-rate route's output for ``samples`` (NaN = missing, imputed at the slower
    rate as :func:`tacitor_tools.missing.denoise` does)."""
    checked = checked_method(method)
    pairs = slower(samples)
    out = denoise(pairs, window_size, 1, method=checked, solver=checked_solver(solver, checked))
    return back_to_full_rate(out, samples.shape[1])


def worth_trying(method: str, window_size: int, stride: int, rows: int) -> bool:
    """Whether a batch is small enough for the half rate to be scored at all."""
    return method == "linear" and stride == 1 and rows < MAX_ROWS_PER_PARAMETER * window_size


def compared(
    samples: npt.NDArray[np.floating[Any]],
    observed: npt.NDArray[np.bool_],
    window_size: int,
    method: str,
    seed: int,
) -> HalfRate | None:
    """The half-rate route that beats the full rate at ``window_size`` on held-out samples
    (the better of the same span and half of it), or None."""
    try:
        masks = make_masks(observed, MASKS, seed)
    except ValueError:
        return None  # too few samples to hide: nothing can be judged
    spans = sorted({w for w in (window_size // FACTOR, window_size // FACTOR**2) if w >= 4})
    full_rate: list[npt.NDArray[np.float64]] = []
    hidden_inputs = []
    for mask in masks:
        hidden = interpolate_gaps(np.where(mask, np.nan, samples))
        hidden_inputs.append(hidden)
        out = run_native(method, hidden, window_size, 1).astype(np.float64)
        full_rate.append(out[mask] - samples[mask])
    best: int | None = None
    best_margin = 0.0
    for window in spans:
        try:
            check_plan((samples.shape[0], -(-samples.shape[1] // FACTOR)), window, 1, method)
            errors = [
                prediction(hidden, window, method).astype(np.float64)[mask] - samples[mask]
                for hidden, mask in zip(hidden_inputs, masks)
            ]
        except ValueError:
            continue  # the slower series are too short or too few for this window
        half = np.concatenate(errors) ** 2
        difference = half - np.concatenate(full_rate) ** 2
        finite = np.isfinite(difference)
        if finite.sum() < 2:
            continue
        difference = difference[finite]
        se = float(np.std(difference, ddof=1) / math.sqrt(difference.size))
        margin = float(np.mean(difference)) + MARGIN_SE * se
        if margin < best_margin:
            best, best_margin = window, margin
    if best is None:
        return None
    out = prediction(samples, best, method).astype(np.float64)
    squares = (out - samples)[observed & np.isfinite(out)] ** 2
    return HalfRate(best, float(np.mean(squares)), float(np.std(squares) / math.sqrt(squares.size)))
