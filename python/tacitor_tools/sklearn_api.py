"""tacitor as a scikit-learn transformer (needs scikit-learn 1.6 or later)."""

from __future__ import annotations

from typing import Any, Literal, cast

import numpy as np
import numpy.typing as npt
from sklearn.base import BaseEstimator, OneToOneFeatureMixin, TransformerMixin
from sklearn.utils.validation import check_is_fitted, validate_data

from . import routing, trained
from .bridge import Method, Solver
from .selection.combination import Combination
from .missing import MissingPolicy

__all__ = ["TacitorDenoiser"]


# scikit-learn ships no type information: its classes are Any to a type checker.
class TacitorDenoiser(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):  # type: ignore[misc]
    """Self-supervised denoising of a batch of time series, as a scikit-learn transformer.

    ``X`` holds one series per row and one time position per column, like the native
    module: rows are the samples of scikit-learn, columns its features.

    The transformer is *transductive*: ``transform`` trains tacitor's estimators on the batch
    it is given and returns their predictions for that same batch. Nothing learnt from the
    data is kept between calls. What ``fit`` keeps are the settings: with
    ``window_size="auto"`` it selects the window on the batch given to ``fit`` (without
    ground truth), and ``transform`` then uses that window on every batch. With an integer
    ``window_size``, ``fit`` only checks its input.

    Parameters
    ----------
    method : {"linear", "tree"}
        The estimator of every window position: least-squares linear regression or a
        regression tree.
    window_size : int or "auto"
        Time positions per window, or ``"auto"`` to select it on the batch given to ``fit``.
    stride : int
        Distance between the starts of consecutive windows.
    missing : None or str
        None: NaN is refused. ``"impute"``: NaN marks missing samples, filled in by the
        missing-value loop of :mod:`tacitor_tools.missing`.
    blend : None or bool
        None (the default): with ``window_size="auto"`` the output is the combined estimate
        ``f + k·(x − f)`` of the prediction f and the observation x, k estimated by the
        selection (``selection_.blend_weight``); with an integer window it is the pure
        prediction. True or False asks for the one or the other in both cases.
    inductive : bool
        False (the default): transductive, as above. True: ``fit`` trains the estimators
        on its batch (:func:`tacitor_tools.fit`) and ``transform`` applies them to any
        batch, predicting only; every series is then denoised the same whatever batch it
        comes in, and the fitted transformer pickles with its estimators.
    solver : {"exact", "gram"}
        How the linear method solves its least-squares fits: ``"exact"`` (the default) is
        tacitor's own call, bit for bit; ``"gram"`` solves every window position from one
        float64 Gram matrix of the windows, much faster for wide windows and equal to the
        exact output up to rounding (see the README).
    combination : {"local", "global"}
        How a blended output weighs the observation: ``"local"`` (the default) estimates the
        weight per series and stretch of time from the residuals, so that steps and spikes
        the neighbours cannot predict keep more of the observation; ``"global"`` uses the
        selection's one weight (``selection_.blend_weight``) everywhere.

    Attributes
    ----------
    window_size_, stride_ : int
        The settings in use, chosen by ``fit``.
    selection_ : Selection or None
        The selection made by ``fit`` when ``window_size="auto"``, else None (always None
        when inductive).
    denoiser_ : Denoiser or None
        The trained estimators when inductive, else None.
    n_features_in_ : int
        The series length seen by ``fit``; ``transform`` and ``score`` need the same.

    ``score(X)`` is the negative held-out loss: minus the estimated mean squared error
    against the clean signal, estimated without it, so that ``GridSearchCV`` can choose the
    settings on unlabelled data. Results are computed in float32; float32 input comes back as
    float32, other input as float64.
    """

    def __init__(
        self,
        method: Method = "linear",
        window_size: int | Literal["auto"] = "auto",
        stride: int = 1,
        missing: MissingPolicy | None = None,
        blend: bool | None = None,
        inductive: bool = False,
        solver: Solver = "exact",
        combination: Combination = "local",
    ) -> None:
        self.method = method
        self.window_size = window_size
        self.stride = stride
        self.missing = missing
        self.blend = blend
        self.inductive = inductive
        self.solver = solver
        self.combination = combination

    def _settings(self) -> routing.Settings:
        return routing.Settings(
            self.method,
            self.window_size,
            self.stride,
            self.missing,
            blend=self.blend,
            solver=self.solver,
            combination=self.combination,
        ).checked()

    def _validated(self, X: npt.ArrayLike, reset: bool) -> npt.NDArray[np.floating[Any]]:
        array: npt.NDArray[np.floating[Any]] = validate_data(
            self, X, reset=reset, dtype=[np.float64, np.float32], ensure_all_finite="allow-nan"
        )
        # NaN is refused by routing when ``missing`` is None, with tacitor's remedy.
        return array

    def _choice(self) -> routing.Choice:
        check_is_fitted(self)
        return routing.Choice(self.window_size_, self.stride_, self.selection_)

    def fit(self, X: npt.ArrayLike, y: object = None) -> TacitorDenoiser:
        """Chooses the settings on ``X`` (selects the window when it is ``"auto"``)."""
        settings = self._settings()
        rows = routing.as_rows(self._validated(X, reset=True))
        self.denoiser_: trained.Denoiser | None = None
        if self.inductive:
            window = settings.window_size
            if isinstance(window, int) and window > rows.shape[1]:
                # In scikit-learn's words: a series' time positions are its features.
                raise ValueError(
                    f"window_size ({window}) is larger than the series length: X "
                    f"has {rows.shape[1]} feature(s) (time positions)"
                )
            self.denoiser_ = trained.fit(
                rows,
                settings.window_size,
                settings.stride,
                method=settings.native_method,
                missing="impute" if settings.missing == "impute" else None,
                solver=cast(Solver, settings.solver),
            )
            self.window_size_: int = self.denoiser_.window_size
            self.stride_: int = settings.stride
            self.selection_: routing.SelectionLike | None = None
            return self
        choice = routing.choose(rows, settings)
        self.window_size_ = choice.window_size
        self.stride_ = choice.stride
        self.selection_ = choice.selection
        return self

    def transform(self, X: npt.ArrayLike) -> routing.Result:
        """``X`` denoised: estimators trained on ``X`` itself predict it (when inductive,
        the estimators trained by ``fit``)."""
        choice = self._choice()
        if self.denoiser_ is not None:
            out: routing.Result = self.denoiser_.denoise(self._validated(X, reset=False))
            return out
        return routing.denoise(self._validated(X, reset=False), self._settings(), choice)

    def score(self, X: npt.ArrayLike, y: object = None) -> float:
        """Minus the estimated mean squared error of denoising ``X`` (higher is better)."""
        choice = self._choice()
        rows = routing.as_rows(self._validated(X, reset=False))
        return -routing.held_out_loss(rows, self._settings(), choice)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = self.missing is not None
        tags.transformer_tags.preserves_dtype = ["float64", "float32"]
        return tags
