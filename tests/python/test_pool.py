"""The process-wide worker pool seen from Python: its size and its life across a fork.

Every scenario runs in a fresh interpreter, because the pool is created once per process by
the first call and its size is read from the environment at that moment.
"""

import os
import subprocess
import sys
import textwrap

import pytest

TIMEOUT = 120

COUNT_THREADS = textwrap.dedent(
    """
    import os

    import numpy as np

    import tacitor

    def threads():
        return len(os.listdir("/proc/self/task"))

    if "POOL_TEST_CPUS" in os.environ:
        cpus = sorted(os.sched_getaffinity(0))[: int(os.environ["POOL_TEST_CPUS"])]
        os.sched_setaffinity(0, cpus)
    samples = np.random.default_rng(5).standard_normal((4, 64)).astype(np.float32)
    before = threads()
    tacitor.denoise_linear_regression(samples, 6, 2)
    after_first = threads()
    tacitor.denoise_linear_regression(samples, 6, 2)
    print(before, after_first, threads())
    """
)


def run_child(script, env_changes):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    # Keep NumPy's own thread pools out of the count.
    env.update(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    env.update(env_changes)
    completed = subprocess.run(
        [sys.executable, "-c", script],
        env=env,
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


def pool_threads(env_changes):
    before, after_first, after_second = map(int, run_child(COUNT_THREADS, env_changes).split())
    assert after_second == after_first, "the pool must be created once and then reused"
    return after_first - before


@pytest.mark.parametrize(
    ("env", "expected"),
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_RS_NUM_CPUS": "5"}, 5),
    ],
)
def test_the_environment_sets_the_number_of_pool_threads(env, expected):
    assert pool_threads(env) == expected


def test_without_settings_the_pool_matches_the_usable_cpus():
    cpus = len(os.sched_getaffinity(0))
    threads = pool_threads({})
    assert 1 <= threads <= min(cpus, 255)


@pytest.mark.parametrize("cpus", [1, 2])
def test_the_affinity_mask_limits_the_pool(cpus):
    if len(os.sched_getaffinity(0)) < cpus:
        pytest.skip(f"this machine lets the process use fewer than {cpus} CPUs")
    # A cgroup quota may limit the pool further; it applies with or without the mask.
    unrestricted = pool_threads({})
    assert pool_threads({"POOL_TEST_CPUS": str(cpus)}) == min(cpus, unrestricted)


FORK_CHILD = textwrap.dedent(
    """
    import multiprocessing
    import warnings

    import numpy as np

    import tacitor

    samples = np.random.default_rng(9).standard_normal((6, 90)).astype(np.float32)

    def compute():
        return tacitor.denoise_linear_regression(samples, 7, 2).tobytes()

    def child(queue):
        queue.put(compute())

    if __name__ == "__main__":
        expected = compute()  # the parent's pool exists from here on
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
        context = multiprocessing.get_context("fork")
        queue = context.Queue()
        process = context.Process(target=child, args=(queue,))
        process.start()
        process.join(60)
        if process.is_alive():
            process.kill()
            raise SystemExit("the forked child hung")
        assert process.exitcode == 0, process.exitcode
        assert queue.get(timeout=10) == expected
        assert compute() == expected  # the parent's pool still works
        print("ok")
    """
)


def test_a_forked_child_can_use_the_pool():
    assert run_child(FORK_CHILD, {"RAYON_NUM_THREADS": "2"}).strip() == "ok"
