"""The module finds NumPy's C API under the core module name of the NumPy it runs with.

NumPy 1.x keeps its core under `numpy.core`, NumPy 2.x under `numpy._core`. Each case runs in a
fresh interpreter, because the module looks the API up once, on its first call, and keeps it.
"""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tacitor

ENTRY_POINTS = ("denoise_linear_regression", "denoise_decision_tree")
CAPSULE_FAILURE = "Failed to access NumPy array API capsule"


def test_numpy_is_the_expected_major_version():
    # The CI matrix states which NumPy each run is meant to have; a silent fallback to another
    # version would leave one of the two core module names untested.
    expected = os.environ.get("TACITOR_EXPECT_NUMPY_MAJOR")
    major = int(np.__version__.split(".")[0])
    if expected is None:
        pytest.skip(f"no expected NumPy major version set (running {np.__version__})")
    assert major == int(expected), np.__version__


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_a_call_works_with_the_installed_numpy(entry):
    samples = np.linspace(-1, 1, 3 * 16, dtype=np.float32).reshape(3, 16) ** 2
    result = getattr(tacitor, entry)(samples, 4, 2)
    assert result.dtype == np.float32 and result.shape == samples.shape
    assert np.isfinite(result).all()


# The child imports the real NumPy and keeps its API capsule and an array, then replaces every
# `numpy` module with a stand-in that claims `version`; the capsule is put under `provides` and
# importing `blocks` fails. tacitor's first call happens only after the swap.
CHILD = textwrap.dedent(
    """
    import importlib.abc
    import sys
    import types

    import numpy
    import numpy.lib

    version, provides, blocks = sys.argv[1:4]
    real_core = numpy._core if hasattr(numpy, "_core") else numpy.core
    capsule = real_core.multiarray._ARRAY_API
    NumpyVersion = numpy.lib.NumpyVersion
    samples = numpy.arange(24, dtype=numpy.float32).reshape(2, 12) % 5

    import tacitor

    real = {name: module for name, module in sys.modules.items() if name.split(".")[0] == "numpy"}
    for name in real:
        del sys.modules[name]

    class Block(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path=None, target=None):
            if name == blocks or name.startswith(blocks + "."):
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)
            return None

    sys.meta_path.insert(0, Block())

    def package(name, **attributes):
        module = types.ModuleType(name)
        module.__path__ = []
        module.__dict__.update(attributes)
        sys.modules[name] = module
        return module

    fake = package("numpy", __version__=version)
    fake.lib = package("numpy.lib", NumpyVersion=NumpyVersion)
    core = package(provides)
    setattr(fake, provides.split(".")[1], core)
    core.multiarray = package(provides + ".multiarray", _ARRAY_API=capsule)

    try:
        result = tacitor.denoise_decision_tree(samples, 3, 1)
    except BaseException as error:
        outcome = f"raised {type(error).__name__} {type(error).__mro__[1].__name__} {error}"
    else:
        outcome = f"result {result.dtype.char} {result.shape}"
    # NumPy itself needs its real modules back before it prints anything.
    sys.meta_path.pop(0)
    sys.modules.update(real)
    print(outcome)
    """
)


def run_child(version: str, provides: str, blocks: str) -> str:
    child = subprocess.run(
        [sys.executable, "-c", CHILD, version, provides, blocks],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert child.returncode == 0, child.stderr
    return child.stdout.strip()


@pytest.mark.parametrize(
    "version, right, wrong",
    [("2.1.0", "numpy._core", "numpy.core"), ("1.26.4", "numpy.core", "numpy._core")],
)
def test_core_module_name_follows_the_numpy_major_version(version, right, wrong):
    # The capsule under the name this version uses works...
    assert run_child(version, provides=right, blocks=wrong) == "result f (2, 12)"
    # ...and a capsule found only under the other version's name is not used.
    outcome = run_child(version, provides=wrong, blocks=right)
    assert outcome.startswith(f"raised InternalFailure BaseException {CAPSULE_FAILURE}")
