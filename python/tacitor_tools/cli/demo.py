"""``tacitor demo``: denoise generated series whose clean signals are known.

Several signal shapes (smooth, oscillating, stepped, spiky) are generated, Gaussian noise of
varying strength is added, both methods denoise the batch, and the error against the clean
signals is reported before and after, with a figure of a few series.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

from typing import Any

import numpy as np
import numpy.typing as npt

from .. import bridge
from .denoise import import_native
from .errors import EXIT_FAILURE, CliError

# (method, window, stride): a dense and a strided setting for each method.
SETTINGS = (
    ("linear", 16, 1),
    ("linear", 32, 8),
    ("tree", 8, 2),
    ("tree", 16, 8),
)
# Positions shown in the figure: enough to see the shape, few enough to see the noise.
PLOT_SPAN = 400
PLOTTED_SHAPES = ("sine", "chirp", "square", "steps")
MATPLOTLIB_HINT = (
    "the figure needs matplotlib, which is not installed; install it with "
    "'python -m pip install matplotlib' (make demo does this for you)"
)


# Every generator takes the time positions 0, 1, ..., L - 1 as floats; periods and widths are
# in time positions, so a plot of a few hundred positions looks alike for any length.


def _sine(t: npt.NDArray[Any], rng: np.random.Generator) -> npt.NDArray[Any]:
    return np.asarray(np.sin(2 * np.pi * (t / rng.uniform(60, 250) + rng.uniform())))


def _chirp(t: npt.NDArray[Any], rng: np.random.Generator) -> npt.NDArray[Any]:
    # The frequency rises linearly from one cycle per 400 positions to one per 40.
    f0, f1 = 1 / 400, 1 / 40
    end = max(float(t[-1]), 1.0)
    return np.asarray(np.sin(2 * np.pi * (f0 * t + (f1 - f0) * t**2 / (2 * end))))


def _square(t: npt.NDArray[Any], rng: np.random.Generator) -> npt.NDArray[Any]:
    return np.asarray(np.sign(np.sin(2 * np.pi * (t / rng.uniform(80, 200) + rng.uniform()))))


def _sawtooth(t: npt.NDArray[Any], rng: np.random.Generator) -> npt.NDArray[Any]:
    return 2 * np.mod(t / rng.uniform(80, 200) + rng.uniform(), 1.0) - 1


def _steps(t: npt.NDArray[Any], rng: np.random.Generator) -> npt.NDArray[Any]:
    edges = np.sort(rng.integers(0, t.size, size=max(1, t.size // 120)))
    levels = rng.normal(size=edges.size + 1)
    return np.asarray(levels[np.searchsorted(edges, np.arange(t.size), side="right")])


def _bumps(t: npt.NDArray[Any], rng: np.random.Generator) -> npt.NDArray[Any]:
    count = max(1, t.size // 100)
    centres, widths = rng.uniform(0, t.size, size=count), rng.uniform(3, 15, size=count)
    heights = rng.uniform(0.5, 2.0, size=count)
    bumps = heights * np.exp(-0.5 * ((t[:, None] - centres) / widths) ** 2)
    return np.asarray(bumps.sum(axis=1))


SHAPES: dict[str, Callable[[npt.NDArray[Any], np.random.Generator], npt.NDArray[Any]]] = {
    "sine": _sine,
    "chirp": _chirp,
    "square": _square,
    "sawtooth": _sawtooth,
    "steps": _steps,
    "bumps": _bumps,
}


@dataclass
class Batch:
    clean: npt.NDArray[Any]  # float32, series × time, each series scaled to unit standard deviation
    noisy: npt.NDArray[Any]  # float32, clean plus Gaussian noise
    shapes: list[str]  # shape name of every series


def generate(series: int, length: int, seed: int) -> Batch:
    """Series of every shape in turn, with noise of standard deviation 0.3 to 0.8."""
    rng = np.random.default_rng(seed)
    t = np.arange(length, dtype=np.float64)
    names = list(SHAPES)
    shapes = [names[i % len(names)] for i in range(series)]
    clean = np.empty((series, length))
    for row, name in enumerate(shapes):
        signal = SHAPES[name](t, rng)
        spread = signal.std()
        clean[row] = (signal - signal.mean()) / (spread if spread > 0 else 1.0)
    noise = rng.normal(size=clean.shape) * rng.uniform(0.3, 0.8, size=(series, 1))
    return Batch(clean.astype(np.float32), (clean + noise).astype(np.float32), shapes)


def rmse(estimate: npt.NDArray[Any], clean: npt.NDArray[Any]) -> float:
    """Root mean square error over the finite estimates (NaN gaps are left out)."""
    error = estimate.astype(np.float64) - clean
    return float(np.sqrt(np.nanmean(error**2)))


@dataclass
class Outcome:
    method: str
    window: int
    stride: int
    before: float
    after: float
    seconds: float
    denoised: npt.NDArray[Any]

    @property
    def gain_db(self) -> float:
        return float(20 * np.log10(self.before / self.after))


def evaluate(batch: Batch, settings: tuple[tuple[str, int, int], ...]) -> list[Outcome]:
    import_native()
    before = rmse(batch.noisy, batch.clean)
    outcomes = []
    for method, window, stride in settings:
        try:
            bridge.check_plan(batch.noisy.shape, window, stride, method)
        except ValueError as e:
            print(f"skipping {method} window {window} stride {stride}: {e}", file=sys.stderr)
            continue
        started = time.perf_counter()
        denoised = bridge.call(method, batch.noisy, window, stride)
        seconds = time.perf_counter() - started
        outcomes.append(
            Outcome(method, window, stride, before, rmse(denoised, batch.clean), seconds, denoised)
        )
    return outcomes


def format_table(outcomes: list[Outcome]) -> str:
    lines = [
        f"{'method':<8}{'window':>7}{'stride':>7}{'RMSE noisy':>12}{'RMSE denoised':>15}"
        f"{'SNR gain':>11}{'time':>9}"
    ]
    for o in outcomes:
        lines.append(
            f"{o.method:<8}{o.window:>7}{o.stride:>7}{o.before:>12.4f}{o.after:>15.4f}"
            f"{o.gain_db:>+8.2f} dB{o.seconds:>7.2f} s"
        )
    return "\n".join(lines)


def plot(batch: Batch, outcomes: list[Outcome], path: str) -> None:
    """Noisy, clean and denoised curves of one series of each of a few shapes."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [batch.shapes.index(s) for s in PLOTTED_SHAPES if s in batch.shapes]
    # The first setting of each method: one denoised curve per method.
    shown: dict[str, Outcome] = {}
    for o in outcomes:
        shown.setdefault(o.method, o)
    span = slice(0, min(PLOT_SPAN, batch.clean.shape[1]))
    figure, axes = plt.subplots(
        len(rows), 1, figsize=(8, 1.8 * len(rows) + 0.6), sharex=True, squeeze=False
    )
    for axis, row in zip(axes[:, 0], rows):
        x = np.arange(batch.clean.shape[1])[span]
        axis.plot(x, batch.noisy[row, span], color="0.75", lw=0.8, label="noisy")
        axis.plot(x, batch.clean[row, span], color="black", lw=1.4, label="clean")
        for colour, o in zip(("tab:blue", "tab:orange"), shown.values()):
            axis.plot(
                x,
                o.denoised[row, span],
                color=colour,
                lw=1.1,
                label=f"{o.method} (window {o.window}, stride {o.stride})",
            )
        axis.set_ylabel(batch.shapes[row])
    axes[0, 0].legend(loc="upper right", fontsize="small", ncol=4, framealpha=0.9)
    axes[-1, 0].set_xlabel("time position")
    figure.suptitle("tacitor: denoised series against their clean signals")
    figure.tight_layout()
    figure.savefig(path, dpi=90)
    plt.close(figure)


def run(args: argparse.Namespace) -> int:
    if not args.no_plot:
        directory = os.path.dirname(os.path.abspath(args.plot))
        if not os.path.isdir(directory):
            raise CliError(
                f"cannot write '{args.plot}': the directory '{directory}' does not exist"
            )
    batch = generate(args.series, args.length, args.seed)
    print(
        f"{args.series} series of {args.length} time positions, shapes: "
        f"{', '.join(sorted(set(batch.shapes)))}; Gaussian noise, standard deviation 0.3-0.8"
    )
    outcomes = evaluate(batch, SETTINGS)
    if not outcomes:
        raise CliError(
            "the batch is too small for every demo setting; use more --series or a larger --length",
            EXIT_FAILURE,
        )
    print(format_table(outcomes))
    if args.no_plot:
        return 0
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print(f"tacitor: {MATPLOTLIB_HINT}", file=sys.stderr)
        return 0
    plot(batch, outcomes, args.plot)
    print(f"figure written to {args.plot}")
    return 0
