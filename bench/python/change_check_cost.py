#!/usr/bin/env python3
"""What the change-stamp check costs on an unchanged index: every operation
first reads the index's change stamp (one store read) to see whether another
client wrote since its RAM caches were filled. Measured on a throwaway
redis-server and PostgreSQL (tests/python/servers.py), in one run, the same
operation with the check and without it (nivoradb_core._testing
.set_change_checks), interleaved: a batch of 1,000 queries, a single query and
a get of 100 ids. Prints both times and their ratio (with / without), and on
Redis the store commands per operation, with the store's own client (a GET
round trip) as reference.

Usage: change_check_cost.py [--rows N] [--rounds R]
"""
import argparse
import os
import socket
import statistics
import sys
import time

import numpy as np

# set_change_checks is a test hook: it acts only in a process started with
# this (read at its first call).
os.environ["NIVORA_TESTING_HOOKS"] = "1"

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "python"))

import nivoradb_core as nv  # noqa: E402
from servers import PostgresServer, RedisServer  # noqa: E402

KEY = bytes(range(1, 33))
DIM = 64


def data(rows, seed=0):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((64, DIM)).astype(np.float32) * 3
    picks = rng.integers(0, 64, rows)
    return (centres[picks] + rng.standard_normal((rows, DIM))).astype(np.float32)


def make_index(kind, server, rows):
    table = f"bench_{kind}_{os.getpid()}"
    dbs = [nv.DBConfig(kind, table_name=f"{table}_{k}", connection_string=server.connection_string())
           for k in ("index", "config", "items")]
    index = nv.Client("bench", *dbs).create_index(f"cost-{kind}", KEY, nv.IndexIVFFlat(DIM))
    vectors = data(rows)
    for start in range(0, rows, 10_000):
        index.upsert(np.arange(start, min(rows, start + 10_000)), vectors[start:start + 10_000])
    index.train(n_lists=64)
    return index, vectors


def timed(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def redis_commands(server):
    """Commands the server has processed so far (INFO stats, plain socket)."""
    with socket.create_connection(("127.0.0.1", server.port), timeout=5) as s:
        s.sendall(b"INFO stats\r\n")
        text = b""
        while b"total_commands_processed" not in text or not text.endswith(b"\r\n"):
            text += s.recv(65536)
    for line in text.decode().splitlines():
        if line.startswith("total_commands_processed:"):
            return int(line.split(":")[1])
    raise RuntimeError("no command count")


def redis_get_round_trip(server, repeat):
    """The reference: one GET round trip of a raw client on the same server."""
    with socket.create_connection(("127.0.0.1", server.port), timeout=5) as s:
        def get():
            s.sendall(b"*2\r\n$3\r\nGET\r\n$1\r\nx\r\n")
            s.recv(64)
        return timed(get, repeat)


def measure(kind, server, rows, rounds):
    index, vectors = make_index(kind, server, rows)
    rng = np.random.default_rng(1)
    batch = (vectors[rng.integers(0, rows, 1000)] + 0.1).astype(np.float32)
    single = batch[0]
    ids = [str(i) for i in rng.integers(0, rows, 100)]
    ops = {
        "batch of 1,000 queries": (lambda: index.query_numpy(batch, top_k=10, n_probes=4, batch=True), 3),
        "single query": (lambda: index.query_numpy(single, top_k=10, n_probes=4), 50),
        "get of 100 ids": (lambda: index.get(ids), 50),
    }
    for fn, _ in ops.values():
        fn()  # warm caches and quantizers
    results = {}
    for name, (fn, repeat) in ops.items():
        with_check, without = [], []
        for _ in range(rounds):
            nv._core._testing.set_change_checks(True)
            with_check.append(timed(fn, repeat))
            nv._core._testing.set_change_checks(False)
            without.append(timed(fn, repeat))
        nv._core._testing.set_change_checks(True)
        commands = None
        if kind == "redis":
            counts = []
            for enabled in (True, False):
                nv._core._testing.set_change_checks(enabled)
                before = redis_commands(server)
                fn()
                counts.append(redis_commands(server) - before - 1)  # less the INFO itself
            nv._core._testing.set_change_checks(True)
            commands = counts
        results[name] = (statistics.median(with_check), statistics.median(without), commands)
    index.delete_index()
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=20_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    redis, postgres = RedisServer(), PostgresServer()
    try:
        print(f"{args.rows} rows of {DIM} floats, IVFFlat 64 lists, n_probes 4, median of "
              f"{args.rounds} interleaved rounds")
        print(f"reference: one raw Redis GET round trip {redis_get_round_trip(redis, 1000) * 1e6:.1f} us")
        for kind, server in (("redis", redis), ("postgres", postgres)):
            for name, (on, off, commands) in measure(kind, server, args.rows, args.rounds).items():
                extra = ""
                if commands is not None:
                    extra = f"  store commands {commands[0]} vs {commands[1]}"
                print(f"{kind:8s} {name:24s} with check {on * 1e3:9.3f} ms  without "
                      f"{off * 1e3:9.3f} ms  ratio {on / off:5.3f}{extra}")
    finally:
        redis.stop()
        postgres.stop()


if __name__ == "__main__":
    main()
