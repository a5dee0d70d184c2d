"""Training that loses nothing: other clients' writes during training, a
training killed at any point, and training through a handle that has not
seen another client's training."""
import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, clustered, make_client, unique_name

DIM = 8
N_ITEMS = 10_000  # the least training accepts

CONFIGS = {
    "IVF": lambda: nv.IndexIVF(DIM),
    "IVFFlat": lambda: nv.IndexIVFFlat(DIM),
    "IVFPQ": lambda: nv.IndexIVFPQ(DIM, pq_dim=4, pq_bits=4),
    "IVFSQ": lambda: nv.IndexIVFSQ(DIM, sq_bits=8),
}


def fill(index, n=N_ITEMS, seed=0, start=0):
    vectors = clustered(n, DIM, seed=seed)
    index.upsert([{"id": str(start + i), "vector": vectors[i],
                   "metadata": {"k": start + i}} for i in range(n)])
    return vectors


@pytest.mark.parametrize("kind", ["IVF", "IVFPQ"])
def test_stale_handle_refuses_retraining_of_a_trained_index(tmp_path, kind):
    folder = str(tmp_path / "db")
    name = unique_name()
    first = make_client("rocksdb", folder).create_index(name, KEY, CONFIGS[kind]())
    fill(first)
    stale = make_client("rocksdb", folder).load_index(name, KEY)
    first.train(n_lists=16, max_iters=5)
    with pytest.raises(RuntimeError, match="can only be trained once. Retraining is not "
                                           "supported"):
        stale.train(n_lists=16, max_iters=5)
    assert stale.is_trained()


# ---- a training killed at a chosen point ----------------------------------------
# Every step runs in a child process: a RocksDB folder is open in one process
# at a time.

import os
import select
import signal
import subprocess
import sys
import textwrap
import time

CHILD_PRELUDE = """
import sys
import numpy as np
import nivoradb_core as nv
sys.path.insert(0, {tests!r})
from conftest import KEY, clustered
from test_training_safety import CONFIGS, DIM, N_ITEMS, check_whole
db = nv.DBConfig("rocksdb", connection_string={folder!r})
client = nv.Client("test", db, db, db)
"""


def child_code(folder, body):
    tests = os.path.dirname(os.path.abspath(__file__))
    return textwrap.dedent(CHILD_PRELUDE.format(tests=tests, folder=folder)) + \
        textwrap.dedent(body)


def run_child(folder, body):
    done = subprocess.run([sys.executable, "-c", child_code(folder, body)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


def kill_at(folder, point, body, timeout=60):
    """Runs body in a child that holds at `point`; kills it there with SIGKILL."""
    code = child_code(folder, f"nv._core._testing.stop_at({point!r})\n" + textwrap.dedent(body))
    child = subprocess.Popen([sys.executable, "-c", code], stderr=subprocess.PIPE)
    deadline = time.monotonic() + timeout
    seen = b""
    try:
        while f"stopped at {point}".encode() not in seen:
            left = deadline - time.monotonic()
            assert left > 0, f"never reached {point}: {seen[-2000:]!r}"
            ready, _, _ = select.select([child.stderr], [], [], left)
            chunk = os.read(child.stderr.fileno(), 65536) if ready else b""
            assert chunk or child.poll() is None, f"exited before {point}: {seen[-2000:]!r}"
            seen += chunk
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=30)
        child.stderr.close()
    assert child.returncode == -signal.SIGKILL


def check_whole(index, vectors, trained, kind):
    """Every item answers get, list_ids and an exhaustive query; an upsert is
    accepted and found."""
    n = len(vectors)
    ids = [str(i) for i in range(n)]
    assert index.is_trained() == trained
    assert sorted(index.list_ids(), key=int) == ids
    got = index.get(ids)
    assert [item["id"] for item in got] == ids
    assert all(item["metadata"] == {"k": i} for i, item in enumerate(got))
    n_lists = index.index_config()["n_lists"] if trained else 1
    exact = not trained or kind in ("IVFFlat", "IVFSQ")
    if exact:
        # Each item is the nearest neighbour of its own vector.
        found = index.query_numpy(vectors, top_k=1, n_probes=n_lists, batch=True)
        assert np.array_equal(found[:, 0], np.arange(n))
    else:
        # Coarse codes only rank roughly: every item is in some probed list.
        found = index.query_numpy(vectors[0], top_k=n, n_probes=n_lists)
        assert sorted(found.tolist()) == list(range(n))
    extra = np.full(DIM, 50.0, dtype=np.float32)
    index.upsert([{"id": str(n), "vector": extra, "metadata": {"k": n}}])
    found = index.query_numpy(extra, top_k=1 if exact else n + 1, n_probes=n_lists)
    assert found[0] == n if exact else n in found.tolist()
    index.delete([str(n)])


# The points, in order, at which training is killed; then whether the index
# is trained afterwards.
KILL_POINTS = {
    "retrainable": [("training-claimed", False), ("list-tokens-written", False),
                    ("training-state-stored", False), ("training-committed", True),
                    ("list-tokens-written", True), ("retired-lists-half-removed", True)],
    "once": [("training-claimed", False), ("list-tokens-written", False),
             ("training-state-stored", False), ("retired-lists-half-removed", True)],
}


@pytest.mark.parametrize("kind", list(CONFIGS))
def test_training_killed_at_any_point_leaves_a_whole_index(tmp_path, kind):
    folder = str(tmp_path / "db")
    run_child(folder, f"""
        index = client.create_index("crash", KEY, CONFIGS[{kind!r}]())
        vectors = clustered(N_ITEMS, DIM)
        index.upsert([{{"id": str(i), "vector": vectors[i], "metadata": {{"k": i}}}}
                      for i in range(N_ITEMS)])
    """)
    verify = f"""
        index = client.load_index("crash", KEY)
        check_whole(index, clustered(N_ITEMS, DIM), {{trained}}, {kind!r})
    """
    train = """
        index = client.load_index("crash", KEY)
        index.train(n_lists=16, max_iters=3)
    """
    plan = "retrainable" if kind in ("IVFFlat", "IVFSQ") else "once"
    for point, trained in KILL_POINTS[plan]:
        kill_at(folder, point, train)
        run_child(folder, verify.format(trained=trained))
    # A training after all of that completes (or refuses as for any trained
    # IVF or IVFPQ index).
    if plan == "retrainable":
        run_child(folder, textwrap.dedent(train) + "assert index.is_trained()\n")
    else:
        run_child(folder, """
            index = client.load_index("crash", KEY)
            try:
                index.train(n_lists=16, max_iters=3)
                raise AssertionError("retraining accepted")
            except RuntimeError as e:
                assert "can only be trained once" in str(e), e
        """)
    run_child(folder, verify.format(trained=True))
