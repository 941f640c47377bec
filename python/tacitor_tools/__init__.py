"""tacitor's companion package: everything in Python around the native ``tacitor`` module.

The command-line tool lives in :mod:`tacitor_tools.cli`. The interfaces to other libraries
are imported on first use, so that importing this package imports none of those libraries:

- :class:`TacitorDenoiser`: a scikit-learn transformer (:mod:`tacitor_tools.sklearn_api`);
- :func:`denoise_frame`: pandas DataFrames and Series (:mod:`tacitor_tools.frames`);
- :func:`denoise_dataarray`: xarray DataArrays (:mod:`tacitor_tools.xarray_api`);
- :func:`denoise_dask`: Dask arrays larger than memory (:mod:`tacitor_tools.dask_api`).
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .dask_api import denoise_dask
    from .frames import denoise_frame
    from .native_failure import NativeInternalError
    from .sklearn_api import TacitorDenoiser
    from .xarray_api import denoise_dataarray

# Public name → module that defines it, imported when the name is first used.
_LAZY = {
    "TacitorDenoiser": "sklearn_api",
    "denoise_frame": "frames",
    "denoise_dataarray": "xarray_api",
    "denoise_dask": "dask_api",
    "NativeInternalError": "native_failure",
}

__all__ = ["NativeInternalError", "TacitorDenoiser", "denoise_dask", "denoise_dataarray",
           "denoise_frame"]


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'tacitor_tools' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
