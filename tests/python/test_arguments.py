"""Argument binding and conversion: every accepted form and every refusal with its message."""

import numpy as np
import pytest

U32_OVERFLOW = "out of range integral type conversion attempted"
ARRAY_TARGET = "object cannot be converted to 'PyArray<T, D>'"


def message_of(error_type, call):
    with pytest.raises(error_type) as caught:
        call()
    assert type(caught.value) is error_type
    return str(caught.value)


class TestBinding:
    def test_positional_and_keyword_forms_agree(self, entry_point, series_batch):
        expected = entry_point(series_batch, 5, 2)
        calls = [
            lambda: entry_point(series_batch, 5, stride=2),
            lambda: entry_point(series_batch, window_size=5, stride=2),
            lambda: entry_point(samples=series_batch, window_size=5, stride=2),
            lambda: entry_point(stride=2, samples=series_batch, window_size=5),
            lambda: entry_point(window_size=5, stride=2, samples=series_batch),
            lambda: entry_point(series_batch, stride=2, window_size=5),
            lambda: entry_point(*(series_batch, 5), **{"stride": 2}),
        ]
        for call in calls:
            assert np.array_equal(call().view(np.uint32), expected.view(np.uint32))

    def test_too_many_positional(self, entry_point, series_batch):
        name = entry_point.__name__
        for extra in (1, 3):
            args = (series_batch, 5, 2) + (0,) * extra
            assert message_of(TypeError, lambda: entry_point(*args)) == (
                f"{name}() takes 3 positional arguments but {3 + extra} were given"
            )

    def test_multiple_values(self, entry_point, series_batch):
        name = entry_point.__name__
        cases = [
            ((series_batch, 5, 2), {"stride": 2}, "stride"),
            ((series_batch,), {"samples": series_batch, "window_size": 5, "stride": 2}, "samples"),
            ((series_batch, 5), {"window_size": 5, "stride": 1}, "window_size"),
        ]
        for args, kwargs, parameter in cases:
            assert message_of(TypeError, lambda: entry_point(*args, **kwargs)) == (
                f"{name}() got multiple values for argument '{parameter}'"
            )

    def test_unexpected_keyword(self, entry_point, series_batch):
        name = entry_point.__name__
        for keyword in ("x", "Stride", "window", "\u00e9t\u00e9", "\udc80"):
            kwargs = {"window_size": 5, "stride": 2, keyword: 1}
            assert message_of(TypeError, lambda: entry_point(series_batch, **kwargs)) == (
                f"{name}() got an unexpected keyword argument '{keyword}'"
            )

    def test_unexpected_keyword_reported_before_missing(self, entry_point):
        name = entry_point.__name__
        assert message_of(TypeError, lambda: entry_point(bogus=1)) == (
            f"{name}() got an unexpected keyword argument 'bogus'"
        )

    def test_missing(self, entry_point, series_batch):
        name = entry_point.__name__
        cases = [
            ((series_batch, 5), {}, "1 required positional argument: 'stride'"),
            (
                (),
                {"samples": series_batch, "stride": 1},
                "1 required positional argument: 'window_size'",
            ),
            ((), {"window_size": 1, "stride": 1}, "1 required positional argument: 'samples'"),
            ((series_batch,), {}, "2 required positional arguments: 'window_size' and 'stride'"),
            ((), {"window_size": 5}, "2 required positional arguments: 'samples' and 'stride'"),
            ((), {}, "3 required positional arguments: 'samples', 'window_size', and 'stride'"),
        ]
        for args, kwargs, tail in cases:
            assert message_of(TypeError, lambda: entry_point(*args, **kwargs)) == (
                f"{name}() missing {tail}"
            )

    def test_binding_precedes_conversion(self, entry_point):
        # Nothing is converted before every slot is bound.
        name = entry_point.__name__
        assert message_of(TypeError, lambda: entry_point([1], "x")) == (
            f"{name}() missing 1 required positional argument: 'stride'"
        )


class TestSamplesConversion:
    @pytest.mark.parametrize(
        ("value", "type_name"),
        [
            ([[1.0, 2.0], [3.0, 4.0]], "list"),
            (None, "NoneType"),
            (3.5, "float"),
            (np.zeros((3, 8), np.float64), "ndarray"),
            (np.zeros((3, 8), np.float16), "ndarray"),
            (np.zeros((3, 8), np.int32), "ndarray"),
            (np.zeros((3, 8), np.complex64), "ndarray"),
            (np.zeros((3, 8), ">f4"), "ndarray"),
            (np.zeros(8, np.float32), "ndarray"),
            (np.zeros((2, 3, 8), np.float32), "ndarray"),
            (np.float32(1.0), "float32"),
            (memoryview(np.zeros((3, 8), np.float32)), "memoryview"),
        ],
    )
    def test_refused(self, entry_point, value, type_name):
        assert message_of(TypeError, lambda: entry_point(value, 3, 1)) == (
            f"argument 'samples': '{type_name}' {ARRAY_TARGET}"
        )

    def test_refused_subclass_reports_its_qualified_name(self, entry_point):
        class Outer:
            class Series(np.ndarray):
                pass

        value = np.zeros((2, 3, 4), np.float32).view(Outer.Series)
        assert message_of(TypeError, lambda: entry_point(value, 3, 1)) == (
            f"argument 'samples': '{Outer.Series.__qualname__}' {ARRAY_TARGET}"
        )
        assert "Outer.Series" in Outer.Series.__qualname__

    def test_samples_checked_before_integers(self, entry_point):
        assert message_of(TypeError, lambda: entry_point([1.0], -1, "x")).startswith(
            "argument 'samples': 'list'"
        )

    def test_accepted_subclass(self, entry_point, series_batch):
        class Series(np.ndarray):
            pass

        result = entry_point(series_batch.view(Series), 5, 2)
        assert type(result) is np.ndarray
        assert np.array_equal(result, entry_point(series_batch, 5, 2))


class Index:
    """An object that is an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class TestIntegerConversion:
    @pytest.mark.parametrize("parameter", ["window_size", "stride"])
    def test_float_names_the_parameter(self, entry_point, series_batch, parameter):
        kwargs = {"window_size": 3, "stride": 1, parameter: 1.5}
        with pytest.raises(TypeError) as index_error:
            __import__("operator").index(1.5)
        assert message_of(TypeError, lambda: entry_point(series_batch, **kwargs)) == (
            f"argument '{parameter}': {index_error.value}"
        )

    @pytest.mark.parametrize("value", ["3", b"3", None, [3], 3.0, np.float32(3), 1j])
    def test_non_integers(self, entry_point, series_batch, value):
        message = message_of(TypeError, lambda: entry_point(series_batch, value, 1))
        assert message.startswith("argument 'window_size': ")
        assert type(value).__name__ in message

    def test_negative(self, entry_point, series_batch):
        with pytest.raises(OverflowError) as expected:
            (-1).to_bytes(8, "little", signed=False)
        for value in (-1, Index(-1), -(2**70)):
            message = message_of(OverflowError, lambda: entry_point(series_batch, 3, value))
            assert not message.startswith("argument")
            assert "negative" in message
        assert "negative" in str(expected.value)

    @pytest.mark.parametrize("value", [2**32, 2**32 + 1, 2**63, 2**64 - 1, Index(2**40)])
    def test_above_u32(self, entry_point, series_batch, value):
        assert message_of(OverflowError, lambda: entry_point(series_batch, 3, value)) == (
            U32_OVERFLOW
        )
        assert message_of(OverflowError, lambda: entry_point(series_batch, value, 1)) == (
            U32_OVERFLOW
        )

    def test_at_least_2_to_64(self, entry_point, series_batch):
        for value in (2**64, 2**100):
            message = message_of(OverflowError, lambda: entry_point(series_batch, 3, value))
            assert message != U32_OVERFLOW
            assert not message.startswith("argument")

    def test_largest_u32_is_converted(self, entry_point, series_batch):
        # Converted fine; the pipeline then refuses the window as too large.
        message = message_of(ValueError, lambda: entry_point(series_batch, 2**32 - 1, 1))
        assert message == "window_size (4294967295) is larger than the series length (24)"

    def test_integer_like_values(self, entry_point, series_batch):
        class Int(int):
            def __index__(self):  # never consulted: an int subclass is read directly
                raise AssertionError

        expected = entry_point(series_batch, 5, 1)
        for window, stride in [
            (Index(5), 1),
            (5, True),
            (np.int64(5), np.uint8(1)),
            (Int(5), Int(1)),
        ]:
            assert np.array_equal(entry_point(series_batch, window, stride), expected)

    def test_true_and_false(self, entry_point, series_batch, internal_failure_of):
        assert np.array_equal(entry_point(series_batch, 5, True), entry_point(series_batch, 5, 1))
        error = internal_failure_of(lambda: entry_point(series_batch, 5, False))
        assert error.args == ("attempt to calculate the remainder with a divisor of zero",)


class TestRewrapping:
    def test_cause_is_copied(self, entry_point, series_batch):
        root = KeyError("root")

        class Failing:
            def __index__(self):
                try:
                    raise root
                except KeyError as error:
                    raise TypeError("no index today") from error

        with pytest.raises(TypeError) as caught:
            entry_point(series_batch, Failing(), 1)
        assert str(caught.value) == "argument 'window_size': no index today"
        assert caught.value.__cause__ is root

    def test_no_cause_stays_none(self, entry_point, series_batch):
        with pytest.raises(TypeError) as caught:
            entry_point(series_batch, 3, "x")
        assert caught.value.__cause__ is None
        assert str(caught.value).startswith("argument 'stride': ")

    def test_subclasses_and_other_types_propagate_unchanged(self, entry_point, series_batch):
        class SpecialTypeError(TypeError):
            pass

        for raised in (SpecialTypeError("special"), ValueError("value"), KeyError("key")):

            class Failing:
                def __index__(self, raised=raised):
                    raise raised

            with pytest.raises(type(raised)) as caught:
                entry_point(series_batch, 3, Failing())
            assert caught.value is raised

    def test_index_returning_non_int(self, entry_point, series_batch):
        message = message_of(TypeError, lambda: entry_point(series_batch, Index(2.5), 1))
        assert message.startswith("argument 'window_size': ")
        assert "__index__" in message


@pytest.mark.filterwarnings("ignore:Setting the:DeprecationWarning")
class TestIndexSideEffects:
    """__index__ runs user code after `samples` was checked; the copy must not trust it."""

    def test_reshape_in_place_is_seen(self, entry_point, series_batch):
        samples = series_batch.copy()

        class Reshaping:
            def __index__(self):
                samples.shape = (12, 12)
                return 5

        expected = entry_point(series_batch.reshape(12, 12), 5, 2)
        result = entry_point(samples, Reshaping(), 2)
        assert result.shape == (12, 12)
        assert np.array_equal(result, expected)

    def test_dimension_change_is_refused(self, entry_point, series_batch):
        samples = series_batch.copy()

        class Flattening:
            def __index__(self):
                samples.shape = (samples.size,)
                return 1

        assert message_of(TypeError, lambda: entry_point(samples, 5, Flattening())) == (
            f"argument 'samples': 'ndarray' {ARRAY_TARGET}"
        )

    def test_dtype_change_is_refused(self, entry_point, series_batch):
        samples = series_batch.copy()

        class Retyping:
            def __index__(self):
                samples.dtype = np.int32
                return 1

        assert message_of(TypeError, lambda: entry_point(samples, 5, Retyping())) == (
            f"argument 'samples': 'ndarray' {ARRAY_TARGET}"
        )

    def test_resize_reallocating_the_data(self, entry_point, series_batch):
        samples = series_batch.copy()

        class Resizing:
            def __index__(self):
                samples.resize((4, 10), refcheck=False)
                samples[...] = 1.0
                return 5

        result = entry_point(samples, Resizing(), 1)
        assert result.shape == (4, 10)
        assert np.array_equal(result, entry_point(np.ones((4, 10), np.float32), 5, 1))

    def test_last_reference_dropped(self, entry_point, series_batch):
        holder = {"samples": series_batch.copy()}
        expected = entry_point(series_batch, 5, 2)

        class Dropping:
            def __index__(self):
                holder.clear()
                return 2

        import gc

        def call():
            return entry_point(holder["samples"], 5, Dropping())

        result = call()
        gc.collect()
        assert np.array_equal(result, expected)
