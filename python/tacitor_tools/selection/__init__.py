"""Self-supervised choice of the window (and stride), and blending with the input."""

from ..bridge import BLEND_DEFAULT
from .method_choice import MethodChoice, choose_method
from .result import Candidate, Selection
from .search import auto_denoise, held_out_loss, select

__all__ = [
    "BLEND_DEFAULT",
    "Candidate",
    "MethodChoice",
    "Selection",
    "auto_denoise",
    "choose_method",
    "held_out_loss",
    "select",
]
