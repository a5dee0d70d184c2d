#!/usr/bin/env python3
"""The encrypted index end to end against faiss-cpu on the same data, in the
same run: upsert throughput, training time with automatic n_lists, and, at
equal recall@10 (n_probes swept on both sides), batch QPS and single-query
latency for IVFFlat and IVFSQ 8-bit. Prints both figures and their ratio
(nivora time / faiss time: below 1 means nivora is faster). A batch time is
the median of 5 timed batches on each side. At the same n_probes it also
prints the rows a query reads on each side (the two k-means fill the same
number of lists differently) and the batch ratio per row read.

Usage: api_vs_faiss.py [--rows N] [--full] [--threads T] [--binary PATH]
                       [--kinds ivfsq8,ivfflat] [--stores rocksdb,redis]
  --full   1,000,000 rows (the default is 200,000, a few minutes here)
  --stores the stores (embedded RocksDB, a redis-server started here) on
           which batches and single queries of IVFFlat at n_probes 16 are
           also measured, next to the in-process store's figures of the run
Data: 128-dimensional vectors around 64 random centres (unit noise), 1,000 queries
drawn the same way, exact top 10 from faiss IndexFlatL2. Needs numpy and
faiss-cpu; the binary is built with -DNIVORA_BUILD_BENCH=ON.
"""
import argparse
import json
import os
import subprocess
import tempfile
import time

os.environ.setdefault("OPENBLAS_CORETYPE", "Haswell")
os.environ["OMP_WAIT_POLICY"] = "passive"

import numpy as np  # noqa: E402
import faiss  # noqa: E402

DIM, QUERIES, TOP_K = 128, 1000, 10
PROBES = [1, 2, 4, 8, 16, 32, 64, 128, 256]
SAME_PROBES = [1, 16, 64]  # batch time at the same n_probes on both sides
LATENCY_PROBES = 16  # single-query p50 and p99 at this n_probes
TARGETS = [0.90, 0.95, 0.99]
BATCH_RUNS = 5  # timed batches per n_probes on each side; the median is reported
MAX_ITERS = 20  # the encrypted index's k-means iterations (api_bench)


def make_data(rows):
    rng = np.random.default_rng(42)
    # Few, wide clusters: each spans several inverted lists, so recall grows
    # with n_probes as on real embeddings.
    centres = 0.7 * rng.standard_normal((64, DIM), dtype=np.float32)

    def around(n):
        picks = rng.integers(0, len(centres), n)
        noise = rng.standard_normal((n, DIM), dtype=np.float32)
        return (centres[picks] + noise).astype(np.float32)

    return around(rows), around(QUERIES)


def exact_top_k(base, queries):
    flat = faiss.IndexFlatL2(DIM)
    flat.add(base)
    return flat.search(queries, TOP_K)[1].astype(np.int64)


def recall(found, truth):
    hits = sum(len(set(f[f >= 0]) & set(t)) for f, t in zip(found, truth))
    return hits / (len(truth) * TOP_K)


def faiss_run(kind, base, queries, truth, n_lists):
    quantizer = faiss.IndexFlatL2(DIM)
    if kind == "ivfflat":
        index = faiss.IndexIVFFlat(quantizer, DIM, n_lists)
    else:
        index = faiss.IndexIVFScalarQuantizer(quantizer, DIM, n_lists,
                                              faiss.ScalarQuantizer.QT_8bit)
    start = time.perf_counter()
    index.train(base)
    train_s = time.perf_counter() - start
    start = time.perf_counter()
    index.add(base)
    add_s = time.perf_counter() - start
    sweep = []
    for p in PROBES:
        if p > n_lists:
            break
        index.nprobe = p
        faiss.cvar.indexIVF_stats.reset()
        found = index.search(queries, TOP_K)[1]
        scanned = faiss.cvar.indexIVF_stats.ndis / len(queries)
        batches = []
        for _ in range(BATCH_RUNS):
            start = time.perf_counter()
            index.search(queries, TOP_K)
            batches.append(time.perf_counter() - start)
        batch_s = float(np.median(batches))
        lat = []
        for q in range(len(queries)):
            start = time.perf_counter()
            index.search(queries[q:q + 1], TOP_K)
            lat.append((time.perf_counter() - start) * 1e3)
        sweep.append({"n_probes": p, "recall": recall(found, truth),
                      "qps": len(queries) / batch_s, "latency_ms": float(np.median(lat)),
                      "latency_p99_ms": float(np.percentile(lat, 99)),
                      "rows_per_query": scanned})
    return {"train_s": train_s, "upsert_s": add_s, "sweep": sweep}


def nivora_run(binary, folder, kind, threads, probes=PROBES, store=None):
    args = [binary, folder, kind, str(threads), ",".join(str(p) for p in probes)]
    out = subprocess.run(args + ([store] if store else []), check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def store_runs(binary, folder, threads, stores):
    """IVFFlat at LATENCY_PROBES on each external store: {store: sweep entry}."""
    import sys
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                    "..", "..", "tests", "python"))
    from servers import RedisServer  # noqa: E402
    found = {}
    for store in stores:
        if store == "rocksdb":
            with tempfile.TemporaryDirectory() as data:
                run = nivora_run(binary, folder, "ivfflat", threads, [LATENCY_PROBES],
                                 "rocksdb:" + data)
        elif store == "redis":
            server = RedisServer()
            try:
                run = nivora_run(binary, folder, "ivfflat", threads, [LATENCY_PROBES],
                                 "redis:" + server.connection_string())
            finally:
                server.stop_process()
        else:
            raise SystemExit(f"unknown store {store}")
        found[store] = run["sweep"][0]
    return found


def report_stores(in_process, stores):
    print(f"\n== ivfflat on other stores, n_probes {LATENCY_PROBES}; columns: the store, "
          "the in-process store, ratio ==")
    for store, ours in stores.items():
        for name, a, b in (("batch ms", 1e3 * QUERIES / ours["qps"], 1e3 * QUERIES / in_process["qps"]),
                           ("single query p50 ms", ours["latency_ms"], in_process["latency_ms"]),
                           ("single query p99 ms", ours["latency_p99_ms"],
                            in_process["latency_p99_ms"])):
            print(f"{store + ' ' + name:<34}{a:>12.3f}{b:>12.3f}{a / b:>8.2f}")


def first_reaching(sweep, target):
    return next((s for s in sweep if s["recall"] >= target), None)


def report(kind, rows, ours, theirs):
    print(f"\n== {kind}: {rows} rows, n_lists {ours['n_lists']} (automatic) ==")
    up_a, up_b = rows / ours["upsert_s"], rows / theirs["upsert_s"]
    print(f"{'upsert rows/s (untrained)':<34}{up_a:>12.0f}{up_b:>12.0f}{up_b / up_a:>8.2f}"
          "  (faiss add)")
    if "trained_upsert_s" in ours:
        up_t = rows / ours["trained_upsert_s"]
        print(f"{'upsert rows/s (trained)':<34}{up_t:>12.0f}{up_b:>12.0f}{up_b / up_t:>8.2f}"
              "  (faiss add)")
    print(f"{'TrainIndex s':<34}{ours['train_s']:>12.2f}{theirs['train_s']:>12.2f}"
          f"{ours['train_s'] / theirs['train_s']:>8.2f}  (faiss train, niter 25; ours "
          f"{MAX_ITERS} mini-batch iterations)")
    if not ours["query"]:
        print("query: not built on this branch yet; recall, QPS and latency not measured")
        return
    by_probes = {s["n_probes"]: s for s in ours["sweep"]}
    theirs_by_probes = {s["n_probes"]: s for s in theirs["sweep"]}
    for p in SAME_PROBES:
        a, b = by_probes.get(p), theirs_by_probes.get(p)
        if a is None or b is None:
            continue
        print(f"{'n_probes ' + str(p) + ' batch ms':<34}{1e3 * QUERIES / a['qps']:>12.1f}"
              f"{1e3 * QUERIES / b['qps']:>12.1f}{b['qps'] / a['qps']:>8.2f}"
              f"  (recall {a['recall']:.3f} vs {b['recall']:.3f})")
        # The same n_lists need not fill the lists alike, so one n_probes
        # may read different numbers of rows on the two sides.
        work = a["rows_per_query"] / b["rows_per_query"]
        print(f"{'  rows read per query':<34}{a['rows_per_query']:>12.0f}"
              f"{b['rows_per_query']:>12.0f}{work:>8.2f}")
        print(f"{'  batch time per row read':<34}{'':>24}{b['qps'] / a['qps'] / work:>8.2f}")
        print(f"{'  peak / open-index resident MB':<34}{a['peak_mb']:>12.0f}"
              f"{a['resident_mb']:>12.0f}{a['peak_mb'] / a['resident_mb']:>8.2f}"
              "  (ours only)")
    a, b = by_probes.get(LATENCY_PROBES), theirs_by_probes.get(LATENCY_PROBES)
    if a is not None and b is not None:
        for name, key in (("p50", "latency_ms"), ("p99", "latency_p99_ms")):
            print(f"{'single query ' + name + ' ms, n_probes ' + str(LATENCY_PROBES):<34}"
                  f"{a[key]:>12.3f}{b[key]:>12.3f}{a[key] / b[key]:>8.2f}")
    for target in TARGETS:
        a, b = first_reaching(ours["sweep"], target), first_reaching(theirs["sweep"], target)
        if a is None or b is None:
            print(f"recall >= {target}: not reached by "
                  f"{'nivora' if a is None else 'faiss'} within n_probes {PROBES[-1]}")
            continue
        print(f"recall >= {target:.2f}: n_probes {a['n_probes']} ({a['recall']:.3f}) vs "
              f"{b['n_probes']} ({b['recall']:.3f})")
        print(f"{'  batch QPS':<34}{a['qps']:>12.0f}{b['qps']:>12.0f}"
              f"{b['qps'] / a['qps']:>8.2f}")
        print(f"{'  single-query latency ms':<34}{a['latency_ms']:>12.3f}"
              f"{b['latency_ms']:>12.3f}{a['latency_ms'] / b['latency_ms']:>8.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--full", action="store_true", help="1,000,000 rows")
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--binary", default="build/release/bench/api/api_bench")
    parser.add_argument("--kinds", default="ivfsq8,ivfflat")
    parser.add_argument("--stores", default="rocksdb,redis")
    args = parser.parse_args()
    rows = 1_000_000 if args.full else args.rows
    faiss.omp_set_num_threads(args.threads)

    base, queries = make_data(rows)
    truth = exact_top_k(base, queries)
    print(f"rows={rows} dim={DIM} queries={QUERIES} threads={args.threads} "
          f"OMP_WAIT_POLICY=passive; columns: nivora, faiss, ratio nivora time / faiss time")
    with tempfile.TemporaryDirectory() as folder:
        base.tofile(os.path.join(folder, "base.f32"))
        queries.tofile(os.path.join(folder, "queries.f32"))
        truth.tofile(os.path.join(folder, "truth.i64"))
        with open(os.path.join(folder, "shape.txt"), "w") as f:
            f.write(f"{rows} {DIM} {QUERIES}\n")
        in_process = None
        for kind in args.kinds.split(","):
            ours = nivora_run(args.binary, folder, kind, args.threads)
            theirs = faiss_run(kind, base, queries, truth, ours["n_lists"])
            report(kind, rows, ours, theirs)
            if kind == "ivfflat" and ours["query"]:
                in_process = next(s for s in ours["sweep"] if s["n_probes"] == LATENCY_PROBES)
        stores = [s for s in args.stores.split(",") if s]
        if stores and in_process is not None:
            report_stores(in_process, store_runs(args.binary, folder, args.threads, stores))


if __name__ == "__main__":
    main()
