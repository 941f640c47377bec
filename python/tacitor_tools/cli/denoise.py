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

from .. import bridge, routing
from ..native_failure import NativeInternalError
from ..selection.combination import COMBINATION_DEFAULT
from .errors import EXIT_FAILURE, CliError
from .formats import (
    DEFAULT_NPZ_KEY,
    TEXT_FORMATS,
    Table,
    describe,
    format_of,
    read_table,
    write_table,
)
from .native_stderr import HeldStderr
from .output import check_output_path, write_atomically
from .work import WorkSize, plural, worker_threads

# How messages name the settings: by this tool's flags.
FLAGS = bridge.Names(
    window="--window",
    stride="--stride",
    method="--method",
    impute="--missing impute",
    solver="--solver",
    gram="--solver gram",
)
METHOD_NAMES = {"linear": "linear regression", "tree": "regression tree"}


def note(message: str) -> None:
    print(f"tacitor: {message}", file=sys.stderr)


def import_native() -> types.ModuleType:
    """The native module, imported only when needed so --help and --version always work."""
    try:
        import tacitor
    except ImportError as e:
        raise CliError(f"cannot import the native module tacitor: {e}", EXIT_FAILURE) from None
    return tacitor


def as_samples(array: npt.NDArray[Any], source: str, exact_input: bool) -> npt.NDArray[Any]:
    """The array, checked to be a 2-D array of real numbers, or a CliError saying why not.

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
            note(
                f"note: converting {source} from {array.dtype} to float32; values keep about "
                "7 significant digits"
            )
    elif kind not in "biu":
        raise CliError(f"{source} holds values of type {array.dtype}; tacitor needs real numbers")
    return bridge.as_float32(array)


def check_values(table: Table, samples: npt.NDArray[Any], source: str, missing: str | None) -> None:
    """Refuses infinite values, and missing ones unless they are to be filled, naming the
    first one's place in the file."""
    bad = np.isinf(samples) if missing is not None else ~np.isfinite(samples)
    if not bad.any():
        return
    row, column = (int(i) for i in np.argwhere(bad)[0])
    count = int(bad.sum())
    where = table.locate(row, column, source)
    if np.isinf(samples[row, column]):
        raise CliError(
            f"{where}: infinite value ({plural(count, 'value')} that cannot be "
            "denoised in all); only missing values can be filled in"
        )
    them = "it" if count == 1 else "them"
    raise CliError(
        f"{where}: missing value ({plural(count, 'missing value')} in all); "
        f"fill {them} first, or pass {FLAGS.impute} to impute {them}"
    )


def check_plan(
    samples: npt.NDArray[Any], settings: routing.Settings, series_in_columns: bool
) -> None:
    """Refuses, with advice, a window or stride the batch cannot be denoised with; notes
    the positions no window covers."""
    if settings.window_size == routing.AUTO:
        return
    series, length = samples.shape
    window, stride = int(settings.window_size), settings.stride
    try:
        bridge.check_plan(samples.shape, window, stride, settings.method, FLAGS)
    except ValueError as e:
        hint = ""
        if window > length and not series_in_columns and series >= window:
            hint = "; if each column is a series, use --series-in-columns"
        raise CliError(f"{e}{hint}") from None
    gaps = bridge.uncovered_positions(length, window, stride)
    if gaps:
        lie = "lies" if gaps == 1 else "lie"
        note(
            f"note: --stride {stride} is larger than --window {window}: "
            f"{plural(gaps, 'time position')} of every series {lie} in no window and come "
            "out as NaN"
        )


def denoise(
    samples: npt.NDArray[np.float32], settings: routing.Settings, verbose: Callable[[str], None]
) -> npt.NDArray[np.float32]:
    """The batch through the library's road: the window chosen if asked, gaps filled if
    asked, the native call; refusals as CliError."""
    held = HeldStderr()
    try:
        with held:
            choice = routing.choose(samples, settings)
            if choice.selection is not None:
                report_selection(choice, settings, verbose)
            size = WorkSize(samples.shape[0], samples.shape[1], choice.window_size, choice.stride)
            verbose(
                f"work: {METHOD_NAMES[settings.method]}, window {choice.window_size}, "
                f"stride {choice.stride}: {size.describe()}; worker threads: "
                f"{worker_threads()}"
            )
            started = time.perf_counter()
            result = routing.apply(samples, settings, choice)
    except ValueError as e:
        raise CliError(str(e)) from None
    except NativeInternalError as e:
        if held.text:
            verbose(f"diagnostic of the native module: {held.text.strip()}")
        raise CliError(f"internal failure: {e.text}", EXIT_FAILURE) from None
    verbose(f"denoised in {time.perf_counter() - started:.3f} s")
    return result


def report_selection(
    choice: routing.Choice, settings: routing.Settings, verbose: Callable[[str], None]
) -> None:
    selection: Any = choice.selection
    if settings.window_size == routing.AUTO:
        rate = selection.slower_rate
        slower = (
            ""
            if rate is None
            else f", learnt at 1/{rate.factor} of the rate: window {rate.window_size}"
        )
        verbose(
            f"selected window {selection.window_size} (stride {selection.stride}){slower}: "
            f"estimated gain {selection.gain_db:.1f} dB, blend weight "
            f"{selection.blend_weight:.2f}"
        )
    for warning in selection.warnings:
        note(f"note: {warning}")


def run(args: argparse.Namespace) -> int:
    verbose: Callable[[str], None] = note if args.verbose else (lambda message: None)
    input_format = format_of(args.input, args.input_format, "--input-format")
    output_format = format_of(args.output, args.output_format, "--output-format")
    check_output_path(args.output, args.input, args.force)
    if args.key is not None and input_format != "npz":
        raise CliError("--key selects an array of an .npz input, but the input is not .npz")
    if args.skip_columns and input_format not in TEXT_FORMATS:
        raise CliError(
            "--skip-columns and --index-column apply to text inputs only, but the "
            f"input is .{input_format}"
        )

    if args.window is None and args.model is None:
        raise CliError("--window is required unless --model is given")
    if args.window is not None and args.model is not None:
        raise CliError("--window and --model exclude each other: the model has its window")
    for flag, value in (("--solver", args.solver), ("--combination", args.combination)):
        if value is not None and args.model is not None:
            raise CliError(
                f"{flag} and --model exclude each other: the model's estimators are trained already"
            )
    import_native()
    started = time.perf_counter()
    table = read_table(args.input, input_format, args.key, args.skip_columns)
    source = describe(args.input)
    samples = as_samples(table.array, source, exact_input=input_format not in TEXT_FORMATS)
    if args.series_in_columns:
        samples = samples.T
    read_time = time.perf_counter() - started
    binary_input = input_format not in TEXT_FORMATS
    stored = f"{input_format}, {table.array.dtype}" if binary_input else input_format
    verbose(
        f"read {source} ({stored}): {samples.shape[0]} series "
        f"× {samples.shape[1]} time positions in {read_time:.3f} s"
    )

    if args.model is not None:
        from .model import apply_model

        result = apply_model(args, samples)
    else:
        try:
            settings = routing.Settings(
                args.method,
                args.window,
                args.stride,
                args.missing,
                FLAGS,
                args.blend,
                args.solver or bridge.SOLVER_DEFAULT,
                args.combination or COMBINATION_DEFAULT,
            ).checked()
        except ValueError as e:
            raise CliError(str(e)) from None
        check_values(table, samples.T if args.series_in_columns else samples, source, args.missing)
        check_plan(samples, settings, args.series_in_columns)
        result = denoise(samples, settings, verbose)

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
