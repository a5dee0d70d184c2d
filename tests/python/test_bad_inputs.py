"""Bad arguments of every kind give an exception that says what is wrong,
never a crash."""
import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, unique_name

# Each case runs in a fresh interpreter so that a crash fails its row
# instead of ending the test run. The snippet sees nv, KEY and a client c
# (in-process stores) and must raise.
CRASH_CASES = [
    pytest.param("c.load_index(None, KEY)", id="load-none-name"),
    pytest.param("c.create_index(5, KEY)", id="create-int-name"),
    pytest.param("c.create_index('bi\\udcff', KEY)", id="create-name-not-utf8"),
    pytest.param("c.load_index('bi\\udcff', KEY)", id="load-name-not-utf8"),
    pytest.param("c.create_index('n', KEY, 5)", id="config-int"),
    pytest.param("c.create_index('n', KEY, 'ivfflat')", id="config-str"),
    pytest.param("c.create_index('n', KEY, nv.DBConfig('memory'))", id="config-other-class"),
]

CRASH_SNIPPET = """
import nivoradb_core as nv
KEY = bytes(range(1, 33))
db = nv.DBConfig("memory")
c = nv.Client("test", db, db, db)
try:
    {call}
except TypeError as e:
    print("TypeError:", str(e).splitlines()[0])
    print("indexes:", c.list_indexes())
"""


@pytest.mark.parametrize("call", CRASH_CASES)
def test_wrong_argument_types_raise_type_error(python_run, call):
    done = python_run(CRASH_SNIPPET.format(call=call))
    assert done.returncode == 0, done.stderr[-2000:]
    assert "TypeError: " in done.stdout, done.stdout + done.stderr[-2000:]
    assert "incompatible function arguments" in done.stdout
    assert "indexes: []" in done.stdout


def nested(depth):
    """A metadata dict nested `depth` levels deep: valid, but deeper than
    an index keeps."""
    document = {}
    for _ in range(depth - 1):
        document = {"k": document}
    return document


V = [0.5, 0.25, 0.0, 1.0]
F32 = np.ones((1, 4), dtype=np.float32)
NOT_A_FILTER = "Invalid filter: the operands of $and, $or, $nor and $not must be filter objects."

# (call on a client and an index of dimension 4 holding one item, exception,
# fragment of its message). A key element that does not convert keeps the
# exceptions of a failed conversion (ValueError from create_index,
# RuntimeError from load_index); every upsert failure is a ValueError.
BAD_INPUTS = [
    pytest.param(lambda c, ix: c.create_index(unique_name(), "a" * 32), ValueError,
                 "index_key must be bytes or a sequence of 32 integers from 0 to 255, not str",
                 id="key-str-create"),
    pytest.param(lambda c, ix: c.load_index(ix.index_name(), "a"), ValueError,
                 "index_key must be bytes or a sequence of 32 integers from 0 to 255, not str",
                 id="key-str-load"),
    pytest.param(lambda c, ix: c.create_index(unique_name(), [1] * 31 + [256]), ValueError,
                 "index_key element 31 must be an integer from 0 to 255", id="key-element"),
    pytest.param(lambda c, ix: c.load_index(ix.index_name(), [1.5] * 32), RuntimeError,
                 "index_key element 0 must be an integer from 0 to 255", id="key-element-load"),
    pytest.param(lambda c, ix: ix.upsert([{"id": 5, "vector": V}]), ValueError,
                 "'id' of item 0 must be str, bytes or bytearray, not int", id="id-int"),
    pytest.param(lambda c, ix: ix.upsert([{"id": "a", "vector": V}, {"id": None, "vector": V}]),
                 ValueError, "'id' of item 1 must be str, bytes or bytearray, not NoneType",
                 id="id-none"),
    pytest.param(lambda c, ix: ix.upsert(["a", 3], np.ones((2, 4), np.float32)), ValueError,
                 "ids[1] must be str, bytes or bytearray, not int", id="id-list-int"),
    pytest.param(lambda c, ix: ix.upsert([{"id": "a", "vector": ["x", "y", "z", "w"]}]),
                 ValueError, "'vector' of item 0 must be a sequence of numbers", id="vector-str"),
    pytest.param(lambda c, ix: ix.upsert([{"id": "a", "vector": "1234"}]), ValueError,
                 "'vector' of item 0 must be a sequence of numbers", id="vector-text"),
    pytest.param(lambda c, ix: ix.query(["x", "y", "z", "w"]), RuntimeError,
                 "query_vectors must be a sequence of numbers", id="query-str"),
    pytest.param(lambda c, ix: ix.query([V, ["x", "y", "z", "w"]]), RuntimeError,
                 "query_vectors row 1 must be a sequence of numbers", id="query-row-str"),
    pytest.param(lambda c, ix: ix.upsert([{"id": "a", "vector": V, "metadata": '{"a": 1}'}]),
                 ValueError, "'metadata' of item 0 must be a dict or None, not str",
                 id="metadata-json-text"),
    pytest.param(lambda c, ix: ix.upsert([{"id": "a", "vector": V, "metadata": [1, 2]}]),
                 ValueError, "'metadata' of item 0 must be a dict or None, not list",
                 id="metadata-list"),
    pytest.param(lambda c, ix: ix.upsert([{"id": "a", "vector": V, "metadata": nested(900)}]),
                 ValueError,
                 "Metadata at position 0 nests deeper than 64 levels; at most 64 are allowed.",
                 id="metadata-900-deep"),
    pytest.param(lambda c, ix: ix.query(V, filters={"$and": "x"}), ValueError, NOT_A_FILTER,
                 id="filter-and-text"),
    pytest.param(lambda c, ix: ix.query(V, filters={"$or": [{"g": 1}, 5]}), ValueError,
                 NOT_A_FILTER, id="filter-or-element"),
]


@pytest.mark.parametrize("call, error, fragment", BAD_INPUTS)
def test_bad_inputs_name_the_argument(memory_client, call, error, fragment):
    index = memory_client.create_index(unique_name(), KEY, nv.IndexIVFFlat(4))
    index.upsert([{"id": "kept", "vector": V, "metadata": {"g": 2}}])
    with pytest.raises(error) as raised:
        call(memory_client, index)
    assert type(raised.value) is error
    assert fragment in str(raised.value)
    assert index.list_ids() == ["kept"]


def test_filter_that_is_not_an_object_on_a_trained_index(trained):
    index, vectors = trained
    with pytest.raises(ValueError, match="Invalid filter: the operands of"):
        index.query(vectors[0], filters={"$and": "x"})
