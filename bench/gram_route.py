"""The Gram route (``solver="gram"``) against the exact call and both peers, and its effect
on the window search, written to bench/GRAM.md.

Speed: tacitor's exact call, the Gram route, the NumPy Gram peer (bench/gram_peer.py) and the
scikit-learn peer (bench/peer.py, threads over positions) on the same samples; best of
``--repeat`` runs (the exact call and the scikit-learn peer run once at points where they take
tens of seconds). Quality sets (bench/quality.py, Gaussian noise): the Gram route's largest
difference to the exact output relative to the output's largest magnitude, and the window the
search chooses when it scores its linear candidates through the Gram route (the default) and
through exact calls, with the truth's gain of the exact output at each.

    python bench/gram_route.py [--points 64x4096x16 1024x1024x64x1] [--series 100]
                               [--length 1024] [--families ...] [--snrs 0 10 20]
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

import tacitor
from tacitor_tools import bridge, select
from tacitor_tools.selection import search

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import gram_peer  # noqa: E402
import peer  # noqa: E402
from quality import make_set  # noqa: E402
from speed import make_samples  # noqa: E402


def best_time(repeat: int, call, *args, **kwargs) -> tuple[float, np.ndarray]:
    best, out = float("inf"), None
    for _ in range(repeat):
        started = time.perf_counter()
        out = call(*args, **kwargs)
        best = min(best, time.perf_counter() - started)
    return best, out


def relative_difference(a: np.ndarray, b: np.ndarray) -> float:
    return float(np.nanmax(np.abs(a.astype(np.float64) - b)) / np.nanmax(np.abs(b)))


def gain(out: np.ndarray, clean: np.ndarray, noisy: np.ndarray) -> float:
    noise = np.mean((noisy.astype(np.float64) - clean) ** 2)
    return float(10 * np.log10(noise / np.mean((out.astype(np.float64) - clean) ** 2)))


def speed_rows(points: list[str], repeat: int) -> list[str]:
    rows = [
        "| S × L, w, stride | exact call | Gram route | NumPy Gram peer | scikit-learn peer | "
        "Gram vs exact | Gram vs NumPy Gram | max rel. diff. to exact |",
        "|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for point in points:
        series, length, window, stride = ([int(v) for v in point.split("x")] + [1])[:4]
        x = make_samples(series, length)
        once = 1 if series * length * window > 20_000_000 else repeat
        exact_s, exact = best_time(once, tacitor.denoise_linear_regression, x, window, stride)
        gram_s, gram = best_time(repeat, bridge.call, "linear", x, window, stride, solver="gram")
        numpy_s, _ = best_time(repeat, gram_peer.denoise_linear_regression, x, window, stride)
        jobs = os.cpu_count() or 1
        sk_s, _ = best_time(1, peer.denoise_linear_regression, x, window, stride, n_jobs=jobs)
        rows.append(
            f"| {series} × {length}, {window}, {stride} | {exact_s:.3f} s | {gram_s:.3f} s | "
            f"{numpy_s:.3f} s | {sk_s:.3f} s | {exact_s / gram_s:.1f}× | "
            f"{numpy_s / gram_s:.1f}× | {relative_difference(gram, exact):.1e} |"
        )
        print(rows[-1], flush=True)
    return rows


def quality_rows(args) -> tuple[list[str], list[float], list[float], list[bool]]:
    rows = [
        "| set | w (Gram scoring) | w (exact scoring) | dB at Gram's w | dB at exact's w | "
        "scoring s (Gram / exact) | rel. diff. at w |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    diffs, deltas, changed = [], [], []
    for family in args.families:
        for snr in args.snrs:
            data = make_set(family, "gaussian", snr, args.series, args.length, seed=5)
            started = time.perf_counter()
            fast = select(data.noisy)
            fast_s = time.perf_counter() - started
            original = search.scoring_solver
            search.scoring_solver = lambda method: "exact"
            try:
                started = time.perf_counter()
                exact = select(data.noisy)
                exact_s = time.perf_counter() - started
            finally:
                search.scoring_solver = original
            outputs = {}
            for w in {fast.window_size, exact.window_size}:
                outputs[w] = tacitor.denoise_linear_regression(data.noisy, w, 1)
            w = fast.window_size
            gram = bridge.call("linear", data.noisy, w, 1, solver="gram")
            diffs.append(relative_difference(gram, outputs[w]))
            db_fast = gain(outputs[w], data.clean, data.noisy)
            db_exact = gain(outputs[exact.window_size], data.clean, data.noisy)
            deltas.append(db_fast - db_exact)
            changed.append(w != exact.window_size)
            rows.append(
                f"| {family} {snr} dB | {w} | {exact.window_size} | {db_fast:+.2f} | "
                f"{db_exact:+.2f} | {fast_s:.2f} / {exact_s:.2f} | {diffs[-1]:.1e} |"
            )
            print(rows[-1], flush=True)
    return rows, diffs, deltas, changed


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", nargs="*", default=["64x4096x16", "1024x1024x64"])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--series", type=int, default=100)
    parser.add_argument("--length", type=int, default=1024)
    parser.add_argument("--snrs", type=int, nargs="+", default=[0, 10, 20])
    parser.add_argument(
        "--families", nargs="+", default=["sines", "chirp", "steps", "ar2", "spikes", "ecg"]
    )
    parser.add_argument("--out", type=Path, default=HERE / "GRAM.md")
    args = parser.parse_args()
    load = os.getloadavg()
    speed = speed_rows(args.points, args.repeat)
    quality, diffs, deltas, changed = quality_rows(args)
    summary = (
        f"Quality sets: the Gram route's output within {max(diffs):.1e} of the exact output "
        f"(largest difference relative to the output's largest magnitude); the window chosen "
        f"with Gram scoring differs on {sum(changed)} of {len(changed)} sets, by "
        f"{min(deltas):+.2f} dB at worst in the exact output's gain."
    )
    text = "\n".join(
        [
            "# The Gram route",
            "",
            f"Written by `python bench/gram_route.py`; load average at the start "
            f"{load[0]:.1f} / {load[1]:.1f} / {load[2]:.1f} on {os.cpu_count()} cores "
            "(shared with other work).",
            "",
            "## Speed against the exact call and both peers",
            "",
            *speed,
            "",
            f"## The window search on the quality sets ({args.series} × {args.length}, Gaussian)",
            "",
            *quality,
            "",
            summary,
            "",
        ]
    )
    args.out.write_text(text)
    print(summary)


if __name__ == "__main__":
    main()
