"""``tacitor demo`` on a reduced batch: the table, the figure and the matplotlib hint."""

from __future__ import annotations

import struct
import subprocess
import sys
from pathlib import Path

import pytest

TACITOR = Path(sys.executable).with_name("tacitor")
SMALL = ["demo", "--series", "6", "--length", "600"]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def run(
    *args: str, cwd: Path, env: dict[str, str] | None = None
) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [str(TACITOR), *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )


def table_rows(stdout: str) -> list[list[str]]:
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("method"))
    return [line.split() for line in lines[start + 1 :] if line.split()[0] in ("linear", "tree")]


def test_demo_prints_the_table_and_writes_a_png(tmp_path: Path) -> None:
    result = run(*SMALL, "--plot", "figure.png", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    rows = table_rows(result.stdout)
    assert {row[0] for row in rows} == {"linear", "tree"}
    assert len(rows) == 4
    for method, window, stride, before, after, gain, db, seconds, unit in rows:
        assert (db, unit) == ("dB", "s")
        # Every setting removes a good part of the noise of these smooth and stepped shapes.
        assert float(after) < 0.8 * float(before), rows
        assert float(gain) > 1.0

    png = (tmp_path / "figure.png").read_bytes()
    assert png.startswith(PNG_SIGNATURE)
    assert png[12:16] == b"IHDR"
    width, height = struct.unpack(">II", png[16:24])
    assert 400 <= width <= 2000 and 300 <= height <= 2000
    assert 20_000 < len(png) < 2_000_000
    assert "figure written to figure.png" in result.stdout


def test_demo_without_matplotlib_explains_how_to_install_it(tmp_path: Path) -> None:
    # A package that fails to import stands in for a missing matplotlib.
    (tmp_path / "shadow" / "matplotlib").mkdir(parents=True)
    (tmp_path / "shadow" / "matplotlib" / "__init__.py").write_text(
        "raise ImportError('No module named matplotlib')\n"
    )
    import os

    path = os.pathsep.join(filter(None, [str(tmp_path / "shadow"), os.environ.get("PYTHONPATH")]))
    env = dict(os.environ, PYTHONPATH=path)
    result = run(*SMALL, cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stderr
    assert "pip install matplotlib" in result.stderr
    assert len(table_rows(result.stdout)) == 4
    assert not (tmp_path / "demo.png").exists()


@pytest.mark.parametrize("args", [["--no-plot"], ["--plot", "missing/dir/x.png"]])
def test_demo_plot_options(tmp_path: Path, args: list[str]) -> None:
    result = run(*SMALL, *args, cwd=tmp_path)
    if args == ["--no-plot"]:
        assert result.returncode == 0
        assert list(tmp_path.iterdir()) == []
    else:
        assert result.returncode != 0
        assert "does not exist" in result.stderr and "Traceback" not in result.stderr
