"""Denoise a dataset larger than memory with Dask, one block of series at a time.

The input is a 2-D float32 ``.npy`` file (series × time positions), opened as a memory map.
It is split into chunks of whole series (never along time), ``tacitor_tools.denoise_dask``
denoises every chunk in a worker process of a ``distributed.LocalCluster``, and each result
chunk is written straight into the output ``.npy`` file, also a memory map, so no process
ever holds the whole dataset.

Worker processes rather than threads: a tacitor call keeps the interpreter lock for its
whole duration (its own thread pool does the parallel work), so threads of one process would
take turns. Give each worker one thread and let tacitor's pool use the cores it has; set
RAYON_NUM_THREADS to share the cores among the workers.

Each chunk trains its own estimators, so the result equals one tacitor call per chunk, not one
call over the whole dataset. Chunks of a few hundred series or more give results close to a
single call.

The output follows the rules of ``tacitor denoise``: an existing file is kept unless --force
is given, the input is never overwritten, and the result appears complete or not at all, with
the permissions of a newly created file. tacitor's internal failure derives from
BaseException, which ``except Exception`` handlers do not catch; every block converts it
into ``tacitor_tools.NativeInternalError`` (a RuntimeError), so that Dask reports it to the
client like any other task error.

Needs ``pip install "dask[array]" distributed``.

    python examples/dask_denoise.py noisy.npy denoised.npy --chunk-series 256 --workers 2
"""

from __future__ import annotations

import argparse
import sys

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster

from tacitor_tools import denoise_dask
from tacitor_tools.cli.errors import CliError
from tacitor_tools.cli.output import check_output_path, replacing


class NpyChunks:
    """A lazily opened ``.npy`` memory map that Dask can slice on any worker.

    Passing a ``numpy.memmap`` itself to ``da.from_array`` would copy the whole array into
    the task graph when it is sent to the workers; this object sends only the path and
    opens the file where a chunk is read or written.
    """

    def __init__(self, path: str, mode: str = "r") -> None:
        self.path = path
        self.mode = mode
        header = np.load(path, mmap_mode="r")
        self.shape = header.shape
        self.dtype = header.dtype
        self.ndim = header.ndim

    def __getitem__(self, key: object) -> np.ndarray:
        return np.asarray(np.load(self.path, mmap_mode="r")[key])

    def __setitem__(self, key: object, value: np.ndarray) -> None:
        target = np.load(self.path, mmap_mode="r+")
        target[key] = value
        target.flush()


def denoise_file(
    source: str,
    destination: str,
    method: str,
    window: int | str,
    stride: int,
    chunk_series: int,
    client: Client,
) -> None:
    """Denoises ``source`` into ``destination`` chunk by chunk on the cluster of ``client``."""
    reader = NpyChunks(source)
    if reader.ndim != 2 or reader.dtype != np.float32:
        raise SystemExit(f"{source}: need a 2-D float32 array, not {reader.ndim}-D {reader.dtype}")
    samples = da.from_array(
        reader, chunks=(chunk_series, -1), lock=False, asarray=True, fancy=False
    )
    denoised = denoise_dask(samples, method=method, window_size=window, stride=stride)

    # Write into a temporary file beside the destination and rename it at the end, so an
    # interrupted run leaves no half-written output.
    with replacing(destination) as partial:
        np.lib.format.open_memmap(partial, mode="w+", dtype=np.float32, shape=reader.shape).flush()
        # Every task writes its own rows of the output; the rows of different chunks do not
        # overlap, so the writes need no lock.
        writes = da.store(denoised, NpyChunks(partial, mode="r+"), lock=False, compute=False)
        client.compute(writes).result()


def window_size(text: str) -> int | str:
    return text if text == "auto" else int(text)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", help="2-D float32 .npy file, series × time positions")
    parser.add_argument("destination", help=".npy file to write")
    parser.add_argument("--method", choices=["linear", "tree"], default="linear")
    parser.add_argument(
        "--window",
        type=window_size,
        default=16,
        help="window size, or 'auto' to select it on the first chunk",
    )
    parser.add_argument("--stride", type=int, default=1)
    parser.add_argument(
        "--chunk-series", type=int, default=256, help="series per chunk (default: 256)"
    )
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default: 2)")
    parser.add_argument(
        "-f", "--force", action="store_true", help="replace the destination if it exists"
    )
    args = parser.parse_args(argv)

    try:
        check_output_path(args.destination, args.source, args.force)
        run(args)
    except CliError as e:
        print(f"{parser.prog}: error: {e.message}", file=sys.stderr)
        return e.exit_code
    print(f"denoised {args.source} into {args.destination}")
    return 0


def run(args: argparse.Namespace) -> None:
    with (
        LocalCluster(
            n_workers=args.workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
        ) as cluster,
        Client(cluster) as client,
    ):
        denoise_file(
            args.source,
            args.destination,
            args.method,
            args.window,
            args.stride,
            args.chunk_series,
            client,
        )


if __name__ == "__main__":
    sys.exit(main())
