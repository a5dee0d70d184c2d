import os
import subprocess
import sys
import textwrap

import pytest

# The module's behaviour-changing test hooks (_testing.set_change_checks,
# stop_at) act only in processes started with this; set before the module is
# imported, and inherited by every child process the tests start.
os.environ["NIVORA_TESTING_HOOKS"] = "1"


def run_python(code, env=None, cwd=None):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, cwd=cwd, timeout=120)


@pytest.fixture
def python_run():
    return run_python


@pytest.fixture
def logger():
    """The process-wide logger, put back to level ERROR on the console."""
    import nivoradb_core
    log = nivoradb_core.Logger.instance()
    yield log
    log.configure("error")


@pytest.fixture
def clean_env():
    return dict(os.environ)


# ---- clients and indexes -------------------------------------------------------

KEY = bytes(range(1, 33))
NOT_CONNECTED = ("Not connected to any index. Please call `create_index()` or `load_index()` "
                 "before calling this function.")


def unique_name(prefix="index"):
    """An index name no other test uses (in-process stores are shared)."""
    import uuid
    return f"{prefix}-{uuid.uuid4().hex[:12]}"


def make_client(location="memory", connection_string=None):
    import nivoradb_core as nv
    db = nv.DBConfig(location, connection_string=connection_string)
    return nv.Client("test", db, db, db)


@pytest.fixture
def memory_client():
    return make_client("memory")


@pytest.fixture
def flat_index(memory_client):
    """An empty untrained IVFFlat index of dimension 4."""
    import nivoradb_core as nv
    return memory_client.create_index(unique_name(), KEY, nv.IndexIVFFlat(4))


def clustered(n, d, clusters=16, seed=0):
    import numpy as np
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, d)).astype(np.float32) * 4
    labels = rng.integers(0, clusters, n)
    return (centres[labels] + rng.standard_normal((n, d)).astype(np.float32)).astype(np.float32)


@pytest.fixture(scope="session")
def trained():
    """One trained IVFFlat index of 10,000 clustered 16-d vectors, shared by
    every test that only reads it: ids are "0".."9999", metadata
    {"group": i % 4}. Returns (index, vectors)."""
    import nivoradb_core as nv
    client = make_client("threadsafememory")
    index = client.create_index(unique_name("trained"), KEY, nv.IndexIVFFlat(16))
    vectors = clustered(10_000, 16)
    items = [{"id": str(i), "vector": vectors[i], "metadata": {"group": i % 4}}
             for i in range(len(vectors))]
    index.upsert(items)
    index.train(n_lists=32)
    yield index, vectors
    index.delete_index()


@pytest.fixture
def embedding_module(monkeypatch):
    """A stand-in sentence_transformers package; its models record encode calls."""
    import types
    import sys
    import numpy as np

    class Model:
        dimensions = {"tiny": 8, "none-dim": None, "zero": 0, "negative": -1}
        calls = []
        batch_result = None  # a callable (texts) -> object, to replace the batch answer

        def __init__(self, name):
            if name not in self.dimensions:
                raise OSError(f"no such model: {name}")
            self.name = name

        def get_sentence_embedding_dimension(self):
            return self.dimensions[self.name]

        @staticmethod
        def embed(text):
            rng = np.random.default_rng(abs(hash(text)) % (2**32))
            return rng.standard_normal(8).astype(np.float32)

        def encode(self, texts, convert_to_numpy=None):
            Model.calls.append((texts, convert_to_numpy))
            if isinstance(texts, list):
                if Model.batch_result is not None:
                    return Model.batch_result(texts)
                return np.stack([self.embed(t) for t in texts])
            if texts == "explode":
                raise RuntimeError("encoder exploded")
            return self.embed(texts)

    Model.calls = []
    Model.batch_result = None
    module = types.ModuleType("sentence_transformers")
    module.SentenceTransformer = Model
    monkeypatch.setitem(sys.modules, "sentence_transformers", module)
    return Model


# ---- database servers ----------------------------------------------------------
# One server of each kind per test run, started on first use.

@pytest.fixture(scope="session")
def redis_server():
    """A plain redis-server on 127.0.0.1 (see servers.RedisServer)."""
    from servers import RedisServer
    server = RedisServer()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def redis_tls_server():
    """A redis-server serving only TLS, with certificates made for this run."""
    from servers import RedisServer
    server = RedisServer(tls=True)
    yield server
    server.stop()


@pytest.fixture(scope="session")
def postgres_server():
    """A PostgreSQL cluster made with initdb for this run."""
    from servers import PostgresServer
    server = PostgresServer()
    yield server
    server.stop()


def unique_table(prefix="t"):
    """A PostgreSQL table name no other test uses."""
    import uuid
    return f"{prefix}_{uuid.uuid4().hex[:12]}"
