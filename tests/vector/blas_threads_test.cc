#include "vector/blas_threads.h"

#include <omp.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

extern "C" {
void openblas_set_num_threads(int);
int openblas_get_num_threads(void);
}

namespace nivora {
namespace {

// Restores OPENBLAS_NUM_THREADS, the BLAS threads and the OpenMP thread
// count as they were before the test. (The OpenMP build of OpenBLAS sets the
// OpenMP thread count through its own setter.)
class BlasThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* v = std::getenv("OPENBLAS_NUM_THREADS")) saved_ = v;
    omp_threads_ = omp_get_max_threads();
  }
  void TearDown() override {
    if (saved_) {
      setenv("OPENBLAS_NUM_THREADS", saved_->c_str(), 1);
    } else {
      unsetenv("OPENBLAS_NUM_THREADS");
    }
    SetBlasThreads();
    omp_set_num_threads(omp_threads_);
  }
  std::optional<std::string> saved_;
  int omp_threads_ = 1;
};

TEST_F(BlasThreadsTest, PresetEnvironmentValueIsPreserved) {
  setenv("OPENBLAS_NUM_THREADS", "4", 1);
  SetBlasThreads();
  EXPECT_STREQ(std::getenv("OPENBLAS_NUM_THREADS"), "4");
}

TEST_F(BlasThreadsTest, AbsentEnvironmentValueBecomesOne) {
  unsetenv("OPENBLAS_NUM_THREADS");
  SetBlasThreads();
  EXPECT_STREQ(std::getenv("OPENBLAS_NUM_THREADS"), "1");
}

TEST_F(BlasThreadsTest, HoldsTheLinkedBlasToOneThreadWhateverTheEnvironment) {
  // Static initialisation already ran it once.
  EXPECT_EQ(openblas_get_num_threads(), 1);
  setenv("OPENBLAS_NUM_THREADS", "4", 1);
  openblas_set_num_threads(4);
  omp_set_num_threads(3);  // the program's own choice
  SetBlasThreads();
  EXPECT_EQ(openblas_get_num_threads(), 1);
  // The program's own OpenMP loops keep their thread count.
  EXPECT_EQ(omp_get_max_threads(), 3);
}

TEST_F(BlasThreadsTest, StaticInitialisationLeavesOpenMPItsDefaultThreadCount) {
  if (std::getenv("OMP_NUM_THREADS") != nullptr) GTEST_SKIP() << "OMP_NUM_THREADS is set";
  EXPECT_EQ(omp_get_max_threads(), omp_get_num_procs());
}

}  // namespace
}  // namespace nivora
