#!/usr/bin/env bash
# Builds and installs the Python module for this interpreter, then runs the
# quick-start example (an encrypted index in ~/.nivoradb/data).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
"$PY" -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .
"$PY" examples/quickstart.py
