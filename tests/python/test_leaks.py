"""Repeated calls on every path keep neither Python objects nor native memory.

Each path is warmed up, then called many times; the interpreter's allocated block count and the
process's resident set size may grow only by a small bound. The paths are sized so that a leak
of one call's native buffers would exceed the bound many times over.
"""

import gc
import os
import sys

import numpy as np
import pytest

import tacitor

WARM_UP = 20
REPEATS = 200
# Python objects kept per run of REPEATS calls, at most: room for caches such as the
# interpreter's free lists, far below one object per call.
BLOCK_BOUND = 100
# Resident memory growth over REPEATS calls, at most. Every sized path below allocates well over
# 100 KiB per call, so keeping a call's buffers would grow the process by more than 20 MiB.
RSS_BOUND = 8 * 1024 * 1024
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "") or "libtsan" in os.environ.get(
    "LD_PRELOAD", ""
)

rng = np.random.default_rng(7)
MEDIUM = rng.standard_normal((8, 400)).astype(np.float32)
WIDE_FEW_ROWS = rng.standard_normal((1, 60)).astype(np.float32)  # 11 rows, 50 positions
NAN_SAMPLES = np.full((4, 64), np.nan, dtype=np.float32)
EMPTY_SERIES = np.zeros((0, 64), dtype=np.float32)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def call(function, *args, **kwargs):
    """Calls and returns the result or the exception type, dropping the exception at once."""
    try:
        return function(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001 - InternalFailure derives from BaseException
        kind = type(error)
        del error
        return kind


def lr(*args, **kwargs):
    return call(tacitor.denoise_linear_regression, *args, **kwargs)


def dt(*args, **kwargs):
    return call(tacitor.denoise_decision_tree, *args, **kwargs)


# name: (call, outcome); outcome is "result" or the exception's name.
PATHS = {
    "linear success": (lambda: lr(MEDIUM, 8, 3), "result"),
    "linear success, Fortran order": (lambda: lr(np.asfortranarray(MEDIUM), 8, 3), "result"),
    "linear success by keyword": (
        lambda: lr(stride=Index(3), window_size=Index(8), samples=MEDIUM[:, ::-1]),
        "result",
    ),
    "tree success": (lambda: dt(MEDIUM, 6, 5), "result"),
    "tree success with gaps": (lambda: dt(MEDIUM, 3, 7), "result"),
    "linear window too large": (lambda: lr(MEDIUM, 401, 1), "ValueError"),
    "tree window of zero": (lambda: dt(MEDIUM, 0, 1), "ValueError"),
    "linear stride of zero": (lambda: lr(MEDIUM, 8, 0), "InternalFailure"),
    "linear too few rows": (lambda: lr(WIDE_FEW_ROWS, 50, 1), "InternalFailure"),
    "linear with NaN samples": (lambda: lr(NAN_SAMPLES, 8, 2), "ValueError"),
    "tree with NaN samples": (lambda: dt(NAN_SAMPLES, 8, 2), "ValueError"),
    "tree without series": (lambda: dt(EMPTY_SERIES, 4, 2), "InternalFailure"),
    "samples not an array": (lambda: lr(MEDIUM.tolist(), 8, 3), "TypeError"),
    "samples of float64": (lambda: dt(MEDIUM.astype(np.float64), 8, 3), "TypeError"),
    "window_size a float": (lambda: lr(MEDIUM, 8.0, 3), "TypeError"),
    "stride negative": (lambda: dt(MEDIUM, 8, -3), "OverflowError"),
    "stride too large": (lambda: dt(MEDIUM, 8, 2**32), "OverflowError"),
    "__index__ raising": (lambda: lr(MEDIUM, Index("x"), 3), "TypeError"),
    "too many arguments": (lambda: lr(MEDIUM, 8, 3, 4), "TypeError"),
    "unknown keyword": (lambda: dt(MEDIUM, 8, 3, strides=4), "TypeError"),
    "missing argument": (lambda: dt(samples=MEDIUM), "TypeError"),
}


def outcome_name(outcome) -> str:
    return "result" if isinstance(outcome, np.ndarray) else outcome.__name__


@pytest.mark.parametrize("path", PATHS)
def test_repeated_calls_do_not_grow_memory(path, capfd):
    run, expected = PATHS[path]
    for _ in range(WARM_UP):
        assert outcome_name(run()) == expected
    gc.collect()
    blocks_before = sys.getallocatedblocks()
    rss_before = resident_bytes()
    for _ in range(REPEATS):
        run()
    gc.collect()
    blocks_grown = sys.getallocatedblocks() - blocks_before
    rss_grown = resident_bytes() - rss_before
    capfd.readouterr()  # the internal failures' diagnostics
    assert blocks_grown < BLOCK_BOUND, f"{blocks_grown} blocks kept by {REPEATS} calls"
    if not UNDER_SANITIZER:  # the sanitizers keep freed memory in quarantine
        assert rss_grown < RSS_BOUND, f"{rss_grown / 2**20:.1f} MiB kept by {REPEATS} calls"


@pytest.mark.slow
def test_dropped_results_free_their_buffers():
    # The returned array owns the pipeline's buffer; dropping it must release the buffer.
    samples = rng.standard_normal((64, 2048)).astype(np.float32)  # 512 KiB per result
    for _ in range(5):
        tacitor.denoise_decision_tree(samples, 2, 2)
    gc.collect()
    rss_before = resident_bytes()
    for _ in range(60):
        result = tacitor.denoise_decision_tree(samples, 2, 2)
        view = result[::2]
        del result, view
    gc.collect()
    if not UNDER_SANITIZER:
        assert resident_bytes() - rss_before < RSS_BOUND
