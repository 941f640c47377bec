"""Coverage-guided fuzzing of the model-file reader with atheris.

Each input is half a valid model file (linear or tree, chosen by the first byte) spliced with
the fuzzer's bytes, and half the fuzzer's bytes with a matching checksum appended, so that
inputs get past the checksum and reach the layout checks. Every input must load or raise
ValueError; a loaded model must denoise a small batch. Anything else, a crash included,
counts as a failure.

    python fuzz/fuzz_model_file.py -max_total_time=30 build/fuzz/model-corpus
"""

import struct
import sys
import zlib

import atheris

with atheris.instrument_imports(include=["tacitor_tools"]):
    from tacitor_tools import Denoiser, fit

import numpy as np  # noqa: E402

BATCH = (np.sin(np.arange(48, dtype=np.float32) / 3) * np.ones((3, 1), np.float32)).astype(
    np.float32
)
VALID = [fit(BATCH, 4, 2, method=m).to_bytes() for m in ("linear", "tree")]


def sealed(body: bytes) -> bytes:
    return body + struct.pack("<I", zlib.crc32(body))


def test_one_input(raw: bytes) -> None:
    data = atheris.FuzzedDataProvider(raw)
    choice = data.ConsumeIntInRange(0, 3)
    rest = data.ConsumeBytes(len(raw))
    if choice < 2:
        valid = VALID[choice][:-4]
        at = len(rest) and rest[0] % len(valid)
        candidate = sealed(valid[:at] + rest[1:] + valid[at + len(rest) - 1 :])
    elif choice == 2:
        candidate = sealed(rest)
    else:
        candidate = rest
    try:
        denoiser = Denoiser.from_bytes(candidate)
    except ValueError:
        return
    if denoiser.window_size > 192:
        return
    out = denoiser.denoise(np.tile(BATCH, (1, 4)))
    assert out.shape == (3, 192)


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
