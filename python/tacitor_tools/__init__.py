"""tacitor's companion package: everything in Python around the native ``tacitor`` module.

- :func:`denoise`: the native functions with missing values (NaN) and float64 handled;
- :func:`select`, :func:`auto_denoise`, :func:`held_out_loss`: the window chosen from the
  noisy data alone, without a clean reference; :func:`choose_method` also the method;
- :func:`fit`: a :class:`Denoiser` whose trained estimators denoise any later batch.

The interfaces to other libraries are imported on first use, so that importing this package
imports none of those libraries:

- :class:`TacitorDenoiser`: a scikit-learn transformer (:mod:`tacitor_tools.sklearn_api`);
- :func:`denoise_frame`: pandas DataFrames and Series (:mod:`tacitor_tools.frames`);
- :func:`denoise_dataarray`: xarray DataArrays (:mod:`tacitor_tools.xarray_api`);
- :func:`denoise_dask`: Dask arrays larger than memory (:mod:`tacitor_tools.dask_api`).

The command-line tool lives in :mod:`tacitor_tools.cli`. The native functions' docstrings
are short and fixed; README.md (the project's manual) documents their arguments, errors and
costs in full.
"""

from __future__ import annotations

import importlib
from importlib import metadata
from typing import TYPE_CHECKING

from .missing import denoise
from .selection import (
    Candidate,
    MethodChoice,
    Selection,
    auto_denoise,
    choose_method,
    held_out_loss,
    select,
)

if TYPE_CHECKING:
    from .dask_api import denoise_dask
    from .trained import Denoiser, fit, load
    from .frames import denoise_frame
    from .native_failure import NativeInternalError
    from .sklearn_api import TacitorDenoiser
    from .xarray_api import denoise_dataarray

try:
    __version__ = metadata.version("tacitor")
except metadata.PackageNotFoundError:  # run from a source tree without installing
    __version__ = "unknown"

# Public name → module that defines it, imported when the name is first used.
_LAZY = {
    "TacitorDenoiser": "sklearn_api",
    "denoise_frame": "frames",
    "denoise_dataarray": "xarray_api",
    "denoise_dask": "dask_api",
    "NativeInternalError": "native_failure",
    "Denoiser": "trained",
    "fit": "trained",
    "load": "trained",
}

# Library a module needs → the extra of the tacitor distribution that installs it.
_EXTRAS = {"sklearn": "sklearn", "pandas": "pandas", "xarray": "xarray", "dask": "dask"}

__all__ = [
    "Candidate",
    "Denoiser",
    "MethodChoice",
    "NativeInternalError",
    "Selection",
    "TacitorDenoiser",
    "auto_denoise",
    "choose_method",
    "denoise",
    "denoise_dask",
    "denoise_dataarray",
    "denoise_frame",
    "fit",
    "held_out_loss",
    "load",
    "select",
]


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'tacitor_tools' has no attribute {name!r}")
    try:
        imported = importlib.import_module(f".{module}", __name__)
    except ModuleNotFoundError as e:
        library = (e.name or "").partition(".")[0]
        if library not in _EXTRAS:
            raise
        raise ModuleNotFoundError(
            f"tacitor_tools.{name} needs {library}, which is not installed; install it with "
            f"pip install 'tacitor[{_EXTRAS[library]}]'",
            name=e.name,
        ) from e
    value = getattr(imported, name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
