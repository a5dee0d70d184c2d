"""Training that loses nothing: other clients' writes during training, a
training killed at any point, and training through a handle that has not
seen another client's training."""
import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, clustered, make_client, unique_name

DIM = 8
N_ITEMS = 10_000  # the least training accepts

CONFIGS = {
    "IVF": lambda: nv.IndexIVF(DIM),
    "IVFFlat": lambda: nv.IndexIVFFlat(DIM),
    "IVFPQ": lambda: nv.IndexIVFPQ(DIM, pq_dim=4, pq_bits=4),
    "IVFSQ": lambda: nv.IndexIVFSQ(DIM, sq_bits=8),
}


def fill(index, n=N_ITEMS, seed=0, start=0):
    vectors = clustered(n, DIM, seed=seed)
    index.upsert([{"id": str(start + i), "vector": vectors[i],
                   "metadata": {"k": start + i}} for i in range(n)])
    return vectors


@pytest.mark.parametrize("kind", ["IVF", "IVFPQ"])
def test_stale_handle_refuses_retraining_of_a_trained_index(tmp_path, kind):
    folder = str(tmp_path / "db")
    name = unique_name()
    first = make_client("rocksdb", folder).create_index(name, KEY, CONFIGS[kind]())
    fill(first)
    stale = make_client("rocksdb", folder).load_index(name, KEY)
    first.train(n_lists=16, max_iters=5)
    with pytest.raises(RuntimeError, match="can only be trained once. Retraining is not "
                                           "supported"):
        stale.train(n_lists=16, max_iters=5)
    assert stale.is_trained()
