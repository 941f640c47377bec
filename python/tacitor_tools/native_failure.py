"""The native module's internal failure, recognised and turned into an ordinary exception.

``tacitor.InternalFailure`` derives directly from ``BaseException`` so that ordinary
``except Exception`` handlers do not swallow a broken invariant. Frameworks that run user code
as tasks (scikit-learn's searches, joblib, Dask) record a failed task by catching
``Exception``; a ``BaseException`` escapes them, so a search stops at the first failing
candidate instead of scoring it with ``error_score``, and a scheduler that does not expect it
may lose the task or its worker. Code that runs tacitor inside such a framework converts the
failure into :class:`NativeInternalError` at the task boundary.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager


def is_internal_failure(exc: BaseException) -> bool:
    """Whether ``exc`` is the native module's ``tacitor.InternalFailure``.

    The class derives directly from BaseException and need not be a module attribute, so it
    is recognised by its module and name rather than by identity.
    """
    cls = type(exc)
    return cls.__module__ == "tacitor" and cls.__name__ == "InternalFailure"


class NativeInternalError(RuntimeError):
    """A ``tacitor.InternalFailure`` carried as an ordinary exception, with its message.

    ``text`` is the native failure's own text, without the prefix of the message."""

    text: str = ""


@contextmanager
def ordinary_errors() -> Iterator[None]:
    """Re-raises the native internal failure inside the block as NativeInternalError.

    Every other exception, ``KeyboardInterrupt`` and ``SystemExit`` included, passes through
    unchanged.
    """
    try:
        yield
    except BaseException as exc:
        if not is_internal_failure(exc):
            raise
        message = str(exc.args[0]) if exc.args else type(exc).__name__
        error = NativeInternalError(f"tacitor internal failure: {message}")
        error.text = message
        raise error from None
