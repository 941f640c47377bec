"""Denoising gain of the linear method on data in physical units: offsets and magnitudes.

Sixteen series of 2,000 samples, each a sine plus white noise at 0.3 of its amplitude, are
scaled and offset as measured data would be and denoised with window 16, stride 1. The gain
is against the clean signal; least squares with an intercept does not depend on the units, so
every row should match the unit-scale row. The tree method's output scales exactly and is
not measured here.

    python bench/units.py            # prints a Markdown table
    python bench/units.py --json f   # also writes the numbers to f
"""

from __future__ import annotations

import argparse
import json
import math
import os

import numpy as np

import tacitor

SERIES, LENGTH, WINDOW, STRIDE = 16, 2000, 16, 1
NOISE = 0.3

# (label, amplitude, offset)
ROWS = [
    ("amplitude 1, offset 0", 1.0, 0.0),
    ("amplitude 1, offset 100", 1.0, 100.0),
    ("amplitude 1, offset 1000", 1.0, 1e3),
    ("amplitude 1, offset 10^4", 1.0, 1e4),
    ("amplitude 1, offset 10^5", 1.0, 1e5),
    ("amplitude 1, offset 10^6", 1.0, 1e6),
    ("kelvin: 300 ± 0.01", 0.01, 300.0),
    ("kelvin: 300 ± 0.001", 0.001, 300.0),
    ("pascal: 101,325 ± 10", 10.0, 101325.0),
    ("amplitude 10^-4", 1e-4, 0.0),
    ("amplitude 10^-6", 1e-6, 0.0),
    ("amplitude 10^-10", 1e-10, 0.0),
    ("amplitude 10^-20", 1e-20, 0.0),
    ("amplitude 10^-30", 1e-30, 0.0),
    ("amplitude 10^16", 1e16, 0.0),
    ("amplitude 10^17", 1e17, 0.0),
    ("amplitude 10^20", 1e20, 0.0),
    ("amplitude 10^30", 1e30, 0.0),
]


def unit_data(seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """The clean sines and the noise, both at unit amplitude, in double precision."""
    rng = np.random.default_rng(seed)
    t = np.arange(LENGTH)
    periods = rng.uniform(40, 200, size=(SERIES, 1))
    phases = rng.uniform(0, 2 * np.pi, size=(SERIES, 1))
    clean = np.sin(2 * np.pi * t / periods + phases)
    return clean, NOISE * rng.standard_normal((SERIES, LENGTH))


def gain_db(amplitude: float, offset: float, clean: np.ndarray, noise: np.ndarray) -> float:
    """Gain of the linear method in dB; errors are measured in units of the amplitude, in
    double precision, so that the offset does not swamp them."""
    samples = (offset + amplitude * (clean + noise)).astype(np.float32)
    output = tacitor.denoise_linear_regression(samples, WINDOW, STRIDE)
    reference = offset + amplitude * clean

    def error(x: np.ndarray) -> float:
        return float(np.mean(((x.astype(np.float64) - reference) / amplitude) ** 2))

    return 10 * math.log10(error(samples) / error(output))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", help="also write the numbers to this file")
    args = parser.parse_args()
    clean, noise = unit_data()
    results = []
    print(
        f"{SERIES} series x {LENGTH}, window {WINDOW}, stride {STRIDE}, "
        f"{os.cpu_count()} CPUs, load {os.getloadavg()[0]:.1f}\n"
    )
    print("| data | gain |")
    print("|---|---:|")
    for label, amplitude, offset in ROWS:
        try:
            gain = gain_db(amplitude, offset, clean, noise)
            shown = f"{gain:+.2f} dB"
        except BaseException as error:  # noqa: BLE001 - InternalFailure is the finding here
            if isinstance(error, KeyboardInterrupt):
                raise
            gain, shown = None, f"{type(error).__name__}: {error}"
        results.append({"data": label, "amplitude": amplitude, "offset": offset, "gain": gain})
        print(f"| {label} | {shown} |", flush=True)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
