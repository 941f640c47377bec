"""solver="gram": the linear method's fits solved from one Gram matrix of the windows, and the
window search that scores its linear candidates that way."""

import numpy as np
import pytest

import tacitor
import tacitor_tools
from tacitor_tools import auto_denoise, bridge, select
from tacitor_tools.selection import search


def noisy_sines(series, length, seed, noise=0.3):
    rng = np.random.default_rng(seed)
    t = np.arange(length)
    periods = rng.uniform(20, 90, (series, 1))
    clean = np.sin(2 * np.pi * t / periods + rng.uniform(0, 6, (series, 1)))
    return (clean + noise * rng.standard_normal((series, length))).astype(np.float32)


def noisy_steps(series, length, seed):
    rng = np.random.default_rng(seed)
    clean = np.cumsum(rng.random((series, length)) < 0.01, axis=1) % 3
    return (clean + 0.4 * rng.standard_normal((series, length))).astype(np.float32)


@pytest.mark.parametrize("series,length,window,stride", [(8, 600, 16, 1), (3, 900, 24, 2)])
def test_gram_output_follows_the_exact_call(series, length, window, stride):
    x = noisy_sines(series, length, seed=window)
    exact = tacitor.denoise_linear_regression(x, window, stride)
    gram = bridge.call("linear", x, window, stride, solver="gram")
    assert gram.dtype == np.float32
    np.testing.assert_allclose(gram, exact, rtol=1e-4, atol=1e-4 * float(np.max(np.abs(exact))))
    trained = tacitor_tools.fit(x, window, stride, solver="gram")
    np.testing.assert_array_equal(trained.denoise(x), gram)


def test_solver_names_are_checked():
    x = noisy_sines(2, 100, seed=0)
    with pytest.raises(ValueError, match="solver must be one of"):
        bridge.call("linear", x, 4, 1, solver="fast")
    with pytest.raises(ValueError, match="linear method only"):
        bridge.call("tree", x, 4, 1, solver="gram")
    with pytest.raises(ValueError, match="linear method only"):
        tacitor_tools.fit(x, 4, method="tree", solver="gram")


def test_gram_output_is_the_same_bits_on_one_worker(run_python, monkeypatch):
    # Several blocks of the Gram matrix's sums (4096 rows each), joined in a fixed order.
    x = noisy_sines(20, 800, seed=3)
    here = bridge.call("linear", x, 12, 1, solver="gram")
    monkeypatch.setenv("RAYON_NUM_THREADS", "1")
    child = run_python(
        f"""
        import numpy as np
        from tacitor_tools import bridge
        x = np.frombuffer(bytes.fromhex("{x.tobytes().hex()}"), np.float32).reshape(20, 800)
        print(bridge.call("linear", x, 12, 1, solver="gram").tobytes().hex())
        """
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == here.tobytes().hex()


@pytest.mark.parametrize("make", [noisy_sines, noisy_steps])
def test_search_scored_through_the_gram_route_chooses_as_the_exact_calls(make, monkeypatch):
    x = make(24, 500, seed=7)
    grid = (4, 8, 16, 24, 32)  # given, so that no costly exact call beyond it runs
    fast = select(x, window_sizes=grid)
    monkeypatch.setattr(search, "scoring_solver", lambda method: "exact")
    exact = select(x, window_sizes=grid)
    assert fast.window_size == exact.window_size
    assert [c.window_size for c in fast.table] == [c.window_size for c in exact.table]
    np.testing.assert_allclose(
        [c.loss for c in fast.table], [c.loss for c in exact.table], rtol=1e-3
    )


def test_the_user_gets_the_exact_call_at_the_chosen_window():
    x = noisy_sines(16, 400, seed=5)
    out, selection = auto_denoise(x, window_sizes=(4, 8, 16), blend=False)
    expected = tacitor.denoise_linear_regression(x, selection.window_size, selection.stride)
    np.testing.assert_array_equal(out, expected)


def test_the_interfaces_pass_the_solver_on():
    from tacitor_tools import TacitorDenoiser

    x = noisy_sines(6, 300, seed=9)
    gram = bridge.call("linear", x, 12, 1, solver="gram")
    np.testing.assert_array_equal(
        TacitorDenoiser(window_size=12, solver="gram").fit_transform(x), gram
    )
    with_gap = x.copy()
    with_gap[0, 5] = np.nan
    imputed = TacitorDenoiser(window_size=12, missing="impute", solver="gram")
    np.testing.assert_allclose(imputed.fit_transform(with_gap), gram, atol=0.5)
    out, selection = auto_denoise(x, window_sizes=(4, 8), blend=False, solver="gram")
    np.testing.assert_array_equal(
        out, bridge.call("linear", x, selection.window_size, selection.stride, solver="gram")
    )
