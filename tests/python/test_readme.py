"""Every Python example of README.md runs as pasted, and the companion documents itself."""

from __future__ import annotations

import importlib.util
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tacitor_tools

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(), re.MULTILINE | re.DOTALL)
# Top-level package a block imports → whether it is installed.
IMPORTS = re.compile(r"^\s*(?:from|import)\s+(\w+)", re.MULTILINE)


def _params(code):
    # A Dask cluster takes seconds to start, a search runs many candidates: those examples
    # run with the slow tests.
    marks = [pytest.mark.slow] if "LocalCluster" in code or "auto_denoise" in code else []
    return pytest.param(code, marks=marks, id=f"line{_line_of(code)}")


def _line_of(code):
    return README.read_text()[: README.read_text().index(code)].count("\n") + 1


def test_the_readme_has_examples():
    assert len(BLOCKS) >= 6


@pytest.mark.parametrize("code", [_params(code) for code in BLOCKS])
def test_a_readme_example_runs_as_pasted(code, tmp_path):
    for module in set(IMPORTS.findall(code)):
        if importlib.util.find_spec(module) is None:
            pytest.skip(f"needs {module}")
    result = subprocess.run(
        [sys.executable, "-c", code],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=600,
        check=False,
        env={**os.environ, "MPLBACKEND": "Agg"},
    )
    assert result.returncode == 0, result.stderr


def test_help_names_every_parameter_of_every_public_function():
    assert tacitor_tools.__version__[0].isdigit()
    for name in tacitor_tools.__all__:
        item = getattr(tacitor_tools, name)
        doc = inspect.getdoc(item) or ""
        assert len(doc.splitlines()) >= 3, name
        if inspect.isfunction(item):
            missing = [p for p in inspect.signature(item).parameters if p not in doc]
            assert not missing, f"{name}: {missing} not described"
