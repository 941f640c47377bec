"""Self-supervised choice of the window (and stride), and blending with the input."""

from ..bridge import BLEND_DEFAULT
from .result import Candidate, Selection
from .search import auto_denoise, held_out_loss, select

__all__ = ["BLEND_DEFAULT", "Candidate", "Selection", "auto_denoise", "held_out_loss", "select"]
