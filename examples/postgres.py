"""An encrypted index in PostgreSQL.

Opens a Client on two tables of one PostgreSQL database: an item table for
the index, its vectors, metadata, ids and contents, and a config table for
the index configurations. Creates an IVFFlat index under a fresh random key,
upserts 1,000 random 32-d vectors with contents and metadata, runs a
filtered query, opens the same index from a second Client (as another
process would) and deletes it at the end, also when a step fails. The tables
are created on first use and stay.

Settings come from the environment:

  NIVORA_PG_DSN           libpq connection string
                          (default "host=127.0.0.1 port=5432 user=postgres dbname=postgres")
  NIVORA_PG_ITEMS_TABLE   item table (default "nivora_items")
  NIVORA_PG_CONFIG_TABLE  config table (default "nivora_config")
"""

import os
import secrets

import numpy as np

import nivoradb_core as nivora

DIMENSION = 32
NUM_ITEMS = 1_000


def postgres_locations():
    """(items, config) DBConfigs from the NIVORA_PG_* variables."""
    env = os.environ.get
    dsn = env("NIVORA_PG_DSN", "host=127.0.0.1 port=5432 user=postgres dbname=postgres")
    items = nivora.DBConfig("postgres", table_name=env("NIVORA_PG_ITEMS_TABLE", "nivora_items"),
                            connection_string=dsn)
    config = nivora.DBConfig("postgres", table_name=env("NIVORA_PG_CONFIG_TABLE", "nivora_config"),
                             connection_string=dsn)
    return items, config


def main():
    items, config = postgres_locations()
    client = nivora.Client("postgres-example", items, config, items)

    index_key = secrets.token_bytes(32)  # only this program ever holds it
    index_name = f"postgres-example-{os.getpid()}-{secrets.token_hex(4)}"
    index = client.create_index(index_name, index_key, nivora.IndexIVFFlat(DIMENSION))
    try:
        rng = np.random.default_rng(7)
        vectors = rng.standard_normal((NUM_ITEMS, DIMENSION), dtype=np.float32)
        index.upsert([{"id": f"doc-{i}", "vector": vectors[i], "contents": f"document {i}",
                       "metadata": {"lang": "en" if i % 2 == 0 else "de", "year": 2000 + i % 25}}
                      for i in range(NUM_ITEMS)])
        print(f"upserted {index.get_num_vectors()} items into {index_name}")

        results = index.query(vectors[10], top_k=3,
                              filters={"$and": [{"lang": "en"}, {"year": {"$gte": 2005}}]})
        for result in results:
            print(f"  {result['id']:>8}  distance {result['distance']:.4f}  {result['metadata']}")

        # Another client (another process, another machine) opens the same
        # index with the same key and sees the same items.
        reader = nivora.Client("postgres-example", items, config, items)
        print(f"second client lists it: {index_name in reader.list_indexes()}")
        same = reader.load_index(index_name, index_key)
        print(f"second client reads {same.get(['doc-10'], include=['contents'])[0]}")
    finally:
        index.delete_index()
        print(f"deleted index {index_name}")


if __name__ == "__main__":
    main()
