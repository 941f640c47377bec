"""Saved and pickled denoisers: the same bits after a round trip, and files that are not a
model refused with ValueError naming the problem."""

import pickle
import struct
import zlib

import numpy as np
import pytest

from tacitor_tools import Denoiser, fit, load


def bits(array):
    return np.ascontiguousarray(array).view(np.uint32)


def batch(seed, offset=0.0):
    rng = np.random.default_rng(seed)
    return (offset + np.sin(np.arange(120) / 5.0) + 0.3 * rng.standard_normal((6, 120))).astype(
        np.float32
    )


@pytest.mark.parametrize("method, offset", [("linear", 0.0), ("linear", 1e4), ("tree", 0.0)])
def test_saved_and_pickled_denoisers_give_the_same_bits(tmp_path, method, offset):
    x, y = batch(0, offset), batch(1, offset)
    denoiser = fit(x, 7, 3, method=method)
    path = tmp_path / "model.tacitor"
    denoiser.save(path)
    for copy in (load(path), pickle.loads(pickle.dumps(denoiser)), load(str(path), method)):
        assert (copy.method, copy.window_size, copy.stride, copy.missing, copy.blend_weight) == (
            method,
            7,
            3,
            None,
            None,
        )
        np.testing.assert_array_equal(bits(copy.denoise(y)), bits(denoiser.denoise(y)))
        np.testing.assert_array_equal(bits(copy.denoise(y, 1)), bits(denoiser.denoise(y, 1)))


def test_settings_of_the_denoiser_travel_with_it():
    x = batch(2)
    x[0, 5] = np.nan
    denoiser = fit(x, "auto", 2, missing="impute")
    copy = Denoiser.from_bytes(denoiser.to_bytes())
    assert (copy.window_size, copy.stride, copy.missing) == (denoiser.window_size, 2, "impute")
    assert copy.blend_weight == denoiser.blend_weight
    np.testing.assert_array_equal(
        bits(copy.denoise(x, blend=True)), bits(denoiser.denoise(x, blend=True))
    )


def reseal(body):
    return body + struct.pack("<I", zlib.crc32(body))


def test_damaged_and_foreign_files_are_refused_by_name(tmp_path):
    data = fit(batch(3), 4, 2, method="tree").to_bytes()
    body = data[:-4]
    cases = {
        b"": "no TACITORM header",
        b"PK\x03\x04" + data[4:]: "no TACITORM header",
        data[:-1]: "checksum",
        data[:30]: "truncated",
        data[:20] + bytes([data[20] ^ 1]) + data[21:]: "checksum",
        reseal(body[:8] + struct.pack("<I", 2) + body[12:]): "format version 2",
        reseal(body[:40] + struct.pack("<I", 2**32 - 1) + body[44:]): "claims 4294967295 nodes",
        reseal(body[:16] + struct.pack("<I", 2**31) + body[20:]): "window size 2147483648",
    }
    for bad, words in cases.items():
        with pytest.raises(ValueError, match=f"cannot load the model: .*{words}"):
            Denoiser.from_bytes(bad)
    path = tmp_path / "tree.tacitor"
    path.write_bytes(data)
    with pytest.raises(ValueError, match="holds a 'tree' denoiser, not 'linear'"):
        load(path, "linear")
    assert load(path).window_size == 4
