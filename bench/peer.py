"""The windowed self-supervised denoiser written with NumPy and scikit-learn only.

This is the program a capable user would write instead of calling tacitor: the same window
plan, the same training rows, one scikit-learn estimator per window position, in-sample
predictions averaged back into series. It serves as the speed and memory reference in
bench/speed.py and as a numerical cross-check in tests/python/test_peer.py.

Window plan: starts at every multiple of ``stride`` strictly below ``span = L - w``, then
``span``. Row ``r`` of every training set stands for window ``r // S`` and series ``r % S``.

Parallelism: the ``w`` window positions are fitted and predicted in parallel with joblib.
The default backend is threads: both scikit-learn estimators spend nearly all of their time in
code that releases the GIL (LAPACK ``gelsd`` for the linear fit, the Cython tree builder), so
threads run truly in parallel and share the windowed data instead of pickling or memory-mapping
it to worker processes. BLAS runs one thread per worker, so the two levels of parallelism do
not oversubscribe the cores, and ``n_jobs=1`` means one core (a multi-threaded BLAS inside one
tall, narrow ``gelsd`` was slower than one thread on this machine).
"""

from __future__ import annotations

import argparse
from typing import Callable

import numpy as np
from joblib import Parallel, delayed
from numpy.lib.stride_tricks import sliding_window_view
from sklearn.linear_model import LinearRegression
from sklearn.tree import DecisionTreeRegressor
from threadpoolctl import threadpool_limits

# The closest scikit-learn depth to tacitor's tree: scikit-learn counts the root as depth 0 and
# splits every node above max_depth; tacitor counts the root as level 1, splits all nodes of
# levels 1-6 and then only the first level-7 node whose split is accepted. So both split every
# node at root distances 0-5, and tacitor adds one more split (one extra leaf pair at distance
# 7) where max_depth=7 would add up to 64. See bench/README.md.
TREE_MAX_DEPTH = 6


def window_starts(length: int, window_size: int, stride: int) -> np.ndarray:
    """Start of every window: the multiples of ``stride`` below ``length - window_size``,
    then ``length - window_size`` itself."""
    if stride <= 0:
        raise ValueError("stride must be positive")
    if window_size > length:
        raise ValueError(f"window_size ({window_size}) is larger than the series length ({length})")
    span = length - window_size
    return np.append(np.arange(0, span, stride, dtype=np.intp), np.intp(span))


def window_rows(samples: np.ndarray, window_size: int, starts: np.ndarray) -> np.ndarray:
    """All windows as one (n_windows * S, w) array, window by window, series by series."""
    view = sliding_window_view(samples, window_size, axis=1)  # (S, L - w + 1, w), no copy
    picked = view[:, starts, :]  # (S, n_windows, w), one copy
    return np.ascontiguousarray(picked.transpose(1, 0, 2)).reshape(-1, window_size)


def reassemble(
    predictions: np.ndarray, n_series: int, length: int, starts: np.ndarray
) -> np.ndarray:
    """Mean of the covering windows' predictions at every (series, time); NaN where uncovered.

    ``predictions`` is (n_windows * S, w). Positions are visited from the last to the first,
    so each time step receives its windows' predictions in window order (a later position
    belongs to an earlier window), the order in which tacitor sums them.
    """
    window_size = predictions.shape[1]
    blocks = predictions.reshape(len(starts), n_series, window_size)
    out = np.zeros((n_series, length), dtype=np.float32)
    counts = np.zeros(length, dtype=np.float32)
    for i in range(window_size - 1, -1, -1):
        columns = starts + i  # distinct for a fixed i, so plain fancy-index += is exact
        out[:, columns] += blocks[:, :, i].T
        counts[columns] += 1.0
    with np.errstate(invalid="ignore", divide="ignore"):
        out /= counts
    return out


def _fit_predict_position(
    rows: np.ndarray, i: int, make_estimator: Callable[[], object]
) -> np.ndarray:
    features = np.delete(rows, i, axis=1)  # the window's other values in time order
    target = rows[:, i]
    estimator = make_estimator()
    estimator.fit(features, target)
    return np.asarray(estimator.predict(features), dtype=np.float32)


def denoise(
    samples: np.ndarray,
    window_size: int,
    stride: int,
    make_estimator: Callable[[], object],
    n_jobs: int = -1,
    backend: str = "threading",
) -> np.ndarray:
    samples = np.asarray(samples, dtype=np.float32)
    if samples.ndim != 2:
        raise ValueError("samples must be two-dimensional (series, time)")
    n_series, length = samples.shape
    starts = window_starts(length, window_size, stride)
    rows = window_rows(samples, window_size, starts)
    with threadpool_limits(limits=1):
        columns = Parallel(n_jobs=n_jobs, backend=backend)(
            delayed(_fit_predict_position)(rows, i, make_estimator) for i in range(window_size)
        )
    predictions = np.stack(columns, axis=1)
    return reassemble(predictions, n_series, length, starts)


def denoise_linear_regression(
    samples: np.ndarray, window_size: int, stride: int, n_jobs: int = -1, backend: str = "threading"
) -> np.ndarray:
    return denoise(samples, window_size, stride, LinearRegression, n_jobs, backend)


def denoise_decision_tree(
    samples: np.ndarray,
    window_size: int,
    stride: int,
    n_jobs: int = -1,
    backend: str = "threading",
    max_depth: int = TREE_MAX_DEPTH,
) -> np.ndarray:
    def make_tree() -> DecisionTreeRegressor:
        return DecisionTreeRegressor(max_depth=max_depth, random_state=0)

    return denoise(samples, window_size, stride, make_tree, n_jobs, backend)


def _main() -> None:
    import time

    parser = argparse.ArgumentParser(description="time the NumPy + scikit-learn denoiser")
    parser.add_argument("--series", type=int, default=64)
    parser.add_argument("--length", type=int, default=1024)
    parser.add_argument("--window", type=int, default=16)
    parser.add_argument("--stride", type=int, default=1)
    parser.add_argument("--method", choices=("linear", "tree"), default="linear")
    parser.add_argument("--backend", choices=("threading", "loky"), default="threading")
    parser.add_argument("--jobs", type=int, default=-1)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    samples = rng.standard_normal((args.series, args.length)).astype(np.float32)
    run = denoise_linear_regression if args.method == "linear" else denoise_decision_tree
    begin = time.perf_counter()
    run(samples, args.window, args.stride, n_jobs=args.jobs, backend=args.backend)
    print(f"{time.perf_counter() - begin:.3f} s")


if __name__ == "__main__":
    _main()
