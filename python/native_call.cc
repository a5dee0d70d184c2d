#include "python/native_call.h"

#include <stdexcept>

namespace nivora::python {
namespace {

// Destroys `owned` under `lock` (when there is one); a failure while
// releasing native resources is dropped, as a destructor must not throw.
template <typename T>
void DestroyQuietly(std::unique_ptr<T>& owned, const ClientLock& lock) noexcept {
  try {
    std::unique_lock<std::mutex> guard;
    if (lock) guard = std::unique_lock<std::mutex>(*lock);
    owned.reset();
  } catch (...) {
  }
}

}  // namespace

// Python calls these with the GIL released (release_gil_before_calling_cpp_dtor).
ClientHandle::~ClientHandle() { DestroyQuietly(client, lock); }

IndexHandle::~IndexHandle() { DestroyQuietly(index, lock); }

std::unique_ptr<IndexConfig> IndexHandle::Config() const {
  auto config = CallNative(lock, [&] { return index->config(); });
  if (!config) throw std::runtime_error(kNotConnectedMessage);
  return config;
}

std::string IndexHandle::EmbeddingModelName() const {
  const auto config = Config();
  return config->embedding_model_.value_or(std::string());
}

}  // namespace nivora::python
