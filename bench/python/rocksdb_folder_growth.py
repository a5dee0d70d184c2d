#!/usr/bin/env python3
"""What a RocksDB folder gathers when a client opens it again and again.

Each cycle opens a Client on one RocksDB folder, loads a 10-item index, reads
its count and closes the client. Prints the folder's file count and bytes
after every block of cycles, and the growth per cycle over the first and the
last block. The reference is the folder after the first open. Info logs,
options files and write-ahead logs stay at a few per store folder however
often it is opened, so a bounded folder shows no growth per cycle after the
first block.

Usage: rocksdb_folder_growth.py [--cycles N] [--block B]
Needs the module installed (pip install .).
"""
import argparse
import gc
import os
import tempfile

import numpy as np

import nivoradb_core as nv

KEY = bytes(range(1, 33))


def folder_size(folder):
    files = total = 0
    for root, _, names in os.walk(folder):
        for name in names:
            files += 1
            total += os.path.getsize(os.path.join(root, name))
    return files, total


def cycle(folder, name):
    db = nv.DBConfig("rocksdb", connection_string=folder)
    client = nv.Client("bench", db, db, db)
    index = client.load_index(name, KEY)
    index.get_num_vectors()
    del index, client
    gc.collect()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cycles", type=int, default=400)
    parser.add_argument("--block", type=int, default=100)
    args = parser.parse_args()
    nv.Logger.instance().configure("critical")
    with tempfile.TemporaryDirectory(prefix="nivora_growth_") as folder:
        db = nv.DBConfig("rocksdb", connection_string=folder)
        client = nv.Client("bench", db, db, db)
        index = client.create_index("growth", KEY, nv.IndexIVFFlat(4))
        index.upsert([str(i) for i in range(10)], np.ones((10, 4), dtype=np.float32))
        del index, client
        gc.collect()
        reference = folder_size(folder)
        print(f"after the first open: {reference[0]} files, {reference[1]} bytes (reference)")
        previous, rates = reference, []
        for done in range(args.block, args.cycles + 1, args.block):
            for _ in range(args.block):
                cycle(folder, "growth")
            now = folder_size(folder)
            files_per = (now[0] - previous[0]) / args.block
            bytes_per = (now[1] - previous[1]) / args.block
            rates.append((files_per, bytes_per))
            print(f"{done:6d} opens: {now[0]:6d} files {now[1]:12d} bytes  "
                  f"growth/cycle {files_per:+.2f} files {bytes_per:+.0f} bytes  "
                  f"size/reference {now[1] / reference[1]:.2f}x")
            previous = now
        first, last = rates[0], rates[-1]
        print(f"growth per cycle, first block: {first[0]:+.2f} files {first[1]:+.0f} bytes; "
              f"last block: {last[0]:+.2f} files {last[1]:+.0f} bytes")


if __name__ == "__main__":
    main()
