import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, make_client, unique_name

# Eight 4-d items "0".."7": item i is the unit vector of axis i % 4 scaled by
# 1 + i // 4, metadata {"group": i % 2} for the even ones only.
VECTORS = np.array([np.eye(4)[i % 4] * (1 + i // 4) for i in range(8)], dtype=np.float32)


@pytest.fixture
def index(memory_client):
    index = memory_client.create_index(unique_name(), KEY, nv.IndexIVFFlat(4))
    index.upsert([{"id": str(i), "vector": VECTORS[i].tolist(),
                   **({"metadata": {"group": i % 2, "even": True}} if i % 2 == 0 else {})}
                  for i in range(8)])
    return index


def ids_of(results):
    return [r["id"] for r in results]


Q = [1.0, 0.0, 0.0, 0.0]


@pytest.mark.parametrize("vectors, nested", [
    (np.array(Q, dtype=np.float32), False),
    (np.array([Q], dtype=np.float32), False),
    (np.array([Q, Q], dtype=np.float32), True),
    (Q, False),
    ([Q], False),
    ([np.array(Q, dtype=np.float32)], False),
    ([Q, Q], True),
])
def test_query_shapes(index, vectors, nested):
    results = index.query(vectors, top_k=2)
    if nested:
        assert [ids_of(r) for r in results] == [["0", "4"], ["0", "4"]]
    else:
        assert ids_of(results) == ["0", "4"]
        assert list(results[0]) == ["id", "distance", "metadata"]


def test_transposed_array_equals_its_copy(index):
    queries = np.ascontiguousarray(VECTORS[[0, 1, 2]].T).T  # a Fortran-ordered view
    assert not queries.flags.c_contiguous
    assert index.query(queries, top_k=3) == index.query(np.ascontiguousarray(queries), top_k=3)
    strided = np.zeros((3, 8), dtype=np.float32)[:, ::2]
    strided[:] = VECTORS[[1, 2, 3]]
    assert index.query(strided, top_k=3) == index.query(strided.copy(), top_k=3)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"query_vectors": np.array(Q, dtype=np.float64)}, ValueError,
     "query_vector must be float32, not float64."),
    ({"query_vectors": np.array([Q], dtype=np.int32)}, ValueError,
     "query_vector must be float32, not int32."),
    ({"query_vectors": tuple(Q)}, ValueError,
     "query_vector must be a 1D or 2D NumPy array or List[List[float]]."),
    ({"query_vectors": np.zeros((1, 1, 4), dtype=np.float32)}, TypeError,
     "query_vector must be a 1D or 2D NumPy array."),
    ({"query_vectors": np.array(1.0, dtype=np.float32)}, TypeError,
     "query_vector must be a 1D or 2D NumPy array."),
    ({"query_vectors": []}, ValueError, "Query vectors cannot be empty."),
    ({"query_vectors": [Q, [1.0, 2.0]]}, ValueError, "All vectors must have the same length."),
    ({"query_vectors": [[1.0, 2.0], Q]}, ValueError, "All vectors must have the same length."),
    ({}, ValueError, "Provide at least one: query_vector or query_contents."),
    ({"query_contents": "text"}, ValueError,
     "Index was not set up for automatic embedding generation. Provide `vector` explicitly or "
     "create a new index with an embedding model."),
    ({"query_vectors": [1.0, 2.0]}, ValueError,
     "The dimension of the vectors provided (2) doesn't match the index configuration (4)."),
])
def test_query_errors(index, kwargs, error, message):
    with pytest.raises(error) as raised:
        index.query(**kwargs)
    assert str(raised.value) == message


def test_query_argument_types(index):
    with pytest.raises(RuntimeError):
        index.query([["x", 1, 2, 3]])
    with pytest.raises(TypeError):
        index.query(Q, top_k=-1)
    with pytest.raises(TypeError):
        index.query(Q, filters=[("group", 1)])
    with pytest.raises(ValueError, match="^Failed to serialize filters to JSON: TypeError"):
        index.query(Q, filters={"group": {"$in": {1, 2}}})


def test_include_and_metadata(index):
    full = index.query(Q, top_k=8)
    assert {r["id"]: r["metadata"] for r in full}["0"] == {"group": 0, "even": True}
    assert {r["id"]: r["metadata"] for r in full}["1"] == {}
    for include in ([], ["distance"], ["Metadata"]):
        results = index.query(Q, top_k=8, include=include)
        assert all(list(r) == ["id", "distance", "metadata"] and r["metadata"] == {}
                   for r in results)
    only_metadata = index.query(Q, top_k=8, include=["metadata"])
    assert only_metadata == full


def test_filter_excludes_items(index):
    results = index.query(Q, top_k=8, filters={"even": True})
    assert sorted(ids_of(results)) == ["0", "2", "4", "6"]
    assert ids_of(index.query(Q, top_k=8, filters={"group": {"$gt": 5}})) == []


def test_defaults_and_vectors_win_over_contents(index):
    assert len(index.query(Q)) == 8  # top_k None is 100
    assert ids_of(index.query(Q, query_contents="ignored", top_k=1)) == ["0"]
    assert index.query(Q, top_k=3, n_probes=None) == index.query(Q, top_k=3, n_probes=0)


def test_query_text_with_stand_in_model(embedding_module):
    client = make_client("threadsafememory")
    index = client.create_index(unique_name(), KEY, nv.IndexIVFFlat(), embedding_model="tiny")
    index.upsert([{"id": t, "contents": t} for t in ("apple", "pear", "plum")])
    embedding_module.calls.clear()
    assert ids_of(index.query(query_contents="pear", top_k=1)) == ["pear"]
    assert embedding_module.calls == [("pear", None)]  # one text, no keywords
    with pytest.raises(ValueError, match="must be of type `str` for auto-embedding"):
        index.query(query_contents=b"pear")
    with pytest.raises(RuntimeError, match="^Failed to encode query_contents: RuntimeError: "
                                           "encoder exploded"):
        index.query(query_contents="explode")


# ---- query_numpy ------------------------------------------------------------------------

def test_query_numpy_parses_ids():
    index = make_client().create_index(unique_name(), KEY, nv.IndexIVFFlat(4))
    ids = ["7", " 7", "-3", "+5", "7a", "", "9" * 20]
    vectors = np.array([[i, 0, 0, 0] for i in range(len(ids))], dtype=np.float32)
    index.upsert(ids, vectors)
    out = index.query_numpy(np.zeros(4, dtype=np.float32), top_k=7)
    assert out.dtype == np.int64 and out.shape == (7,)
    assert out.tolist() == [7, 7, -3, 5, -1, -1, -1]  # nearest first: the ids in order


@pytest.mark.parametrize("top_k", [10, 10**6, 10**9])
def test_query_numpy_is_sized_by_what_the_index_holds(index, top_k):
    # 8 items: a larger top_k adds no columns, however large.
    out = index.query_numpy(np.array([0, 0, 0, 1], dtype=np.float32), top_k=top_k)
    assert out.shape == (8,)
    assert out.tolist() == [int(r["id"]) for r in index.query([0, 0, 0, 1], top_k=10)]
    batch = index.query_numpy(VECTORS[:3].copy(), top_k=top_k, batch=True)
    assert batch.shape == (3, 8)
    for row, q in zip(batch, VECTORS[:3]):
        assert row.tolist() == [int(r["id"]) for r in index.query(q, top_k=8)]
    one_row = index.query_numpy(VECTORS[:1].copy(), top_k=4)
    assert one_row.tolist() == index.query_numpy(VECTORS[0].copy(), top_k=4).tolist()


def test_query_numpy_pads_with_minus_one(trained):
    # One probed list of a 10,000-item index holds fewer than top_k items.
    index, vectors = trained
    queries = vectors[:2].copy()
    batch = index.query_numpy(queries, top_k=1000, n_probes=1, batch=True)
    assert batch.shape == (2, 1000)
    for row, q in zip(batch, queries):
        found = [int(r["id"]) for r in index.query(q, top_k=1000, n_probes=1)]
        assert 0 < len(found) < 1000
        assert row.tolist() == found + [-1] * (1000 - len(found))


@pytest.mark.parametrize("array, kwargs, error", [
    (np.zeros(4, dtype=np.float32), {"batch": True}, IndexError),
    (np.zeros((2, 4), dtype=np.float32), {}, ValueError),
    (np.zeros((1, 1, 4), dtype=np.float32), {}, ValueError),
    (np.zeros((2, 1, 4), dtype=np.float32), {"batch": True}, ValueError),
    (np.zeros(4, dtype=np.float32), {"top_k": 2**32}, ValueError),
    (np.zeros((2, 4), dtype=np.float32), {"top_k": 2**40, "batch": True}, ValueError),
    (np.zeros(4, dtype=np.float64), {}, TypeError),
    (np.zeros((4, 2), dtype=np.float32).T, {"batch": True}, TypeError),
    ([0.0, 0.0, 0.0, 0.0], {}, TypeError),
    (np.zeros((0, 4), dtype=np.float32), {"batch": True}, ValueError),  # no query rows
    (np.zeros(3, dtype=np.float32), {}, ValueError),  # dimension mismatch
])
def test_query_numpy_refusals(index, array, kwargs, error):
    with pytest.raises(error):
        index.query_numpy(array, **kwargs)
