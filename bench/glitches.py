"""Gross outliers (glitches): how much one wild sample costs a batch, and what is flagged.

1. One glitch of 1e2 … 1e8 times the noise level in 64 series × 4096 samples of sines
   (unit amplitude, noise σ 0.1 and 0.3), linear method, window 16: the gain outside the
   glitch, against the same batch without the glitch, for the plain native call and for the
   companion's default path (``auto_denoise`` with the glitch search on).
2. What the rule flags on the quality families (and ECG-like beats with sharp QRS
   complexes) without any glitch: every flag is counted, and a flag is a real peak when the
   clean signal, not the noise, puts the sample far from its running median.

    python bench/glitches.py    # writes bench/GLITCHES.md
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import numpy as np

import tacitor
from tacitor_tools import auto_denoise
from tacitor_tools.glitches import find_glitches, running_median

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from quality import NOISES, SIGNALS, make_set  # noqa: E402

SIZES = (1e2, 1e3, 1e4, 1e6, 1e8)
FLAG_SNRS_DB = (0, 10, 20, 30)


def gain_outside(
    out: np.ndarray, noisy: np.ndarray, clean: np.ndarray, outside: np.ndarray
) -> float:
    noise = np.mean((noisy[outside] - clean[outside]) ** 2)
    return float(10 * np.log10(noise / np.mean((out[outside] - clean[outside]) ** 2)))


def damage_table() -> list[str]:
    rng = np.random.default_rng(7)
    t = np.arange(4096)
    clean = np.sin(
        2 * np.pi * rng.uniform(0.002, 0.02, (64, 1)) * t + rng.uniform(0, 2 * np.pi, (64, 1))
    )
    lines = [
        "| noise σ | glitch (× σ) | plain call | default path | flagged |",
        "|---:|---:|---:|---:|---:|",
    ]
    for sigma in (0.1, 0.3):
        noisy = (clean + sigma * rng.standard_normal(clean.shape)).astype(np.float32)
        outside = np.ones(clean.shape, bool)
        outside[17, 2345] = False
        plain_ref = gain_outside(
            tacitor.denoise_linear_regression(noisy, 16, 1), noisy, clean, outside
        )
        auto_ref = gain_outside(auto_denoise(noisy, window_sizes=(16,))[0], noisy, clean, outside)
        for size in SIZES:
            hit = noisy.copy()
            hit[17, 2345] += np.float32(size * sigma)
            plain = gain_outside(tacitor.denoise_linear_regression(hit, 16, 1), hit, clean, outside)
            out, selection = auto_denoise(hit, window_sizes=(16,))
            auto = gain_outside(out, hit, clean, outside)
            lines.append(
                f"| {sigma} | {size:.0e} | {plain - plain_ref:+.2f} dB | "
                f"{auto - auto_ref:+.2f} dB | {len(selection.glitches)} |"
            )
    return lines


def flag_table() -> list[str]:
    lines = [
        "| family | noise | SNR (dB) | flags | real peaks flagged |",
        "|---|---|---:|---:|---:|",
    ]
    for family in (*SIGNALS, "ecg"):
        for noise in NOISES:
            for snr in FLAG_SNRS_DB:
                data = make_set(family, noise, snr, 64, 4096, seed=11)
                mask = find_glitches(data.noisy)
                signal_part = np.abs(data.clean - running_median(data.clean))
                noise_part = np.abs(data.noisy - data.clean)
                real = int((mask & (signal_part > noise_part)).sum())
                lines.append(f"| {family} | {noise} | {snr} | {int(mask.sum())} | {real} |")
    return lines


def main() -> None:
    started = time.perf_counter()
    damage = damage_table()
    flags = flag_table()
    text = "\n".join(
        [
            "# Glitches: one wild sample in a batch",
            "",
            "Written by `python bench/glitches.py`.",
            "",
            "## Gain outside the glitch, against the same batch without it",
            "",
            "64 sines × 4096 samples, linear method, window 16; one glitch at (17, 2345). "
            "`plain call`: the native call on the batch as it is; `default path`: "
            "`auto_denoise(x, window_sizes=(16,))` (glitch search on, blended output).",
            "",
            *damage,
            "",
            "## Flags on batches without glitches (64 series × 4096 samples)",
            "",
            "A flag is a real peak when the clean signal's own distance from its running median "
            "exceeds the noise at that sample. Flags on `outliers` noise are the noise's own "
            "impulses (12 times the background level, 1 % of the samples), which are many "
            "and go both ways, so that samples standing out alone count as impulses there; "
            "a real peak flagged there is one of the signal's that stood out alone as well.",
            "",
            *flags,
            "",
            f"Run time {time.perf_counter() - started:.0f} s.",
            "",
        ]
    )
    (HERE / "GLITCHES.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
