"""Bit-exact guards of the module as built: golden outputs, and independence from the worker
count and the kernels' instruction-set level. The comparison with plain re-computations of
the pipeline runs in the C++ tests (tests/cpp/plain_pipeline.hpp)."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tacitor


# ---------------------------------------------------------------------------------------------
# Inputs built from integer formulas only, so they never change with a random generator.


def formula_samples(series, length, a, b, c, divisor):
    s = np.arange(series).reshape(-1, 1)
    t = np.arange(length).reshape(1, -1)
    values = (a * s * s + b * t * t + c * s * t + 3 * t) % 31 - 15
    return (values / divisor).astype(np.float32)


def line_samples(series, length):
    """Straight lines, whose windows give rank-deficient designs."""
    s = np.arange(series).reshape(-1, 1)
    t = np.arange(length).reshape(1, -1)
    return ((s + 1) * t - 3 * s).astype(np.float32)


CASES = {
    "small": (formula_samples(2, 7, 5, 3, 1, 4), 3, 2),
    "lines": (line_samples(3, 9), 4, 2),
    "overlap": (formula_samples(3, 10, 7, 2, 3, 8), 4, 3),
    "tail": (formula_samples(4, 10, 1, 5, 2, 16), 4, 4),
    "stride1": (formula_samples(3, 9, 2, 7, 5, 2), 3, 1),
    "whole": (formula_samples(5, 4, 3, 1, 4, 3), 4, 9),
}


# ---------------------------------------------------------------------------------------------
# Golden outputs: float.hex() of every element, row by row, taken when the module matched plain
# re-computations of both paths; they pin the results to the last bit.

GOLDEN = {
    ("linear", "lines"): (
        "-0x1.8000000000000p-23 0x1.0000000000000p+0 0x1.fffff40000000p+0 0x1.8000000000000p+1 "
        "0x1.fffff80000000p+1 0x1.4000020000000p+2 0x1.7ffffe0000000p+2 0x1.c000000000000p+2 "
        "0x1.0000040000000p+3 -0x1.8000000000000p+1 -0x1.fffffc0000000p-1 0x1.fffffc0000000p-1 "
        "0x1.7ffffc0000000p+1 0x1.3ffffc0000000p+2 0x1.c000000000000p+2 0x1.2000000000000p+3 "
        "0x1.5ffffe0000000p+3 0x1.a000020000000p+3 -0x1.8000000000000p+2 -0x1.7ffffc0000000p+1 "
        "-0x1.1800000000000p-24 0x1.7ffff40000000p+1 0x1.7ffffc0000000p+2 0x1.1ffffe0000000p+3 "
        "0x1.8000000000000p+3 0x1.dffffe0000000p+3 0x1.2000020000000p+4"
    ),
    ("linear", "overlap"): (
        "0x1.8b08d00000000p-3 -0x1.24a7e20000000p+0 0x1.cbd86c0000000p-1 0x1.610f820000000p+0 "
        "-0x1.16ec4c0000000p+0 -0x1.db8c100000000p-1 0x1.0e43b20000000p+0 0x1.9534280000000p-1 "
        "0x1.48a2d40000000p+0 -0x1.92a53c0000000p+0 0x1.c043680000000p-2 0x1.16d7800000000p-8 "
        "0x1.ce43b80000000p+0 -0x1.64b8a40000000p-4 -0x1.0a1ca00000000p+0 0x1.0f00ba0000000p+0 "
        "0x1.f7b5840000000p-1 0x1.05e1ec0000000p-1 0x1.60901c0000000p+0 -0x1.255abc0000000p+0 "
        "0x1.09e8620000000p+0 0x1.7950600000000p-4 0x1.32f76c0000000p+0 -0x1.5c7a9a0000000p-1 "
        "-0x1.0646be0000000p+1 0x1.991a200000000p-4 0x1.a09fbc0000000p-1 -0x1.a7f1640000000p-1 "
        "-0x1.64cd000000000p-5 0x1.3ebbbc0000000p+0"
    ),
    ("linear", "small"): (
        "-0x1.7cc2a40000000p+0 -0x1.06af420000000p+1 -0x1.d5c9800000000p-3 -0x1.dcf2280000000p+0 "
        "0x1.35c8ca0000000p+1 0x1.b365c40000000p+0 -0x1.af8c6a0000000p+1 -0x1.41d5f80000000p-1 "
        "-0x1.3396160000000p+1 0x1.8a6af20000000p-2 0x1.cb866a0000000p-1 -0x1.7765000000000p-1 "
        "-0x1.07ac160000000p+0 0x1.4d45100000000p+0"
    ),
    ("linear", "stride1"): (
        "-0x1.52f88c0000000p-1 0x1.43beb40000000p-2 -0x1.b774660000000p-3 0x1.050e660000000p-2 "
        "-0x1.7ce59a0000000p-2 -0x1.a609aa0000000p-1 -0x1.3827b00000000p-1 -0x1.aa79180000000p-1 "
        "-0x1.db8dcc0000000p+0 -0x1.c222d00000000p+0 -0x1.ceabe80000000p-1 -0x1.9583400000000p+0 "
        "-0x1.30a0ea0000000p+0 -0x1.1fcfca0000000p+0 -0x1.1328ee0000000p+1 -0x1.3a00900000000p+0 "
        "-0x1.1020260000000p+0 -0x1.19528c0000000p+1 -0x1.d9ba2a0000000p+0 0x1.dee7000000000p-6 "
        "-0x1.a60b460000000p+0 -0x1.17914a0000000p-1 -0x1.17223e0000000p-1 -0x1.a563060000000p+0 "
        "-0x1.f0e5c00000000p-6 -0x1.f89ce40000000p-1 -0x1.6cdaec0000000p+0"
    ),
    ("linear", "tail"): (
        "0x1.192ac80000000p-3 -0x1.6bf5800000000p-5 -0x1.ccfe280000000p-4 0x1.3cf4cc0000000p-2 "
        "-0x1.ef80940000000p-3 -0x1.d5e8400000000p-3 -0x1.f35bcc0000000p-4 -0x1.61e9f80000000p-5 "
        "-0x1.14b4b40000000p-2 0x1.64680c0000000p-3 -0x1.11960c0000000p-3 -0x1.085e2c0000000p-3 "
        "-0x1.24cb8e0000000p-2 0x1.0862a40000000p-1 -0x1.1bdf8e0000000p-1 0x1.aa7ea40000000p-2 "
        "0x1.c50c6e0000000p-3 -0x1.66fa000000000p-2 0x1.0891680000000p-2 0x1.6143bc0000000p-1 "
        "-0x1.2f67d00000000p-2 0x1.8bd2800000000p-2 0x1.0f09d80000000p-3 0x1.9e0b120000000p-3 "
        "-0x1.847e900000000p-6 -0x1.a969b40000000p-4 -0x1.33dd300000000p-3 0x1.b65a060000000p-2 "
        "0x1.39347a0000000p-3 0x1.e7cd180000000p-5 -0x1.cc172a0000000p-2 -0x1.0b04b00000000p-7 "
        "-0x1.24ac780000000p-3 -0x1.cf5a400000000p-3 -0x1.be88120000000p-2 0x1.78a1ac0000000p-2 "
        "0x1.f2b58e0000000p-4 -0x1.f8096c0000000p-2 -0x1.01cb600000000p-4 0x1.63673e0000000p-2"
    ),
    ("linear", "whole"): (
        "-0x1.59a8be0000000p+2 -0x1.514f3e0000000p+1 -0x1.1484e60000000p+0 0x1.709c100000000p+0 "
        "-0x1.e94d2c0000000p+1 -0x1.aade8c0000000p+0 0x1.d28f6e0000000p+0 -0x1.fe02c00000000p+1 "
        "-0x1.995d400000000p-1 0x1.289a700000000p+1 -0x1.64267c0000000p+1 0x1.22da5c0000000p+1 "
        "0x1.8f00600000000p+1 -0x1.c87c800000000p-5 0x1.6c34700000000p+2 0x1.2fa9ec0000000p+1 "
        "0x1.9295f80000000p+0 -0x1.fab9fa0000000p+1 0x1.acb83c0000000p+1 0x1.2217200000000p-1"
    ),
    ("tree", "lines"): (
        "0x0.0p+0 0x1.0000000000000p+0 0x1.0000000000000p+1 0x1.8000000000000p+1 "
        "0x1.0000000000000p+2 0x1.4000000000000p+2 0x1.8000000000000p+2 0x1.c000000000000p+2 "
        "0x1.0000000000000p+3 -0x1.8000000000000p+1 -0x1.0000000000000p+0 0x1.0000000000000p+0 "
        "0x1.8000000000000p+1 0x1.4000000000000p+2 0x1.c000000000000p+2 0x1.2000000000000p+3 "
        "0x1.6000000000000p+3 0x1.a000000000000p+3 -0x1.8000000000000p+2 -0x1.8000000000000p+1 "
        "0x0.0p+0 0x1.8000000000000p+1 0x1.8000000000000p+2 0x1.2000000000000p+3 "
        "0x1.8000000000000p+3 0x1.e000000000000p+3 0x1.2000000000000p+4"
    ),
    ("tree", "overlap"): (
        "-0x1.e000000000000p+0 -0x1.4000000000000p+0 -0x1.0000000000000p-3 0x1.8000000000000p+0 "
        "-0x1.0000000000000p-2 -0x1.8000000000000p+0 0x1.a000000000000p+0 0x1.6000000000000p+0 "
        "0x1.a000000000000p+0 -0x1.8000000000000p+0 -0x1.0000000000000p+0 0x0.0p+0 "
        "0x1.8000000000000p+0 -0x1.8000000000000p-2 -0x1.c000000000000p+0 0x1.4000000000000p+0 "
        "0x1.c000000000000p-1 0x1.0000000000000p+0 0x1.a000000000000p+0 -0x1.2000000000000p+0 "
        "0x1.a000000000000p+0 -0x1.c000000000000p-1 0x1.0000000000000p+0 -0x1.0000000000000p-1 "
        "-0x1.8000000000000p+0 0x1.e000000000000p+0 0x1.e000000000000p+0 -0x1.8000000000000p+0 "
        "-0x1.0000000000000p-1 0x1.0000000000000p+0"
    ),
    ("tree", "small"): (
        "-0x1.e000000000000p+1 -0x1.2000000000000p+1 0x1.8000000000000p-1 -0x1.4000000000000p+1 "
        "0x1.c000000000000p+1 0x1.a000000000000p+1 -0x1.a000000000000p+1 -0x1.4000000000000p+1 "
        "-0x1.8000000000000p-1 0x1.4000000000000p+1 -0x1.0000000000000p-1 -0x1.0000000000000p+1 "
        "-0x1.0000000000000p+1 -0x1.0000000000000p-1"
    ),
    ("tree", "stride1"): (
        "-0x1.e000000000000p+2 -0x1.4000000000000p+1 -0x1.8000000000000p+2 -0x1.4000000000000p+1 "
        "-0x1.e000000000000p+2 -0x1.d555560000000p+1 0x1.c000000000000p+1 0x1.5000000000000p+2 "
        "-0x1.0000000000000p+2 -0x1.caaaaa0000000p+2 -0x1.5555500000000p-4 -0x1.58e3900000000p+1 "
        "0x1.6aaaaa0000000p+2 0x1.c000000000000p+1 -0x1.9c71c80000000p+2 0x1.0000000000000p+2 "
        "0x1.9000000000000p+2 0x1.8000000000000p+0 -0x1.c000000000000p+1 0x1.a000000000000p+2 "
        "-0x1.d8e38e0000000p+2 0x1.1c71c80000000p-2 0x1.0000000000000p+0 -0x1.88e38e0000000p+2 "
        "0x1.a000000000000p+2 -0x1.c000000000000p+1 -0x1.a000000000000p+2"
    ),
    ("tree", "tail"): (
        "-0x1.e000000000000p-1 -0x1.c000000000000p-2 0x1.6000000000000p-1 0x1.0000000000000p-1 "
        "0x1.e000000000000p-1 0x1.0000000000000p-4 -0x1.8000000000000p-3 0x1.8000000000000p-3 "
        "-0x1.8000000000000p-1 0x1.c000000000000p-1 -0x1.c000000000000p-1 -0x1.0000000000000p-2 "
        "-0x1.e000000000000p-1 0x1.e000000000000p-1 -0x1.c000000000000p-2 0x1.8000000000000p-1 "
        "0x1.4000000000000p-1 -0x1.a000000000000p-1 0x1.4000000000000p-2 0x1.0000000000000p-3 "
        "-0x1.6000000000000p-1 0x1.0000000000000p-4 -0x1.0000000000000p-1 -0x1.c000000000000p-2 "
        "0x1.0000000000000p-2 -0x1.8000000000000p-2 -0x1.8000000000000p-2 0x1.0000000000000p-2 "
        "-0x1.c000000000000p-2 -0x1.0000000000000p-1 -0x1.8000000000000p-2 0x1.0000000000000p-1 "
        "0x1.0000000000000p-4 0x1.0000000000000p-2 -0x1.c000000000000p-1 0x1.2000000000000p-1 "
        "0x1.6000000000000p-1 -0x1.0000000000000p-1 0x1.c000000000000p-1 0x1.e000000000000p-1"
    ),
    ("tree", "whole"): (
        "-0x1.4000000000000p+2 -0x1.d555560000000p+1 -0x1.aaaaaa0000000p+0 0x1.0000000000000p+0 "
        "-0x1.0000000000000p+2 -0x1.5555560000000p+0 0x1.0000000000000p+1 -0x1.1555560000000p+2 "
        "-0x1.0000000000000p+0 0x1.8000000000000p+1 -0x1.5555560000000p+1 0x1.5555560000000p+1 "
        "0x1.0000000000000p+2 -0x1.0000000000000p+0 0x1.4000000000000p+2 0x1.5555560000000p+0 "
        "0x1.5555560000000p-1 -0x1.8000000000000p+1 0x1.1555560000000p+2 0x1.0000000000000p+1"
    ),
}


@pytest.mark.parametrize("method, name", sorted(GOLDEN))
def test_golden_outputs(method, name):
    samples, window_size, stride = CASES[name]
    denoise = {
        "linear": tacitor.denoise_linear_regression,
        "tree": tacitor.denoise_decision_tree,
    }[method]
    result = denoise(samples, window_size, stride)
    assert [float(x).hex() for x in result.ravel()] == GOLDEN[method, name].split()


# ---------------------------------------------------------------------------------------------
# The worker count must not change a single bit.

WORKER_SCRIPT = textwrap.dedent(
    """
    import sys
    import numpy as np
    import tacitor

    t = np.arange(600, dtype=np.float64)
    s = np.arange(24, dtype=np.float64).reshape(-1, 1)
    samples = (np.sin(t / 9.0 + s) + ((7 * s + 3 * t) % 11) / 25.0).astype(np.float32)
    denoise = getattr(tacitor, sys.argv[1])
    sys.stdout.write(denoise(samples, 12, 3).tobytes().hex())
    """
)


@pytest.mark.parametrize("function", ["denoise_linear_regression", "denoise_decision_tree"])
def test_output_does_not_depend_on_the_worker_count(function):
    outputs = []
    for workers in ("1", "2", "4"):
        env = dict(os.environ, RAYON_NUM_THREADS=workers)
        completed = subprocess.run(
            [sys.executable, "-c", WORKER_SCRIPT, function],
            env=env,
            capture_output=True,
            text=True,
            timeout=300,
            check=True,
        )
        outputs.append(completed.stdout)
    assert outputs[0] and outputs[0] == outputs[1] == outputs[2]


# ---------------------------------------------------------------------------------------------
# Every instruction-set level of the native kernels must give the same bits. TACITOR_ISA is
# read once per process, so each level runs in a child process.

ISA_FLAGS = {"baseline": set(), "avx2": {"avx2"}, "avx512": {"avx512f"}}


def _cpu_flags():
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def _require_level(level):
    missing = ISA_FLAGS[level] - _cpu_flags()
    if missing:
        pytest.skip(f"this processor lacks {' '.join(sorted(missing))}, needed by level {level}")
    return dict(os.environ, TACITOR_ISA=level)


@pytest.mark.parametrize("level", sorted(ISA_FLAGS))
def test_goldens_hold_at_every_kernel_level(level):
    env = _require_level(level)
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
            "golden_outputs",
        ],
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert completed.returncode == 0, completed.stdout[-3000:] + completed.stderr[-3000:]


# 64 series and 1,024 windows: 65,536 training rows, so the design columns start a multiple
# of 4 KiB apart and take the padded layout; long enough for every vector and block width.
LEVEL_SCRIPT = textwrap.dedent(
    """
    import numpy as np
    import tacitor

    t = np.arange(1039, dtype=np.float64)
    s = np.arange(64, dtype=np.float64).reshape(-1, 1)
    samples = (np.sin(t / 7.0 + s) * 10.0 ** ((s % 5) - 2) + ((5 * s + t) % 13) / 9.0)
    samples[3] = 0.0
    samples[4] = -1.5
    samples = samples.astype(np.float32)
    print(tacitor.denoise_linear_regression(samples, 16, 1).tobytes().hex())
    """
)


def test_every_kernel_level_gives_the_baseline_bits_on_a_large_input():
    outputs = {}
    for level in sorted(ISA_FLAGS):
        if ISA_FLAGS[level] - _cpu_flags():
            continue
        completed = subprocess.run(
            [sys.executable, "-c", LEVEL_SCRIPT],
            env=dict(os.environ, TACITOR_ISA=level),
            capture_output=True,
            text=True,
            timeout=600,
            check=True,
        )
        outputs[level] = completed.stdout
    assert outputs["baseline"]
    for level, output in outputs.items():
        assert output == outputs["baseline"], f"level {level} differs from the baseline"
    if len(outputs) < len(ISA_FLAGS):
        pytest.skip(f"only {', '.join(sorted(outputs))} available on this processor; they agree")
