"""Trained denoisers: the same bits as tacitor's calls, prediction on any batch, threads that
overlap, Ctrl-C, and the refusals that leave the object usable."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from test_bit_exact import CASES, GOLDEN, ISA_FLAGS, _cpu_flags

import tacitor
import tacitor_tools
from tacitor_tools import fit

NATIVE = {"linear": tacitor.denoise_linear_regression, "tree": tacitor.denoise_decision_tree}


def hexes(array):
    return [float(x).hex() for x in np.asarray(array).ravel()]


def bits(array):
    return np.ascontiguousarray(array, dtype=np.float32).view(np.uint32)


def noisy(series, length, seed=0, offset=0.0):
    rng = np.random.default_rng(seed)
    t = np.arange(length)
    clean = np.sin(t / 6.0 + rng.uniform(0, 6, (series, 1)))
    return (offset + clean + 0.3 * rng.standard_normal((series, length))).astype(np.float32)


@pytest.mark.parametrize("method, name", sorted(GOLDEN))
def test_fit_then_denoise_gives_the_golden_bits(method, name):
    samples, window_size, stride = CASES[name]
    denoiser = fit(samples, window_size, stride, method=method)
    assert hexes(denoiser.denoise(samples)) == GOLDEN[method, name].split()


# Random shapes, both methods: fit-then-denoise against the one-call function, in a child per
# instruction-set level (the level is read once per process). Prints a digest of the outputs.
LEVEL_SCRIPT = textwrap.dedent(
    """
    import hashlib
    import numpy as np
    import tacitor
    from tacitor_tools import fit

    rng = np.random.default_rng(21)
    digest = hashlib.sha256()
    for case in range(24):
        window = int(rng.integers(1, 14))
        stride = int(rng.integers(1, 6))
        series = window + int(rng.integers(0, 5))
        length = window + int(rng.integers(0, 70))
        scale = 10.0 ** rng.integers(-3, 5)
        samples = (scale * (rng.standard_normal((series, length)) + rng.integers(0, 2) * 1e3))
        samples = samples.astype(np.float32)
        for method, function in (("linear", tacitor.denoise_linear_regression),
                                 ("tree", tacitor.denoise_decision_tree)):
            expected = function(samples, window, stride)
            got = fit(samples, window, stride, method=method).denoise(samples)
            if expected.tobytes() != got.tobytes():
                raise SystemExit(f"case {case} {method} differs")
            digest.update(got.tobytes())
    print(digest.hexdigest())
    """
)


def test_fit_then_denoise_is_the_one_call_at_every_kernel_level():
    digests = {}
    for level in sorted(ISA_FLAGS):
        if ISA_FLAGS[level] - _cpu_flags():
            continue
        completed = subprocess.run(
            [sys.executable, "-c", LEVEL_SCRIPT],
            env=dict(os.environ, TACITOR_ISA=level),
            capture_output=True,
            text=True,
            timeout=600,
        )
        assert completed.returncode == 0, completed.stdout + completed.stderr
        digests[level] = completed.stdout
    assert len(set(digests.values())) == 1, digests


@pytest.mark.parametrize("method", ["linear", "tree"])
@pytest.mark.parametrize("offset", [0.0, 4096.0])
def test_new_batches_are_predicted_with_the_trained_estimators(method, offset):
    # Every (window, series) row is predicted on its own, so one series of the training batch
    # comes out as it does inside the whole batch; the offset makes the linear method train
    # in changed units, which must be the recorded ones, not new ones derived from one series.
    x = noisy(12, 150, offset=offset)
    denoiser = fit(x, 9, 2, method=method)
    whole = denoiser.denoise(x)
    for row in (0, 7):
        np.testing.assert_array_equal(
            bits(denoiser.denoise(x[row : row + 1])), bits(whole[row : row + 1])
        )
    # Other data, other length and stride: trained estimators, not a fit of the new batch.
    y = noisy(3, 40, seed=1, offset=offset)
    out = denoiser.denoise(y, 1)
    assert out.shape == y.shape and np.isfinite(out).all()
    assert not np.array_equal(bits(out), bits(fit(y, 9, 1, method=method).denoise(y)))
    assert denoiser.denoise(y.astype(np.float64), 1).dtype == np.float64


def test_threads_overlap_and_give_the_bits_of_one_after_the_other():
    train = noisy(32, 3000, seed=2)
    denoiser = fit(train, 24, 1)
    # Batches long enough that each call outlasts many of the loop's 1 ms sleeps below on
    # any machine (prediction only, so still about a second at most).
    x = np.tile(train, (8, 4))
    alone = [denoiser.denoise(x), denoiser.denoise(x[::-1])]
    results = [None, None]

    def run(i, samples):
        results[i] = denoiser.denoise(samples)

    threads = [
        threading.Thread(target=run, args=(0, x)),
        threading.Thread(target=run, args=(1, x[::-1])),
    ]
    for thread in threads:
        thread.start()
    # The native work releases the interpreter lock, so this thread keeps running meanwhile;
    # a call that held it would let this loop run only a few times, between the calls.
    spins = 0
    while any(thread.is_alive() for thread in threads):
        spins += 1
        time.sleep(0.001)
    for thread in threads:
        thread.join()
    assert spins > 10
    for got, expected in zip(results, alone):
        np.testing.assert_array_equal(bits(got), bits(expected))


def test_refusals_name_the_problem_and_leave_the_denoiser_usable():
    x = noisy(6, 60, seed=3)
    denoiser = fit(x, 8, 2)
    expected = denoiser.denoise(x)
    with pytest.raises(ValueError, match=r"shorter than the trained window \(8\)"):
        denoiser.denoise(x[:, :7])
    gappy = x.copy()
    gappy[1, 10:13] = np.nan
    with pytest.raises(ValueError, match="3 missing values"):
        denoiser.denoise(gappy)
    with pytest.raises(ValueError, match="3 missing values"):
        fit(gappy, 8, 2)
    with pytest.raises(ValueError, match="stride must be at least 1"):
        denoiser.denoise(x, 0)
    with pytest.raises(ValueError, match="blend weight"):
        denoiser.denoise(x, blend=True)
    with pytest.raises(ValueError, match="larger than the series length"):
        fit(x, 61)
    np.testing.assert_array_equal(bits(denoiser.denoise(x)), bits(expected))


def test_missing_values_are_imputed_when_asked():
    x = noisy(6, 60, seed=4)
    gappy = x.copy()
    gappy[2, 20:24] = np.nan
    gappy[5] = np.nan
    denoiser = fit(gappy, 8, 1, missing="impute")
    out = denoiser.denoise(gappy)
    assert np.isfinite(out[:5]).all() and np.isnan(out[5]).all()
    # Observed samples of other series are untouched by the fill.
    np.testing.assert_array_equal(bits(out[0]), bits(denoiser.denoise(gappy[:1])[0]))


def test_auto_window_keeps_the_selection_and_its_blend_weight():
    x = noisy(8, 200, seed=5)
    denoiser = fit(x, "auto")
    _, selection = tacitor_tools.auto_denoise(x)
    assert denoiser.window_size == selection.window_size
    # 8 × 200 may keep a slower rate; the trained filter runs at the full rate, with its weight.
    assert denoiser.blend_weight == pytest.approx(selection.at_full_rate().blend_weight)
    blended = denoiser.denoise(x, blend=True)
    plain = denoiser.denoise(x, blend=False)
    # A selected window blends by default, as auto_denoise does.
    np.testing.assert_array_equal(denoiser.denoise(x), blended)
    k = denoiser.blend_weight
    np.testing.assert_allclose(blended, plain + k * (x - plain), rtol=1e-5, atol=1e-6)


INTERRUPT_SCRIPT = textwrap.dedent(
    """
    import signal, threading, time
    import numpy as np
    from tacitor_tools import fit

    samples = np.random.default_rng(1).standard_normal((8, 4000)).astype(np.float32)
    # A child started from a shell's background job inherits SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    threading.Timer(0.5, signal.raise_signal, (signal.SIGINT,)).start()
    started = time.monotonic()
    try:
        fit(samples, 256, 1, method="tree")
    except KeyboardInterrupt:
        print(f"interrupted {time.monotonic() - started:.1f}")
    """
)


@pytest.mark.slow
def test_ctrl_c_stops_a_fit_that_runs_without_the_interpreter_lock():
    # The fit runs for minutes; one that ignored Ctrl-C would run far past the bound.
    completed = subprocess.run(
        [sys.executable, "-c", INTERRUPT_SCRIPT], capture_output=True, text=True, timeout=600
    )
    assert completed.stdout.startswith("interrupted"), completed.stdout + completed.stderr
    assert float(completed.stdout.split()[1]) < 15.0


@pytest.mark.parametrize("method", ["linear", "tree"])
def test_stream_outputs_concatenate_to_the_batch_bits(method):
    x = noisy(4, 700, seed=6, offset=100.0)
    denoiser = fit(x, 11, 1, method=method)
    stream = denoiser.stream(4)
    rng = np.random.default_rng(0)
    pieces, position = [], 0
    for size in (1, 3, 10, 256, 5, 1):
        pieces.append(stream.push(x[:, position : position + size]))
        position += size
    with pytest.raises(ValueError, match="4 series × at least 1 new sample, not 3 × 5"):
        stream.push(x[:3, position : position + 5])
    while position < x.shape[1]:
        size = int(rng.integers(1, 40))
        pieces.append(stream.push(x[:, position : position + size]))
        position += size
    pieces.append(stream.close())
    assert max(p.shape[1] for p in pieces[:2]) == 0  # nothing final before a whole window
    np.testing.assert_array_equal(bits(np.concatenate(pieces, axis=1)), bits(denoiser.denoise(x)))
    assert stream._buffer.shape[1] <= 2 * 10 + 40


@pytest.mark.parametrize(
    "method, window, stride, length",
    [("linear", 11, 3, 700), ("tree", 6, 4, 403), ("linear", 5, 7, 300), ("linear", 8, 8, 400)],
)
def test_stream_with_a_stride_differs_only_where_the_batch_adds_its_last_window(
    method, window, stride, length
):
    x = noisy(3, length, seed=7)
    denoiser = fit(x, window, stride, method=method)
    stream = denoiser.stream(3)
    rng = np.random.default_rng(1)
    pieces, position = [], 0
    while position < length:
        size = int(rng.integers(1, 30))
        pieces.append(stream.push(x[:, position : position + size]))
        position += size
        assert stream._buffer.shape[1] < 2 * window + stride
    before_close = sum(p.shape[1] for p in pieces)
    pieces.append(stream.close())
    got = np.concatenate(pieces, axis=1)
    batch = denoiser.denoise(x)
    same = (bits(got) == bits(batch)).all(axis=0)
    # Only samples returned before close() and covered by the window [L − w, L) may differ...
    assert same[: min(length - window, before_close)].all() and same[before_close:].all()
    assert same.all() == ((length - window) % stride == 0)
    # ... and there the stream gives the plan of the windows at multiples of the stride.
    regular_end = (length - window) // stride * stride + window
    regular = denoiser.denoise(x[:, :regular_end])
    differ = np.flatnonzero(~same)
    inside = differ[differ < regular_end]
    np.testing.assert_array_equal(bits(got[:, inside]), bits(regular[:, inside]))
    assert np.isnan(got[:, differ[differ >= regular_end]]).all()
