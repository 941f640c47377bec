"""A process forked after the worker pool exists can still call the module.

The worker threads do not survive a fork, so the child must not wait for them. Each scenario
runs in its own interpreter with a timeout: a child that hangs fails the test.
"""

import os
import signal
import subprocess
import sys
import tempfile
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import multiprocessing
    import os
    import sys
    import warnings

    import numpy as np

    import tacitor

    warnings.simplefilter("ignore", DeprecationWarning)  # fork of a multi-threaded process
    how = sys.argv[1]
    samples = np.random.default_rng(11).standard_normal((5, 120)).astype(np.float32)

    def compute():
        return (
            tacitor.denoise_linear_regression(samples, 8, 3).tobytes()
            + tacitor.denoise_decision_tree(samples, 6, 2).tobytes()
        )

    expected = compute()  # the pool exists from here on

    def in_child(queue):
        queue.put(compute() == expected)
        # A second fork from the child, whose own pool was made after the first fork.
        grandchild = os.fork()
        if grandchild == 0:
            os._exit(0 if compute() == expected else 3)
        _, status = os.waitpid(grandchild, 0)
        queue.put(os.waitstatus_to_exitcode(status) == 0)

    if how == "multiprocessing":
        context = multiprocessing.get_context("fork")
        queue = context.Queue()
        process = context.Process(target=in_child, args=(queue,))
        process.start()
        outcome = [queue.get(timeout=60), queue.get(timeout=60)]
        process.join(timeout=60)
        assert process.exitcode == 0, process.exitcode
    else:
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            ok = compute() == expected
            os.write(write_end, b"1" if ok else b"0")
            os._exit(0)
        os.close(write_end)
        outcome = [os.read(read_end, 1) == b"1"]
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0

    # The parent's pool still works after the fork.
    outcome.append(compute() == expected)
    print("outcome", outcome)
    """
)


def run_bounded(command: list[str], timeout: float) -> tuple[int, str, str]:
    """Runs `command` in its own process group; on timeout the whole group is killed, so that a
    hung grandchild cannot keep the test waiting either."""
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        process = subprocess.Popen(command, stdout=out, stderr=err, start_new_session=True)
        try:
            status = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            status = None
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()


@pytest.mark.slow
@pytest.mark.parametrize("how", ["multiprocessing", "os.fork"])
def test_forked_child_can_call_after_the_pool_exists(how):
    status, stdout, stderr = run_bounded([sys.executable, "-c", CHILD, how], timeout=150)
    assert status is not None, f"a call after {how} hung: {stdout} {stderr[-2000:]}"
    assert status == 0, stderr[-4000:]
    assert "outcome [True, True" in stdout and "False" not in stdout, stdout
