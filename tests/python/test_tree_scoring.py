"""The tree's window search scores its candidates on a subsample of a large batch."""

from __future__ import annotations

import numpy as np

from tacitor_tools import auto_denoise, select
from tacitor_tools.selection.scoring import SCORING_SERIES, scoring_rows


def noisy_steps(series: int, length: int) -> np.ndarray:
    rng = np.random.default_rng(3)
    clean = np.cumsum(rng.random((series, length)) < 0.02, axis=1) % 4
    return (clean + 0.3 * rng.standard_normal((series, length))).astype(np.float32)


def test_the_subsample_is_every_series_of_a_small_batch_and_spans_a_large_one():
    assert scoring_rows(SCORING_SERIES).tolist() == list(range(SCORING_SERIES))
    rows = scoring_rows(101)
    assert len(rows) == SCORING_SERIES and rows[0] == 0 and rows[-1] == 100
    assert np.all(np.diff(rows) >= 6)  # evenly spread, none repeated


def test_the_tree_is_scored_on_the_subsample_and_the_whole_batch_denoised():
    x = noisy_steps(3 * SCORING_SERIES, 160)
    grid = (4, 8, 16)
    whole = select(x, "tree", grid)
    sub = select(x[scoring_rows(len(x))], "tree", grid)
    assert [(c.window_size, c.loss, c.rows) for c in whole.table] == [
        (c.window_size, c.loss, c.rows) for c in sub.table
    ]
    out, selection = auto_denoise(x, "tree", grid)
    assert out.shape == x.shape
    np.testing.assert_array_equal(out, selection.denoise(x))
    # The linear candidates stay scored on every series: the Gram route makes them cheap.
    linear = select(x, "linear", grid)
    assert linear.table[0].rows == len(x) * (x.shape[1] - 3)
