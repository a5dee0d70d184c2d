"""Every example in the module's docstrings runs as written.

The examples are doctests. They run against a client on the process-wide
in-process store, with these names at hand: every public name of the module,
`np`, `key` (a 32-byte index key), `client` and `index` (an IVFFlat index of
dimension 4 holding id1, id2 and id3, described in `filled_index`). Indexes
an example creates are deleted afterwards.
"""
import doctest
import inspect
import re

import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, unique_name

EXAMPLE_HEADING = re.compile(r"^\s*Examples?:\s*$", re.M)


def documented():
    """(name, docstring) of the module, its functions and classes, and of
    every member each class defines itself."""
    found = [("nivoradb_core", nv.__doc__)]
    for name in nv.__all__:
        obj = getattr(nv, name)
        found.append((name, obj.__doc__))
        if isinstance(obj, type):
            for member in vars(obj):
                static = inspect.getattr_static(obj, member)
                doc = static.__doc__ if isinstance(static, property) else getattr(obj, member).__doc__
                found.append((f"{name}.{member}", doc))
    return [(name, doc) for name, doc in found if doc]


DOCUMENTED = documented()
WITH_EXAMPLES = [(name, doc) for name, doc in DOCUMENTED if ">>>" in doc]


def filled_index(client):
    index = client.create_index(unique_name("doc"), KEY, nv.IndexIVFFlat(4))
    index.upsert([
        {"id": "id1", "vector": [1, 0, 0, 0], "contents": "first", "metadata": {"tag": "x", "price": 5}},
        {"id": "id2", "vector": [0, 3, 0, 0], "contents": "second", "metadata": {"tag": "y", "price": 20}},
        {"id": "id3", "vector": [1, 1, 0, 0]},
    ])
    return index


@pytest.fixture
def doc_globals():
    location = nv.DBConfig("threadsafememory")
    client = nv.Client("your_api_key", location, location, location)
    before = set(client.list_indexes())
    names = {name: getattr(nv, name) for name in nv.__all__}
    yield names | {"np": np, "key": KEY, "client": client, "index": filled_index(client)}
    for name in set(client.list_indexes()) - before:
        client.load_index(name, KEY).delete_index()


def test_every_example_section_is_a_doctest():
    plain = [name for name, doc in DOCUMENTED
             if EXAMPLE_HEADING.search(doc) and ">>>" not in doc[EXAMPLE_HEADING.search(doc).end():]]
    assert plain == []
    assert len(WITH_EXAMPLES) >= 15


@pytest.mark.parametrize("name,doc", WITH_EXAMPLES, ids=[name for name, _ in WITH_EXAMPLES])
def test_docstring_examples_run(name, doc, doc_globals):
    test = doctest.DocTestParser().get_doctest(doc, doc_globals, name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    report = []
    result = runner.run(test, out=report.append, clear_globs=False)
    assert result.attempted > 0
    assert result.failed == 0, "".join(report)
