"""Self-supervised denoising of batches of time series with windowed regression.

Failures that valid input never produces are raised as ``tacitor.InternalFailure``, a class
derived directly from ``BaseException``. It is created when first needed and is not a module
attribute, so catch it as ``BaseException`` and look at ``type(e).__name__``.

The arguments are checked in this order, and the first problem found is raised: binding
(missing, repeated or unknown arguments: ``TypeError``); ``samples``, ``window_size``, then
``stride`` (``TypeError`` or ``OverflowError``); ``stride`` 0 (``tacitor.InternalFailure``);
``window_size`` larger than the series length, then ``window_size`` 0 (``ValueError``); NaN or
infinite values in ``samples`` (``ValueError``); only then does fitting start.

A call can be interrupted with Ctrl-C: the computation stops within a fraction of a second
and the call raises ``KeyboardInterrupt`` (or whatever the signal handler raised).
"""

from typing import SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = ["denoise_linear_regression", "denoise_decision_tree"]

def denoise_linear_regression(
    samples: npt.NDArray[np.float32], window_size: SupportsIndex, stride: SupportsIndex
) -> npt.NDArray[np.float32]:
    """Denoise a set of time-series samples using linear regression.

    ``samples`` is a 2-D float32 array, one series per row, one time position per column
    (any memory layout). The series are cut into windows of ``window_size`` consecutive
    positions starting every ``stride`` positions (the last window ends at the last
    position). For every window position a least-squares linear regression with intercept
    learns that position from the other positions of the same window, over every
    (window, series) pair. Each sample becomes the mean of the predictions of the windows
    covering it.

    ``window_size`` and ``stride`` are integers (``int``, NumPy integers, anything with
    ``__index__``) from 0 to 2**32 - 1.

    Returns a new C-contiguous, writable float32 array of the shape of ``samples``.
    Positions covered by no window (``stride`` > ``window_size``) are NaN.

    Raises:
        TypeError: ``samples`` is not a 2-D float32 NumPy array.
        OverflowError: ``window_size`` or ``stride`` is negative or at least 2**32.
        ValueError: ``window_size`` is 0, or larger than the series length; ``samples``
            holds NaN or infinite values ("samples holds 3 NaN or infinite values (the
            first at series 4, position 17); fill or drop them before denoising").
        tacitor.InternalFailure: ``stride`` is 0; fewer training rows (windows times
            series, zero series included) than ``window_size``.
        KeyboardInterrupt: the call was interrupted (Ctrl-C).
    """

def denoise_decision_tree(
    samples: npt.NDArray[np.float32], window_size: SupportsIndex, stride: SupportsIndex
) -> npt.NDArray[np.float32]:
    """Denoise a set of time-series samples using decision trees.

    Same windows, arguments and result as ``denoise_linear_regression``, with a regression
    tree of depth at most 8 as the estimator of every window position.

    Raises:
        TypeError: ``samples`` is not a 2-D float32 NumPy array.
        OverflowError: ``window_size`` or ``stride`` is negative or at least 2**32.
        ValueError: ``window_size`` is 0, or larger than the series length; ``samples``
            holds NaN or infinite values.
        tacitor.InternalFailure: ``stride`` is 0; ``samples`` has no rows.
        KeyboardInterrupt: the call was interrupted (Ctrl-C).
    """
