import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, NOT_CONNECTED, clustered, make_client, unique_name


@pytest.mark.parametrize("config, expected", [
    (nv.IndexIVFPQ(8, 4, 8), {"index_type": "ivfpq", "pq_dim": 4, "pq_bits": 8, "sq_bits": 0}),
    (nv.IndexIVFSQ(8, 16), {"index_type": "ivfsq", "pq_dim": 0, "pq_bits": 0, "sq_bits": 16}),
    (nv.IndexIVFFlat(8), {"index_type": "ivfflat", "pq_dim": 0, "pq_bits": 0, "sq_bits": 0}),
    (nv.IndexIVF(8), {"index_type": "ivf", "pq_dim": 0, "pq_bits": 0, "sq_bits": 0}),
])
def test_configuration_readers(memory_client, config, expected):
    index = memory_client.create_index(unique_name(), KEY, config, metric="squared_euclidean")
    described = index.index_config()
    assert list(described) == ["dimension", "metric", "index_type", "n_lists", "pq_dim",
                               "pq_bits", "sq_bits"]
    assert described == {"dimension": 8, "metric": "squared_euclidean", "n_lists": 1, **expected}
    assert (index.index_type(), index.n_lists, index.dimension, index.metric) == (
        expected["index_type"], 1, 8, "squared_euclidean")
    assert not index.is_trained()


def test_trained_index(trained):
    index, vectors = trained
    assert index.is_trained() and index.n_lists == 32 and index.get_num_vectors() == 10_000
    results = index.query(vectors[:5], top_k=3, n_probes=4)
    assert [r[0]["id"] for r in results] == ["0", "1", "2", "3", "4"]
    assert results[2][0]["metadata"] == {"group": 2}
    assert np.allclose(index.get(["17"], include=["vector"])[0]["vector"], vectors[17])
    filtered = index.query(vectors[1], top_k=10, filters={"group": 1})
    assert filtered and all(int(r["id"]) % 4 == 1 for r in filtered)
    assert index.query_numpy(vectors[3], top_k=1, n_probes=4).tolist() == [3]


def test_train_on_too_few_items(flat_index):
    flat_index.upsert(["a", "b"], np.ones((2, 4), dtype=np.float32))
    flat_index.train(n_lists=4)  # too few items: nothing to train yet
    with pytest.raises(TypeError):
        flat_index.train(n_lists=-1)
    assert not flat_index.is_trained()


def test_delete_and_list_ids(flat_index):
    flat_index.upsert(["a", "b", "c"], np.eye(3, 4, dtype=np.float32))
    flat_index.delete(["b", "missing"])
    assert sorted(flat_index.list_ids()) == ["a", "c"]
    assert [item["id"] for item in flat_index.get(["a", "b", "c"], include=[])] == ["a", "c"]
    with pytest.raises(TypeError):
        flat_index.delete("a")


# (call, exception) on an index whose delete_index succeeded
AFTER_DELETE = [
    (lambda i: i.index_type(), RuntimeError),
    (lambda i: i.index_config(), RuntimeError),
    (lambda i: i.n_lists, RuntimeError),
    (lambda i: i.dimension, RuntimeError),
    (lambda i: i.metric, RuntimeError),
    (lambda i: i.query(query_contents="text"), RuntimeError),
    (lambda i: i.upsert([{"id": "a", "contents": "text"}]), ValueError),
    (lambda i: i.upsert(["a"], np.ones((1, 4), dtype=np.float32)), ValueError),
    (lambda i: i.query([1.0, 0.0, 0.0, 0.0]), ValueError),
    (lambda i: i.query_numpy(np.ones(4, dtype=np.float32)), RuntimeError),
    (lambda i: i.get(["a"]), RuntimeError),
    (lambda i: i.delete(["a"]), RuntimeError),
    (lambda i: i.train(), RuntimeError),
    (lambda i: i.list_ids(), ValueError),
    (lambda i: i.get_num_vectors(), RuntimeError),
    (lambda i: i.delete_index(), RuntimeError),
]


@pytest.mark.parametrize("call, error", AFTER_DELETE)
def test_members_after_delete_index(flat_index, call, error):
    flat_index.upsert(["a"], np.ones((1, 4), dtype=np.float32))
    flat_index.delete_index()
    with pytest.raises(error) as raised:
        call(flat_index)
    assert str(raised.value) == NOT_CONNECTED
    assert not flat_index.is_trained()


def test_delete_index_frees_the_name():
    client = make_client("threadsafememory")
    name = unique_name()
    index = client.create_index(name, KEY, nv.IndexIVFFlat(4))
    assert name in client.list_indexes()
    index.delete_index()
    assert name not in client.list_indexes()
    client.create_index(name, KEY).delete_index()


def test_docstrings():
    assert ("\nRetrieves the nearest neighbors for given query vectors.\n\n            Parameters:"
            in nv.EncryptedIndex.query.__doc__)
    assert "Get the number of vectors stored in the index." in nv.EncryptedIndex.get_num_vectors.__doc__
    assert nv.Client.create_index.__doc__.rstrip(" ").endswith("\n")
    with pytest.raises(TypeError):
        nv.EncryptedIndex()
