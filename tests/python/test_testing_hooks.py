"""The test hooks that change how the engine behaves (set_change_checks,
stop_at) act only in a process started with NIVORA_TESTING_HOOKS=1; in any
other they raise RuntimeError and change nothing."""
import os

import pytest

REFUSAL = ("_testing.{hook} is a test hook: it acts only in a process started with "
           "NIVORA_TESTING_HOOKS=1")

# Each hook tried, then a training: a stop at "training-claimed" (released at
# once) says so on stderr.
CHILD = """
import numpy as np
import nivoradb_core as nv
from nivoradb_core._core import _testing

# Not conftest's helpers: importing conftest opens the hooks.
def make_client():
    db = nv.DBConfig("rocksdb", connection_string={folder!r})
    return nv.Client("test", db, db, db)

for hook, call in [("set_change_checks", lambda: _testing.set_change_checks(False)),
                   ("stop_at", lambda: _testing.stop_at("training-claimed", {release!r}))]:
    try:
        call()
        print(hook, "acted")
    except RuntimeError as e:
        print(hook, "refused:", e)
if {train}:
    key = bytes(range(1, 33))
    writer = make_client().create_index("hooks", key, nv.IndexIVFFlat(8))
    rng = np.random.default_rng(0)
    writer.upsert([str(i) for i in range(10_000)],
                  rng.standard_normal((10_000, 8)).astype(np.float32))
    writer.train(n_lists=16, max_iters=5)
    print("trained:", writer.is_trained())
"""


def run_child(python_run, tmp_path, value, train=True):
    release = tmp_path / "release"
    release.touch()
    env = dict(os.environ)
    env.pop("NIVORA_TESTING_HOOKS", None)
    if value is not None:
        env["NIVORA_TESTING_HOOKS"] = value
    done = python_run(CHILD.format(release=str(release), train=train,
                                   folder=str(tmp_path / "db")), env=env)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout.splitlines(), done.stderr


def refusals(hooks=("set_change_checks", "stop_at")):
    return [f"{hook} refused: " + REFUSAL.format(hook=hook) for hook in hooks]


def test_hooks_refuse_and_change_nothing_without_the_variable(python_run, tmp_path):
    lines, stderr = run_child(python_run, tmp_path, None)
    assert lines == refusals() + ["trained: True"]
    assert "stopped at" not in stderr


@pytest.mark.parametrize("value", ["", "0", "true", "yes", " 1", "11"])
def test_only_the_value_1_opens_the_hooks(python_run, tmp_path, value):
    lines, _ = run_child(python_run, tmp_path, value, train=False)
    assert lines == refusals()


def test_hooks_act_with_the_variable(python_run, tmp_path):
    # The same child with the hooks on: what the refusals above prevented.
    lines, stderr = run_child(python_run, tmp_path, "1")
    assert lines == ["set_change_checks acted", "stop_at acted",
                     "trained: True"]
    assert "stopped at training-claimed" in stderr
