"""Holding back what the native module writes to standard error during a call.

On an internal failure the module writes a diagnostic line with its source location to file
descriptor 2 before raising. The tool reports the failure itself, in one line, so the
diagnostic is held in a temporary file and shown only when asked for (``--verbose``).
Anything written during a call that succeeds is passed on unchanged.
"""

from __future__ import annotations

import os
import sys
import tempfile
from types import TracebackType
from typing import IO


class HeldStderr:
    """Context manager that redirects file descriptor 2 into a temporary file."""

    def __init__(self) -> None:
        self.text = ""
        self._saved: int | None = None
        self._held: IO[bytes] | None = None

    def __enter__(self) -> HeldStderr:
        sys.stderr.flush()
        try:
            self._held = tempfile.TemporaryFile()
            self._saved = os.dup(2)
        except OSError:
            # No temporary file or no standard error: let the diagnostic through unchanged.
            if self._held is not None:
                self._held.close()
                self._held = None
            return self
        os.dup2(self._held.fileno(), 2)
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        if self._held is None or self._saved is None:
            return
        sys.stderr.flush()
        os.dup2(self._saved, 2)
        os.close(self._saved)
        self._held.seek(0)
        self.text = self._held.read().decode("utf-8", errors="replace")
        self._held.close()
        if error is None and self.text:
            sys.stderr.write(self.text)
            sys.stderr.flush()
