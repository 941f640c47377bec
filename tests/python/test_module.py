"""The module object: attributes, docstrings, re-import, interpreters and import failures."""

import sys
import types

import pytest

import tacitor

LINEAR_DOC = (
    "Denoise a set of time-series samples using linear regression.\n\n# Parameters\n\n"
    "* `samples`: The time-series samples to denoise.\n"
    "* `window_size`: The number of elements in each window.\n\n"
    "# Errors\n\n* Shape mismatch. Should not happen.\n\n# Returns\n\nThe denoised samples."
)
TREE_DOC = LINEAR_DOC.replace("using linear regression", "using decision trees")


class TestAttributes:
    def test_public_names(self):
        assert tacitor.__all__ == ["denoise_linear_regression", "denoise_decision_tree"]
        assert type(tacitor.__all__) is list
        public = {name for name in dir(tacitor) if not name.startswith("_")}
        assert public == set(tacitor.__all__)

    @pytest.mark.parametrize(
        ("name", "doc"),
        [("denoise_linear_regression", LINEAR_DOC), ("denoise_decision_tree", TREE_DOC)],
    )
    def test_functions(self, name, doc):
        function = getattr(tacitor, name)
        assert isinstance(function, types.BuiltinFunctionType)
        assert function.__name__ == name
        assert function.__qualname__ == name
        assert function.__module__ == "tacitor"
        assert function.__self__ is tacitor
        assert function.__text_signature__ == "(samples, window_size, stride)"
        assert function.__doc__ == doc

    def test_signature_is_introspectable(self, entry_point):
        import inspect

        parameters = inspect.signature(entry_point).parameters
        assert list(parameters) == ["samples", "window_size", "stride"]
        kinds = {p.kind for p in parameters.values()}
        assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}

    def test_module_docstring(self):
        summary, *rest = tacitor.__doc__.split("\n")
        assert "Python module" in summary and summary.endswith(".")
        assert rest == [
            "",
            "# Errors",
            "",
            "* If the module cannot be created.",
            "* If the function cannot be added to the module.",
        ]


class TestReimport:
    def test_same_module_object(self):
        first = sys.modules["tacitor"]
        function = first.denoise_linear_regression
        del sys.modules["tacitor"]
        try:
            import tacitor as again
        finally:
            sys.modules["tacitor"] = first
        assert again is first
        assert again.denoise_linear_regression is function
        assert again.__all__ == ["denoise_linear_regression", "denoise_decision_tree"]

    def test_repeated_reimport_in_fresh_process(self, run_python):
        result = run_python(
            """
            import importlib, sys
            import tacitor
            first = tacitor
            for _ in range(5):
                del sys.modules["tacitor"]
                assert importlib.import_module("tacitor") is first
            print(first.__all__)
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "['denoise_linear_regression', 'denoise_decision_tree']"


SUBINTERPRETER_PRELUDE = """
import sys
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
CHILD = (
    "import sys\\n"
    "sys.path.insert(0, {module_dir!r})\\n"
    "try:\\n"
    "    import tacitor\\n"
    "    print('child: imported')\\n"
    "except ImportError as error:\\n"
    "    print('child: ImportError:', error)\\n"
)

def in_subinterpreter():
    try:
        interpreter = interpreters.create({config!r})
    except TypeError:
        interpreter = interpreters.create(isolated={config!r} == "isolated")
    interpreters.run_string(interpreter, CHILD)
    sys.stdout.flush()
"""
OUR_REFUSAL = "tacitor does not support subinterpreters"


class TestInterpreters:
    # Isolated subinterpreters refuse single-phase modules on the interpreter's own account;
    # legacy ones leave the decision to the module.
    @pytest.fixture(params=["legacy", "isolated"])
    def prelude(self, request):
        import os

        module_dir = os.path.dirname(tacitor.__file__)
        self.legacy = request.param == "legacy"
        return SUBINTERPRETER_PRELUDE.format(module_dir=module_dir, config=request.param)

    def test_subinterpreter_after_main(self, run_python, prelude):
        code = prelude + "import tacitor\nin_subinterpreter()\nprint('main:', tacitor.__all__)\n"
        result = run_python(code)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert lines[0].startswith("child: ImportError:")
        assert "subinterpreters" in lines[0]
        if self.legacy:
            assert OUR_REFUSAL in lines[0]
        assert lines[1] == "main: ['denoise_linear_regression', 'denoise_decision_tree']"

    def test_main_after_subinterpreter(self, run_python, prelude):
        code = prelude + (
            "in_subinterpreter()\n"
            "try:\n"
            "    import tacitor\n"
            "    print('main: imported')\n"
            "except ImportError as error:\n"
            "    print('main: ImportError:', error)\n"
        )
        result = run_python(code)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        if sys.version_info >= (3, 13):
            # CPython 3.13 runs the initialisation of a single-phase module in the main
            # interpreter first, so the main interpreter owns it and the child is refused.
            assert lines[0].startswith("child: ImportError:")
            if self.legacy:
                assert OUR_REFUSAL in lines[0]
            assert lines[1] == "main: imported"
            return
        # An isolated subinterpreter refuses single-phase modules on its own account, but
        # only after the module was claimed by that interpreter.
        assert lines[0].startswith("child:")
        if self.legacy:
            assert lines[0] == "child: imported"
        assert lines[1].startswith("main: ImportError:")
        assert OUR_REFUSAL in lines[1]


class TestImportFailures:
    @pytest.mark.parametrize(
        "blocker",
        [
            "sys.modules['logging'] = None",
            """
class Blocker:
    def find_spec(self, name, path=None, target=None):
        if name == 'logging':
            raise ImportError('logging is blocked')
sys.meta_path.insert(0, Blocker())
""",
        ],
    )
    def test_logging_not_importable(self, run_python, blocker):
        result = run_python(
            "import sys\nsys.modules.pop('logging', None)\n"
            + blocker
            + """
try:
    import tacitor
except Exception as error:
    print("Exception", type(error).__name__, error)
except BaseException as error:
    print("BaseException", type(error).__qualname__, type(error).__mro__[1].__name__)
    print(error.args[0])
    print(len(error.args))
"""
        )
        assert result.returncode == 0, result.stderr
        kind, name, base, message, count = (
            result.stdout.splitlines()[0].split() + result.stdout.splitlines()[1:]
        )
        assert (kind, name, base) == ("BaseException", "InternalFailure", "BaseException")
        assert message.startswith("Failed to initialize python logging")
        assert count == "1"
        assert "Failed to initialize python logging" in result.stderr

    def test_import_retried_after_failure(self, run_python):
        result = run_python(
            """
            import sys
            sys.modules.pop('logging', None)
            sys.modules['logging'] = None
            try:
                import tacitor
            except BaseException as error:
                print("first:", type(error).__name__)
            del sys.modules['logging']
            import tacitor
            print("second:", tacitor.__all__)
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [
            "first: InternalFailure",
            "second: ['denoise_linear_regression', 'denoise_decision_tree']",
        ]
