"""Coverage-guided fuzzing of both entry points with atheris.

Each input is decoded into a call: entry point, memory layout, shape, raw sample bits, and the
window_size and stride arguments (plain ints near the series length, boundary values, raw
64-bit values, or objects with their own conversion). The call is checked against the same
documented outcomes as the hostile-input property tests, so a wrong exception, a changed input
or a result that differs from the C-ordered copy's counts as a crash, as does a real crash.

    python fuzz/fuzz_entry_points.py -max_total_time=60 build/fuzz/corpus
"""

import collections
import os
import sys

import atheris

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python")
)

with atheris.instrument_imports(include=["test_hostile_input"]):
    import test_hostile_input as hostile

import numpy as np  # noqa: E402

MAX_SERIES, MAX_LENGTH = 8, 32
BOUNDARY_VALUES = [0, 1, 2, 2**31, hostile.U32_LIMIT - 1, hostile.U32_LIMIT, 2**64 - 1, 2**64, -1]
OBJECTS = [
    lambda value: hostile.Index(value),
    lambda value: np.int64(value),
    lambda value: bool(value & 1),
    lambda value: float(value),
    lambda value: str(value),
    lambda value: None,
    lambda value: hostile.RaisingIndex(TypeError, "from __index__"),
    lambda value: hostile.RaisingIndex(hostile.IndexError_, "subclass from __index__"),
    lambda value: hostile.Index(float(value)),
]
# With TACITOR_FUZZ_STATS set, the counts of the outcomes so far are printed every 2**16 runs.
OUTCOMES: collections.Counter = collections.Counter()
STATS = bool(os.environ.get("TACITOR_FUZZ_STATS"))
LAYOUTS = list(hostile.LAYOUTS * 4 + hostile.NON_ARRAYS)


def integer_argument(data: atheris.FuzzedDataProvider, length: int):
    mode = data.ConsumeIntInRange(0, 6)
    if mode <= 2:  # mostly values that reach the pipeline
        return data.ConsumeIntInRange(1, max(1, length))
    if mode == 3:
        return data.ConsumeIntInRange(0, length + 2)
    if mode == 4:
        return data.PickValueInList(BOUNDARY_VALUES) + data.ConsumeIntInRange(-1, 1) * length
    if mode == 5:
        return data.ConsumeInt(9)  # any 72-bit signed value
    return data.PickValueInList(OBJECTS)(data.ConsumeIntInRange(-2, length + 2))


def test_one_input(raw: bytes) -> None:
    data = atheris.FuzzedDataProvider(raw)
    entry = hostile.ENTRY_POINTS[data.ConsumeIntInRange(0, 1)]
    layout = data.PickValueInList(LAYOUTS)
    # Shifted so that a short input, whose missing bytes read as zero, still gives a shape
    # that reaches the pipeline; every shape stays reachable.
    series = (data.ConsumeIntInRange(0, MAX_SERIES) + 3) % (MAX_SERIES + 1)
    length = (data.ConsumeIntInRange(0, MAX_LENGTH) + 12) % (MAX_LENGTH + 1)
    window_size = integer_argument(data, length)
    stride = integer_argument(data, length)
    keywords = data.ConsumeBool()
    # Whatever bytes remain are the samples' bits, repeated or cut to the shape.
    payload = data.ConsumeBytes(series * length * 4) or b"\0\0\0\0"
    payload = (payload * (series * length * 4 // len(payload) + 1))[: series * length * 4]
    values = np.frombuffer(payload, dtype=np.float32).reshape(series, length).copy()
    OUTCOMES[hostile.Case(entry, layout, values, window_size, stride, keywords).run()] += 1
    if STATS and OUTCOMES.total() % 2**16 == 0:
        print("outcomes:", dict(OUTCOMES.most_common()), file=sys.stderr)


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
