import os
import pathlib
import subprocess
import sys

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "quickstart.py"


def test_quickstart_runs_in_a_fresh_home(tmp_path):
    env = dict(os.environ, HOME=str(tmp_path))
    done = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True,
                          env=env, cwd=tmp_path, timeout=600)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("upserted 20000 items")
    assert lines[1].startswith("trained ")
    neighbours = [line for line in lines if "'category': 'books'" in line]
    assert len(neighbours) == 5 and neighbours[0].split()[0] == "item-40"
    assert lines[-1].startswith("deleted index quickstart-")
    assert (tmp_path / ".nivoradb" / "data").is_dir()
