"""The linear method on data in physical units: large offsets, tiny and huge magnitudes.

Least squares with an intercept does not depend on the units, so the gain of denoising must
not either; inputs that are safe in their own units keep the plain engine's bits, and the
others follow the change of units that README documents, to the bit."""

import math
import subprocess
import sys

import numpy as np
import pytest

import tacitor
from test_bit_exact import _require_level

F = np.float32
NOISE = 0.3
OFFSETS = (0.0, 1e2, 1e4, 1e6)
MAGNITUDES = (1e-30, 1e-12, 1e-4, 1.0, 1e4, 1e12, 1e30)
# (series, length, window, stride): a batch, few long series at stride 2, one series.
SHAPES = ((8, 400, 8, 1), (3, 600, 12, 2), (1, 1500, 6, 1))


def unit_sines(series, length, seed=3):
    rng = np.random.default_rng(seed)
    t = np.arange(length)
    periods = rng.uniform(30, 120, size=(series, 1))
    clean = np.sin(2 * np.pi * t / periods + rng.uniform(0, 6, size=(series, 1)))
    return clean, NOISE * rng.standard_normal((series, length))


def gain_db(shape, magnitude, offset):
    series, length, window, stride = shape
    clean, noise = unit_sines(series, length)
    samples = (offset + magnitude * (clean + noise)).astype(F)
    output = tacitor.denoise_linear_regression(samples, window, stride)
    truth = offset + magnitude * clean

    def error(x):
        return np.mean(((x.astype(np.float64) - truth) / magnitude) ** 2)

    return 10 * math.log10(error(samples) / error(output))


def test_gain_does_not_depend_on_the_units():
    for shape in SHAPES:
        unit = gain_db(shape, 1.0, 0.0)
        assert unit > 3.0, shape
        for offset in OFFSETS:
            for magnitude in MAGNITUDES:
                # Only where float32 resolves the noise at this offset into a few steps.
                if magnitude * NOISE < 4 * np.spacing(F(offset)):
                    continue
                gain = gain_db(shape, magnitude, offset)
                assert abs(gain - unit) <= 0.5, (shape, offset, magnitude, gain, unit)


# The decision reads the samples on the calling thread in a fixed order, so every kernel level
# and worker count gives the same gains and the same documented bits.
@pytest.mark.parametrize("level, workers", [("baseline", "1"), ("avx2", "2"), ("avx512", "3")])
def test_units_hold_at_every_kernel_level_and_worker_count(level, workers):
    env = dict(_require_level(level), RAYON_NUM_THREADS=workers)
    completed = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            __file__,
            "-k",
            "not every_kernel_level",
        ],
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert completed.returncode == 0, completed.stdout[-3000:] + completed.stderr[-3000:]


# ---------------------------------------------------------------------------------------------
# The change of units as README states it, written independently: statistics in double over
# the samples in row-major order, the decision, then x' = f32((x - c) * 2^k), the plain
# pipeline on x', and y = f32(y' * 2^-k + c).

FLOAT_MAX = float(np.finfo(F).max)


def to_f32(value):
    if math.isfinite(value):
        value = min(max(value, -FLOAT_MAX), FLOAT_MAX)
    return F(value)


def documented_scaling(samples, window_size, stride):
    series, length = samples.shape
    windows = len(range(0, length - window_size, stride)) + 1
    m, n = float(series * windows), float(window_size)
    values = [float(x) for x in samples.ravel()]
    total = largest = 0.0
    for x in values:
        total += x
        largest = max(largest, abs(x))
    mean = total / len(values)
    squares = 0.0
    for x in values:
        squares += (x - mean) * (x - mean)
    spread = math.sqrt(squares / len(values))
    share = spread / math.sqrt(1.0 + (n - 1.0) * (mean * mean + spread * spread))
    cutoff = math.sqrt(m + n + 1.0) * 0.5 * 2.0**-23
    loses = share < 2.0**10 * cutoff and share < 0.5 / math.sqrt(n)
    overflows = m * (1.0 + n * (largest * largest)) > 2.0**112
    offset, exponent = to_f32(mean), -math.frexp(spread)[1]
    if not (loses or overflows) or (offset == 0 and exponent == 0):
        return None
    return offset, exponent


def documented_denoise(samples, window_size, stride):
    """The output README's rule predicts from the module's own output on the changed units:
    those samples are in band (spread near 1, mean near 0), so the module fits them as they
    are; the exact pipeline on in-band samples is pinned by the goldens and the C++ plain
    pipeline."""
    offset, exponent = documented_scaling(samples, window_size, stride)
    scaled = np.array(
        [[to_f32(math.ldexp(float(x) - float(offset), exponent)) for x in row] for row in samples],
        dtype=F,
    )
    assert documented_scaling(scaled, window_size, stride) is None
    output = tacitor.denoise_linear_regression(scaled, window_size, stride)
    return np.array(
        [[to_f32(math.ldexp(float(y), -exponent) + float(offset)) for y in row] for row in output],
        dtype=F,
    )


RNG = np.random.default_rng(17)
# name: (samples, window, stride, whether the units are changed)
DOCUMENTED_CASES = {
    "random": (RNG.standard_normal((4, 12)).astype(F), 4, 2, False),
    "random shifted": ((5 + 3 * RNG.standard_normal((3, 14))).astype(F), 4, 1, False),
    "kelvin": ((300 + 0.01 * RNG.standard_normal((4, 12))).astype(F), 4, 2, True),
    "tiny": ((1e-20 * RNG.standard_normal((3, 12))).astype(F), 3, 1, True),
    "limits": (np.array([[3.4e38, -3.4e38, 1e-45, 0, 3e38, -1e38, 2e38, 0.5]], F), 2, 1, True),
    "gaps": ((1e6 + RNG.standard_normal((4, 13))).astype(F), 3, 5, True),
}


@pytest.mark.parametrize("name", sorted(DOCUMENTED_CASES))
def test_output_follows_the_documented_change_of_units(name):
    samples, window_size, stride, scaled = DOCUMENTED_CASES[name]
    assert (documented_scaling(samples, window_size, stride) is not None) == scaled
    if not scaled:
        return
    result = tacitor.denoise_linear_regression(samples, window_size, stride)
    expected = documented_denoise(samples, window_size, stride)
    np.testing.assert_array_equal(result.view(np.uint32), expected.view(np.uint32))
    assert np.isfinite(result).all() or name == "gaps"
