"""The one exception type of the command-line tool.

A ``CliError`` carries a complete, user-facing sentence. ``main`` prints it as a single
``tacitor: error: ...`` line and exits with ``exit_code``; nothing below ``main`` prints
errors itself.
"""

from __future__ import annotations

from ..native_failure import is_internal_failure

__all__ = ["EXIT_FAILURE", "EXIT_USAGE", "CliError", "is_internal_failure"]

# Exit codes: 1 for a failure of the work itself, 2 for a command line or input that cannot
# be used (argparse uses 2 for its own usage errors too).
EXIT_FAILURE = 1
EXIT_USAGE = 2


class CliError(Exception):
    """A failure to report to the user as one line, without a traceback."""

    def __init__(self, message: str, exit_code: int = EXIT_USAGE) -> None:
        super().__init__(message)
        self.message = message
        self.exit_code = exit_code
