"""How the search computes its candidates' outputs: the solver per method, and its cost.

The linear candidates are scored through the Gram route (``solver="gram"``): every window
position's fit is solved from one float64 Gram matrix of the windows, one pass of
rows × window² / 2 products for all positions, where the exact call runs one SVD of
rows × window per position. Its output differs from the exact call's by float32 rounding
(about 1e-6 relative), far below the differences between candidates, so the search ranks
them as the exact call would; the output the user gets is still the exact call at the chosen
window (it is computed after the search, never reused from the scoring). The tree has no
such shortcut and is scored with its own call.
"""

from __future__ import annotations

SCORING_SOLVERS: dict[str, str] = {"linear": "gram", "tree": "exact"}


def scoring_solver(method: str) -> str:
    return SCORING_SOLVERS.get(method, "exact")


def cost_power(method: str) -> int:
    """The power of the window in one scored candidate's cost: the Gram route's products and
    its predictions grow as rows × window² for all positions together, as do a tree's
    (rows × window for each of its window estimators)."""
    del method
    return 2
