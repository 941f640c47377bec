"""tacitor's default path against classical filters whose settings are chosen without the truth.

Per set (a quality family, Gaussian noise unless ``--noise`` says otherwise, one SNR), every
method sees only the noisy batch:

- ``auto``: ``tacitor_tools.auto_denoise`` with its defaults (blended output, the blend
  weight estimated per series and stretch of time; in batches with few training rows, the
  learnt filter at half, a quarter or an eighth of the sampling rate where held-out samples
  favour it);
- ``auto global``: the same with one blend weight for the batch (``combination="global"``);
- ``auto pure``: the same with ``blend=False``;
- ``method auto``: ``tacitor_tools.choose_method`` (linear, tree or their mean, by one
  held-out estimate), its default output (``--method-auto`` only: it costs tree calls);
- ``SG-GCV``: Savitzky–Golay, window and order chosen by generalised cross-validation,
  mean((x − f)²) / (1 − c₀)², c₀ the filter's centre coefficient;
- ``MA-GCV``: the moving average chosen the same way (c₀ = 1 / window);
- ``wavelet-MAD``: soft thresholding at σ·√(2 ln n) per series, σ from the median absolute
  finest-scale coefficient / 0.6745 (sym8, five levels);
- ``ceiling``: the best of the classical grids above chosen with the truth, per set.

Gains in dB over the noisy input, means per family; ``--series 4`` gives the few-row
batches. The last line compares the default with the best truth-tuned *single* setting: the
one classical setting with the highest mean gain over all sets of the run.

One draw of signal and noise per family and SNR (``--seeds 21``, the tables in QUALITY.md)
leaves a family's margin with a scatter of a few tenths of a dB on few-row batches, as large as
the differences the few-row targets judge. ``--seeds 21 22 23 …`` averages over that many
draws and adds the standard error of each family's margin over them.

    python bench/honest_baselines.py [--series 64] [--length 512] [--snrs 0 10 20] [--seeds 21]
"""

from __future__ import annotations

import argparse
import math
import statistics
import sys
import time
from pathlib import Path

import numpy as np
import pywt
from scipy import ndimage, signal

from tacitor_tools import auto_denoise, choose_method

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from quality import make_set  # noqa: E402

FAMILIES = ("sines", "chirp", "steps", "ar2", "spikes", "ecg", "quantised", "bursts")
SG_WINDOWS = range(5, 62, 4)
SG_ORDERS = (2, 3, 4)
MA_WINDOWS = range(3, 62, 2)
METHODS = ("auto", "auto global", "auto pure", "SG-GCV", "MA-GCV", "wavelet-MAD", "ceiling")
HONEST = ("SG-GCV", "MA-GCV", "wavelet-MAD")
NOISE_NAMES = {
    "gaussian": "Gaussian noise",
    "laplace": "Laplace noise",
    "outliers": "Gaussian noise with 1 % impulses of 12 σ",
}


def gain(out: np.ndarray, clean: np.ndarray, noisy: np.ndarray) -> float:
    noise = np.mean((noisy.astype(np.float64) - clean) ** 2)
    return float(10 * math.log10(noise / np.mean((out.astype(np.float64) - clean) ** 2)))


def gcv(x: np.ndarray, out: np.ndarray, centre: float) -> float:
    return float(np.mean((x - out) ** 2) / (1.0 - centre) ** 2)


def classical(x: np.ndarray) -> list[tuple[str, float, np.ndarray, str]]:
    """(family of filter, GCV score, output, setting) for every setting of the grids."""
    out = []
    for w in SG_WINDOWS:
        for order in SG_ORDERS:
            if order < w <= x.shape[1]:
                f = signal.savgol_filter(x, w, order, axis=1, mode="interp")
                centre = signal.savgol_coeffs(w, order)[w // 2]
                out.append(("SG-GCV", gcv(x, f, centre), f, f"SG {w}/{order}"))
    for w in MA_WINDOWS:
        f = ndimage.uniform_filter1d(x, w, axis=1, mode="nearest")
        out.append(("MA-GCV", gcv(x, f, 1.0 / w), f, f"MA {w}"))
    return out


def wavelet_mad(x: np.ndarray) -> np.ndarray:
    rows = []
    for row in x:
        coeffs = pywt.wavedec(row, "sym8", level=5, mode="periodization")
        sigma = np.median(np.abs(coeffs[-1])) / 0.6745
        limit = sigma * math.sqrt(2 * math.log(row.size))
        coeffs[1:] = [pywt.threshold(c, limit, mode="soft") for c in coeffs[1:]]
        rows.append(pywt.waverec(coeffs, "sym8", mode="periodization")[: row.size])
    return np.array(rows)


def gains_of(
    series: int, length: int, family: str, noise: str, snr: int, seed: int, method_auto: bool
) -> tuple[dict[str, float], dict[str, float]]:
    """Gains of every method on one set, and of every classical setting."""
    data = make_set(family, noise, snr, series, length, seed=seed)
    x = data.noisy.astype(np.float64)
    result = {}
    out, selection = auto_denoise(data.noisy)
    result["auto"] = gain(out, data.clean, x)
    rate = selection.slower_rate
    result["half rate"] = float(rate is not None and rate.factor == 2)
    result["quarter rate"] = float(rate is not None and rate.factor == 4)
    result["eighth rate"] = float(rate is not None and rate.factor == 8)
    pure = selection.denoise(data.noisy, blend=False)
    result["auto pure"] = gain(pure, data.clean, x)
    mixed = selection.combined(pure, data.noisy, "global")
    result["auto global"] = gain(mixed, data.clean, x)
    if method_auto:
        begin = time.perf_counter()
        choice = choose_method(data.noisy)
        chosen_out = choice.denoise(data.noisy)
        spent = time.perf_counter() - begin
        result["method auto"] = gain(chosen_out, data.clean, x)
        result["kept"] = ("linear", "tree", "mean").index(choice.kept)
        # Cost against one native call of the kept method at its window (both for the mean).
        begin = time.perf_counter()
        choice.predictions(data.noisy)
        result["cost ratio"] = spent / (time.perf_counter() - begin)
    settings = classical(x)
    for name in ("SG-GCV", "MA-GCV"):
        chosen = min((s for s in settings if s[0] == name), key=lambda s: s[1])
        result[name] = gain(chosen[2], data.clean, x)
    wave = wavelet_mad(x)
    result["wavelet-MAD"] = gain(wave, data.clean, x)
    per_setting = {label: gain(f, data.clean, x) for _, _, f, label in settings}
    result["ceiling"] = max(per_setting.values())
    return result, per_setting


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--series", type=int, default=64)
    parser.add_argument("--length", type=int, default=512)
    parser.add_argument("--snrs", type=int, nargs="+", default=[0, 10, 20])
    parser.add_argument("--seeds", type=int, nargs="+", default=[21])
    parser.add_argument("--noise", default="gaussian", choices=tuple(NOISE_NAMES))
    parser.add_argument("--families", nargs="+", default=list(FAMILIES))
    parser.add_argument("--out", type=Path, default=None)
    parser.add_argument("--method-auto", action="store_true")
    args = parser.parse_args()
    started = time.perf_counter()
    methods = list(METHODS)
    if args.method_auto:
        methods.insert(3, "method auto")
    draws = len(args.seeds)
    spread = " | ± over draws" if draws > 1 else ""
    lines = [
        "| family | " + " | ".join(methods) + f" | auto − best honest{spread} |",
        "|---|" + "---:|" * (len(methods) + 1 + (draws > 1)),
    ]
    margins = []
    all_sets = []
    kept: list[float] = []
    for family in args.families:
        per_set = [
            gains_of(args.series, args.length, family, args.noise, snr, seed, args.method_auto)
            for seed in args.seeds
            for snr in args.snrs
        ]
        all_sets += per_set
        kept += [g["kept"] for g, _ in per_set if "kept" in g]
        means = {m: statistics.mean(g[m] for g, _ in per_set) for m in methods}
        best_honest = max(HONEST, key=lambda m: means[m])
        margins.append(means["auto"] - means[best_honest])
        row = f"| {family} | " + " | ".join(f"{means[m]:+.2f}" for m in methods)
        row += f" | {margins[-1]:+.2f} |"
        if draws > 1:
            # The family's margin per draw (its SNRs), against the same best honest filter.
            snrs = len(args.snrs)
            per_draw = [
                statistics.mean(
                    g["auto"] - g[best_honest] for g, _ in per_set[i * snrs : (i + 1) * snrs]
                )
                for i in range(draws)
            ]
            row += f" {statistics.stdev(per_draw) / math.sqrt(draws):.2f} |"
        lines.append(row)
        print(lines[-1], flush=True)
    overall = {m: statistics.mean(g[m] for g, _ in all_sets) for m in methods}
    lines.append(
        "| **all** | "
        + " | ".join(f"{overall[m]:+.2f}" for m in methods)
        + f" | {overall['auto'] - max(overall[m] for m in HONEST):+.2f} |"
        + (" |" if draws > 1 else "")
    )
    single = {label: statistics.mean(p[label] for _, p in all_sets) for label in all_sets[0][1]}
    best_single = max(single, key=lambda label: single[label])
    notes = [
        f"Best truth-tuned single classical setting over all sets: {best_single} "
        f"({single[best_single]:+.2f} dB); default auto − it: "
        f"{overall['auto'] - single[best_single]:+.2f} dB."
    ]
    half, quarter, eighth = (
        sum(int(g[r]) for g, _ in all_sets) for r in ("half rate", "quarter rate", "eighth rate")
    )
    notes.append(
        f"The default kept the learnt filter at half the rate on {half}, at a quarter on "
        f"{quarter} and at an eighth on {eighth} of {len(all_sets)} sets."
    )
    if kept:
        counts = [kept.count(i) for i in range(3)]
        ratios = [g["cost ratio"] for g, _ in all_sets]
        notes.append(
            f"method auto kept linear {counts[0]}, tree {counts[1]}, the mean {counts[2]} "
            f"times of {len(kept)}; its cost (choice and output) over one call of what it "
            f"kept: median {statistics.median(ratios):.1f}×, largest {max(ratios):.1f}×."
        )
    text = "\n".join(
        [
            f"### {args.series} series × {args.length} samples, {NOISE_NAMES[args.noise]}, SNR "
            f"{', '.join(map(str, args.snrs))} dB"
            f"{f', {draws} draws of each' if draws > 1 else ''} (mean gain in dB per family)",
            "",
            "Written by `python bench/honest_baselines.py "
            f"--series {args.series} --length {args.length}"
            f"{' --method-auto' if args.method_auto else ''}"
            f"{' --noise ' + args.noise if args.noise != 'gaussian' else ''}"
            f"{' --seeds ' + ' '.join(map(str, args.seeds)) if args.seeds != [21] else ''}`.",
            "",
            *lines,
            "",
            f"Mean over families of auto − best honest classical filter: "
            f"{statistics.mean(margins):+.2f} dB. Run time {time.perf_counter() - started:.0f} s.",
            "",
            *notes,
            "",
        ]
    )
    if args.out is not None:
        args.out.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
