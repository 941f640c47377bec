"""How much of the observation the combined estimate f + k·(x − f) keeps, globally or locally.

With m the prediction's mean squared error against the clean signal, σ² the noise variance
and c = mean((f − clean)·noise) the fit's pull towards the noise, the error of f + k·(x − f)
is smallest at k = (m − c) / (m + σ² − 2c). The global weight takes m from the search's
held-out estimate. The local weight takes it, per series and per stretch of time, from the
residuals themselves: E[(x − f)²] = m + σ² − 2c, so a smoothed local mean r of (x − f)²
gives m = r − σ² + 2c and k = 1 − (σ² − c) / r. Where the neighbours cannot predict the
signal (a step, a spike, a burst), r rises above σ² and k towards 1: the output keeps the
observation there. On quiet smooth stretches r stays near the global mean and k near the
global weight.
"""

from __future__ import annotations

from typing import Any, Literal, cast, get_args

import numpy as np
import numpy.typing as npt

from ..glitches import MAD_TO_STD
from .noise import series_noise_ratios

Combination = Literal["global", "local"]
COMBINATIONS: tuple[str, ...] = get_args(Combination)

# The combined estimate's default weighting. Measured on the quality families (8 signal
# families at 0, 10 and 20 dB, 2 to 32 series × 512; bench/HONEST-*.md): the local weight
# gained 1.8 to 2.4 dB on steps, 1.0 to 1.9 dB on spikes and 0.1 to 0.3 dB on ECG-like beats
# over the global one, and lost at most 0.06 dB on sines, chirps, AR(2) and bursts. Each
# series is judged against its own noise level: with one level for the batch, the quantised
# sensor (whose series differ in noise level) lost 0.74 dB to the global weight with 32
# series; with the series' own levels it loses nothing there.
COMBINATION_DEFAULT: Combination = "local"

# Samples over which the local mean of (x − f)² is taken: a triangular window of about this
# total length. Measured from 8 to 256 on 4 series × 512: short stretches follow steps and
# spikes best; 128 and 256 kept a third or less of the gain that 16 and 32 gave there.
LOCAL_STRETCH = 16
# Standard deviations of the local means (robust, from their spread over the batch) beyond
# which a local mean's difference from the batch's mean counts. Measured on 4 series × 512
# when the spread was still modelled as Gaussian noise's: at 2 to 4 the weight followed
# chance differences and lost up to 0.4 dB on smooth or quantised signals; at 6 at most
# 0.03 dB. The model held for Gaussian noise only: under Laplace noise the local weight lost
# 1.1 dB on sines and 2.4 dB on the quantised sensor to the global one (4 series, the
# quality families at 0, 10 and 20 dB). With the measured spread it loses 0.1 and 0.1 dB
# there, the mean over Laplace sets rose by 0.54 dB, and no Gaussian family's mean moved by
# more than 0.10 dB (spikes −0.10, ECG-like beats −0.05, steps −0.05).
LOCAL_THRESHOLD = 6.0


# Standard errors of the estimated loss within which a blend weight is shrunk towards 0.
# Measured on 2 and 4 series × 512 (8 families at 0, 10 and 20 dB; bench/HONEST-*.md), gain
# of the default output against no shrinking, 2 series: at 1 the quantised sensor gained
# 0.34 dB, at 1.5 0.58 dB and at 2 0.68 dB, but at 2 AR(2) lost 0.18 dB and bursts 0.12 dB,
# at 1.5 no family lost more than 0.09 dB. With 4 series, where k is firmer, 1.5 moved no
# family by more than 0.06 dB.
GARROTE_ERRORS = 1.5


def checked_combination(combination: object) -> Combination:
    """``combination`` if it names a weighting; ValueError listing the valid names otherwise."""
    if not isinstance(combination, str) or combination not in COMBINATIONS:
        valid = ", ".join(repr(c) for c in COMBINATIONS)
        raise ValueError(f"combination must be one of {valid}, not {combination!r}")
    return cast(Combination, combination)


def weight_from_loss(
    loss: npt.ArrayLike, noise_var: float, fit_covariance: float, loss_se: float = 0.0
) -> npt.NDArray[np.float64]:
    """k = (m − c) / (m + σ² − 2c), clipped to [0, 1]: the one rule behind every weight.

    ``loss_se`` is the standard error of m. m is the residuals' mean square less σ², so an
    error in σ² moves k by as much over m + σ² − 2c. Where k is within ``GARROTE_ERRORS``
    such errors of 0, it is shrunk to k − s²/k (s = that many errors, in units of k), and
    to 0 below s. Keeping k as estimated costs as much, on average, as the squared error of
    k. Where the best k is small (a prediction already close to the signal), that error
    outweighs what k can gain.
    """
    m = np.maximum(np.asarray(loss, dtype=np.float64), 0.0)
    if noise_var <= 0.0:
        return np.zeros_like(m)
    denominator = m + noise_var - 2.0 * fit_covariance
    with np.errstate(divide="ignore", invalid="ignore"):
        k = np.clip(np.where(denominator > 0.0, (m - fit_covariance) / denominator, 1.0), 0.0, 1.0)
        if loss_se > 0.0:
            spread = np.where(denominator > 0.0, GARROTE_ERRORS * loss_se / denominator, 0.0)
            k = np.where(k > spread, k - spread**2 / np.where(k > 0.0, k, 1.0), 0.0)
    return np.asarray(k, dtype=np.float64)


def box_sums(values: npt.NDArray[np.float64], width: int) -> npt.NDArray[np.float64]:
    """Sums of ``values`` over a centred window of ``width`` along each row (shortened at
    the ends of the row)."""
    length = values.shape[1]
    padded = np.zeros((values.shape[0], length + 1))
    np.cumsum(values, axis=1, out=padded[:, 1:])
    ends = np.minimum(np.arange(length) + width - width // 2, length)
    starts = np.maximum(np.arange(length) - width // 2, 0)
    return cast(npt.NDArray[np.float64], padded[:, ends] - padded[:, starts])


def local_mean(values: npt.NDArray[np.float64], stretch: int) -> npt.NDArray[np.float64]:
    """Mean of the finite ``values`` of each row around every position: two passes of a box
    of about half the stretch (a triangular window; odd, so that it stays centred),
    normalised by the finite samples it covers. Positions with no finite value within reach
    are NaN."""
    finite = np.isfinite(values)
    half = stretch // 2 | 1
    totals = box_sums(box_sums(np.where(finite, values, 0.0), half), half)
    counts = box_sums(box_sums(finite.astype(np.float64), half), half)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(counts > 0.5, totals / counts, np.nan)


def local_weights(
    out: npt.NDArray[np.floating[Any]],
    samples: npt.NDArray[np.floating[Any]],
    noise_var: float,
    fit_covariance: float,
    global_weight: float,
    noise_var_se: float = 0.0,
    stretch: int = LOCAL_STRETCH,
    impulsive: bool = False,
) -> npt.NDArray[np.float64]:
    """k per sample, from the local mean of (x − f)²; ``global_weight`` where no residual
    is within reach (a series that is missing for longer than the stretch).
    ``noise_var_se`` is the standard error of σ², shared by every local loss.
    ``impulsive``: the samples' noise was found impulsive (:func:`..glitches.search_glitches`),
    so that a residual standing out alone is more likely an impulse the rule missed than the
    signal's own (:func:`without_lone_peaks`)."""
    residual = samples.astype(np.float64) - out.astype(np.float64)
    # In units of each series' own noise level: k depends on r / σ² only, so a noisier
    # series is judged against its own level, not the batch's.
    # The ratios are rescaled so that the batch's mean square stays what it is: they move
    # weight between series, not the batch's level, which sets the global weight.
    plain = residual**2
    squares = plain / series_noise_ratios(samples)[:, None]
    known = squares[np.isfinite(squares)]
    if known.size and float(np.mean(known)) > 0.0:
        scale = float(np.mean(plain[np.isfinite(plain)])) / float(np.mean(known))
        squares *= scale
        known = known * scale
    if known.size < 2:
        return np.full(residual.shape, global_weight)
    if impulsive:
        squares = without_lone_peaks(squares)
    r = shrunk_towards(local_mean(squares, stretch), known)
    k = weight_from_loss(
        r - noise_var + 2.0 * fit_covariance, noise_var, fit_covariance, noise_var_se
    )
    return np.where(np.isnan(r), global_weight, k)


def without_lone_peaks(squares: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Each square replaced by the median of itself and its two neighbours; kept as it is
    at the ends of a series and next to a missing sample (NaN), and NaN where missing.

    A sample that stands out alone (an impulse the glitch rule missed) then counts no more
    than its neighbours; anything the prediction misses on two samples or more (a step, a
    spike, a burst) keeps its size. Under impulsive noise one such impulse of 7 to 8 times
    the noise level made the local weight keep the observation around it, and a handful of
    them cost the default output up to 6 dB on smooth signals. Elsewhere a sample standing
    out alone is the signal's: recordings of hand motion have one-sample jerks that the
    median would give to the prediction (0.2 dB lost on the whole batch).
    """
    padded = np.pad(squares, ((0, 0), (1, 1)), constant_values=np.nan)
    before, centre, after = padded[:, :-2], padded[:, 1:-1], padded[:, 2:]
    median = np.maximum(np.minimum(before, centre), np.minimum(np.maximum(before, centre), after))
    return np.where(np.isnan(median), centre, median)


def shrunk_towards(
    r: npt.NDArray[np.float64], squares: npt.NDArray[np.float64]
) -> npt.NDArray[np.float64]:
    """The local means ``r`` moved towards the batch's mean of ``squares`` by what chance
    alone would make them differ from it (``LOCAL_THRESHOLD`` robust standard deviations of
    the local means).

    A local mean scatters around the global one even where nothing differs, and a weight
    that follows that scatter costs more than it gains: on smooth signals the unshrunk
    local weight lost up to 2 dB to the global one. Only the differences beyond the
    scatter (a step, a spike, a burst, or a quiet stretch) move k.
    """
    centre = float(np.mean(squares))
    # The scatter of the local means where nothing stands out, from their own median
    # absolute deviation, so that the steps and spikes to be found do not widen the
    # threshold that finds them, while noise with heavier tails than Gaussian widens it.
    means = r[np.isfinite(r)]
    scatter = MAD_TO_STD * float(np.median(np.abs(means - np.median(means)))) if means.size else 0.0
    threshold = LOCAL_THRESHOLD * scatter
    excess = r - centre
    shrunk: npt.NDArray[np.float64] = centre + np.sign(excess) * np.maximum(
        np.abs(excess) - threshold, 0.0
    )
    return shrunk


def combine(
    out: npt.NDArray[np.floating[Any]],
    samples: npt.NDArray[np.floating[Any]],
    k: float | npt.NDArray[np.float64],
) -> npt.NDArray[np.floating[Any]]:
    """f + k·(x − f); at missing samples (NaN in x) the output is kept as it is."""
    mixed = out + k * (samples - out)
    return np.where(np.isnan(samples), out, mixed).astype(out.dtype, copy=False)
