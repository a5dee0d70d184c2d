// The engine's GPU entry points: the library is built without CUDA, so each
// of them fails with one message.
#ifndef NIVORA_ENCRYPTED_INDEX_GPU_SUPPORT_H_
#define NIVORA_ENCRYPTED_INDEX_GPU_SUPPORT_H_

#include <stdexcept>

#include "core/flags.h"

namespace nivora_encrypted_index::internal::encrypted_index {

[[noreturn]] inline void ThrowCudaRequired() {
  throw std::runtime_error(nivora::kCudaRequiredMessage);
}

}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_GPU_SUPPORT_H_
