"""Calls plan their memory before they allocate: fewer workers, or MemoryError with the numbers.

Each case runs in a child process, since TACITOR_MEMORY_LIMIT is read once per process.
"""

import os
import re
import signal
import subprocess
import sys
import textwrap

import pytest


def run_child(script, *args, limit=None, timeout=300):
    env = dict(os.environ, RAYON_NUM_THREADS="2")
    env.pop("TACITOR_MEMORY_LIMIT", None)
    if limit is not None:
        env["TACITOR_MEMORY_LIMIT"] = str(limit)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


REFUSED = """
    import resource, sys
    import numpy as np
    import tacitor
    entry = getattr(tacitor, sys.argv[1])
    samples = np.random.default_rng(3).standard_normal((16, 65536)).astype(np.float32)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        entry(samples, 64, 1)
    except MemoryError as error:
        print(error)
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(grown // 1024)
    small = np.ones((2, 40), np.float32)
    print(entry(small, 4, 1).shape)
"""


@pytest.mark.parametrize("entry", ["denoise_linear_regression", "denoise_decision_tree"])
def test_a_cap_below_one_fit_refuses_before_allocating(entry):
    # 4 MiB of samples; one fit of 1,047,568 rows needs hundreds of MiB.
    child = run_child(REFUSED, entry, limit="64M")
    assert child.returncode == 0, child.stderr[-4000:]
    message, grown_mib, shape = child.stdout.strip().splitlines()
    assert re.fullmatch(
        r"one fit needs about \d+\.\d (MiB|GiB) \(1,047,568 rows × (65|64) columns\) but "
        r"64\.0 MiB are available \(TACITOR_MEMORY_LIMIT\); use a larger stride, a smaller "
        r"window, fewer series per call \(tacitor_tools\.denoise_dask\), or fit on a sample",
        message,
    ), message
    # Nothing large was allocated; the next call works.
    assert int(grown_mib) < 16
    assert shape == "(2, 40)"


BIT_IDENTICAL = """
    import sys
    import numpy as np
    import tacitor
    from tacitor_tools import _native
    method, entry = sys.argv[1], getattr(tacitor, sys.argv[2])
    samples = np.random.default_rng(4).standard_normal((8, 6000)).astype(np.float32)
    estimate = _native.memory_estimate(method, 8, 6000, 24, 1)
    print(estimate.workers, estimate.pool_workers, estimate.one_worker_bytes)
    print(entry(samples, 24, 1).tobytes().hex())
"""


@pytest.mark.parametrize(
    "method, entry", [("linear", "denoise_linear_regression"), ("tree", "denoise_decision_tree")]
)
def test_a_cap_between_one_and_two_fits_runs_on_one_worker_with_the_same_bits(method, entry):
    free = run_child(BIT_IDENTICAL, method, entry)
    assert free.returncode == 0, free.stderr[-4000:]
    workers, pool_workers, one_worker = map(int, free.stdout.split("\n")[0].split())
    assert (workers, pool_workers) == (2, 2)
    capped = run_child(BIT_IDENTICAL, method, entry, limit=one_worker + 4096)
    assert capped.returncode == 0, capped.stderr[-4000:]
    assert capped.stdout.split("\n")[0].split()[:2] == ["1", "2"]
    assert capped.stdout.split("\n")[1] == free.stdout.split("\n")[1]


OUT_OF_MEMORY = """
    import numpy as np
    import tacitor
    with open("/proc/self/oom_score_adj", "w") as score:
        score.write("1000")
    samples = np.full((2048, 65536), 0.5, np.float32)
    try:
        tacitor.denoise_linear_regression(samples, 64, 1)
    except MemoryError as error:
        print(error)
"""


def test_a_call_larger_than_the_machine_refuses_instead_of_being_killed():
    # One fit alone (134 M rows × 65 floats, 32 GiB) exceeds this machine; nothing caps it.
    child = run_child(OUT_OF_MEMORY, timeout=120)
    assert child.returncode != -signal.SIGKILL, "killed for memory"
    assert child.returncode == 0, child.stderr[-4000:]
    assert child.stdout.startswith("one fit needs about ")
    assert "(134,088,704 rows × 65 columns)" in child.stdout


COMPANION = """
    import warnings
    import numpy as np
    import tacitor_tools
    from tacitor_tools import _native, select
    from tacitor_tools.dask_api import denoise_dask
    samples = np.random.default_rng(5).standard_normal((4, 4000)).astype(np.float32)
    budget = _native.available_memory()
    # Windows 8 and 16 fit the cap, 64 does not.
    assert _native.memory_estimate("linear", 4, 4000, 16, 1).workers >= 1
    assert _native.memory_estimate("linear", 4, 4000, 64, 1).workers == 0
    selection = select(samples, "linear", window_sizes=(8, 16, 64))
    print(sorted(c.window_size for c in selection.table))
    print([w for w in selection.warnings if "does not fit in memory" in w][0][:68])
    fitting = _native.series_that_fit("linear", 4000, 16, 1)
    assert 4 <= fitting < 400, fitting
    print(max(denoise_dask(np.tile(samples, (100, 1)), "linear", 16).chunks[0]) <= fitting)
"""


def test_the_companion_skips_and_sizes_by_the_same_estimate():
    pytest.importorskip("dask.array")
    child = run_child(COMPANION, limit="18M")
    assert child.returncode == 0, child.stderr[-4000:]
    assert child.stdout.splitlines() == [
        "[8, 16]",
        "candidate window 64, stride 1 left out: it does not fit in memory: o",
        "True",
    ]
