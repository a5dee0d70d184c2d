// The parallel loops: errors reach the caller, and the thread count travels
// with the call instead of living in the OpenMP default of one thread.
#include "core/parallel_for.h"

#include <omp.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace nivora {
namespace {

TEST(ParallelForTest, AThrowInsideTheLoopIsRethrownAfterIt) {
  for (size_t n : {size_t{50}, size_t{5000}}) {  // serial and parallel
    SCOPED_TRACE(n);
    auto body = [&](size_t i) {
      if (i == n / 2) throw std::runtime_error("row failed");
    };
    try {
      ParallelForStatic(n, kSerialReadLimit, body);
      ADD_FAILURE() << "nothing rethrown";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "row failed");
    }
    EXPECT_THROW(ParallelForDynamic(n, body), std::runtime_error);
    EXPECT_THROW(SumOverThreadChunks(n, [&](size_t b, size_t e) -> uint64_t {
                   for (size_t i = b; i < e; ++i) body(i);
                   return 0;
                 }),
                 std::runtime_error);
  }
}

// The team size every loop shape gets on a thread other than the one that
// configured OpenMP.
int ObservedTeam() {
  std::atomic<int> most{0};
  auto note = [&] {
    int seen = omp_get_num_threads();
    int cur = most.load();
    while (seen > cur && !most.compare_exchange_weak(cur, seen)) {}
  };
  ParallelForStatic(10000, 0, [&](size_t) { note(); });
  ParallelForDynamic(64, [&](size_t) { note(); });
  SumOverThreadChunks(10000, [&](size_t, size_t) -> uint64_t { note(); return 0; });
  return most.load();
}

TEST(ParallelForTest, ScopedCountReachesRegionsStartedOnAnotherThread) {
  for (int threads : {1, 3}) {
    SCOPED_TRACE(threads);
    int observed = 0;
    std::thread worker([&] {
      omp_set_num_threads(7);  // this thread's own default must not matter
      ScopedThreadCount scope(threads);
      EXPECT_EQ(ThreadCount(), threads);
      observed = ObservedTeam();
    });
    worker.join();
    EXPECT_EQ(observed, threads);
  }
}

TEST(ParallelForTest, ScopesNestAndRestore) {
  const int outside = ThreadCount();
  {
    ScopedThreadCount outer(2);
    EXPECT_EQ(ThreadCount(), 2);
    {
      ScopedThreadCount keep(0);  // 0 keeps the current count
      EXPECT_EQ(ThreadCount(), 2);
      ScopedThreadCount inner(5);
      EXPECT_EQ(ThreadCount(), 5);
    }
    EXPECT_EQ(ThreadCount(), 2);
  }
  EXPECT_EQ(ThreadCount(), outside);
}

// A loop run on the calling thread opens no OpenMP region (a BLAS team
// opened in an inactive region is created afresh on every call), and its
// body sees one OpenMP thread, as on a thread of a team; the caller's
// default is back afterwards, also when the body throws.
TEST(ParallelForTest, SerialLoopsOpenNoRegionAndShowOneThread) {
  std::thread worker([] {
    omp_set_num_threads(6);
    ScopedThreadCount scope(4);
    int levels = -1, max_threads = 0;
    auto note = [&] {
      levels = omp_get_level();
      max_threads = omp_get_max_threads();
    };
    ParallelForStatic(10, kSerialReadLimit, [&](size_t) { note(); });
    EXPECT_EQ(levels, 0);
    EXPECT_EQ(max_threads, 1);
    levels = -1;
    ParallelForDynamic(1, [&](size_t) { note(); });
    EXPECT_EQ(levels, 0);
    EXPECT_EQ(max_threads, 1);
    levels = -1;
    SumOverThreadChunks(10, [&](size_t, size_t) -> uint64_t { note(); return 0; }, 100);
    EXPECT_EQ(levels, 0);
    EXPECT_EQ(max_threads, 1);
    EXPECT_EQ(omp_get_max_threads(), 6);
    EXPECT_THROW(ParallelForDynamic(1, [](size_t) { throw std::runtime_error("x"); }),
                 std::runtime_error);
    EXPECT_EQ(omp_get_max_threads(), 6);
    // A loop of ours inside still gets the scope's team.
    int team = 0;
    ParallelForDynamic(1, [&](size_t) {
      ParallelForStatic(1000, 0, [&](size_t) {
        if (omp_get_thread_num() == 0) team = omp_get_num_threads();
      });
    });
    EXPECT_EQ(team, 4);
  });
  worker.join();
}

}  // namespace
}  // namespace nivora
