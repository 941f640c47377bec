"""Ctrl-C and other signal handlers stop a long call; nothing is lost, kept or changed."""

import contextlib
import gc
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import tacitor

ENTRY_POINTS = ["denoise_linear_regression", "denoise_decision_tree"]

# (shape, window_size, stride) of calls that take a second or more on a small machine: many
# windows for the linear method, few positions with many rows (so single fits are long) for the
# tree. Each interrupted call runs until it notices the signal, so the tree's rows are kept to
# what makes an alarm land inside a fit.
LONG_CALLS = {
    "denoise_linear_regression": ((32, 4000), 32, 1),
    "denoise_decision_tree": ((64, 15000), 4, 1),
}
# Calls that run for most of a minute or more on two quiet cores (several minutes on a busy
# machine), in little memory: wide windows on few rows.
VERY_LONG_CALLS = {
    "denoise_linear_regression": ((8, 2000), 256, 1),
    "denoise_decision_tree": ((8, 4000), 256, 1),
}
# A call that reacts to a signal ends within a fraction of a second (bench/interrupt_latency.py
# measures it); one that ignores it runs on for its whole length, far past this bound. The
# bound leaves room for a sanitizer build on a loaded machine, which only slows a working
# call down.
INTERRUPT_BOUND_S = 15.0


def long_samples(entry, calls=LONG_CALLS):
    shape, window_size, stride = calls[entry]
    samples = np.random.default_rng(11).standard_normal(shape).astype(np.float32)
    return samples, window_size, stride


SMALL = np.random.default_rng(5).standard_normal((6, 80)).astype(np.float32)


class Interrupted(Exception):
    pass


@contextlib.contextmanager
def alarm(after_s, handler=None, interval_s=0.0):
    """SIGALRM after `after_s` (and every `interval_s`), raising Interrupted by default."""

    def raise_interrupted(signum, frame):
        raise Interrupted()

    previous = signal.signal(signal.SIGALRM, handler or raise_interrupted)
    signal.setitimer(signal.ITIMER_REAL, after_s, interval_s)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def bits(array):
    return np.ascontiguousarray(array).view(np.uint32)


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_the_handlers_exception_ends_the_call_and_the_next_call_is_identical(entry):
    function = getattr(tacitor, entry)
    fresh = function(SMALL, 7, 2)
    samples, window_size, stride = long_samples(entry, VERY_LONG_CALLS)
    started = time.monotonic()
    with alarm(0.2), pytest.raises(Interrupted):
        function(samples, window_size, stride)
    assert time.monotonic() - started < INTERRUPT_BOUND_S
    np.testing.assert_array_equal(bits(function(SMALL, 7, 2)), bits(fresh))


@pytest.mark.slow
@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_interrupted_calls_keep_no_memory(entry):
    function = getattr(tacitor, entry)
    samples, window_size, stride = long_samples(entry)

    def interrupted_calls(count):
        for _ in range(count):
            with alarm(0.03), pytest.raises(Interrupted):
                function(samples, window_size, stride)

    interrupted_calls(5)
    gc.collect()
    blocks = sys.getallocatedblocks()
    with open("/proc/self/statm") as statm:
        resident = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    interrupted_calls(50)
    gc.collect()
    with open("/proc/self/statm") as statm:
        grown = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") - resident
    assert sys.getallocatedblocks() - blocks < 200
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # ASan quarantines freed memory
        assert grown < 64 * 2**20, f"{grown / 2**20:.1f} MiB kept by 50 interrupted calls"


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_handlers_that_return_change_nothing_even_when_they_call_tacitor(entry):
    # The handler runs while the call waits for its workers and starts a call of its own on
    # the same thread; both must come out as if each ran alone.
    function = getattr(tacitor, entry)
    samples = np.random.default_rng(2).standard_normal((8, 2000)).astype(np.float32)
    expected = function(samples, 12, 1)
    small_expected = function(SMALL, 7, 2)
    nested = []

    def handler(signum, frame):
        nested.append(function(SMALL, 7, 2))

    with alarm(0.01, handler, interval_s=0.03):
        result = function(samples, 12, 1)
    np.testing.assert_array_equal(bits(result), bits(expected))
    for value in nested:
        np.testing.assert_array_equal(bits(value), bits(small_expected))


CHILD = textwrap.dedent(
    """
    import signal, sys
    import numpy as np
    import tacitor
    # A child started from a shell's background job inherits SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    shape, window_size, stride = {call!r}
    samples = np.random.default_rng(11).standard_normal(shape).astype(np.float32)
    print("calling", flush=True)
    getattr(tacitor, {entry!r})(samples, window_size, stride)
    print("finished", flush=True)
    """
)


@pytest.mark.slow
@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_ctrl_c_stops_a_long_call_long_before_it_would_end(entry):
    code = CHILD.format(call=VERY_LONG_CALLS[entry], entry=entry)
    child = subprocess.Popen(
        [sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline() == "calling\n"
        time.sleep(0.5)  # well into the parallel work
        assert child.poll() is None, "the call ended before it could be interrupted"
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=4 * INTERRUPT_BOUND_S)
        took = time.monotonic() - sent
    finally:
        child.kill()
        child.wait()
    assert child.returncode == -signal.SIGINT, err
    assert err.rstrip().endswith("KeyboardInterrupt"), err
    assert took < INTERRUPT_BOUND_S, f"exited {took:.2f} s after SIGINT"
