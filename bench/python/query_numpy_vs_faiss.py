#!/usr/bin/env python3
"""The Python module's fast query path against faiss-cpu, in the same run.

IVFFlat on 100,000 clustered 128-d vectors, here (an in-process index,
trained with its automatic n_lists) and in faiss-cpu with the same n_lists;
n_probes is swept on both sides, recall@10 is measured against exact search
(faiss IndexFlatL2), and the queries/s of query_numpy(batch=True) over 1,000
queries is compared with faiss's search where each first reaches recall
0.9. Prints both figures and the ratio (faiss QPS / nivora QPS: above 1
means faiss is faster).

Usage: query_numpy_vs_faiss.py [--rows N] [--threads T] [--target R]
Needs numpy and faiss-cpu, and the module installed (pip install .).
"""
import argparse
import time

import numpy as np

import nivoradb_core as nv  # first: it sets the BLAS and OpenMP defaults
import faiss  # noqa: E402

DIM, QUERIES, TOP_K, CENTRES = 128, 1000, 10, 100
PROBES = [1, 2, 4, 8, 12, 16, 24, 32, 48, 64, 96, 128]


def make_data(rows, seed=42):
    rng = np.random.default_rng(seed)
    centres = 1.0 * rng.standard_normal((CENTRES, DIM), dtype=np.float32)

    def around(n):
        picks = rng.integers(0, CENTRES, n)
        return (centres[picks] + rng.standard_normal((n, DIM), dtype=np.float32)).astype(
            np.float32)

    return around(rows), around(QUERIES)


def exact_top_k(base, queries):
    flat = faiss.IndexFlatL2(DIM)
    flat.add(base)
    return flat.search(queries, TOP_K)[1]


def recall(found, truth):
    hits = sum(len(set(f[f >= 0].tolist()) & set(t.tolist())) for f, t in zip(found, truth))
    return hits / (len(truth) * TOP_K)


def best_of(repeats, fn):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def sweep(search, n_lists, truth):
    rows = []
    for p in PROBES:
        if p > n_lists:
            break
        found = search(p)
        seconds = best_of(3, lambda: search(p))
        rows.append({"n_probes": p, "recall": recall(found, truth), "qps": QUERIES / seconds})
    return rows


def nivora_index(base, threads):
    db = nv.DBConfig("memory")
    client = nv.Client("bench", db, db, db, cpu_threads=threads)
    index = client.create_index("bench-ivfflat", bytes(range(1, 33)), nv.IndexIVFFlat(DIM))
    start = time.perf_counter()
    for first in range(0, len(base), 10_000):
        index.upsert(np.arange(first, min(first + 10_000, len(base))), base[first:first + 10_000])
    upsert_s = time.perf_counter() - start
    start = time.perf_counter()
    index.train()
    train_s = time.perf_counter() - start
    return index, upsert_s, train_s


def first_reaching(rows, target):
    return next((r for r in rows if r["recall"] >= target), None)


def print_sweep(name, rows):
    print(f"{name:>8}: " + "  ".join(f"p{r['n_probes']}={r['recall']:.3f}/{r['qps']:.0f}qps"
                                     for r in rows))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--target", type=float, default=0.9)
    args = parser.parse_args()
    faiss.omp_set_num_threads(args.threads)

    base, queries = make_data(args.rows)
    truth = exact_top_k(base, queries)

    index, upsert_s, train_s = nivora_index(base, args.threads)
    n_lists = index.n_lists
    ours = sweep(lambda p: index.query_numpy(queries, top_k=TOP_K, n_probes=p, batch=True),
                 n_lists, truth)

    quantizer = faiss.IndexFlatL2(DIM)
    reference = faiss.IndexIVFFlat(quantizer, DIM, n_lists)
    start = time.perf_counter()
    reference.train(base)
    faiss_train_s = time.perf_counter() - start
    reference.add(base)

    def faiss_search(p):
        reference.nprobe = p
        return reference.search(queries, TOP_K)[1]

    theirs = sweep(faiss_search, n_lists, truth)
    index.delete_index()

    print(f"IVFFlat, {args.rows} x {DIM} clustered vectors, {QUERIES} queries, top {TOP_K}, "
          f"n_lists {n_lists}, {args.threads} threads")
    print(f"upsert {upsert_s:.2f} s; train {train_s:.2f} s (faiss train {faiss_train_s:.2f} s)")
    print("recall@10 / queries per second by n_probes:")
    print_sweep("nivora", ours)
    print_sweep("faiss", theirs)
    a, b = first_reaching(ours, args.target), first_reaching(theirs, args.target)
    if a is None or b is None:
        missing = "nivora" if a is None else "faiss"
        print(f"recall {args.target} not reached by {missing} within n_probes {PROBES[-1]}")
        return
    print(f"first reaching recall@10 >= {args.target}: nivora n_probes {a['n_probes']} "
          f"({a['recall']:.3f}), faiss n_probes {b['n_probes']} ({b['recall']:.3f})")
    print(f"query_numpy(batch=True) {a['qps']:.0f} queries/s, faiss {b['qps']:.0f} queries/s, "
          f"ratio faiss/nivora {b['qps'] / a['qps']:.2f}")


if __name__ == "__main__":
    main()
