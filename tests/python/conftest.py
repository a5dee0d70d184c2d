import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, env=None, cwd=None):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, cwd=cwd, timeout=120)


@pytest.fixture
def python_run():
    return run_python


@pytest.fixture
def logger():
    """The process-wide logger, put back to level ERROR on the console."""
    import nivoradb_core
    log = nivoradb_core.Logger.instance()
    yield log
    log.configure("error")


@pytest.fixture
def clean_env():
    return dict(os.environ)
