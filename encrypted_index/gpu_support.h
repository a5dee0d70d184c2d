// The engine's GPU entry points: the library is built without CUDA, so each
// of them fails with one message.
#ifndef NIVORA_ENCRYPTED_INDEX_GPU_SUPPORT_H_
#define NIVORA_ENCRYPTED_INDEX_GPU_SUPPORT_H_

#include <stdexcept>

namespace nivora_encrypted_index::internal::encrypted_index {

inline constexpr const char* kCudaRequiredMessage =
    "CUDA support is required, but the library was built without CUDA. Please build and run the "
    "program with CUDA support (e.g., ./build.sh -cuda).";

[[noreturn]] inline void ThrowCudaRequired() { throw std::runtime_error(kCudaRequiredMessage); }

}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_GPU_SUPPORT_H_
