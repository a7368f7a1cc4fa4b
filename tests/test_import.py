"""The module's life cycle in a process: each case runs in a fresh interpreter."""
import subprocess
import sys
import textwrap

import pytest


def run_python(code, tmp_path):
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=tmp_path, capture_output=True, text=True, timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_reimport_yields_the_identical_module(tmp_path):
    out = run_python(
        """
        import importlib, sys
        import clipweave.clipweave as m
        m.marker = object()
        del sys.modules["clipweave.clipweave"]
        import clipweave.clipweave as again
        print(again is m, again.marker is m.marker, importlib.reload(m) is m)
        """,
        tmp_path,
    )
    assert out.split() == ["True", "True", "True"]


def test_exec_on_another_module_object_is_refused(tmp_path):
    out = run_python(
        """
        import ctypes, types
        import clipweave.clipweave as m
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        other = types.ModuleType("clipweave.clipweave")
        try:
            api.PyModule_ExecDef(other, api.PyModule_GetDef(m))
        except RuntimeError as e:
            print(e)
        print(api.PyModule_ExecDef(m, api.PyModule_GetDef(m)))
        """,
        tmp_path,
    )
    assert out.splitlines() == [
        "Module 'clipweave' has already been imported. Re-initialisation is not supported.",
        "0",  # exec on the module itself does nothing and succeeds
    ]


@pytest.mark.parametrize(
    "block, expected",
    [
        ('sys.modules["requests"] = None', "ModuleNotFoundError: import of requests halted; None in sys.modules"),
        ("sys.meta_path.insert(0, Refuse())", "RuntimeError: no requests today"),
    ],
)
def test_failed_import_propagates_and_a_later_one_succeeds(tmp_path, block, expected):
    out = run_python(
        f"""
        import sys
        class Refuse:
            def find_spec(self, name, path=None, target=None):
                if name == "requests":
                    raise RuntimeError("no requests today")
        saved = sys.modules.pop("requests", None)
        {block}
        try:
            import clipweave.clipweave
        except Exception as e:
            print(f"{{type(e).__name__}}: {{e}}")
        print("clipweave.clipweave" in sys.modules)
        sys.meta_path[:] = [f for f in sys.meta_path if not isinstance(f, Refuse)]
        sys.modules.pop("requests", None)
        import clipweave.clipweave as m
        print(m.requests.__name__, callable(m.run_recap))
        """,
        tmp_path,
    )
    assert out.splitlines() == [expected, "False", "requests True"]


def test_second_interpreter_is_refused(tmp_path):
    out = run_python(
        """
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            try:
                import _interpreters as interpreters  # its name from 3.13
            except ImportError:
                print("skip")
                raise SystemExit
        import clipweave.clipweave
        interp = interpreters.create()
        try:
            # 3.13 returns the failure; earlier versions raise it.
            failure = interpreters.run_string(interp, "import clipweave.clipweave")
            if failure is not None:
                print(failure.formatted)
        except Exception as e:
            print(e)
        finally:
            interpreters.destroy(interp)
        """,
        tmp_path,
    )
    if out.strip() == "skip":
        pytest.skip("no subinterpreter module")
    assert "ImportError" in out
    assert out.strip().endswith(
        "Interpreter change detected - this module can only be loaded "
        "into one interpreter per process."
    )


def test_print_is_taken_once_and_stdout_is_honoured(tmp_path):
    out = run_python(
        """
        import builtins, io, sys
        import clipweave.clipweave as m
        caught = []
        builtins.print = lambda *a, **k: caught.append(a)
        class Stop(Exception):
            pass
        def stop(*a, **k):
            raise Stop
        m.quote = stop
        buffer = io.StringIO()
        sys.stdout, real = buffer, sys.stdout
        try:
            m._download_video("u", "o")
        except Stop:
            pass
        sys.stdout = real
        sys.stdout.write(repr((caught, buffer.getvalue())))
        """,
        tmp_path,
    )
    assert out == repr(([], "📥 Requesting download from server...\n"))


def test_globals_are_looked_up_at_call_time(tmp_path):
    out = run_python(
        """
        import builtins
        import clipweave.clipweave as m
        class Stop(Exception):
            pass
        def stop(*a, **k):
            raise Stop(a)
        del m.quote
        try:
            m._download_video("u", "o")
        except NameError as e:
            print(e)
        builtins.quote = stop  # the builtins come after the module's globals
        try:
            m._download_video("a b", "o")
        except Stop as e:
            print(e.args[0])
        m.quote = lambda *a, **k: stop("module", *a)
        try:
            m._download_video("a b", "o")
        except Stop as e:
            print(e.args[0])
        """,
        tmp_path,
    )
    lines = [l for l in out.splitlines() if not l.startswith("📥")]
    assert lines == ["name 'quote' is not defined", "('a b',)", "('module', 'a b')"]


def test_reimport_does_not_leak(tmp_path):
    out = run_python(
        """
        import gc, sys
        import clipweave.clipweave as m
        def reimport(n):
            for _ in range(n):
                del sys.modules["clipweave.clipweave"]
                import clipweave.clipweave
        reimport(500)
        gc.collect()
        before = sys.getallocatedblocks()
        reimport(5000)
        gc.collect()
        print(sys.getallocatedblocks() - before)
        """,
        tmp_path,
    )
    assert int(out) < 1000  # a leak would keep one block per re-import: 5,000
