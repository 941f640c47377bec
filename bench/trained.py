"""Trained denoisers: the cost of applying one to new data, and two threads at once.

Cost: a linear denoiser trained on one batch of 64 series × 16,384 samples (window 16,
stride 1) denoises another batch of that shape with prediction only; the full call
(``tacitor.denoise_linear_regression``) trains and predicts. Target: applying is at least 10×
faster than the full call.

Threads: two Python threads each denoise a batch with the same denoiser; the calls release
the interpreter lock, so the wall time of the pair is compared with the two calls one after
the other (on 2 cores the work already runs on the whole pool, so the overlap shows mainly as
the calling threads' own work, planning and reassembly, running side by side).

Stream: the same denoiser applied to the second batch pushed in blocks of 256 samples,
against one ``denoise`` of the whole batch. Target: within 1.5× of the batch.

    python bench/trained.py            # prints a Markdown table
    python bench/trained.py --stream   # the stream's throughput only
    python bench/trained.py --json f   # also writes the numbers to f
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import threading
import time

import numpy as np

import tacitor
from tacitor_tools import fit

SERIES, LENGTH, WINDOW, STRIDE = 64, 16384, 16, 1
REPEATS = 5


def batch(seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    t = np.arange(LENGTH)
    clean = np.sin(t / 20.0 + rng.uniform(0, 6, (SERIES, 1)))
    return (clean + 0.3 * rng.standard_normal((SERIES, LENGTH))).astype(np.float32)


def median_time(call, repeats: int = REPEATS) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", help="also write the numbers to this file")
    parser.add_argument("--stream", action="store_true", help="the stream's throughput only")
    args = parser.parse_args()
    train, new = batch(0), batch(1)
    denoiser = fit(train, WINDOW, STRIDE)
    if args.stream:
        stream_throughput(denoiser, new)
        return
    full = median_time(lambda: tacitor.denoise_linear_regression(new, WINDOW, STRIDE))
    apply = median_time(lambda: denoiser.denoise(new))
    fit_time = median_time(lambda: fit(new, WINDOW, STRIDE))

    def two_threads() -> None:
        threads = [threading.Thread(target=denoiser.denoise, args=(b,)) for b in (train, new)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    sequential = median_time(lambda: (denoiser.denoise(train), denoiser.denoise(new)))
    parallel = median_time(two_threads)
    load = os.getloadavg()[0]
    numbers = {
        "shape": [SERIES, LENGTH],
        "window": WINDOW,
        "stride": STRIDE,
        "full_call_s": full,
        "fit_s": fit_time,
        "apply_s": apply,
        "speedup": full / apply,
        "two_sequential_s": sequential,
        "two_threads_s": parallel,
        "load_average": load,
        "cores": os.cpu_count(),
    }
    print(f"| {SERIES} × {LENGTH}, w {WINDOW}, stride {STRIDE} | median of {REPEATS} |")
    print("|---|---|")
    print(f"| full call (train + predict) | {full:.3f} s |")
    print(f"| fit | {fit_time:.3f} s |")
    print(f"| apply a trained denoiser | {apply:.3f} s |")
    print(f"| speed-up of applying (target ≥ 10×) | {full / apply:.1f}× |")
    print(f"| two applies, one after the other | {sequential:.3f} s |")
    print(f"| two applies on two threads | {parallel:.3f} s |")
    print(f"\nload average {load:.1f} on {os.cpu_count()} cores")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump(numbers, out, indent=1)


def stream_throughput(denoiser, data: np.ndarray, block: int = 256) -> None:
    def streamed() -> None:
        stream = denoiser.stream(data.shape[0])
        for start in range(0, data.shape[1], block):
            stream.push(data[:, start : start + block])
        stream.close()

    whole = median_time(lambda: denoiser.denoise(data))
    pushed = median_time(streamed)
    print(f"| {SERIES} × {LENGTH}, w {WINDOW} | median of {REPEATS} |")
    print("|---|---|")
    print(f"| one denoise of the batch | {whole:.3f} s |")
    print(f"| stream, blocks of {block} | {pushed:.3f} s |")
    print(f"| ratio (target ≤ 1.5×) | {pushed / whole:.2f}× |")
    print(f"\nload average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
