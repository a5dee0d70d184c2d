"""The README's Python snippets run as written, and its statements about
behaviour hold. The snippets: the RocksDB one in a fresh
HOME, the Redis and PostgreSQL ones against the servers of this test run
(only their addresses replaced), each followed by the Indexes snippet and
the Logging snippet, which work on whatever client came before."""
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import nivoradb_core as nv
from conftest import KEY, make_client, unique_name

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
REDIS_ADDRESS = "host:127.0.0.1,port:6379,db:0"
POSTGRES_DSN = "host=127.0.0.1 port=5432 user=postgres dbname=postgres"


def snippets():
    """The ```python blocks of the README, by the heading they stand under."""
    found, heading = {}, None
    for block in re.split(r"(?m)^(#+ .*)$", README.read_text()):
        if block.startswith("#"):
            heading = block.lstrip("# ").strip()
            continue
        for code in re.findall(r"```python\n(.*?)```", block, re.S):
            found.setdefault(heading, []).append(code)
    return found


def run(code, home):
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=dict(os.environ, HOME=str(home)), cwd=home, timeout=300)
    assert done.returncode == 0, done.stderr
    return done


def test_readme_has_one_snippet_per_backend():
    blocks = snippets()
    for heading in ("RocksDB (the embedded default)", "Redis", "PostgreSQL", "Indexes", "Logging"):
        assert heading in blocks
    assert REDIS_ADDRESS in blocks["Redis"][0]
    assert POSTGRES_DSN in blocks["PostgreSQL"][0]


@pytest.mark.parametrize("backend", ["rocksdb", "redis", "postgres"])
def test_readme_snippets_run(backend, tmp_path, request):
    blocks = snippets()
    if backend == "rocksdb":
        setup = blocks["RocksDB (the embedded default)"][0]
    elif backend == "redis":
        server = request.getfixturevalue("redis_server")
        setup = blocks["Redis"][0].replace(REDIS_ADDRESS, server.connection_string(db=5))
    else:
        server = request.getfixturevalue("postgres_server")
        setup = blocks["PostgreSQL"][0].replace(POSTGRES_DSN, server.connection_string())
    filters = "".join(f"index.query(np.ones(64, dtype=np.float32), filters={line})\n"
                      for line in blocks["Indexes"][1].splitlines() if line.strip())
    check = ("assert sorted(index.list_ids()) == ['b1', 'b3'], index.list_ids()\n"
             "index.delete_index()\n")
    run(setup + blocks["Indexes"][0] + filters + blocks["Logging"][0] + check, tmp_path)
    if backend == "rocksdb":
        assert (tmp_path / ".nivoradb" / "data" / "config").is_dir()
    assert "][INFO] " in (tmp_path / "nivora.log").read_text()  # the logger configured in Logging


# ---- statements of the README, each run --------------------------------------------
# Each check states a fragment of the README (it must be there, so a rewording
# that drops it fails here) and shows the behaviour it describes.

TEXT = " ".join(README.read_text().split())


def says(fragment):
    assert " ".join(fragment.split()) in TEXT, fragment


@pytest.fixture
def index():
    return make_client("threadsafememory").create_index(unique_name("readme"), KEY,
                                                        nv.IndexIVFFlat(4))


def test_there_is_no_update_metadata(index):
    assert "update_metadata" not in TEXT
    assert not hasattr(index, "update_metadata")


def test_ids_and_matrix_upsert_empties_contents_and_metadata(index):
    says("so an id upserted again that way keeps only its new vector: its contents and "
         "metadata become empty.")
    index.upsert([{"id": "a", "vector": [1.0] * 4, "contents": "text", "metadata": {"k": 1}}])
    index.upsert(["a"], np.full((1, 4), 2.0, dtype=np.float32))
    assert index.get(["a"]) == [{"id": "a", "vector": [2.0] * 4, "contents": b"",
                                 "metadata": {}}]


def test_get_gives_lists_and_bytes(index):
    says('`"vector"` as a list of floats, `"contents"` as `bytes` (also when it was '
         'upserted as `str`')
    index.upsert([{"id": "a", "vector": np.ones(4, dtype=np.float32), "contents": "héllo"}])
    item = index.get(["a"])[0]
    assert type(item["vector"]) is list and item["contents"] == "héllo".encode()


def test_type_names_of_filters(index):
    says('`$type` takes one of `"string"`, `"number"`, `"boolean"`, `"array"`, `"object"`; '
         'any other name is refused.')
    values = {"string": "x", "number": 1.5, "boolean": True, "array": [1], "object": {"a": 1}}
    index.upsert([{"id": name, "vector": [float(i)] * 4, "metadata": {"v": value}}
                  for i, (name, value) in enumerate(values.items())])
    for name in values:
        hits = index.query([0.0] * 4, filters={"v": {"$type": name}})
        assert [hit["id"] for hit in hits] == [name]
    with pytest.raises(ValueError, match="Unsupported type in \\$type operator"):
        index.query([0.0] * 4, filters={"v": {"$type": "integer"}})


def test_train_on_few_items_is_silent_at_the_default_level(python_run):
    says("At the default log level (ERROR) that WARNING is not shown: check "
         "`index.is_trained()` afterwards.")
    done = python_run("""
        import numpy as np
        import nivoradb_core as nv
        db = nv.DBConfig("memory")
        index = nv.Client("k", db, db, db).create_index("few", bytes(range(1, 33)), nv.IndexIVFFlat(4))
        index.upsert([str(i) for i in range(100)], np.ones((100, 4), dtype=np.float32))
        index.train()
        print("trained:", index.is_trained())
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "trained: False\n" and "WARNING" not in done.stderr


@pytest.mark.parametrize("store", ["threadsafememory", "rocksdb"])
def test_names_and_opening(store, tmp_path):
    says('refuse other names with `ValueError` ("Index name cannot be longer than 255 bytes.") '
         'on every store.')
    says("`load_index` of a name that no index has raises `RuntimeError` "
         "\"Index 'NAME' does not exist.\"")
    client = make_client(store, str(tmp_path / "db") if store == "rocksdb" else None)
    for call in (client.create_index, client.load_index):
        with pytest.raises(ValueError, match="^Index name cannot be longer than 255 bytes.$"):
            call("é" * 128, KEY)
    name = unique_name("readme")
    with pytest.raises(RuntimeError, match=f"^Index '{name}' does not exist.$"):
        client.load_index(name, KEY)
    client.create_index(name, KEY, nv.IndexIVFFlat(4))
    with pytest.raises(RuntimeError, match=f"^The index key does not open index '{name}'"):
        client.load_index(name, bytes(32 - i for i in range(32)))
    client.load_index(name, KEY).delete_index()


def test_working_dir_is_left_alone(tmp_path):
    says("`nivora.set_working_dir(path)` records a folder for the clients created after it; "
         "this build reads and writes nothing there")
    working = tmp_path / "working"
    working.mkdir()
    nv.set_working_dir(str(working))
    try:
        client = make_client("rocksdb", str(tmp_path / "db"))
        index = client.create_index(unique_name(), KEY, nv.IndexIVFFlat(4))
        index.upsert([{"id": "a", "vector": [1.0] * 4}])
        index.delete_index()
    finally:
        nv.set_working_dir("")
    assert list(working.iterdir()) == []


def test_text_in_through_the_embedding_model(embedding_module):
    says('items upserted with `"contents"` text and no `"vector"` are embedded with it, and '
         '`query(query_contents="text")` embeds the query.')
    index = make_client("memory").create_index(unique_name(), KEY, embedding_model="tiny")
    index.upsert([{"id": "a", "contents": "first"}, {"id": "b", "contents": "second"}])
    assert index.dimension == 8
    assert index.query(query_contents="second", top_k=1)[0]["id"] == "b"


def test_module_and_dbconfig_say_what_they_are():
    assert nv.__doc__.startswith("Encrypted vector-database client")
    assert "location (str)" in nv.DBConfig.__doc__


def test_ca_path_needs_a_rehashed_folder(redis_tls_server, tmp_path):
    says("folder of CA certificates prepared by `openssl rehash` (a plain folder of "
         "certificates fails with \"certificate verify failed\")")
    folder = tmp_path / "cas"
    folder.mkdir()
    (folder / "ca.pem").write_bytes(pathlib.Path(redis_tls_server.certs["ca"]).read_bytes())
    text = f"host:127.0.0.1,port:{redis_tls_server.port},db:0,ssl:true,ca_path:{folder}"
    db = nv.DBConfig("redis", table_name=unique_name("ca"), connection_string=text)
    with pytest.raises(RuntimeError, match="certificate verify failed"):
        nv.Client("test", db, db, db)
    subprocess.run(["openssl", "rehash", str(folder)], check=True, timeout=30)
    assert nv.Client("test", db, db, db).list_indexes() == []


def test_closed_connection_is_opened_again_before_the_next_operation(redis_server):
    says("checks whether the server has closed its connection (a restart, an idle timeout, a "
         "killed client) and if so connects again first: that operation succeeds.")
    db = nv.DBConfig("redis", table_name=unique_name("kill"),
                     connection_string=redis_server.connection_string(db=6))
    index = nv.Client("test", db, db, db).create_index(unique_name(), KEY, nv.IndexIVFFlat(4))
    index.upsert([{"id": "a", "vector": [1.0] * 4}])
    subprocess.run(["redis-cli", "-p", str(redis_server.port), "CLIENT", "KILL", "TYPE",
                    "normal"], check=True, capture_output=True, timeout=30)
    index.upsert([{"id": "b", "vector": [2.0] * 4}])
    assert sorted(index.list_ids()) == ["a", "b"]
    index.delete_index()


def test_rocksdb_folder_of_another_process(tmp_path):
    says("a second process fails with `RuntimeError` \"Failed to open RocksDB: another "
         "process (pid N) has the folder '...' open; a folder serves one process at a time\".")
    folder = str(tmp_path / "db")
    holder = subprocess.Popen(
        [sys.executable, "-c", f"import sys, nivoradb_core as nv\n"
         f"db = nv.DBConfig('rocksdb', connection_string={folder!r})\n"
         f"c = nv.Client('t', db, db, db)\nprint('ready', flush=True)\nsys.stdin.readline()\n"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "ready"
        db = nv.DBConfig("rocksdb", connection_string=folder)
        with pytest.raises(RuntimeError, match=re.escape(
                f"Failed to open RocksDB: another process (pid {holder.pid}) has the folder")):
            nv.Client("test", db, db, db)
    finally:
        holder.communicate("\n", timeout=60)
