"""Reading and writing arrays in the file formats the command-line tool understands.

Binary: ``.npy`` (one array) and ``.npz`` (several named arrays). Text: ``.csv`` (comma
separated), ``.tsv`` (tab separated) and ``.txt`` (separated by runs of white space). A text
file holds numbers, one row of the array per line, with empty cells read as NaN; it may start
with one header line of labels, its first columns may hold row labels (such as the dates of
the index ``pandas.DataFrame.to_csv`` writes), and lines starting with ``#`` are comments. Any
of them may be a standard stream, named ``-``.
"""

from __future__ import annotations

import io
import os
import sys
import zipfile
from dataclasses import dataclass
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt

from .errors import CliError
from .work import plural

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
# Separators a text file may use instead of its format's, with the format that reads each.
_OTHER_SEPARATORS = {",": "csv", "\t": "tsv", " ": "txt", ";": None, "|": None}
# What an empty cell of a text file stands for (pandas writes missing values so).
_EMPTY_CELL = "nan"


@dataclass
class Table:
    """An array as read from a file, with what is needed to write a result in the same style."""

    array: npt.NDArray[Any]
    header: list[str] | None = None  # labels of the columns, from a text file's header line
    key: str | None = None  # name of the array inside an .npz file
    # The label cells that start each row of a text file (its first columns), kept verbatim.
    row_labels: list[list[str]] | None = None
    lines: list[int] | None = None  # the line of a text file that holds each row
    label_columns: int = 0

    def locate(self, row: int, column: int, source: str) -> str:
        """Where element (``row``, ``column``) of ``array`` is, in the file's own terms."""
        if self.lines is None:
            return f"{source}, row {row}, column {column} of the array (counted from 0)"
        return f"{source}, line {self.lines[row]}, column {column + self.label_columns + 1}"


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
    if isinstance(error, IsADirectoryError):
        return CliError(f"cannot read '{path}': it is a directory")
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


def read_table(path: str, fmt: str, key: str | None, label_columns: int = 0) -> Table:
    """Reads the array stored at ``path`` (``-`` for standard input) in format ``fmt``.

    ``label_columns`` first columns of a text file hold row labels rather than numbers.
    """
    source = describe(path)
    if fmt == "npy":
        return Table(_load_npy(_binary_source(path), source))
    if fmt == "npz":
        return _load_npz(_binary_source(path), source, key)
    try:
        text = _read_bytes(path).decode("utf-8")
    except UnicodeDecodeError:
        raise CliError(f"cannot read {source} as .{fmt}: it is not a UTF-8 text file") from None
    return parse_table(text, fmt, source, label_columns)


def _load_npy(data: str | io.BytesIO, source: str) -> npt.NDArray[Any]:
    # A file is memory-mapped read-only: a large input is not read twice into memory, and the
    # native module's own copy is made straight from the file's pages.
    try:
        if isinstance(data, str):
            loaded = np.load(data, allow_pickle=False, mmap_mode="r")
        else:
            loaded = np.load(data, allow_pickle=False)
    except (ValueError, OSError, EOFError) as e:
        raise CliError(f"cannot read {source} as .npy: {_load_error(e, 'npy')}") from None
    if not isinstance(loaded, np.ndarray):
        loaded.close()
        raise CliError(
            f"cannot read {source} as .npy: it is an .npz archive; use --input-format npz"
        )
    return loaded


def _load_npz(data: str | io.BytesIO, source: str, key: str | None) -> Table:
    try:
        archive = np.load(data, allow_pickle=False)
    except (ValueError, OSError, EOFError, zipfile.BadZipFile) as e:
        raise CliError(f"cannot read {source} as .npz: {_load_error(e, 'npz')}") from None
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
            raise CliError(
                f"cannot read array '{key}' of {source}: {_load_error(e, 'npy')}"
            ) from None


def _load_error(error: BaseException, fmt: str) -> str:
    """NumPy's reason for refusing a file, in the terms of this tool.

    With pickles refused, NumPy takes any file it does not recognise for a pickle and says
    how to load it unsafely; a user of this tool needs to hear that the file is not what its
    name says. Object arrays need pickles too, and hold no numbers anyway.
    """
    text = str(error)
    if "pickled" in text or isinstance(error, EOFError):
        return f"not a valid .{fmt} file"
    if "Object arrays" in text or "Python objects" in text:
        return "it holds Python objects (dtype object); tacitor needs real numbers"
    return f"not a valid .{fmt} file ({text})"


def _is_number(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def parse_text(text: str, fmt: str, source: str) -> tuple[npt.NDArray[Any], list[str] | None]:
    """Parses delimited numbers into a float64 array, with the header line if there is one."""
    table = parse_table(text, fmt, source)
    return table.array, table.header


def _split(line: str, fmt: str) -> list[str]:
    delimiter = _DELIMITERS[fmt]
    return [c.strip() for c in line.split(delimiter)] if delimiter else line.split()


def parse_table(text: str, fmt: str, source: str, label_columns: int = 0) -> Table:
    """Parses delimited numbers into a float64 array (empty cells are NaN).

    The first ``label_columns`` cells of every line are row labels, kept as they are. The
    first non-comment line is a header when none of its other cells is a number, or when its
    label cells are all empty (as pandas writes the header of an unnamed index). Every other
    line must hold the same count of cells.
    """
    header: list[str] | None = None
    rows: list[tuple[int, list[str]]] = []
    for line_no, raw in enumerate(text.splitlines(), start=1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        cells = _split(line, fmt)
        if header is None and not rows and _is_header(cells, label_columns):
            header = cells
            continue
        rows.append((line_no, cells))
    if not rows:
        raise CliError(f"{source} holds no rows of numbers")
    first_line, first_cells = rows[0]
    width = len(first_cells)
    if header is not None and len(header) != width:
        hint = _separator_hint(header[0], fmt, numbers=False) if len(header) == 1 else ""
        raise CliError(
            f"{source}: the header has {plural(len(header), 'label')} but line {first_line} "
            f"has {plural(width, 'value')}{hint}"
        )
    for line_no, cells in rows:
        if len(cells) != width:
            raise CliError(
                f"{source}, line {line_no}: {len(cells)} values where line {first_line} "
                f"has {width}; every row needs the same number of values"
            )
    if width <= label_columns:
        hint = _separator_hint(first_cells[-1], fmt, numbers=False)
        raise CliError(
            f"{source} has {plural(width, 'column')}, all of them skipped as "
            f"labels; there are no values left to denoise{hint}"
        )
    flat = [c or _EMPTY_CELL for _, cells in rows for c in cells[label_columns:]]
    try:
        values = np.fromiter(map(float, flat), dtype=np.float64, count=len(flat))
    except ValueError:
        raise _first_bad_cell(rows, fmt, source, label_columns) from None
    labels = [cells[:label_columns] for _, cells in rows] if label_columns else None
    return Table(
        values.reshape(len(rows), width - label_columns),
        header,
        row_labels=labels,
        lines=[line_no for line_no, _ in rows],
        label_columns=label_columns,
    )


def _is_header(cells: list[str], label_columns: int) -> bool:
    if not any(_is_number(c) for c in cells[label_columns:]):
        return True
    return label_columns > 0 and not any(cells[:label_columns])


def _first_bad_cell(
    rows: list[tuple[int, list[str]]], fmt: str, source: str, label_columns: int
) -> CliError:
    """The error for the first cell that is not a number, with a hint where one helps."""
    for line_no, cells in rows:
        for column, cell in enumerate(cells[label_columns:], start=label_columns + 1):
            if cell and not _is_number(cell):
                return CliError(
                    f"{source}, line {line_no}, column {column}: '{cell}' is not "
                    f"a number{_hint(cell, column, fmt, label_columns)}"
                )
    raise AssertionError("a cell failed to parse but every cell is a number")


def _hint(cell: str, column: int, fmt: str, label_columns: int) -> str:
    """Advice for a cell that is not a number: another separator, or a label column."""
    separator = _separator_hint(cell, fmt)
    if separator:
        return separator
    if column == label_columns + 1:
        flag = "--index-column" if label_columns == 0 else f"--skip-columns {column}"
        return (
            f"; if the first columns hold labels (such as dates, as in a file written by "
            f"pandas), skip them with {flag}"
        )
    return ""


def _separator_hint(cell: str, fmt: str, numbers: bool = True) -> str:
    """Advice for a cell that seems to hold several cells (of numbers) split another way."""
    for separator, reader in _OTHER_SEPARATORS.items():
        if separator == _DELIMITERS[fmt] or (separator == " " and fmt == "txt"):
            continue
        parts = [p.strip() for p in cell.split(separator)]
        if len(parts) < 2:
            continue
        shown = {"\t": "tabs", " ": "spaces"}.get(separator, f"'{separator}'")
        if reader is not None and (not numbers or all(not p or _is_number(p) for p in parts)):
            own = {"csv": "commas", "tsv": "tabs", "txt": "white space"}[fmt]
            return (
                f"; the values seem separated by {shown}, but .{fmt} is read with {own}; "
                f"read the file with --input-format {reader}"
            )
        if reader is None:
            return (
                f"; the values seem separated by {shown}, which tacitor does not read: "
                "it reads commas (.csv), tabs (.tsv) or white space (.txt), with '.' as "
                "the decimal point"
            )
    return ""


def format_text(
    array: npt.NDArray[Any],
    fmt: str,
    header: list[str] | None,
    row_labels: list[list[str]] | None = None,
) -> str:
    """Writes a 2-D array as delimited text, one row per line, each after its row labels."""
    delimiter = _DELIMITERS[fmt] or " "
    buffer = io.StringIO()
    np.savetxt(buffer, array, fmt=FLOAT32_TEXT_FORMAT, delimiter=delimiter)
    lines = buffer.getvalue().splitlines()
    if row_labels is not None:
        lines = [delimiter.join([*labels, line]) for labels, line in zip(row_labels, lines)]
    if header:
        lines.insert(0, delimiter.join(header))
    return "".join(line + "\n" for line in lines)


def write_table(
    stream: BinaryIO,
    fmt: str,
    array: npt.NDArray[Any],
    header: list[str] | None,
    key: str,
    row_labels: list[list[str]] | None = None,
) -> None:
    """Writes ``array`` to an open binary stream in format ``fmt``."""
    if fmt == "npy":
        np.save(stream, array, allow_pickle=False)
    elif fmt == "npz":
        named: dict[str, Any] = {key: array}
        np.savez(stream, **named)
    else:
        stream.write(format_text(array, fmt, header, row_labels).encode("utf-8"))
