import threading

import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, clustered, make_client, unique_name


def run_threads(targets):
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads)
    if errors:
        raise errors[0]


def test_python_runs_while_training():
    index = make_client("threadsafememory").create_index(unique_name(), KEY, nv.IndexIVFFlat(32))
    vectors = clustered(10_000, 32, seed=3)
    index.upsert(np.arange(10_000), vectors)
    started = threading.Event()

    def train():
        started.set()
        index.train(n_lists=64, max_iters=50)

    trainer = threading.Thread(target=train)
    trainer.start()
    started.wait()
    ticks = 0
    while trainer.is_alive():
        ticks += 1
    trainer.join()
    assert index.is_trained()
    # Training holds no GIL: this thread kept running all along.
    assert ticks > 10_000
    index.delete_index()


def test_four_threads_on_one_index_match_serial(trained):
    index, vectors = trained
    rng = np.random.default_rng(11)
    batches = [(vectors[rng.integers(0, len(vectors), 64)]
                + 0.1 * rng.standard_normal((64, 16)).astype(np.float32)).astype(np.float32)
               for _ in range(4)]
    serial = [(index.query_numpy(b, top_k=10, n_probes=4, batch=True),
               index.query(b[:8], top_k=5, n_probes=4, filters={"group": 2}),
               index.get([str(i) for i in range(t, 200, 7)])) for t, b in enumerate(batches)]
    parallel = [None] * 4

    def worker(t):
        def run():
            for _ in range(3):
                parallel[t] = (index.query_numpy(batches[t], top_k=10, n_probes=4, batch=True),
                               index.query(batches[t][:8], top_k=5, n_probes=4,
                                           filters={"group": 2}),
                               index.get([str(i) for i in range(t, 200, 7)]))
                assert index.index_config()["n_lists"] == 32 and index.dimension == 16
        return run

    run_threads([worker(t) for t in range(4)])
    for (ids, dicts, items), (p_ids, p_dicts, p_items) in zip(serial, parallel):
        assert np.array_equal(ids, p_ids)
        assert dicts == p_dicts and items == p_items


@pytest.mark.parametrize("location", ["memory", "threadsafememory"])
def test_two_indexes_of_one_client_match_serial(location):
    client = make_client(location)
    data = [clustered(2_000, 8, seed=s) for s in (1, 2)]
    queries = [d[:50] + 0.05 for d in data]

    def build_and_query(index, vectors, q):
        for start in range(0, len(vectors), 250):
            index.upsert(np.arange(start, start + 250), vectors[start:start + 250])
        return index.query_numpy(q, top_k=10, batch=True), sorted(index.list_ids())

    serial = [build_and_query(client.create_index(unique_name(), KEY, nv.IndexIVFFlat(8)), d, q)
              for d, q in zip(data, queries)]
    indexes = [client.create_index(unique_name(), KEY, nv.IndexIVFFlat(8)) for _ in data]
    parallel = [None, None]

    def worker(k):
        def run():
            parallel[k] = build_and_query(indexes[k], data[k], queries[k])
        return run

    run_threads([worker(0), worker(1)])
    for (ids, listed), (p_ids, p_listed) in zip(serial, parallel):
        assert np.array_equal(ids, p_ids) and listed == p_listed


def test_exit_with_live_objects(python_run, tmp_path):
    done = python_run(f"""
        import threading
        import numpy as np
        import nivoradb_core as nv
        key = bytes(range(1, 33))
        clients = []
        for location, path in (("memory", None), ("rocksdb", {str(tmp_path / "db")!r})):
            db = nv.DBConfig(location, connection_string=path)
            client = nv.Client("k", db, db, db)
            index = client.create_index("live-" + location, key, nv.IndexIVFFlat(4))
            index.upsert(["a", "b"], np.eye(2, 4, dtype=np.float32))
            clients.append((client, index))
        orphan = clients[0][0].create_index("orphan", key)
        del clients[0]
        # a thread still querying while the interpreter exits
        index = clients[0][1]
        threading.Thread(target=lambda: [index.query([1, 0, 0, 0]) for _ in range(1000)],
                         daemon=True).start()
        print("bye")
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "bye"
