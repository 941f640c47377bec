"""The windowed linear denoiser solved from one Gram matrix, in NumPy: the stronger peer.

What a user fluent in linear algebra would write instead of one least-squares fit per window
position: every position's normal equations are a sub-block of the (w + 1) × (w + 1) float64
Gram matrix of the windows with a ones column, so one matrix product serves all positions.
Each position is solved by ``lstsq`` on its small sub-block (the minimum-norm solution, with
LAPACK's default cut-off), predicted in float64 and averaged back like bench/peer.py.
The Gram product runs on the BLAS, so its rounding depends on the BLAS and its thread count.
"""

from __future__ import annotations

import numpy as np

from peer import reassemble, window_rows, window_starts


def denoise_linear_regression(samples: np.ndarray, window_size: int, stride: int) -> np.ndarray:
    samples = np.asarray(samples, dtype=np.float32)
    n_series, length = samples.shape
    starts = window_starts(length, window_size, stride)
    rows = window_rows(samples, window_size, starts).astype(np.float64)
    design = np.hstack([rows, np.ones((rows.shape[0], 1))])
    gram = design.T @ design
    weights = np.zeros((window_size + 1, window_size))  # column i: position i's weights
    for i in range(window_size):
        others = np.delete(np.arange(window_size + 1), i)
        block = gram[np.ix_(others, others)]
        weights[others, i] = np.linalg.lstsq(block, gram[others, i], rcond=None)[0]
    predictions = (design @ weights).astype(np.float32)
    return reassemble(predictions, n_series, length, starts)
