"""xarray: series along a named time dimension, lazily on Dask-backed arrays."""

from __future__ import annotations

import numpy as np
import pytest

import tacitor

xr = pytest.importorskip("xarray")
pytest.importorskip("dask.array")
from tacitor_tools import denoise_dataarray  # noqa: E402


def cube(seed=0):
    """3 × 4 series of 120 steps, time in the middle."""
    rng = np.random.default_rng(seed)
    t = np.arange(120) / 6.0
    values = np.sin(t[None, :, None] + rng.uniform(0, 6, (3, 1, 4)))
    values = (values + 0.3 * rng.standard_normal(values.shape)).astype(np.float32)
    return xr.DataArray(
        values,
        dims=("site", "time", "depth"),
        coords={"site": ["a", "b", "c"], "time": np.arange(120) * 10},
        attrs={"units": "K"},
        name="temperature",
    )


def rows_of(array):
    """The series of ``array`` as a matrix, one row per (site, depth)."""
    return np.ascontiguousarray(array.transpose(..., "time").values.reshape(-1, 120))


def test_every_series_of_the_array_is_one_batch():
    data = cube()
    out = denoise_dataarray(data, window_size=8, method="tree")
    assert out.dims == data.dims and out.attrs == data.attrs and out.name == data.name
    assert out["site"].equals(data["site"]) and out["time"].equals(data["time"])
    np.testing.assert_array_equal(rows_of(out), tacitor.denoise_decision_tree(rows_of(data), 8, 1))


def test_dask_blocks_are_batches_of_their_own():
    data = cube().chunk({"site": 2, "depth": 4})
    out = denoise_dataarray(data, window_size=8)
    assert out.chunks is not None  # still lazy
    for sites in (slice(0, 2), slice(2, 3)):
        block = data.isel(site=sites).compute()
        np.testing.assert_array_equal(
            rows_of(out.isel(site=sites).compute()),
            tacitor.denoise_linear_regression(rows_of(block), 8, 1),
        )


def test_time_split_into_chunks_or_an_unknown_dimension_is_refused():
    data = cube()
    with pytest.raises(ValueError, match=r"split into 3 chunks .*data.chunk\(\{'time': -1\}\)"):
        denoise_dataarray(data.chunk({"time": 40}), window_size=8)
    with pytest.raises(ValueError, match="'t' is not a dimension"):
        denoise_dataarray(data, dim="t", window_size=8)


def test_auto_window_is_chosen_once_for_every_block():
    import tacitor_tools.selection as selection

    data = cube(seed=1).chunk({"site": 1})
    out = denoise_dataarray(data, window_size="auto", blend=False)
    first = rows_of(data.isel(site=slice(0, 1)).compute())
    window = selection.select(first, method="linear", strides=(1,)).window_size
    last = data.isel(site=slice(2, 3)).compute()
    np.testing.assert_array_equal(
        rows_of(out.isel(site=slice(2, 3)).compute()),
        tacitor.denoise_linear_regression(rows_of(last), window, 1),
    )


def test_a_trained_model_denoises_every_block_alike():
    from tacitor_tools import fit

    data = cube()
    model = fit(rows_of(data)[:5], 8, 2, method="tree")
    expected = model.denoise(rows_of(data))
    for array in (data, data.chunk({"site": 1, "depth": 3})):
        out = denoise_dataarray(array, model=model)
        np.testing.assert_array_equal(rows_of(out.compute()), expected)
