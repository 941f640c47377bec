"""Denoising a live stream with a trained denoiser: samples come out once they are final.

With window w and stride s, the stream plans the windows of the batch plan that do not
depend on the end of the series: those starting at 0, s, 2s, … A sample t is final once
every such window that covers it has arrived, that is once the window starting at
⌊t / s⌋·s (the last one that can cover t) is complete; with s = 1, once sample t + w − 1 has
arrived. Each push denoises only the stretch of windows that makes new samples final, from
the first window that covers the first of them, so every returned sample is the mean of the
same predictions, added in the same order, as in ``Denoiser.denoise`` of the whole series.

The batch plan also adds a last window aligned to the end, [L − w, L), when L − w is not a
multiple of s (L the length). ``close()`` knows the end and denoises the samples it returns
with that window; the samples from L − w onwards that a push returned before lack it. Those
are the only samples that can differ from ``Denoiser.denoise`` of the whole series; they
equal ``Denoiser.denoise`` of the series cut after the last window that starts at a multiple
of s. With s = 1 there is no such window and the whole output is bit for bit the batch's.

The stream keeps the samples from the first window it still needs: fewer than 2·w + s per
series beside the block being pushed, whatever the length of the stream.
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

    def _last_start(self) -> int:
        """Start of the last complete window of the regular plan (−1 before the first)."""
        window, stride = self._denoiser.window_size, self._denoiser.stride
        if self._arrived < window:
            return -1
        return (self._arrived - window) // stride * stride

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
        last = self._last_start()
        if last < 0:
            return np.empty((self.n_series, 0), dtype=np.float32)
        # Every regular window that can cover a sample before last + s has arrived.
        return self._emit(min(last + self._denoiser.stride, self._arrived), closing=False)

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
        return self._emit(self._arrived, closing=True)

    def _emit(self, final: int, closing: bool) -> npt.NDArray[np.float32]:
        """Samples ``self._emitted`` up to ``final`` (excluded), denoised."""
        window, stride = self._denoiser.window_size, self._denoiser.stride
        # Samples that no window covers (between windows, when the stride exceeds the window)
        # are 0 / 0, the NaN the batch's reassembly gives them, bit for bit.
        with np.errstate(invalid="ignore"):
            uncovered = np.float32(0.0) / np.float32(0.0)
        result = np.full((self.n_series, max(0, final - self._emitted)), uncovered, np.float32)
        # The first regular window that covers the first sample to return.
        begin = max(0, -(-(self._emitted - window + 1) // stride) * stride)
        if closing:
            # Down to the last regular window start at most L − w, so that the stretch's
            # plan adds the batch's window aligned to the end exactly when the batch does.
            begin = min(begin, self._last_start())
            end = self._arrived
        else:
            end = (final - 1) // stride * stride + window
        if final > self._emitted and end - begin >= window:
            segment = self._buffer[:, begin - self._start : end - self._start]
            out: npt.NDArray[Any] = self._denoiser.denoise(segment, stride)
            # Samples outside [begin, end) lie between windows (stride above the window).
            first, last = max(self._emitted, begin), min(final, end)
            result[:, first - self._emitted : last - self._emitted] = out[
                :, first - begin : last - begin
            ]
        self._emitted = max(self._emitted, final)
        keep = max(0, -(-(self._emitted - window + 1) // stride) * stride)
        keep = min(keep, max(self._last_start(), 0), self._arrived)
        self._buffer = self._buffer[:, keep - self._start :].copy()
        self._start = keep
        return result
