#!/usr/bin/env bash
# Installs everything the build, the tests and the benchmarks need on a fresh
# Debian 12 machine. Idempotent: when everything is present it only checks.
set -euo pipefail

APT_PACKAGES=(
  build-essential pkg-config ninja-build ccache
  librocksdb-dev libsnappy-dev liblz4-dev libzstd-dev libbz2-dev zlib1g-dev
  libarmadillo-dev libopenblas-openmp-dev liblapack-dev
  libssl-dev libcurl4-openssl-dev openssl ca-certificates
  libpq-dev postgresql
  libhiredis-dev redis-server
  libabsl-dev
  libflatbuffers-dev flatbuffers-compiler
  nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)
PIP_PACKAGES=(numpy pytest "pybind11>=3" scikit-build-core faiss-cpu mypy "pybind11-stubgen>=3")

missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  # Services are started by the tests themselves, never at boot.
  for svc in redis-server postgresql; do
    (service "$svc" stop >/dev/null 2>&1 || true)
  done
fi

PY=${PYTHON:-python3}
if ! "$PY" - <<'PYEOF' 2>/dev/null
import importlib.metadata as m, sys
need = {"numpy": None, "pytest": None, "pybind11": 3, "scikit-build-core": None, "faiss-cpu": None,
        "mypy": None, "pybind11-stubgen": 3}
for name, major in need.items():
    v = m.version(name)
    if major and int(v.split(".")[0]) < major:
        sys.exit(1)
PYEOF
then
  echo "setup: installing Python packages"
  "$PY" -m pip install -q --disable-pip-version-check "${PIP_PACKAGES[@]}"
fi
