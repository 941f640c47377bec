"""Choosing the method too: linear, tree, or the mean of both, by one held-out estimate.

Each method's window is chosen by its own search (:func:`.search.select`), the tree's on a
subsample of the series, since a tree candidate costs one to two orders of magnitude more than
a linear one. The three contenders are then judged on the same footing: one mask hides about
one sample in ten of every series of the subsample (see :mod:`.protocols`), each contender is
run on the masked data at its window, and its mean squared error at the hidden samples, less
σ², estimates its error against the clean signal. The lowest wins; only then is the output
computed on the whole batch.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from ..bridge import BLEND_DEFAULT
from ..glitches import glitch_mask, search_glitches
from ..missing import as_float_matrix, interpolate_gaps
from .combination import (
    COMBINATION_DEFAULT,
    checked_combination,
    combine,
    local_weights,
    weight_from_loss,
)
from .protocols import make_masks
from .result import Selection
from .scoring import scoring_rows
from .search import select

Kept = Literal["linear", "tree", "mean"]


@dataclass(frozen=True)
class MethodChoice:
    """The method kept (``"linear"``, ``"tree"`` or ``"mean"`` of both), the held-out loss of
    each contender (``losses``, estimated mean squared error against the clean signal) and
    each method's :class:`Selection` (the tree's made on ``scoring_series`` series)."""

    kept: Kept
    losses: dict[str, float]
    linear: Selection
    tree: Selection
    scoring_series: int
    warnings: list[str] = field(default_factory=list)

    @property
    def noise_var(self) -> float:
        return self.linear.noise_std**2

    def predictions(self, samples: npt.NDArray[np.floating[Any]]) -> npt.NDArray[np.float64]:
        """The pure prediction of the kept contender for ``samples``."""
        outs = [
            s.denoise(samples, blend=False).astype(np.float64)
            for s in (self.linear, self.tree)
            if self.kept in (s.method, "mean")
        ]
        return np.asarray(sum(outs) / len(outs))

    def denoise(
        self,
        x: npt.ArrayLike,
        *,
        blend: bool = BLEND_DEFAULT,
        combination: str = COMBINATION_DEFAULT,
    ) -> npt.NDArray[np.floating[Any]]:
        """Denoise ``x`` with the kept contender; ``blend`` and ``combination`` as in
        :meth:`Selection.denoise`."""
        checked_combination(combination)
        original = np.asarray(x)
        samples = as_float_matrix(original, "x")
        impulsive = False
        if self.linear.glitch_detection:
            # Gross outliers are missing values: predicted, never blended back in.
            found = search_glitches(samples)
            samples = np.where(found.mask, np.nan, samples)
            impulsive = found.impulsive
        out = self.predictions(samples)
        dtype = np.float32 if original.dtype == np.float32 else np.float64
        if not blend:
            return out.astype(dtype)
        covariance = self.fit_covariance()
        noise_var_se = self.linear.noise_var_se
        k = float(
            weight_from_loss(self.losses[self.kept], self.noise_var, covariance, noise_var_se)
        )
        if combination == "local":
            weights = local_weights(
                out, samples, self.noise_var, covariance, k, noise_var_se, impulsive=impulsive
            )
            return combine(out, samples.astype(np.float64), weights).astype(dtype)
        return combine(out, samples.astype(np.float64), k).astype(dtype)

    def fit_covariance(self) -> float:
        """The kept contender's pull towards the noise (the mean's is the mean of both)."""
        pulls = [
            s.fit_covariance for s in (self.linear, self.tree) if self.kept in (s.method, "mean")
        ]
        return sum(pulls) / len(pulls)


def choose_method(
    samples: npt.ArrayLike,
    window_sizes: Sequence[int] | None = None,
    *,
    noise_std: float | None = None,
    seed: int = 0,
    glitches: bool = True,
) -> MethodChoice:
    """Choose the method (linear, tree, or the mean of both) and its window for ``samples``
    (series × time, NaN = missing) from the noisy data alone; ``window_sizes``,
    ``noise_std``, ``seed`` and ``glitches`` are those of :func:`select`. Returns a
    :class:`MethodChoice`; its ``denoise`` gives the output."""
    array = as_float_matrix(samples)
    linear = select(
        array, "linear", window_sizes, noise_std=noise_std, seed=seed, glitches=glitches
    )
    rows = array[scoring_rows(array.shape[0])]
    # The tree is judged with the noise level of the whole batch, so that both methods'
    # losses rest on the same σ².
    sigma = linear.noise_std if noise_std is None else noise_std
    tree = select(rows, "tree", window_sizes, noise_std=sigma, seed=seed, glitches=glitches)
    if glitches and linear.glitches:
        rows = rows.copy()
        rows[glitch_mask(array.shape, linear.glitches)[scoring_rows(array.shape[0])]] = np.nan
    observed = ~np.isnan(rows)
    hidden = make_masks(observed, 1, seed)[0]
    masked_rows = interpolate_gaps(np.where(hidden, np.nan, rows))
    outs = {s.method: s.prediction(masked_rows).astype(np.float64) for s in (linear, tree)}
    outs["mean"] = (outs["linear"] + outs["tree"]) / 2.0
    noise_var = linear.noise_std**2
    losses = {}
    for name, out in outs.items():
        scored = hidden & np.isfinite(out)
        losses[name] = float(np.mean((out[scored] - rows[scored]) ** 2)) - noise_var
        if not math.isfinite(losses[name]):
            losses[name] = math.inf
    candidates: tuple[Kept, ...] = ("linear", "tree", "mean")
    kept = min(candidates, key=lambda m: losses[m])
    warnings = list(dict.fromkeys(linear.warnings + tree.warnings))
    return MethodChoice(kept, losses, linear, tree, int(len(rows)), warnings)
