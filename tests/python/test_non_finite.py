"""NaN and infinite samples are refused with a ValueError, after the checks that come first."""

import numpy as np
import pytest

import tacitor

ENTRY_POINTS = ["denoise_linear_regression", "denoise_decision_tree"]


def outcome(function, *args):
    try:
        function(*args)
    except BaseException as error:  # noqa: BLE001 - the internal failure too
        return type(error).__name__, error.args
    return "result", ()


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_messages_name_the_count_and_the_first_value(entry):
    function = getattr(tacitor, entry)
    samples = np.random.default_rng(3).standard_normal((5, 30)).astype(np.float32)
    samples[3, 29] = -np.inf
    assert outcome(function, samples, 4, 1) == (
        "ValueError",
        (
            "samples holds 1 NaN or infinite value (at series 3, position 29); fill or drop it "
            "before denoising",
        ),
    )
    samples[4, 0] = np.nan
    samples[1, 17] = np.array([0x7FC00001], np.uint32).view(np.float32)[0]  # another payload
    # Positions are those of the caller's array, whatever its layout.
    for view in (samples, np.asfortranarray(samples), samples[::-1][::-1]):
        assert outcome(function, view, 4, 1) == (
            "ValueError",
            (
                "samples holds 3 NaN or infinite values (the first at series 1, position 17); fill "
                "or drop them before denoising",
            ),
        )
    # The transposed view's series are the columns.
    assert outcome(function, samples.T, 4, 1)[1][0].startswith(
        "samples holds 3 NaN or infinite values (the first at series 0, position 4)"
    )


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_earlier_checks_keep_their_precedence(entry):
    function = getattr(tacitor, entry)
    nan = np.full((2, 10), np.nan, np.float32)
    assert outcome(function, nan.astype(np.float64), 3, 1)[0] == "TypeError"
    assert outcome(function, nan, 3.0, 1)[0] == "TypeError"
    assert outcome(function, nan, 3, -1)[0] == "OverflowError"
    assert outcome(function, nan, 3, 0) == (
        "InternalFailure",
        ("attempt to calculate the remainder with a divisor of zero",),
    )
    assert outcome(function, nan, 11, 1) == (
        "ValueError",
        ("window_size (11) is larger than the series length (10)",),
    )
    assert outcome(function, nan, 0, 1) == (
        "ValueError",
        ("ShapeError/Unsupported: unsupported operation",),
    )
    # Before the fits: one training row for ten positions is no longer reached.
    kind, args = outcome(function, nan[:1], 10, 1)
    assert kind == "ValueError" and args[0].startswith("samples holds 10 NaN")
