"""Quick start: an encrypted index on local disk, from upsert to a filtered query.

Creates a RocksDB-backed client in ~/.nivoradb/data, an IVFFlat index under a
fresh random key, upserts 20,000 random 64-d vectors with metadata, trains,
runs a filtered query and prints the neighbours. The index is deleted at the
end, also when a step fails.
"""

import os
import secrets
import time

import numpy as np

import nivoradb_core as nivora

DIMENSION = 64
NUM_ITEMS = 20_000
CATEGORIES = ("books", "music", "films", "games")


def main():
    data_dir = os.path.join(os.path.expanduser("~"), ".nivoradb", "data")
    os.makedirs(data_dir, exist_ok=True)
    location = nivora.DBConfig("rocksdb", connection_string=data_dir)
    client = nivora.Client("quickstart", location, location, location)

    index_key = secrets.token_bytes(32)  # only this program ever holds it
    index_name = f"quickstart-{os.getpid()}-{secrets.token_hex(4)}"
    index = client.create_index(index_name, index_key, nivora.IndexIVFFlat(DIMENSION))
    try:
        rng = np.random.default_rng(7)
        vectors = rng.standard_normal((NUM_ITEMS, DIMENSION), dtype=np.float32)
        items = [{"id": f"item-{i}",
                  "vector": vectors[i],
                  "contents": f"item number {i}",
                  "metadata": {"category": CATEGORIES[i % len(CATEGORIES)], "price": i % 100}}
                 for i in range(NUM_ITEMS)]

        start = time.perf_counter()
        index.upsert(items)
        print(f"upserted {index.get_num_vectors()} items in {time.perf_counter() - start:.2f} s")

        start = time.perf_counter()
        index.train()
        print(f"trained {index.n_lists} lists in {time.perf_counter() - start:.2f} s")

        query = vectors[40] + 0.01 * rng.standard_normal(DIMENSION, dtype=np.float32)
        filters = {"$and": [{"category": "books"}, {"price": {"$lt": 50}}]}
        results = index.query(query, top_k=5, filters=filters)
        print(f"top {len(results)} books under 50 near item-40 (a book at 40):")
        for result in results:
            print(f"  {result['id']:>12}  distance {result['distance']:.4f}  {result['metadata']}")
    finally:
        index.delete_index()
        print(f"deleted index {index_name}")


if __name__ == "__main__":
    main()
