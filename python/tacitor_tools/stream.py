"""Denoising a live stream with a trained denoiser: samples come out once they are final.

A sample is final once every window that covers it has arrived: with stride 1, sample t is
covered by the windows starting at t − w + 1 … t, so it is final once t + w − 1 samples have
arrived. Each push denoises only the stretch that makes new samples final, with the w − 1
samples before it, whose windows are the same as those of the whole series; so the
concatenated outputs are bit for bit ``Denoiser.denoise`` of the whole series. The stream
keeps at most the last 2·(w − 1) samples plus the block pushed: its memory does not grow with
the length of the stream.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from .missing import as_float_matrix

if TYPE_CHECKING:
    from .trained import Denoiser


class DenoiserStream:
    """Made by :meth:`tacitor_tools.Denoiser.stream`; see :mod:`tacitor_tools.stream`."""

    def __init__(self, denoiser: Denoiser, n_series: int) -> None:
        if denoiser.stride != 1:
            raise ValueError(f"streams need a denoiser fitted with stride 1, not {denoiser.stride}")
        if isinstance(n_series, bool) or not isinstance(n_series, int) or n_series < 1:
            raise ValueError(f"n_series must be a positive integer, not {n_series!r}")
        self._denoiser = denoiser
        self.n_series = n_series
        self._buffer = np.empty((n_series, 0), dtype=np.float32)
        self._start = 0  # stream position of the buffer's first column
        self._emitted = 0  # samples returned so far
        self._closed = False

    @property
    def _arrived(self) -> int:
        return self._start + self._buffer.shape[1]

    def push(self, block: npt.ArrayLike) -> npt.NDArray[np.float32]:
        """Adds ``block`` (n_series × k new samples, k ≥ 1) and returns the samples that
        became final (n_series × 0 or more), in float32."""
        if self._closed:
            raise ValueError("the stream is closed")
        array = as_float_matrix(block, "block")
        if array.shape[0] != self.n_series or array.shape[1] < 1:
            raise ValueError(
                f"block must hold {self.n_series} series × at least 1 new sample, "
                f"not {array.shape[0]} × {array.shape[1]}"
            )
        if np.isnan(array).any() and self._denoiser.missing is None:
            raise ValueError(
                f"block holds {int(np.isnan(array).sum())} missing values (NaN); "
                "streams take them only from a denoiser fitted with "
                "missing='impute'"
            )
        self._buffer = np.concatenate([self._buffer, array.astype(np.float32)], axis=1)
        return self._emit(self._arrived - self._denoiser.window_size + 1)

    def close(self) -> npt.NDArray[np.float32]:
        """Returns the samples not returned yet and closes the stream."""
        if self._closed:
            raise ValueError("the stream is closed")
        if self._arrived < self._denoiser.window_size:
            raise ValueError(
                f"the stream holds {self._arrived} samples, fewer than the "
                f"window ({self._denoiser.window_size})"
            )
        self._closed = True
        return self._emit(self._arrived)

    def _emit(self, final: int) -> npt.NDArray[np.float32]:
        """Samples ``self._emitted`` up to ``final`` (excluded), denoised."""
        if final <= self._emitted:
            return np.empty((self.n_series, 0), dtype=np.float32)
        window = self._denoiser.window_size
        # The windows covering the new final samples start w − 1 before the first of them.
        begin = max(0, self._emitted - (window - 1))
        end = final + window - 1 if final < self._arrived else final
        segment = self._buffer[:, begin - self._start : end - self._start]
        out: npt.NDArray[Any] = self._denoiser.denoise(segment, 1)
        result = np.ascontiguousarray(out[:, self._emitted - begin : final - begin])
        self._emitted = final
        keep = max(0, final - (window - 1))
        self._buffer = self._buffer[:, keep - self._start :].copy()
        self._start = keep
        return result
