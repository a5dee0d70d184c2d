"""Bad arguments of every kind give an exception that says what is wrong,
never a crash."""
import pytest

# Each case runs in a fresh interpreter so that a crash fails its row
# instead of ending the test run. The snippet sees nv, KEY and a client c
# (in-process stores) and must raise.
CRASH_CASES = [
    pytest.param("c.load_index(None, KEY)", id="load-none-name"),
    pytest.param("c.create_index(5, KEY)", id="create-int-name"),
    pytest.param("c.create_index('bi\\udcff', KEY)", id="create-name-not-utf8"),
    pytest.param("c.load_index('bi\\udcff', KEY)", id="load-name-not-utf8"),
    pytest.param("c.create_index('n', KEY, 5)", id="config-int"),
    pytest.param("c.create_index('n', KEY, 'ivfflat')", id="config-str"),
    pytest.param("c.create_index('n', KEY, nv.DBConfig('memory'))", id="config-other-class"),
]

CRASH_SNIPPET = """
import nivoradb_core as nv
KEY = bytes(range(1, 33))
db = nv.DBConfig("memory")
c = nv.Client("test", db, db, db)
try:
    {call}
except TypeError as e:
    print("TypeError:", str(e).splitlines()[0])
    print("indexes:", c.list_indexes())
"""


@pytest.mark.parametrize("call", CRASH_CASES)
def test_wrong_argument_types_raise_type_error(python_run, call):
    done = python_run(CRASH_SNIPPET.format(call=call))
    assert done.returncode == 0, done.stderr[-2000:]
    assert "TypeError: " in done.stdout, done.stdout + done.stderr[-2000:]
    assert "incompatible function arguments" in done.stdout
    assert "indexes: []" in done.stdout
