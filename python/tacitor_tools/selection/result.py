"""The outcome of a search: the chosen settings, the table behind them, and how to use them."""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from .. import bridge
from ..bridge import BLEND_DEFAULT
from ..glitches import GlitchSearch, search_glitches
from ..missing import as_float_matrix, denoise
from .combination import (
    COMBINATION_DEFAULT,
    checked_combination,
    combine,
    local_weights,
    weight_from_loss,
)
from . import slower_rate
from .slower_rate import SlowerRate
from .protocols import effective_parameters, estimated_loss

if TYPE_CHECKING:
    from matplotlib.axes import Axes


@dataclass(frozen=True)
class Candidate:
    """One row of the search table of a :class:`Selection`: a ``window_size`` and
    ``stride`` tried.

    ``loss`` is the estimated mean squared error against the clean signal, ``raw`` and
    ``optimism`` the parts it is computed from, ``std_error`` its standard error where the
    protocol gives one, ``seconds`` the time the candidate took and ``rows`` the training
    rows of each estimator.
    """

    window_size: int
    stride: int
    loss: float  # estimated mean squared error against the clean signal
    std_error: float | None  # standard error of ``loss`` where the protocol gives one
    seconds: float  # time the candidate took, native calls included
    raw: float  # mean squared difference to the noisy data over scored samples
    optimism: float  # loss = raw + σ²·(optimism − 1)
    rows: int  # training rows of every estimator


@dataclass(frozen=True)
class Selection:
    """Settings chosen without the clean signal, and the estimates they were chosen by.

    ``method``, ``window_size`` and ``stride`` are the choice; ``protocol`` the estimate it
    was made with; ``table`` holds one :class:`Candidate` per window and stride tried;
    ``noise_std`` is the noise level used (``noise_given``: given by the caller rather than
    estimated); ``noise_var_se`` the standard error of its square when it was estimated (0
    when given); ``warnings`` names what limits the estimates.

    ``glitches`` lists the (series, position) of the gross outliers and impulses found in
    the searched batch and treated as missing values (``glitch_detection``: whether they
    are looked for, in the searched batch and in every batch :meth:`denoise` is given;
    ``impulsive``: whether impulses were among them, which the local blend weight allows
    for).

    ``slower_rate`` is set when the batch had too few training rows for the chosen window and
    the learnt filter predicted better, on held-out samples, at half, a quarter or an eighth
    of the sampling rate (:mod:`.slower_rate`): :meth:`denoise` then denoises the means of
    ``slower_rate.factor`` neighbouring samples with ``slower_rate.window_size`` (counted in
    those means) and reads every sample off the line between their outputs. ``window_size``
    stays the best full-rate window (the one a trained denoiser is fitted with).

    ``gain_db`` is 10·log10(σ² / loss) of the chosen candidate (of the slower-rate route when
    it is set): the estimated improvement over leaving the data as they are.
    ``blend_weight`` is the k of ``f + k·(x − f)`` that ``denoise(x, blend=True)`` uses.
    """

    method: str
    window_size: int
    stride: int
    protocol: str
    table: tuple[Candidate, ...]
    noise_std: float
    noise_given: bool
    gain_db: float
    blend_weight: float
    warnings: list[str] = field(default_factory=list)
    glitches: tuple[tuple[int, int], ...] = ()
    glitch_detection: bool = False
    impulsive: bool = False
    slower_rate: SlowerRate | None = None
    noise_var_se: float = 0.0

    @classmethod
    def build(
        cls,
        method: str,
        protocol: str,
        table: tuple[Candidate, ...],
        noise_var: float,
        noise_given: bool,
        warnings: list[str],
        noise_var_se: float = 0.0,
    ) -> Selection:
        """The selection for the noise variance given: losses, choice, gain, blend weight.
        ``noise_var_se`` is the standard error of an estimated ``noise_var``."""
        table = tuple(replace(c, loss=estimated_loss(c.raw, c.optimism, noise_var)) for c in table)
        best = min(table, key=lambda c: c.loss)
        gain = gain_db(noise_var, best.loss)
        warnings = [w for w in warnings if not w.startswith(NOTHING_BEATS_INPUT)]
        if best.loss >= noise_var:
            warnings.append(
                f"{NOTHING_BEATS_INPUT} (estimated gain {gain:.1f} dB); "
                "blend=True returns close to the input"
            )
        covariance = fit_covariance(method, best, noise_var)
        se = best.std_error or 0.0
        k = blend_weight(best.loss, se, noise_var, covariance, noise_given, noise_var_se)
        warnings = [w for w in warnings if not w.startswith(UNCERTAIN_BLEND)]
        # The loss is uncertain by its own held-out scatter and by that of σ² it is net of.
        spread = math.hypot(se, noise_var_se)
        if math.isfinite(spread) and spread > 0.0:
            low = blend_weight(
                max(best.loss - 2.0 * spread, 0.0), 0.0, noise_var, covariance, False
            )
            high = blend_weight(best.loss + 2.0 * spread, 0.0, noise_var, covariance, False)
            if high - low > UNCERTAIN_BLEND_SPREAD:
                warnings.append(
                    f"{UNCERTAIN_BLEND} ({k:.2f}; between {low:.2f} and {high:.2f} "
                    "within two standard errors of the estimated loss): more "
                    "series or a known noise_std make it firmer"
                )
        return cls(
            method,
            best.window_size,
            best.stride,
            protocol,
            table,
            math.sqrt(noise_var),
            noise_given,
            gain,
            k,
            warnings,
            noise_var_se=noise_var_se,
        )

    def with_noise_std(self, noise_std: float) -> Selection:
        """The same search re-judged with a known noise level, without any native call.

        The choice may change; the denoised output must then be recomputed
        (:meth:`denoise`).
        """
        if not (math.isfinite(noise_std) and noise_std >= 0):
            raise ValueError(f"noise_std must be a finite number ≥ 0, not {noise_std}")
        kept = [w for w in self.warnings if not w.startswith(ROUGH_SIGNAL)]
        rejudged = Selection.build(
            self.method, self.protocol, self.table, float(noise_std) ** 2, True, kept
        )
        rejudged = replace(rejudged, **self.glitch_fields())
        return rejudged if self.slower_rate is None else rejudged.at_slower_rate(self.slower_rate)

    def at_full_rate(self) -> Selection:
        """The same selection without the slower-rate route: the full-rate window's own
        gain and blend weight (what a denoiser trained at :attr:`window_size` needs)."""
        if self.slower_rate is None:
            return self
        rebuilt = Selection.build(
            self.method,
            self.protocol,
            self.table,
            self.noise_std**2,
            self.noise_given,
            self.warnings,
            self.noise_var_se,
        )
        return replace(rebuilt, **self.glitch_fields())

    def glitch_fields(self) -> dict[str, Any]:
        """What the glitch search found, to be carried into a re-judged selection."""
        return {
            "glitches": self.glitches,
            "glitch_detection": self.glitch_detection,
            "impulsive": self.impulsive,
        }

    def at_slower_rate(self, route: SlowerRate) -> Selection:
        """The same selection with the slower-rate route kept: its loss sets the gain and the
        blend weight."""
        noise_var = self.noise_std**2
        loss = route.loss(noise_var)
        weight = blend_weight(
            loss,
            route.std_error,
            noise_var,
            route.fit_covariance(noise_var),
            self.noise_given,
            self.noise_var_se,
        )
        return replace(
            self, slower_rate=route, gain_db=gain_db(noise_var, loss), blend_weight=weight
        )

    @property
    def loss(self) -> float:
        """The estimated mean squared error of the chosen candidate (of the slower-rate route
        when it is kept)."""
        if self.slower_rate is not None:
            return self.slower_rate.loss(self.noise_std**2)
        return next(
            c.loss
            for c in self.table
            if (c.window_size, c.stride) == (self.window_size, self.stride)
        )

    @property
    def fit_covariance(self) -> float:
        """mean((f − clean)·noise) of the chosen candidate (or of the slower-rate route): its
        output's pull towards the noise."""
        if self.slower_rate is not None:
            return self.slower_rate.fit_covariance(self.noise_std**2)
        chosen = next(
            c for c in self.table if (c.window_size, c.stride) == (self.window_size, self.stride)
        )
        return fit_covariance(self.method, chosen, self.noise_std**2)

    def combined(
        self,
        out: npt.NDArray[np.floating[Any]],
        samples: npt.NDArray[np.floating[Any]],
        combination: str = COMBINATION_DEFAULT,
        impulsive: bool | None = None,
    ) -> npt.NDArray[np.floating[Any]]:
        """f + k·(x − f) for the prediction ``out`` of ``samples`` (NaN = missing): k is
        :attr:`blend_weight` everywhere (``"global"``) or estimated per series and stretch of
        time from the residuals (``"local"``, see :mod:`.combination`). ``impulsive``:
        whether ``samples`` were found to have impulsive noise (None: as the searched batch
        was)."""
        if checked_combination(combination) == "global":
            return combine(out, samples, self.blend_weight)
        k = local_weights(
            out,
            samples,
            self.noise_std**2,
            self.fit_covariance,
            self.blend_weight,
            self.noise_var_se,
            impulsive=self.impulsive if impulsive is None else impulsive,
        )
        return combine(out, samples, k)

    def denoise(
        self,
        x: npt.ArrayLike,
        *,
        blend: bool = BLEND_DEFAULT,
        combination: str = COMBINATION_DEFAULT,
        solver: str = "exact",
    ) -> npt.NDArray[np.floating[Any]]:
        """Denoise ``x`` (NaN = missing) with the chosen method, window and stride.

        By default (``blend=True``) the output is moved back towards the input:
        ``f + k·(x − f)``, with k estimated per series and stretch of time from the residuals
        and the searched data's noise level (``combination="local"``), or the one blend
        weight of the searched data everywhere (``combination="global"``); ``blend=False``
        gives the pure prediction f, the native call's output. When the selection looked for gross
        outliers, those of ``x`` are treated as missing values: their output is predicted
        from their neighbours and the observation is not blended in. ``solver="gram"`` (linear
        method only) computes the prediction through the Gram route. With :attr:`slower_rate`
        set, the prediction is the slower-rate route's.
        """
        checked_combination(combination)
        original = np.asarray(x)
        samples = as_float_matrix(original, "x")
        found = search_glitches(samples) if self.glitch_detection else None
        return self.denoise_found(original, samples, found, blend, combination, solver)

    def denoise_found(
        self,
        original: npt.NDArray[Any],
        samples: npt.NDArray[np.floating[Any]],
        glitches: GlitchSearch | None,
        blend: bool,
        combination: str,
        solver: str,
    ) -> npt.NDArray[np.floating[Any]]:
        """:meth:`denoise` of ``original`` (read as the float matrix ``samples``) with its
        glitches already found (None: not looked for), as the search finds them for
        :func:`.search.auto_denoise`."""
        if glitches is not None and glitches.mask.any():
            samples = samples.copy()
            samples[glitches.mask] = np.nan
        out = self.prediction(samples, solver)
        out = out.astype(bridge.result_dtype(original.dtype), copy=False)
        if not blend:
            return out
        impulsive = glitches is not None and glitches.impulsive
        return self.combined(out, samples, combination, impulsive)

    def prediction(
        self, samples: npt.NDArray[np.floating[Any]], solver: str = "exact"
    ) -> npt.NDArray[np.float32]:
        """The pure prediction f for ``samples`` (float matrix, NaN = missing, imputed): the
        slower-rate route's when it is kept, else the chosen window's call, which on
        gap-free samples is exactly tacitor's."""
        method = bridge.checked_method(self.method)
        route = bridge.checked_solver(solver, method)
        if self.slower_rate is not None:
            rate = self.slower_rate
            return slower_rate.prediction(samples, rate.factor, rate.window_size, method, route)
        out = denoise(samples, self.window_size, self.stride, method=method, solver=route)
        return out.astype(np.float32, copy=False)

    def plot(self, ax: Axes | None = None) -> Axes:
        """Draw the estimated loss against the window (one line per stride), in dB of gain."""
        try:
            import matplotlib.pyplot as plt
        except ImportError:
            raise ImportError("Selection.plot needs matplotlib: pip install matplotlib") from None
        if ax is None:
            _, ax = plt.subplots(figsize=(6, 3.5))
        noise_var = self.noise_std**2
        for stride in sorted({c.stride for c in self.table}):
            rows = sorted(
                (c for c in self.table if c.stride == stride), key=lambda c: c.window_size
            )
            windows = [c.window_size for c in rows]
            gains = [gain_db(noise_var, c.loss) for c in rows]
            line: Any = ax.plot(windows, gains, marker="o", label=f"stride {stride}")
            errors = [c.std_error for c in rows]
            if all(e is not None and math.isfinite(e) for e in errors):
                low = [gain_db(noise_var, c.loss + 2 * (c.std_error or 0.0)) for c in rows]
                high = [
                    gain_db(noise_var, max(c.loss - 2 * (c.std_error or 0.0), 0.0)) for c in rows
                ]
                ax.fill_between(windows, low, high, alpha=0.2, color=line[0].get_color())
        ax.axhline(0.0, color="0.5", lw=0.8, ls="--")
        ax.plot(
            [self.window_size],
            [self.gain_db],
            marker="*",
            ms=14,
            color="k",
            ls="none",
            label=f"chosen: window {self.window_size}, stride {self.stride}",
        )
        ax.set_xscale("log", base=2)
        windows_tried = sorted({c.window_size for c in self.table})
        ax.set_xticks(windows_tried, [str(w) for w in windows_tried])
        ax.minorticks_off()
        ax.set_xlabel("window_size")
        ax.set_ylabel("estimated gain (dB)")
        source = "given" if self.noise_given else "estimated"
        ax.set_title(
            f"{self.method}, {self.protocol} estimate; noise σ {self.noise_std:.3g} ({source})",
            fontsize=9,
        )
        ax.legend(fontsize=8)
        return ax


NOTHING_BEATS_INPUT = "no candidate beats leaving the data as they are"
ROUGH_SIGNAL = "the signal is rough at the scale of one sample"
UNCERTAIN_BLEND = "the blend weight k is uncertain"
# Spread of k over the loss's ±2 standard errors beyond which the weight is reported as
# uncertain: past it, the blend may keep noticeably more or less of the input than it should.
UNCERTAIN_BLEND_SPREAD = 0.2

# Gains beyond this are beyond what the loss estimates can resolve; it also keeps a loss
# estimate at or below zero from giving an infinite gain.
MAX_GAIN_DB = 40.0


def gain_db(noise_var: float, loss: float) -> float:
    if noise_var <= 0.0:
        return 0.0
    if loss <= noise_var * 10 ** (-MAX_GAIN_DB / 10):
        return MAX_GAIN_DB
    return 10.0 * math.log10(noise_var / loss)


def blend_weight(
    loss: float,
    loss_se: float,
    noise_var: float,
    fit_covariance: float,
    cautious: bool,
    noise_var_se: float = 0.0,
) -> float:
    """The k that minimises the error of f + k·(x − f).

    With e the noise and m the output's mean squared error, that error is
    (1−k)²·m + k²·σ² + 2k(1−k)·c, c = mean((f − clean)·e) being the fit's pull towards the
    noise, so k = (m − c) / (m + σ² − 2c). ``cautious`` (the noise level was given, so that
    only m is uncertain) takes m two standard errors high: the blend then never moves far
    from the input when the output might be worse than it. With the noise level estimated,
    m is as uncertain as σ² (``noise_var_se``), and a k within that uncertainty of 0 is
    shrunk (:func:`.combination.weight_from_loss`).
    """
    m = max(loss + (2.0 * loss_se if cautious and math.isfinite(loss_se) else 0.0), 0.0)
    return float(weight_from_loss(m, noise_var, fit_covariance, noise_var_se))


def fit_covariance(method: str, candidate: Candidate, noise_var: float) -> float:
    """σ²·p/N: the in-sample pull of a candidate's output towards the noise."""
    parameters = effective_parameters(method, candidate.window_size, candidate.rows)
    return noise_var * parameters / candidate.rows


def blend_output(
    out: npt.NDArray[np.floating[Any]], samples: npt.NDArray[np.floating[Any]], k: float
) -> npt.NDArray[np.floating[Any]]:
    """f + k·(x − f) with one k; at missing samples (NaN in x) the output is kept."""
    return combine(out, samples, k)
