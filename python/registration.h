// The registration steps of the module, called by the module body in this
// order after the value classes: the classes Client and EncryptedIndex are
// declared (Client first; its default gpu_config is a GPUConfig object, so
// it follows GPUConfig), then Client's members, then EncryptedIndex's
// members (its objects come only from Client.create_index and
// Client.load_index), then the private test hooks. Both classes exist
// before any member is added, so every signature names them by their
// Python names.
#ifndef NIVORA_PYTHON_REGISTRATION_H_
#define NIVORA_PYTHON_REGISTRATION_H_

#include <pybind11/pybind11.h>

#include <memory>

#include "python/native_call.h"

namespace nivora::python {

using ClientClass = pybind11::class_<ClientHandle, std::unique_ptr<ClientHandle>>;
using IndexClass = pybind11::class_<IndexHandle, std::unique_ptr<IndexHandle>>;

// Adds the members of the class Client.
void RegisterClient(ClientClass& cls);

// Adds the members of the class EncryptedIndex.
void RegisterEncryptedIndex(IndexClass& cls);

// Adds the submodule `_testing`: thin entry points into the conversions and
// the exception translation that the public classes reach only through a
// client and an index, and the hooks that change the engine's behaviour
// (those raise RuntimeError unless the process was started with
// NIVORA_TESTING_HOOKS=1). Not part of the public interface.
void RegisterTestingHooks(pybind11::module_& m);

}  // namespace nivora::python

#endif  // NIVORA_PYTHON_REGISTRATION_H_
