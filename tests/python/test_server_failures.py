"""Bad connection strings, silent, stalled and restarted servers, untrusted
TLS and folders held by another process: each gives a clear exception within
a bounded time, and the client works again once the server does."""
import faulthandler
import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from conftest import KEY, unique_name, unique_table

nv = pytest.importorskip("nivoradb_core")

# A hang in the code under test must not hang the run: past this, the
# process dumps its threads and exits.
WATCHDOG_SECONDS = 120


@pytest.fixture(autouse=True)
def watchdog():
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def client_on(location, connection_string, table="t_failures", config_table=None):
    items = nv.DBConfig(location, table_name=table, connection_string=connection_string)
    config = nv.DBConfig(location, table_name=config_table or table + "_config",
                         connection_string=connection_string)
    return nv.Client("test", items, config, items)


def vectors(n, seed=0):
    return np.random.default_rng(seed).standard_normal((n, 4)).astype(np.float32)


def upsert(index, first, n=5):
    index.upsert([str(i) for i in range(first, first + n)], vectors(n, first))


def index_with_five(location, text):
    """A new index on the location, holding items "0".."4"."""
    index = client_on(location, text).create_index(unique_name(), KEY, nv.IndexIVFFlat(4))
    upsert(index, 0)
    return index


# ---- bad connection strings ------------------------------------------------------

FORM = "expected host:H,port:P,db:N[,ssl:true,...]"


@pytest.mark.parametrize("text, error, fragment", [
    ("redis://127.0.0.1:6379/0", ValueError, "a URL is not accepted; " + FORM),
    ("port:6379,db:0", ValueError, "missing host; " + FORM),
    ("host:127.0.0.1,port:abc,db:0", ValueError, "port must be a number from 1 to 65535, not 'abc'"),
    ("host:127.0.0.1,port:6379,db:x", ValueError, "db must be a whole number, not 'x'"),
    ("host:127.0.0.1,port6379,db:0", ValueError, "'port6379' is not a key:value pair"),
    ("host:127.0.0.1,port:{port},db:0,ssl:True ,ssl:yes", ValueError,
     "ssl must be true, false, 1 or 0, not 'yes'"),
    ("host:127.0.0.1,port:{port},db:0,ssl_verify:no", ValueError,
     "ssl_verify must be true, false, 1 or 0, not 'no'"),
    ("host:127.0.0.1,port:{port},db:0,timeout:-1", ValueError,
     "timeout must be a number of seconds from 1 to 86400, not '-1'"),
    ("host:127.0.0.1,port:{port},db:99", RuntimeError,
     "Failed to select Redis database (db=99): ERR DB index is out of range"),
    # A misspelt key or a TLS setting without ssl:true would otherwise connect
    # in plaintext to the (plain) server.
    ("host:127.0.0.1,port:{port},db:0,SSL:true", ValueError,
     "unknown key 'SSL' (known keys: host, port, db, ssl, ssl_verify, ca_cert, ca_path, cert, "
     "key, timeout); " + FORM),
    ("host:127.0.0.1,port:{port},db:0,ssl:true,sslverify:false", ValueError,
     "unknown key 'sslverify'"),
    ("host:127.0.0.1,port:{port},db:0,tls:true", ValueError, "unknown key 'tls'"),
    ("host:127.0.0.1,port:{port},db:0,ca_cert:/etc/ssl/ca.pem", ValueError,
     "ca_cert needs ssl:true; " + FORM),
    ("host:127.0.0.1,port:{port},db:0,ssl:false,ssl_verify:false", ValueError,
     "ssl_verify needs ssl:true"),
    ("host:127.0.0.1,port:{port},db:0,ssl:0,cert:/c.pem,key:/k.pem", ValueError,
     "cert needs ssl:true"),
])
def test_bad_redis_connection_strings(redis_server, text, error, fragment):
    with pytest.raises(error) as caught:
        client_on("redis", text.format(port=redis_server.port))
    assert fragment in str(caught.value)


def test_spaces_and_letter_case_are_accepted(redis_server):
    text = f" host : 127.0.0.1 , port : {redis_server.port} , db : 0 , ssl : FALSE "
    index = index_with_five("redis", text)
    assert index.get_num_vectors() == 5
    index.delete_index()


def test_ssl_true_in_another_case_means_tls(redis_server):
    # The plain server does not speak TLS: asking for it must not quietly
    # fall back to plaintext.
    with pytest.raises(RuntimeError, match="SSL configuration failed"):
        client_on("redis", redis_server.connection_string(ssl="True", ssl_verify="0", timeout=2))


def test_same_postgres_table_for_index_and_config_is_refused(postgres_server):
    table = unique_table()
    db = nv.DBConfig("postgres", table_name=table,
                     connection_string=postgres_server.connection_string())
    with pytest.raises(ValueError, match="index_location and config_location name the same "
                                         f"PostgreSQL table '{table}'"):
        nv.Client("test", db, db, db)


# ---- TLS ---------------------------------------------------------------------------

def test_tls_verifies_against_the_system_store_by_default(redis_tls_server):
    certs = redis_tls_server.certs
    base = f"host:127.0.0.1,port:{redis_tls_server.port},db:0,ssl:true"
    # The test CA is in no system store.
    for client in (lambda: client_on("redis", base),
                   lambda: client_on("redis", base + f",ca_cert:{certs['other_ca']}")):
        with pytest.raises(RuntimeError, match="certificate verify failed: self-signed "
                                               "certificate in certificate chain"):
            client()
    with pytest.raises(RuntimeError, match="certificate verify failed"):
        client_on("redis", base).list_indexes()
    for trusted in (base + f",ca_cert:{certs['ca']}", base + ",ssl_verify:false",
                    base + f",ssl_verify:0,ca_cert:{certs['other_ca']}"):
        index = index_with_five("redis", trusted)
        assert index.get_num_vectors() == 5
        index.delete_index()


@pytest.fixture(scope="module")
def redis_client_auth_server():
    """A TLS-only redis-server that requires a client certificate."""
    from servers import RedisServer
    server = RedisServer(tls=True, extra=["--tls-auth-clients", "yes"])
    yield server
    server.stop()


def test_tls_server_that_wants_a_client_certificate(redis_client_auth_server):
    server = redis_client_auth_server
    with pytest.raises(RuntimeError) as refused:
        client_on("redis", server.connection_string())
    assert "Redis server closed the TLS connection (" in str(refused.value)
    assert str(refused.value).endswith(
        "; it may require a client certificate: set `cert` and `key` in the connection string")
    certs = server.certs
    index = index_with_five("redis", server.connection_string(cert=certs["client"],
                                                              key=certs["client_key"]))
    assert index.get_num_vectors() == 5
    index.delete_index()


# ---- silent servers ------------------------------------------------------------------

@pytest.fixture
def silent_server():
    """A socket that accepts connections and never answers."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    accepted = []
    stop = threading.Event()

    def accept():
        listener.settimeout(0.1)
        while not stop.is_set():
            try:
                accepted.append(listener.accept()[0])
            except OSError:
                pass

    thread = threading.Thread(target=accept, daemon=True)
    thread.start()
    yield listener.getsockname()[1]
    stop.set()
    thread.join(timeout=5)
    for connection in accepted:
        connection.close()
    listener.close()


@pytest.mark.parametrize("location, text, fragment", [
    ("redis", "host:127.0.0.1,port:{port},db:0,timeout:1",
     "Failed to select Redis database (db=0): Redis server did not answer within 1 s"),
    ("redis", "host:127.0.0.1,port:{port},db:0,ssl:true",
     "did not complete the TLS handshake within 5000 ms"),
    ("postgres", "host=127.0.0.1 port={port} user=postgres connect_timeout=2", "timeout expired"),
])
def test_client_gives_up_on_a_silent_server(silent_server, location, text, fragment):
    start = time.monotonic()
    with pytest.raises(RuntimeError) as caught:
        client_on(location, text.format(port=silent_server))
    assert fragment in str(caught.value)
    assert time.monotonic() - start < 20


def test_postgres_connect_has_a_default_bound(silent_server):
    start = time.monotonic()
    with pytest.raises(RuntimeError, match="timeout expired"):
        client_on("postgres", f"host=127.0.0.1 port={silent_server} user=postgres")
    assert time.monotonic() - start < 20


# ---- stalled and restarted servers ------------------------------------------------

@pytest.fixture
def own_redis():
    from servers import RedisServer
    server = RedisServer(extra=["--appendonly", "yes"])
    yield server
    try:
        if server.proc is not None:
            resume(server.proc.pid)
    finally:
        server.stop()


@pytest.fixture
def own_postgres():
    from servers import PostgresServer
    server = PostgresServer()
    yield server
    try:
        if os.path.exists(os.path.join(server.data, "postmaster.pid")):
            for pid in backends(server):
                resume(pid)
    finally:
        server.stop()


def resume(pid):
    """SIGCONT to pid, which may have ended since it was listed."""
    try:
        os.kill(pid, signal.SIGCONT)
    except ProcessLookupError:
        pass


def backends(server):
    """The processes the postmaster started (client backends among them)."""
    children = f"/proc/{server.pid}/task/{server.pid}/children"
    with open(children) as f:
        return [int(pid) for pid in f.read().split()]


def error_lines(text):
    return [line for line in text.splitlines() if "ERROR" in line or "CRITICAL" in line]


def assert_reported_once(stderr, cause):
    """One failure, one line: the API's, naming the cause, and nothing else."""
    lines = error_lines(stderr)
    assert len(lines) == 1, lines
    assert lines[0].startswith("[ERROR] Exception in Upsert: ") and cause in lines[0], lines
    assert "" not in stderr.splitlines()


@pytest.mark.parametrize("location, server, option, stalled, error, cause, bound", [
    ("redis", "own_redis", {"timeout": 1}, lambda server: [server.proc.pid],
     "Redis server did not answer within 1 s", "did not answer within 1 s", 10),
    ("postgres", "own_postgres", {"connect_timeout": 2}, backends,
     "PostgreSQL server did not answer within 2 s", "did not answer within 2 s", 15),
], ids=["redis", "postgres"])
def test_stalled_server_times_out_and_recovers(request, capfd, location, server, option, stalled,
                                               error, cause, bound):
    server = request.getfixturevalue(server)
    index = index_with_five(location, server.connection_string(**option))
    capfd.readouterr()
    stopped = stalled(server)
    for pid in stopped:
        os.kill(pid, signal.SIGSTOP)
    try:
        start = time.monotonic()
        # The index methods raise every store failure as ValueError.
        with pytest.raises(ValueError, match=error):
            upsert(index, 5)
        assert time.monotonic() - start < bound
    finally:
        for pid in stopped:
            resume(pid)
    assert_reported_once(capfd.readouterr().err, cause)
    upsert(index, 5)
    assert index.get_num_vectors() == 10


def test_postgres_backends_terminated_are_reconnected(own_postgres, capfd):
    index = index_with_five("postgres", own_postgres.connection_string())
    capfd.readouterr()
    own_postgres.sql("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity "
                     "WHERE backend_type = 'client backend' AND pid <> pg_backend_pid()")
    upsert(index, 5)
    assert index.get_num_vectors() == 10
    assert error_lines(capfd.readouterr().err) == []


@pytest.mark.parametrize("location, server, refused", [
    ("redis", "own_redis", "Failed to connect to Redis: Connection refused"),
    ("postgres", "own_postgres", "Postgres connection error: connection to server at "),
])
def test_restarted_server_is_reconnected(request, capfd, location, server, refused):
    server = request.getfixturevalue(server)
    index = index_with_five(location, server.connection_string())
    port = server.port
    server.stop_process()
    capfd.readouterr()
    with pytest.raises(ValueError, match=refused):
        upsert(index, 5)
    assert_reported_once(capfd.readouterr().err, "Connection refused")
    server.start(port=port)
    upsert(index, 5)
    assert index.get_num_vectors() == 10
    assert sorted(item["id"] for item in index.get(["0", "9"])) == ["0", "9"]


# ---- RocksDB folders ------------------------------------------------------------------

def test_rocksdb_folder_held_by_another_process(tmp_path):
    folder = str(tmp_path / "db")
    holder = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(f"""
            import sys
            import nivoradb_core as nv
            db = nv.DBConfig("rocksdb", connection_string={folder!r})
            client = nv.Client("test", db, db, db)
            print("ready", flush=True)
            sys.stdin.readline()
        """)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "ready"
        db = nv.DBConfig("rocksdb", connection_string=folder)
        with pytest.raises(RuntimeError) as caught:
            nv.Client("test", db, db, db)
        assert (f"another process (pid {holder.pid}) has the folder '{folder}/"
                in str(caught.value))
    finally:
        holder.communicate("\n", timeout=60)
    nv.Client("test", db, db, db)  # free again
