#!/usr/bin/env python3
"""Memory kept per index name that was created and deleted.

For each in-process and file location, creates an index under a fresh name,
upserts one item and deletes the index, N times, and prints the growth of
the process's resident memory per cycle. The reference, measured in the
same run, is the same cycle repeated under one name: whatever it keeps is
the store's steady state, not the cost of a name. A bounded process keeps
about the same per cycle in both.

Usage: index_name_growth.py [--cycles N] [--locations memory,threadsafememory,rocksdb]
Needs numpy and the module installed (pip install .).
"""
import argparse
import gc
import os
import tempfile

import numpy as np

import nivoradb_core as nv

KEY = bytes(range(1, 33))
VECTOR = np.ones((1, 4), dtype=np.float32)
WARM_UP = 500


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def make_client(location, folder):
    if location == "rocksdb":
        db = nv.DBConfig(location, connection_string=folder)
    else:
        db = nv.DBConfig(location)
    return nv.Client("bench", db, db, db)


def cycle(client, name):
    index = client.create_index(name, KEY, nv.IndexIVFFlat(4))
    index.upsert([{"id": "a", "vector": VECTOR[0], "metadata": {"g": 1}}])
    index.query(VECTOR[0], top_k=1, filters={"g": 1})
    index.delete_index()


def growth_per_cycle(client, names):
    gc.collect()
    before = resident_bytes()
    for name in names:
        cycle(client, name)
    gc.collect()
    return (resident_bytes() - before) / len(names)


def measure(location, cycles, run_id):
    with tempfile.TemporaryDirectory() as folder:
        client = make_client(location, folder)
        for i in range(WARM_UP):
            cycle(client, f"warm-{run_id}-{i}")
        cycle(client, "same")
        same = growth_per_cycle(client, ["same"] * cycles)
        distinct = growth_per_cycle(client, [f"name-{run_id}-{i}" for i in range(cycles)])
        del client
        gc.collect()
    return distinct, same


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=2000)
    parser.add_argument("--locations", default="memory,threadsafememory,rocksdb")
    args = parser.parse_args()
    nv.Logger.instance().configure("error")
    print(f"{'location':<18}{'distinct names':>16}{'one name (ref)':>16}{'difference':>12}"
          f"{'ratio':>8}   bytes per create/upsert/delete cycle, {args.cycles} cycles")
    for run_id, location in enumerate(args.locations.split(",")):
        distinct, same = measure(location, args.cycles, run_id)
        ratio = f"{distinct / same:.2f}" if same >= 1 else "-"
        print(f"{location:<18}{distinct:>16.0f}{same:>16.0f}{distinct - same:>12.0f}{ratio:>8}")


if __name__ == "__main__":
    main()
