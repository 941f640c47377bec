"""The trained-denoiser commands: ``tacitor fit`` saves a model, ``denoise --model`` applies it."""

from __future__ import annotations

import argparse
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt

from .. import trained
from ..native_failure import NativeInternalError
from .denoise import FLAGS, as_samples, check_values, import_native
from .errors import EXIT_FAILURE, CliError
from .formats import TEXT_FORMATS, describe, format_of, read_table
from .output import check_output_path, write_atomically


def run_fit(args: argparse.Namespace) -> int:
    input_format = format_of(args.input, args.input_format, "--input-format")
    check_output_path(args.output, args.input, args.force)
    import_native()
    table = read_table(args.input, input_format, args.key, 0)
    source = describe(args.input)
    samples = as_samples(table.array, source, exact_input=input_format not in TEXT_FORMATS)
    check_values(table, samples, source, args.missing)
    if args.series_in_columns:
        samples = samples.T
    try:
        denoiser = trained.fit(
            np.ascontiguousarray(samples, dtype=np.float32),
            args.window,
            args.stride,
            method=args.method,
            missing=args.missing,
        )
    except ValueError as e:
        raise CliError(str(e).replace("window_size", FLAGS.window)) from None
    except NativeInternalError as e:
        raise CliError(f"internal failure: {e.text}", EXIT_FAILURE) from None
    data = denoiser.to_bytes()

    def write(stream: BinaryIO) -> None:
        stream.write(data)

    write_atomically(args.output, write, binary=True)
    return 0


def apply_model(args: argparse.Namespace, samples: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """``samples`` denoised by the model file ``args.model``; refusals as CliError."""
    try:
        denoiser = trained.load(args.model)
    except OSError as e:
        raise CliError(f"cannot read the model '{args.model}': {e.strerror}") from None
    except ValueError as e:
        raise CliError(f"'{args.model}': {e}") from None
    try:
        stride = None if args.stride == 1 else args.stride
        return denoiser.denoise(samples, stride, blend=args.blend)
    except ValueError as e:
        # The model decides the missing-value handling, set when it was fitted.
        text = str(e).replace("pass missing='impute'", "fit the model with --missing impute")
        raise CliError(text) from None
    except NativeInternalError as e:
        raise CliError(f"internal failure: {e.text}", EXIT_FAILURE) from None
