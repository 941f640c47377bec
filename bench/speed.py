"""Speed and memory of tacitor against the NumPy + scikit-learn peer (bench/peer.py).

Every measurement runs in a fresh child process of this script, one per (grid point, side),
so that its peak resident set size (``ru_maxrss``) belongs to that side alone and no warm
cache or pool carries over. Both sides build the same input from the same seed; the child
reports a checksum of it so the parent can verify that.

    python bench/speed.py            # full grid, writes bench/RESULTS.md and bench/results.json
    python bench/speed.py --quick    # a tiny smoke run (writes into a temporary directory)

See bench/README.md for the method, the cost model used to skip points and the caveats.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import resource
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

SERIES = (1, 64, 1024)
LENGTHS = (1024, 16384)
WINDOWS = (4, 16, 64)
METHODS = ("linear", "tree")
MAX_ROWS = 20_000_000
# A point whose single call is estimated above this is skipped for that side.
MAX_SINGLE_RUN_S = 60.0
# The peer's estimated working memory above this is skipped (the machine has 24 GiB); tacitor
# is skipped only where its own pre-flight estimate would refuse the call.
MAX_MEMORY_BYTES = 16 * 2**30
# The peer's BLAS is slowed by these on some processors; unset for its process only.
OPENBLAS_OVERRIDES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


# ----------------------------------------------------------------------------- grid & costs


@dataclass(frozen=True)
class Point:
    method: str
    series: int
    length: int
    window: int
    stride: int

    @property
    def n_windows(self) -> int:
        span = self.length - self.window
        return -(-span // self.stride) + 1  # ceil(span / stride) + 1

    @property
    def rows(self) -> int:
        return self.n_windows * self.series

    @property
    def key(self) -> str:
        return f"{self.method} S={self.series} L={self.length} w={self.window} s={self.stride}"

    def cost_units(self) -> float:
        """Work of one call, up to a constant per side and method.

        Linear: w fits, each an SVD of a rows x (w - 1) matrix, about rows * w^2 each; at small
        w copying and allocating dominate, which the same-window calibration absorbs.
        Tree: w fits, each presorting w - 1 columns and scanning them level by level,
        about rows * w * log2(rows) each.
        """
        w, rows = self.window, self.rows
        if self.method == "linear":
            return w * rows * float(w * w)
        return w * rows * w * max(1.0, math.log2(rows))

    def peer_memory_bytes(self) -> int:
        """Rough working set of the peer: the windowed data plus two concurrent training sets
        with the solver's copies (LinearRegression centres a copy and lstsq copies again)."""
        return self.rows * self.window * 4 * 8

    def tacitor_refusal(self) -> str | None:
        """The MemoryError text tacitor's own pre-flight check would raise for this shape here,
        or None. The estimate is the engine's (tacitor_tools._native.memory_estimate), so the
        bench skips exactly what a call would refuse and never re-models its footprint."""
        from tacitor_tools import _native

        return _native.memory_estimate(
            self.method, self.series, self.length, self.window, self.stride
        ).refusal


def parse_point(text: str) -> Point:
    """'tree 64 16384 4 1' (method, series, length, window, stride) as a Point."""
    method, *numbers = text.replace(",", " ").split()
    if method not in METHODS or len(numbers) != 4:
        raise SystemExit(f"--only wants 'METHOD S L w stride', got {text!r}")
    return Point(method, *(int(v) for v in numbers))


def grid(quick: bool) -> list[Point]:
    if quick:
        return [Point(m, 16, 512, w, st) for m in METHODS for w in (4, 8) for st in (1, w // 2)]
    return [
        Point(m, s, n, w, st)
        for m in METHODS
        for s in SERIES
        for n in LENGTHS
        for w in WINDOWS
        for st in (1, w // 2)
    ]


def make_samples(series: int, length: int):
    """Noisy sums of sines, float32; identical in every process for the same shape."""
    import numpy as np

    rng = np.random.default_rng(series * 1_000_003 + length)
    t = np.arange(length, dtype=np.float64)
    freq = rng.uniform(0.002, 0.05, size=(series, 1))
    phase = rng.uniform(0, 2 * np.pi, size=(series, 1))
    clean = np.sin(2 * np.pi * freq * t + phase) + 0.5 * np.sin(2 * np.pi * 3.1 * freq * t)
    return (clean + 0.3 * rng.standard_normal((series, length))).astype(np.float32)


# ----------------------------------------------------------------------------- child side


def _maxrss_kib() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux


def child_main(spec: dict) -> None:
    import numpy as np

    samples = make_samples(spec["series"], spec["length"])
    if spec["side"] in ("tacitor", "landed"):
        import tacitor

        fn = getattr(
            tacitor,
            "denoise_linear_regression" if spec["method"] == "linear" else "denoise_decision_tree",
        )

        def call():
            return fn(samples, spec["window"], spec["stride"])
    else:
        sys.path.insert(0, str(HERE))
        import peer

        jobs = spec.get("jobs", -1)
        if spec["method"] == "linear":

            def call():
                return peer.denoise_linear_regression(
                    samples, spec["window"], spec["stride"], n_jobs=jobs
                )
        else:

            def call():
                return peer.denoise_decision_tree(
                    samples,
                    spec["window"],
                    spec["stride"],
                    n_jobs=jobs,
                    max_depth=spec["max_depth"],
                )

    rss_before = _maxrss_kib()
    times: list[float] = []
    warmup = None
    begin = time.perf_counter()
    out = call()
    first = time.perf_counter() - begin
    if first >= 1.0 or spec.get("runs") == 1:
        times.append(first)  # long enough that start-up effects are noise
        wanted = spec.get("runs") or 3
    else:
        # Short calls: the first one is a warm-up; then enough runs for about 1.5 s in total.
        warmup = first
        wanted = spec.get("runs") or int(min(31, max(5, math.ceil(1.5 / max(first, 1e-4)))))
    # A call far slower than estimated stops after what it has, rather than the whole grid.
    stop_after = spec.get("stop_after_s", math.inf)
    while len(times) < wanted and sum(times) < stop_after:
        begin = time.perf_counter()
        out = call()
        times.append(time.perf_counter() - begin)
    result = {
        "times": times,
        "warmup_s": warmup,
        "rss_before_kib": rss_before,
        "rss_peak_kib": _maxrss_kib(),
        "input_bytes": int(samples.nbytes),
        "input_checksum": float(np.float64(samples.astype(np.float64).sum())),
        "output_nan": int(np.isnan(out).sum()),
        "output_checksum": float(np.nansum(out.astype(np.float64))),
    }
    print("RESULT " + json.dumps(result), flush=True)


def info_main() -> None:
    """Versions and the BLAS kernel as the peer's process sees them."""
    import joblib
    import numpy as np
    import scipy
    import sklearn
    from threadpoolctl import threadpool_info

    np.linalg.svd(np.ones((64, 64)))  # make sure the BLAS/LAPACK libraries are loaded
    print(
        "RESULT "
        + json.dumps(
            {
                "python": platform.python_version(),
                "numpy": np.__version__,
                "scipy": scipy.__version__,
                "sklearn": sklearn.__version__,
                "joblib": joblib.__version__,
                "threadpools": threadpool_info(),
            }
        ),
        flush=True,
    )


# ----------------------------------------------------------------------------- parent side


def _cpu_busy_jiffies() -> tuple[int, int]:
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    idle = fields[3] + fields[4]
    return sum(fields[:8]) - idle, sum(fields[:8])


def _children_cpu_s() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def child_env(side: str, threads: int | None = None, pythonpath: str | None = None) -> dict:
    env = dict(os.environ)
    if side == "peer":
        for name in OPENBLAS_OVERRIDES:
            env.pop(name, None)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath + os.pathsep + env.get("PYTHONPATH", "")
    return env


def run_child(
    args: list[str], env: dict, timeout: float, prefix: list[str] = (), python: str | None = None
) -> dict:
    """Runs this script in child mode (with `python`, by default this interpreter); returns
    its RESULT record or {"error": text}."""
    cmd = [*prefix, python or sys.executable, str(Path(__file__).resolve()), *args]
    proc = subprocess.Popen(
        cmd,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)  # our own child's session only
        proc.communicate()
        return {"error": f"timed out after {timeout:.0f} s"}
    for line in out.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT ") :])
    tail = (err.strip().splitlines() or ["no output"])[-1]
    return {"error": f"exit {proc.returncode}: {tail}"}


@dataclass
class Measurement:
    point: dict
    side: str
    median_s: float | None = None
    min_s: float | None = None
    max_s: float | None = None
    runs: int = 0
    samples_per_s: float | None = None
    rss_peak_mib: float | None = None
    rss_baseline_mib: float | None = None
    input_mib: float | None = None
    input_checksum: float | None = None
    output_checksum: float | None = None
    output_nan: int | None = None
    estimated_s: float | None = None
    foreign_cpu: float | None = None
    load_avg: float | None = None
    skipped: str | None = None


class Calibration:
    """Estimates one call's time from the measured point of the same side and method that is
    nearest in the cost model: the same window width if one was measured (the model's window
    dependence is the roughest part), then the closest cost. Points run cheapest first, so the
    reference is usually a slightly cheaper neighbour."""

    def __init__(self) -> None:
        self.measured: dict[tuple[str, str], list[tuple[Point, float]]] = {}

    def estimate(self, side: str, point: Point) -> float | None:
        refs = self.measured.get((side, point.method))
        if not refs:
            return None
        same_window = [r for r in refs if r[0].window == point.window]
        units = point.cost_units()
        ref, seconds = min(
            same_window or refs, key=lambda r: abs(math.log(r[0].cost_units() / units))
        )
        return seconds * units / ref.cost_units()

    def record(self, side: str, point: Point, seconds: float) -> None:
        self.measured.setdefault((side, point.method), []).append((point, seconds))


def measure(
    point: Point,
    side: str,
    calib: Calibration,
    args,
    deadline: float,
    threads: int | None = None,
    jobs: int = -1,
    runs: int | None = None,
    max_depth: int | None = None,
) -> Measurement:
    m = Measurement(point=asdict(point), side=side)
    est = calib.estimate(side, point)
    m.estimated_s = est
    if point.rows > MAX_ROWS:
        m.skipped = f"{point.rows:,} training rows > {MAX_ROWS:,}"
        return m
    if side == "peer" and point.peer_memory_bytes() > MAX_MEMORY_BYTES:
        m.skipped = f"estimated memory {point.peer_memory_bytes() / 2**30:.1f} GiB too large"
        return m
    refusal = point.tacitor_refusal() if side == "tacitor" else None
    if refusal is not None:
        m.skipped = f"tacitor would refuse: {refusal}"
        return m
    if est is not None and est > args.max_run:
        m.skipped = f"estimated {est:.0f} s per call > {args.max_run:.0f} s limit"
        return m
    remaining = deadline - time.monotonic()
    if est is not None and 3 * est > remaining:
        m.skipped = f"time budget exhausted (estimated {3 * est:.0f} s, {remaining:.0f} s left)"
        return m
    spec = {
        "side": side,
        **asdict(point),
        "max_depth": max_depth or args.peer_max_depth,
        "jobs": jobs,
    }
    if runs:
        spec["runs"] = runs
    spec["stop_after_s"] = 3 * args.max_run
    timeout = 6 * args.max_run + 120
    busy0, total0 = _cpu_busy_jiffies()
    ours0 = _children_cpu_s()
    wall0 = time.monotonic()
    m.load_avg = os.getloadavg()[0]
    # The landed engine is the tacitor child run by another venv's interpreter.
    python = args.landed_python if side == "landed" else None
    result = run_child(
        ["--child", json.dumps(spec)], child_env(side, threads), timeout, python=python
    )
    wall = time.monotonic() - wall0
    busy1, total1 = _cpu_busy_jiffies()
    hz = os.sysconf("SC_CLK_TCK")
    others = (busy1 - busy0) / hz - (_children_cpu_s() - ours0)
    m.foreign_cpu = max(0.0, others / (wall * (os.cpu_count() or 1)))
    if "error" in result:
        m.skipped = "failed: " + result["error"]
        return m
    times = sorted(result["times"])
    m.runs = len(times)
    m.median_s = (
        times[len(times) // 2]
        if len(times) % 2
        else 0.5 * (times[len(times) // 2 - 1] + times[len(times) // 2])
    )
    m.min_s, m.max_s = times[0], times[-1]
    m.samples_per_s = point.series * point.length / m.median_s
    m.rss_peak_mib = result["rss_peak_kib"] / 1024
    m.rss_baseline_mib = result["rss_before_kib"] / 1024
    m.input_mib = result["input_bytes"] / 2**20
    m.input_checksum = result["input_checksum"]
    m.output_checksum = result["output_checksum"]
    m.output_nan = result["output_nan"]
    calib.record(side, point, m.median_s)
    return m


# ----------------------------------------------------------------------------- environment


def machine_info(wheel_build: Path) -> dict:
    info: dict = {
        "platform": platform.platform(),
        "cores": os.cpu_count(),
        "affinity": len(os.sched_getaffinity(0)),
    }
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in lscpu.splitlines():
            key, _, value = line.partition(":")
            if key.strip() in (
                "Model name",
                "CPU family",
                "Model",
                "Hypervisor vendor",
                "L2 cache",
                "L3 cache",
            ):
                info["lscpu " + key.strip()] = value.strip()
    except OSError:
        pass
    with open("/proc/meminfo") as f:
        info["memory"] = f.readline().split(":", 1)[1].strip()
    info.update(compiler_info(wheel_build))
    info["openblas_overrides_set"] = {
        n: os.environ[n] for n in OPENBLAS_OVERRIDES if n in os.environ
    }
    return info


def compiler_info(wheel_build: Path) -> dict:
    """Compiler and the flags it actually received, from the wheel's build tree."""
    out: dict = {}
    cache = wheel_build / "CMakeCache.txt"
    if cache.exists():
        for line in cache.read_text().splitlines():
            for key in (
                "CMAKE_CXX_COMPILER:",
                "CMAKE_BUILD_TYPE:",
                "CMAKE_CXX_FLAGS:",
                "CMAKE_CXX_FLAGS_RELEASE:",
            ):
                if line.startswith(key):
                    out[key.rstrip(":")] = line.split("=", 1)[1]
        compiler = out.get("CMAKE_CXX_COMPILER")
        if compiler:
            ver = subprocess.run([compiler, "--version"], capture_output=True, text=True)
            out["compiler_version"] = ver.stdout.splitlines()[0] if ver.stdout else ""
    ninja = wheel_build / "build.ninja"
    if ninja.exists():
        text = ninja.read_text()
        for block in text.split("\nbuild "):
            if "tacitor_core" in block and "FLAGS = " in block:
                out["compile_flags"] = block.split("FLAGS = ", 1)[1].splitlines()[0].strip()
                break
    return out


def tacitor_threads_info() -> str:
    return os.environ.get("RAYON_NUM_THREADS", "unset (one worker per available CPU)")


# ----------------------------------------------------------------------------- main


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny smoke run")
    parser.add_argument(
        "--out-dir",
        type=Path,
        default=None,
        help="where RESULTS.md and results.json go (default: bench/, or a "
        "temporary directory with --quick)",
    )
    parser.add_argument(
        "--budget-min",
        type=float,
        default=25.0,
        help="wall-clock budget of the main grid in minutes",
    )
    parser.add_argument(
        "--max-run",
        type=float,
        default=MAX_SINGLE_RUN_S,
        help="skip a side of a point whose one call is estimated above this",
    )
    parser.add_argument("--peer-max-depth", type=int, default=6)
    parser.add_argument("--wheel-build", type=Path, default=ROOT / "build" / "wheel")
    parser.add_argument("--profile-build", type=Path, default=ROOT / "build" / "bench-profile")
    parser.add_argument("--no-profile", action="store_true")
    parser.add_argument(
        "--landed-python",
        default=None,
        help="interpreter of a second venv holding an earlier build of tacitor; "
        "its times become a third side, 'landed', beside the current build",
    )
    parser.add_argument(
        "--only",
        action="append",
        default=[],
        metavar="POINT",
        help="measure only these points, e.g. 'tree 64 16384 4 1' (method S L w "
        "stride); repeatable; skips the scaling and profile runs",
    )
    parser.add_argument(
        "--methods",
        default=None,
        metavar="LIST",
        help="measure only the grid points of these methods, e.g. 'linear' or "
        "'linear,tree' (comma-separated)",
    )
    parser.add_argument(
        "--runs",
        type=int,
        default=None,
        help="time exactly this many calls per point and side, without a warm-up (e.g. 1 for "
        "points whose one call takes minutes)",
    )
    parser.add_argument(
        "--sides",
        default=None,
        metavar="LIST",
        help="measure only these sides, e.g. 'tacitor' (comma-separated: tacitor, landed, peer)",
    )
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--info", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child_main(json.loads(args.child))
        return
    if args.info:
        info_main()
        return

    import profile_tacitor  # noqa: F401  (bench/ is on sys.path as the script's directory)
    import report

    out_dir = args.out_dir or (
        Path(tempfile.mkdtemp(prefix="tacitor-bench-")) if args.quick else HERE
    )
    out_dir.mkdir(parents=True, exist_ok=True)
    started = time.time()
    env_info = machine_info(args.wheel_build)
    env_info["peer"] = run_child(["--info"], child_env("peer"), 120)
    env_info["tacitor_threads"] = tacitor_threads_info()
    env_info["load_at_start"] = os.getloadavg()
    print(
        f"machine: {env_info.get('cpu')} x{env_info['cores']}, load {os.getloadavg()}", flush=True
    )

    calib = Calibration()
    deadline = time.monotonic() + (2.0 if args.quick else args.budget_min) * 60
    # Cheapest first, by the time estimated from what has been measured so far (a method not
    # yet measured goes first), so the budget cuts the most expensive points off the end.
    points = [parse_point(text) for text in args.only] if args.only else grid(args.quick)
    if args.methods:
        wanted = {name.strip() for name in args.methods.split(",") if name.strip()}
        unknown = wanted - set(METHODS)
        if unknown:
            raise SystemExit(f"--methods: unknown method(s) {', '.join(sorted(unknown))}")
        points = [p for p in points if p.method in wanted]
    sides: tuple[str, ...] = (
        ("tacitor", "landed", "peer") if args.landed_python else ("tacitor", "peer")
    )
    if args.sides:
        wanted_sides = {name.strip() for name in args.sides.split(",") if name.strip()}
        if not wanted_sides <= set(sides):
            raise SystemExit(f"--sides: choose among {', '.join(sides)}")
        sides = tuple(side for side in sides if side in wanted_sides)
    pending = sorted(points, key=lambda p: p.cost_units())
    results: list[Measurement] = []
    while pending:

        def expected(p: Point) -> float:
            guesses = [calib.estimate(side, p) for side in ("tacitor", "peer")]
            return 0.0 if None in guesses else max(guesses)

        point = min(pending, key=lambda p: (expected(p), p.cost_units()))
        pending.remove(point)
        for side in sides:
            m = measure(
                point,
                side,
                calib,
                args,
                deadline if not (args.quick or args.only) else math.inf,
                runs=args.runs,
            )
            results.append(m)
            status = (
                f"{m.median_s:8.3f} s x{m.runs}"
                if m.median_s is not None
                else f"skipped: {m.skipped}"
            )
            print(f"{point.key:40s} {side:8s} {status}", flush=True)

    # Thread scaling on two points per method, of different window widths, whose tacitor call
    # took closest to 3 s (long enough to time well, short enough to repeat at one thread).
    timed = [m for m in results if m.side == "tacitor" and m.median_s and not args.only]
    scaling_points = []
    for method in METHODS:
        near = sorted(
            (m for m in timed if m.point["method"] == method),
            key=lambda m: abs(math.log(m.median_s / (0.1 if args.quick else 3.0))),
        )
        windows_taken: set[int] = set()
        for m in near:  # two points of different window widths
            if m.point["window"] not in windows_taken and len(windows_taken) < 2:
                windows_taken.add(m.point["window"])
                scaling_points.append(Point(**m.point))
    scaling: list[dict] = []
    for point in scaling_points:
        row: dict = {"point": asdict(point)}
        for threads in (1, 2):
            m = measure(point, "tacitor", calib, args, math.inf, threads=threads)
            row[f"tacitor_{threads}"] = asdict(m)
        for jobs in (1, 2):
            m = measure(point, "peer", calib, args, math.inf, jobs=jobs)
            row[f"peer_{jobs}"] = asdict(m)
        if point.method == "tree":
            # The other reading of the depth limit: every node of the last searched level split.
            m = measure(point, "peer", calib, args, math.inf, max_depth=args.peer_max_depth + 1)
            row["peer_deeper"] = asdict(m)
        scaling.append(row)
        print(
            f"scaling {point.key}: "
            + ", ".join(f"{k}={v['median_s']}" for k, v in row.items() if k != "point"),
            flush=True,
        )

    profiles: list[dict] = []
    if not (args.no_profile or args.only):
        profile_points = (
            [Point("linear", 16, 512, 8, 1), Point("tree", 16, 512, 8, 1)]
            if args.quick
            else [
                Point("linear", 64, 16384, 16, 8),
                Point("linear", 1024, 1024, 64, 32),
                Point("tree", 64, 1024, 16, 1),
            ]
        )
        seconds = {
            Point(**m.point): m.median_s for m in results if m.side == "tacitor" and m.median_s
        }
        profiles = profile_tacitor.profile_points(
            profile_points, args, run_child, child_env, seconds
        )

    env_info["load_at_end"] = os.getloadavg()
    env_info["elapsed_s"] = time.time() - started
    env_info["started_utc"] = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(started))
    data = {
        "environment": env_info,
        "measurements": [asdict(m) for m in results],
        "scaling": scaling,
        "profiles": profiles,
        "peer_tree_max_depth": args.peer_max_depth,
        "quick": args.quick,
    }
    (out_dir / "results.json").write_text(json.dumps(data, indent=1))
    (out_dir / "RESULTS.md").write_text(report.render(data))
    print(
        f"wrote {out_dir / 'RESULTS.md'} and {out_dir / 'results.json'} "
        f"in {env_info['elapsed_s'] / 60:.1f} min",
        flush=True,
    )


if __name__ == "__main__":
    main()
