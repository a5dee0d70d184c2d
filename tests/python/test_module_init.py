import importlib
import sys

import pytest

import nivoradb_core
from nivoradb_core import _core

DOC = ("Encrypted vector-database client: a Client on storage locations (DBConfig) creates and "
       "loads encrypted indexes (EncryptedIndex) under a 32-byte key that only the application "
       "holds.")
PUBLIC_NAMES = ["set_working_dir", "DBConfig", "Logger", "IndexConfig", "IndexIVFPQ", "IndexIVF",
                "IndexIVFFlat", "IndexIVFSQ", "GPUConfig"]


def test_module_doc_and_names():
    assert nivoradb_core.__doc__ == DOC
    assert _core.__doc__ == DOC
    for name in PUBLIC_NAMES:
        assert getattr(nivoradb_core, name) is getattr(_core, name)
    # Registration order is the order names were added to the module.
    registered = [n for n in vars(_core) if n in PUBLIC_NAMES]
    assert registered == PUBLIC_NAMES


def test_reimport_gives_the_same_module():
    del sys.modules["nivoradb_core._core"]
    try:
        again = importlib.import_module("nivoradb_core._core")
        assert again is _core
        assert again.GPUConfig is nivoradb_core.GPUConfig
    finally:
        sys.modules["nivoradb_core._core"] = _core


def test_logger_instance_is_one_object():
    assert nivoradb_core.Logger.instance() is nivoradb_core.Logger.instance()


@pytest.mark.parametrize("call", [
    lambda: nivoradb_core.set_working_dir(123),
    lambda: nivoradb_core.set_working_dir(path="x"),
    lambda: nivoradb_core.set_working_dir(None),
    lambda: nivoradb_core.IndexConfig(),
    lambda: nivoradb_core.Logger(),
])
def test_refused_calls_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_set_working_dir_replaces_the_folder():
    try:
        nivoradb_core.set_working_dir("/tmp/a")
        nivoradb_core.set_working_dir(b"/tmp/b")
        assert _core._testing.working_dir() == "/tmp/b"
    finally:
        nivoradb_core.set_working_dir("")
    assert nivoradb_core.set_working_dir.__doc__.endswith(
        "This build reads and writes nothing there: RocksDB data goes where its DBConfig says.\n")


def test_subinterpreter_import_is_refused(python_run, tmp_path):
    out = tmp_path / "result.txt"
    result = python_run(f"""
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        code = '''
        try:
            import nivoradb_core
            result = "imported"
        except ImportError as e:
            result = "ImportError: " + str(e)
        with open({str(out)!r}, "w") as f:
            f.write(result)
        '''
        import textwrap
        interpreters.run_string(interp, textwrap.dedent(code))
        interpreters.destroy(interp)
        import nivoradb_core  # the main interpreter still imports it
        print(nivoradb_core.__doc__)
    """)
    assert result.returncode == 0, result.stderr
    assert out.read_text().startswith("ImportError: ")
    assert "subinterpreters" in out.read_text()
    assert result.stdout.strip() == DOC


def test_json_after_exit_hook_imports_json_for_the_call(python_run):
    # atexit runs handlers last-registered first: `late` runs after the
    # module's own hook has released the json handles.
    result = python_run("""
        import atexit
        def late():
            from nivoradb_core._core import _testing
            print("held", _testing.json_handles_held())
            print(_testing.json_dumps({"a": [1, 2]}))
            print(_testing.json_loads('{"b": null}'))
        atexit.register(late)
        import nivoradb_core
        from nivoradb_core._core import _testing
        print("held", _testing.json_handles_held())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["held True", "held False", '{"a": [1, 2]}',
                                          "{'b': None}"]


def test_exit_with_live_objects_returns_zero(python_run):
    result = python_run("""
        import nivoradb_core as n
        keep = [n.IndexIVFPQ(8, 4, 8), n.IndexIVFSQ().clone(), n.GPUConfig(True),
                n.DBConfig("memory"), n.Logger.instance()]
        n.Logger.instance().configure("warning")
        n.Logger.instance().warning("still alive")
    """)
    assert result.returncode == 0, result.stderr
    assert "[WARNING] still alive" in result.stdout


def test_json_import_failure_fails_the_import_and_a_retry_succeeds(python_run):
    result = python_run("""
        import json, sys
        saved = sys.modules.pop("json")
        sys.modules["json"] = None
        try:
            import nivoradb_core
        except ImportError as e:
            print("refused:", e)
        sys.modules["json"] = saved
        sys.modules.pop("nivoradb_core", None)
        import nivoradb_core
        print(nivoradb_core.__doc__, nivoradb_core._core._testing.json_handles_held())
    """)
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.splitlines()
    assert first.startswith("refused: Failed to import json module: ")
    assert second == DOC + " True"
