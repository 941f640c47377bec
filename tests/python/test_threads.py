"""Many Python threads calling both entry points at once get the results of a serial run.

Each scenario runs in a child process with a timeout, so that a deadlock fails the test instead
of hanging the suite. The threads start before the first call of the process, so they also race
for the lazily created NumPy API table and worker pool.
"""

import os
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import hashlib
    import random
    import sys
    import threading

    import numpy as np

    import tacitor

    THREADS, ROUNDS = 8, 6
    sys.setswitchinterval(1e-5)
    rng = np.random.default_rng(3)
    shared = rng.standard_normal((6, 240)).astype(np.float32)
    arrays = {"shared": shared, "shared_view": shared[:, ::-1]}
    for i in range(THREADS):
        arrays[f"own{i}"] = rng.standard_normal((3 + i % 3, 150 + 7 * i)).astype(np.float32)
    arrays["gappy"] = np.asfortranarray(rng.standard_normal((5, 97)).astype(np.float32))

    JOBS = [
        ("denoise_linear_regression", "shared", 8, 3),
        ("denoise_decision_tree", "shared", 6, 4),
        ("denoise_linear_regression", "shared_view", 5, 1),
        ("denoise_decision_tree", "gappy", 3, 5),
        ("denoise_linear_regression", "gappy", 12, 2),
    ] + [
        ("denoise_decision_tree" if i % 2 else "denoise_linear_regression", f"own{i}", 4 + i, 2)
        for i in range(THREADS)
    ]
    # Failing calls in between: an internal failure on the calling thread, one raised on a
    # worker, and an error text. They must not disturb the calls around them.
    FAILING = [
        ("denoise_linear_regression", "shared", 8, 0, "InternalFailure"),
        ("denoise_linear_regression", "own0", 150, 1, "InternalFailure"),
        ("denoise_decision_tree", "shared", 241, 1, "ValueError"),
    ]

    def run(job):
        name, key, window_size, stride = job
        result = getattr(tacitor, name)(arrays[key], window_size, stride)
        return result.tobytes()

    start = threading.Barrier(THREADS)
    results = [dict() for _ in range(THREADS)]
    problems = []

    def worker(index):
        order = random.Random(index)
        start.wait()
        try:
            for _ in range(ROUNDS):
                jobs = list(range(len(JOBS))) + [-1 - j for j in range(len(FAILING))]
                order.shuffle(jobs)
                for j in jobs:
                    if j >= 0:
                        results[index].setdefault(j, set()).add(run(JOBS[j]))
                        continue
                    name, key, window_size, stride, expected = FAILING[-1 - j]
                    try:
                        getattr(tacitor, name)(arrays[key], window_size, stride)
                    except BaseException as error:
                        if type(error).__name__ != expected:
                            problems.append(f"{FAILING[-1 - j]} raised {error!r}")
                    else:
                        problems.append(f"{FAILING[-1 - j]} returned a result")
        except BaseException as error:
            problems.append(f"thread {index}: {error!r}")

    threads = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=240)
    if any(thread.is_alive() for thread in threads):
        print("threads still running: deadlock", flush=True)
        sys.exit(2)

    serial = [run(job) for job in JOBS]
    for index, seen in enumerate(results):
        for j, outputs in seen.items():
            if outputs != {serial[j]}:
                problems.append(f"thread {index}, job {JOBS[j]}: {len(outputs)} distinct results")
    for problem in problems:
        print(problem)
    digest = hashlib.sha256(b"".join(serial)).hexdigest()
    print("ok" if not problems else "failed", digest)
    """
)


def run_child(workers: int) -> str:
    env_workers = {"RAYON_NUM_THREADS": str(workers)}
    try:
        child = subprocess.run(
            [sys.executable, "-c", CHILD],
            capture_output=True,
            text=True,
            timeout=300,
            env={**os.environ, **env_workers},
        )
    except subprocess.TimeoutExpired as timeout:
        pytest.fail(f"the threaded run with {workers} workers hung: {timeout.stdout!r}")
    assert child.returncode == 0, child.stdout + child.stderr[-4000:]
    lines = child.stdout.strip().splitlines()
    assert lines and lines[-1].startswith("ok "), child.stdout
    return lines[-1].split()[1]


@pytest.mark.slow
def test_threads_match_a_serial_run_for_every_worker_count():
    # The results must also not depend on the number of workers.
    digests = {workers: run_child(workers) for workers in (1, 2, 4)}
    assert len(set(digests.values())) == 1, digests
