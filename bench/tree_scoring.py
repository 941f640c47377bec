"""The tree's window search scored on a subsample of the series, against full scoring.

For every set (a quality family, Gaussian noise, one SNR): ``auto_denoise(method="tree")``
with its defaults, whose candidates are scored on at most 16 evenly spaced series, against the
same search scoring every series; the chosen windows, the default outputs' gains, and the
cost of search + output against one tree call at the chosen window.

    python bench/tree_scoring.py [--series 100] [--length 1024] [--snrs 10]
                                 [--families sines chirp ...]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import tacitor
from tacitor_tools import auto_denoise
from tacitor_tools.selection import scoring

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from quality import make_set  # noqa: E402
from selection_cost import FAMILIES, gain, machine_load  # noqa: E402


def timed_auto(noisy: np.ndarray, scoring_series: int) -> tuple[np.ndarray, int, float]:
    saved = scoring.SCORING_SERIES
    scoring.SCORING_SERIES = scoring_series
    try:
        started = time.perf_counter()
        out, selection = auto_denoise(noisy, method="tree")
        return out, selection.window_size, time.perf_counter() - started
    finally:
        scoring.SCORING_SERIES = saved


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--series", type=int, default=100)
    parser.add_argument("--length", type=int, default=1024)
    parser.add_argument("--snrs", type=int, nargs="+", default=[10])
    parser.add_argument("--families", nargs="+", default=list(FAMILIES))
    parser.add_argument("--out", type=Path, default=HERE / "TREE_SCORING.md")
    args = parser.parse_args()
    load_before = machine_load()
    lines = [
        "| set | w sub / full | pure Δ dB | dB sub / full | Δ dB | auto s sub / full | "
        "tree call s | ratio sub / full |",
        "|---|---|---:|---|---:|---|---:|---|",
    ]
    deltas, pure_deltas, ratios, full_ratios = [], [], [], []
    for family in args.families:
        for snr in args.snrs:
            data = make_set(family, "gaussian", snr, args.series, args.length, seed=5)
            sub, w_sub, sub_s = timed_auto(data.noisy, scoring.SCORING_SERIES)
            full, w_full, full_s = timed_auto(data.noisy, args.series)
            started = time.perf_counter()
            pure_sub = tacitor.denoise_decision_tree(data.noisy, w_sub, 1)
            call_s = time.perf_counter() - started
            pure_full = (
                pure_sub
                if w_full == w_sub
                else tacitor.denoise_decision_tree(data.noisy, w_full, 1)
            )
            db_sub = gain(sub, data.clean, data.noisy)
            db_full = gain(full, data.clean, data.noisy)
            pure_delta = gain(pure_sub, data.clean, data.noisy) - gain(
                pure_full, data.clean, data.noisy
            )
            deltas.append(db_sub - db_full)
            pure_deltas.append(pure_delta)
            ratios.append(sub_s / call_s)
            full_ratios.append(full_s / call_s)
            lines.append(
                f"| {family} {snr} dB | {w_sub} / {w_full} | {pure_delta:+.2f} | "
                f"{db_sub:+.2f} / {db_full:+.2f} | "
                f"{db_sub - db_full:+.2f} | {sub_s:.2f} / {full_s:.2f} | {call_s:.2f} | "
                f"{sub_s / call_s:.1f}× / {full_s / call_s:.1f}× |"
            )
            print(lines[-1], flush=True)
    summary = (
        f"Subsample against full scoring: the same window on {sum(d == 0 for d in pure_deltas)} "
        f"of {len(pure_deltas)} sets; the chosen window's pure output Δ dB mean "
        f"{statistics.mean(pure_deltas):+.2f}, worst {min(pure_deltas):+.2f}; the default "
        f"output's Δ dB mean {statistics.mean(deltas):+.2f}, worst {min(deltas):+.2f}, best "
        f"{max(deltas):+.2f}. Cost of search + output over one tree "
        f"call at the chosen window: median {statistics.median(ratios):.1f}× (full scoring "
        f"{statistics.median(full_ratios):.1f}×), largest {max(ratios):.1f}× "
        f"({max(full_ratios):.1f}×). Machine at the start: {load_before}; at the end: "
        f"{machine_load()}."
    )
    text = "\n".join(
        [
            "# The tree's window search on a subsample of the series",
            "",
            f"Written by `python bench/tree_scoring.py` ({args.series} series × {args.length} "
            'samples, Gaussian noise, `auto_denoise(method="tree")` with its defaults). `sub`: '
            f"candidates scored on {scoring.SCORING_SERIES} evenly spaced series (the default); "
            "`full`: on every series. `pure Δ dB`: the gain of the pure output (one tree call) at "
            "the window the subsample chose less that at the window full scoring chose; `dB`: "
            "the default (blended) output's gain over the noisy input, whose blend weight and "
            "noise level are estimated on the scored series; `auto s`: search and output; `tree call s`: one native tree call at the "
            "window the subsample chose.",
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
