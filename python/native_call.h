// The Python-side owners of a nivora::Client and a nivora::EncryptedIndex,
// and the one way the bindings call into them: with the GIL released.
//
// Every blocking native call runs through CallNative, which releases the
// GIL first and only then takes any lock, so a thread waiting for a lock
// never holds the GIL (no lock-order deadlock with Python threads). The
// per-index mutex lives inside nivora::EncryptedIndex; a client whose
// stores include a MEMORY location (those stores take no locks) adds one
// more mutex, shared by the client and every index made from it, that
// serialises all their native calls. No Python object may be touched inside
// the callable.
//
// Both owners are held by Python (unique holders) and destroyed with the
// GIL released; no exception leaves their destructors. An index handle
// keeps its Client's Python object alive (keep_alive), so the native client
// outlives every index it made.
#ifndef NIVORA_PYTHON_NATIVE_CALL_H_
#define NIVORA_PYTHON_NATIVE_CALL_H_

#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <type_traits>

#include "api/client.h"
#include "api/encrypted_index.h"
#include "core/index_config.h"

namespace nivora::python {

// Serialises the native calls of one MEMORY-backed client and its indexes;
// null when the client needs no such lock.
using ClientLock = std::shared_ptr<std::mutex>;

// Releases the GIL, takes `lock` when there is one and calls `call()`.
// The GIL is taken back however the call ends. It is taken back outside
// any destructor: a daemon thread that comes back after interpreter
// finalisation is ended by the interpreter with a forced unwind, which
// must not cross a noexcept frame.
template <typename Call>
auto CallNative(const ClientLock& lock, Call&& call) -> decltype(call()) {
  const auto locked_call = [&]() -> decltype(call()) {
    std::unique_lock<std::mutex> guard;
    if (lock) guard = std::unique_lock<std::mutex>(*lock);
    return call();
  };
  PyThreadState* state = PyEval_SaveThread();
  bool restored = false;
  try {
    if constexpr (std::is_void_v<decltype(call())>) {
      locked_call();
      restored = true;
      PyEval_RestoreThread(state);
    } else {
      auto result = locked_call();
      restored = true;
      PyEval_RestoreThread(state);
      return result;
    }
  } catch (...) {
    if (!restored) PyEval_RestoreThread(state);
    throw;
  }
}

// Runs `call` (a CallNative) and rethrows any std::runtime_error as a plain
// one, so that Python sees RuntimeError whatever its subclass.
template <typename Call>
decltype(auto) AsRuntimeError(Call&& call) {
  try {
    return call();
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(e.what());
  }
}

// Runs `call` and raises a std::invalid_argument or std::runtime_error from
// it as ValueError with the same text.
template <typename Call>
decltype(auto) AsValueError(Call&& call) {
  try {
    return call();
  } catch (const std::invalid_argument& e) {
    throw pybind11::value_error(e.what());
  } catch (const std::runtime_error& e) {
    throw pybind11::value_error(e.what());
  }
}

struct ClientHandle {
  std::unique_ptr<Client> client;
  ClientLock lock;

  ClientHandle(std::unique_ptr<Client> c, ClientLock l) : client(std::move(c)), lock(std::move(l)) {}
  ~ClientHandle();
  ClientHandle(const ClientHandle&) = delete;
  ClientHandle& operator=(const ClientHandle&) = delete;
};

struct IndexHandle {
  std::unique_ptr<EncryptedIndex> index;
  ClientLock lock;

  IndexHandle(std::unique_ptr<EncryptedIndex> i, ClientLock l) : index(std::move(i)), lock(std::move(l)) {}
  ~IndexHandle();
  IndexHandle(const IndexHandle&) = delete;
  IndexHandle& operator=(const IndexHandle&) = delete;

  // A copy of the index's configuration, read with the GIL released. Throws
  // std::runtime_error with the not-connected message once the index was
  // deleted (there is no configuration left to read).
  std::unique_ptr<IndexConfig> Config() const;

  // The configuration's embedding model name; empty when it has none.
  std::string EmbeddingModelName() const;
};

}  // namespace nivora::python

#endif  // NIVORA_PYTHON_NATIVE_CALL_H_
