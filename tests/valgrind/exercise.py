"""A short run of every path of both entry points, for memcheck.

Small arrays keep it fast under valgrind; every path runs a few times so that a per-call leak
shows up as several lost blocks.
"""

import numpy as np

import tacitor

REPEATS = 3
samples = np.random.default_rng(1).standard_normal((4, 48)).astype(np.float32)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


CALLS = [
    (tacitor.denoise_linear_regression, (samples, 6, 2)),
    (tacitor.denoise_linear_regression, (np.asfortranarray(samples)[:, ::-1], Index(5), 3)),
    (tacitor.denoise_decision_tree, (samples, 6, 2)),
    (tacitor.denoise_decision_tree, (samples[::2], 3, 5)),  # gaps
    (tacitor.denoise_linear_regression, (samples, 49, 1)),  # window too large
    (tacitor.denoise_decision_tree, (samples, 0, 1)),  # no positions
    (tacitor.denoise_linear_regression, (samples, 6, 0)),  # internal failure, calling thread
    (tacitor.denoise_linear_regression, (samples[:1, :12], 12, 1)),  # internal failure, worker
    (tacitor.denoise_linear_regression, (np.full((3, 20), np.nan, np.float32), 4, 2)),  # NaN
    (tacitor.denoise_decision_tree, (np.zeros((0, 20), np.float32), 4, 2)),
    (tacitor.denoise_decision_tree, (samples.tolist(), 6, 2)),  # TypeError
    (tacitor.denoise_decision_tree, (samples, 6, -1)),  # OverflowError
    (tacitor.denoise_decision_tree, (samples, 2**32, 1)),  # OverflowError
    (tacitor.denoise_decision_tree, (samples, Index(1.5), 1)),  # TypeError from __index__
]

for _ in range(REPEATS):
    for function, arguments in CALLS:
        try:
            result = function(*arguments)
            assert result.shape == arguments[0].shape
        except BaseException:  # noqa: BLE001 - the failures are expected here
            pass
    try:
        tacitor.denoise_decision_tree(samples, 6, 2, stride=1)
    except TypeError:
        pass
print("exercise done")
