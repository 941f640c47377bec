"""What the default window search costs and what its output is worth, on quality sets.

For every set: the default ``auto_denoise`` (search with the one-standard-error choice and
the stop once the estimate no longer falls, then the blended output) against

- one native call at the window it chose (the cost target: at most 2× in the median, 3× on
  every set, for batches of at least 100,000 training rows);
- the full grid 4 … 64 with the lowest estimate chosen (the rule before), pure output;
- the truth: the gain of every window of the grid, the best of them as a ceiling.

    python bench/selection_cost.py [--series 100] [--length 1024] [--snrs 0 10 20]
                                   [--families sines chirp ...] [--cost-only]

The exact call at the widest windows (96, 128 on 100 × 1024) is the slow part, minutes on a
busy machine; it is the denominator, so ``--snrs 10 --cost-only`` is the bounded run.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import tacitor
from tacitor_tools import auto_denoise, select

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from quality import make_set  # noqa: E402

GRID = (4, 8, 16, 32, 64)
FAMILIES = ("sines", "chirp", "steps", "ar2", "spikes", "ecg", "quantised", "bursts")


def machine_load() -> str:
    """The load average and the other processes' share of the CPU, for the report."""
    busy = 0.0
    try:
        top = subprocess.run(["top", "-bn1"], capture_output=True, text=True, timeout=10)
        header = next(i for i, line in enumerate(top.stdout.splitlines()) if "%CPU" in line)
        for line in top.stdout.splitlines()[header + 1 :]:
            fields = line.split()
            if len(fields) > 8 and fields[0] != str(os.getpid()):
                busy += float(fields[8].replace(",", "."))
    except (OSError, StopIteration, ValueError, subprocess.SubprocessError):
        return f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores"
    return (
        f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores, other processes "
        f"{busy:.0f} % of one core"
    )


def gain(out: np.ndarray, clean: np.ndarray, noisy: np.ndarray) -> float:
    noise = np.mean((noisy.astype(np.float64) - clean) ** 2)
    return float(10 * np.log10(noise / np.mean((out.astype(np.float64) - clean) ** 2)))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--series", type=int, default=100)
    parser.add_argument("--length", type=int, default=1024)
    parser.add_argument("--snrs", type=int, nargs="+", default=[0, 10, 20])
    parser.add_argument("--families", nargs="+", default=list(FAMILIES))
    parser.add_argument("--out", type=Path, default=HERE / "SELECTION_COST.md")
    parser.add_argument(
        "--cost-only",
        action="store_true",
        help="leave out the full-grid search and the truth's gains (the cost columns only)",
    )
    args = parser.parse_args()
    load_before = machine_load()
    lines = [
        "| set | chosen w (grid min) | auto s | native s | ratio | auto dB | "
        "pure dB | grid-min pure dB | truth-best w, dB |",
        "|---|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    ratios, deltas = [], []
    for family in args.families:
        for snr in args.snrs:
            data = make_set(family, "gaussian", snr, args.series, args.length, seed=5)
            started = time.perf_counter()
            out, selection = auto_denoise(data.noisy)
            auto_s = time.perf_counter() - started
            w = selection.window_size
            started = time.perf_counter()
            pure = tacitor.denoise_linear_regression(data.noisy, w, 1)
            native_s = time.perf_counter() - started
            pure_db = gain(pure, data.clean, data.noisy)
            ratios.append(auto_s / native_s)
            w_text, grid_text, truth_text = f"{w} (–)", "–", "–"
            if not args.cost_only:
                full = select(data.noisy, window_sizes=GRID)
                grid_min = min(full.table, key=lambda c: c.loss).window_size
                truth = {
                    c: gain(
                        tacitor.denoise_linear_regression(data.noisy, c, 1), data.clean, data.noisy
                    )
                    for c in GRID
                }
                best_w = max(GRID, key=lambda c: truth[c])
                deltas.append(pure_db - truth[grid_min])
                grid_text = f"{truth[grid_min]:+.2f}"
                truth_text = f"{best_w}, {truth[best_w]:+.2f}"
                w_text = f"{w} ({grid_min})"
            lines.append(
                f"| {family} {snr} dB | {w_text} | {auto_s:.2f} | {native_s:.2f} | "
                f"{auto_s / native_s:.1f}× | {gain(out, data.clean, data.noisy):+.2f} | "
                f"{pure_db:+.2f} | {grid_text} | {truth_text} |"
            )
            print(lines[-1], flush=True)
    rows = args.series * (args.length - 1)
    summary = f"Median cost ratio {statistics.median(ratios):.1f}×, largest {max(ratios):.1f}×"
    if deltas:
        summary += (
            "; the chosen window's pure output against the grid minimum's: mean "
            f"{statistics.mean(deltas):+.2f} dB, worst {min(deltas):+.2f} dB"
        )
    summary += f" (machine at the start: {load_before}; at the end: {machine_load()})."
    text = "\n".join(
        [
            "# Cost and worth of the default window search",
            "",
            f"Written by `python bench/selection_cost.py` ({args.series} series × {args.length} "
            f"samples, about {rows:,} training rows at small windows; Gaussian noise; linear "
            "method). `auto s`: `auto_denoise` with its defaults (search and blended output); "
            "`native s`: one native call at the chosen window; `auto dB`: the default output's "
            "gain; `pure dB`: the pure prediction at the chosen window; `grid-min pure dB`: the "
            "pure prediction at the window with the lowest estimate on the full grid 4 … 64.",
            "",
            *lines,
            "",
            summary,
            "",
        ]
    )
    args.out.write_text(text)
    print(summary)


if __name__ == "__main__":
    main()
