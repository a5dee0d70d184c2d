"""examples/quickstart.py in a fresh home, and examples/redis.py (plain and
over TLS) and examples/postgres.py against the servers of this test run, run
as a user would run them; the server examples leave no index behind."""
import os
import pathlib
import subprocess
import sys

import pytest

import nivoradb_core as nv
from conftest import unique_table

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run_example(script, env, cwd=None, timeout=300):
    done = subprocess.run([sys.executable, str(EXAMPLES / script)], capture_output=True, text=True,
                          env=dict(os.environ, **env), cwd=cwd, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def test_quickstart_runs_in_a_fresh_home(tmp_path):
    lines = run_example("quickstart.py", {"HOME": str(tmp_path)}, cwd=tmp_path, timeout=600)
    assert lines[0].startswith("upserted 20000 items")
    assert lines[1].startswith("trained ")
    neighbours = [line for line in lines if "'category': 'books'" in line]
    assert len(neighbours) == 5 and neighbours[0].split()[0] == "item-40"
    assert lines[-1].startswith("deleted index quickstart-")
    assert (tmp_path / ".nivoradb" / "data").is_dir()


def check_output(lines, read_back):
    """The example found its own item first, saw the index from a second
    client and deleted it; returns the index name."""
    name = lines[0].split()[-1]
    assert lines[0] == f"upserted 1000 items into {name}"
    hits = lines[1:4]
    assert hits[0].split()[:3] == ["doc-10", "distance", "0.0000"]
    assert all("'lang': 'en'" in hit for hit in hits)
    assert all(int(hit.split("'year': ")[1].rstrip("}")) >= 2005 for hit in hits)
    assert lines[4] == "second client lists it: True"
    assert lines[5] == f"second client reads {read_back}"
    assert lines[6] == f"deleted index {name}"
    return name


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_redis_example(tls, request):
    server = request.getfixturevalue("redis_tls_server" if tls else "redis_server")
    table = unique_table("example")
    env = {"NIVORA_REDIS_HOST": "127.0.0.1", "NIVORA_REDIS_PORT": str(server.port),
           "NIVORA_REDIS_DB": "3", "NIVORA_REDIS_TABLE": table}
    if tls:
        env |= {"NIVORA_REDIS_TLS": "1", "NIVORA_REDIS_CA_CERT": server.certs["ca"]}
    lines = run_example("redis.py", env)
    name = check_output(lines, "{'id': 'doc-10', 'metadata': {'lang': 'en', 'year': 2010}}")
    location = nv.DBConfig("redis", table_name=table, connection_string=server.connection_string(db=3))
    assert name not in nv.Client("check", location, location, location).list_indexes()


def test_postgres_example(postgres_server):
    items, config = unique_table("items"), unique_table("config")
    lines = run_example("postgres.py", {"NIVORA_PG_DSN": postgres_server.connection_string(),
                                        "NIVORA_PG_ITEMS_TABLE": items,
                                        "NIVORA_PG_CONFIG_TABLE": config})
    check_output(lines, "{'id': 'doc-10', 'contents': b'document 10'}")
    # The tables exist and hold nothing of the deleted index.
    assert postgres_server.sql(f"SELECT count(*) FROM {config}").strip() == "0"
    assert postgres_server.sql(f"SELECT count(*) FROM {items}").strip() == "0"
