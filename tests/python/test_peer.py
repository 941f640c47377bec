"""The NumPy + scikit-learn peer in bench/peer.py against tacitor.

The peer is the reference of the speed benchmark, so it must compute the same thing: these
tests keep it honest against tacitor on inputs where the two must agree.
"""

import importlib.util
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("sklearn")
pytest.importorskip("joblib")

import tacitor  # noqa: E402

_PEER_PATH = Path(__file__).resolve().parents[2] / "bench" / "peer.py"
_spec = importlib.util.spec_from_file_location("bench_peer", _PEER_PATH)
peer = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(peer)


@pytest.mark.parametrize(
    "length, window, stride, starts",
    [
        (10, 4, 3, [0, 3, 6]),
        (10, 4, 4, [0, 4, 6]),
        (10, 3, 4, [0, 4, 7]),
        (10, 10, 5, [0]),
        (10, 4, 1, [0, 1, 2, 3, 4, 5, 6]),
    ],
)
def test_peer_window_plan(length, window, stride, starts):
    assert peer.window_starts(length, window, stride).tolist() == starts


def _noise(series, length, seed):
    return np.random.default_rng(seed).standard_normal((series, length)).astype(np.float32)


@pytest.mark.parametrize(
    "series, length, window, stride",
    [(8, 300, 5, 1), (3, 257, 8, 4), (16, 64, 3, 2), (5, 120, 6, 5)],
)
def test_linear_peer_matches_tacitor(series, length, window, stride):
    # White noise gives full-rank training sets, so the least-squares solution is unique and
    # both float32 solvers must land on it up to rounding.
    samples = _noise(series, length, seed=series * 1000 + window)
    ours = tacitor.denoise_linear_regression(samples, window, stride)
    theirs = peer.denoise_linear_regression(samples, window, stride, n_jobs=2)
    assert ours.shape == theirs.shape == samples.shape
    np.testing.assert_allclose(ours, theirs, rtol=1e-3, atol=2e-4)


def test_linear_peer_leaves_the_same_gaps_as_tacitor():
    # stride > window: starts 0, 4, 8, 11 leave positions 3 and 7 of length 14 uncovered.
    samples = _noise(4, 14, seed=3) + np.arange(14, dtype=np.float32)
    ours = tacitor.denoise_linear_regression(samples, 3, 4)
    theirs = peer.denoise_linear_regression(samples, 3, 4, n_jobs=1)
    np.testing.assert_array_equal(np.isnan(ours), np.isnan(theirs))
    assert np.isnan(theirs[:, [3, 7]]).all() and np.isnan(theirs).sum() == 8
    np.testing.assert_allclose(ours, theirs, rtol=1e-3, atol=1e-3)


def test_tree_peer_shape_and_values():
    samples = _noise(32, 400, seed=7)
    out = peer.denoise_decision_tree(samples, 8, 3, n_jobs=2)
    assert out.shape == samples.shape and out.dtype == np.float32
    assert np.isfinite(out).all()
    # In-sample means of the targets: the output stays inside the data's range and shrinks it.
    assert samples.min() <= out.min() and out.max() <= samples.max()
    assert out.std() < samples.std()


def test_both_trees_interpolate_when_rows_are_few():
    # 4 training rows with distinct values: both depth limits allow pure leaves, so each tree
    # predicts its own targets exactly and both denoisers hand the samples back unchanged.
    samples = _noise(2, 4, seed=11)
    ours = tacitor.denoise_decision_tree(samples, 3, 1)
    theirs = peer.denoise_decision_tree(samples, 3, 1, n_jobs=1)
    np.testing.assert_allclose(theirs, samples, rtol=1e-6)
    np.testing.assert_allclose(ours, theirs, rtol=1e-6)
