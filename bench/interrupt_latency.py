"""How long a call takes to end after Ctrl-C: median and worst over repeated interrupts.

Each repeat starts a child interpreter that runs one long call, sends it SIGINT once the
call is well into its parallel work, and measures the time until the child has exited.
The latency includes the child's exit (freeing the call's memory, interpreter shutdown),
so it is an upper bound of the call's own reaction time.

    python bench/interrupt_latency.py [--repeats 10] [--delay 0.5] [--json out.json]

The test suite asserts only a bound that a call ignoring the signal would break; the
latency itself depends on the machine's load and belongs here.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import time

# (function, shape, window_size, stride): calls that run for a minute or more uninterrupted.
# "linear" and "tree" are the calls of tests/python/test_interrupt.py (wide windows on few
# rows); "tree-rows" fits few positions on millions of rows, so that each split search is long.
CALLS = {
    "linear": ("denoise_linear_regression", (8, 2000), 256, 1),
    "tree": ("denoise_decision_tree", (8, 4000), 256, 1),
    "tree-rows": ("denoise_decision_tree", (64, 240000), 4, 1),
}

CHILD = """
import numpy as np
import tacitor
samples = np.random.default_rng(11).standard_normal({shape!r}).astype(np.float32)
print("calling", flush=True)
tacitor.{function}(samples, {window}, {stride})
"""


def one_interrupt(method: str, delay: float) -> float:
    function, shape, window, stride = CALLS[method]
    code = CHILD.format(shape=shape, function=function, window=window, stride=stride)
    child = subprocess.Popen(
        [sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout is not None
        if child.stdout.readline() != "calling\n":
            raise RuntimeError(f"the child did not start: {child.communicate()[1]}")
        time.sleep(delay)
        if child.poll() is not None:
            raise RuntimeError("the call ended before it could be interrupted")
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        child.communicate(timeout=600)
        return time.perf_counter() - sent
    finally:
        child.kill()
        child.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=10)
    parser.add_argument(
        "--delay",
        type=float,
        default=0.5,
        help="seconds between the start of the call and the signal",
    )
    parser.add_argument("--methods", nargs="+", default=list(CALLS), choices=list(CALLS))
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    args = parser.parse_args()
    results = {}
    print(
        f"load average {os.getloadavg()[0]:.1f}, {os.cpu_count()} CPUs, "
        f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}"
    )
    for method in args.methods:
        latencies = [one_interrupt(method, args.delay) for _ in range(args.repeats)]
        results[method] = {
            "median_s": statistics.median(latencies),
            "worst_s": max(latencies),
            "repeats": args.repeats,
        }
        print(
            f"{method:9s} median {results[method]['median_s']:.3f} s, "
            f"worst {results[method]['worst_s']:.3f} s over {args.repeats} interrupts"
        )
    if args.json:
        with open(args.json, "w") as stream:
            json.dump({"load_average": os.getloadavg()[0], "results": results}, stream, indent=2)


if __name__ == "__main__":
    main()
