"""``tacitor denoise``: read an array, denoise its series, write the result."""

from __future__ import annotations

import argparse
import sys
import time
import types
from collections.abc import Callable

from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import EXIT_FAILURE, CliError, is_internal_failure
from .formats import DEFAULT_NPZ_KEY, TEXT_FORMATS, describe, format_of, read_table, write_table
from .native_stderr import HeldStderr
from .output import check_output_path, write_atomically
from .work import WorkSize, plural, uncovered_positions, worker_threads

# Command-line name → (function of the native module, name for messages).
METHODS = {
    "linear": ("denoise_linear_regression", "linear regression"),
    "tree": ("denoise_decision_tree", "regression tree"),
}


def note(message: str) -> None:
    print(f"tacitor: {message}", file=sys.stderr)


def import_native() -> types.ModuleType:
    """The native module, imported only when needed so --help and --version always work."""
    try:
        import tacitor
    except ImportError as e:
        raise CliError(f"cannot import the native module tacitor: {e}", EXIT_FAILURE) from None
    return tacitor


def in_flag_names(message: str) -> str:
    """A message of the native module with its argument names replaced by this tool's flags."""
    return message.replace("window_size", "--window")


def as_samples(array: npt.NDArray[Any], source: str, exact_input: bool) -> npt.NDArray[Any]:
    """The float32 matrix the native module takes, or a CliError saying why there is none.

    ``exact_input`` is true for binary inputs, whose values are converted with a notice when
    float32 cannot hold them exactly; text is decimal and is always rounded to float32.
    """
    if array.ndim != 2:
        raise CliError(
            f"{source} holds a {array.ndim}-D array of shape {array.shape}; tacitor needs a "
            "2-D array with one series per row (or per column, with --series-in-columns)"
        )
    kind = array.dtype.kind
    if kind == "f":
        if exact_input and array.dtype.itemsize > 4:
            note(f"note: converting {source} from {array.dtype} to float32; values keep about "
                 "7 significant digits")
    elif kind not in "biu":
        raise CliError(f"{source} holds values of type {array.dtype}; tacitor needs real numbers")
    return np.asarray(array, dtype=np.float32)


def check_work(samples: npt.NDArray[Any], method: str, window: int, stride: int,
               series_in_columns: bool) -> WorkSize:
    """Rejects, with advice, inputs the native call would refuse or fail on."""
    series, length = samples.shape
    if series == 0 or length == 0:
        layout = "time positions × series" if series_in_columns else "series × time positions"
        raise CliError(f"the input is empty ({series} × {length} {layout}); nothing to denoise")
    if window > length:
        hint = ""
        if not series_in_columns and series >= window:
            hint = "; if each column is a series, use --series-in-columns"
        raise CliError(f"--window ({window}) is larger than the series length ({length}){hint}")
    size = WorkSize(series, length, window, stride)
    if method == "linear" and size.training_rows < window:
        raise CliError(
            f"the linear method needs at least as many training rows as the window size "
            f"({window}), but {plural(size.windows, 'window')} × {series} series give "
            f"{size.training_rows}; use more series, a smaller --stride or a smaller --window"
        )
    gaps = uncovered_positions(length, window, stride)
    if gaps:
        lie = "lies" if gaps == 1 else "lie"
        note(f"note: --stride {stride} is larger than --window {window}: "
             f"{plural(gaps, 'time position')} of every series {lie} in no window and come "
             "out as NaN")
    return size


def run(args: argparse.Namespace) -> int:
    verbose: Callable[[str], None] = note if args.verbose else (lambda message: None)
    input_format = format_of(args.input, args.input_format, "--input-format")
    output_format = format_of(args.output, args.output_format, "--output-format")
    check_output_path(args.output, args.input, args.force)
    if args.key is not None and input_format != "npz":
        raise CliError("--key selects an array of an .npz input, but the input is not .npz")
    if args.skip_columns and input_format not in TEXT_FORMATS:
        raise CliError("--skip-columns and --index-column apply to text inputs only, but the "
                       f"input is .{input_format}")

    started = time.perf_counter()
    table = read_table(args.input, input_format, args.key, args.skip_columns)
    source = describe(args.input)
    samples = as_samples(table.array, source, exact_input=input_format not in TEXT_FORMATS)
    if args.series_in_columns:
        samples = samples.T
    read_time = time.perf_counter() - started
    binary_input = input_format not in TEXT_FORMATS
    stored = f"{input_format}, {table.array.dtype}" if binary_input else input_format
    verbose(f"read {source} ({stored}): {samples.shape[0]} series "
            f"× {samples.shape[1]} time positions in {read_time:.3f} s")

    size = check_work(samples, args.method, args.window, args.stride, args.series_in_columns)
    function_name, method_name = METHODS[args.method]
    verbose(f"work: {method_name}, window {args.window}, stride {args.stride}: "
            f"{size.describe()}; worker threads: {worker_threads()}")

    denoise = getattr(import_native(), function_name)
    started = time.perf_counter()
    held = HeldStderr()
    try:
        with held:
            result = denoise(samples, args.window, args.stride)
    except ValueError as e:
        # The module refuses unusable input (NaN or infinite values among it) with ValueError.
        raise CliError(in_flag_names(str(e))) from None
    except BaseException as e:
        if is_internal_failure(e) and held.text:
            verbose(f"diagnostic of the native module: {held.text.strip()}")
        raise
    verbose(f"denoised in {time.perf_counter() - started:.3f} s")

    if args.series_in_columns:
        result = result.T
    key = table.key or DEFAULT_NPZ_KEY
    header = table.header if output_format in TEXT_FORMATS else None
    row_labels = table.row_labels if output_format in TEXT_FORMATS else None
    started = time.perf_counter()
    write_atomically(
        args.output,
        lambda stream: write_table(stream, output_format, result, header, key, row_labels),
        binary=output_format not in TEXT_FORMATS,
    )
    target = "standard output" if args.output == "-" else f"'{args.output}'"
    verbose(f"wrote {target} ({output_format}) in {time.perf_counter() - started:.3f} s")
    return 0
