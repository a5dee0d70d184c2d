"""The type stubs shipped in the package (python/nivoradb_core/__init__.pyi
and py.typed) are what scripts/stubs.py generates from the module, agree
with the module at run time (mypy's stubtest), and let a type checker accept
the examples and refuse calls the module refuses."""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import nivoradb_core as nv

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "python" / "nivoradb_core"


def run(args, tmp, **kw):
    # MYPYPATH puts the stubs of this checkout ahead of the installed ones.
    env = dict(os.environ, MYPYPATH=str(ROOT / "python"))
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, cwd=tmp,
                          env=env, timeout=300, **kw)


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy_cache")


def mypy(paths, tmp, cache):
    return run(["-m", "mypy", "--cache-dir", str(cache), "--no-error-summary", *map(str, paths)], tmp)


def test_stubs_are_generated_from_the_module(tmp_path):
    assert (PACKAGE / "py.typed").is_file()
    done = run([str(ROOT / "scripts" / "stubs.py"), "--check"], tmp_path)
    assert done.returncode == 0, done.stderr


def test_stubtest_finds_the_stubs_true_to_the_module(tmp_path, mypy_cache):
    # pybind11 classes have pybind11's own metaclass, and a class without a
    # constructor inherits one that only raises TypeError; nothing else is
    # excused.
    classes = [name for name in nv.__all__ if isinstance(getattr(nv, name), type)]
    excused = [f"nivoradb_core.{name}" for name in classes]
    excused += [f"nivoradb_core.{name}.__init__" for name in classes
                if type(vars(getattr(nv, name))["__init__"]).__name__ == "wrapper_descriptor"]
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("\n".join(excused) + "\n")
    assert len(excused) == len(classes) + 3  # Logger, IndexConfig, EncryptedIndex
    done = run(["-m", "mypy.stubtest", "nivoradb_core", "--allowlist", str(allowlist)], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_type_check(tmp_path, mypy_cache):
    done = mypy(sorted((ROOT / "examples").glob("*.py")), tmp_path, mypy_cache)
    assert done.returncode == 0, done.stdout + done.stderr


REFUSED = {
    "nv.GPUConfig(query=True)": 'Unexpected keyword argument "query"',
    'nv.set_working_dir(path="x")': 'Unexpected keyword argument "path"',
    'nv.DBConfig("memory").location': 'has no attribute "location"',
    'nv.IndexIVFSQ(sq_bits=None)': "incompatible type",
    'nv.Logger.instance().configure(level=1)': "incompatible type",
    'client.create_index("i", b"k" * 32, nv.IndexIVF(4)).train(tolerance="x")': "incompatible type",
    'client.create_index("i", b"k" * 32, nv.IndexIVF(4)).upsert(items=[])': 'Unexpected keyword argument "items"',
}


def test_type_checker_refuses_what_the_module_refuses(tmp_path, mypy_cache):
    lines = ["import nivoradb_core as nv",
             'client = nv.Client("k", nv.DBConfig("memory"), nv.DBConfig("memory"), nv.DBConfig("memory"))']
    first = len(lines) + 1
    lines += list(REFUSED)
    source = tmp_path / "refused.py"
    source.write_text("\n".join(lines) + "\n")
    done = mypy([source], tmp_path, mypy_cache)
    for number, (call, message) in enumerate(REFUSED.items(), start=first):
        errors = [line for line in done.stdout.splitlines() if line.startswith(f"refused.py:{number}: error")]
        assert any(message in line for line in errors), (call, done.stdout)


def test_results_have_the_types_they_are_returned_with(tmp_path, mypy_cache):
    # The dicts are private to the stub (named in quotes); the file is also run,
    # so the values are what the types say.
    source = textwrap.dedent("""
        import typing
        import numpy as np
        import nivoradb_core as nv

        db = nv.DBConfig("memory")
        index = nv.Client("k", db, db, db).create_index("typed", bytes(range(1, 33)), nv.IndexIVFFlat(2))
        index.upsert([{"id": "a", "vector": [1.0, 0.0], "contents": "text", "metadata": {"k": 1}}])
        hits = index.query([1.0, 0.0])
        typing.assert_type(hits, list[nv._QueryResult])
        assert isinstance(hits[0]["distance"], float) and hits[0]["metadata"] == {"k": 1}
        batch = index.query([[1.0, 0.0], [0.0, 1.0]])
        typing.assert_type(batch, list[nv._QueryResult] | list[list[nv._QueryResult]])
        assert isinstance(batch[0], list)
        typing.assert_type(index.query(np.ones((1, 2), dtype=np.float32)),
                           list[nv._QueryResult] | list[list[nv._QueryResult]])
        item = index.get(["a"])[0]
        typing.assert_type(item["contents"], bytes)
        assert item["contents"] == b"text" and item["vector"] == [1.0, 0.0]
        config = index.index_config()
        typing.assert_type(config["n_lists"], int)
        assert config["index_type"] == "ivfflat"
    """)
    checked = tmp_path / "typed.py"
    checked.write_text(source.replace("nv._QueryResult", '"nv._QueryResult"'))
    done = mypy([checked], tmp_path, mypy_cache)
    assert done.returncode == 0, done.stdout + done.stderr
    done = run([str(checked)], tmp_path)
    assert done.returncode == 0, done.stderr
