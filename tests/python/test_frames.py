"""pandas: a DataFrame with time as the index and one column per series."""

from __future__ import annotations

import numpy as np
import pytest

import tacitor

pd = pytest.importorskip("pandas")
from tacitor_tools import denoise_frame  # noqa: E402


def frame(dtype="float32", series=6, length=90, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(length) / 5.0
    values = np.sin(t[:, None] + rng.uniform(0, 6, series)) + 0.3 * rng.standard_normal(
        (length, series)
    )
    index = pd.date_range("2024-01-01", periods=length, freq="15min", name="when")
    return pd.DataFrame(
        values.astype(dtype),
        index=index,
        columns=pd.Index([f"sensor {i}" for i in range(series)], name="id"),
    )


@pytest.mark.parametrize("method", ["linear", "tree"])
def test_columns_are_the_series_and_labels_come_back(method):
    data = frame()
    out = denoise_frame(data, method=method, window_size=8, stride=2)
    native = {"linear": tacitor.denoise_linear_regression, "tree": tacitor.denoise_decision_tree}[
        method
    ]
    np.testing.assert_array_equal(
        out.to_numpy().T, native(np.ascontiguousarray(data.to_numpy().T), 8, 2)
    )
    assert out.index.equals(data.index) and out.columns.equals(data.columns)
    assert (out.dtypes == np.float32).all()


def test_other_number_types_come_back_as_float64_and_a_series_as_a_series():
    data = frame("float64")
    data["counts"] = np.arange(len(data)) % 7
    out = denoise_frame(data, window_size=8)
    assert (out.dtypes == np.float64).all()
    rows = data.to_numpy(dtype=np.float32).T.copy()
    np.testing.assert_array_equal(
        out.to_numpy().T, tacitor.denoise_linear_regression(rows, 8, 1).astype(np.float64)
    )

    one = denoise_frame(data["sensor 2"], window_size=8)
    assert isinstance(one, pd.Series) and one.name == "sensor 2" and one.index.equals(data.index)
    np.testing.assert_array_equal(
        one.to_numpy(), tacitor.denoise_linear_regression(rows[2:3], 8, 1)[0]
    )


def test_unusable_frames_are_refused():
    data = frame()
    with pytest.raises(ValueError, match="increasing order"):
        denoise_frame(data.iloc[::-1], window_size=8)
    labelled = data.assign(site="north")
    with pytest.raises(TypeError, match="column 'site' holds values of type"):
        denoise_frame(labelled, window_size=8)


def test_pandas_missing_values_are_nan_to_the_missing_value_loop():
    import tacitor_tools.missing as missing

    data = frame("float64").astype("Float64")
    data.iloc[10:13, 1] = pd.NA
    out = denoise_frame(data, window_size=8, missing="impute")
    rows = data.to_numpy(dtype=np.float32, na_value=np.nan).T.copy()
    np.testing.assert_array_equal(
        out.to_numpy().T, missing.denoise(rows, 8, 1, missing="impute").astype(np.float64)
    )


def test_a_trained_model_denoises_new_frames_and_series():
    from tacitor_tools import fit

    data = frame()
    model = fit(np.ascontiguousarray(data.to_numpy().T), 8, 2)
    new = frame(seed=1)
    expected = model.denoise(np.ascontiguousarray(new.to_numpy().T))
    np.testing.assert_array_equal(denoise_frame(new, model=model).to_numpy().T, expected)
    np.testing.assert_array_equal(
        denoise_frame(new["sensor 2"], model=model).to_numpy(), expected[2]
    )
