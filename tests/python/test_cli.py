"""The ``tacitor`` console script, run as a user runs it: in a subprocess."""

from __future__ import annotations

import io
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tacitor
from tacitor_tools.cli import formats, main

TACITOR = Path(sys.executable).with_name("tacitor")
WINDOW, STRIDE = 8, 2


def run(*args: str, cwd: Path, stdin: bytes | None = None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [str(TACITOR), *args], cwd=cwd, input=stdin, capture_output=True, timeout=120, check=False
    )


def run_in_process(
    *args: str, cwd: Path, monkeypatch: pytest.MonkeyPatch, capfd: pytest.CaptureFixture[bytes]
) -> subprocess.CompletedProcess[bytes]:
    """``run`` without the cost of starting an interpreter, for the many quick error cases."""
    monkeypatch.chdir(cwd)
    try:
        code = main.main(list(args))
    except SystemExit as e:  # argparse's usage errors
        code = int(e.code or 0)
    out, err = capfd.readouterr()
    return subprocess.CompletedProcess(list(args), code, out, err)


def noisy(series: int = 6, length: int = 60, seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    t = np.arange(length) / 9.0
    clean = np.sin(t + rng.uniform(0, 6, size=(series, 1)))
    return (clean + 0.3 * rng.standard_normal((series, length))).astype(np.float32)


def save(path: Path, array: np.ndarray, fmt: str) -> None:
    with open(path, "wb") as stream:
        formats.write_table(stream, fmt, array, None, "samples")


def load(path: Path, fmt: str, key: str | None = None) -> np.ndarray:
    return formats.read_table(str(path), fmt, key).array.astype(np.float32)


def assert_same(actual: np.ndarray, expected: np.ndarray) -> None:
    np.testing.assert_array_equal(actual, expected, strict=False)
    assert actual.shape == expected.shape


def assert_clean_failure(
    result: subprocess.CompletedProcess[bytes], fragment: str, directory: Path, before: set[str]
) -> None:
    """A failure is one line on stderr, no traceback, a non-zero code, no new files."""
    err = result.stderr.decode()
    assert result.returncode != 0, err
    assert "Traceback" not in err
    assert len(err.strip().splitlines()) == 1, err
    assert fragment in err, err
    assert {p.name for p in directory.iterdir()} == before


@pytest.mark.parametrize("fmt", formats.FORMATS)
@pytest.mark.parametrize("method", ["linear", "tree"])
def test_round_trip_matches_a_direct_call(tmp_path: Path, fmt: str, method: str) -> None:
    samples = noisy()
    source = tmp_path / f"in.{fmt}"
    save(source, samples, fmt)
    original = source.read_bytes()
    result = run(
        "denoise",
        source.name,
        "-o",
        f"out.{fmt}",
        "--method",
        method,
        "--window",
        str(WINDOW),
        "--stride",
        str(STRIDE),
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr.decode()
    assert result.stderr == b""
    function = (
        tacitor.denoise_linear_regression if method == "linear" else tacitor.denoise_decision_tree
    )
    assert_same(load(tmp_path / f"out.{fmt}", fmt), function(samples, WINDOW, STRIDE))
    assert source.read_bytes() == original
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([source.name, f"out.{fmt}"])


def test_series_in_columns_with_a_header(tmp_path: Path) -> None:
    samples = noisy(series=4, length=50)
    labels = [f"sensor{i}" for i in range(samples.shape[0])]
    (tmp_path / "in.csv").write_text(formats.format_text(samples.T, "csv", labels))
    result = run(
        "denoise",
        "in.csv",
        "-o",
        "out.tsv",
        "--series-in-columns",
        "-w",
        "6",
        "-s",
        "1",
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr.decode()
    written = (tmp_path / "out.tsv").read_text().splitlines()
    assert written[0].split("\t") == labels
    out, header = formats.parse_text("\n".join(written), "tsv", "out.tsv")
    assert header == labels
    assert_same(out.astype(np.float32).T, tacitor.denoise_linear_regression(samples, 6, 1))


def test_standard_streams_in_text_and_binary(tmp_path: Path) -> None:
    samples = noisy()
    expected = tacitor.denoise_linear_regression(samples, WINDOW, STRIDE)
    text = formats.format_text(samples, "csv", None).encode()
    result = run(
        "denoise", "-", "-o", "-", "-w", str(WINDOW), "-s", str(STRIDE), cwd=tmp_path, stdin=text
    )
    assert result.returncode == 0, result.stderr.decode()
    out, _ = formats.parse_text(result.stdout.decode(), "csv", "stdout")
    assert_same(out.astype(np.float32), expected)

    save(tmp_path / "in.npy", samples, "npy")
    result = run(
        "denoise",
        "-",
        "--input-format",
        "npy",
        "-o",
        "-",
        "--output-format",
        "npy",
        "-w",
        str(WINDOW),
        "-s",
        str(STRIDE),
        cwd=tmp_path,
        stdin=(tmp_path / "in.npy").read_bytes(),
    )
    assert result.returncode == 0, result.stderr.decode()
    assert_same(np.load(io.BytesIO(result.stdout)), expected)


def test_npz_keys(tmp_path: Path) -> None:
    first, second = noisy(seed=1), noisy(seed=2)
    np.savez(tmp_path / "runs.npz", first=first, second=second)
    before = {p.name for p in tmp_path.iterdir()}
    result = run("denoise", "runs.npz", "-o", "out.npz", "-w", "4", cwd=tmp_path)
    assert_clean_failure(result, "keys: first, second", tmp_path, before)
    result = run("denoise", "runs.npz", "--key", "third", "-o", "out.npz", "-w", "4", cwd=tmp_path)
    assert_clean_failure(result, "no array 'third'", tmp_path, before)

    result = run("denoise", "runs.npz", "--key", "second", "-o", "out.npz", "-w", "4", cwd=tmp_path)
    assert result.returncode == 0, result.stderr.decode()
    with np.load(tmp_path / "out.npz") as archive:
        assert archive.files == ["second"]
        assert_same(archive["second"], tacitor.denoise_linear_regression(second, 4, 1))


def test_conversion_notices(tmp_path: Path) -> None:
    samples = noisy()
    np.save(tmp_path / "wide.npy", samples.astype(np.float64) + 1e-9)
    result = run("denoise", "wide.npy", "-o", "out.npy", "-w", "4", cwd=tmp_path)
    assert result.returncode == 0
    assert "float64 to float32" in result.stderr.decode()
    converted = (samples.astype(np.float64) + 1e-9).astype(np.float32)
    assert_same(np.load(tmp_path / "out.npy"), tacitor.denoise_linear_regression(converted, 4, 1))

    integers = np.arange(6 * 40, dtype=np.int64).reshape(6, 40) % 7
    np.save(tmp_path / "counts.npy", integers)
    result = run("denoise", "counts.npy", "-o", "counts.csv", "-w", "4", "-m", "tree", cwd=tmp_path)
    assert result.returncode == 0
    assert result.stderr == b""
    expected = tacitor.denoise_decision_tree(integers.astype(np.float32), 4, 1)
    assert_same(load(tmp_path / "counts.csv", "csv"), expected)


def test_gaps_are_announced_and_nan(tmp_path: Path) -> None:
    samples = noisy(series=8, length=10)
    save(tmp_path / "in.npy", samples, "npy")
    # Length 10, window 3, stride 4: windows [0,3), [4,7), [7,10) leave position 3 uncovered.
    result = run("denoise", "in.npy", "-o", "out.npy", "-w", "3", "-s", "4", cwd=tmp_path)
    assert result.returncode == 0
    assert "1 time position of every series lies in no window" in result.stderr.decode()
    out = np.load(tmp_path / "out.npy")
    assert np.isnan(out).any(axis=0).tolist() == [t == 3 for t in range(10)]


def test_force_verbose_and_version(tmp_path: Path) -> None:
    save(tmp_path / "in.npy", noisy(), "npy")
    (tmp_path / "out.npy").write_bytes(b"old")
    result = run(
        "denoise", "in.npy", "-o", "out.npy", "-w", "5", "--force", "--verbose", cwd=tmp_path
    )
    assert result.returncode == 0
    err = result.stderr.decode()
    assert "56 windows × 6 series = 336 training rows × 4 features" in err
    assert "denoised in" in err
    assert np.load(tmp_path / "out.npy").shape == (6, 60)

    result = run("--version", cwd=tmp_path)
    from importlib.metadata import version

    assert result.stdout.decode().strip() == f"tacitor {version('tacitor')}"
    result = run("denoise", "--help", cwd=tmp_path)
    assert result.returncode == 0 and b"examples:" in result.stdout


ERRORS = [
    # (files to create, arguments, expected fragment of the message)
    ({}, ["missing.npy", "-o", "out.npy", "-w", "4"], "'missing.npy': no such file"),
    (
        {"folder.csv/": None},
        ["folder.csv", "-o", "out.csv", "-w", "4"],
        "cannot read 'folder.csv': it is a directory",
    ),
    (
        {"folder.npy/": None},
        ["folder.npy", "-o", "out.npy", "-w", "4"],
        "cannot read 'folder.npy': it is a directory",
    ),
    (
        {"in.csv": "1,2,3\n4,x,6\n"},
        ["in.csv", "-o", "out.csv", "-w", "2"],
        "line 2, column 2: 'x' is not a number",
    ),
    # Empty cells are missing values, refused at their place unless they are to be imputed.
    (
        {"in.csv": "1,2,3\n4,,6\n"},
        ["in.csv", "-o", "out.csv", "-w", "2"],
        "'in.csv', line 2, column 2: missing value (1 missing value in all); fill it first, "
        "or pass --missing impute",
    ),
    (
        {"in.csv": "t;a\n0;1\n"},
        ["in.csv", "-o", "out.csv", "-w", "2", "--index-column", "--series-in-columns"],
        "has 1 column, all of them skipped as labels; there are no values left to denoise; the "
        "values seem separated by ';'",
    ),
    (
        {"in.csv": "1,2,3\n4,5,-inf\n"},
        ["in.csv", "-o", "out.csv", "-w", "2", "--missing", "impute"],
        "line 2, column 3: infinite value",
    ),
    (
        {"in.csv": "1;2;3\n4;5;6\n"},
        ["in.csv", "-o", "out.csv", "-w", "2"],
        "'4;5;6' is not a number; the values seem separated by ';', which tacitor does not read",
    ),
    (
        {"in.csv": "1\t2\t3\n4\t5\t6\n"},
        ["in.csv", "-o", "out.csv", "-w", "2"],
        "seem separated by tabs, but .csv is read with commas; read the file with "
        "--input-format tsv",
    ),
    ({"in.txt": "1,2,3\n4,5,6\n"}, ["in.txt", "-o", "out.txt", "-w", "2"], "--input-format csv"),
    (
        {"in.csv": "a;b\n1,5;2,5\n"},
        ["in.csv", "-o", "out.csv", "-w", "2"],
        "the header has 1 label but line 2 has 3 values; the values seem separated by ';'",
    ),
    (
        {"in.csv": "2024-01-01,1,2\n2024-01-02,4,5\n"},
        ["in.csv", "-o", "out.csv", "-w", "2"],
        "column 1: '2024-01-01' is not a number; if the first columns hold labels (such as "
        "dates, as in a file written by pandas), skip them with --index-column",
    ),
    (
        {"in.csv": "x,y,1,2\nz,w,4,5\n"},
        ["in.csv", "-o", "out.csv", "-w", "2", "--index-column"],
        "skip them with --skip-columns 2",
    ),
    (
        {"in.csv": "a,1\nb,2\n"},
        ["in.csv", "-o", "out.csv", "-w", "1", "--skip-columns", "2"],
        "has 2 columns, all of them skipped as labels",
    ),
    (
        {"in.npy": np.zeros((4, 10), np.float32)},
        ["in.npy", "-o", "out.npy", "-w", "2", "--index-column"],
        "text inputs only",
    ),
    (
        {"in.txt": "1 2 3\n4 5\n"},
        ["in.txt", "-o", "out.txt", "-w", "2"],
        "line 2: 2 values where line 1 has 3",
    ),
    (
        {"in.npy": np.array([[1, 2, 3], [4, np.nan, 6]], np.float32)},
        ["in.npy", "-o", "out.npy", "-w", "2"],
        "'in.npy', row 1, column 1 of the array",
    ),
    ({"in.csv": b"\xff\xfe\x00"}, ["in.csv", "-o", "out.csv", "-w", "2"], "not a UTF-8 text"),
    (
        {"in.npy": np.zeros((2, 3, 4), np.float32)},
        ["in.npy", "-o", "out.npy", "-w", "2"],
        "holds a 3-D array of shape (2, 3, 4)",
    ),
    (
        {"in.npy": np.zeros(30, np.float32)},
        ["in.npy", "-o", "out.npy", "-w", "2"],
        "holds a 1-D array",
    ),
    (
        {"in.npy": np.zeros((2, 3), np.complex64)},
        ["in.npy", "-o", "out.npy", "-w", "2"],
        "complex64",
    ),
    (
        {"in.npy": b"not numpy"},
        ["in.npy", "-o", "out.npy", "-w", "2"],
        "cannot read 'in.npy' as .npy: not a valid .npy file",
    ),
    (
        {"in.npz": b"not numpy"},
        ["in.npz", "-o", "out.npz", "-w", "2"],
        "cannot read 'in.npz' as .npz: not a valid .npz file",
    ),
    (
        {"in.npy": np.array([[1, None]], dtype=object)},
        ["in.npy", "-o", "out.npy", "-w", "2"],
        "it holds Python objects (dtype object)",
    ),
    (
        {"in.npy": np.zeros((10, 10), np.float32)},
        ["in.npy", "-o", "out.npy", "-w", "12"],
        "--window (12) is larger than the series length (10)",
    ),
    (
        {"in.npy": np.zeros((2, 40), np.float32)},
        ["in.npy", "-o", "out.npy", "-w", "20", "-s", "20"],
        "training rows",
    ),
    (
        {"in.npy": np.zeros((4, 40), np.float32)},
        ["in.npy", "-o", "out.npy", "-w", "40"],
        "but 1 window × 4 series give 4",
    ),
    (
        {"in.npy": np.zeros((0, 10), np.float32)},
        ["in.npy", "-o", "out.npy", "-w", "2"],
        "no series to denoise",
    ),
    (
        {"in.npy": np.zeros((4, 10), np.float32)},
        ["in.npy", "-o", "out.npy", "-w", "2", "-s", "0"],
        "--stride: must be at least 1",
    ),
    (
        {"in.npy": np.zeros((4, 10), np.float32)},
        ["in.npy", "-o", "out.npy", "-w", "0"],
        "--window: must be at least 1",
    ),
    (
        {"in.npy": np.zeros((4, 10), np.float32)},
        ["in.npy", "-o", "out.npy", "-w", "4294967296"],
        "must be at most 4294967295",
    ),
    (
        {"in.npy": np.zeros((4, 10), np.float32), "out.npy": "keep"},
        ["in.npy", "-o", "out.npy", "-w", "2"],
        "'out.npy' already exists; use --force",
    ),
    (
        {"in.npy": np.zeros((4, 10), np.float32)},
        ["in.npy", "-o", "in.npy", "-w", "2", "-f"],
        "is the input file",
    ),
    (
        {"in.npy": np.zeros((4, 10), np.float32)},
        ["in.npy", "-o", "nowhere/out.npy", "-w", "2"],
        "does not exist",
    ),
    (
        {"in.npy": np.zeros((4, 10), np.float32)},
        ["in.npy", "-o", "out.dat", "-w", "2"],
        "cannot tell the format of 'out.dat'",
    ),
    (
        {"in.npy": np.zeros((4, 10), np.float32)},
        ["in.npy", "-o", "out.npy", "-w", "2", "--key", "x"],
        "input is not .npz",
    ),
]


@pytest.mark.parametrize(("files", "args", "fragment"), ERRORS, ids=[e[2][:40] for e in ERRORS])
def test_errors_are_one_line_and_leave_no_output(
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    capfdbinary: pytest.CaptureFixture[bytes],
    files: dict[str, object],
    args: list[str],
    fragment: str,
) -> None:
    for name, content in files.items():
        if name.endswith("/"):
            (tmp_path / name).mkdir()
        elif isinstance(content, np.ndarray):
            np.save(tmp_path / name, content, allow_pickle=content.dtype == object)
        else:
            data = content.encode() if isinstance(content, str) else content
            assert isinstance(data, bytes)
            (tmp_path / name).write_bytes(data)
    before = {p.name for p in tmp_path.iterdir()}
    contents = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    result = run_in_process(
        "denoise", *args, cwd=tmp_path, monkeypatch=monkeypatch, capfd=capfdbinary
    )
    assert_clean_failure(result, fragment, tmp_path, before)
    assert result.returncode == 2  # an input or command line that cannot be used
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == contents


@pytest.mark.parametrize("index_header", ["date", ""])
def test_a_pandas_csv_with_an_index_column(tmp_path: Path, index_header: str) -> None:
    # The layout of DataFrame.to_csv(): a header, then the index (here dates) before the
    # values; the header of an unnamed index is empty, and its columns may be numbers.
    samples = noisy(series=3, length=40)
    names = ["0", "1", "2"] if not index_header else ["a", "b", "c"]
    dates = [f"2024-01-{day:02d}" for day in range(1, 41)]
    lines = [",".join([index_header, *names])]
    lines += [",".join([date, *map(repr, map(float, row))]) for date, row in zip(dates, samples.T)]
    (tmp_path / "frame.csv").write_text("\n".join(lines) + "\n")
    result = run(
        "denoise",
        "frame.csv",
        "-o",
        "out.csv",
        "--index-column",
        "--series-in-columns",
        "-w",
        "5",
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr.decode()
    written = (tmp_path / "out.csv").read_text().splitlines()
    assert written[0] == lines[0]
    assert [line.split(",")[0] for line in written[1:]] == dates
    values = np.array([line.split(",")[1:] for line in written[1:]], dtype=np.float32)
    assert_same(values.T, tacitor.denoise_linear_regression(samples, 5, 1))


def test_worker_threads_are_reported_as_configured(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    save(tmp_path / "in.npy", noisy(), "npy")
    for variables, shown in [
        ({}, "one per available CPU"),
        ({"RAYON_RS_NUM_CPUS": "3"}, "RAYON_RS_NUM_CPUS=3"),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, "RAYON_NUM_THREADS=0"),
    ]:
        for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
            monkeypatch.delenv(name, raising=False)
        for name, value in variables.items():
            monkeypatch.setenv(name, value)
        code = main.main(
            [
                "denoise",
                str(tmp_path / "in.npy"),
                "-o",
                str(tmp_path / "o.npy"),
                "-w",
                "4",
                "--force",
                "--verbose",
            ]
        )
        assert code == 0
        assert f"; worker threads: {shown}\n" in capsys.readouterr().err


@pytest.mark.parametrize("verbose", [False, True])
def test_internal_failure_is_reported_as_one_line(
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    capfd: pytest.CaptureFixture[str],
    verbose: bool,
) -> None:
    # The checks of the tool keep known failures away from the native module; route a call
    # with stride 0 past them to get a genuine internal failure out of it.
    real = tacitor.denoise_linear_regression
    monkeypatch.setattr(
        tacitor,
        "denoise_linear_regression",
        lambda samples, window, stride: real(samples, window, 0),
    )
    save(tmp_path / "in.npy", noisy(), "npy")
    code = main.main(
        [
            "denoise",
            str(tmp_path / "in.npy"),
            "-o",
            str(tmp_path / "out.npy"),
            "-w",
            "4",
            *(["--verbose"] if verbose else []),
        ]
    )
    assert code == 1
    # Captured at the file descriptor: the native diagnostic is written there, not to
    # sys.stderr, and is held back unless --verbose asks for it.
    lines = capfd.readouterr().err.splitlines()
    assert lines[-1] == (
        "tacitor: error: internal failure: attempt to calculate the "
        "remainder with a divisor of zero"
    )
    diagnostics = [line for line in lines if "diagnostic of the native module" in line]
    assert len(diagnostics) == (1 if verbose else 0)
    if not verbose:
        assert len(lines) == 1
    assert not (tmp_path / "out.npy").exists()


def test_a_failed_write_leaves_no_file(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    from tacitor_tools.cli import denoise

    def write_half(stream, fmt, array, header, key, row_labels):  # type: ignore[no-untyped-def]
        stream.write(b"half of the result")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(denoise, "write_table", write_half)
    save(tmp_path / "in.npy", noisy(), "npy")
    (tmp_path / "out.npy").write_bytes(b"previous result")
    code = main.main(
        ["denoise", str(tmp_path / "in.npy"), "-o", str(tmp_path / "out.npy"), "-w", "4", "--force"]
    )
    assert code == 1
    assert "No space left on device" in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.npy", "out.npy"]
    assert (tmp_path / "out.npy").read_bytes() == b"previous result"


def test_plan_figures_of_the_messages_match_the_coverage_of_the_windows() -> None:
    from tacitor_tools.bridge import uncovered_positions, window_count

    for length in range(1, 25):
        for window in range(1, length + 1):
            for stride in range(1, length + 3):
                last = length - window
                starts = [*range(0, last, stride), last]
                covered = {t for start in starts for t in range(start, start + window)}
                assert window_count(length, window, stride) == len(starts)
                assert uncovered_positions(length, window, stride) == length - len(covered)


@pytest.mark.parametrize(
    "options",
    [
        ["-w", "8", "--missing", "impute"],
        ["-w", "auto", "--missing", "impute"],
        ["-w", "auto", "--blend"],
        ["-w", "8", "--blend", "-m", "tree"],
    ],
)
def test_the_tool_takes_the_road_of_the_library(
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    capfd: pytest.CaptureFixture[bytes],
    options: list[str],
) -> None:
    from tacitor_tools import routing

    samples = noisy(series=8, length=200)
    if "--missing" in options:
        samples[1, 5:9] = np.nan  # empty cells in the file
    (tmp_path / "in.csv").write_text(formats.format_text(samples, "csv", None).replace("nan", ""))
    result = run_in_process(
        "denoise",
        "in.csv",
        "-o",
        "out.csv",
        *options,
        cwd=tmp_path,
        monkeypatch=monkeypatch,
        capfd=capfd,
    )
    assert result.returncode == 0, result.stderr
    args = main.build_parser().parse_args(["denoise", "in.csv", "-o", "x", *options])
    settings = routing.Settings(
        args.method, args.window, args.stride, args.missing, blend=args.blend
    )
    assert_same(load(tmp_path / "out.csv", "csv"), routing.denoise(samples, settings))


def test_fit_saves_a_model_that_denoise_applies_to_later_files(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capfdbinary: pytest.CaptureFixture[bytes]
) -> None:
    import tacitor_tools

    save(tmp_path / "today.npy", noisy(8, 80), "npy")
    later = noisy(3, 50, seed=1)
    save(tmp_path / "later.csv", later, "csv")
    assert (
        run_in_process(
            "fit",
            "today.npy",
            "-o",
            "m.tacitor",
            "-w",
            "10",
            "-m",
            "tree",
            cwd=tmp_path,
            monkeypatch=monkeypatch,
            capfd=capfdbinary,
        ).returncode
        == 0
    )
    assert (
        run_in_process(
            "denoise",
            "later.csv",
            "-o",
            "out.npy",
            "--model",
            "m.tacitor",
            cwd=tmp_path,
            monkeypatch=monkeypatch,
            capfd=capfdbinary,
        ).returncode
        == 0
    )
    model = tacitor_tools.load(tmp_path / "m.tacitor", "tree")
    assert_same(load(tmp_path / "out.npy", "npy"), model.denoise(later))
    (tmp_path / "bad.tacitor").write_bytes(b"TACITORM\x01\0\0\0" + bytes(40))
    before = {p.name for p in tmp_path.iterdir()}
    for args, fragment in (
        (("--model", "bad.tacitor"), "checksum"),
        (("--model", "m.tacitor", "-w", "4"), "exclude each other"),
        ((), "--window is required"),
    ):
        result = run_in_process(
            "denoise",
            "later.csv",
            "-o",
            "x.npy",
            *args,
            cwd=tmp_path,
            monkeypatch=monkeypatch,
            capfd=capfdbinary,
        )
        assert_clean_failure(result, fragment, tmp_path, before)
