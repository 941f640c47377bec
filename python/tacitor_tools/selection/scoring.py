"""How the search computes its candidates' outputs: the solver per method, and its cost.

The linear candidates are scored through the Gram route (``solver="gram"``): every window
position's fit is solved from one float64 Gram matrix of the windows, one pass of
rows × window² / 2 products for all positions, where the exact call runs one SVD of
rows × window per position. Its output differs from the exact call's by float32 rounding
(about 1e-6 relative), far below the differences between candidates, so the search ranks
them as the exact call would; the output the user gets is still the exact call at the chosen
window (it is computed after the search, never reused from the scoring). The tree has no
such shortcut: its candidates are scored with its own call, on a subsample of the series
when the batch is large (:func:`scoring_rows`).
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

# Series the tree's candidates are scored on, evenly spaced over the batch, so that the tree's
# search stops growing with the batch; the same series judge the methods against each other
# in the method choice. Measured on 32 series × 512 at 10 dB: the window chosen on 16 series
# was the one chosen on all 32 for sines and spikes, 0.30 dB worse on steps (4 for 8) and
# 0.68 dB better on ECG-like beats (8 for 4); bench/TREE_SCORING.md measures 100 × 512.
SCORING_SERIES = 16

SCORING_SOLVERS: dict[str, str] = {"linear": "gram", "tree": "exact"}


def scoring_solver(method: str) -> str:
    return SCORING_SOLVERS.get(method, "exact")


def cost_power(method: str) -> int:
    """The power of the window in one scored candidate's cost: the Gram route's products and
    its predictions grow as rows × window² for all positions together, as do a tree's
    (rows × window for each of its window estimators)."""
    del method
    return 2


def scoring_rows(series: int) -> npt.NDArray[np.intp]:
    """Indices of the series a tree's candidates are scored on: all of them up to
    :data:`SCORING_SERIES`, else that many evenly spaced over the batch."""
    count = min(series, SCORING_SERIES)
    return np.unique(np.linspace(0, series - 1, count).round().astype(np.intp))


def scored_subsample(
    method: str, samples: npt.NDArray[np.floating[Any]]
) -> npt.NDArray[np.floating[Any]]:
    """The rows of ``samples`` the search scores ``method``'s candidates on: every row for
    the linear method (its Gram route makes a candidate cheap), :func:`scoring_rows` for the
    tree."""
    if method != "tree" or samples.shape[0] <= SCORING_SERIES:
        return samples
    return samples[scoring_rows(samples.shape[0])]
