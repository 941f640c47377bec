"""Error paths release everything they took: argument references, Python objects, buffers."""

import gc
import os
import sys

import numpy as np
import pytest

ROUNDS = 2000
BLOCK_SLACK = 50


class RaisingIndex:
    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as error:
            raise TypeError("refused") from error


def failing_calls(entry_point, samples):
    """(name, arguments, keyword arguments, expected exception type)."""
    return [
        ("too_many", (samples, 5, 1, 1), {}, TypeError),
        ("unexpected_keyword", (samples, 5), {"stride": 1, "other": 1}, TypeError),
        ("multiple_values", (samples, 5, 1), {"stride": 1}, TypeError),
        ("missing", (samples,), {}, TypeError),
        ("list_samples", ([[1.0, 2.0]], 5, 1), {}, TypeError),
        ("float64_samples", (samples.astype(np.float64), 5, 1), {}, TypeError),
        ("three_dimensions", (samples[None], 5, 1), {}, TypeError),
        ("float_window", (samples, 1.5, 1), {}, TypeError),
        ("negative_stride", (samples, 5, -1), {}, OverflowError),
        ("stride_2_to_32", (samples, 5, 2**32), {}, OverflowError),
        ("index_with_cause", (samples, RaisingIndex(), 1), {}, TypeError),
        ("window_too_large", (samples, 25, 1), {}, ValueError),
    ]


def case_ids():
    return [case[0] for case in failing_calls(None, np.zeros((1, 1), np.float32))]


@pytest.mark.parametrize("case", range(len(case_ids())), ids=case_ids())
def test_failing_call_leaks_nothing(entry_point, series_batch, case):
    _, args, kwargs, error_type = failing_calls(entry_point, series_batch)[case]
    watched = list(args) + list(kwargs.values())

    def run(rounds):
        for _ in range(rounds):
            try:
                entry_point(*args, **kwargs)
            except error_type:
                pass
            else:
                pytest.fail("no exception")

    run(20)  # warm caches: interned strings, the NumPy table, exception classes
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    blocks = sys.getallocatedblocks()
    run(ROUNDS)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert sys.getallocatedblocks() - blocks < BLOCK_SLACK


def test_internal_failure_leaks_nothing(entry_point, series_batch, capfd):
    def run(rounds):
        for _ in range(rounds):
            try:
                entry_point(series_batch, 5, 0)
            except Exception:
                pytest.fail("internal failure caught as Exception")
            except BaseException:
                pass

    run(20)
    gc.collect()
    count = sys.getrefcount(series_batch)
    blocks = sys.getallocatedblocks()
    run(ROUNDS // 4)
    gc.collect()
    assert sys.getrefcount(series_batch) == count
    assert sys.getallocatedblocks() - blocks < BLOCK_SLACK
    # Each failure writes its diagnostic where it happens.
    assert "attempt to calculate the remainder with a divisor of zero" in capfd.readouterr().err


def test_successful_calls_leak_nothing(entry_point, series_batch):
    def run(rounds):
        for _ in range(rounds):
            entry_point(series_batch, 5, 2)

    run(20)
    gc.collect()
    count = sys.getrefcount(series_batch)
    blocks = sys.getallocatedblocks()
    run(ROUNDS // 4)
    gc.collect()
    assert sys.getrefcount(series_batch) == count
    assert sys.getallocatedblocks() - blocks < BLOCK_SLACK


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer quarantines frees"
)
def test_result_buffers_are_freed(entry_point):
    # Each result is 800 kB; a buffer that outlived its array would add up to 40 MB here.
    samples = np.random.default_rng(5).standard_normal((100, 2000)).astype(np.float32)
    for _ in range(3):
        entry_point(samples, 3, 1000)
    before = resident_bytes()
    for _ in range(50):
        result = entry_point(samples, 3, 1000)
        del result
    assert resident_bytes() - before < 20 * 2**20


def test_a_call_whose_estimators_all_fail_writes_one_line(capfd):
    import tacitor

    # One training row for 50 positions: every fit fails, on several workers at once.
    samples = np.random.default_rng(4).standard_normal((1, 60)).astype(np.float32)
    capfd.readouterr()
    with pytest.raises(BaseException) as caught:
        tacitor.denoise_linear_regression(samples, 50, 1)
    assert type(caught.value).__name__ == "InternalFailure"
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 1, lines
    # The source location is relative to the source tree and names no C++ signature.
    assert lines[0].startswith("tacitor: internal failure at src/"), lines
    assert lines[0].endswith(": " + caught.value.args[0]), lines
    assert "(" not in lines[0].split(": ")[1] and os.getcwd() not in lines[0], lines
