"""Safe writing of the result file.

The result goes to a temporary file in the output's own directory, which is then renamed
over the output path with ``os.replace``. The rename is atomic within a file system, so a
reader sees either no output or the complete output, and a failure at any point leaves no
partial file behind. The finished file gets the permissions a plain ``open`` would give it.
Other writers of results (such as examples/dask_denoise.py) use the same two steps:
``check_output_path`` before any work, then ``replacing`` around the writing.
"""

from __future__ import annotations

import os
import sys
import tempfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import BinaryIO

from .errors import EXIT_FAILURE, CliError
from .formats import STREAM


def check_output_path(output: str, inputs: str, force: bool) -> None:
    """Fails early, before any work is done, if ``output`` cannot or must not be written."""
    if output == STREAM:
        return
    directory = os.path.dirname(os.path.abspath(output))
    if not os.path.isdir(directory):
        raise CliError(f"cannot write '{output}': the directory '{directory}' does not exist")
    if os.path.isdir(output):
        raise CliError(f"cannot write '{output}': it is a directory")
    if (
        inputs != STREAM
        and os.path.exists(output)
        and os.path.exists(inputs)
        and os.path.samefile(output, inputs)
    ):
        raise CliError(f"'{output}' is the input file; tacitor never overwrites its input")
    if os.path.lexists(output) and not force:
        raise CliError(f"'{output}' already exists; use --force to replace it")
    if not os.access(directory, os.W_OK):
        raise CliError(f"cannot write '{output}': no permission to write in '{directory}'")


def _current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


@contextmanager
def replacing(output: str) -> Iterator[str]:
    """Yields the path of a new, empty temporary file beside ``output``.

    When the block completes, the file is synced to disk, given the mode a plain ``open``
    would give it and renamed over ``output``; when the block fails, it is removed. OSErrors
    come out as a one-line CliError.
    """
    directory = os.path.dirname(os.path.abspath(output))
    try:
        fd, temporary = tempfile.mkstemp(
            dir=directory, prefix=f".{os.path.basename(output)}.", suffix=".partial"
        )
        os.close(fd)
    except OSError as e:
        raise CliError(f"cannot write '{output}': {e.strerror or e}", EXIT_FAILURE) from None
    try:
        yield temporary
        fd = os.open(temporary, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        # mkstemp creates the file private to its owner; give it the mode a plain open would.
        os.chmod(temporary, 0o666 & ~_current_umask())
        os.replace(temporary, output)
    except OSError as e:
        _remove_quietly(temporary)
        raise CliError(f"cannot write '{output}': {e.strerror or e}", EXIT_FAILURE) from None
    except BaseException:
        _remove_quietly(temporary)
        raise


def write_atomically(output: str, write: Callable[[BinaryIO], None], binary: bool) -> None:
    """Calls ``write`` with a binary stream that ends up at ``output`` (``-``: stdout)."""
    if output == STREAM:
        if binary and sys.stdout.isatty():
            raise CliError(
                "refusing to write binary data to a terminal; redirect the output "
                "or choose a text format with --output-format"
            )
        write(sys.stdout.buffer)
        sys.stdout.buffer.flush()
        return
    with replacing(output) as temporary, open(temporary, "wb") as stream:
        write(stream)


def _remove_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass
