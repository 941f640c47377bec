"""tacitor's companion package: everything in Python around the native ``tacitor`` module.

- :func:`denoise`: the native functions with missing values (NaN) and float64 handled;
- :func:`select`, :func:`auto_denoise`, :func:`held_out_loss`: the window chosen from the
  noisy data alone, without a clean reference.

The command-line tool lives in :mod:`tacitor_tools.cli`.
"""

from .missing import denoise
from .selection import Candidate, Selection, auto_denoise, held_out_loss, select

__all__ = ["Candidate", "Selection", "auto_denoise", "denoise", "held_out_loss", "select"]
