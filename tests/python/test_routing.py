"""The one road every interface takes: settings, types, and the companion modules."""

from __future__ import annotations


import numpy as np
import pytest

import tacitor
from tacitor_tools import NativeInternalError
from tacitor_tools.routing import Settings, denoise


def batch(series=6, length=80, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(length) / 5.0
    return np.sin(t + rng.uniform(0, 6, (series, 1))) + 0.3 * rng.standard_normal((series, length))


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int16])
def test_computed_in_float32_and_returned_as_float32_or_float64(dtype):
    samples = (batch() * 100).astype(dtype)
    out = denoise(samples, Settings("tree", np.int64(8), 3))
    assert out.dtype == (np.float32 if dtype == np.float32 else np.float64)
    expected = tacitor.denoise_decision_tree(samples.astype(np.float32), 8, 3)
    np.testing.assert_array_equal(out, expected.astype(out.dtype))


def test_settings_that_cannot_be_used():
    samples = batch()
    for settings, error, text in [
        (Settings("Linear", 8), ValueError, "method must be one of 'linear', 'tree', not 'Linear'"),
        (Settings("linear", "8"), TypeError, "window_size must be an integer or 'auto'"),
        (Settings("linear", True), TypeError, "window_size must be"),
        (Settings("linear", 8, 1.0), TypeError, "stride must be an integer"),
        (
            Settings("linear", 8, missing=True),
            TypeError,
            "missing must be None, 'impute' or 'raise'",
        ),
        (Settings("linear", 8, missing="fill"), ValueError, "not 'fill'"),
    ]:
        with pytest.raises(error, match=text):
            denoise(samples, settings)
    with pytest.raises(ValueError, match="must be 2-D"):
        denoise(samples[0], Settings(window_size=8))
    with pytest.raises(TypeError, match="real numbers"):
        denoise(samples.astype(complex), Settings(window_size=8))
    with pytest.raises(ValueError, match=r"window_size \(81\) is larger than the series"):
        denoise(samples, Settings(window_size=81))


def test_an_internal_failure_is_an_ordinary_exception(monkeypatch):
    # Every known refusal is caught before the native call; route one call past the checks
    # with stride 0 to get a genuine internal failure out of the module.
    real = tacitor.denoise_linear_regression
    monkeypatch.setattr(
        tacitor,
        "denoise_linear_regression",
        lambda samples, window, stride: real(samples, window, 0),
    )
    with pytest.raises(NativeInternalError, match="tacitor internal failure: .+") as caught:
        denoise(batch(), Settings(window_size=8))
    assert caught.value.__cause__ is None and caught.value.__suppress_context__
    assert caught.value.text == "attempt to calculate the remainder with a divisor of zero"


def test_the_package_imports_other_libraries_only_when_asked(run_python):
    result = run_python("""
        import sys
        import tacitor_tools
        heavy = ("pandas", "xarray", "dask", "sklearn")
        print(sorted(name for name in heavy if name in sys.modules))
        sys.modules["sklearn"] = None  # as if scikit-learn were not installed
        try:
            tacitor_tools.TacitorDenoiser
        except ModuleNotFoundError as e:
            print(e)
        print(tacitor_tools.denoise_frame.__module__)
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "[]"
    assert lines[1] == (
        "tacitor_tools.TacitorDenoiser needs sklearn, which is not installed; "
        "install it with pip install 'tacitor[sklearn]'"
    )
    assert lines[2] == "tacitor_tools.frames"
