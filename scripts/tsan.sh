#!/usr/bin/env bash
# Builds the tests with ThreadSanitizer (build/tsan) and runs the tests that
# exercise concurrency: the logger, the parallel loops, the sharded map, the
# thread-safe in-process store, the shared RAM caches and their fills, the
# cache registry, the counter map and training beside writers in other
# threads. Fails on any test failure or data race.
#
# GCC's OpenMP runtime is not instrumented: ThreadSanitizer cannot see its
# barriers and reports every parallel region as a race. So this run limits
# OpenMP to one thread (OMP_THREAD_LIMIT=1) and checks the library's own
# threads and locks; the tests about OpenMP team sizes are left out.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-$(nproc)}
DIR=build/tsan

# binary (as built under $DIR/tests) and the gtest filter of its concurrency tests
TESTS=(
  "core/core_tests:LoggerTest.ConcurrentLinesNeverInterleave:LoggerTest.SlotsNeverPointToAGoneSelectionOrLogger"
  "backing_store/backing_store_tests:ShardedMapTest.*:ThreadSafeMemoryKeystoreTest.*:CacheFillRaceTest.*:NewestValueTest.*:CacheLayerTest.ClearDuringAFillIsNotUndoneByIt:CacheMarkTest.*:*ConcurrentMapPushes*"
  "backing_store/keystore_factory_tests:KeystoreFactoryTest.ConcurrentEnablesShareOneCache"
  "encrypted_index/engine_client_tests:CounterMapTest.*-CounterMapTest.CpuThreadsReachRegionsOnAnyCallingThread"
  "encrypted_index/engine_ingest_tests:IngestTest.CentroidMetadataMergesStartFromWhatTheStoreHolds"
  "api/api_train_tests:TrainIndexTest.WritersInOtherThreadsDuringTrainingLoseNothing"
)

cmake -S . -B "$DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIVORA_BUILD_TESTS=ON \
  -DNIVORA_TSAN=ON >/dev/null
targets=()
for entry in "${TESTS[@]}"; do targets+=("$(basename "${entry%%:*}")"); done
cmake --build "$DIR" -j "$JOBS" --target "${targets[@]}"

# halt_on_error: the first race fails the run; second_deadlock_stack helps
# read lock-order reports.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
export OMP_THREAD_LIMIT=1
passed=0
failed=0
for entry in "${TESTS[@]}"; do
  binary=${entry%%:*}
  filter=${entry#*:}
  echo "== $binary --gtest_filter=$filter"
  if "$DIR/tests/$binary" --gtest_brief=1 --gtest_filter="$filter"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
