"""The shipped type stubs, as mypy sees them in a user's script."""

from __future__ import annotations

import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

# Every test runs mypy, which takes seconds even with a warm cache.
pytestmark = pytest.mark.slow

CORRECT = """
    import numpy as np
    import numpy.typing as npt
    import tacitor

    samples = np.zeros((4, 32), dtype=np.float32)
    smooth: npt.NDArray[np.float32] = tacitor.denoise_linear_regression(samples, 8, 1)
    steps = tacitor.denoise_decision_tree(samples=samples, window_size=np.int64(8), stride=2)
    reveal_type(steps)
    print(tacitor.__all__, smooth.shape)
"""

WRONG = """
    import tacitor

    tacitor.denoise_linear_regression([[1.0, 2.0, 3.0]], 2, 1)
    tacitor.denoise_decision_tree(None, 2)  # type: ignore[arg-type]
    tacitor.denoise_linear_regression
    text: str = tacitor.denoise_decision_tree.__name__
    tacitor.denoise_decision_tree(samples=None, window_size=2.5, stride=1)  # type: ignore[arg-type]
    tacitor.denoise_everything
"""


def mypy(tmp_path: Path, source: str) -> subprocess.CompletedProcess[str]:
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(source))
    return subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--cache-dir",
            str(tmp_path / "cache"),
            str(script),
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )


def test_mypy_accepts_a_correct_script_and_sees_float32_arrays(tmp_path: Path) -> None:
    result = mypy(tmp_path, CORRECT)
    assert result.returncode == 0, result.stdout + result.stderr
    assert 'Revealed type is "numpy.ndarray[' in result.stdout
    # NumPy spells float32 as floating[<32-bit>], under a name that moves between releases.
    assert re.search(r"numpy\.float32|floating\[[\w.]*_32Bit\]", result.stdout), result.stdout


def test_mypy_reports_a_list_a_missing_argument_and_an_unknown_name(tmp_path: Path) -> None:
    result = mypy(tmp_path, WRONG)
    assert result.returncode == 1
    lines = result.stdout.splitlines()
    assert any(
        ":4: error:" in line and '"list[list[float]]"' in line and "[arg-type]" in line
        for line in lines
    ), result.stdout
    assert any(
        ":5: error:" in line and 'Missing positional argument "stride"' in line for line in lines
    ), result.stdout
    assert any(":9: error:" in line and "denoise_everything" in line for line in lines), (
        result.stdout
    )
    assert "Found 3 errors" in result.stdout


def test_stubs_match_the_native_module(tmp_path: Path) -> None:
    # stubtest imports the module and compares every stubbed name and signature with it.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tacitor"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 module" in result.stdout


INTERFACES = """
    import numpy as np
    import pandas as pd
    import xarray as xr
    from tacitor_tools import TacitorDenoiser, denoise_dask, denoise_dataarray, denoise_frame

    frame = pd.DataFrame(np.zeros((32, 3)), index=pd.RangeIndex(32))
    smooth: pd.DataFrame = denoise_frame(frame, window_size=8)
    one: pd.Series = denoise_frame(frame[0], method="tree", window_size="auto")
    cube: xr.DataArray = denoise_dataarray(xr.DataArray(np.zeros((2, 32)), dims=("x", "time")))
    lazy = denoise_dask(np.zeros((4, 32)), window_size=8, rechunk=False)
    denoiser = TacitorDenoiser(method="linear", window_size=8, missing="impute")
    print(smooth, one, cube, lazy.shape, denoiser.fit_transform(np.zeros((4, 32))))

    wrong_type: pd.DataFrame = denoise_frame(frame[0], window_size=8)
    TacitorDenoiser(window_size="automatic")
    TacitorDenoiser(method="spline")
"""


@pytest.mark.slow
def test_mypy_checks_a_script_using_the_interfaces(tmp_path: Path) -> None:
    for module in ("pandas", "xarray", "dask.array", "sklearn"):
        pytest.importorskip(module)
    result = mypy(tmp_path, INTERFACES)
    lines = result.stdout.splitlines()
    assert any(
        ":15: error:" in line and '"Series[' in line and "[assignment]" in line for line in lines
    ), result.stdout
    assert any(
        ":16: error:" in line and "'automatic'" in line and "[arg-type]" in line for line in lines
    ), result.stdout
    assert any(
        ":17: error:" in line and "'spline'" in line and "[arg-type]" in line for line in lines
    ), result.stdout
    assert "Found 3 errors" in result.stdout


@pytest.mark.slow
def test_the_whole_package_passes_mypy_strict(tmp_path: Path) -> None:
    root = Path(__file__).resolve().parents[2]
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--config-file",
            str(root / "pyproject.toml"),
            "--no-incremental",
            "--cache-dir",
            str(tmp_path / "cache"),
            str(root / "python" / "tacitor_tools"),
        ],
        cwd=root,
        capture_output=True,
        text=True,
        timeout=600,
        check=False,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("Success: no issues found")
