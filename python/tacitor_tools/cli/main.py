"""Entry point of the ``tacitor`` console script."""

from __future__ import annotations

import argparse
import os
import sys
from typing import NoReturn

from ..bridge import METHODS, SOLVER_DEFAULT, SOLVERS
from ..bridge import BLEND_DEFAULT
from ..selection.combination import COMBINATION_DEFAULT, COMBINATIONS
from .errors import EXIT_FAILURE, EXIT_USAGE, CliError, is_internal_failure
from .formats import FORMATS

MAX_COUNT = 2**32 - 1
AUTO = "auto"

DENOISE_EXAMPLES = """\
formats (chosen by extension, or by --input-format/--output-format):
  .npy  one array            .npz  named arrays (--key picks one)
  .csv  comma separated      .tsv  tab separated      .txt  white-space separated
  Text files hold numbers, one row per line (empty cells are missing values), with an
  optional header line of labels and '#' comment lines; --skip-columns N keeps the first
  N columns as row labels. '-' reads standard input or writes standard output (csv unless
  a format is given).

examples:
  tacitor denoise noisy.npy -o clean.npy --method linear --window 16 --stride 1
  tacitor denoise sensors.csv -o smooth.csv --series-in-columns --window 32 --stride 4
  tacitor denoise runs.npz --key trial3 -o trial3.npz --method tree --window 16 --stride 2
  cat noisy.tsv | tacitor denoise - --input-format tsv -o - --window 8 --stride 1 > out.tsv
  tacitor denoise frame.csv -o smooth.csv --index-column --series-in-columns --window 16
  tacitor denoise gappy.csv -o filled.csv --window auto --missing impute
"""

MAIN_EXAMPLES = """\
examples:
  tacitor denoise noisy.npy -o clean.npy --window 16 --stride 1
  tacitor demo
  tacitor denoise --help
"""


class Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line, like every other error."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _count(text: str) -> int:
    """A window size or stride: an integer from 1 to 2^32 - 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    if value > MAX_COUNT:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_COUNT}, not {value}")
    return value


def _window(text: str) -> int | str:
    """A window size, or "auto" to select it from the data."""
    return AUTO if text == AUTO else _count(text)


def _labels(text: str) -> int:
    """A count of label columns: a whole number from 0 up."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be at least 0, not {value}")
    return value


def _version() -> str:
    from .. import __version__

    return __version__


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="tacitor",
        description="Denoise batches of time series with windowed self-supervised regression.",
        epilog=MAIN_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"tacitor {_version()}")
    commands = parser.add_subparsers(
        dest="command", metavar="COMMAND", required=True, parser_class=Parser
    )

    denoise = commands.add_parser(
        "denoise",
        help="denoise the series stored in a file",
        description="Denoise every series of INPUT and write the result to OUTPUT, in the\n"
        "same layout. Rows are series and columns time positions, unless\n"
        "--series-in-columns is given.",
        epilog=DENOISE_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    denoise.add_argument("input", metavar="INPUT", help="file to read, or '-' for standard input")
    denoise.add_argument(
        "-o",
        "--output",
        metavar="OUTPUT",
        required=True,
        help="file to write, or '-' for standard output",
    )
    denoise.add_argument(
        "-m",
        "--method",
        choices=METHODS,
        default="linear",
        help="estimator per window position: linear regression or a depth-8 "
        "regression tree (default: linear)",
    )
    denoise.add_argument(
        "-w",
        "--window",
        type=_window,
        metavar="N|auto",
        help="window size: consecutive time positions per window, or 'auto' "
        "to choose it from the data (no clean reference needed); "
        "required unless --model is given",
    )
    denoise.add_argument(
        "--model",
        metavar="MODEL",
        help="apply the denoiser saved by 'tacitor fit' (its method, window, "
        "stride and missing-value setting) instead of training on INPUT",
    )
    denoise.add_argument(
        "-s",
        "--stride",
        type=_count,
        default=1,
        metavar="N",
        help="distance between window starts (default: 1); a stride larger "
        "than the window leaves NaN gaps",
    )
    denoise.add_argument(
        "--missing",
        choices=("impute",),
        default=None,
        help="'impute': fill missing values (empty cells, nan) from their "
        "neighbours and the denoised output; without it they are refused",
    )
    denoise.add_argument(
        "--blend",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="move the output back towards the input by the weight estimated "
        "from the data, keeping part of the input where denoising may "
        "not help (default: "
        f"{'on' if BLEND_DEFAULT else 'off'} with --window auto, off "
        "with a number)",
    )
    denoise.add_argument(
        "--combination",
        choices=COMBINATIONS,
        help="how the blend weighs the input: 'local' estimates the weight per "
        "series and stretch of time, keeping more of the input at steps and "
        "spikes the neighbours cannot predict; 'global' uses one weight "
        f"everywhere (default: {COMBINATION_DEFAULT})",
    )
    denoise.add_argument(
        "--solver",
        choices=SOLVERS,
        help="how the linear method solves its fits: 'exact' is the tacitor "
        "module's own call, bit for bit; 'gram' solves every window position "
        "from one Gram matrix of the windows, much faster for wide windows "
        f"and equal up to rounding (default: {SOLVER_DEFAULT})",
    )
    denoise.add_argument(
        "--series-in-columns",
        action="store_true",
        help="each column of the input is a series (rows are time positions)",
    )
    labels = denoise.add_mutually_exclusive_group()
    labels.add_argument(
        "--skip-columns",
        type=_labels,
        default=0,
        metavar="N",
        help="the first N columns of a text input hold row labels (names, "
        "dates); they are not denoised and are copied to a text output",
    )
    labels.add_argument(
        "--index-column",
        action="store_const",
        const=1,
        default=0,
        dest="skip_columns",
        help="the same as --skip-columns 1: the index column that pandas.DataFrame.to_csv writes",
    )
    denoise.add_argument(
        "--key", metavar="NAME", help="array to read from an .npz input (default: its only array)"
    )
    denoise.add_argument(
        "--input-format",
        choices=FORMATS,
        metavar="FMT",
        help=f"format of INPUT, overriding its extension ({', '.join(FORMATS)})",
    )
    denoise.add_argument(
        "--output-format",
        choices=FORMATS,
        metavar="FMT",
        help="format of OUTPUT, overriding its extension",
    )
    denoise.add_argument("-f", "--force", action="store_true", help="replace OUTPUT if it exists")
    denoise.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        help="report the size of the work and the time taken on stderr",
    )

    fit = commands.add_parser(
        "fit",
        help="train a denoiser on the series of a file and save it",
        description="Train the estimators of a method on every series of INPUT and save them\n"
        "to MODEL, for 'tacitor denoise --model MODEL' on later data.",
        epilog="examples:\n  tacitor fit today.csv -o sensors.tacitor --window 16\n"
        "  tacitor denoise tomorrow.csv -o smooth.csv --model sensors.tacitor\n",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    fit.add_argument("input", metavar="INPUT", help="file to read, or '-' for standard input")
    fit.add_argument("-o", "--output", metavar="MODEL", required=True, help="model file to write")
    fit.add_argument(
        "-m",
        "--method",
        choices=METHODS,
        default="linear",
        help="estimator per window position (default: linear)",
    )
    fit.add_argument(
        "-w",
        "--window",
        type=_window,
        required=True,
        metavar="N|auto",
        help="window size, or 'auto' to choose it from the data",
    )
    fit.add_argument(
        "-s",
        "--stride",
        type=_count,
        default=1,
        metavar="N",
        help="distance between window starts (default: 1)",
    )
    fit.add_argument(
        "--missing",
        choices=("impute",),
        default=None,
        help="'impute': fill missing values before training, and when applying",
    )
    fit.add_argument(
        "--series-in-columns",
        action="store_true",
        help="each column of the input is a series (rows are time positions)",
    )
    fit.add_argument(
        "--key", metavar="NAME", help="array to read from an .npz input (default: its only array)"
    )
    fit.add_argument(
        "--input-format",
        choices=FORMATS,
        metavar="FMT",
        help=f"format of INPUT, overriding its extension ({', '.join(FORMATS)})",
    )
    fit.add_argument("-f", "--force", action="store_true", help="replace MODEL if it exists")

    demo = commands.add_parser(
        "demo",
        help="denoise generated series and report the quality gained",
        description="Generate noisy series with known clean signals, denoise them with both\n"
        "methods, print a table of the errors and write a figure (needs matplotlib).",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="examples:\n  tacitor demo\n"
        "  tacitor demo --series 8 --length 512 --plot small.png\n",
    )
    demo.add_argument(
        "--series",
        type=_count,
        default=48,
        metavar="N",
        help="number of generated series (default: 48)",
    )
    demo.add_argument(
        "--length",
        type=_count,
        default=4096,
        metavar="N",
        help="time positions per series (default: 4096)",
    )
    demo.add_argument("--seed", type=int, default=0, help="random seed (default: 0)")
    demo.add_argument(
        "--plot",
        metavar="PNG",
        default="demo.png",
        help="where to write the figure (default: demo.png)",
    )
    demo.add_argument("--no-plot", action="store_true", help="print the table only")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        if args.command == "denoise":
            from . import denoise

            return denoise.run(args)
        if args.command == "fit":
            from . import model

            return model.run_fit(args)
        from . import demo

        return demo.run(args)
    except CliError as e:
        print(f"tacitor: error: {e.message}", file=sys.stderr)
        return e.exit_code
    except KeyboardInterrupt:
        print("tacitor: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (as with `| head`); stop quietly, and keep
        # the interpreter from complaining again when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
    except MemoryError:
        print("tacitor: error: out of memory", file=sys.stderr)
        return EXIT_FAILURE
    except BaseException as e:
        # The native module's InternalFailure derives from BaseException so that ordinary
        # handlers miss it; the tool still reports it as one line.
        if not is_internal_failure(e):
            raise
        text = e.args[0] if e.args else "unknown failure"
        print(f"tacitor: error: internal failure: {text}", file=sys.stderr)
        return EXIT_FAILURE


if __name__ == "__main__":
    sys.exit(main())
