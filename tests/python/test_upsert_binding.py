import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, make_client, unique_name

V = [0.5, 0.25, 0.0, 1.0]
F32 = np.ones((1, 4), dtype=np.float32)
NO_MODEL = ("Index was not set up for automatic embedding generation. Provide `vector` explicitly "
            "or create a new index with an embedding model.")
LIST_FORM = "Invalid arguments. Expected a list of dicts when passing a single argument."
TWO_ARG_FORM = ("Invalid argument types. Expected a list of dicts for single arg mode, (list[str], "
                "float32 np.ndarray) or (int32/int64 np.ndarray, float32 np.ndarray) for two-arg "
                "mode.")

# (arguments, message or None when only the type matters). Each is tried on an
# empty index, which must stay empty.
FAILURES = [
    (([],), LIST_FORM),
    (([("id", "a")],), LIST_FORM),
    (({"id": "a", "vector": V},), LIST_FORM),
    (([{"vector": V}],), "Each dictionary must contain an 'id' key."),
    # the first pass runs over every item before the second pass starts
    (([{"id": "a"}, {"vector": V}],), "Each dictionary must contain an 'id' key."),
    (([{"id": "a"}, {"id": "b", "contents": b"x"}],),
     "'contents' must be of `str` type for auto-embedding."),
    (([{"id": "a", "vector": V, "contents": 5}],), "'contents' must be of type `bytes` or `str`."),
    (([{"id": "a", "vector": V, "contents": "\ud800"}],), None),  # not encodable as UTF-8
    (([{"id": "a", "vector": V, "contents": None}],),
     "'contents' must be of type `bytes` or `str`."),
    (([{"id": "a", "contents": "some text"}],), NO_MODEL),
    (([{"id": "a", "vector": V}, {"id": "b"}],),
     "Item at index 1 is missing both 'vector' and 'contents' fields."),
    (([{"id": "a", "vector": V}, {"id": "b", "vector": V[:2]}],),
     "All vectors must have the same length."),
    (([{"id": "a", "vector": V[:2]}, {"id": "b", "vector": V}],),
     "All vectors must have the same length."),
    (([{"id": "a", "vector": ["x", 1, 2, 3]}],), None),
    (([{"id": 5, "vector": V}],), None),
    (([{"id": "a", "vector": V, "metadata": {"s": {1, 2}}}],), None),
    (([{"id": "a", "vector": V, "metadata": 5}],), None),
    (([{"id": "a", "vector": [1.0, 2.0]}],),
     "The dimension of the vectors provided (2) doesn't match the index configuration (4)."),
    ((["a"], np.ones((1, 4))), "vectors must be float32."),
    ((["a"], [[1.0] * 4]), "Second argument must be a numpy array for vectors."),
    ((np.zeros((1, 1), dtype=np.int64), F32), "ids array must be 1D."),
    ((("a",), F32), TWO_ARG_FORM),
    ((["a"], np.ones(4, dtype=np.float32)), "Expected a 2D array."),
    ((["a", "b"], F32), None),  # two ids, one row
    ((["a", 3], F32), None),
]


@pytest.mark.parametrize("args, message", FAILURES)
def test_upsert_failures(flat_index, args, message):
    with pytest.raises(ValueError) as raised:
        flat_index.upsert(*args)
    if message is not None:
        assert str(raised.value) == message
    assert flat_index.get_num_vectors() == 0 and flat_index.list_ids() == []


def test_json_error_keeps_its_text(flat_index):
    with pytest.raises(ValueError, match="TypeError: Object of type set is not JSON serializable"):
        flat_index.upsert([{"id": "a", "vector": V, "metadata": {"s": {1}}}])


def test_contents_and_metadata_per_item(flat_index):
    flat_index.upsert([
        {"id": "a", "vector": V, "contents": b"\x00raw", "metadata": {"k": [1, 2]}},
        {"id": "b", "vector": V, "contents": "té"},
        {"id": "c", "vector": V, "metadata": None},
        {"id": b"d", "vector": np.array(V, dtype=np.float32)},
        [("id", bytearray(b"e")), ("vector", V), ("metadata", [("x", 1)])],  # through dict()
    ])
    items = {item["id"]: item for item in flat_index.get(["a", "b", "c", "d", "e"])}
    assert items["a"]["contents"] == b"\x00raw" and items["a"]["metadata"] == {"k": [1, 2]}
    assert items["b"]["contents"] == "té".encode() and items["b"]["metadata"] == {}
    assert items["c"]["contents"] == b"" and items["c"]["metadata"] == {}
    assert items["d"]["vector"] == pytest.approx(V)
    assert items["e"]["metadata"] == {"x": 1}


@pytest.mark.parametrize("ids, expected", [
    (np.array([5, -2, 2**62], dtype=np.int64), ["5", "-2", str(2**62)]),
    (np.array([7, 255], dtype=np.uint8), ["7", "255"]),
    (np.array([1, 2, 3, 4], dtype=np.int32)[::2], ["1", "3"]),
    (np.array([2**64 - 1], dtype=np.uint64), [str(2**64 - 1)]),
    # integers in the other byte order than the machine's
    (np.array([1, 2, -3], dtype=">i8"), ["1", "2", "-3"]),
    (np.array([1, 2, 3, -4], dtype=">i4")[::2], ["1", "3"]),
    (np.array([258, 65535], dtype=">u2"), ["258", "65535"]),
    (np.array([1.5, 2.0]), ["1.5", "2.0"]),
    (np.array(["x", "y"]), ["x", "y"]),
])
def test_id_arrays(flat_index, ids, expected):
    flat_index.upsert(ids, np.ones((len(expected), 4), dtype=np.float32))
    assert sorted(flat_index.list_ids()) == sorted(expected)


def test_matrix_layouts(flat_index):
    base = np.arange(12, dtype=np.float32).reshape(3, 4)
    flat_index.upsert(["r0", "r1", "r2"], np.asfortranarray(base))
    got = flat_index.get(["r0", "r1", "r2"], include=["vector"])
    assert [g["vector"] for g in got] == base.tolist()


def test_get_key_order_and_request_order(flat_index):
    flat_index.upsert([{"id": i, "vector": V, "metadata": {"i": i}} for i in "abc"])
    assert [list(item) for item in flat_index.get(["a"])] == [["id", "vector", "contents",
                                                               "metadata"]]
    assert list(flat_index.get(["a"], include=["metadata", "vector"])[0]) == [
        "id", "metadata", "vector"]
    assert flat_index.get(["a"], include=["distance"]) == [{"id": "a"}]
    assert flat_index.get(["a"], include=[]) == [{"id": "a"}]
    assert [item["id"] for item in flat_index.get(["c", "a", "b"], include=[])] == ["c", "a", "b"]


# ---- automatic embedding ---------------------------------------------------------------

@pytest.fixture
def model_index(embedding_module):
    client = make_client("threadsafememory")
    index = client.create_index(unique_name(), KEY, nv.IndexIVFFlat(), embedding_model="tiny")
    yield index
    index.delete_index()


def test_texts_are_embedded_in_one_call(model_index, embedding_module):
    model_index.upsert([{"id": t, "contents": t} for t in ("one", "two", "three")])
    assert embedding_module.calls == [(["one", "two", "three"], True)]
    embedding_module.calls.clear()
    model_index.upsert([{"id": "four", "contents": "four"},
                        {"id": "five", "vector": [0.0] * 8, "contents": "five"}])
    assert embedding_module.calls == [("four", True)]
    stored = model_index.get(["two"], include=["vector", "contents"])[0]
    assert stored["vector"] == pytest.approx(embedding_module.embed("two").tolist())
    assert stored["contents"] == b"two"


OK = object()


@pytest.mark.parametrize("batch_result, message", [
    (lambda texts: np.ones((len(texts), 8)), OK),  # float64 is converted
    (lambda texts: np.asfortranarray(np.ones((len(texts), 8), dtype=np.float32)), OK),
    (lambda texts: [[1.0] * 8 for _ in texts], OK),
    (lambda texts: np.ones(8, dtype=np.float32), "Expected 2D array from batch encoding, got 1D"),
    (lambda texts: np.ones((1, 8), dtype=np.float32),
     "Mismatch between number of embeddings returned and texts provided."),
    (lambda texts: np.ones((len(texts), 3), dtype=np.float32),
     "The dimension of the vectors provided (3) doesn't match the index configuration (8)."),
    (lambda texts: [[1.0] * 8, [1.0] * 7], None),
    (lambda texts: [object(), object()], None),
])
def test_batch_encode_results(model_index, embedding_module, batch_result, message):
    embedding_module.batch_result = batch_result
    items = [{"id": "a", "contents": "a"}, {"id": "b", "contents": "b"}]
    if message is OK:
        model_index.upsert(items)
        assert model_index.get(["a"], include=["vector"])[0]["vector"] == [1.0] * 8
        return
    with pytest.raises(ValueError) as raised:
        model_index.upsert(items)
    assert message is None or str(raised.value) == message
    assert model_index.get_num_vectors() == 0


def test_encode_failure(model_index, embedding_module):
    def explode(texts):
        raise RuntimeError("batch exploded")
    embedding_module.batch_result = explode
    with pytest.raises(ValueError, match="^Failed to process batch embeddings: RuntimeError: "
                                         "batch exploded"):
        model_index.upsert([{"id": "a", "contents": "a"}, {"id": "b", "contents": "b"}])
    with pytest.raises(ValueError, match="^Failed to process batch embeddings: RuntimeError: "
                                         "encoder exploded"):
        model_index.upsert([{"id": "a", "contents": "explode"}])
