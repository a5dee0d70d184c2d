import gc

import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, make_client, unique_name

INSTALL_HINT = ("To use automatic embedding functionality, please install the required "
                "dependency: pip install nivoradb-core[embeddings]")


class ArrayLike:
    def __init__(self, values, length=None):
        self.values = values
        self.length = len(values) if length is None else length

    def __getitem__(self, i):
        return self.values[i]

    def __len__(self):
        return self.length


class BadLen:
    def __getitem__(self, i):
        return 1

    def __len__(self):
        raise KeyError("len failed")


ACCEPTED_KEYS = [
    pytest.param(KEY, id="bytes"),
    pytest.param(list(KEY), id="list"),
    pytest.param(tuple(range(32)), id="tuple-0-to-31"),
    pytest.param(bytearray(KEY), id="bytearray"),
    pytest.param(np.arange(1, 33, dtype=np.uint8), id="numpy-uint8"),
    pytest.param(ArrayLike(list(KEY)), id="array-like"),
    pytest.param([True] + [0] * 31, id="bools"),
    pytest.param(bytes(31) + b"\x01", id="one-nonzero-byte"),
]


@pytest.mark.parametrize("key", ACCEPTED_KEYS)
def test_accepted_key_forms(memory_client, key):
    index = memory_client.create_index(unique_name(), key)
    assert index.index_type() == "ivfsq"


# (key, exception from create_index, exception from load_index, message start)
REFUSED_KEYS = [
    (KEY[:31], ValueError, ValueError, "index_key must be exactly 32 bytes"),
    (KEY + b"x", ValueError, ValueError, "index_key must be exactly 32 bytes"),
    (list(KEY[:31]), ValueError, ValueError, "index_key must be exactly 32 elements"),
    (bytearray(33), ValueError, ValueError, "index_key must be exactly 32 elements"),
    (ArrayLike([1] * 40, length=31), ValueError, ValueError,
     "index_key must be exactly 32 elements"),
    (12345, ValueError, ValueError,
     "index_key must be bytes, list, tuple, or array-like object with 32 elements"),
    ("a" * 32, ValueError, ValueError,
     "index_key must be bytes or a sequence of 32 integers from 0 to 255, not str"),
    ([256] + [1] * 31, ValueError, RuntimeError, None),
    ([-1] + [1] * 31, ValueError, RuntimeError, None),
    ([1.0] * 32, ValueError, RuntimeError, None),
]


@pytest.mark.parametrize("key, create_error, load_error, message", REFUSED_KEYS)
def test_refused_keys(key, create_error, load_error, message):
    client = make_client("threadsafememory")
    name = unique_name()
    with pytest.raises(create_error) as created:
        client.create_index(name, key)
    with pytest.raises(load_error) as loaded:
        client.load_index(name, key)
    if message is not None:
        assert str(created.value) == message
        assert str(loaded.value) == message
    assert name not in client.list_indexes()


def test_all_zero_key_is_refused_by_create(memory_client):
    with pytest.raises(ValueError, match="^An index key of all zero bytes is refused.$"):
        memory_client.create_index(unique_name(), bytes(32))


def test_python_error_of_the_key_passes_unchanged(memory_client):
    with pytest.raises(KeyError, match="len failed"):
        memory_client.create_index(unique_name(), BadLen())
    with pytest.raises(KeyError, match="len failed"):
        memory_client.load_index(unique_name(), BadLen())


def test_index_name_limits(memory_client):
    memory_client.create_index("n" * 255, KEY)
    with pytest.raises(ValueError, match="^Index name cannot be longer than 255 bytes.$"):
        memory_client.create_index("n" * 256, KEY)
    with pytest.raises(ValueError, match="^Index name cannot be an empty string.$"):
        memory_client.create_index("", KEY)


def test_metric_names(memory_client):
    config = nv.IndexIVFFlat(8)
    assert memory_client.create_index(unique_name(), KEY, config).metric == "euclidean"
    for name in ("cosine", "euclidean", "squared_euclidean"):
        assert memory_client.create_index(unique_name(), KEY, config, metric=name).metric == name
    with pytest.raises(ValueError, match="^Invalid distance metric: Cosine$"):
        memory_client.create_index(unique_name(), KEY, config, metric="Cosine")
    assert config.metric == "euclidean"


def test_default_configuration(memory_client):
    index = memory_client.create_index(unique_name(), KEY)
    assert index.index_config() == {"dimension": 0, "metric": "euclidean", "index_type": "ivfsq",
                                    "n_lists": 1, "pq_dim": 0, "pq_bits": 0, "sq_bits": 16}


def test_refused_logger(memory_client):
    with pytest.raises(ValueError):
        memory_client.create_index(unique_name(), KEY, logger="not a logger")
    with pytest.raises(RuntimeError):
        memory_client.load_index(unique_name(), KEY, logger=42)


def test_client_settings():
    db = nv.DBConfig("memory")
    client = nv.Client("k", db, db, db, cpu_threads=None, gpu_config=None)
    assert client.get_cpu_threads() == 0 and not client.is_gpu_enabled()
    assert client.get_gpu_config() == nv.GPUConfig()
    client = nv.Client("k", db, db, db, cpu_threads=3, gpu_config=nv.GPUConfig(train=True))
    assert client.get_cpu_threads() == 3 and client.is_gpu_enabled()
    assert client.get_gpu_config().train
    with pytest.raises((TypeError, RuntimeError)):
        nv.Client("k", None, db, db)


def test_gpu_flag_fails_its_operation_saying_the_build_has_no_gpu_support():
    db = nv.DBConfig("memory")
    client = nv.Client("k", db, db, db, gpu_config=nv.GPUConfig(upsert=True))
    index = client.create_index(unique_name(), KEY, nv.IndexIVFFlat(4))
    with pytest.raises(ValueError) as raised:  # as every upsert failure
        index.upsert(["a"], np.ones((1, 4), dtype=np.float32))
    assert str(raised.value) == (
        "CUDA support is required, but the library was built without CUDA. This build has no "
        "GPU support: leave every GPUConfig flag off.")
    assert index.list_ids() == []


def test_working_dir_reaches_new_clients():
    nv.set_working_dir("/tmp/nivora-working-dir")
    try:
        make_client().create_index(unique_name(), KEY)
    finally:
        nv.set_working_dir("")


def test_index_outlives_its_client():
    client = make_client()
    index = client.create_index(unique_name(), KEY, nv.IndexIVFFlat(4))
    del client
    gc.collect()
    index.upsert(["1", "2"], np.eye(2, 4, dtype=np.float32))
    assert [r["id"] for r in index.query([1, 0, 0, 0], top_k=2)] == ["1", "2"]
    del index
    gc.collect()


def test_create_then_load_on_rocksdb(tmp_path):
    folder = str(tmp_path / "db")
    name = unique_name("rocks")
    client = make_client("rocksdb", folder)
    index = client.create_index(name, KEY, nv.IndexIVFPQ(8, 4, 8), metric="cosine")
    index.upsert([{"id": "a", "vector": [1.0] * 8, "metadata": {"k": 1}, "contents": b"\x00\xff"}])
    del index, client
    gc.collect()

    client = make_client("rocksdb", folder)
    assert name in client.list_indexes()
    loaded = client.load_index(name, list(KEY))
    assert loaded.index_config() == {"dimension": 8, "metric": "cosine", "index_type": "ivfpq",
                                     "n_lists": 1, "pq_dim": 4, "pq_bits": 8, "sq_bits": 0}
    item = loaded.get(["a"])[0]
    assert item["metadata"] == {"k": 1} and item["contents"] == b"\x00\xff"
    assert item["vector"] == pytest.approx([1.0] * 8)
    with pytest.raises(RuntimeError):
        client.load_index(name, bytes(reversed(KEY)))
    with pytest.raises(RuntimeError):
        client.load_index(unique_name("missing"), KEY)
    loaded.delete_index()
    assert name not in client.list_indexes()


def test_load_refuses_memory_locations(memory_client):
    with pytest.raises(ValueError, match="^Memory location is not supported"):
        memory_client.load_index(unique_name(), KEY)


# ---- embedding models --------------------------------------------------------------

def test_model_fixes_the_dimension(embedding_module):
    client = make_client("threadsafememory")
    index = client.create_index(unique_name(), KEY, embedding_model="tiny")
    assert index.dimension == 8 and index.index_type() == "ivfsq"
    assert index.index_config()["sq_bits"] == 16
    pq = nv.IndexIVFPQ(8, 4, 8)
    index = client.create_index(unique_name(), KEY, pq, embedding_model="tiny", metric="cosine")
    assert (index.dimension, index.index_config()["pq_dim"], index.metric) == (8, 4, "cosine")
    assert (pq.dimension, pq.pq_dim()) == (8, 4)  # the caller's configuration is untouched
    index = client.create_index(unique_name(), KEY, nv.IndexIVF(3), embedding_model="")
    assert index.dimension == 3  # an empty model name is no model


@pytest.mark.parametrize("model, message", [
    ("none-dim", "Unable to determine embedding dimension for model: none-dim"),
    ("zero", "Invalid embedding dimension for model: zero"),
    ("negative", "Invalid embedding dimension for model: negative"),
])
def test_model_dimension_refused_and_nothing_created(embedding_module, model, message):
    client = make_client("threadsafememory")
    name = unique_name()
    with pytest.raises(ValueError) as error:
        client.create_index(name, KEY, embedding_model=model)
    assert str(error.value) == message
    assert name not in client.list_indexes()
    client.create_index(name, KEY).delete_index()  # the name is still free


def test_unknown_model(embedding_module, capfd):
    with pytest.raises(ValueError, match="^Failed to load embedding model: OSError: no such model"):
        make_client().create_index(unique_name(), KEY, embedding_model="huge")
    assert "Python Exception: OSError: no such model: huge" in capfd.readouterr().err


def test_missing_embedding_package(monkeypatch):
    import sys
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)
    with pytest.raises(ValueError) as error:
        make_client().create_index(unique_name(), KEY, embedding_model="tiny")
    assert str(error.value) == INSTALL_HINT
