"""Every companion entry point: the same plain refusal for the same mistake, one dtype rule."""

from __future__ import annotations

import numpy as np
import pytest

import tacitor_tools
from tacitor_tools.bridge import result_dtype

pd = pytest.importorskip("pandas")
xr = pytest.importorskip("xarray")
da = pytest.importorskip("dask.array")
pytest.importorskip("sklearn")


def batch(series=6, length=100, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(length) / 6.0
    return np.sin(t + rng.uniform(0, 6, (series, 1))) + 0.3 * rng.standard_normal((series, length))


# Each entry point as a function of (rows of series, settings) returning a NumPy array.
ENTRY_POINTS = {
    "denoise": lambda x, method="linear", window_size=8, stride=1, missing=None: (
        tacitor_tools.denoise(x, window_size, stride, method=method, missing=missing or "raise")
    ),
    "sklearn": lambda x, **kw: tacitor_tools.TacitorDenoiser(**kw).fit_transform(x),
    "frame": lambda x, **kw: tacitor_tools.denoise_frame(pd.DataFrame(x.T), **kw).to_numpy().T,
    "dataarray": lambda x, **kw: (
        tacitor_tools.denoise_dataarray(xr.DataArray(x, dims=("series", "time")), **kw).values
    ),
    "dask": lambda x, **kw: tacitor_tools.denoise_dask(x, **kw).compute(scheduler="sync"),
}


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_plain_errors_for_plain_mistakes(entry):
    call = ENTRY_POINTS[entry]
    x = batch()
    for settings, text in [
        ({"window_size": 0}, "window_size must be at least 1, not 0"),
        ({"window_size": 8, "stride": 0}, "stride must be at least 1, not 0"),
        ({"window_size": 8, "stride": -2}, "stride must be at least 1, not -2"),
        ({"window_size": -1}, "window_size must be at least 1, not -1"),
        ({"window_size": 200}, r"window_size \(200\) is larger than the series length \(100\)"),
        (
            {"window_size": 8, "method": "spline"},
            "method must be one of 'linear', 'tree', not 'spline'",
        ),
    ]:
        with pytest.raises(ValueError, match=text):
            call(x, **settings)
    holed = x.copy()
    holed[2, 10] = np.nan
    # Missing values are refused with the remedy, whether the window is given or selected.
    for window in (8, "auto"):
        if entry == "denoise" and window == "auto":
            continue
        with pytest.raises(ValueError, match="1 missing values .*missing='impute'"):
            call(holed, window_size=window)


def test_batches_that_no_call_can_denoise():
    with pytest.raises(ValueError, match="no series to denoise"):
        tacitor_tools.denoise(np.zeros((0, 100), "f4"), 8)
    # No series has data, but the window is still judged against the series.
    with pytest.raises(ValueError, match="larger than the series length"):
        tacitor_tools.denoise(np.full((4, 100), np.nan), 200)
    with pytest.raises(ValueError, match="training rows"):
        tacitor_tools.denoise(np.zeros((1, 100), "f4"), 64, 32)


@pytest.mark.parametrize("dtype", ["float32", "float64", "int16", "Float32", "Float64"])
def test_one_result_type_everywhere(dtype):
    x = (batch() * 100).astype(np.float64).round()
    numpy_type = np.dtype(dtype.lower())
    expected = result_dtype(numpy_type)
    assert expected == (np.float32 if numpy_type == np.float32 else np.float64)
    outputs = [
        tacitor_tools.denoise_frame(pd.DataFrame(x.T).astype(dtype), window_size=8).to_numpy().dtype
    ]
    if dtype[0] != "F":
        typed = x.astype(dtype)
        outputs += [ENTRY_POINTS[name](typed).dtype for name in ENTRY_POINTS if name != "frame"]
        outputs.append(tacitor_tools.auto_denoise(typed, window_sizes=(8,))[0].dtype)
    assert set(outputs) == {expected}


def test_pandas_warns_of_an_uneven_time_index_and_xarray_refuses_a_dataset():
    index = pd.date_range("2024-01-01", periods=102, freq="h").delete([40, 41])
    frame = pd.DataFrame(batch().T, index=index)
    with pytest.warns(UserWarning, match=r"not evenly spaced .*asfreq\('h'\).*impute"):
        tacitor_tools.denoise_frame(frame, window_size=8)
    with pytest.raises(TypeError, match="not Dataset; for a Dataset, denoise each data"):
        tacitor_tools.denoise_dataarray(xr.Dataset({"a": (("s", "time"), batch())}))


def test_the_budget_warning_says_what_stopped_the_search():
    x = batch(series=20, length=400)
    selection = tacitor_tools.select(x, window_sizes=(4, 8, 16, 32, 64), time_budget_s=1e-9)
    note = next(w for w in selection.warnings if "time budget" in w)
    assert "of the time budget of 1e-09 s, window 8 (stride 1) was predicted to take" in note
    assert note.endswith("not tried: 8/1, 16/1, 32/1, 64/1")
