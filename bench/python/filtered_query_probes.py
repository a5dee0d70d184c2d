#!/usr/bin/env python3
"""Rare-filter queries with the automatic n_probes next to unfiltered ones.

IVFFlat on clustered 64-d vectors (an in-process index trained with
--lists lists); items carry a tag that 0.1% and 1% of them match. For each
case the mean time of a query (top_k 10, one query per call, automatic
n_probes) and its recall@10 against brute force over the matching items,
next to the unfiltered query and to a faiss-cpu exact search over the
matching items (the reference measured in this run). Prints the ratios
filtered / unfiltered and nivora / faiss.

Usage: filtered_query_probes.py [--rows N] [--lists L] [--queries Q]
Needs numpy and faiss-cpu, and the module installed (pip install .).
"""
import argparse
import time
import uuid

import numpy as np

import nivoradb_core as nv  # first: it sets the BLAS and OpenMP defaults
import faiss  # noqa: E402

DIM, TOP_K, CENTRES = 64, 10, 200


def make_data(rows, queries, seed=5):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((CENTRES, DIM), dtype=np.float32) * 2

    def around(n):
        return (centres[rng.integers(0, CENTRES, n)]
                + rng.standard_normal((n, DIM), dtype=np.float32)).astype(np.float32)

    tags = np.full(rows, "common", dtype=object)
    order = rng.permutation(rows)
    tags[order[: rows // 1000]] = "rare"          # 0.1%
    tags[order[rows // 1000: rows // 100]] = "few"  # with "rare", 1%
    return around(rows), around(queries), tags


def build(base, tags, lists):
    db = nv.DBConfig("memory")
    index = nv.Client("bench", db, db, db).create_index(
        "bench-" + uuid.uuid4().hex[:8], bytes(range(1, 33)), nv.IndexIVFFlat(DIM))
    batch = 10000
    for begin in range(0, len(base), batch):
        index.upsert([{"id": str(i), "vector": base[i].tolist(), "metadata": {"tag": tags[i], **({"a": 1} if i % 2 == 0 else {"b": 2})}}
                      for i in range(begin, min(len(base), begin + batch))])
    index.train(n_lists=lists)
    return index


def timed_queries(index, queries, flt):
    answers = []
    start = time.perf_counter()
    for q in queries:
        answers.append(index.query(q, top_k=TOP_K, filters=flt))
    return (time.perf_counter() - start) / len(queries), answers


def faiss_exact(base, queries, chosen):
    flat = faiss.IndexFlatL2(DIM)
    flat.add(base[chosen])
    start = time.perf_counter()
    for q in queries:
        flat.search(q[None, :], TOP_K)
    seconds = (time.perf_counter() - start) / len(queries)
    _, found = flat.search(queries, TOP_K)
    return seconds, [[int(chosen[j]) for j in row if j >= 0] for row in found]


def recall(answers, truth):
    hits = sum(len({int(r["id"]) for r in a} & set(t)) for a, t in zip(answers, truth))
    return hits / sum(len(t) for t in truth)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=50000)
    parser.add_argument("--lists", type=int, default=256)
    parser.add_argument("--queries", type=int, default=100)
    args = parser.parse_args()
    base, queries, tags = make_data(args.rows, args.queries)
    index = build(base, tags, args.lists)

    cases = [("unfiltered", None, np.arange(args.rows)),
             ("1% match", {"tag": {"$in": ["rare", "few"]}},
              np.flatnonzero((tags == "rare") | (tags == "few"))),
             ("0.1% match", {"tag": {"$eq": "rare"}}, np.flatnonzero(tags == "rare")),
             ("never both", {"$and": [{"a": 1}, {"b": 2}]}, np.array([], dtype=np.int64))]
    print(f"{args.rows} items, {DIM}-d, {args.lists} lists, {args.queries} queries, "
          f"top_k {TOP_K}, automatic n_probes")
    print(f"{'case':<12}{'ms/query':>10}{'results':>9}{'recall@10':>11}"
          f"{'x unfiltered':>14}{'faiss exact ms':>16}{'nivora/faiss':>14}")
    unfiltered = None
    for name, flt, chosen in cases:
        if len(chosen) == 0:  # nothing to compare with; a few queries tell the cost
            seconds, answers = timed_queries(index, queries[:10], flt)
            print(f"{name:<12}{seconds * 1e3:>10.3f}{np.mean([len(a) for a in answers]):>9.1f}"
                  f"{'-':>11}{seconds / unfiltered:>14.2f}")
            continue
        seconds, answers = timed_queries(index, queries, flt or {})
        reference_seconds, truth = faiss_exact(base, queries, chosen)
        unfiltered = unfiltered or seconds
        mean_results = np.mean([len(a) for a in answers])
        print(f"{name:<12}{seconds * 1e3:>10.3f}{mean_results:>9.1f}{recall(answers, truth):>11.3f}"
              f"{seconds / unfiltered:>14.2f}{reference_seconds * 1e3:>16.3f}"
              f"{seconds / reference_seconds:>14.2f}")


if __name__ == "__main__":
    main()
