"""Choosing ``window_size`` (and ``stride``) from the noisy data alone."""

from __future__ import annotations

import math
import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, replace

from typing import Any

import numpy as np
import numpy.typing as npt

from .. import bridge, memory
from ..bridge import Method
from ..glitches import GlitchSearch, glitch_mask, glitch_positions, glitch_warning, search_glitches
from ..missing import as_float_matrix, interpolate_gaps
from .noise import NoiseEstimate, estimate_noise
from .progress import Progress, ProgressArg
from .protocols import (
    RawScore,
    effective_parameters,
    in_sample,
    leverage_noise_factor,
    make_masks,
    masked,
    training_rows,
)
from ..bridge import BLEND_DEFAULT
from .combination import COMBINATION_DEFAULT, checked_combination
from . import slower_rate
from .slower_rate import SlowerRate
from .result import ROUGH_SIGNAL, Candidate, Selection
from .scoring import cost_power, scored_subsample, scoring_solver

DEFAULT_WINDOWS = (4, 8, 16, 32, 64)
# The grid is extended past its widest window only while the estimators keep this many
# training rows per fitted parameter, and windows span at most this share of the series.
MIN_ROWS_PER_PARAMETER = 20
MAX_WINDOW_SHARE = 0.5
# A wider window is tried only while the last one lowered the estimate by more than its
# standard error and by more than this share (0.04 dB): a smaller fall is not worth the
# wider window's cost, which grows with the square of the window.
MIN_FALL = 0.01
# Past the default grid, the linear method's exact output grows about as training rows ×
# window³ (a least-squares solve of rows × window for each of window positions): on
# 100 × 1024 it took 1.8 s at window 32, 13 s at 64, 59 s at 96 and 127 s at 128, and hours
# at 512, where the search, which scores candidates through the Gram route, had spent two
# minutes. The grid is therefore extended, when the output will be the exact call, only to
# windows whose exact output is predicted to cost at most this many times the output at the
# widest default window.
MAX_EXACT_OUTPUT_GROWTH = 8.0
# Lag-1 correlation of the residuals beyond which the noise is unlikely to be white.
RESIDUAL_CORRELATION_LIMIT = 0.3
# The capped noise level counts as a correction (and earns a warning) below this share of the
# difference-based estimate.
NOISE_CAP_NOTICE = 0.8


@dataclass
class Scored:
    window_size: int
    stride: int
    score: RawScore
    seconds: float
    rows: int


def parse_protocol(protocol: str, method: str) -> tuple[str, int]:
    """("insample", 0) or ("masked", number of masks) for a protocol name."""
    if protocol == "auto":
        # Measured on the quality sets: the corrected in-sample loss chooses best for the
        # linear method at no extra cost; the tree's optimism is larger and less regular, and
        # one mask ranks its windows better.
        return ("insample", 0) if method == "linear" else ("masked", 1)
    if protocol == "insample":
        return "insample", 0
    if protocol == "masked":
        return "masked", 1
    if protocol.startswith("masked-") and protocol[7:].isdigit() and int(protocol[7:]) >= 1:
        return "masked", int(protocol[7:])
    raise ValueError(
        f"protocol must be 'auto', 'insample', 'masked' or 'masked-<n>', not {protocol!r}"
    )


def positive_ints(values: Iterable[int], name: str) -> list[int]:
    out = sorted({int(v) for v in values})
    if not out or out[0] < 1:
        raise ValueError(f"{name} must hold at least one integer, all at least 1")
    return out


def next_wider(window: int) -> int:
    """64 → 96 → 128 → 192 → 256: steps of 1.5 and 4/3 in turn."""
    return window * 3 // 2 if window & (window - 1) == 0 else window * 4 // 3


def residual_correlation(
    samples: npt.NDArray[np.floating[Any]], out: npt.NDArray[np.floating[Any]]
) -> float:
    """Lag-1 correlation of x − f over neighbouring pairs where both are known."""
    residual = samples.astype(np.float64) - out
    known = np.isfinite(residual)
    rows = known.any(axis=1)
    if not rows.any():
        return 0.0
    residual, known = residual[rows], known[rows]
    means = np.where(known, residual, 0.0).sum(axis=1) / known.sum(axis=1)
    centred = np.where(known, residual - means[:, None], 0.0)
    pairs = known[:, 1:] & known[:, :-1]
    power = float(np.sum(centred**2)) / int(known.sum())
    if not pairs.any() or power <= 0.0:
        return 0.0
    lagged = centred[:, 1:] * centred[:, :-1]
    return float(np.sum(lagged[pairs]) / int(pairs.sum()) / power)


class Search:
    """The state of one search; ``run`` fills ``scored`` and ``warnings``."""

    def __init__(
        self,
        samples: npt.NDArray[np.floating[Any]],
        method: str,
        protocol: str,
        seed: int,
        time_budget_s: float | None,
        progress: Progress,
        noise_std: float | None = None,
        stop_when_flat: bool = False,
        output_solver: str = "exact",
    ) -> None:
        self.samples = samples
        self.output_solver = output_solver
        self.method = method
        self.protocol, mask_count = parse_protocol(protocol, method)
        self.observed = ~np.isnan(samples)
        self.series = int(self.observed.any(axis=1).sum())
        self.length = samples.shape[1]
        self.filled = interpolate_gaps(samples)
        # The data's, not a candidate's: computed once for all candidates.
        self.pull_factor = (
            leverage_noise_factor(self.filled, self.observed) if method == "linear" else 1.0
        )
        self.masks: list[npt.NDArray[np.bool_]] = []
        if self.protocol == "masked":
            self.masks = make_masks(self.observed, mask_count, seed)
        self.started = time.perf_counter()
        self.budget = time_budget_s
        self.progress = progress
        self.scored: list[Scored] = []
        self.warnings: list[str] = []
        self.noise_std = noise_std
        self.stop_when_flat = stop_when_flat
        self.not_tried: list[int] = []  # windows of the grid left out once the curve was flat
        self.noise_estimate: NoiseEstimate | None = None

    def provisional_noise_var(self) -> float:
        """σ² as the search would judge the candidates scored so far."""
        if self.noise_std is not None:
            return float(self.noise_std) ** 2
        return combined_noise_variance(
            self.samples, (s.score for s in self.scored), self.difference_estimate()
        )[0]

    def difference_estimate(self) -> NoiseEstimate:
        """The noise estimate from differences of the searched samples, made once."""
        if self.noise_estimate is None:
            self.noise_estimate = estimate_noise(self.samples)
        return self.noise_estimate

    def stopped_falling(self, window: int) -> bool:
        """True when ``window`` did not lower the estimate below the narrower windows' best by
        more than the standard error of the difference and ``MIN_FALL``: wider windows cost
        more and are not expected to pay."""
        noise_var = self.provisional_noise_var()

        def loss(s: Scored) -> float:
            return s.score.loss(noise_var)

        now = [s for s in self.scored if s.window_size == window]
        before = [s for s in self.scored if s.window_size < window]
        if not now or not before:
            return False
        newest, best = min(now, key=loss), min(before, key=loss)
        worth = max(difference_error(self, newest, best), MIN_FALL * loss(best))
        return loss(best) - loss(newest) <= worth

    def predicted_seconds(self, window: int, stride: int) -> float:
        """Cost of a candidate from the widest one measured.

        One call fits a window's worth of estimators on the rows: a least-squares solve costs
        rows × window² per estimator, a tree about rows × window (its features).
        """
        if not self.scored:
            return 0.0
        ref = max(self.scored, key=lambda s: s.window_size)
        return ref.seconds * self.work(window, stride) / self.work(ref.window_size, ref.stride)

    def exact_output_growth(self, window: int, stride: int) -> float:
        """The predicted cost of the exact linear output at ``window`` over that at the widest
        default window (1 when the output will not be the exact linear call)."""
        if self.method != "linear" or self.output_solver != "exact":
            return 1.0
        widest = DEFAULT_WINDOWS[-1]
        rows = training_rows(self.series, self.length, window, stride)
        base = training_rows(self.series, self.length, widest, stride)
        return float(rows * window**3) / max(float(base * widest**3), 1.0)

    def work(self, window: int, stride: int) -> float:
        """The cost model, in units of one call at window 4, stride 1."""
        return cost_units(self.method, self.series, self.length, window, stride)

    def within_budget(self, window: int, stride: int) -> bool:
        if self.budget is None or not self.scored:
            return True
        elapsed = time.perf_counter() - self.started
        return elapsed + self.predicted_seconds(window, stride) <= self.budget

    def budget_note(self, window: int, stride: int) -> str:
        """Why the budget stops ``window``/``stride``: the time spent and the time predicted."""
        elapsed = time.perf_counter() - self.started
        return (
            f"after {elapsed:.1f} s of the time budget of {self.budget} s, window {window}"
            f" (stride {stride}) was predicted to take {self.predicted_seconds(window, stride):.1f} s"
            " more and run past it"
        )

    def evaluate(self, window: int, stride: int) -> Scored | None:
        """Scores one candidate, or notes in the warnings why it cannot be scored."""
        refused = memory.refusal(self.method, self.samples.shape[0], self.length, window, stride)
        if refused is not None:
            self.warnings.append(
                f"candidate window {window}, stride {stride} left out: it "
                f"does not fit in memory: {refused}"
            )
            self.progress.step(f"window {window} stride {stride}: left out (memory)")
            return None
        begin = time.perf_counter()
        try:
            solver = scoring_solver(self.method)
            if self.protocol == "insample":
                score = in_sample(
                    self.method,
                    self.filled,
                    self.observed,
                    window,
                    stride,
                    solver,
                    self.pull_factor,
                )
            else:
                score = masked(self.method, self.samples, self.masks, window, stride, solver)
        except ValueError as e:
            self.warnings.append(f"candidate window {window}, stride {stride} left out: {e}")
            self.progress.step(
                f"window {window} stride {stride}: left out", self.work(window, stride)
            )
            return None
        entry = Scored(
            window,
            stride,
            score,
            time.perf_counter() - begin,
            training_rows(self.series, self.length, window, stride),
        )
        self.scored.append(entry)
        self.progress.step(
            f"window {window} stride {stride}: {entry.seconds:.2f} s", self.work(window, stride)
        )
        return entry

    def run_grid(self, windows: Sequence[int], strides: Sequence[int]) -> None:
        candidates = [(w, s) for w in windows for s in strides if s <= w]
        skipped = [w for w in windows if w > self.length]
        if skipped:
            self.warnings.append(
                f"windows longer than the series ({self.length}) left out: "
                + ", ".join(map(str, skipped))
            )
        candidates = [(w, s) for w, s in candidates if w <= self.length]
        if not candidates:
            raise ValueError(
                f"no candidate fits series of length {self.length} (a window "
                "may not be longer than the series, nor a stride wider than "
                "its window)"
            )
        over_budget: list[str] = []
        note = ""
        previous = None
        for window, stride in sorted(candidates, key=lambda c: (c[0], -c[1])):
            if self.not_tried or (
                self.stop_when_flat
                and previous not in (None, window)
                and self.stopped_falling(previous)
            ):
                if window not in self.not_tried:
                    self.not_tried.append(window)
                self.progress.grow(-1, self.work(window, stride))
                continue
            previous = window
            if self.within_budget(window, stride):
                self.evaluate(window, stride)
            else:
                note = note or self.budget_note(window, stride)
                over_budget.append(f"{window}/{stride}")
        if over_budget:
            self.warnings.append(
                f"{note}; candidates (window/stride) not tried: {', '.join(over_budget)}"
            )
        if not self.scored:
            raise ValueError("no candidate could be scored: " + "; ".join(self.warnings))

    def extend(self, best: Scored, user_grid: bool) -> bool:
        """Tries one window past the edge the best candidate sits on; False when it cannot."""
        same_stride = sorted(s.window_size for s in self.scored if s.stride == best.stride)
        if len(same_stride) < 2:
            return False
        at_top = best.window_size == same_stride[-1]
        at_bottom = best.window_size == same_stride[0] and best.window_size > 2
        if not (at_top or at_bottom) or (at_top and self.not_tried):
            return False  # inside the grid, or at the window where the estimate levelled off
        edge = "widest" if at_top else "narrowest"
        if user_grid:
            self.warnings.append(
                f"the chosen window {best.window_size} is the {edge} of the "
                "grid given; the best window may lie beyond it"
            )
            return False
        window = next_wider(best.window_size) if at_top else max(2, best.window_size // 2)
        reason = None
        if window > MAX_WINDOW_SHARE * self.length:
            reason = f"the series ({self.length} samples) are too short"
        else:
            rows = training_rows(self.series, self.length, window, best.stride)
            if rows < MIN_ROWS_PER_PARAMETER * effective_parameters(self.method, window, rows):
                reason = f"the batch is too small ({rows} training rows)"
            elif not self.within_budget(window, best.stride):
                reason = self.budget_note(window, best.stride)
            elif (
                growth := self.exact_output_growth(window, best.stride)
            ) > MAX_EXACT_OUTPUT_GROWTH:
                reason = (
                    f"its exact output would take about {growth:.0f} times as long as at "
                    f"window {DEFAULT_WINDOWS[-1]}; give window_sizes to search it (and "
                    "solver='gram' for a fast output)"
                )
        if reason is not None:
            self.warnings.append(
                f"the chosen window {best.window_size} is the {edge} of the "
                f"grid; window {window} was not tried: {reason}"
            )
            return False
        self.progress.grow(1, self.work(window, best.stride))
        return self.evaluate(window, best.stride) is not None


def difference_error(search: Search, a: Scored, b: Scored) -> float:
    """Standard error of the difference of two candidates' estimates.

    Where both outputs are kept (in-sample), from the paired differences of their squared
    errors: the noise that both candidates' errors share cancels in them, so this is far
    smaller than either estimate's own standard error. Otherwise the larger of the two
    (cautious: the search then stops sooner)."""
    fa, fb = a.score.output, b.score.output
    if fa is None or fb is None:
        return max(a.score.raw_se, b.score.raw_se)
    x = search.samples.astype(np.float64)
    d = (fa - x) ** 2 - (fb - x) ** 2
    d = d[search.observed & np.isfinite(d)]
    return float(np.std(d) / math.sqrt(d.size)) if d.size > 1 else math.inf


def cost_units(method: str, series: int, length: int, window: int, stride: int) -> float:
    """Predicted cost of one candidate in units of a window-4, stride-1 call: rows × window²
    (see :func:`.scoring.cost_power`)."""
    power = cost_power(method)
    rows = training_rows(series, length, window, stride)
    unit = max(training_rows(series, length, min(4, length), 1), 1) * min(4, length) ** power
    return float(rows * window**power / unit)


def combined_noise_variance(
    samples: npt.NDArray[np.floating[Any]],
    scores: Iterable[RawScore],
    estimate: NoiseEstimate | None = None,
) -> tuple[float, str | None]:
    """σ² from differences (``estimate``, made here when None), capped by what the
    candidates' errors allow; and a warning."""
    if estimate is None:
        estimate = estimate_noise(samples)
    cap = min((score.noise_cap() for score in scores), default=math.inf)
    variance = min(estimate.variance, cap)
    if estimate.rough or variance < NOISE_CAP_NOTICE * estimate.variance:
        return variance, (
            f"{ROUGH_SIGNAL}, which inflates the estimated noise level; give noise_std if it is known (the blend weight and the gain are "
            "unreliable without it)"
        )
    return variance, None


def noise_variance(search: Search, noise_std: float | None) -> tuple[float, bool]:
    """(σ², whether it was given)."""
    if noise_std is not None:
        return float(noise_std) ** 2, True
    variance, warning = combined_noise_variance(
        search.samples, (s.score for s in search.scored), search.difference_estimate()
    )
    if warning is not None:
        search.warnings.append(warning)
    return variance, False


def flattened(previous: Scored, best: Scored, noise_var: float) -> bool:
    """True when the last extension gained less than its own uncertainty (or 1 %): the loss
    curve has levelled off, and the next, costlier window is not worth its time."""
    gain = previous.score.loss(noise_var) - best.score.loss(noise_var)
    return gain < max(best.score.raw_se, MIN_FALL * previous.score.loss(noise_var))


def best_of(search: Search, noise_var: float) -> Scored:
    return min(search.scored, key=lambda s: s.score.loss(noise_var))


def select(
    samples: npt.ArrayLike,
    method: Method = "linear",
    window_sizes: Sequence[int] | None = None,
    strides: Sequence[int] = (1,),
    *,
    protocol: str = "auto",
    noise_std: float | None = None,
    seed: int = 0,
    time_budget_s: float | None = None,
    progress: ProgressArg = None,
    glitches: bool = True,
) -> Selection:
    """Choose ``window_size`` (and ``stride``) for ``method`` without the clean signal.

    ``samples`` is a 2-D batch (series × time, NaN = missing); ``method`` is ``"linear"`` or
    ``"tree"``; the candidates are every window of ``window_sizes`` with every stride of
    ``strides`` (a stride wider than its window is left out). ``seed`` fixes the random masks
    of the masked protocol. Returns a :class:`Selection`.

    Every candidate's mean squared error against the unseen clean signal is estimated from
    the noisy data (NaN = missing: gaps are filled by interpolation and only observed samples
    are scored), and the lowest wins. Protocols: ``"insample"`` (the output's own error,
    corrected for the fit's optimism 2σ²p/N: no cost beyond the candidate calls),
    ``"masked"`` or ``"masked-<n>"`` (one or n masks of hidden samples: one more call per
    candidate and mask), ``"auto"`` (in-sample for ``"linear"``, one mask for ``"tree"``).

    ``window_sizes=None`` searches 4, 8, 16, 32 and 64 and extends the grid (96, 128, … or
    down to 2) while the best window sits at its edge, the series are long enough, the
    batch has enough rows and, for the linear method, the exact output at the wider window
    is predicted to take at most 8 times as long as at window 64 (with
    ``auto_denoise(..., solver="gram")`` that bound is lifted: the Gram route's output grows
    far more slowly); a grid given by the caller is only warned about. ``noise_std``
    is the noise's standard deviation when known; otherwise it is estimated from differences
    of neighbouring samples, which a signal rough at the sample scale inflates (warned).
    ``time_budget_s`` skips candidates predicted to end past the budget (the narrowest always
    runs). ``progress=True`` shows a bar (tqdm if installed, else lines on stderr); a callable
    is called with (done, total, message).

    The tree's candidates are scored on at most 16 series evenly spaced over the batch
    (:func:`.scoring.scoring_rows`): a tree call costs far more than a linear candidate
    through the Gram route, and the window that suits 16 series suits the batch; the table's
    times and training rows are then those of the subsample.

    ``glitches=True`` first looks for gross outliers, single samples far beyond the spread
    of their series, which would pull the fit shared by all series, and for impulsive
    noise, many samples each alone far off the line through its neighbours, which a blend
    with the observation would keep (:mod:`tacitor_tools.glitches`); they are treated as
    missing values, listed in ``selection.glitches`` and reported in a warning.
    ``glitches=False`` uses every sample as it is.
    """
    return search_and_output(
        samples,
        method,
        window_sizes,
        strides,
        protocol,
        noise_std,
        seed,
        time_budget_s,
        progress,
        glitches,
    )[0]


def search_and_output(
    samples: npt.ArrayLike,
    method: str,
    window_sizes: Sequence[int] | None,
    strides: Sequence[int],
    protocol: str,
    noise_std: float | None,
    seed: int,
    time_budget_s: float | None,
    progress: ProgressArg,
    glitches: bool = True,
    output_solver: str = "exact",
) -> tuple[Selection, npt.NDArray[np.float32] | None]:
    """The search behind :func:`select`; also the chosen output when it was computed.
    ``output_solver`` is the route the output will be computed by (it bounds the grid's
    extension, see :data:`MAX_EXACT_OUTPUT_GROWTH`)."""
    bridge.checked_method(method)
    if noise_std is not None and not (math.isfinite(noise_std) and noise_std >= 0):
        raise ValueError(f"noise_std must be a finite number ≥ 0, not {noise_std}")
    array = as_float_matrix(samples)
    if not (~np.isnan(array)).any():
        raise ValueError("samples holds no observed value (all NaN or empty): nothing to select on")
    found: tuple[tuple[int, int], ...] = ()
    impulsive = False
    if glitches:
        searched = search_glitches(array)
        impulsive = searched.impulsive
        if searched.mask.any():
            array = array.copy()
            array[searched.mask] = np.nan
            found = glitch_positions(searched.mask)
    windows = positive_ints(
        DEFAULT_WINDOWS if window_sizes is None else window_sizes, "window_sizes"
    )
    stride_list = positive_ints(strides, "strides")
    batch, array = array, scored_subsample(method, array)
    series = int((~np.isnan(array)).any(axis=1).sum())
    work = sum(
        cost_units(method, series, array.shape[1], w, s)
        for w in windows
        for s in stride_list
        if s <= w <= array.shape[1]
    )
    bar = Progress(progress, len(windows) * len(stride_list), work)
    try:
        search = Search(
            array,
            method,
            protocol,
            seed,
            time_budget_s,
            bar,
            noise_std,
            stop_when_flat=window_sizes is None,
            output_solver=output_solver,
        )
        if found:
            search.warnings.append(glitch_warning(found))
        search.run_grid(windows, stride_list)
        if len(search.scored) == 1:
            search.warnings.append("only one candidate was scored: nothing was compared")
        noise_var, given = noise_variance(search, noise_std)
        best = best_of(search, noise_var)
        while search.extend(best, window_sizes is not None):
            noise_var, given = noise_variance(search, noise_std) if not given else (noise_var, True)
            previous, best = best, best_of(search, noise_var)
            if best is previous or flattened(previous, best, noise_var):
                break
    finally:
        bar.close()
    # Warnings about the noise estimate were added once per estimate; keep one of each.
    search.warnings[:] = list(dict.fromkeys(search.warnings))
    selection, output = finish(search, best, noise_var, given)
    if array is not batch:
        output = None  # the subsample's, not the batch's
    if window_sizes is None:
        route = slower_route(search, selection, seed)
        if route is not None:
            selection, output = selection.at_slower_rate(route), None
    return replace(
        selection, glitches=found, glitch_detection=glitches, impulsive=impulsive
    ), output


def slower_route(search: Search, selection: Selection, seed: int) -> SlowerRate | None:
    """The slower-rate route when the chosen window has too few rows to be fitted well and
    the route beats it on held-out samples (see :mod:`.slower_rate`)."""
    chosen = next(
        c
        for c in selection.table
        if (c.window_size, c.stride) == (selection.window_size, selection.stride)
    )
    if not slower_rate.worth_trying(search.method, chosen.window_size, chosen.stride, chosen.rows):
        return None
    return slower_rate.compared(
        search.samples, search.observed, chosen.window_size, search.method, seed
    )


def finish(
    search: Search, best: Scored, noise_var: float, given: bool
) -> tuple[Selection, npt.NDArray[np.float32] | None]:
    if best.score.output is not None:
        rho = residual_correlation(search.samples, best.score.output)
        if abs(rho) > RESIDUAL_CORRELATION_LIMIT:
            search.warnings.append(
                f"the residuals are correlated in time (lag-1 correlation {rho:.2f}): either "
                "the noise is not white, and then every estimate here is biased (the "
                "neighbours predict the noise too), or the signal has structure that the "
                "method does not capture"
            )
    table = tuple(
        Candidate(
            s.window_size,
            s.stride,
            s.score.loss(noise_var),
            s.score.raw_se,
            s.seconds,
            s.score.raw,
            s.score.optimism,
            s.rows,
        )
        for s in sorted(search.scored, key=lambda s: (s.window_size, s.stride))
    )
    noise_var_se = 0.0 if given else noise_var * search.difference_estimate().relative_error
    selection = Selection.build(
        search.method, search.protocol, table, noise_var, given, search.warnings, noise_var_se
    )
    # The output on the real data, when the protocol made it and no gap needs refining.
    reusable = (
        search.protocol == "insample"
        and scoring_solver(search.method) == "exact"
        and bool(search.observed.all())
        and (selection.window_size, selection.stride) == (best.window_size, best.stride)
    )
    return selection, best.score.output if reusable else None


def auto_denoise(
    samples: npt.ArrayLike,
    method: Method = "linear",
    window_sizes: Sequence[int] | None = None,
    strides: Sequence[int] = (1,),
    *,
    protocol: str = "auto",
    noise_std: float | None = None,
    seed: int = 0,
    time_budget_s: float | None = None,
    progress: ProgressArg = None,
    blend: bool = BLEND_DEFAULT,
    glitches: bool = True,
    solver: str = "exact",
    combination: str = COMBINATION_DEFAULT,
) -> tuple[npt.NDArray[np.floating[Any]], Selection]:
    """:func:`select`, then the denoised batch with the chosen settings: (output, selection).

    ``samples``, ``method``, ``window_sizes``, ``strides``, ``protocol``, ``noise_std``,
    ``seed``, ``time_budget_s``, ``progress`` and ``glitches`` are those of :func:`select`;
    the glitches found come out predicted from their neighbours.

    The output has the input's shape; computed in float32, it comes back float32 for
    float32 input and float64 for any other real type.
    By default (``blend=True``) it is ``f + k·(x − f)``: the prediction f from each sample's
    neighbours combined with the observation x itself, k from the estimated errors
    (``combination="local"``: per series and stretch of time, from the residuals;
    ``"global"``: ``selection.blend_weight`` everywhere); ``blend=False`` gives the pure
    prediction f. With
    ``noise_std`` given, the blend is not worse than the input; with the noise level
    estimated it helps on average, but a signal rough at the sample scale inflates the
    estimate, and then the blend may keep too little of the input's detail (warned, as is a
    k that the batch determines only loosely).

    ``solver="gram"`` (linear method only) computes the output at the chosen window through
    the Gram route instead of tacitor's exact call (see :data:`tacitor_tools.bridge.Solver`);
    the search scores its linear candidates through it either way.
    """
    bridge.checked_solver(solver, method)
    checked_combination(combination)
    original = np.asarray(samples)
    array = as_float_matrix(original)
    selection, cached = search_and_output(
        array,
        method,
        window_sizes,
        strides,
        protocol,
        noise_std,
        seed,
        time_budget_s,
        progress,
        glitches,
        solver,
    )
    if cached is None:
        # The search found the glitches of these very samples: no need to look again.
        found = (
            GlitchSearch(glitch_mask(array.shape, selection.glitches), selection.impulsive)
            if glitches
            else None
        )
        out_found = selection.denoise_found(original, array, found, blend, combination, solver)
        return out_found, selection
    out: npt.NDArray[np.floating[Any]] = cached.astype(
        bridge.result_dtype(original.dtype), copy=False
    )
    if blend:
        out = selection.combined(out, array, combination)
    return out, selection


def held_out_loss(
    samples: npt.ArrayLike,
    window_size: int,
    stride: int = 1,
    *,
    method: Method = "linear",
    protocol: str = "auto",
    noise_std: float | None = None,
    seed: int = 0,
) -> float:
    """Estimated mean squared error of the denoised output against the unseen clean signal.

    ``samples`` (series × time, NaN = missing) denoised with ``method``, ``window_size`` and
    ``stride``; ``protocol``, ``noise_std`` and ``seed`` are those of :func:`select`.

    The estimate :func:`select` makes for the one candidate (``window_size``, ``stride``).
    """
    selection = select(
        samples,
        method,
        (window_size,),
        (stride,),
        protocol=protocol,
        noise_std=noise_std,
        seed=seed,
    )
    return selection.loss
