"""A call that cannot get the memory it needs raises MemoryError and leaves the process usable.

Each case runs in a child process whose address space is limited to a little more than it
already uses, so the large call fails quickly and nothing else on the machine is squeezed.
"""

import os
import subprocess
import sys
import textwrap

import pytest

UNDER_SANITIZER = any(name in os.environ.get("LD_PRELOAD", "") for name in ("libasan", "libtsan"))

CHILD = textwrap.dedent(
    """
    import resource
    import sys

    import numpy as np

    import tacitor

    entry, case = sys.argv[1], sys.argv[2]
    function = getattr(tacitor, entry)
    small = np.random.default_rng(5).standard_normal((4, 64)).astype(np.float32)
    expected = function(small, 6, 2).tobytes()  # the pool and NumPy's API exist from here on

    if case == "training_set":
        # 512 KiB of samples; every window position's training set needs over 500 MiB.
        samples = np.random.default_rng(6).standard_normal((32, 4096)).astype(np.float32)
        window_size, stride = 2048, 1
    else:
        # 4 EiB of samples that NumPy holds in 4 bytes: the sample copy cannot be made.
        samples = np.broadcast_to(np.float32(1.5), (2**30, 2**30))
        window_size, stride = 4, 2

    with open("/proc/self/status") as status:
        used_kib = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    limit = used_kib * 1024 + 256 * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))

    for attempt in range(3):
        try:
            function(samples, window_size, stride)
        except MemoryError:
            pass
        else:
            print("the large call returned a result")
            sys.exit(1)
        assert function(small, 6, 2).tobytes() == expected
    print("memory error, then usable")
    """
)


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizers reserve terabytes of address space")
@pytest.mark.parametrize("case", ["training_set", "sample_copy"])
@pytest.mark.parametrize("entry", ["denoise_linear_regression", "denoise_decision_tree"])
def test_exhausted_memory_raises_memory_error(entry, case):
    try:
        child = subprocess.run(
            [sys.executable, "-c", CHILD, entry, case], capture_output=True, text=True, timeout=180
        )
    except subprocess.TimeoutExpired:
        pytest.fail("the call neither finished nor ran out of memory")
    assert child.returncode == 0, child.stdout + child.stderr[-4000:]
    assert child.stdout.strip() == "memory error, then usable"
