"""An encrypted index in Redis, plain or over TLS.

Opens a Client whose three locations are one Redis database, creates an
IVFFlat index under a fresh random key, upserts 1,000 random 32-d vectors
with metadata, runs a filtered query, opens the same index from a second
Client (as another process would) and deletes it at the end, also when a
step fails.

Settings come from the environment:

  NIVORA_REDIS_HOST     server host (default 127.0.0.1)
  NIVORA_REDIS_PORT     server port (default 6379)
  NIVORA_REDIS_DB       database number (default 0)
  NIVORA_REDIS_TLS      "1" to connect over TLS (default: plain TCP)
  NIVORA_REDIS_CA_CERT  CA certificate file that signed the server's certificate (TLS only)
  NIVORA_REDIS_TABLE    name of the Redis hash that holds the index configurations
                        (default "nivora_config")
"""

import os
import secrets

import numpy as np

import nivoradb_core as nivora

DIMENSION = 32
NUM_ITEMS = 1_000


def redis_location():
    """One Redis DBConfig from the NIVORA_REDIS_* variables."""
    env = os.environ.get
    parts = [f"host:{env('NIVORA_REDIS_HOST', '127.0.0.1')}",
             f"port:{env('NIVORA_REDIS_PORT', '6379')}",
             f"db:{env('NIVORA_REDIS_DB', '0')}"]
    if env("NIVORA_REDIS_TLS") == "1":
        parts.append("ssl:true")
        if env("NIVORA_REDIS_CA_CERT"):
            parts.append(f"ca_cert:{env('NIVORA_REDIS_CA_CERT')}")
    return nivora.DBConfig("redis", table_name=env("NIVORA_REDIS_TABLE", "nivora_config"),
                           connection_string=",".join(parts))


def main():
    location = redis_location()
    client = nivora.Client("redis-example", location, location, location)

    index_key = secrets.token_bytes(32)  # only this program ever holds it
    index_name = f"redis-example-{os.getpid()}-{secrets.token_hex(4)}"
    index = client.create_index(index_name, index_key, nivora.IndexIVFFlat(DIMENSION))
    try:
        rng = np.random.default_rng(7)
        vectors = rng.standard_normal((NUM_ITEMS, DIMENSION), dtype=np.float32)
        index.upsert([{"id": f"doc-{i}", "vector": vectors[i],
                       "metadata": {"lang": "en" if i % 2 == 0 else "de", "year": 2000 + i % 25}}
                      for i in range(NUM_ITEMS)])
        print(f"upserted {index.get_num_vectors()} items into {index_name}")

        results = index.query(vectors[10], top_k=3,
                              filters={"$and": [{"lang": "en"}, {"year": {"$gte": 2005}}]})
        for result in results:
            print(f"  {result['id']:>8}  distance {result['distance']:.4f}  {result['metadata']}")

        # Another client (another process, another machine) opens the same
        # index with the same key and sees the same items.
        reader = nivora.Client("redis-example", location, location, location)
        print(f"second client lists it: {index_name in reader.list_indexes()}")
        same = reader.load_index(index_name, index_key)
        print(f"second client reads {same.get(['doc-10'], include=['metadata'])[0]}")
    finally:
        index.delete_index()
        print(f"deleted index {index_name}")


if __name__ == "__main__":
    main()
