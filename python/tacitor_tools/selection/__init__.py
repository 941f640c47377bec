"""Self-supervised choice of the window (and stride), and blending with the input."""

from .result import Candidate, Selection
from .search import auto_denoise, held_out_loss, select

__all__ = ["Candidate", "Selection", "auto_denoise", "held_out_loss", "select"]
