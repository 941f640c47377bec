"""The Dask example on local clusters of worker processes."""

from __future__ import annotations

import importlib
import os
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

import numpy as np
import pytest

import tacitor

da = pytest.importorskip("dask.array")
pytest.importorskip("distributed")

# Every test here starts a cluster of worker processes.
pytestmark = pytest.mark.slow

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "dask_denoise.py"
CHUNK = 5


def run_example(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(EXAMPLE), *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )


@pytest.fixture
def example_module(monkeypatch: pytest.MonkeyPatch) -> ModuleType:
    """The example imported as a module, importable on the worker processes too."""
    directory = str(EXAMPLE.parent)
    monkeypatch.syspath_prepend(directory)
    monkeypatch.setenv(
        "PYTHONPATH", os.pathsep.join(filter(None, [directory, os.environ.get("PYTHONPATH")]))
    )
    monkeypatch.delitem(sys.modules, "dask_denoise", raising=False)
    return importlib.import_module("dask_denoise")


@pytest.mark.parametrize(
    ("method", "function"),
    [
        ("linear", tacitor.denoise_linear_regression),
        ("tree", tacitor.denoise_decision_tree),
    ],
)
def test_each_chunk_equals_a_direct_call_on_it(
    tmp_path: Path, method: str, function: Callable[[np.ndarray, int, int], np.ndarray]
) -> None:
    rng = np.random.default_rng(7)
    t = np.arange(120) / 7.0
    # 13 series: chunks of 5, 5 and 3, the last one shorter.
    samples = (
        np.sin(t + rng.uniform(0, 6, size=(13, 1))) + 0.3 * rng.standard_normal((13, 120))
    ).astype(np.float32)
    np.save(tmp_path / "noisy.npy", samples)
    result = run_example(
        "noisy.npy",
        "denoised.npy",
        "--method",
        method,
        "--window",
        "6",
        "--stride",
        "2",
        "--chunk-series",
        str(CHUNK),
        "--workers",
        "2",
        cwd=tmp_path,
    )
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
    # The permissions of a newly created file, as the command-line tool gives its outputs.
    umask = os.umask(0)
    os.umask(umask)
    assert (tmp_path / "denoised.npy").stat().st_mode & 0o777 == 0o666 & ~umask


def test_an_existing_output_is_kept_unless_forced(tmp_path: Path) -> None:
    np.save(tmp_path / "noisy.npy", np.ones((4, 30), np.float32))
    (tmp_path / "denoised.npy").write_bytes(b"previous result")
    args = ("noisy.npy", "denoised.npy", "--window", "4", "--workers", "1")
    result = run_example(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.strip().endswith(
        "'denoised.npy' already exists; use --force to replace it"
    )
    assert (tmp_path / "denoised.npy").read_bytes() == b"previous result"
    result = run_example("noisy.npy", "noisy.npy", "--window", "4", "--force", cwd=tmp_path)
    assert result.returncode == 2 and "is the input file" in result.stderr

    result = run_example(*args, "--force", cwd=tmp_path)
    assert result.returncode == 0, result.stderr[-3000:]
    assert np.load(tmp_path / "denoised.npy").shape == (4, 30)


def test_a_failing_block_reaches_the_client_as_an_ordinary_exception(
    example_module: ModuleType,
) -> None:
    from distributed import Client, LocalCluster

    example = example_module
    # One series of 1024 positions in windows of 64 every 32: 31 training rows for a linear
    # fit of 64 coefficients, which cannot be made; the block's task fails with the reason.
    samples = da.from_array(np.ones((1, 1024), np.float32), chunks=(1, -1))
    blocks = example.denoise_dask(samples, method="linear", window_size=64, stride=32)
    with (
        LocalCluster(
            n_workers=1,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
        ) as cluster,
        Client(cluster) as client,
    ):
        # A task that left the client waiting would run into the timeout.
        with pytest.raises(ValueError, match="at least as many training rows") as caught:
            client.compute(blocks).result(timeout=60)
        # The workers survive it and take the next task.
        assert client.submit(sum, [1, 2]).result(timeout=60) == 3
    assert isinstance(caught.value, Exception)
