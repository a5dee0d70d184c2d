#!/usr/bin/env python3
"""Ranks the same 100,000 rows with nivora's IVFFlat and 8-bit SQ rankers
(rank_bench) and with faiss-cpu (IndexFlatL2, IndexScalarQuantizer QT_8bit),
1 and 1,000 queries, top 10, and prints both times and their ratio.

Usage: rank_vs_faiss.py [path/to/rank_bench]
(default: build/release/bench/vector/rank_bench, built with
-DNIVORA_BUILD_BENCH=ON). Needs numpy and faiss-cpu.
"""
import json
import os
import subprocess
import sys
import tempfile
import time

# Both sides run under the same BLAS core type and OpenMP wait policy; set
# before numpy and faiss load their libraries.
os.environ.setdefault("OPENBLAS_CORETYPE", "Haswell")
os.environ["OMP_WAIT_POLICY"] = "passive"

import numpy as np  # noqa: E402
import faiss  # noqa: E402

ROWS, QUERIES, DIM, TOP_K = 100_000, 1_000, 128, 10


def make_data():
    rng = np.random.default_rng(42)
    centres = rng.standard_normal((2000, DIM), dtype=np.float32)

    def around(n):
        picks = rng.integers(0, len(centres), n)
        return (centres[picks] + 0.3 * rng.standard_normal((n, DIM), dtype=np.float32)).astype(
            np.float32)

    return around(ROWS), around(QUERIES)


def best_ms(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1e3)
    return min(times)


def faiss_times(base, queries):
    flat = faiss.IndexFlatL2(DIM)
    flat.add(base)
    sq = faiss.IndexScalarQuantizer(DIM, faiss.ScalarQuantizer.QT_8bit, faiss.METRIC_L2)
    sq.train(base)
    sq.add(base)
    out = {}
    for name, index in (("IVFFlat", flat), ("IVFSQ8", sq)):
        for n in (1, QUERIES):
            q = queries[:n]
            index.search(q, TOP_K)  # warm-up
            out[(name, n)] = best_ms(lambda: index.search(q, TOP_K), 20 if n == 1 else 3)
    return out


def nivora_times(binary, folder):
    env = dict(os.environ, NIVORA_BENCH_DATA=folder)
    result = subprocess.run(
        [binary, "--benchmark_filter=BM_RankIVF(Flat|SQ<uint8_t>)/",
         "--benchmark_format=json", "--benchmark_repetitions=3",
         "--benchmark_report_aggregates_only=true"],
        env=env, check=True, capture_output=True, text=True)
    out = {}
    for b in json.loads(result.stdout)["benchmarks"]:
        if b.get("aggregate_name") != "min" and b.get("aggregate_name") != "mean":
            continue
        name = "IVFFlat" if "Flat" in b["run_name"] else "IVFSQ8"
        n = int(b["run_name"].split("queries:")[1].split("/")[0])
        ms = b["real_time"] * {"ms": 1, "us": 1e-3, "ns": 1e-6, "s": 1e3}[b["time_unit"]]
        # keep the fastest aggregate: Google Benchmark reports mean (and min
        # on newer versions)
        out[(name, n)] = min(ms, out.get((name, n), float("inf")))
    return out


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else "build/release/bench/vector/rank_bench"
    base, queries = make_data()
    with tempfile.TemporaryDirectory() as folder:
        base.tofile(os.path.join(folder, "base.f32"))
        queries.tofile(os.path.join(folder, "queries.f32"))
        ours = nivora_times(binary, folder)
    theirs = faiss_times(base, queries)
    print(f"OPENBLAS_CORETYPE={os.environ['OPENBLAS_CORETYPE']} OMP_WAIT_POLICY=passive "
          f"threads={faiss.omp_get_max_threads()}")
    print(f"{'case':<22}{'nivora ms':>12}{'faiss ms':>12}{'ratio':>8}")
    for name in ("IVFFlat", "IVFSQ8"):
        for n in (1, QUERIES):
            a, b = ours[(name, n)], theirs[(name, n)]
            print(f"{name + ' x' + str(n):<22}{a:>12.2f}{b:>12.2f}{a / b:>8.2f}")


if __name__ == "__main__":
    main()
