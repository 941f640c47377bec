"""Two ways to estimate, without the clean signal, how far a candidate's output is from it.

Both give, for one candidate, a raw error against the noisy data and an optimism factor; the
estimated mean squared error against the clean signal is then

    loss = raw + σ² · (optimism − 1)

with σ² the noise variance. The noise level is estimated once for all candidates, after them
(see :mod:`.search`), so the protocols keep the raw parts apart.

*In-sample:* an output sample is predicted from estimators that never take that sample as an
input, so ``mean((f − x)²)`` is a held-out error except for one bias: every estimator is fitted
on rows whose targets include the sample, which pulls its prediction towards the sample's
noise by about σ²·p/N on average (p effective parameters per estimator, N training rows). The
held-out error against a fresh noisy copy is raw + 2σ²p/N, and the error against the clean
signal is that minus σ². For the linear fit the term is raised when the larger series are
also the noisier ones (:func:`leverage_noise_factor`): their rows have the most leverage.

*Masked:* about one sample in ten of every series (at least two apart) is hidden, replaced by
the mean of its neighbours, and the native call runs on that; its output at a hidden sample
never saw the sample at all, so ``mean((f − x)²)`` over hidden samples estimates the error
against a fresh noisy copy without bias (optimism 0). Each mask costs one more native call.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from typing import Any

import numpy as np
import numpy.typing as npt

from ..bridge import window_count
from ..missing import interpolate_gaps, run_native
from .noise import series_noise_ratios

# Hidden samples per block of this many positions: one, at a random offset that keeps it
# at least two positions from the hidden sample of the next block (about 10 % hidden).
MASK_BLOCK = 10
# Below this many hidden observed samples the masked estimate is too noisy to rank anything.
MIN_HIDDEN = 20

# Effective parameters of one regression tree (depth 8, leaves down to one row), measured as
# N·cov(output, noise)/σ² with antithetic noise draws on smooth and rough signals: about 400
# at 2 000 training rows, growing slowly with the row count (≈ 580 at 8 000, 850 at 32 000).
# More than the 256 leaves, since the splits themselves are chosen on the noisy targets.
TREE_PARAMS_AT_2000_ROWS = 400.0
TREE_PARAMS_GROWTH = 0.27


@dataclass(frozen=True)
class RawScore:
    """One candidate's error against the noisy data, before the noise level is known."""

    raw: float  # mean squared difference to the noisy data over scored samples
    raw_se: float  # its standard error (scored samples treated as independent)
    optimism: float  # the factor of σ² added to ``raw`` for the held-out error
    scored: int  # samples scored
    output: npt.NDArray[np.float32] | None  # the output on the real data (in-sample only)

    def loss(self, noise_var: float) -> float:
        return estimated_loss(self.raw, self.optimism, noise_var)

    def noise_cap(self) -> float:
        """The largest σ² consistent with this score: held-out error cannot be below σ²."""
        return self.raw / (1.0 - self.optimism) if self.optimism < 1.0 else math.inf


def estimated_loss(raw: float, optimism: float, noise_var: float) -> float:
    """The mean squared error against the clean signal, from a raw score and σ²."""
    return raw + noise_var * (optimism - 1.0)


def effective_parameters(method: str, window_size: int, rows: int) -> float:
    """Parameters fitted per estimator: what makes its in-sample predictions optimistic."""
    if method == "linear":
        # window_size − 1 coefficients and an intercept; the fit can use no more than the rows.
        return float(min(window_size, rows))
    return float(min(rows, TREE_PARAMS_AT_2000_ROWS * (rows / 2000.0) ** TREE_PARAMS_GROWTH))


def leverage_noise_factor(
    filled: npt.NDArray[np.float32], observed: npt.NDArray[np.bool_]
) -> float:
    """How much more than σ²·p/N the least-squares fit is pulled towards the noise when the
    series differ in size and noise level.

    The pull at a row is σ² of its series times the row's leverage, and a row's leverage
    grows with the spread of its series (the fit is shared, the features are the series'
    own samples): about p·v_s / Σ v, v_s the series' variance. When the larger series are
    also the noisier ones, as when a sensor's noise scales with its range, the mean pull is
    Σ v_s·σ_s² / Σ v_s, above the mean σ². This is that ratio (1 when the series share one
    noise level or one size), from each series' variance and relative noise level.
    """
    usable = observed.any(axis=1)
    if int(usable.sum()) < 2:
        return 1.0
    samples = np.where(observed, filled, np.nan)[usable].astype(np.float64)
    counts = observed[usable].sum(axis=1)
    with np.errstate(invalid="ignore"):
        spread = np.nanvar(samples, axis=1) * counts
    ratios = series_noise_ratios(samples)
    if not (np.all(np.isfinite(spread)) and spread.sum() > 0.0):
        return 1.0
    mean_ratio = float(np.sum(ratios * counts) / counts.sum())
    factor = float(np.sum(spread * ratios) / spread.sum()) / mean_ratio
    return max(factor, 1.0)


def training_rows(series: int, length: int, window_size: int, stride: int) -> int:
    return window_count(length, window_size, stride) * series


def mean_and_se(squares: npt.NDArray[np.float64]) -> tuple[float, float]:
    n = squares.size
    mean = float(np.mean(squares))
    se = float(np.std(squares, ddof=1) / math.sqrt(n)) if n > 1 else math.inf
    return mean, se


def in_sample(
    method: str,
    filled: npt.NDArray[np.float32],
    observed: npt.NDArray[np.bool_],
    window_size: int,
    stride: int,
    solver: str = "exact",
    pull_factor: float = 1.0,
) -> RawScore:
    """Score of one candidate from its own output on the (gap-filled) data, computed with
    ``solver`` (see :data:`tacitor_tools.bridge.Solver`); ``pull_factor`` scales the fit's
    optimism (:func:`leverage_noise_factor` for the linear method, the same for every
    candidate of a batch)."""
    usable_series = int((observed.any(axis=1)).sum())
    rows = training_rows(usable_series, filled.shape[1], window_size, stride)
    optimism = 2.0 * effective_parameters(method, window_size, rows) / rows * pull_factor
    if optimism >= 1.0:
        raise ValueError(
            f"window_size {window_size}: {rows} training rows are too few for "
            "the in-sample estimate (the fit would follow the noise)"
        )
    out = run_native(method, filled, window_size, stride, solver)
    scored = observed & ~np.isnan(out)
    if not scored.any():
        raise ValueError(
            f"window_size {window_size}, stride {stride}: no observed sample is covered by a window"
        )
    diff = out[scored].astype(np.float64) - filled[scored]
    raw, se = mean_and_se(np.asarray(diff**2, dtype=np.float64))
    return RawScore(raw, se, optimism, int(scored.sum()), out)


def make_masks(
    observed: npt.NDArray[np.bool_], count: int, seed: int
) -> list[npt.NDArray[np.bool_]]:
    """``count`` masks of hidden samples: random per series, the same for every candidate."""
    series, length = observed.shape
    rng = np.random.default_rng(seed)
    blocks = -(-length // MASK_BLOCK)
    masks = []
    for _ in range(count):
        offsets = rng.integers(0, MASK_BLOCK - 1, size=(series, blocks))
        positions = offsets + MASK_BLOCK * np.arange(blocks)
        rows = np.broadcast_to(np.arange(series)[:, None], positions.shape)
        inside = positions < length
        mask = np.zeros((series, length), dtype=bool)
        mask[rows[inside], positions[inside]] = True
        masks.append(mask & observed)
    hidden = min(int(m.sum()) for m in masks) if masks else 0
    if hidden < MIN_HIDDEN:
        raise ValueError(
            f"too few observed samples to mask: {hidden} hidden, at least "
            f"{MIN_HIDDEN} needed (use protocol='insample' for tiny batches)"
        )
    return masks


def masked(
    method: str,
    samples: npt.NDArray[np.floating[Any]],
    masks: list[npt.NDArray[np.bool_]],
    window_size: int,
    stride: int,
    solver: str = "exact",
) -> RawScore:
    """Score of one candidate from its outputs at the hidden samples of every mask.

    A hidden sample is filled like a missing one, by the straight line between its nearest
    observed neighbours (the mean of the two when both are observed), so nothing of its value
    reaches the native call.
    """
    squares = []
    for mask in masks:
        out = run_native(
            method, interpolate_gaps(np.where(mask, np.nan, samples)), window_size, stride, solver
        )
        scored = mask & ~np.isnan(out)
        squares.append((out[scored].astype(np.float64) - samples[scored]) ** 2)
    pooled = np.concatenate(squares)
    if pooled.size == 0:
        raise ValueError(
            f"window_size {window_size}, stride {stride}: no hidden sample is covered by a window"
        )
    raw, se = mean_and_se(pooled)
    return RawScore(raw, se, 0.0, int(pooled.size), None)
