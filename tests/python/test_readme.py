"""The README's Python snippets run as written: the RocksDB one in a fresh
HOME, the Redis and PostgreSQL ones against the servers of this test run
(only their addresses replaced), each followed by the Indexes snippet and
the Logging snippet, which work on whatever client came before."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

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
