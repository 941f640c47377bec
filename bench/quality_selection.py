"""The window chosen without the truth (tacitor_tools.select / auto_denoise), on the quality sets.

Called by bench/quality.py for every set, with the outputs of tacitor's stride-1 grid
settings that the main comparison has computed anyway; the truth tells which window was best.
"""

from __future__ import annotations

import math
import time

import numpy as np

from tacitor_tools import auto_denoise, denoise
from tacitor_tools.cli.work import window_count
from tacitor_tools.missing import gap_lengths
from tacitor_tools.selection.protocols import RawScore, effective_parameters, make_masks, masked
from tacitor_tools.selection.search import DEFAULT_WINDOWS, combined_noise_variance

LINEAR_WINDOWS = DEFAULT_WINDOWS
TREE_WINDOWS = (4, 8, 16, 32)  # the tree's stride-1 settings of the main grid
MISSING_RATES = (0.01, 0.05)
MAX_GAP = 4
MISSING_WINDOW = 32  # the gaps' cost is measured at one window, a cheap one
MASKS = 3  # masks of the masked protocol's comparison (set by quality.py)


def gain_of(out: np.ndarray, clean: np.ndarray, noise_power: float) -> float:
    err = np.nanmean((out.astype(np.float64) - clean) ** 2)
    return float(10 * math.log10(noise_power / err))


def in_sample_score(method: str, noisy: np.ndarray, out: np.ndarray, window: int) -> RawScore:
    """The in-sample protocol's score from an output already computed."""
    series, length = noisy.shape
    rows = window_count(length, window, 1) * series
    squares = (out.astype(np.float64) - noisy) ** 2
    raw = float(np.mean(squares))
    se = float(np.std(squares, ddof=1) / math.sqrt(squares.size))
    return RawScore(
        raw, se, 2 * effective_parameters(method, window, rows) / rows, squares.size, None
    )


def choose(noisy: np.ndarray, scores: dict[int, RawScore], corrected: bool) -> int:
    if not corrected:
        return min(scores, key=lambda w: scores[w].raw)
    var, _ = combined_noise_variance(noisy, scores.values())
    return min(scores, key=lambda w: scores[w].loss(var))


def protocols(
    method: str,
    noisy: np.ndarray,
    outputs: dict[int, np.ndarray],
    seconds: dict[int, float],
    masks_wanted: int,
) -> dict[str, dict]:
    """Window chosen and cost (× the widest window's call) of every protocol."""
    windows = sorted(outputs)
    widest = seconds[windows[-1]]
    grid_cost = sum(seconds.values()) / widest
    insample = {w: in_sample_score(method, noisy, outputs[w], w) for w in windows}
    out = {
        "insample": {"window": choose(noisy, insample, True), "cost": grid_cost},
        "insample-raw": {"window": choose(noisy, insample, False), "cost": grid_cost},
    }
    observed = np.ones(noisy.shape, dtype=bool)
    try:
        masks = make_masks(observed, masks_wanted, seed=0)
    except ValueError:
        return out
    per_mask: dict[int, list[RawScore]] = {w: [] for w in windows}
    mask_seconds = {w: 0.0 for w in windows}
    for w in windows:
        for mask in masks:
            begin = time.perf_counter()
            per_mask[w].append(masked(method, noisy, [mask], w, 1))
            mask_seconds[w] += time.perf_counter() - begin
    for n in sorted({1, masks_wanted}):
        pooled = {
            w: RawScore(
                sum(s.raw * s.scored for s in per_mask[w][:n])
                / sum(s.scored for s in per_mask[w][:n]),
                0.0,
                0.0,
                0,
                None,
            )
            for w in windows
        }
        # One call per mask and window, then the chosen window's call on the real data.
        cost = sum(mask_seconds[w] * n / len(masks) for w in windows) / widest
        chosen = choose(noisy, pooled, True)
        out[f"masked-{n}"] = {"window": chosen, "cost": cost + seconds[chosen] / widest}
    return out


def evaluate_set(
    noisy: np.ndarray,
    clean: np.ndarray,
    linear: dict[int, np.ndarray],
    linear_seconds: dict[int, float],
    tree: dict[int, np.ndarray],
    tree_seconds: dict[int, float],
    tree_protocols: bool,
) -> dict:
    noise = noisy.astype(np.float64) - clean
    noise_power = float(np.mean(noise**2))
    truth = {w: gain_of(out, clean, noise_power) for w, out in linear.items()}
    best_window = max(truth, key=truth.__getitem__)
    result: dict = {
        "truth": {str(w): g for w, g in truth.items()},
        "best_window": best_window,
        "best_gain": truth[best_window],
    }

    begin = time.perf_counter()
    out, sel = auto_denoise(noisy)
    elapsed = time.perf_counter() - begin
    widest = max(sel.table, key=lambda c: c.window_size)
    # The window's quality is its prediction's; the default output blends it with the input.
    gain = gain_of(sel.denoise(noisy, blend=False), clean, noise_power)
    begin = time.perf_counter()
    denoise(noisy, sel.window_size)
    one_call = time.perf_counter() - begin
    result["auto"] = {
        "window": sel.window_size,
        "gain": gain,
        "estimated_gain": sel.gain_db,
        "noise_std_ratio": sel.noise_std / math.sqrt(noise_power),
        "seconds": elapsed,
        "cost": elapsed / one_call,
        "widest": widest.window_size,
        "warnings": sel.warnings,
        "blend_weight": sel.blend_weight,
        "blend_gain": gain_of(out, clean, noise_power),
    }

    # The same search judged with the true noise level.
    sel_true = sel.with_noise_std(math.sqrt(noise_power))
    result["blend_true"] = {
        "window": sel_true.window_size,
        "weight": sel_true.blend_weight,
        "gain": gain_of(sel_true.denoise(noisy), clean, noise_power),
    }

    rng = np.random.default_rng(11)
    result["missing"] = {}
    reference = gain_of(
        linear[MISSING_WINDOW] if MISSING_WINDOW in linear else denoise(noisy, MISSING_WINDOW),
        clean,
        noise_power,
    )
    for rate in MISSING_RATES:
        holed = noisy.astype(np.float64)
        holed[rng.random(noisy.shape) < rate] = np.nan
        gaps = np.isnan(holed)
        filled = denoise(holed, MISSING_WINDOW, missing="impute", max_gap=MAX_GAP)
        short = gap_lengths(gaps) <= MAX_GAP
        result["missing"][str(rate)] = {
            "loss_db": reference - gain_of(filled, clean, noise_power),
            "nan_in_short_gaps": int(np.isnan(filled[short]).sum()),
            "missing": int(gaps.sum()),
        }

    result["protocols"] = {
        name: {**entry, "gain": truth[entry["window"]]}
        for name, entry in protocols(
            "linear", noisy, linear, linear_seconds, MASKS if noisy.shape[0] < 32 else 1
        ).items()
    }
    if tree_protocols and tree:
        tree_truth = {w: gain_of(o, clean, noise_power) for w, o in tree.items()}
        result["tree_best_gain"] = max(tree_truth.values())
        result["tree_protocols"] = {
            name: {**entry, "gain": tree_truth[entry["window"]]}
            for name, entry in protocols("tree", noisy, tree, tree_seconds, 1).items()
        }
        # The tree's own optimism: N·mean((f − clean)·noise)/σ² against the model's figure.
        series, length = noisy.shape
        result["tree_optimism"] = {}
        for w, o in tree.items():
            rows = window_count(length, w, 1) * series
            measured = rows * float(np.mean((o - clean) * noise)) / noise_power
            result["tree_optimism"][str(w)] = {
                "measured": measured,
                "model": effective_parameters("tree", w, rows),
            }
    return result


# ----------------------------------------------------------------------------- report


def protocol_names() -> dict[str, str]:
    return {
        "insample": "in-sample, corrected (2σ²p/N)",
        "insample-raw": "in-sample, uncorrected",
        "masked-1": "masked, one mask",
        f"masked-{MASKS}": f"masked, {MASKS} masks",
    }


def share(values: list[bool]) -> str:
    if not values:
        return "–"
    return f"{sum(values)}/{len(values)} ({100 * sum(values) / max(len(values), 1):.0f} %)"


def verdict(ok: bool) -> str:
    return "met" if ok else "**not met**"


def summarise(entries: list[dict], out_dir, example) -> dict:
    """Statistics over all sets, the report section, and the loss-curve figure."""
    lines: list[str] = []
    w = lines.append
    sizes = sorted({e["series"] for e in entries})
    within = [e["auto"]["gain"] >= e["best_gain"] - 0.5 for e in entries]
    auto_mean = float(np.mean([e["auto"]["gain"] for e in entries]))
    fixed = {}
    for method, configs in entries[0]["classical"].items():
        means = {c: float(np.mean([e["classical"][method][c] for e in entries])) for c in configs}
        config = max(means, key=means.__getitem__)
        fixed[method] = (config, means[config])
    best_classical = max(fixed, key=lambda m: fixed[m][1])
    margin = auto_mean - fixed[best_classical][1]
    worse_true = [e for e in entries if e["blend_true"]["gain"] < 0]
    blend_loss = [e["auto"]["gain"] - e["auto"]["blend_gain"] for e in entries]
    blend_mean = float(np.mean([e["auto"]["blend_gain"] for e in entries]))
    missing = {rate: [e["missing"][str(rate)] for e in entries] for rate in MISSING_RATES}
    costs = [e["auto"]["cost"] for e in entries]
    ok = {
        "within": sum(within) >= 0.9 * len(within),
        "margin": margin >= 1.5,
        "blend_true": not worse_true,
        "blend_est": blend_mean > auto_mean and max(blend_loss) <= 0.5,
        "missing": all(
            m["loss_db"] <= 0.5 and m["nan_in_short_gaps"] == 0
            for ms in missing.values()
            for m in ms
        ),
    }

    w("## Choosing the window without the truth\n")
    combos = {(e["signal"], e["noise"], e["snr_db"]) for e in entries}
    w(
        f"`tacitor_tools.auto_denoise(noisy)` (linear, default grid "
        f"{', '.join(map(str, LINEAR_WINDOWS))}, extended past its edge when the best window "
        f"sits there, default protocol) on {len(entries)} sets: "
        + "; ".join(f"{sum(e['series'] == s for e in entries)} of {s} series" for s in sizes)
        + f", from {len(combos)} signal/noise/level combinations. The truth-chosen window is "
        "the best of the default grid at stride 1, judged against the clean signal. Missing "
        f"values are measured at window {MISSING_WINDOW}, `max_gap={MAX_GAP}`; the blend with "
        "the true noise level re-judges the same search with it "
        "(`Selection.with_noise_std`).\n"
    )
    w("| target | measured | |")
    w("|---|---|---|")
    w(
        f"| within 0.5 dB of the truth-chosen window on ≥ 90 % of sets | {share(within)} | "
        f"{verdict(ok['within'])} |"
    )
    w(
        f"| mean gain ≥ 1.5 dB above every classical filter's best single setting | "
        f"auto pure {auto_mean:.2f} dB; best classical single setting {best_classical} "
        f"({fixed[best_classical][0]}) {fixed[best_classical][1]:.2f} dB: "
        f"{margin:+.2f} dB | {verdict(ok['margin'])} |"
    )
    w(
        f"| blend, true noise level: no set worse than the noisy input | "
        f"{len(worse_true)} sets worse; lowest gain "
        f"{min(e['blend_true']['gain'] for e in entries):.2f} dB | {verdict(ok['blend_true'])} |"
    )
    blend_margin = blend_mean - fixed[best_classical][1]
    w(
        f"| the same with the default output (blended, estimated noise level) | "
        f"{blend_mean:.2f} dB: {blend_margin:+.2f} dB | {verdict(blend_margin >= 1.5)} |"
    )
    w(
        f"| blend, estimated noise level: mean gain up, no set loses > 0.5 dB | mean "
        f"{auto_mean:.2f} → {blend_mean:.2f} dB; largest loss {max(blend_loss):.2f} dB | "
        f"{verdict(ok['blend_est'])} |"
    )
    for rate in MISSING_RATES:
        ms = missing[rate]
        w(
            f'| {100 * rate:g} % missing at random, `missing="impute"`: loss ≤ 0.5 dB, no NaN '
            f"in gaps ≤ max_gap ({MAX_GAP}) | largest loss {max(m['loss_db'] for m in ms):.2f} dB,"
            f" mean {np.mean([m['loss_db'] for m in ms]):.2f} dB; "
            f"{sum(m['nan_in_short_gaps'] for m in ms)} NaN | "
            f"{verdict(all(m['loss_db'] <= 0.5 and m['nan_in_short_gaps'] == 0 for m in ms))} |"
        )
    w(
        f"| `auto_denoise` over one exact call at the chosen window (the 2× target is for "
        f"batches of ≥ 100,000 training rows: SELECTION_COST.md) | median "
        f"{np.median(costs):.2f}×, largest {max(costs):.2f}× | – |"
    )
    w("")
    w(
        "Costs are wall-clock times on a shared machine: the whole `auto_denoise` call (search "
        "and output) over one exact native call at the chosen window, timed after it.\n"
    )

    w(
        "By batch size (sets within 0.5 dB of the truth-chosen window; mean gain of the "
        "prediction at the chosen window (`auto pure`), of the truth-chosen window and of a "
        "fixed window 64, and of the blended output `auto_denoise` returns, with the noise "
        "level estimated and with the true one; windows chosen):\n"
    )
    w(
        "| series | within 0.5 dB | auto pure | truth-chosen | fixed 64 | default (estimated σ) | "
        "blend (true σ) | windows chosen |"
    )
    w("|---:|---|---:|---:|---:|---:|---:|---|")
    for size in sizes:
        es = [e for e in entries if e["series"] == size]
        chosen: dict[int, int] = {}
        for e in es:
            chosen[e["auto"]["window"]] = chosen.get(e["auto"]["window"], 0) + 1
        w(
            f"| {size} | {share([e['auto']['gain'] >= e['best_gain'] - 0.5 for e in es])} | "
            f"{np.mean([e['auto']['gain'] for e in es]):.2f} | "
            f"{np.mean([e['best_gain'] for e in es]):.2f} | "
            f"{np.mean([e['truth'].get('64', math.nan) for e in es]):.2f} | "
            f"{np.mean([e['auto']['blend_gain'] for e in es]):.2f} | "
            f"{np.mean([e['blend_true']['gain'] for e in es]):.2f} | "
            + ", ".join(f"{k}: {v}" for k, v in sorted(chosen.items()))
            + " |"
        )
    w("")
    w(
        "Each classical filter's best single setting over all these sets (mean gain): "
        + "; ".join(f"{m} {c} {g:.2f} dB" for m, (c, g) in fixed.items())
        + ".\n"
    )

    w("### The two protocols\n")
    w(
        "Linear method, default grid without extension: the window each protocol chooses, "
        "judged by the truth; cost in native calls' time over the time of the widest window's "
        "call (the masked protocols add the chosen window's call on the real data).\n"
    )
    w(
        "| protocol | within 0.5 dB (all) | "
        + " | ".join(f"{s} series" for s in sizes)
        + " | mean gain | mean cost |"
    )
    w("|---|---|" + "---|" * len(sizes) + "---:|---:|")
    for name, label in protocol_names().items():
        es = [e for e in entries if name in e["protocols"]]
        if not es:
            continue
        hit = [e["protocols"][name]["gain"] >= e["best_gain"] - 0.5 for e in es]
        per = [
            share(
                [
                    e["protocols"][name]["gain"] >= e["best_gain"] - 0.5
                    for e in es
                    if e["series"] == s
                ]
            )
            for s in sizes
        ]
        w(
            f"| {label} | {share(hit)} | "
            + " | ".join(per)
            + f" | {np.mean([e['protocols'][name]['gain'] for e in es]):.2f} | "
            f"{np.mean([e['protocols'][name]['cost'] for e in es]):.2f}× |"
        )
    w("")
    tree = [e for e in entries if "tree_protocols" in e]
    if tree:
        w(
            f"Tree, stride 1, windows {', '.join(map(str, TREE_WINDOWS))}, on the {len(tree)} "
            "few-row sets (its grid is too slow to run three times on the 32-series sets):\n"
        )
        w("| protocol | within 0.5 dB of the tree's truth-chosen window | mean gain | mean cost |")
        w("|---|---|---:|---:|")
        for name in ("insample", "insample-raw", "masked-1"):
            es = [e for e in tree if name in e["tree_protocols"]]
            w(
                f"| {protocol_names()[name]} | "
                f"{share([e['tree_protocols'][name]['gain'] >= e['tree_best_gain'] - 0.5 for e in es])}"
                f" | {np.mean([e['tree_protocols'][name]['gain'] for e in es]):.2f} | "
                f"{np.mean([e['tree_protocols'][name]['cost'] for e in es]):.2f}× |"
            )
        w("")
        ratios = [o["measured"] / o["model"] for e in tree for o in e["tree_optimism"].values()]
        w(
            "The tree's own optimism, measured as N·mean((f − clean)·noise)/σ² on these sets "
            "(one noise draw each, so single values scatter): measured over modelled effective "
            f"parameters, median {np.median(ratios):.2f}, quartiles "
            f"{np.percentile(ratios, 25):.2f}–{np.percentile(ratios, 75):.2f}.\n"
        )

    warned: dict[str, int] = {}
    for e in entries:
        for text in e["auto"]["warnings"]:
            key = text.split(":")[0].split("(")[0].strip()
            warned[key] = warned.get(key, 0) + 1
    if warned:
        w("Warnings given by `auto_denoise` (sets):\n")
        for text, count in sorted(warned.items(), key=lambda kv: -kv[1]):
            w(f"- {count}: {text}")
        w("")
    ratio = [e["auto"]["noise_std_ratio"] for e in entries]
    w(
        f"Estimated over true noise level: median {np.median(ratio):.3f}, range "
        f"{min(ratio):.2f}–{max(ratio):.2f}.\n"
    )

    figure = loss_curve(example, out_dir)
    w(f"![Estimated loss curve](figures/{figure.name})\n")
    w(
        f"*`Selection.plot()` on {example.signal}/{example.noise}/{example.snr_db} dB with "
        f"{example.noisy.shape[0]} series.*\n"
    )
    return {
        "ok": ok,
        "auto_mean": auto_mean,
        "fixed_classical": fixed,
        "sets": entries,
        "markdown": "\n".join(lines) + "\n",
    }


def loss_curve(example, out_dir):
    import shutil
    from pathlib import Path

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from tacitor_tools import select

    selection = select(example.noisy)
    fig, ax = plt.subplots(figsize=(6, 3.5))
    selection.plot(ax)
    fig.tight_layout()
    path = Path(out_dir) / "figures" / "selection.png"
    fig.savefig(path, dpi=90)
    plt.close(fig)
    docs = Path(__file__).resolve().parent.parent / "docs"
    if Path(out_dir).resolve() == Path(__file__).resolve().parent:
        shutil.copy(path, docs / "selection.png")
    return path
