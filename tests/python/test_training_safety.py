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

import json
import os
import select
import signal
import subprocess
import sys
import textwrap
import time

CHILD_PRELUDE = """
import json
import sys
import numpy as np
import nivoradb_core as nv
sys.path.insert(0, {tests!r})
from conftest import KEY, clustered
from test_training_safety import CONFIGS, DIM, N_ITEMS, check_whole, write_steps
client = nv.Client("test", *[nv.DBConfig(**d) for d in {db!r}])
"""


def rocksdb(folder):
    """DBConfig arguments of a RocksDB folder."""
    return {"location": "rocksdb", "connection_string": folder}


def child_code(db, body):
    """A child's script: `client` opened on the DBConfig arguments of its
    index, config and items locations (a folder: RocksDB there), then body."""
    if isinstance(db, str):
        db = [rocksdb(db)] * 3
    tests = os.path.dirname(os.path.abspath(__file__))
    return textwrap.dedent(CHILD_PRELUDE.format(tests=tests, db=db)) + textwrap.dedent(body)


def run_child(db, body):
    done = subprocess.run([sys.executable, "-c", child_code(db, body)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


def wait_for_line(stream, text, child, timeout=60):
    """Reads stream until a line holding text; fails after timeout or on exit."""
    deadline = time.monotonic() + timeout
    seen = b""
    while text.encode() not in seen:
        left = deadline - time.monotonic()
        assert left > 0, f"never saw {text!r}: {seen[-2000:]!r}"
        ready, _, _ = select.select([stream], [], [], left)
        chunk = os.read(stream.fileno(), 65536) if ready else b""
        assert chunk or child.poll() is None, f"exited before {text!r}: {seen[-2000:]!r}"
        seen += chunk
    return seen


def kill_at(folder, point, body, timeout=60):
    """Runs body in a child that holds at `point`; kills it there with SIGKILL."""
    code = child_code(folder, f"nv._core._testing.stop_at({point!r})\n" + textwrap.dedent(body))
    child = subprocess.Popen([sys.executable, "-c", code], stderr=subprocess.PIPE)
    try:
        wait_for_line(child.stderr, f"stopped at {point}", child, timeout)
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


# ---- writers during training -----------------------------------------------------
# The trainer is held after it has built its new lists and before it commits
# them (the point where the most can go wrong) until every writer has made
# half of its writes; the other half races the commit.

WRITERS = 3
STEPS = 12
BATCH = 5


def write_steps(index, w, report, halfway=lambda: None):
    """Writer w's STEPS steps in turn: an upsert of new items, an update of
    its own original items, a delete of others; report(ops) once each is
    acknowledged, halfway() after half of them. Ops are (kind, id, vector
    or None)."""
    rng = np.random.default_rng(1000 + w)
    for step in range(STEPS):
        if step == STEPS // 2:
            halfway()
        if step % 3 == 2:
            ids = [w * 1000 + 500 + step * BATCH + j for j in range(BATCH)]
            index.delete([str(i) for i in ids])
            report([("del", i, None) for i in ids])
            continue
        first = (N_ITEMS + w * 1000 if step % 3 == 0 else w * 1000) + step * BATCH
        ids = list(range(first, first + BATCH))
        vectors = (rng.standard_normal((BATCH, DIM)) * 3 + 20 * (w + 1)).astype(np.float32)
        index.upsert([{"id": str(i), "vector": v, "metadata": {"k": i}}
                      for i, v in zip(ids, vectors)])
        report([("put", i, v.tolist()) for i, v in zip(ids, vectors)])


def check_final(index, vectors, ops):
    """Every item in its last acknowledged state: found by get and by an
    exhaustive query at its own vector; deleted items nowhere."""
    state = {i: vectors[i] for i in range(len(vectors))}
    for kind, i, vector in ops:
        state[i] = np.asarray(vector, dtype=np.float32) if kind == "put" else None
    alive = sorted(i for i, v in state.items() if v is not None)
    gone = sorted(i for i, v in state.items() if v is None)
    assert gone, "the writers deleted nothing"
    assert sorted(int(i) for i in index.list_ids()) == alive
    got = index.get([str(i) for i in alive])
    assert [int(item["id"]) for item in got] == alive
    for item in got:
        assert np.array_equal(np.asarray(item["vector"], dtype=np.float32), state[int(item["id"])])
        assert item["metadata"] == {"k": int(item["id"])}
    assert index.get([str(i) for i in gone]) == []
    n_lists = index.index_config()["n_lists"]
    queries = np.stack([state[i] for i in alive]).astype(np.float32)
    found = index.query_numpy(queries, top_k=1, n_probes=n_lists, batch=True)
    assert np.array_equal(found[:, 0], np.asarray(alive))
    found = index.query_numpy(vectors[gone], top_k=1, n_probes=n_lists, batch=True)
    assert not set(found[:, 0].tolist()) & set(gone)


def fill_index(client, name):
    index = client.create_index(name, KEY, CONFIGS["IVFFlat"]())
    return index, fill(index)


@pytest.mark.parametrize("store", ["redis", "postgres"])
def test_writers_in_other_processes_during_training_lose_nothing(store, request, tmp_path):
    from conftest import unique_table
    server = request.getfixturevalue(f"{store}_server")
    db = [{"location": store, "connection_string": server.connection_string(),
           "table_name": unique_table()} for _ in range(3)]
    client = nv.Client("test", *[nv.DBConfig(**d) for d in db])
    name = unique_name()
    index, vectors = fill_index(client, name)
    release = str(tmp_path / "release")
    trainer = subprocess.Popen([sys.executable, "-c", child_code(db, f"""
        nv._core._testing.stop_at("training-state-stored", {release!r})
        client.load_index({name!r}, KEY).train(n_lists=16, max_iters=3)
    """)], stderr=subprocess.PIPE)
    writers, heads = [], []
    try:
        wait_for_line(trainer.stderr, "stopped at training-state-stored", trainer)
        for w in range(WRITERS):
            writers.append(subprocess.Popen([sys.executable, "-c", child_code(db, f"""
                index = client.load_index({name!r}, KEY)
                write_steps(index, {w}, lambda ops: print(json.dumps(ops), flush=True),
                            lambda: print("halfway", flush=True))
            """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE))
        heads = [wait_for_line(writer.stdout, "halfway", writer) for writer in writers]
        open(release, "w").close()
        tails = [writer.communicate(timeout=120) for writer in writers]
        _, trainer_err = trainer.communicate(timeout=120)
    finally:
        for child in [trainer] + writers:
            if child.poll() is None:
                child.kill()
    assert trainer.returncode == 0, trainer_err[-3000:]
    ops = []
    for writer, head, (tail, err) in zip(writers, heads, tails):
        assert writer.returncode == 0, err[-3000:]
        for line in (head + tail).decode().splitlines():
            if line != "halfway":
                ops.extend(json.loads(line))
    index = client.load_index(name, KEY)
    assert index.is_trained()
    check_final(index, vectors, ops)
    index.delete_index()


def test_writers_in_other_threads_during_training_lose_nothing(tmp_path):
    import threading
    folder = str(tmp_path / "db")
    name = unique_name()
    index, vectors = fill_index(make_client("rocksdb", folder), name)
    release, reached = str(tmp_path / "release"), str(tmp_path / "reached")
    errors, ops = [], []
    halfway = threading.Barrier(WRITERS + 1, timeout=60)

    def thread(target):
        def run():
            try:
                target()
            except BaseException as error:  # noqa: BLE001 - reported below
                errors.append(error)
        return threading.Thread(target=run)

    def writer(w):
        # Each writer has an index object of its own, as separate clients do.
        own = make_client("rocksdb", folder).load_index(name, KEY)
        write_steps(own, w, ops.extend, halfway.wait)

    trainer = thread(lambda: make_client("rocksdb", folder).load_index(name, KEY).train(
        n_lists=16, max_iters=3))
    writers = [thread(lambda w=w: writer(w)) for w in range(WRITERS)]
    nv._core._testing.stop_at("training-state-stored", release, reached)
    try:
        trainer.start()
        deadline = time.monotonic() + 60
        while not os.path.exists(reached):
            assert time.monotonic() < deadline and trainer.is_alive(), errors
            time.sleep(0.01)
        for t in writers:
            t.start()
        halfway.wait()
        open(release, "w").close()
        for t in writers + [trainer]:
            t.join(timeout=120)
    finally:
        nv._core._testing.stop_at("")
    assert not any(t.is_alive() for t in writers + [trainer])
    if errors:
        raise errors[0]
    index = make_client("rocksdb", folder).load_index(name, KEY)
    assert index.is_trained()
    check_final(index, vectors, ops)
