"""Denoising quality of tacitor against classical filters, on signals with a known clean truth.

For every signal type, noise type and noise level a set of series is generated; every method
runs over a small grid of its parameters, and the parameter with the lowest RMSE against the
clean truth is kept (every method gets the same oracle choice). A second table keeps, for each
method, the one setting that is best on average over all sets, as a user without the truth
would have to fix it.

    python bench/quality.py            # writes bench/QUALITY.md, bench/quality.json, figures
    python bench/quality.py --quick    # a small smoke run into a temporary directory
"""

from __future__ import annotations

import argparse
import json
import math
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np
import pywt
import scipy
from scipy import ndimage, signal

import tacitor

HERE = Path(__file__).resolve().parent

SIGNALS = ("sines", "chirp", "steps", "ar2", "spikes")
NOISES = ("gaussian", "laplace", "outliers")
SNRS_DB = (0, 10, 20)

# ----------------------------------------------------------------------------- signals


def clean_signals(kind: str, series: int, length: int, rng: np.random.Generator) -> np.ndarray:
    t = np.arange(length, dtype=np.float64)
    if kind == "sines":
        freqs = rng.uniform(0.002, 0.04, size=(series, 3, 1))
        amps = rng.uniform(0.3, 1.0, size=(series, 3, 1))
        phases = rng.uniform(0, 2 * np.pi, size=(series, 3, 1))
        return (amps * np.sin(2 * np.pi * freqs * t + phases)).sum(axis=1)
    if kind == "chirp":
        out = np.empty((series, length))
        for s in range(series):
            f0, f1 = rng.uniform(0.001, 0.005), rng.uniform(0.04, 0.1)
            out[s] = signal.chirp(t, f0=f0, t1=length, f1=f1, phi=rng.uniform(0, 360))
        return out
    if kind == "steps":
        out = np.empty((series, length))
        for s in range(series):
            cuts = np.sort(rng.choice(np.arange(16, length - 16), size=9, replace=False))
            levels = rng.uniform(-1.5, 1.5, size=10)
            out[s] = levels[np.searchsorted(cuts, t, side="right")]
        return out
    if kind == "ar2":
        # A narrow-band random process: poles at radius 0.98 and a random angle.
        out = np.zeros((series, length + 200))
        angle = rng.uniform(0.02, 0.08, size=series) * np.pi
        a1, a2 = 2 * 0.98 * np.cos(angle), -(0.98**2)
        drive = rng.standard_normal((series, length + 200))
        for k in range(2, length + 200):
            out[:, k] = a1 * out[:, k - 1] + a2 * out[:, k - 2] + drive[:, k]
        out = out[:, 200:]
        return out / out.std(axis=1, keepdims=True)
    if kind == "spikes":
        # A slow baseline with a few sharp pulses two to three samples wide.
        base = 0.3 * np.sin(2 * np.pi * rng.uniform(0.001, 0.004, size=(series, 1)) * t)
        out = base.copy()
        for s in range(series):
            for centre in rng.choice(np.arange(10, length - 10), size=12, replace=False):
                height = rng.uniform(1.0, 3.0) * rng.choice((-1, 1))
                out[s] += height * np.exp(-0.5 * ((t - centre) / rng.uniform(0.7, 1.5)) ** 2)
        return out
    if kind == "ecg":
        return ecg_like(series, length, rng)
    if kind == "quantised":
        # A slowly drifting quantity (a temperature, a level) read by a sensor whose
        # converter rounds to a step about the size of the noise (see make_set).
        freqs = rng.uniform(0.0005, 0.006, size=(series, 2, 1))
        phases = rng.uniform(0, 2 * np.pi, size=(series, 2, 1))
        trend = rng.uniform(-1.0, 1.0, size=(series, 1)) * t / length
        return (np.sin(2 * np.pi * freqs * t + phases)).sum(axis=1) + trend
    if kind == "bursts":
        # A quiet baseline with a few oscillation bursts (wave packets of 0.05 to 0.2
        # cycles per sample, 15 to 40 samples wide), as in vibration or neural recordings.
        out = 0.2 * np.sin(2 * np.pi * rng.uniform(0.001, 0.004, size=(series, 1)) * t)
        for s in range(series):
            for centre in rng.choice(np.arange(40, length - 40), size=4, replace=False):
                width, freq = rng.uniform(15, 40), rng.uniform(0.05, 0.2)
                envelope = rng.uniform(1.0, 2.0) * np.exp(-0.5 * ((t - centre) / width) ** 2)
                out[s] += envelope * np.sin(2 * np.pi * freq * (t - centre))
        return out
    raise ValueError(kind)


def ecg_like(series: int, length: int, rng: np.random.Generator) -> np.ndarray:
    """Heartbeats: a small P wave, a sharp QRS complex (R about a sample and a half wide,
    five to ten times the spread of the record) and a broad T wave, at a varying rate."""
    t = np.arange(length, dtype=np.float64)
    out = np.zeros((series, length))
    for s in range(series):
        period = rng.uniform(60, 110)
        beat = rng.uniform(0, period)
        while beat < length + 40:
            for offset, height, width in (
                (-25, 0.15, 4.0),
                (-3, -0.15, 1.0),
                (0, rng.uniform(0.9, 1.3), rng.uniform(1.0, 1.6)),
                (3, -0.25, 1.0),
                (30, 0.3, 7.0),
            ):
                out[s] += height * np.exp(-0.5 * ((t - beat - offset) / width) ** 2)
            beat += period * rng.uniform(0.95, 1.05)
    return out


def noise(kind: str, shape: tuple[int, int], rng: np.random.Generator) -> np.ndarray:
    """Unit-variance noise of the given kind."""
    if kind == "gaussian":
        return rng.standard_normal(shape)
    if kind == "laplace":
        return rng.laplace(scale=1 / math.sqrt(2), size=shape)
    if kind == "outliers":
        # Gaussian background plus 1 % impulses of 12 times its size.
        base = rng.standard_normal(shape)
        hits = rng.random(shape) < 0.01
        base[hits] += 12 * rng.choice((-1.0, 1.0), size=hits.sum())
        return base / base.std()
    raise ValueError(kind)


@dataclass
class DataSet:
    signal: str
    noise: str
    snr_db: int
    clean: np.ndarray  # float64 (series, length)
    noisy: np.ndarray  # float32 (series, length)


def make_set(sig: str, noi: str, snr_db: int, series: int, length: int, seed: int) -> DataSet:
    rng = np.random.default_rng(seed)
    clean = clean_signals(sig, series, length, rng)
    power = clean.var(axis=1, keepdims=True)
    sigma = np.sqrt(power / 10 ** (snr_db / 10))
    noisy = clean + sigma * noise(noi, clean.shape, rng)
    if sig == "quantised":
        noisy = np.round(noisy / sigma) * sigma  # the converter's step: one noise σ
    return DataSet(sig, noi, snr_db, clean, noisy.astype(np.float32))


# ----------------------------------------------------------------------------- methods


def _moving_average(x: np.ndarray, size: int) -> np.ndarray:
    return ndimage.uniform_filter1d(x.astype(np.float64), size=size, axis=1, mode="nearest")


def _median(x: np.ndarray, size: int) -> np.ndarray:
    return ndimage.median_filter(x, size=(1, size), mode="nearest")


def _savgol(x: np.ndarray, window: int, order: int) -> np.ndarray:
    return signal.savgol_filter(x.astype(np.float64), window, order, axis=1, mode="interp")


def _wavelet(x: np.ndarray, wavelet: str, level: int, mode: str) -> np.ndarray:
    """Universal threshold (VisuShrink) with the noise level from the finest details' MAD."""
    out = np.empty(x.shape)
    n = x.shape[1]
    for s in range(x.shape[0]):
        coeffs = pywt.wavedec(x[s].astype(np.float64), wavelet, level=level, mode="periodization")
        sigma = np.median(np.abs(coeffs[-1])) / 0.6745
        thr = sigma * math.sqrt(2 * math.log(n))
        coeffs[1:] = [pywt.threshold(c, thr, mode=mode) for c in coeffs[1:]]
        out[s] = pywt.waverec(coeffs, wavelet, mode="periodization")[:n]
    return out


def method_grids(quick: bool) -> dict[str, list[tuple[str, Callable[[np.ndarray], np.ndarray]]]]:
    windows = (4, 8) if quick else (4, 8, 16, 32, 64)
    grids: dict[str, list] = {}
    for name, fn in (
        ("tacitor linear", tacitor.denoise_linear_regression),
        ("tacitor tree", tacitor.denoise_decision_tree),
    ):
        # The tree's cost grows with rows x window^2, so its widest window runs with the
        # larger stride only; that keeps the whole benchmark within minutes.
        grids[name] = [
            (f"w={w} stride={st}", (lambda x, f=fn, w=w, st=st: f(x, w, st)))
            for w in windows
            for st in sorted({1, w // 2})
            if not (name == "tacitor tree" and w >= 64 and st == 1)
        ]
    grids["Savitzky-Golay"] = [
        (f"window={n} order={p}", (lambda x, n=n, p=p: _savgol(x, n, p)))
        for n in ((9, 21) if quick else (5, 9, 15, 21, 31, 45, 65, 95))
        for p in (2, 3)
        if n > p
    ]
    grids["moving average"] = [
        (f"size={n}", (lambda x, n=n: _moving_average(x, n)))
        for n in ((3, 9) if quick else (3, 5, 7, 9, 15, 21, 31, 45))
    ]
    grids["median filter"] = [
        (f"size={n}", (lambda x, n=n: _median(x, n)))
        for n in ((3, 9) if quick else (3, 5, 7, 9, 15, 21, 31))
    ]
    grids["wavelet"] = [
        (f"{wv} level={lv} {md}", (lambda x, wv=wv, lv=lv, md=md: _wavelet(x, wv, lv, md)))
        for wv in ("db4", "sym8")
        for lv in ((3,) if quick else (3, 4, 5, 6))
        for md in ("soft", "hard")
    ]
    return grids


# ----------------------------------------------------------------------------- scoring


def scores(data: DataSet, estimate: np.ndarray) -> tuple[float, float]:
    """RMSE against the truth (NaN where uncovered is ignored) and SNR gain in dB."""
    err = estimate.astype(np.float64) - data.clean
    noise_power = np.mean((data.noisy.astype(np.float64) - data.clean) ** 2)
    mse = np.nanmean(err**2)
    return float(math.sqrt(mse)), float(10 * math.log10(noise_power / mse))


def stride_one_window(config: str) -> int | None:
    """The window of a tacitor setting "w=W stride=1", else None."""
    if not config.endswith(" stride=1"):
        return None
    return int(config.split()[0][2:])


def evaluate(
    sets: list[DataSet],
    grids,
    selection: bool = False,
    tree_protocols: bool = False,
    journal: Path | None = None,
    stop_at: float | None = None,
    classical_of=None,
) -> dict:
    """Every configuration of every method on every set: {method: {config: [(rmse, gain)]}}.

    With ``selection``, every set also goes through the window selection without the truth
    (bench/quality_selection.py), given the outputs of tacitor's stride-1 settings.
    """
    table: dict = {m: {c: [] for c, _ in configs} for m, configs in grids.items()}
    timing: dict = {m: 0.0 for m in grids}
    chosen: list[dict] = []
    for n, data in enumerate(sets):
        if stop_at is not None and time.time() >= stop_at:
            print(f"stopped before set {n + 1} of {len(sets)}: --stop-at reached", flush=True)
            break
        kept: dict = {"tacitor linear": ({}, {}), "tacitor tree": ({}, {})}
        kept = {m: v for m, v in kept.items() if m in grids}
        for method, configs in grids.items():
            for config, fn in configs:
                begin = time.perf_counter()
                est = fn(data.noisy)
                elapsed = time.perf_counter() - begin
                timing[method] += elapsed
                table[method][config].append(scores(data, est))
                window = stride_one_window(config) if method in kept else None
                if window is not None:
                    kept[method][0][window] = est
                    kept[method][1][window] = elapsed
        if selection:
            from quality_selection import LINEAR_WINDOWS, TREE_WINDOWS, evaluate_set

            linear, linear_s = kept["tacitor linear"]
            tree, tree_s = kept.get("tacitor tree", ({}, {}))
            entry = evaluate_set(
                data.noisy,
                data.clean,
                {w: linear[w] for w in LINEAR_WINDOWS if w in linear},
                {w: linear_s[w] for w in LINEAR_WINDOWS if w in linear},
                {w: tree[w] for w in TREE_WINDOWS if w in tree},
                {w: tree_s[w] for w in TREE_WINDOWS if w in tree},
                tree_protocols,
            )
            entry.update(
                signal=data.signal,
                noise=data.noise,
                snr_db=data.snr_db,
                series=data.noisy.shape[0],
                classical=classical_of(data)
                if classical_of
                else {
                    m: {c: table[m][c][-1][1] for c in table[m]}
                    for m in grids
                    if not m.startswith("tacitor")
                },
            )
            chosen.append(entry)
            if journal is not None:
                with journal.open("a") as f:
                    f.write(json.dumps(entry) + "\n")
            print(
                f"[{n + 1}/{len(sets)}] {data.signal}/{data.noise}/{data.snr_db} dB, "
                f"{data.noisy.shape[0]} series: auto window {entry['auto']['window']} "
                f"gain {entry['auto']['gain']:.2f} (best {entry['best_gain']:.2f})",
                flush=True,
            )
    return {"table": table, "timing": timing, "selection": chosen}


# ----------------------------------------------------------------------------- report


def figure(
    sig: str, data: DataSet, outputs: dict[str, tuple[str, np.ndarray]], path: Path, segment: slice
) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    methods = list(outputs)
    fig, axes = plt.subplots(
        len(methods) + 1, 1, figsize=(11, 1.7 * (len(methods) + 1)), sharex=True
    )
    t = np.arange(data.clean.shape[1])[segment]
    axes[0].plot(t, data.noisy[0, segment], color="0.6", lw=0.8, label="noisy")
    axes[0].plot(t, data.clean[0, segment], color="k", lw=1.2, label="clean")
    axes[0].set_title(f"{sig}: {data.noise} noise, SNR {data.snr_db} dB (series 0)", fontsize=10)
    axes[0].legend(loc="upper right", fontsize=8)
    for ax, method in zip(axes[1:], methods):
        config, est = outputs[method]
        _, gain = scores(data, est)
        ax.plot(t, data.clean[0, segment], color="k", lw=1.0)
        ax.plot(
            t,
            est[0, segment],
            color="tab:red" if method.startswith("tacitor") else "tab:blue",
            lw=1.0,
        )
        ax.set_ylabel(method, fontsize=8)
        ax.text(
            0.005,
            0.85,
            f"{config}: gain {gain:.1f} dB on the set",
            transform=ax.transAxes,
            fontsize=7,
            bbox={"facecolor": "white", "alpha": 0.8, "linewidth": 0},
        )
    axes[-1].set_xlabel("time")
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def render(result: dict, args) -> str:
    methods = list(result["methods"])
    lines: list[str] = []
    w = lines.append
    w("# Denoising quality: tacitor against classical filters\n")
    if args.quick:
        w("**Smoke run (`--quick`): small grid, numbers mean little.**\n")
    w(
        f"Generated by `make bench-quality` (`bench/quality.py`) in {result['elapsed_s'] / 60:.1f} "
        f"min; raw numbers in `bench/quality.json`.\n"
    )
    if getattr(args, "reuse_grid", None) is not None:
        w(
            f"This run took the {args.series}-series sets' grid results, their figures and the "
            f"timings per method from an earlier run of {args.reused_elapsed_s / 60:.1f} min "
            f"(`--reuse-grid`): same data, same seeds and a deterministic engine give the same "
            "outputs; everything about the window selection and the few-row batches was "
            "computed in this run.\n"
        )
    w(
        f"Each set: {args.series} series of length {args.length}, float32; clean truth known. "
        "Signals: `sines` (three sines), `chirp` (linear chirp to 0.04–0.1 cycles/sample), "
        "`steps` (piecewise constant, 9 jumps), `ar2` (narrow-band AR(2), poles at radius 0.98), "
        "`spikes` (slow baseline with 12 pulses 1–3 samples wide). Noise: `gaussian`, `laplace`, "
        "`outliers` (Gaussian with 1 % impulses of 12 σ), scaled per series to SNR 0, 10, 20 dB "
        "(signal variance over noise variance). Scores are over all series of the set: RMSE "
        "against the clean truth and SNR gain = 10·log10(noise power / error power) in dB "
        "(higher is better; 0 dB means no improvement, negative means worse than the input).\n"
    )
    w("Parameter grids (each method keeps the setting with the lowest RMSE on each set):\n")
    for m in methods:
        configs = list(result["table"][m])
        w(f"- {m}: {', '.join(configs)}")
    w(
        f"\nSoftware: NumPy {np.__version__}, SciPy {scipy.__version__}, PyWavelets "
        f"{pywt.__version__}. Time spent per method over the whole grid: "
        + ", ".join(f"{m} {result['timing'][m]:.1f} s" for m in methods)
        + ".\n"
    )

    best = result["best"]
    w("## Summary\n")
    w("Mean SNR gain in dB over the sets of each signal type (best setting per set):\n")
    w("| signal | " + " | ".join(methods) + " |")
    w("|---|" + "---:|" * len(methods))
    for sig in result["signals"]:
        cells = []
        for m in methods:
            gains = [b["gain"] for b in best[m] if b["signal"] == sig]
            cells.append(f"{np.mean(gains):.1f}")
        top = max(range(len(methods)), key=lambda i: float(cells[i]))
        cells[top] = f"**{cells[top]}**"
        w(f"| {sig} | " + " | ".join(cells) + " |")
    cells = [f"{np.mean([b['gain'] for b in best[m]]):.1f}" for m in methods]
    w("| all | " + " | ".join(cells) + " |")
    w("")
    wins = {m: 0 for m in methods}
    n_sets = len(best[methods[0]])
    for k in range(n_sets):
        wins[max(methods, key=lambda m: best[m][k]["gain"])] += 1
    w(
        "Sets won (highest gain): "
        + ", ".join(f"{m} {wins[m]}" for m in methods)
        + f" of {n_sets}.\n"
    )
    w(result["findings"] + "\n")

    w("## One setting for all sets\n")
    w(
        "The setting of each method with the highest mean gain over all sets, and its mean gain "
        "per signal type (what a user who cannot see the truth would get from one good default):\n"
    )
    w("| method | setting | " + " | ".join(result["signals"]) + " | all |")
    w("|---|---|" + "---:|" * (len(result["signals"]) + 1))
    for m in methods:
        fixed = result["fixed"][m]
        w(
            f"| {m} | {fixed['config']} | "
            + " | ".join(f"{fixed['per_signal'][sig]:.1f}" for sig in result["signals"])
            + f" | {fixed['mean']:.1f} |"
        )
    w("")

    w("## Every set\n")
    w("SNR gain in dB with the chosen setting; RMSE in brackets.\n")
    for sig in result["signals"]:
        w(f"### {sig}\n")
        w(f"![{sig}](figures/{sig}.png)\n")
        w("| noise | SNR in | " + " | ".join(methods) + " |")
        w("|---|---:|" + "---:|" * len(methods))
        for k, entry in enumerate(best[methods[0]]):
            if entry["signal"] != sig:
                continue
            row = [best[m][k] for m in methods]
            top = max(range(len(methods)), key=lambda i: row[i]["gain"])
            cells = [f"{r['gain']:.1f} ({r['rmse']:.3f})" for r in row]
            cells[top] = f"**{cells[top]}**"
            w(f"| {entry['noise']} | {entry['snr_db']} dB | " + " | ".join(cells) + " |")
        w("")
        w(
            "Chosen settings: "
            + "; ".join(
                f"{m}: " + ", ".join(sorted({b["config"] for b in best[m] if b["signal"] == sig}))
                for m in methods
            )
            + "\n"
        )
    if "selection" in result:
        w(result["selection"]["markdown"])
    w(honest_section())
    return "\n".join(lines) + "\n"


def honest_section() -> str:
    """The tables of ``bench/honest_baselines.py`` (bench/HONEST-<n>-series.md), if run."""
    tables = sorted(HERE.glob("HONEST-*-series.md"), key=lambda p: int(p.stem.split("-")[1]))
    if not tables:
        return ""
    head = [
        "## Against classical filters chosen without the truth",
        "",
        "The default path (`auto_denoise`: window chosen from the data, in batches with few "
        "training rows the learnt filter at half, a quarter or an eighth of the rate where held-out "
        "samples favour it, output blended with the input by a local weight) against Savitzky–Golay and the moving average chosen by "
        "generalised cross-validation and wavelet thresholding with the noise level "
        "estimated from the data (`bench/honest_baselines.py`). `auto global`: one blend "
        "weight for the batch; `auto pure`: no blend; `method auto`: `choose_method` "
        "(linear, tree or their mean); `ceiling`: the best classical setting chosen with the "
        "truth, per set. Two families beyond the five above: `quantised` (a slow drift read "
        "through a converter that rounds to one noise σ) and `bursts` (a quiet baseline with "
        "oscillation bursts); `ecg` is the ECG-like beats.",
        "",
    ]
    # The same under other noise (--noise) and over several draws (--seeds), if run.
    other = sorted(
        (p for p in HERE.glob("HONEST-*-series-*.md") if not p.stem.endswith("draws")),
        key=lambda p: (p.stem.split("-")[-1], int(p.stem.split("-")[1])),
    )
    other_noise = subsection(
        "Under other noise",
        "The same families under Laplace noise and under Gaussian noise with 1 % impulses "
        "of 12 σ (`--noise`):",
        other,
    )
    draws = sorted(HERE.glob("HONEST-*-series-*-draws.md"), key=lambda p: int(p.stem.split("-")[1]))
    over_draws = subsection(
        "Over several draws",
        "One draw per family and SNR leaves a family's margin on a few-row batch with a "
        "scatter of a few tenths of a dB. The same comparison averaged over draws "
        "(`--seeds`), with the standard error of each family's margin over them:",
        draws,
    )
    real = HERE / "REAL.md"  # bench/real_recordings.py, if run
    recordings = ["### On real recordings", "", real.read_text()] if real.exists() else []
    return "\n".join(head + [t.read_text() for t in tables] + other_noise + over_draws + recordings)


def subsection(title: str, intro: str, tables: list[Path]) -> list[str]:
    """A "###" section holding ``tables`` (whose own "###" headings go one level down), or
    nothing when there are none."""
    if not tables:
        return []
    return [f"### {title}", "", intro, ""] + ["#" + t.read_text() for t in tables]


def findings(result: dict) -> str:
    """Plain statements of where tacitor's methods lead and where they lose."""
    best = result["best"]
    methods = list(result["methods"])
    others = [m for m in methods if not m.startswith("tacitor")]
    out = []
    for ours in ("tacitor linear", "tacitor tree"):
        lose, win = [], []
        for sig in result["signals"]:
            g_ours = np.mean([b["gain"] for b in best[ours] if b["signal"] == sig])
            rival = max(
                others, key=lambda m: np.mean([b["gain"] for b in best[m] if b["signal"] == sig])
            )
            g_rival = np.mean([b["gain"] for b in best[rival] if b["signal"] == sig])
            (win if g_ours >= g_rival else lose).append(
                f"{sig} ({g_ours:.1f} dB against {rival} {g_rival:.1f} dB)"
            )
        if win:
            out.append(f"- {ours} leads the best classical filter on: " + ", ".join(win) + ".")
        if lose:
            out.append(f"- {ours} loses to the best classical filter on: " + ", ".join(lose) + ".")
        neg = [b for b in best[ours] if b["gain"] < 0]
        if neg:
            out.append(
                f"- {ours} makes {len(neg)} sets worse than the noisy input (negative "
                "gain): "
                + ", ".join(f"{b['signal']}/{b['noise']}/{b['snr_db']} dB" for b in neg)
                + "."
            )
    return "\n".join(out)


def interleaved(sets: list[DataSet]) -> list[DataSet]:
    """Middle level first, signal and noise types turning fastest: a run stopped early has
    covered every signal and noise type evenly."""
    level = {10: 0, 0: 1, 20: 2}
    return sorted(
        sets, key=lambda d: (level.get(d.snr_db, 3), NOISES.index(d.noise), SIGNALS.index(d.signal))
    )


def selection_summary(entries: list[dict], args, out_dir: Path) -> dict:
    from quality_selection import summarise

    sig = "sines" if any(e["signal"] == "sines" for e in entries) else entries[0]["signal"]
    count = 4 if any(e["series"] == 4 for e in entries) else entries[0]["series"]
    seed = 1000 * SIGNALS.index(sig) + 10 + (100_000 * count if count != args.series else 0)
    example = make_set(sig, "gaussian", 10, count, args.length, seed=seed)
    return summarise(entries, out_dir, example)


def merge(args) -> None:
    """One report from the journals (selection.jsonl) of several --partial runs, on the grid
    results of --reuse-grid."""
    result = json.loads(args.reuse_grid.read_text())
    result["selection_sets"] = [
        json.loads(line)
        for path in args.merge
        for line in path.read_text().splitlines()
        if line.strip()
    ]
    args.quick, args.series, args.length = False, 32, 1024
    args.reused_elapsed_s = result.get("reused_elapsed_s") or result["elapsed_s"]
    result["reused_elapsed_s"] = args.reused_elapsed_s
    result["elapsed_s"] = args.merge_elapsed_min * 60
    out_dir = args.out_dir or HERE
    (out_dir / "figures").mkdir(parents=True, exist_ok=True)
    result["selection"] = selection_summary(result["selection_sets"], args, out_dir)
    if args.merge_note:
        result["selection"]["markdown"] = result["selection"]["markdown"].replace(
            "\n", f"\n\n{args.merge_note}\n", 1
        )
    (out_dir / "quality.json").write_text(json.dumps(result, indent=1))
    (out_dir / "QUALITY.md").write_text(render(result, args))
    print(f"wrote {out_dir / 'QUALITY.md'} from {len(args.merge)} journals")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--series", type=int, default=None)
    parser.add_argument(
        "--few",
        default="2,4,8",
        help="series counts of the few-row batches, comma-separated ('' none)",
    )
    parser.add_argument(
        "--signals", default=",".join(SIGNALS), help="signal types to run, comma-separated"
    )
    parser.add_argument(
        "--no-selection",
        action="store_true",
        help="leave out the window selection without the truth",
    )
    parser.add_argument(
        "--selection-noises",
        default=",".join(NOISES),
        help="noise types of the large sets that go through the selection",
    )
    parser.add_argument(
        "--masks",
        type=int,
        default=3,
        help="masks of the masked protocol's comparison on the few-row sets",
    )
    parser.add_argument(
        "--reuse-grid",
        type=Path,
        default=None,
        help="take the large sets' grid results (and their figures) from this "
        "earlier quality.json instead of recomputing them; the outputs are "
        "deterministic, so only the timings are those of the earlier run",
    )
    parser.add_argument(
        "--tree-protocols-upto",
        type=int,
        default=0,
        help="compare the tree's protocols only on batches of at most this "
        "many series (0: on every few-row batch)",
    )
    parser.add_argument(
        "--partial",
        action="store_true",
        help="write quality.json with the selection's per-set results but no report, for --merge",
    )
    parser.add_argument(
        "--merge",
        type=Path,
        nargs="+",
        default=None,
        help="render one report from the journals of --partial runs",
    )
    parser.add_argument(
        "--merge-elapsed-min",
        type=float,
        default=0.0,
        help="wall-clock minutes of the parallel --partial runs (for the report)",
    )
    parser.add_argument(
        "--merge-note", default="", help="how the merged parts were run, for the report"
    )
    parser.add_argument(
        "--stop-at",
        default=None,
        help="start no new set of the selection after this UTC time (HH:MM)",
    )
    parser.add_argument("--length", type=int, default=1024)
    parser.add_argument("--out-dir", type=Path, default=None)
    args = parser.parse_args()
    if args.merge:
        merge(args)
        return
    if args.series is None:
        args.series = 4 if args.quick else 32
    if args.quick:
        args.length = min(args.length, 256)
    few_counts = [int(v) for v in args.few.split(",") if v.strip()]
    stop_at = None
    if args.stop_at:
        import datetime as dt

        hour, minute = map(int, args.stop_at.split(":"))
        now = dt.datetime.now(dt.timezone.utc)
        stop_at = now.replace(hour=hour, minute=minute, second=0).timestamp()
    out_dir = args.out_dir or (
        Path(tempfile.mkdtemp(prefix="tacitor-quality-")) if args.quick else HERE
    )
    (out_dir / "figures").mkdir(parents=True, exist_ok=True)
    started = time.time()
    signals = tuple(v for v in args.signals.split(",") if v)
    unknown = set(signals) - set(SIGNALS)
    if unknown:
        parser.error(f"unknown signals: {', '.join(sorted(unknown))}")
    noises = NOISES[:2] if args.quick else NOISES
    snrs = SNRS_DB[1:2] if args.quick else SNRS_DB
    seeds = {
        (sig, noi, snr): 1000 * i + 17 * j + snr
        for i, sig in enumerate(SIGNALS)
        for j, noi in enumerate(NOISES)
        for snr in SNRS_DB
    }
    # With --reuse-grid the large sets are all of them (the earlier grid covers them all);
    # --signals then limits the selection only.
    sets = [
        make_set(sig, noi, snr, args.series, args.length, seed=seeds[sig, noi, snr])
        for sig in (SIGNALS if args.reuse_grid else signals)
        for noi in noises
        for snr in snrs
    ]
    grids = method_grids(args.quick)
    import quality_selection

    quality_selection.MASKS = args.masks
    chosen_noises = {v for v in args.selection_noises.split(",") if v}
    # Every finished set of the selection is appended here at once, so that a run stopped
    # early still leaves its sets for --merge.
    journal = out_dir / "selection.jsonl"
    journal.unlink(missing_ok=True)
    if args.reuse_grid is not None:
        earlier = json.loads(args.reuse_grid.read_text())
        if {m: list(c) for m, c in earlier["table"].items()} != {
            m: [c for c, _ in configs] for m, configs in grids.items()
        } or len(next(iter(next(iter(earlier["table"].values())).values()))) != len(sets):
            parser.error(f"{args.reuse_grid} was made with other grids or sets")
        evaluated = {"table": earlier["table"], "timing": earlier["timing"], "selection": []}
        args.reused_elapsed_s = earlier.get("reused_elapsed_s", earlier["elapsed_s"])
    else:
        evaluated = evaluate(sets, grids)
    if not args.no_selection:
        # The selection needs the outputs of tacitor linear's stride-1 settings.
        stride_one = {
            "tacitor linear": [
                (c, fn) for c, fn in grids["tacitor linear"] if stride_one_window(c) is not None
            ]
        }
        main_table = evaluated["table"]

        def classical_of(data: DataSet) -> dict:
            k = sets.index(data)
            return {
                m: {c: main_table[m][c][k][1] for c in main_table[m]}
                for m in grids
                if not m.startswith("tacitor")
            }

        evaluated["selection"] = evaluate(
            interleaved([d for d in sets if d.noise in chosen_noises and d.signal in signals]),
            stride_one,
            selection=True,
            journal=journal,
            stop_at=stop_at,
            classical_of=classical_of,
        )["selection"]
    table = evaluated["table"]
    best: dict[str, list[dict]] = {}
    for method, configs in table.items():
        best[method] = []
        for k, data in enumerate(sets):
            config = min(configs, key=lambda c: configs[c][k][0])
            rmse, gain = configs[config][k]
            best[method].append(
                {
                    "signal": data.signal,
                    "noise": data.noise,
                    "snr_db": data.snr_db,
                    "config": config,
                    "rmse": rmse,
                    "gain": gain,
                }
            )
    fixed = {}
    for method, configs in table.items():
        config = max(configs, key=lambda c: np.mean([g for _, g in configs[c]]))
        per_signal = {
            sig: float(
                np.mean([configs[config][k][1] for k, d in enumerate(sets) if d.signal == sig])
            )
            for sig in signals
        }
        fixed[method] = {
            "config": config,
            "per_signal": per_signal,
            "mean": float(np.mean([g for _, g in configs[config]])),
        }
    result = {
        "signals": list(signals),
        "methods": list(grids),
        "table": table,
        "best": best,
        "fixed": fixed,
        "timing": evaluated["timing"],
        "reuse_grid": None if args.reuse_grid is None else str(args.reuse_grid),
        "reused_elapsed_s": getattr(args, "reused_elapsed_s", None),
    }
    if not args.no_selection:
        # The few-row batches: tacitor at stride 1 (the tree up to window 32) and the
        # classical filters, for the selection and its comparison only.
        few_sets = [
            make_set(sig, noi, snr, count, args.length, seed=seeds[sig, noi, snr] + 100_000 * count)
            for count in few_counts
            for sig in signals
            for noi in noises
            for snr in snrs
        ]
        few_grids = {
            m: [
                (c, fn)
                for c, fn in configs
                if not m.startswith("tacitor")
                or (
                    stride_one_window(c) is not None
                    and (m == "tacitor linear" or stride_one_window(c) <= 32)
                )
            ]
            for m, configs in grids.items()
        }
        few: dict = {"selection": []}
        for count in few_counts:
            with_tree = args.tree_protocols_upto == 0 or count <= args.tree_protocols_upto
            grids_here = {m: c for m, c in few_grids.items() if with_tree or m != "tacitor tree"}
            few["selection"] += evaluate(
                interleaved([d for d in few_sets if d.noisy.shape[0] == count]),
                grids_here,
                selection=True,
                tree_protocols=with_tree,
                journal=journal,
                stop_at=stop_at,
            )["selection"]
        result["selection_sets"] = evaluated["selection"] + few["selection"]
        if not args.partial:
            result["selection"] = selection_summary(result["selection_sets"], args, out_dir)
    # Figures: Gaussian noise at 10 dB, each method with its chosen setting, first series.
    segment = slice(0, min(args.length, 400))
    for sig in signals if args.reuse_grid is None else ():
        k = next(
            i
            for i, d in enumerate(sets)
            if d.signal == sig
            and d.noise == "gaussian"
            and d.snr_db == (10 if 10 in snrs else snrs[0])
        )
        outputs = {}
        for method, configs in grids.items():
            config = best[method][k]["config"]
            outputs[method] = (config, dict(configs)[config](sets[k].noisy))
        figure(sig, sets[k], outputs, out_dir / "figures" / f"{sig}.png", segment)
    result["elapsed_s"] = time.time() - started
    result["findings"] = findings(result)
    (out_dir / "quality.json").write_text(json.dumps(result, indent=1))
    if not args.partial:
        (out_dir / "QUALITY.md").write_text(render(result, args))
    print(f"wrote {out_dir} in {result['elapsed_s'] / 60:.1f} min")


if __name__ == "__main__":
    main()
