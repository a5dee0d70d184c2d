// SetBlasThreads holds the BLAS library under the matrix kernels to one
// thread: the program's own parallelism is OpenMP, and a multi-threaded BLAS
// inside those loops would oversubscribe the cores.
//
// It runs once by static initialisation of the kernels' library (before any
// kernel can be called) and may be called again at any time; it is not
// meant to race with itself (static initialisation is single-threaded).
#ifndef NIVORA_VECTOR_BLAS_THREADS_H_
#define NIVORA_VECTOR_BLAS_THREADS_H_

namespace nivora {

// Sets OPENBLAS_NUM_THREADS to "1" when it is unset (a preset value stays),
// then calls every "openblas_set_num_threads" and "mkl_set_num_threads" it
// can find with 1, and leaves the calling thread's OpenMP thread count as it
// was (an OpenMP build of OpenBLAS sets it through its setter, and then runs
// single-threaded inside the program's OpenMP loops by itself). Reports
// nothing; a missing library or setter is skipped.
void SetBlasThreads();

}  // namespace nivora

#endif  // NIVORA_VECTOR_BLAS_THREADS_H_
