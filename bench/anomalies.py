"""Error bars and anomaly detection of trained denoisers on the quality families.

For every family of bench/quality.py (Gaussian noise at 0, 10 and 20 dB) a denoiser is
fitted with ``window_size="auto"`` on one batch and applied to a second, independent batch
of the same family (the production use: train today, apply tomorrow).

- Calibration: the share of samples whose clean value lies inside the 95 % band of
  ``Denoiser.bands`` (target 93–97 % in every family), and the band's mean width in units of
  the noise's standard deviation, for the default (blended) output and the pure prediction.
- Detection: isolated spikes of 5σ and 8σ (σ the series' noise level, random sign, one in
  each stretch of ``SPACING`` samples, at least ``SPACING`` / 2 apart) are added to the
  second batch. ``Denoiser.anomalies`` at its default threshold is scored by recall and precision beside two detectors a user without
  tacitor would use: the same standardised-residual rule on the residuals of a
  Savitzky–Golay filter chosen by GCV (bench/honest_baselines.py), and a Hampel filter
  (running median and MAD) at the same threshold, its width the best of ``HAMPEL_WIDTHS``
  on each set by F1 against the truth (a choice generous to it).
  ``--thresholds`` sweeps the threshold to choose the default.

    python bench/anomalies.py --thresholds 3.5 4 4.5 5 --out bench/ANOMALIES.md
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np
from scipy import signal

import tacitor_tools
from tacitor_tools import uncertainty

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from honest_baselines import FAMILIES, SG_ORDERS, SG_WINDOWS, gcv  # noqa: E402
from quality import make_set  # noqa: E402

SNRS = (0, 10, 20)
SPIKES_SIGMA = (5.0, 8.0)
SPIKES_PER_SERIES = 4
SPACING = 40
HAMPEL_WIDTHS = (7, 15, 31)
SMOOTH = ("sines", "chirp", "ar2")


def inject(noisy, sigma, size, rng):
    """``noisy`` with isolated spikes of ``size`` × the series' σ, and their mask."""
    out = noisy.astype(np.float64).copy()
    mask = np.zeros(out.shape, dtype=bool)
    length = out.shape[1]
    slots = np.arange(SPACING // 2, length - SPACING // 2, SPACING)
    for row in range(out.shape[0]):
        for t in rng.choice(slots, size=SPIKES_PER_SERIES, replace=False):
            t += rng.integers(-SPACING // 4, SPACING // 4)
            out[row, t] += size * sigma[row] * rng.choice((-1.0, 1.0))
            mask[row, t] = True
    return out, mask


def hampel_scores(x, width):
    deviation = x - uncertainty.local_median(x, width)
    scale = uncertainty.MAD_TO_STD * uncertainty.local_median(np.abs(deviation), width)
    return np.abs(deviation) / np.maximum(scale, 1e-300)


def savgol_gcv(x):
    """The Savitzky–Golay output of the lowest GCV score on the grid of honest_baselines,
    and its window."""
    best = (np.inf, 0, x)
    for w in SG_WINDOWS:
        for order in SG_ORDERS:
            if order < w:
                f = signal.savgol_filter(x, w, order, axis=1, mode="interp")
                score = gcv(x, f, signal.savgol_coeffs(w, order)[w // 2])
                best = min(best, (score, w, f), key=lambda b: b[0])
    return best[2], best[1]


def recall_precision(found, truth):
    hits = int((found & truth).sum())
    recall = hits / max(int(truth.sum()), 1)
    precision = hits / max(int(found.sum()), 1) if found.any() else 1.0
    return recall, precision


def f1(recall, precision):
    return 0.0 if recall + precision == 0 else 2 * recall * precision / (recall + precision)


def one_set(family, snr, series, length, thresholds):
    train = make_set(family, "gaussian", snr, series, length, seed=21)
    test = make_set(family, "gaussian", snr, series, length, seed=22)
    denoiser = tacitor_tools.fit(train.noisy, "auto")
    sigma = (test.noisy.astype(np.float64) - test.clean).std(axis=1)
    row = {"window": denoiser.window_size, "k": denoiser.blend_weight}
    for name, blend in (("blend", None), ("pure", False)):
        lower, upper = denoiser.bands(test.noisy, 0.95, blend=blend)
        inside = (test.clean >= lower) & (test.clean <= upper)
        row[f"cover {name}"] = float(inside.mean())
        row[f"width {name}"] = float(np.mean((upper - lower) / sigma[:, None]))
    rng = np.random.default_rng(7)
    for size in SPIKES_SIGMA:
        spiked, truth = inject(test.noisy, sigma, size, rng)
        scores = denoiser.anomalies(spiked.astype(np.float32)).scores
        smooth, sg_window = savgol_gcv(spiked)
        sg_scores = uncertainty.anomaly_scores(spiked, smooth, sg_window, 1.0).scores
        hampels = [hampel_scores(spiked, width) for width in HAMPEL_WIDTHS]
        for threshold in thresholds:
            found = np.abs(scores) > threshold
            row[(size, threshold, "tacitor")] = recall_precision(found, truth)
            row[(size, threshold, "SG-GCV")] = recall_precision(
                np.abs(sg_scores) > threshold, truth
            )
            row[(size, threshold, "Hampel")] = max(
                (recall_precision(h > threshold, truth) for h in hampels), key=lambda p: f1(*p)
            )
    return row


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--series", type=int, default=32)
    parser.add_argument("--length", type=int, default=512)
    parser.add_argument("--families", nargs="+", default=list(FAMILIES))
    parser.add_argument("--snrs", type=int, nargs="+", default=list(SNRS))
    parser.add_argument(
        "--thresholds", type=float, nargs="+", default=[uncertainty.ANOMALY_THRESHOLD]
    )
    parser.add_argument("--out", type=Path, default=None)
    args = parser.parse_args()
    started = time.perf_counter()
    rows = {}
    for family in args.families:
        for snr in args.snrs:
            rows[family, snr] = one_set(family, snr, args.series, args.length, args.thresholds)
            r = rows[family, snr]
            print(
                f"{family} {snr} dB: w {r['window']} k {r['k']:.2f} cover "
                f"{r['cover blend']:.3f}/{r['cover pure']:.3f}",
                flush=True,
            )
    lines = [
        f"### Calibration: 95 % bands, {args.series} series × {args.length} samples per batch",
        "",
        "Mean over SNR " + ", ".join(map(str, args.snrs)) + " dB (per SNR in brackets); "
        "width in units of the noise's standard deviation.",
        "",
        "| family | coverage (blended) | width | coverage (pure prediction) | width |",
        "|---|---:|---:|---:|---:|",
    ]
    for family in args.families:
        sets = [rows[family, snr] for snr in args.snrs]
        cells = []
        for key in ("blend", "pure"):
            covers = [s[f"cover {key}"] for s in sets]
            cells.append(
                f"{100 * statistics.mean(covers):.1f} % ("
                + " / ".join(f"{100 * c:.1f}" for c in covers)
                + ")"
            )
            cells.append(f"{statistics.mean(s[f'width {key}'] for s in sets):.2f}")
        lines.append(f"| {family} | " + " | ".join(cells) + " |")
    for threshold in args.thresholds:
        lines += [
            "",
            f"### Detection at threshold {threshold:g}: recall / precision (F1), mean over SNR",
            "",
            "| family | spike | tacitor | SG-GCV residuals | Hampel |",
            "|---|---:|---:|---:|---:|",
        ]
        f1_means = {}
        for size in SPIKES_SIGMA:
            for family in args.families:
                cells = []
                for name in ("tacitor", "SG-GCV", "Hampel"):
                    pairs = [rows[family, snr][(size, threshold, name)] for snr in args.snrs]
                    recall = statistics.mean(p[0] for p in pairs)
                    precision = statistics.mean(p[1] for p in pairs)
                    score = f1(recall, precision)
                    f1_means.setdefault((size, name), []).append(score)
                    cells.append(f"{recall:.3f} / {precision:.3f} ({score:.3f})")
                lines.append(f"| {family} | {size:g}σ | " + " | ".join(cells) + " |")
        lines.append(
            "| mean F1 | | "
            + " | ".join(
                "/".join(f"{statistics.mean(f1_means[s, n]):.3f}" for s in SPIKES_SIGMA)
                for n in ("tacitor", "SG-GCV", "Hampel")
            )
            + " |"
        )
    lines += ["", f"Run time {time.perf_counter() - started:.0f} s.", ""]
    text = "\n".join(lines)
    print(text)
    if args.out is not None:
        args.out.write_text(text)


if __name__ == "__main__":
    main()
