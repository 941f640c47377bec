"""Reading and writing arrays in the file formats the command-line tool understands.

Binary: ``.npy`` (one array) and ``.npz`` (several named arrays). Text: ``.csv`` (comma
separated), ``.tsv`` (tab separated) and ``.txt`` (separated by runs of white space). A text
file holds numbers only, one row of the array per line; it may start with one header line of
labels, and lines starting with ``#`` are comments. Any of them may be a standard stream,
named ``-``.
"""

from __future__ import annotations

import io
import os
import sys
import zipfile
from dataclasses import dataclass
from typing import Any, BinaryIO

import numpy as np

from .errors import CliError

STREAM = "-"
TEXT_FORMATS = ("csv", "tsv", "txt")
FORMATS = ("npy", "npz", *TEXT_FORMATS)
# Used for a standard stream when no format is given: readable by a person and a shell tool.
STREAM_DEFAULT_FORMAT = "csv"
# The key of the result in an .npz output when the input did not come from an .npz file.
DEFAULT_NPZ_KEY = "denoised"
# Nine significant digits write every float32 so that it reads back to the same bits.
FLOAT32_TEXT_FORMAT = "%.9g"

_DELIMITERS = {"csv": ",", "tsv": "\t", "txt": None}


@dataclass
class Table:
    """An array as read from a file, with what is needed to write a result in the same style."""

    array: np.ndarray
    header: list[str] | None = None  # labels of the columns, from a text file's header line
    key: str | None = None  # name of the array inside an .npz file


def describe(path: str) -> str:
    """How messages name a file or stream."""
    if path == STREAM:
        return "standard input"
    return f"'{path}'"


def format_of(path: str, explicit: str | None, option: str) -> str:
    """The format of ``path``: ``explicit`` if given, else its extension's."""
    if explicit is not None:
        return explicit
    if path == STREAM:
        return STREAM_DEFAULT_FORMAT
    extension = os.path.splitext(path)[1].lower().lstrip(".")
    if extension in FORMATS:
        return extension
    known = ", ".join("." + f for f in FORMATS)
    raise CliError(
        f"cannot tell the format of '{path}' from its extension (known: {known}); "
        f"name it with {option}"
    )


def _open_error(path: str, error: OSError) -> CliError:
    if isinstance(error, FileNotFoundError):
        return CliError(f"cannot read '{path}': no such file")
    return CliError(f"cannot read '{path}': {error.strerror or error}")


def _read_bytes(path: str) -> bytes:
    if path == STREAM:
        return sys.stdin.buffer.read()
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise _open_error(path, e) from None


def _binary_source(path: str) -> str | io.BytesIO:
    """What ``np.load`` reads: a checked path (memory-mapped, read lazily) or stdin's bytes."""
    if path == STREAM:
        return io.BytesIO(sys.stdin.buffer.read())
    try:
        with open(path, "rb"):
            pass
    except OSError as e:
        raise _open_error(path, e) from None
    return path


def read_table(path: str, fmt: str, key: str | None) -> Table:
    """Reads the array stored at ``path`` (``-`` for standard input) in format ``fmt``."""
    source = describe(path)
    if fmt == "npy":
        return Table(_load_npy(_binary_source(path), source))
    if fmt == "npz":
        return _load_npz(_binary_source(path), source, key)
    try:
        text = _read_bytes(path).decode("utf-8")
    except UnicodeDecodeError:
        raise CliError(f"cannot read {source} as .{fmt}: it is not a UTF-8 text file") from None
    array, header = parse_text(text, fmt, source)
    return Table(array, header)


def _load_npy(data: str | io.BytesIO, source: str) -> np.ndarray:
    # A file is memory-mapped read-only: a large input is not read twice into memory, and the
    # native module's own copy is made straight from the file's pages.
    try:
        if isinstance(data, str):
            loaded = np.load(data, allow_pickle=False, mmap_mode="r")
        else:
            loaded = np.load(data, allow_pickle=False)
    except (ValueError, OSError, EOFError) as e:
        raise CliError(f"cannot read {source} as .npy: {e}") from None
    if not isinstance(loaded, np.ndarray):
        loaded.close()
        raise CliError(
            f"cannot read {source} as .npy: it is an .npz archive; use --input-format npz")
    return loaded


def _load_npz(data: str | io.BytesIO, source: str, key: str | None) -> Table:
    try:
        archive = np.load(data, allow_pickle=False)
    except (ValueError, OSError, EOFError, zipfile.BadZipFile) as e:
        raise CliError(f"cannot read {source} as .npz: {e}") from None
    if not isinstance(archive, np.lib.npyio.NpzFile):
        raise CliError(f"cannot read {source} as .npz: it holds a single .npy array")
    with archive:
        keys = list(archive.files)
        if key is None:
            if len(keys) != 1:
                listed = ", ".join(keys) if keys else "none"
                raise CliError(
                    f"{source} holds {len(keys)} arrays (keys: {listed}); choose one with --key"
                )
            key = keys[0]
        elif key not in keys:
            raise CliError(f"{source} has no array '{key}' (keys: {', '.join(keys) or 'none'})")
        try:
            return Table(archive[key], key=key)
        except (ValueError, OSError, zipfile.BadZipFile) as e:
            raise CliError(f"cannot read array '{key}' of {source}: {e}") from None


def _is_number(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def parse_text(text: str, fmt: str, source: str) -> tuple[np.ndarray, list[str] | None]:
    """Parses delimited numbers into a float64 array, with the header line if there is one.

    The first non-comment line is a header when none of its cells is a number. Every other
    line must hold the same count of numbers.
    """
    delimiter = _DELIMITERS[fmt]
    header: list[str] | None = None
    rows: list[tuple[int, list[str]]] = []
    for line_no, raw in enumerate(text.splitlines(), start=1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        cells = [c.strip() for c in line.split(delimiter)] if delimiter else line.split()
        if header is None and not rows and not any(_is_number(c) for c in cells):
            header = cells
            continue
        rows.append((line_no, cells))
    if not rows:
        raise CliError(f"{source} holds no rows of numbers")
    first_line, first_cells = rows[0]
    width = len(first_cells)
    if header is not None and len(header) != width:
        raise CliError(
            f"{source}: the header has {len(header)} labels but line {first_line} "
            f"has {width} values"
        )
    for line_no, cells in rows:
        if len(cells) != width:
            raise CliError(
                f"{source}, line {line_no}: {len(cells)} values where line {first_line} "
                f"has {width}; every row needs the same number of values"
            )
    flat = [c for _, cells in rows for c in cells]
    try:
        values = np.fromiter(map(float, flat), dtype=np.float64, count=len(flat))
    except ValueError:
        for line_no, cells in rows:
            for column, cell in enumerate(cells, start=1):
                if not _is_number(cell):
                    shown = f"'{cell}'" if cell else "an empty cell"
                    raise CliError(
                        f"{source}, line {line_no}, column {column}: {shown} is not a number"
                    ) from None
        raise  # unreachable: some cell failed to parse above
    return values.reshape(len(rows), width), header


def format_text(array: np.ndarray, fmt: str, header: list[str] | None) -> str:
    """Writes a 2-D array as delimited text, one row per line."""
    delimiter = _DELIMITERS[fmt] or " "
    buffer = io.StringIO()
    np.savetxt(
        buffer,
        array,
        fmt=FLOAT32_TEXT_FORMAT,
        delimiter=delimiter,
        header=delimiter.join(header) if header else "",
        comments="",
    )
    return buffer.getvalue()


def write_table(stream: BinaryIO, fmt: str, array: np.ndarray, header: list[str] | None,
                key: str) -> None:
    """Writes ``array`` to an open binary stream in format ``fmt``."""
    if fmt == "npy":
        np.save(stream, array, allow_pickle=False)
    elif fmt == "npz":
        named: dict[str, Any] = {key: array}
        np.savez(stream, **named)
    else:
        stream.write(format_text(array, fmt, header).encode("utf-8"))
