#include "vector/blas_threads.h"

#include <dlfcn.h>
#include <omp.h>

#include <cstdlib>
#include <vector>

extern "C" {
// A BLAS routine that this library links against directly; its address
// tells which BLAS the kernels really use.
void sgemm_(...);
}

namespace nivora {
namespace {

using SetThreadsFn = void (*)(int);

constexpr const char* kSetterNames[] = {"openblas_set_num_threads", "mkl_set_num_threads"};

// Sonames to probe with RTLD_NOLOAD (only already loaded ones are found).
constexpr const char* kBlasSonames[] = {"libopenblas.so.0", "libmkl_rt.so.2", "libmkl_rt.so"};

class DlHandle {
 public:
  DlHandle(const char* path, int flags) : handle_(dlopen(path, flags)) {}
  ~DlHandle() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  DlHandle(const DlHandle&) = delete;
  DlHandle& operator=(const DlHandle&) = delete;

  void* get() const { return handle_; }

 private:
  void* handle_;
};

// Puts the OpenMP thread count of the calling thread back when it changed.
class RestoreOmpThreads {
 public:
  explicit RestoreOmpThreads(int threads) : threads_(threads) {}
  ~RestoreOmpThreads() {
    if (omp_get_max_threads() != threads_) omp_set_num_threads(threads_);
  }
  RestoreOmpThreads(const RestoreOmpThreads&) = delete;
  RestoreOmpThreads& operator=(const RestoreOmpThreads&) = delete;

 private:
  int threads_;
};

// Calls each setter reachable through `handle` once; `called` remembers the
// setters already called through another handle.
void CallSetters(void* handle, std::vector<SetThreadsFn>& called) {
  if (handle == nullptr) return;
  for (const char* name : kSetterNames) {
    auto setter = reinterpret_cast<SetThreadsFn>(dlsym(handle, name));
    if (setter == nullptr) continue;
    bool seen = false;
    for (SetThreadsFn f : called) seen = seen || f == setter;
    if (seen) continue;
    setter(1);
    called.push_back(setter);
  }
}

// The file of the BLAS that holds sgemm_ for this library, when known.
const char* LinkedBlasPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&sgemm_), &info) == 0) return nullptr;
  return info.dli_fname;
}

}  // namespace

void SetBlasThreads() {
  setenv("OPENBLAS_NUM_THREADS", "1", /*overwrite=*/0);

  // The OpenMP build of OpenBLAS implements its setter as
  // omp_set_num_threads, which would leave every OpenMP loop started from
  // this thread with one thread. Inside those loops that BLAS runs on one
  // thread by itself, so the program's OpenMP thread count is put back.
  RestoreOmpThreads restore(omp_get_max_threads());

  std::vector<SetThreadsFn> called;
  {
    // The process's global scope.
    DlHandle self(nullptr, RTLD_LAZY);
    if (self.get() == nullptr) return;
    CallSetters(self.get(), called);
  }
  // A Python extension module is loaded RTLD_LOCAL, so its BLAS is not in the
  // global scope: reach it through its own file or soname, without loading
  // anything new.
  if (const char* path = LinkedBlasPath(); path != nullptr) {
    DlHandle linked(path, RTLD_LAZY | RTLD_NOLOAD);
    CallSetters(linked.get(), called);
  }
  for (const char* soname : kBlasSonames) {
    DlHandle library(soname, RTLD_LAZY | RTLD_NOLOAD);
    CallSetters(library.get(), called);
  }
}

}  // namespace nivora
