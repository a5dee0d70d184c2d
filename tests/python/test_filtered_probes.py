"""A filtered query with the automatic n_probes keeps probing the lists the
filter allows, nearest first, while it has fewer than top_k matches or a
nearer allowed list is left, until those lists run out; an explicit
n_probes keeps its meaning."""
import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, make_client, unique_name

DIM = 16
N_ITEMS = 10000  # the least an index trains with
RARE = 20        # items "0".."19" carry tag "rare"; items 0..N-1 carry num = i


@pytest.fixture(scope="module")
def index():
    rng = np.random.default_rng(3)
    centers = rng.normal(size=(40, DIM)) * 4
    vectors = (centers[rng.integers(40, size=N_ITEMS)] + rng.normal(size=(N_ITEMS, DIM)))
    index = make_client("memory").create_index(unique_name("probes"), KEY, nv.IndexIVFFlat(DIM))
    index.upsert([{"id": str(i), "vector": vectors[i].astype(np.float32).tolist(),
                   "metadata": {"tag": "rare" if i < RARE else "common", "num": i}}
                  for i in range(N_ITEMS)])
    index.train(n_lists=64)
    assert index.is_trained()
    return index, vectors.astype(np.float32)


@pytest.mark.parametrize("flt, matching", [
    ({"tag": {"$eq": "rare"}}, RARE),
    ({"num": {"$lt": 15}}, 15),
    ({"$and": [{"tag": {"$eq": "rare"}}, {"num": {"$gte": 8}}]}, RARE - 8),
])
def test_rare_filter_fills_top_k(index, flt, matching):
    idx, vectors = index
    queries = vectors[100:120]
    for top_k in (10, 50):
        answers = idx.query(queries, top_k=top_k, filters=flt)
        assert [len(a) for a in answers] == [min(top_k, matching)] * len(queries)
    # Mostly the nearest matches, as a scan of every list finds them.
    found = idx.query(queries, top_k=10, filters=flt)
    scanned = idx.query(queries, top_k=10, n_probes=64, filters=flt)
    hits = sum(len({r["id"] for r in a} & {r["id"] for r in b}) for a, b in zip(found, scanned))
    assert hits >= 0.8 * sum(len(b) for b in scanned)


@pytest.mark.parametrize("flt, matches", [
    ({"tag": {"$eq": "rare"}}, lambda i: i < RARE),
    ({"num": {"$in": list(range(0, N_ITEMS, 97))}}, lambda i: i % 97 == 0),
])
def test_nearest_matches_beyond_the_first_top_k(index, flt, matches):
    idx, vectors = index
    queries = vectors[200:240] + 0.3
    chosen = np.array([i for i in range(N_ITEMS) if matches(i)])
    hits = 0
    for q, answer in zip(queries, idx.query(queries, top_k=10, filters=flt)):
        nearest = chosen[np.argsort(((vectors[chosen] - q) ** 2).sum(axis=1))[:10]]
        hits += len({int(r["id"]) for r in answer} & set(nearest.tolist()))
    # Stopping at the first top_k matches found about half of them; the
    # lists k-means makes vary a little from run to run.
    assert hits >= 0.9 * 10 * len(queries)


def test_explicit_n_probes_keeps_its_meaning(index):
    idx, vectors = index
    answers = idx.query(vectors[100:120], top_k=10, n_probes=1, filters={"tag": {"$eq": "rare"}})
    assert min(len(a) for a in answers) < 10
