"""Where tacitor's time goes: a sampling profile with perf, grouped into pipeline phases.

The profile uses a separate build of the module with the same optimisation flags as the wheel
plus ``-g`` (debug information only, the generated code is the same), because the wheel's copy
is stripped. perf samples the CPU clock (no hardware counters are needed, so it works inside
virtual machines) and unwinds with DWARF, so that inclusive time can be charged to the phase
functions even on the worker threads. The library sources carry no timers.
"""

from __future__ import annotations

import json
import math
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import asdict
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

# Phase name -> regular expression on the demangled symbol (inlined frames included, perf's
# --inline), measured as inclusive time; or ("= parent", [parts]) for the parent's time not spent
# in the listed parts. Indented names are parts of the phase above them.
PHASES = {
    "linear": [
        (
            "training-set build (windows_to_train, copy to DenseMatrix)",
            r"windows_to_train|to_dense_matrix",
        ),
        ("fit (LinearRegression::fit)", r"LinearRegression::fit\b"),
        ("  intercept column appended (h_stack)", r"DenseMatrix::h_stack"),
        ("  SVD factorisation (svd_factor)", r"\bsvd_factor\b"),
        ("    bidiagonalisation (Householder reflections)", r"\bbidiagonalise\b"),
        ("    accumulation of the right vectors V", r"\baccumulate_right\b"),
        ("    accumulation of the left vectors U", r"\baccumulate_left\b"),
        ("    diagonalisation (implicit-shift QR sweeps, rotations)", r"\bdiagonalise\b"),
        ("    sort and sign normalisation", r"\b(sort_descending|normalise_signs)\b"),
        ("  least-squares solve (U^T b, 1/sigma, V)", r"\bSVD::solve\b"),
        (
            "  rest of fit",
            (
                "= fit (LinearRegression::fit)",
                [
                    "  intercept column appended (h_stack)",
                    "  SVD factorisation (svd_factor)",
                    "  least-squares solve (U^T b, 1/sigma, V)",
                ],
            ),
        ),
        ("predict (LinearRegression::predict)", r"LinearRegression::predict\b"),
        ("stacking the predictions", r"stack_columns"),
        ("reassembly", r"data::reassemble"),
        ("(across phases) zero-filled allocations", r"DenseMatrix::zeros\b"),
        ("(across phases) kernel page faults", r"asm_exc_page_fault"),
    ],
    "tree": [
        (
            "training-set build (windows_to_train, copy to DenseMatrix)",
            r"windows_to_train|to_dense_matrix",
        ),
        ("fit (DecisionTreeRegressor::fit)", r"DecisionTreeRegressor::fit\b"),
        ("  presort of the feature columns (argsort)", r"\bpresort_columns\b"),
        ("  split search (find_best_cutoff, scan_feature)", r"\bfind_best_cutoff\b"),
        ("    column scans (scan_feature)", r"\bscan_feature\b"),
        (
            "  partition of rows, node bookkeeping",
            (
                "= fit (DecisionTreeRegressor::fit)",
                [
                    "  presort of the feature columns (argsort)",
                    "  split search (find_best_cutoff, scan_feature)",
                ],
            ),
        ),
        ("predict (DecisionTreeRegressor::predict)", r"DecisionTreeRegressor::predict"),
        ("stacking the predictions", r"stack_columns"),
        ("reassembly", r"data::reassemble"),
        ("(across phases) kernel page faults", r"asm_exc_page_fault"),
    ],
}
CONTEXT = [
    ("all worker threads", r"ThreadPool::worker_main"),
    ("calling thread inside the entry point", r"entry_points::denoise_"),
    ("calling thread, whole interpreter (start-up, input, timing loop)", r"^Py_BytesMain$"),
]

_LINE = re.compile(r"^\s*([\d.]+)%\s+([\d.]+)%\s+\[[.k]\]\s+(.*?)\s*$")


def perf_works() -> str | None:
    """None when ``perf record -e cpu-clock`` works here, else the reason it does not."""
    if shutil.which("perf") is None:
        return "perf is not installed (Debian package linux-perf)"
    with tempfile.TemporaryDirectory() as tmp:
        probe = subprocess.run(
            ["perf", "record", "-q", "-e", "cpu-clock", "-o", f"{tmp}/probe.data", "true"],
            capture_output=True,
            text=True,
        )
        if probe.returncode != 0:
            return "perf record failed: " + (probe.stderr.strip().splitlines() or ["?"])[-1]
    return None


def build_profile_copy(build_dir: Path) -> Path:
    """Configures and builds the module with -g into build_dir; returns its python/ path."""
    ninja = Path(sys.executable).parent / "ninja"
    configure = [
        "cmake",
        "-S",
        str(ROOT),
        "-B",
        str(build_dir),
        "-G",
        "Ninja",
        "-DCMAKE_BUILD_TYPE=Release",
        "-DCMAKE_CXX_FLAGS=-g",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    if ninja.exists():
        configure.append(f"-DCMAKE_MAKE_PROGRAM={ninja}")
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(
        ["cmake", "--build", str(build_dir), "-j", "2", "--target", "tacitor"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    return build_dir / "python"


def parse_report(text: str) -> list[tuple[float, float, str]]:
    rows = []
    for line in text.splitlines():
        match = _LINE.match(line)
        if match:
            symbol = re.sub(r"\s+-\s+-\s*$", "", match.group(3)).strip()
            rows.append((float(match.group(1)), float(match.group(2)), symbol))
    return rows


def inclusive_share(pattern: str, rows: list[tuple[float, float, str]]) -> tuple[float, list]:
    """Inclusive share of the functions matching pattern. Entries with the same name are
    separate copies of the code (clones, inlined sites) and add up; of different matching
    names the largest counts, since an outer frame already contains the inner ones."""
    regex = re.compile(pattern)
    by_name: dict[str, float] = {}
    for children, _, symbol in rows:
        name = symbol.removesuffix(" (inlined)")
        if regex.search(name):
            by_name[name] = by_name.get(name, 0.0) + children
    if not by_name:
        return 0.0, []
    return max(by_name.values()), sorted(by_name, key=by_name.get, reverse=True)


def phase_breakdown(method: str, rows: list[tuple[float, float, str]]) -> list[dict]:
    out: list[dict] = []
    found: dict[str, float] = {}
    for name, rule in PHASES[method]:
        if isinstance(rule, tuple):
            parent, parts = rule
            share = found.get(parent.removeprefix("= "), 0.0) - sum(
                found.get(p, 0.0) for p in parts
            )
            symbols = ["(remainder)"]
        else:
            share, symbols = inclusive_share(rule, rows)
        found[name] = share
        out.append({"phase": name, "inclusive_pct": max(0.0, share), "symbols": symbols[:4]})
    return out


def profile_points(points, args, run_child, child_env, seconds: dict) -> list[dict]:
    """seconds: measured time of one call per point, to run each profile for about 8 s."""
    reason = perf_works()
    if reason:
        return [{"error": reason}]
    try:
        pythonpath = build_profile_copy(args.profile_build)
    except (subprocess.CalledProcessError, OSError) as exc:
        return [{"error": f"profile build failed: {exc}"}]
    results = []
    for point in points:
        data_file = Path(tempfile.mkdtemp(prefix="tacitor-perf-")) / "perf.data"
        # Several calls so that the denoising dominates start-up and input generation.
        runs = max(1, min(10, math.ceil(8.0 / seconds.get(point, 8.0))))
        spec = {"side": "tacitor", **asdict(point), "runs": runs}
        prefix = [
            "perf",
            "record",
            "-q",
            "-e",
            "cpu-clock",
            "-F",
            "499",
            "--call-graph",
            "dwarf,16384",
            "-o",
            str(data_file),
            "--",
        ]
        env = child_env("tacitor", pythonpath=str(pythonpath))
        env["OPENBLAS_NUM_THREADS"] = "1"  # numpy's idle BLAS threads out of the samples
        measured = run_child(["--child", json.dumps(spec)], env, 1800, prefix=prefix)
        entry: dict = {"point": asdict(point), "run": measured}
        if "error" in measured:
            entry["error"] = measured["error"]
            results.append(entry)
            continue
        report = subprocess.run(
            [
                "perf",
                "report",
                "-i",
                str(data_file),
                "--children",
                "--sort",
                "symbol",
                "--stdio",
                "-g",
                "none",
                "--percent-limit",
                "0.2",
                "--inline",
            ],
            capture_output=True,
            text=True,
        )
        rows = parse_report(report.stdout)
        entry["phases"] = phase_breakdown(point.method, rows)
        entry["context"] = [
            {"part": name, "inclusive_pct": inclusive_share(rule, rows)[0]}
            for name, rule in CONTEXT
        ]
        entry["top_self"] = sorted(
            ((self_pct, symbol) for _, self_pct, symbol in rows), reverse=True
        )[:15]
        entry["samples_note"] = (
            "percentages are of all CPU-clock samples of the child "
            "process: start-up, input generation and the timed calls"
        )
        results.append(entry)
        shutil.rmtree(data_file.parent, ignore_errors=True)
    return results
