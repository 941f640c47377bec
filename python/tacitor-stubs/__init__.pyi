import numpy as np
import numpy.typing as npt

__all__ = ["denoise_linear_regression", "denoise_decision_tree"]

def denoise_linear_regression(
    samples: npt.NDArray[np.float32], window_size: int, stride: int
) -> npt.NDArray[np.float32]: ...
def denoise_decision_tree(
    samples: npt.NDArray[np.float32], window_size: int, stride: int
) -> npt.NDArray[np.float32]: ...
