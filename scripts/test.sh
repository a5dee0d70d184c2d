#!/usr/bin/env bash
# Builds everything and runs every test: a release build with all C++ and
# Python tests, the C++ tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the concurrency tests under
# ThreadSanitizer. Fails when any test fails or none ran.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-$(nproc)}
PY=${PYTHON:-python3}

configure_and_test() {  # <build dir> <cmake args...>
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DNIVORA_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  ctest --test-dir "$dir" -j "$JOBS" --output-on-failure --no-tests=error
}

echo "== release build and C++ tests"
configure_and_test build/release -DCMAKE_BUILD_TYPE=Release -DNIVORA_BUILD_BENCH=ON

if [ -f pyproject.toml ] && [ -d tests/python ]; then
  echo "== Python module and tests"
  "$PY" -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .
  set +e
  "$PY" -m pytest -q tests/python
  rc=$?
  set -e
  if [ $rc -eq 5 ]; then echo "no Python tests were collected" >&2; exit 1; fi
  [ $rc -eq 0 ] || exit $rc
fi

echo "== sanitizer build and C++ tests"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0} UBSAN_OPTIONS=print_stacktrace=1 \
  configure_and_test build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIVORA_SANITIZE=ON
echo "== ThreadSanitizer build and concurrency tests"
JOBS=$JOBS ./scripts/tsan.sh
echo "== all tests passed"
