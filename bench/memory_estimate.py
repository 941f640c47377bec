"""Peak resident memory of single calls against the pre-flight estimate.

Each point runs in a child process on the installed package and reports the growth of the
peak resident set during the call (ru_maxrss after minus before) beside the estimate of
tacitor_tools._native.memory_estimate for the same shape and worker count.

    python bench/memory_estimate.py [--threads N]
"""

import argparse
import os
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent(
    """
    import resource, sys
    import numpy as np
    import tacitor
    from tacitor_tools import _native
    method, series, length, window, stride = sys.argv[1], *map(int, sys.argv[2:6])
    entry = {"linear": tacitor.denoise_linear_regression,
             "tree": tacitor.denoise_decision_tree}[method]
    samples = np.random.default_rng(0).standard_normal((series, length)).astype(np.float32)
    entry(samples[:2, :64].copy(), 4, 1)  # pool and NumPy's API set up beforehand
    estimate = _native.memory_estimate(method, series, length, window, stride)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    entry(samples, window, stride)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(estimate.workers, estimate.peak_bytes, after - before)
    """
)

POINTS = [
    ("linear", 256, 16384, 8, 1),
    ("linear", 64, 65536, 16, 2),
    ("linear", 1024, 8192, 4, 1),
    ("tree", 32, 8192, 8, 1),
    ("tree", 128, 8192, 4, 2),
]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    env = {"RAYON_NUM_THREADS": str(args.threads)}
    print(
        "| method | S | L | w | s | workers | estimate MiB | measured MiB | measured / estimate |"
    )
    print("|---|---|---|---|---|---|---|---|---|")
    for point in POINTS:
        out = subprocess.run(
            [sys.executable, "-c", CHILD, *map(str, point)],
            check=True,
            capture_output=True,
            text=True,
            env=dict(os.environ, **env),
        ).stdout
        workers, estimate, measured = map(int, out.split())
        print(
            f"| {' | '.join(map(str, point))} | {workers} | {estimate / 2**20:.0f} | "
            f"{measured / 2**20:.0f} | {measured / estimate:.2f} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
