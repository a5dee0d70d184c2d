"""Index names and what each store can hold of them.

An index is known to its config store by two items, "<name>.nei" and
"<name>.nvs". PostgreSQL keeps their names in a VARCHAR(255) column and
passes them as C strings, so a name is refused there, before anything is
written, when with its 4-character ending it exceeds 255 characters or when
it holds a NUL character. Redis, RocksDB and the in-process stores keep
names as byte strings: every name create_index accepts is held exactly.
Every store takes names of 1 to 255 bytes; load_index says which index does
not exist, or that the key does not open it.
"""
import pytest

import nivoradb_core as nv
from conftest import KEY, unique_name, unique_table

LONGEST_ON_POSTGRES = 251


def _postgres(server, _tmp_path):
    table = unique_table("names")
    items = nv.DBConfig("postgres", table_name=table, connection_string=server.connection_string())
    config = nv.DBConfig("postgres", table_name=table + "_cfg",
                         connection_string=server.connection_string())
    # Every row of both tables: what an index left behind.
    rows = lambda: int(server.sql(
        f"SELECT (SELECT count(*) FROM {table}) + (SELECT count(*) FROM {table}_cfg)").strip())
    return nv.Client("test", items, config, items), rows


def _redis(server, _tmp_path):
    db = nv.DBConfig("redis", table_name=unique_name("names"),
                     connection_string=server.connection_string())
    return nv.Client("test", db, db, db), None


def _rocksdb(_server, tmp_path):
    db = nv.DBConfig("rocksdb", connection_string=str(tmp_path / "db"))
    return nv.Client("test", db, db, db), None


def _in_process(_server, _tmp_path):
    db = nv.DBConfig("threadsafememory")
    return nv.Client("test", db, db, db), None


STORES = {
    "postgres": ("postgres_server", _postgres),
    "redis": ("redis_server", _redis),
    "rocksdb": (None, _rocksdb),
    "threadsafememory": (None, _in_process),
}


@pytest.fixture
def client_of(request, tmp_path):
    """store -> (a client of it, a count of its stored rows where one is known)"""
    def make(store):
        fixture, factory = STORES[store]
        server = request.getfixturevalue(fixture) if fixture else None
        return factory(server, tmp_path)
    return make


def _tag():
    """A unique stem, so in-process stores shared by the tests never meet."""
    return unique_name("n")[-12:]


@pytest.mark.parametrize("store,names", [
    ("postgres", lambda t: [t + "x" * (LONGEST_ON_POSTGRES - len(t))]),
    # 254 bytes, 131 characters: with the ending 258 bytes but 135 characters.
    ("postgres", lambda t: [t[:8] + "é" * 123]),
    ("redis", lambda t: [t + "\x00a", t + "\x00b"]),
    ("redis", lambda t: [t + "x" * (255 - len(t))]),
    ("rocksdb", lambda t: [t + "\x00a", t + "\x00b"]),
    ("rocksdb", lambda t: [t + "x" * (255 - len(t))]),
    ("threadsafememory", lambda t: [t + "\x00a", t + "\x00b"]),
    ("threadsafememory", lambda t: [t + "é" * 100]),
], ids=["postgres-251-characters", "postgres-multibyte", "redis-nul", "redis-255-bytes",
        "rocksdb-nul", "rocksdb-255-bytes", "in-process-nul", "in-process-multibyte"])
def test_names_a_store_can_hold_keep_their_indexes_apart(client_of, store, names):
    names = names(_tag())
    client, _ = client_of(store)
    for i, name in enumerate(names):
        index = client.create_index(name, KEY, nv.IndexIVFFlat(2))
        index.upsert([{"id": f"item-{i}", "vector": [float(i), 1.0], "metadata": {"i": i}}])
    assert set(names) <= set(client.list_indexes())
    for i, name in enumerate(names):
        loaded = client.load_index(name, KEY)
        assert loaded.list_ids() == [f"item-{i}"]
        assert loaded.get([f"item-{i}"])[0]["metadata"] == {"i": i}
        loaded.delete_index()


@pytest.mark.parametrize("name,message", [
    (lambda t: t + "x" * (LONGEST_ON_POSTGRES + 1 - len(t)),
     "Index name cannot be longer than 251 characters in PostgreSQL."),
    # 252 characters in 255 bytes: within the length every store takes.
    (lambda t: t + "x" * (LONGEST_ON_POSTGRES - 2 - len(t)) + "é" * 3,
     "Index name cannot be longer than 251 characters in PostgreSQL."),
    (lambda t: t + "\x00a", "Index name cannot contain a NUL character in PostgreSQL."),
    (lambda t: "\x00" + t, "Index name cannot contain a NUL character in PostgreSQL."),
], ids=["252-characters", "252-characters-in-255-bytes", "nul-inside", "nul-first"])
def test_names_postgres_cannot_hold_are_refused_before_anything_is_written(client_of, name,
                                                                          message):
    name = name(_tag())
    client, stored_rows = client_of("postgres")
    with pytest.raises(ValueError) as refused:
        client.create_index(name, KEY, nv.IndexIVFFlat(2))
    assert str(refused.value) == message
    assert stored_rows() == 0
    assert client.list_indexes() == []
    with pytest.raises(ValueError):
        client.load_index(name, KEY)



ALL_STORES = ["postgres", "redis", "rocksdb", "threadsafememory"]


@pytest.mark.parametrize("store", ALL_STORES)
@pytest.mark.parametrize("name", [
    lambda t: t + "x" * (256 - len(t)),
    # 132 characters in 256 bytes: the limit counts bytes.
    lambda t: t[:8] + "é" * 124,
], ids=["256-ascii", "256-bytes-in-132-characters"])
def test_names_over_255_bytes_are_refused_by_create_and_load(client_of, store, name):
    name = name(_tag())
    assert len(name.encode()) == 256
    client, _ = client_of(store)
    for call in (client.create_index, client.load_index):
        with pytest.raises(ValueError) as refused:
            call(name, KEY)
        assert str(refused.value) == "Index name cannot be longer than 255 bytes."
    assert name not in client.list_indexes()


@pytest.mark.parametrize("store", ALL_STORES)
def test_load_names_a_missing_index_and_a_key_that_does_not_open_it(client_of, store):
    client, _ = client_of(store)
    missing = _tag() + "-missing"
    with pytest.raises(RuntimeError) as raised:
        client.load_index(missing, KEY)
    assert str(raised.value) == f"Index '{missing}' does not exist."
    name = _tag() + "-kept"
    client.create_index(name, KEY, nv.IndexIVFFlat(2)).upsert([{"id": "a", "vector": [1.0, 2.0]}])
    with pytest.raises(RuntimeError) as raised:
        client.load_index(name, bytes(reversed(KEY)))
    assert str(raised.value) == (f"The index key does not open index '{name}': its stored "
                                 "configuration does not decrypt with it.")
    loaded = client.load_index(name, KEY)
    assert loaded.list_ids() == ["a"]
    loaded.delete_index()
