"""The noise level of a batch, from differences of neighbouring samples.

A difference of order d, scaled so that its coefficients have unit sum of squares, has the
variance σ² of white noise whatever d is, and cancels every polynomial signal of degree below
d. Smooth signals leak into low orders (their estimates come out high); signals that are
rough at the scale of one sample (pulse trains, alternations) leak into high orders, and
jumps into all. The estimate is the median of orders 2 to 4: order 1 leaks even from
smooth signals at high signal-to-noise ratios, and the lowest of several orders would be
biased low on small batches, where each order's estimate scatters by several per cent. An
estimate on the high side is the safe one: it shrinks the estimated error of every candidate
and with it the blend weight.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from typing import Any

import numpy as np
import numpy.typing as npt

ORDERS = (1, 2, 3, 4)

# Above this ratio of the highest order's estimate to the lowest one, the data have more
# energy near the sampling rate than white noise has: part of the signal is being counted as
# noise. White noise gives a ratio within a few per cent of 1.
ROUGH_RATIO = 1.25


@dataclass(frozen=True)
class NoiseEstimate:
    variance: float
    per_order: tuple[float, ...]

    @property
    def rough(self) -> bool:
        """True when the signal is rough at the sample scale and inflates the estimate."""
        low = min(self.per_order)
        return bool(low > 0 and self.per_order[-1] > ROUGH_RATIO * self.per_order[0])


def difference_variance(samples: npt.NDArray[np.floating[Any]], order: int) -> float:
    """Mean square of the normalised differences of ``order`` over all observed runs."""
    coefficients = np.array(
        [(-1) ** k * math.comb(order, k) for k in range(order + 1)], dtype=np.float64
    )
    coefficients /= math.sqrt(float(np.sum(coefficients**2)))
    x = samples.astype(np.float64, copy=False)
    if x.shape[1] <= order:
        return math.nan
    diff = np.zeros((x.shape[0], x.shape[1] - order))
    for k, c in enumerate(coefficients):
        diff += c * x[:, k : k + diff.shape[1]]
    valid = ~np.isnan(diff)  # a difference touching a missing sample is left out
    if not valid.any():
        return math.nan
    return float(np.mean(diff[valid] ** 2))


def estimate_noise(samples: npt.NDArray[np.floating[Any]]) -> NoiseEstimate:
    """The white-noise variance of ``samples`` (NaN = missing), pooled over all series."""
    per_order = tuple(difference_variance(samples, d) for d in ORDERS)
    finite = [v for v in per_order if math.isfinite(v)]
    if not finite:
        raise ValueError("too few observed neighbouring samples to estimate the noise level")
    central = [v for v in per_order[1:] if math.isfinite(v)] or finite
    return NoiseEstimate(float(np.median(central)), per_order)
