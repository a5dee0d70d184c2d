"""Several clients on one index, in several processes (Redis, PostgreSQL) and
in one process over two spellings of one RocksDB folder: every operation sees
what the others completed before it started."""
import json
import os
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, clustered, unique_name, unique_table

TIMEOUT = 180  # seconds any child process may take


@pytest.fixture(params=["redis", "postgres"])
def store(request):
    """(location, table_name, connection_string) of a fresh table on a real server."""
    if request.param == "redis":
        server = request.getfixturevalue("redis_server")
    else:
        server = request.getfixturevalue("postgres_server")
    return request.param, unique_table(), server.connection_string()


def configs(location, table, connection):
    """Index, config and items locations: one table each (PostgreSQL keys
    config items by name, items by number)."""
    return [nv.DBConfig(location, table_name=f"{table}_{kind}", connection_string=connection)
            for kind in ("index", "config", "items")]


def client_of(store):
    return nv.Client("test", *configs(*store))


# A child process: opens the index of `store`, waits for the go file (when
# given), then runs `body` with `index`, `np` and the parameters in `args`.
CHILD = """
import json, os, sys, time
import numpy as np
import nivoradb_core as nv
args = json.loads(sys.argv[1])
location, table, connection = args["store"]
dbs = [nv.DBConfig(location, table_name=f"{table}_{kind}", connection_string=connection)
       for kind in ("index", "config", "items")]
index = nv.Client("test", *dbs).load_index(args["name"], bytes(range(1, 33)))
deadline = time.monotonic() + 60
while args.get("go") and not os.path.exists(args["go"]):
    assert time.monotonic() < deadline, "no go signal"
    time.sleep(0.01)
"""


def start_children(bodies, store, name, go=None):
    """One process per body, all started before any is released by `go`."""
    procs = []
    for body, args in bodies:
        payload = json.dumps(dict(args, store=list(store), name=name, go=go))
        procs.append(subprocess.Popen(
            [sys.executable, "-c", CHILD + textwrap.dedent(body), payload],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
    return procs


def finish(procs):
    for proc in procs:
        out, err = proc.communicate(timeout=TIMEOUT)
        assert proc.returncode == 0, err[-3000:]


def run_children(bodies, store, name, tmp_path):
    go = str(tmp_path / f"go-{time.monotonic_ns()}")
    procs = start_children(bodies, store, name, go)
    open(go, "w").close()
    finish(procs)


def vector_of(label, d=8):
    """A vector of its own for each label, far from every other."""
    rng = np.random.default_rng(abs(hash(label)) % 2**32)
    return (rng.standard_normal(d) * 10).astype(np.float32)


WRITER = """
k = args["k"]
for j in args["update"]:
    index.upsert([{"id": f"old{j}", "vector": args["vectors"][f"old{j}"], "metadata": {"by": k}}])
index.delete([f"old{j}" for j in args["delete"]])
new = [f"w{k}-{j}" for j in range(20)]
index.upsert([{"id": i, "vector": args["vectors"][i], "metadata": {"by": k}} for i in new])
"""


def test_a_reader_holding_the_index_sees_exactly_what_writers_left(store, tmp_path):
    name = unique_name("shared")
    index = client_of(store).create_index(name, KEY, nv.IndexIVFFlat(8))
    live = {f"old{j}": (vector_of(f"old{j}"), {"by": -1}) for j in range(60)}
    index.upsert([{"id": i, "vector": v, "metadata": m} for i, (v, m) in live.items()])
    # The reader has read everything once: its caches are full.
    assert sorted(index.list_ids()) == sorted(live)
    assert index.query(live["old0"][0], top_k=1)[0]["id"] == "old0"

    bodies, vectors = [], {}
    for k in range(3):
        update, delete = range(20 * k, 20 * k + 10), range(20 * k + 10, 20 * k + 15)
        for j in update:
            vectors[f"old{j}"] = vector_of(f"moved{j}")
            live[f"old{j}"] = (vectors[f"old{j}"], {"by": k})
        for j in delete:
            del live[f"old{j}"]
        for j in range(20):
            vectors[f"w{k}-{j}"] = vector_of(f"w{k}-{j}")
            live[f"w{k}-{j}"] = (vectors[f"w{k}-{j}"], {"by": k})
        bodies.append((WRITER, {"k": k, "update": list(update), "delete": list(delete)}))
    for body, args in bodies:
        args["vectors"] = {i: v.tolist() for i, v in vectors.items()}
    run_children(bodies, store, name, tmp_path)

    fresh = client_of(store).load_index(name, KEY)
    for reader in (index, fresh):
        assert sorted(reader.list_ids()) == sorted(live)
        got = {g["id"]: g for g in reader.get(sorted(live) + ["old14", "old13"])}
        assert sorted(got) == sorted(live)
        for i, (vector, metadata) in live.items():
            assert np.allclose(got[i]["vector"], vector) and got[i]["metadata"] == metadata, i
        found = reader.query(np.stack([v for v, _ in live.values()]), top_k=1)
        assert [r[0]["id"] for r in found] == list(live)
        assert reader.get_num_vectors() >= len(live)
    index.delete_index()


SUMMARY_WRITER = """
k = args["k"]
rng = np.random.default_rng(k)
for j in range(args["n"]):
    index.upsert([{"id": f"p{k}-{j}", "vector": rng.standard_normal(16).astype(np.float32) * 4,
                   "metadata": {"tag": f"p{k}", "n": j}}])
"""


def test_b_concurrent_metadata_writers_lose_no_summary(store, tmp_path):
    name = unique_name("summaries")
    index = client_of(store).create_index(name, KEY, nv.IndexIVFFlat(16))
    index.upsert(np.arange(10_000), clustered(10_000, 16, seed=5))
    index.train(n_lists=16)
    writers, per_writer = 4, 15
    run_children([(SUMMARY_WRITER, {"k": k, "n": per_writer}) for k in range(writers)],
                 store, name, tmp_path)
    # The process that trained writes last, onto summaries it read before.
    index.upsert([{"id": "late", "vector": np.full(16, 3, np.float32), "metadata": {"tag": "late"}}])

    fresh = client_of(store).load_index(name, KEY)
    for reader in (index, fresh):
        for k in range(writers):
            found = reader.query(np.zeros(16, np.float32), top_k=100,
                                 filters={"tag": f"p{k}"}, n_probes=16)
            assert sorted(r["id"] for r in found) == sorted(f"p{k}-{j}" for j in range(per_writer))
            ranged = reader.query(np.zeros(16, np.float32), top_k=100, n_probes=16,
                                  filters={"$and": [{"tag": f"p{k}"}, {"n": {"$gte": per_writer - 3}}]})
            assert len(ranged) == 3
        assert [r["id"] for r in reader.query(np.zeros(16, np.float32), top_k=5,
                                              filters={"tag": "late"})] == ["late"]
    index.delete_index()


def self_found(index, vectors, ids):
    """How many of ids a query at their own vector finds with one probe."""
    found = index.query(vectors, top_k=1, n_probes=1)
    return sum(r and r[0]["id"] == i for r, i in zip(found, ids))


RETRAIN = """
index.train(n_lists=args["n_lists"])
"""


def test_c_retraining_elsewhere_reaches_an_open_index(store, tmp_path):
    name = unique_name("retrain")
    index = client_of(store).create_index(name, KEY, nv.IndexIVFFlat(16))
    vectors = clustered(10_000, 16, clusters=64, seed=9)
    index.upsert(np.arange(10_000), vectors)
    index.train(n_lists=8)
    probe = np.arange(0, 10_000, 50)
    assert self_found(index, vectors[probe], [str(i) for i in probe]) == len(probe)

    run_children([(RETRAIN, {"n_lists": 64})], store, name, tmp_path)
    # The open index answers with the new centroids: one probe of 64 lists
    # under the old 8 centroids would miss most items.
    assert self_found(index, vectors[probe], [str(i) for i in probe]) == len(probe)
    assert index.n_lists == 64
    # Its upserts go into lists of the new centroids, as a fresh client sees.
    extra = clustered(50, 16, clusters=64, seed=10)
    index.upsert([f"x{i}" for i in range(50)], extra)
    fresh = client_of(store).load_index(name, KEY)
    assert self_found(fresh, extra, [f"x{i}" for i in range(50)]) == 50
    index.delete_index()


def test_two_spellings_of_one_rocksdb_folder_are_one_store(tmp_path):
    folder = str(tmp_path / "d")
    clients = [nv.Client("test", *[nv.DBConfig("rocksdb", connection_string=f)] * 3)
               for f in (folder, folder + "/")]
    name = unique_name("spelled")
    a = clients[0].create_index(name, KEY, nv.IndexIVFFlat(16))
    vectors = clustered(10_000, 16, clusters=64, seed=4)
    a.upsert(np.arange(10_000), vectors)
    a.train(n_lists=8)
    b = clients[1].load_index(name, KEY)
    assert b.query(vectors[0], top_k=1)[0]["id"] == "0"
    # Summaries written through both spellings all reach the filter.
    for k in range(40):
        (a, b)[k % 2].upsert([{"id": f"m{k}", "vector": vectors[k] + 0.01,
                               "metadata": {"tag": f"t{k}"}}])
    for k in range(40):
        assert f"m{k}" in [r["id"] for r in a.query(vectors[k], top_k=5, n_probes=8,
                                                     filters={"tag": f"t{k}"})]
    # A retraining through one spelling reaches the other.
    a.train(n_lists=64)
    probe = np.arange(0, 10_000, 100)
    assert self_found(b, vectors[probe], [str(i) for i in probe]) == len(probe)
    b.delete(["5"])
    assert "5" not in a.list_ids() and a.get(["5"]) == []
    a.delete_index()


def key_of(k):
    """An index key of its own for each k."""
    return bytes((i + 7 * k) % 256 for i in range(1, 33))


def create_in_rounds(store, names, k, barrier, results):
    """A creating process: per name, waits for every creator, then creates
    the name under its own key and upserts one item of its own. Any other
    failure is reported as (None, k, text) and releases the others."""
    try:
        client = client_of(store)
        for name in names:
            barrier.wait(timeout=60)
            try:
                index = client.create_index(name, key_of(k), nv.IndexIVFFlat(8))
            except Exception as error:  # noqa: BLE001 - the parent judges the text
                results.put((name, k, str(error)))
                continue
            index.upsert([{"id": "mine", "vector": np.full(8, k, np.float32)}])
            results.put((name, k, "created"))
    except BaseException as error:  # noqa: BLE001 - reported to the parent
        barrier.abort()
        results.put((None, k, repr(error)))


def test_d_one_of_several_processes_creating_a_name_wins(store):
    import multiprocessing
    import queue
    creators, names = 4, [unique_name("race") for _ in range(3)]
    client = client_of(store)  # the tables exist before the creators start
    context = multiprocessing.get_context("spawn")
    barrier, results = context.Barrier(creators), context.Queue()
    procs = [context.Process(target=create_in_rounds, args=(store, names, k, barrier, results))
             for k in range(creators)]
    for proc in procs:
        proc.start()
    outcomes = {}
    try:
        for _ in range(creators * len(names)):
            name, k, outcome = results.get(timeout=TIMEOUT)
            assert name is not None, f"creator {k} failed: {outcome}"
            outcomes.setdefault(name, {})[k] = outcome
    except queue.Empty:
        pytest.fail(f"creators gave no answer in time: {outcomes}")
    finally:
        for proc in procs:
            proc.join(timeout=TIMEOUT)
            if proc.is_alive():
                proc.kill()
    assert [proc.exitcode for proc in procs] == [0] * creators

    for name in names:
        winners = [k for k, outcome in outcomes[name].items() if outcome == "created"]
        assert len(winners) == 1, outcomes[name]
        assert sorted(outcome for outcome in outcomes[name].values() if outcome != "created") == \
            [f"Index name {name} already exists"] * (creators - 1)
        # What the winner wrote is the index stored under the name.
        index = client.load_index(name, key_of(winners[0]))
        assert index.list_ids() == ["mine"]
        assert np.array_equal(index.get(["mine"])[0]["vector"], np.full(8, winners[0]))
        index.delete_index()


STALE = "Index {} was deleted or replaced by another client; load it again."

# Every operation of an index object, with arguments that work on a live index.
OPERATIONS = [
    pytest.param(lambda i: i.list_ids(), id="list_ids"),
    pytest.param(lambda i: i.query(vector_of("a"), top_k=1), id="query"),
    pytest.param(lambda i: i.upsert([{"id": "z", "vector": vector_of("z")}]), id="upsert"),
    pytest.param(lambda i: i.get(["a"]), id="get"),
    pytest.param(lambda i: i.delete(["a"]), id="delete"),
    pytest.param(lambda i: i.get_num_vectors(), id="get_num_vectors"),
    pytest.param(lambda i: i.train(n_lists=2), id="train"),
    pytest.param(lambda i: i.delete_index(), id="delete_index"),
]


@pytest.fixture
def stale(store):
    """(index object, name, index now stored under the name or None): the
    name was deleted through another client, and (when replaced) created
    again under another key with items of its own."""
    def make(replaced):
        name = unique_name("stale")
        index = client_of(store).create_index(name, KEY, nv.IndexIVFFlat(8))
        index.upsert([{"id": i, "vector": vector_of(i)} for i in "abcd"])
        assert index.get_num_vectors() == 4  # the object has read the index
        client_of(store).load_index(name, KEY).delete_index()
        successor = None
        if replaced:
            successor = client_of(store).create_index(name, key_of(5), nv.IndexIVFFlat(8))
            successor.upsert([{"id": i, "vector": vector_of(i)} for i in "abxy"])
        made.append(successor)
        return index, name, successor

    made = []
    yield make
    for successor in made:
        if successor is not None:
            successor.delete_index()


@pytest.mark.parametrize("replaced", [True, False], ids=["replaced", "deleted"])
@pytest.mark.parametrize("operation", OPERATIONS)
def test_e_a_stale_index_object_says_so(stale, replaced, operation):
    index, name, successor = stale(replaced)
    # The exception class is each method's own (ValueError for the reads
    # and upsert, RuntimeError for the others); the text is the one message.
    with pytest.raises((RuntimeError, ValueError)) as error:
        operation(index)
    assert str(error.value) == STALE.format(name)
    if successor is not None:
        # The other client's index is untouched.
        assert sorted(successor.list_ids()) == list("abxy")
        assert successor.get_num_vectors() == 4
