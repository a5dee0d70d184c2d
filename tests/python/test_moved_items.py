"""An item upserted again into another list of a trained index.

Its earlier version's row must never reach a result: not from a query that
probes only the old list, not at the old list's distance when every list is
probed; and a filtered query that sees the item keeps its metadata.
"""
import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, make_client, unique_name

DIM = 8
N_ITEMS = 10000  # the least an index trains with
CENTERS = np.array([np.eye(DIM)[0] * 40, np.eye(DIM)[1] * 40, -np.eye(DIM)[0] * 40],
                   dtype=np.float32)
CONFIGS = {
    "IVF": lambda: nv.IndexIVF(DIM),
    "IVFFlat": lambda: nv.IndexIVFFlat(DIM),
    "IVFSQ": lambda: nv.IndexIVFSQ(DIM),
    "IVFPQ": lambda: nv.IndexIVFPQ(DIM, pq_dim=4),
}


def trained_index(kind):
    """Items i near CENTERS[i % 3], trained into three lists, one per cluster."""
    rng = np.random.default_rng(7)
    vectors = CENTERS[np.arange(N_ITEMS) % 3] + rng.normal(size=(N_ITEMS, DIM)).astype(np.float32)
    index = make_client("memory").create_index(unique_name("moved"), KEY, CONFIGS[kind]())
    index.upsert([{"id": str(i), "vector": vectors[i].tolist(), "metadata": {"n": i}}
                  for i in range(N_ITEMS)])
    # k-means++ seeding draws from the OS's randomness and now and then puts
    # two seeds in one cluster, merging two others into one list: train
    # again until each cluster has a list of its own.
    for _ in range(5):
        index.train(n_lists=3)
        if all(one_list_per_cluster(index, c) for c in range(len(CENTERS))):
            break
    assert index.is_trained()
    assert all(one_list_per_cluster(index, c) for c in range(len(CENTERS)))
    return index, vectors


def one_list_per_cluster(index, cluster):
    found = index.query(CENTERS[cluster], top_k=N_ITEMS, n_probes=1)
    return {r["id"] for r in found} == {str(i) for i in range(cluster, N_ITEMS, len(CENTERS))}


def move(index, how, item, vector):
    if how == "delete, then upsert":
        index.delete([item])
    index.upsert([{"id": item, "vector": vector.tolist(), "metadata": {"n": int(item), "moved": 1}}])


CASES = [(kind, how) for kind in sorted(CONFIGS) for how in ["upsert", "delete, then upsert"]]


@pytest.mark.parametrize("kind, how", CASES)
def test_moved_item_leaves_its_old_list(kind, how):
    index, vectors = trained_index(kind)
    old, new = vectors[0], CENTERS[1] + 0.5  # item "0" moves from cluster 0 to cluster 1
    move(index, how, "0", new)
    everyone = N_ITEMS

    only_old = index.query(old, top_k=everyone, n_probes=1)
    assert "0" not in [r["id"] for r in only_old]

    everywhere = index.query(old, top_k=everyone, n_probes=3)
    distance = {r["id"]: r["distance"] for r in everywhere}
    assert len(everywhere) == N_ITEMS
    if kind == "IVF":
        # Ranked by its new list's centroid, as its list mates are.
        assert distance["0"] == distance["1"]
        assert distance["0"] > distance["3"]
    else:
        assert distance["0"] == pytest.approx(float(np.linalg.norm(old - new)), rel=0.05)


@pytest.mark.parametrize("kind", sorted(CONFIGS))
def test_filtered_results_of_a_moved_item_keep_their_metadata(kind):
    index, _ = trained_index(kind)
    # Moved to cluster 1 and back: a row in two lists, both probed.
    for target in (CENTERS[1], CENTERS[0]):
        index.upsert([{"id": "0", "vector": target.tolist(), "metadata": {"n": 0, "moved": 1}}])
    results = index.query(CENTERS[0], top_k=4, n_probes=3, filters={"n": {"$lte": 3}})
    assert sorted(r["id"] for r in results) == ["0", "1", "2", "3"]
    for r in results:
        expected = {"n": 0, "moved": 1} if r["id"] == "0" else {"n": int(r["id"])}
        assert r["metadata"] == expected
