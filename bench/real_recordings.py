"""tacitor's default path on recordings that no one on the project made, against the
classical filters a user would choose without the truth.

Every set is a real recording taken as the clean signal, with white Gaussian noise of 0.1 and
0.3 times the set's standard deviation added. The methods and their scoring are those of
``honest_baselines.py`` (Savitzky–Golay and the moving average by GCV, wavelet thresholding
at the MAD noise level, the truth-tuned best setting as a ceiling). Where the recording has
gaps, the classical filters see the gaps filled by straight lines, tacitor sees the NaN
(its own imputation), and gains are taken over the observed samples only.

The sets come with PyPI packages, so nothing is downloaded: GunPoint (hand motion, 200 × 150)
and OSULeaf (leaf outlines, 442 × 427) from sktime's bundled UCR archives; an excerpt of the
MIT-BIH arrhythmia record sktime bundles (7,500 samples at 360 Hz, as 10 × 750); and the
weekly Mauna Loa CO2 record from statsmodels (1959–2001 as 43 years × 52 weeks, with its
own gaps).

    pip install sktime statsmodels PyWavelets
    python bench/real_recordings.py [--out bench/REAL.md] [--series 4]

``--series N`` keeps the first N series of every set as well (the few-row batches).
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
import warnings
from collections.abc import Callable
from pathlib import Path

import numpy as np

from tacitor_tools import auto_denoise

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from honest_baselines import HONEST, classical, wavelet_mad  # noqa: E402

LEVELS = (0.1, 0.3)
METHODS = ("auto", "auto pure", "SG-GCV", "MA-GCV", "wavelet-MAD", "ceiling")


def gunpoint() -> np.ndarray:
    from sktime.datasets import load_gunpoint

    return np.asarray(load_gunpoint(return_type="numpy2D")[0], dtype=np.float64)


def osuleaf() -> np.ndarray:
    from sktime.datasets import load_osuleaf

    return np.asarray(load_osuleaf(return_type="numpy2D")[0], dtype=np.float64)


def mitdb() -> np.ndarray:
    import pandas as pd
    import sktime

    path = os.path.join(os.path.dirname(sktime.__file__), "datasets", "data", "mitdb")
    values = pd.read_csv(os.path.join(path, "mitdb.csv"))["data"].to_numpy(np.float64)
    return values[:7500].reshape(10, 750)


def co2() -> np.ndarray:
    import statsmodels.api as sm

    weekly = sm.datasets.co2.load_pandas().data["co2"]
    start = int(np.argmax(weekly.index.year >= 1959))
    return weekly.to_numpy(np.float64)[start : start + 43 * 52].reshape(43, 52)


SETS: dict[str, tuple[str, Callable[[], np.ndarray]]] = {
    "GunPoint": ("hand motion", gunpoint),
    "OSULeaf": ("leaf outlines", osuleaf),
    "MIT-BIH": ("ECG excerpt", mitdb),
    "CO2": ("weekly CO2, real gaps", co2),
}


def filled(x: np.ndarray) -> np.ndarray:
    """Gaps filled by straight lines between the observed neighbours (ends held)."""
    out = x.copy()
    positions = np.arange(x.shape[1])
    for row in out:
        gaps = np.isnan(row)
        if gaps.any() and not gaps.all():
            row[gaps] = np.interp(positions[gaps], positions[~gaps], row[~gaps])
    return out


def observed_gcv(score: float, out: np.ndarray, lined: np.ndarray, observed: np.ndarray) -> float:
    """A GCV ``score`` of the gap-filled data with its mean square taken over the observed
    samples only: the filled samples are no data."""
    every = float(np.mean((lined - out) ** 2))
    return score * float(np.mean((lined - out)[observed] ** 2)) / every if every > 0 else score


def gain(out: np.ndarray, clean: np.ndarray, noisy: np.ndarray, observed: np.ndarray) -> float:
    noise = np.mean((noisy[observed] - clean[observed]) ** 2)
    error = np.mean((np.asarray(out, dtype=np.float64)[observed] - clean[observed]) ** 2)
    return float(10 * math.log10(noise / error))


def gains_of(clean: np.ndarray, level: float, seed: int) -> dict[str, float]:
    rng = np.random.default_rng(seed)
    observed = np.isfinite(clean)
    sigma = level * float(np.nanstd(clean))
    noisy = clean + sigma * rng.standard_normal(clean.shape)
    noisy32 = noisy.astype(np.float32)
    x = noisy32.astype(np.float64)
    result = {}
    begin = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out, selection = auto_denoise(noisy32)
    result["seconds"] = time.perf_counter() - begin
    result["auto"] = gain(out, clean, x, observed)
    result["auto pure"] = gain(selection.denoise(noisy32, blend=False), clean, x, observed)
    lined = filled(x)
    settings = classical(lined)
    for name in ("SG-GCV", "MA-GCV"):
        chosen = min(
            (s for s in settings if s[0] == name),
            key=lambda s: observed_gcv(s[1], s[2], lined, observed),
        )
        result[name] = gain(chosen[2], clean, x, observed)
    result["wavelet-MAD"] = gain(wavelet_mad(lined), clean, x, observed)
    result["ceiling"] = max(gain(f, clean, x, observed) for _, _, f, _ in settings)
    return result


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", type=Path, default=None)
    parser.add_argument("--series", type=int, default=None)
    args = parser.parse_args()
    lines = [
        "| set (series × length) | noise | " + " | ".join(METHODS) + " | auto − best honest "
        "| auto seconds |",
        "|---|---|" + "---:|" * (len(METHODS) + 2),
    ]
    margins = []
    for name, (label, load) in SETS.items():
        data = load()
        batches = [data] if args.series is None else [data, data[: args.series]]
        for batch in batches:
            for seed, level in enumerate(LEVELS):
                g = gains_of(batch, level, seed)
                margin = g["auto"] - max(g[m] for m in HONEST)
                margins.append(margin)
                lines.append(
                    f"| {name}, {label} ({batch.shape[0]} × {batch.shape[1]}) | {level} σ | "
                    + " | ".join(f"{g[m]:+.2f}" for m in METHODS)
                    + f" | {margin:+.2f} | {g['seconds']:.2f} |"
                )
                print(lines[-1], flush=True)
    text = "\n".join(
        [
            "Gains in dB over the noisy input (white noise of 0.1 and 0.3 times the set's "
            "standard deviation), written by `python bench/real_recordings.py"
            f"{'' if args.series is None else f' --series {args.series}'}`.",
            "",
            *lines,
            "",
            f"auto − best honest classical filter: median {np.median(margins):+.2f} dB, "
            f"from {min(margins):+.2f} to {max(margins):+.2f} dB.",
            "",
        ]
    )
    print(text)
    if args.out is not None:
        args.out.write_text(text)


if __name__ == "__main__":
    main()
