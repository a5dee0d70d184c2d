"""Query results checked against a brute-force reference over the live items.

One table of index types and metrics; each case runs rounds of upserts,
deletes, re-upserts, delete-then-re-upserts, metadata-only updates and moves
onto another item's vector, before training, after it and after retraining.
With every list probed, a query must return what a brute-force scan of the
live items that match its filter returns (ids, distances, metadata), and
get / list_ids must return the live set.

A trained IVF index stores no vectors and ranks an item at its list's
centroid distance, so there the reference is structural: the items tied at
the smallest distance of a query form one list, and an item found in that
group must see the same group from its own vector.
"""
import zlib

import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, make_client, unique_name

DIM = 8
N_CLUSTERS = 6
N_INITIAL = 10000  # the least an index trains with
N_LISTS = 6
TOP_K = 10
PQ_DIM = 4

FILTERS = [
    {},
    {"tag": {"$eq": "a"}},
    {"tag": {"$ne": "b"}},
    {"num": {"$gt": 90}},
    {"num": {"$lte": 4}},
    {"tag": {"$in": ["a", "c"]}},
    {"tag": {"$nin": ["a"]}},
    {"opt": {"$exists": True}},
    {"opt": {"$exists": False}},
    {"info.color": {"$eq": "red"}},
    {"info.size": {"$gt": 8}},
    {"tags": {"$eq": "x"}},
    {"tags": {"$nin": ["y", "z"]}},
    {"$and": [{"tag": {"$eq": "a"}}, {"num": {"$lte": 30}}]},
    {"$or": [{"tag": {"$eq": "b"}}, {"info.size": {"$lte": 0}}]},
    {"$not": {"tag": {"$eq": "a"}}},
    {"$nor": [{"tag": {"$eq": "a"}}, {"tags": {"$eq": "z"}}]},
]


# ---- the reference filter ----------------------------------------------------

def _resolve(document, path):
    current = document
    for part in path.split("."):
        if not isinstance(current, dict) or part not in current:
            return None
        current = current[part]
    return current


def _any_value(value, pred):
    return any(pred(v) for v in value) if isinstance(value, list) else pred(value)


def _operator(op, value, operand):
    if op == "$eq":
        return _any_value(value, lambda v: v == operand)
    if op == "$ne":
        return not _any_value(value, lambda v: v == operand)
    if op in ("$gt", "$lte"):
        def ordered(v):
            if isinstance(v, bool) or not isinstance(v, (int, float)):
                return False
            return v > operand if op == "$gt" else v <= operand
        return _any_value(value, ordered)
    if op == "$in":
        return _any_value(value, lambda v: v in operand)
    if op == "$nin":
        return not _any_value(value, lambda v: v in operand)
    if op == "$exists":
        return operand
    raise AssertionError(op)


def matches(flt, document):
    for name, operand in flt.items():
        if name == "$and":
            ok = all(matches(f, document) for f in operand)
        elif name == "$or":
            ok = any(matches(f, document) for f in operand)
        elif name == "$nor":
            ok = not any(matches(f, document) for f in operand)
        elif name == "$not":
            ok = not matches(operand, document)
        else:
            value = _resolve(document, name)
            if value is None:
                first = next(iter(operand))
                ok = first == "$nin" or operand == {"$exists": False}
            else:
                ok = all(_operator(op, value, x) for op, x in operand.items())
        if not ok:
            return False
    return True


# ---- the reference ranking ---------------------------------------------------

def distances(metric, rows, q, subvectors=1):
    """Per row, its distance to q; a PQ cosine distance is the sum of those of
    its sub-vectors."""
    if metric != "cosine":
        squared = ((rows - q) ** 2).sum(axis=1)
        return np.sqrt(squared) if metric == "euclidean" else squared
    total = np.zeros(len(rows))
    for part_rows, part_q in zip(np.split(rows, subvectors, axis=1), np.split(q, subvectors)):
        norms = np.linalg.norm(part_rows, axis=1) * np.linalg.norm(part_q)
        total += 1.0 - np.where(norms == 0, 0.0, part_rows @ part_q / np.where(norms == 0, 1, norms))
    return total


class Model:
    """The live items as the index should hold them."""

    def __init__(self, rng, centers):
        self.rng = rng
        self.centers = centers
        self.vectors = {}
        self.metadata = {}
        self.ever = set()
        self.moved = {}  # id -> its vector before its last move

    def vector_near(self, cluster=None):
        c = self.rng.integers(N_CLUSTERS) if cluster is None else cluster
        return (self.centers[c] + self.rng.normal(size=DIM)).astype(np.float32)

    def random_metadata(self, i):
        r = self.rng
        if r.random() < 0.05:
            return None  # stored without metadata: read back as {}
        meta = {"tag": str(r.choice(["a", "b", "c"])), "num": int(r.integers(100)),
                "info": {"color": str(r.choice(["red", "blue"])), "size": int(r.integers(10))},
                "tags": [str(t) for t in r.choice(["x", "y", "z"], size=r.integers(0, 3),
                                                  replace=False)],
                "serial": i}
        if r.random() < 0.3:
            meta["opt"] = bool(r.random() < 0.5)
        return meta

    def upsert(self, index, items):
        """items: (id, vector, metadata or None)."""
        records = []
        for item_id, vector, meta in items:
            if item_id in self.vectors and not np.array_equal(self.vectors[item_id], vector):
                self.moved[item_id] = self.vectors[item_id]
            self.vectors[item_id] = vector
            self.metadata[item_id] = meta or {}
            self.ever.add(item_id)
            record = {"id": item_id, "vector": vector.tolist()}
            if meta is not None:
                record["metadata"] = meta
            records.append(record)
        index.upsert(records)

    def delete(self, index, ids):
        for item_id in ids:
            self.vectors.pop(item_id)
            self.metadata.pop(item_id)
        index.delete(list(ids))

    def pick(self, count):
        live = sorted(self.vectors)
        return [live[i] for i in self.rng.choice(len(live), size=count, replace=False)]


def mutate(index, model, serial):
    """One round of every kind of change."""
    new_ids = [f"n{serial}-{i}" for i in range(150)]
    model.upsert(index, [(i, model.vector_near(), model.random_metadata(i)) for i in new_ids])
    # Re-upserts: most land in another cluster, so in another list.
    model.upsert(index, [(i, model.vector_near(), model.random_metadata(i))
                         for i in model.pick(100)])
    model.delete(index, model.pick(100))
    gone = model.pick(50)
    model.delete(index, gone)
    model.upsert(index, [(i, model.vector_near(), model.random_metadata(i)) for i in gone])
    model.upsert(index, [(i, model.vectors[i], model.random_metadata(i)) for i in model.pick(50)])
    targets = model.pick(60)
    model.upsert(index, [(a, model.vectors[b].copy(), model.metadata[a] or None)
                         for a, b in zip(targets[:30], targets[30:])])
    # An item upserted again and again keeps one result.
    again = model.pick(5)
    for _ in range(3):
        model.upsert(index, [(i, model.vector_near(), model.random_metadata(i)) for i in again])


def check_store(index, model):
    everyone = sorted(model.ever)
    got = index.get(everyone, include=["vector", "metadata"])
    assert sorted(r["id"] for r in got) == sorted(model.vectors)
    for record in got:
        assert record["metadata"] == model.metadata[record["id"]]
    assert sorted(index.list_ids()) == sorted(model.vectors)
    return {r["id"]: np.asarray(r["vector"], dtype=np.float32) for r in got}


def query_vectors(model):
    live = model.pick(3)
    return [model.vectors[i] for i in live] + [model.vector_near(), model.vector_near()]


def check_exact(index, model, metric, stored, n_probes, subvectors):
    ids = sorted(model.vectors)
    rows = np.stack([stored[i] for i in ids]).astype(np.float64)
    queries = query_vectors(model)
    full = [distances(metric, rows, q.astype(np.float64), subvectors) for q in queries]
    # A Euclidean distance near zero is the root of a float32 difference of
    # large sums: compared squared, where that error is as small as elsewhere.
    scale = np.square if metric == "euclidean" else np.asarray
    for flt in FILTERS:
        chosen = [k for k, i in enumerate(ids) if matches(flt, model.metadata[i])]
        answers = index.query(np.stack(queries), top_k=TOP_K, n_probes=n_probes, filters=flt)
        for results, dist in zip(answers, full):
            reference = scale(sorted(dist[chosen])[:TOP_K])
            got = [r["id"] for r in results]
            found = scale(np.array([r["distance"] for r in results]))
            context = (flt, got)
            assert len(got) == len(reference) and len(set(got)) == len(got), context
            np.testing.assert_allclose(found, reference, rtol=1e-4, atol=1e-3,
                                       err_msg=str(context))
            by_id = dict(zip(ids, scale(dist)))
            for r, distance in zip(results, found):
                assert r["id"] in model.vectors and matches(flt, model.metadata[r["id"]]), context
                assert abs(distance - by_id[r["id"]]) <= 1e-3 + 1e-4 * by_id[r["id"]], context
                assert r["metadata"] == model.metadata[r["id"]], context


def nearest_group(index, q, n_probes, count):
    results = index.query(q, top_k=count, n_probes=n_probes)
    least = results[0]["distance"]
    return {r["id"] for r in results if r["distance"] == least}, results


def check_ivf(index, model, n_probes):
    live = len(model.vectors)
    for flt in FILTERS:
        chosen = {i for i in model.vectors if matches(flt, model.metadata[i])}
        results = index.query(model.vector_near(), top_k=live, n_probes=n_probes, filters=flt)
        got = [r["id"] for r in results]
        assert len(got) == len(set(got)) and set(got) == chosen, flt
        found = [r["distance"] for r in results]
        assert found == sorted(found), flt
        for r in results[:TOP_K]:
            assert r["metadata"] == model.metadata[r["id"]], flt
    # The list an item is ranked by is the one nearest its vector: from its
    # former place, a moved item is either listed with its new list mates or
    # not among the nearest group at all.
    moved = [i for i in sorted(model.moved) if i in model.vectors][:8]
    for item in moved:
        group, _ = nearest_group(index, model.moved[item], n_probes, live)
        own, _ = nearest_group(index, model.vectors[item], n_probes, live)
        assert item in own
        if item in group:
            assert group == own, item


def check(index, model, metric, kind, trained):
    stored = check_store(index, model)
    n_probes = N_LISTS if trained else None
    if kind == "IVF" and trained:
        check_ivf(index, model, n_probes)
        return
    if kind == "IVFFlat" or not trained:
        for i, v in stored.items():
            np.testing.assert_allclose(v, model.vectors[i], rtol=1e-6, atol=1e-6)
    subvectors = PQ_DIM if kind == "IVFPQ" and trained else 1
    check_exact(index, model, metric, stored, n_probes, subvectors)


CONFIGS = {
    "IVFFlat": lambda: nv.IndexIVFFlat(DIM),
    "IVF": lambda: nv.IndexIVF(DIM),
    "IVFSQ8": lambda: nv.IndexIVFSQ(DIM, sq_bits=8),
    "IVFSQ16": lambda: nv.IndexIVFSQ(DIM, sq_bits=16),
    "IVFPQ": lambda: nv.IndexIVFPQ(DIM, pq_dim=PQ_DIM),
}
RETRAINABLE = {"IVFFlat", "IVFSQ8", "IVFSQ16"}


@pytest.mark.parametrize("metric", ["euclidean", "squared_euclidean", "cosine"])
@pytest.mark.parametrize("kind", sorted(CONFIGS))
def test_matches_brute_force(kind, metric):
    rng = np.random.default_rng(zlib.crc32(f"{kind}/{metric}".encode()))
    centers = rng.normal(size=(N_CLUSTERS, DIM)) * 6
    client = make_client("memory")
    index = client.create_index(unique_name("diff"), KEY, CONFIGS[kind](), metric=metric)
    model = Model(rng, centers)
    model.upsert(index, [(str(i), model.vector_near(i % N_CLUSTERS), model.random_metadata(i))
                         for i in range(N_INITIAL)])
    mutate(index, model, 0)
    check(index, model, metric, kind, trained=False)

    index.train(n_lists=N_LISTS)
    assert index.is_trained()
    model.moved.clear()  # training files every item anew
    check(index, model, metric, kind, trained=True)
    mutate(index, model, 1)
    check(index, model, metric, kind, trained=True)

    if kind in RETRAINABLE:
        index.train(n_lists=N_LISTS)
        model.moved.clear()
        check(index, model, metric, kind, trained=True)
        mutate(index, model, 2)
        check(index, model, metric, kind, trained=True)
