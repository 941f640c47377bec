"""Dask: blocks of whole series on a local cluster of worker processes."""

from __future__ import annotations

import numpy as np
import pytest

import tacitor

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
from tacitor_tools import NativeInternalError, denoise_dask  # noqa: E402

pytestmark = pytest.mark.slow


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


def batch(series=14, length=100, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(length) / 7.0
    return (
        np.sin(t + rng.uniform(0, 6, (series, 1))) + 0.3 * rng.standard_normal((series, length))
    ).astype(np.float32)


@pytest.mark.parametrize("method", ["linear", "tree"])
def test_each_block_of_series_equals_a_call_on_it(client, method):
    samples = batch()
    native = {"linear": tacitor.denoise_linear_regression, "tree": tacitor.denoise_decision_tree}[
        method
    ]
    out = client.compute(
        denoise_dask(da.from_array(samples, chunks=(5, -1)), method=method, window_size=6, stride=2)
    ).result(timeout=120)
    assert out.dtype == np.float32
    for start in range(0, 14, 5):
        rows = slice(start, start + 5)
        np.testing.assert_array_equal(out[rows], native(samples[rows], 6, 2))


def test_time_split_into_chunks_is_joined_or_refused(client):
    samples = batch().astype(np.float64)
    split = da.from_array(samples, chunks=(7, 30))
    out = denoise_dask(split, window_size=6)
    assert out.chunks[1] == (100,) and out.dtype == np.float64
    joined = np.concatenate(
        [
            tacitor.denoise_linear_regression(samples.astype(np.float32)[rows], 6, 1)
            for rows in np.split(np.arange(14), np.cumsum(out.chunks[0])[:-1])
        ]
    )
    np.testing.assert_array_equal(client.compute(out).result(timeout=120), joined)
    with pytest.raises(ValueError, match="split into 4 chunks"):
        denoise_dask(split, window_size=6, rechunk=False)


def _fail_internally():
    """In a worker: the linear function called with stride 0, past the companion's checks."""
    real = tacitor.denoise_linear_regression
    tacitor.denoise_linear_regression = lambda samples, window, stride: real(samples, window, 0)
    tacitor.real_linear_regression = real


def _restore():
    tacitor.denoise_linear_regression = tacitor.real_linear_regression


def test_an_internal_failure_in_a_worker_is_reported_and_the_cluster_lives_on(client):
    samples = da.from_array(batch(), chunks=(7, -1))
    # The native call fails internally, with a BaseException; the task fails with an
    # ordinary exception, which Dask handles like any other.
    client.run(_fail_internally)
    try:
        with pytest.raises(NativeInternalError, match="tacitor internal failure"):
            client.compute(denoise_dask(samples, window_size=7)).result(timeout=120)
    finally:
        client.run(_restore)
    assert client.compute(denoise_dask(samples, window_size=6)).result(timeout=120).shape == (
        14,
        100,
    )


def test_auto_window_is_chosen_once_on_the_first_block():
    import tacitor_tools.selection as selection

    samples = batch(series=24, length=200, seed=3)
    out = denoise_dask(da.from_array(samples, chunks=(8, -1)), blend=False).compute(
        scheduler="sync"
    )
    chosen = selection.select(samples[:8], method="linear", strides=(1,))
    # 8 × 200 may keep a slower rate; either way every block takes the first block's choice.
    np.testing.assert_array_equal(out[16:], chosen.denoise(samples[16:], blend=False))


@pytest.mark.parametrize("method", ["linear", "tree"])
def test_one_trained_model_gives_the_same_bits_for_any_chunking(client, method):
    from tacitor_tools import fit

    samples = batch(series=21, length=90, seed=4)
    model = fit(samples[:8], 6, 2, method=method)
    expected = model.denoise(samples)
    for chunks in ((4, -1), (10, 30)):
        out = client.compute(
            denoise_dask(da.from_array(samples, chunks=chunks), model=model)
        ).result(timeout=120)
        np.testing.assert_array_equal(out.view(np.uint32), expected.view(np.uint32))
