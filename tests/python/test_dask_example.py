"""The Dask example, run as a script on a local cluster of two worker processes."""

from __future__ import annotations

import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pytest

import tacitor

pytest.importorskip("dask.array")
pytest.importorskip("distributed")

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "dask_denoise.py"
CHUNK = 5


@pytest.mark.parametrize(("method", "function"), [
    ("linear", tacitor.denoise_linear_regression),
    ("tree", tacitor.denoise_decision_tree),
])
def test_each_chunk_equals_a_direct_call_on_it(
        tmp_path: Path, method: str, function: Callable[[np.ndarray, int, int], np.ndarray]
) -> None:
    rng = np.random.default_rng(7)
    t = np.arange(120) / 7.0
    # 13 series: chunks of 5, 5 and 3, the last one shorter.
    samples = (np.sin(t + rng.uniform(0, 6, size=(13, 1)))
               + 0.3 * rng.standard_normal((13, 120))).astype(np.float32)
    np.save(tmp_path / "noisy.npy", samples)
    result = subprocess.run(
        [sys.executable, str(EXAMPLE), "noisy.npy", "denoised.npy", "--method", method,
         "--window", "6", "--stride", "2", "--chunk-series", str(CHUNK), "--workers", "2"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300, check=False)
    assert result.returncode == 0, result.stderr[-3000:]

    out = np.load(tmp_path / "denoised.npy")
    assert out.dtype == np.float32 and out.shape == samples.shape
    for start in range(0, samples.shape[0], CHUNK):
        rows = slice(start, start + CHUNK)
        np.testing.assert_array_equal(out[rows], function(samples[rows], 6, 2))
    # Chunks really are denoised apart: one call over all series trains other estimators.
    assert not np.array_equal(out, function(samples, 6, 2))
    assert np.array_equal(np.load(tmp_path / "noisy.npy"), samples)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["denoised.npy", "noisy.npy"]
