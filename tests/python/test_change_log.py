"""Several processes on one index at full pace: a training beside a writer
that never pauses, a deletion beside a writer, and an index whose name is
what the storage of another index's lists was once derived from."""
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, make_client, unique_name, unique_table
from test_training_safety import CONFIGS, DIM, child_code, fill, fill_index, wait_for_line

# A writer that upserts one new item per call until `stop` exists, printing
# every id once it is acknowledged (and "ready" after the first).
WRITER = """
import os
index = client.load_index({name!r}, KEY)
rng = np.random.default_rng(7)
i = 0
while not os.path.exists({stop!r}):
    item = str(1_000_000 + i)
    try:
        index.upsert([{{"id": item, "vector": rng.standard_normal(DIM).astype(np.float32)}}])
    except Exception as e:
        print("failed", type(e).__name__, e, flush=True)
        if {stop_on_failure!r}:
            break
        continue
    print(item, flush=True)
    if i == 0:
        print("ready", flush=True)
    i += 1
"""


def store_config(store, request):
    """DBConfig arguments of the index, config and items locations (a table
    each), and the server."""
    server = request.getfixturevalue(f"{store}_server")
    return [{"location": store, "connection_string": server.connection_string(),
             "table_name": unique_table()} for _ in range(3)], server


def rows_left(server, db):
    """Rows in every table the locations made (a location may add tables)."""
    total = 0
    for d in db:
        tables = server.sql("SELECT tablename FROM pg_tables WHERE tablename LIKE "
                            f"'{d['table_name']}%'").split()
        total += sum(int(server.sql(f"SELECT count(*) FROM {t}")) for t in tables)
    return total


def start_writer(db, name, stop, stop_on_failure=False):
    return subprocess.Popen([sys.executable, "-c", child_code(db, WRITER.format(
        name=name, stop=stop, stop_on_failure=stop_on_failure))],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def finish(writer, stop, head):
    open(stop, "w").close()
    tail, err = writer.communicate(timeout=60)
    lines = (head + tail).decode().splitlines()
    return [line for line in lines if line.isdigit()], [l for l in lines if l.startswith("failed")], err


@pytest.mark.parametrize("store", ["redis", "postgres"])
def test_training_beside_a_writer_at_full_pace_completes_and_loses_nothing(
        store, request, tmp_path):
    db, _ = store_config(store, request)
    client = nv.Client("test", *[nv.DBConfig(**d) for d in db])
    name = unique_name()
    index, _ = fill_index(client, name)
    stop = str(tmp_path / "stop")
    writer = start_writer(db, name, stop)
    try:
        head = wait_for_line(writer.stdout, "ready", writer)
        index.train(n_lists=16, max_iters=3)
        time.sleep(0.2)  # writes on the new lists too
        acknowledged, failures, err = finish(writer, stop, head)
    finally:
        if writer.poll() is None:
            writer.kill()
    assert not failures, failures[:3]
    assert writer.returncode == 0, err[-3000:]
    index = client.load_index(name, KEY)
    assert index.is_trained()
    got = {item["id"] for item in index.get(acknowledged, include=["metadata"])}
    assert got == set(acknowledged)
    index.delete_index()


def test_writes_after_a_deletion_fail_and_leave_no_row(request, tmp_path):
    db, server = store_config("postgres", request)
    client = nv.Client("test", *[nv.DBConfig(**d) for d in db])
    name = unique_name()
    index = client.create_index(name, KEY, CONFIGS["IVFFlat"]())
    fill(index, n=50)
    stop = str(tmp_path / "stop")
    writer = start_writer(db, name, stop, stop_on_failure=True)
    try:
        head = wait_for_line(writer.stdout, "ready", writer)
        index.delete_index()
        deleted_at = len([l for l in head.decode().splitlines() if l.isdigit()])
        # The writer stops at its first failure.
        tail, err = writer.communicate(timeout=60)
    finally:
        if writer.poll() is None:
            writer.kill()
    lines = (head + tail).decode().splitlines()
    assert any(line.startswith("failed") for line in lines), err[-2000:]
    assert deleted_at >= 1
    assert rows_left(server, db) == 0
    with pytest.raises(Exception):
        client.load_index(name, KEY)


@pytest.mark.parametrize("kind", ["threadsafememory", "rocksdb"])
def test_training_leaves_an_index_named_like_its_lists_alone(tmp_path, kind):
    client = make_client(kind, str(tmp_path / "db") if kind == "rocksdb" else None)
    name = unique_name()
    index, _ = fill_index(client, name)
    neighbour = client.create_index(f"{name}.lists.1", KEY, CONFIGS["IVFFlat"]())
    vectors = np.eye(DIM, dtype=np.float32)[:5]
    neighbour.upsert([{"id": f"n{i}", "vector": v} for i, v in enumerate(vectors)])
    index.train(n_lists=16, max_iters=3)
    index.train(n_lists=16, max_iters=3)  # and again: the first lists go
    assert sorted(neighbour.list_ids()) == [f"n{i}" for i in range(5)]
    assert len(neighbour.get([f"n{i}" for i in range(5)])) == 5
    assert neighbour.query(vectors[0], top_k=1)[0]["id"] == "n0"
    neighbour.delete_index()
    index.delete_index()
