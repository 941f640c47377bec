"""Every interface's automatic window runs the same default path as ``auto_denoise`` (blend,
local weighting, glitches as missing values) and passes ``solver`` and ``combination`` on."""

from __future__ import annotations

import numpy as np
import pytest

from tacitor_tools import auto_denoise
from tacitor_tools.cli import main


def glitchy_sines(series: int = 6, length: int = 240) -> np.ndarray:
    rng = np.random.default_rng(11)
    t = np.arange(length)
    # Periods of 8 to 20 samples: the batch is denoised at its full rate with a blend weight
    # well above its uncertainty, so that every option below changes the output.
    clean = np.sin(2 * np.pi * t / rng.uniform(8, 20, (series, 1)) + rng.uniform(0, 6, (series, 1)))
    x = (clean + 0.3 * rng.standard_normal((series, length))).astype(np.float32)
    x[2, 100] = 1e4  # a gross outlier: found, predicted from its neighbours, reported
    return x


def via_sklearn(x, tmp_path, **options):
    from tacitor_tools import TacitorDenoiser

    return TacitorDenoiser(**options).fit_transform(x)


def via_frame(x, tmp_path, **options):
    import pandas as pd

    from tacitor_tools import denoise_frame

    return denoise_frame(pd.DataFrame(x.T), **options).to_numpy().T


def via_xarray(x, tmp_path, **options):
    import xarray as xr

    from tacitor_tools import denoise_dataarray

    return denoise_dataarray(xr.DataArray(x, dims=("series", "time")), **options).values


def via_dask(x, tmp_path, **options):
    import dask.array as da

    from tacitor_tools import denoise_dask

    return denoise_dask(da.from_array(x), **options).compute()


def via_cli(x, tmp_path, **options):
    np.save(tmp_path / "in.npy", x)
    flags = [f"--{name}={value}" for name, value in options.items()]
    code = main.main(
        [
            "denoise",
            str(tmp_path / "in.npy"),
            "-o",
            str(tmp_path / "out.npy"),
            "-f",
            *([] if "model" in options else ["--window", "auto"]),
            *flags,
        ]
    )
    if code != 0:
        raise ValueError(f"exit status {code}")
    return np.load(tmp_path / "out.npy")


INTERFACES = [via_sklearn, via_frame, via_xarray, via_dask, via_cli]
OPTIONS = ({}, {"combination": "global"}, {"solver": "gram"})


@pytest.fixture(scope="module")
def expected():
    """auto_denoise's output for each set of options, and its selection with the defaults."""
    x = glitchy_sines()
    results = [auto_denoise(x, **options) for options in OPTIONS]
    return [out for out, _ in results], results[0][1]


@pytest.mark.parametrize("interface", INTERFACES)
def test_auto_window_is_the_default_path_with_the_options_passed_on(interface, tmp_path, expected):
    x = glitchy_sines()
    outputs, selection = expected
    assert selection.glitches == ((2, 100),)
    for options, out in zip(OPTIONS, outputs):
        if options:
            assert not np.array_equal(out, outputs[0])  # the option changes the output
        np.testing.assert_array_equal(interface(x, tmp_path, **options), out)


@pytest.mark.parametrize("interface", INTERFACES[:4])
def test_unusable_options_are_refused_as_auto_denoise_refuses_them(interface, tmp_path):
    x = glitchy_sines()
    for options, message in (
        ({"combination": "median"}, "combination must be one of 'global', 'local'"),
        ({"solver": "fast"}, "solver must be one of 'exact', 'gram'"),
        ({"solver": "gram", "method": "tree"}, "solver='gram' is for the linear method only"),
    ):
        with pytest.raises(ValueError, match=message):
            auto_denoise(x, **options)
        with pytest.raises(ValueError, match=message):
            interface(x, tmp_path, **options)


def test_the_command_line_refuses_unusable_options_in_its_own_words(tmp_path, capsys):
    x = glitchy_sines()
    with pytest.raises(ValueError):
        via_cli(x, tmp_path, solver="gram", method="tree")
    assert "--solver gram is for the linear method only, not 'tree'" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        via_cli(x, tmp_path, combination="median")
    assert "invalid choice: 'median'" in capsys.readouterr().err
    (tmp_path / "model.tacitor").write_bytes(b"")
    with pytest.raises(ValueError):
        via_cli(x, tmp_path, solver="gram", model=tmp_path / "model.tacitor")
    assert "--solver and --model exclude each other" in capsys.readouterr().err
