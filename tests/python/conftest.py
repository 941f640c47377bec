import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tacitor

FUNCTION_NAMES = ["denoise_linear_regression", "denoise_decision_tree"]


@pytest.fixture(params=FUNCTION_NAMES)
def entry_point(request):
    """Each public function in turn; its __name__ is the name used in its messages."""
    return getattr(tacitor, request.param)


@pytest.fixture
def series_batch():
    """A small, well-conditioned batch: 6 noisy sine series of 24 steps."""
    rng = np.random.default_rng(1234)
    t = np.linspace(0.0, 4.0 * np.pi, 24)
    clean = np.sin(t)[None, :] * np.arange(1, 7)[:, None]
    return (clean + 0.1 * rng.standard_normal(clean.shape)).astype(np.float32)


def _internal_failure_of(call):
    try:
        call()
    except Exception as error:  # an ordinary handler must not see it
        pytest.fail(f"internal failure was an Exception: {error!r}")
    except BaseException as error:
        assert type(error).__mro__[1] is BaseException
        return error
    pytest.fail("no exception raised")


def _run_python(code, timeout=60):
    env = dict(os.environ)
    module_dir = os.path.dirname(tacitor.__file__)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


@pytest.fixture
def internal_failure_of():
    """Runs a call that must raise the BaseException-derived internal failure; returns it."""
    return _internal_failure_of


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter that imports the same tacitor as the tests."""
    return _run_python
