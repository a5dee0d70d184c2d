// The Python class Client: construction on three storage locations, index
// creation (keys in every accepted form, metric names, embedding models
// that fix the dimension), loading and listing, and the setting getters.
//
// Python conversions (key, logger, model) run with the GIL held; every
// native call runs through CallNative. Nothing is created when a step
// before CreateIndex fails.
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "encrypted_index/cryptography/secret.h"
#include "python/api_docstrings.h"
#include "python/embedding_model.h"
#include "python/index_key.h"
#include "python/keep_client_alive.h"
#include "python/module_state.h"
#include "python/native_call.h"
#include "python/registration.h"
#include "python/value_classes.h"

namespace py = pybind11;

namespace nivora::python {
namespace {

using nivora_encrypted_index::internal::cryptography::WipedKey;
using IndexPtr = std::unique_ptr<IndexHandle>;

bool UsesMemoryLocation(const DBConfig& a, const DBConfig& b, const DBConfig& c) {
  return a.location == Location::MEMORY || b.location == Location::MEMORY ||
         c.location == Location::MEMORY;
}

std::unique_ptr<ClientHandle> MakeClient(const std::string& api_key, const DBConfig& index_location,
                                         const DBConfig& config_location,
                                         const DBConfig& items_location,
                                         std::optional<int> cpu_threads,
                                         const std::optional<GpuFlags>& gpu) {
  const int threads = cpu_threads.value_or(0);
  const GPUConfig flags = gpu ? gpu->value : GPUConfig::NONE;
  const DBConfig index_copy = index_location;
  const DBConfig config_copy = config_location;
  const DBConfig items_copy = items_location;
  const std::string working_dir = WorkingDir();
  ClientLock lock;
  if (UsesMemoryLocation(index_copy, config_copy, items_copy)) lock = std::make_shared<std::mutex>();
  auto client = CallNative(nullptr, [&] {
    if (working_dir.empty()) {
      return std::make_unique<Client>(api_key, index_copy, config_copy, items_copy, threads, flags);
    }
    return std::make_unique<Client>(api_key, index_copy, config_copy, items_copy, threads, flags,
                                    working_dir);
  });
  return std::make_unique<ClientHandle>(std::move(client), std::move(lock));
}

Logger* ToLogger(const py::object& logger) {
  if (logger.is_none()) return nullptr;
  return logger.cast<Logger*>();
}

std::optional<DistanceMetric> ParseMetric(const std::optional<std::string>& metric) {
  if (!metric) return std::nullopt;
  if (*metric == "cosine") return DistanceMetric::Cosine;
  if (*metric == "euclidean") return DistanceMetric::Euclidean;
  if (*metric == "squared_euclidean") return DistanceMetric::SquaredEuclidean;
  throw std::invalid_argument("Invalid distance metric: " + *metric);
}

// A configuration of the same class as `base` for a model of `dimension`:
// the class's own parameters kept, everything else fresh.
std::unique_ptr<IndexConfig> ConfigForModel(const IndexConfig& base, size_t dimension,
                                            const std::string& model) {
  const auto metric = DistanceMetric::Euclidean;
  if (dynamic_cast<const IndexIVFFlat*>(&base) != nullptr) {
    return std::make_unique<IndexIVFFlat>(dimension, metric, model);
  }
  if (dynamic_cast<const IndexIVF*>(&base) != nullptr) {
    return std::make_unique<IndexIVF>(dimension, metric, model);
  }
  if (const auto* pq = dynamic_cast<const IndexIVFPQ*>(&base)) {
    return std::make_unique<IndexIVFPQ>(dimension, metric, model, pq->pq_dim_, pq->pq_bits_);
  }
  if (const auto* sq = dynamic_cast<const IndexIVFSQ*>(&base)) {
    return std::make_unique<IndexIVFSQ>(dimension, metric, model, sq->sq_bits_);
  }
  throw std::runtime_error("Unknown IndexConfig type: Cannot modify configuration.");
}

// The configuration of a new index whose dimension the model decides.
std::unique_ptr<IndexConfig> ModelConfig(const std::shared_ptr<IndexConfig>& given,
                                         const std::string& model_name) {
  const IndexIVFSQ default_config(0, DistanceMetric::Euclidean, std::string(), 16);
  const IndexConfig& base = given ? *given : static_cast<const IndexConfig&>(default_config);
  const py::object model = LoadEmbeddingModel(model_name);
  const int dimension = EmbeddingDimension(model, model_name);
  return ConfigForModel(base, static_cast<size_t>(dimension), model_name);
}

IndexPtr CreateIndexUnchecked(ClientHandle& self, const std::string& name,
                              const py::object& index_key,
                              const std::shared_ptr<IndexConfig>& index_config,
                              const std::optional<std::string>& embedding_model,
                              const std::optional<std::string>& metric, const py::object& logger) {
  WipedKey key;
  ToIndexKey(index_key, key);
  Logger* native_logger = ToLogger(logger);
  const std::optional<DistanceMetric> chosen_metric = ParseMetric(metric);
  std::unique_ptr<IndexConfig> model_config;
  if (embedding_model && !embedding_model->empty()) {
    model_config = ModelConfig(index_config, *embedding_model);
  }
  const IndexConfig* config = model_config ? model_config.get() : index_config.get();
  auto index = CallNative(self.lock, [&] {
    if (config != nullptr) {
      return self.client->CreateIndex(name, key, *config, chosen_metric, native_logger);
    }
    return self.client->CreateIndex(name, key, chosen_metric, native_logger);
  });
  return std::make_unique<IndexHandle>(std::move(index), self.lock);
}

IndexPtr CreateIndex(ClientHandle& self, const std::string& name, const py::object& index_key,
                     const std::optional<std::shared_ptr<IndexConfig>>& index_config,
                     const std::optional<std::string>& embedding_model,
                     const std::optional<std::string>& metric, const py::object& logger) {
  return AsValueError([&] {
    return CreateIndexUnchecked(self, name, index_key, index_config.value_or(nullptr),
                                embedding_model, metric, logger);
  });
}

IndexPtr LoadIndex(ClientHandle& self, const std::string& name, const py::object& index_key,
                   const py::object& logger) {
  return AsRuntimeError([&] {
    WipedKey key;
    ToIndexKey(index_key, key);
    Logger* native_logger = ToLogger(logger);
    auto index = CallNative(self.lock, [&] { return self.client->LoadIndex(name, key, native_logger); });
    return std::make_unique<IndexHandle>(std::move(index), self.lock);
  });
}

std::vector<std::string> ListIndexes(ClientHandle& self) {
  return AsValueError(
      [&] { return CallNative(self.lock, [&] { return self.client->ListIndexes(); }); });
}

}  // namespace

void RegisterClient(ClientClass& cls) {
  cls.def(py::init(&MakeClient), py::arg("api_key"), py::arg("index_location"),
           py::arg("config_location"), py::arg("items_location"), py::arg("cpu_threads") = 0,
           py::arg("gpu_config") = GpuFlags{}, docs::kClientInit)
      .def("list_indexes", &ListIndexes, docs::kListIndexes)
      .def("create_index", &CreateIndex, py::arg("index_name"), py::arg("index_key"),
           py::arg("index_config") = py::none(), py::arg("embedding_model") = py::none(),
           py::arg("metric") = py::none(), py::arg("logger") = py::none(), KeepClientAlive(),
           docs::kCreateIndex)
      .def("load_index", &LoadIndex, py::arg("index_name"), py::arg("index_key"),
           py::arg("logger") = py::none(), KeepClientAlive(), docs::kLoadIndex)
      .def("get_cpu_threads", [](const ClientHandle& self) { return self.client->get_cpu_threads(); },
           docs::kGetCpuThreads)
      .def("is_gpu_enabled", [](const ClientHandle& self) { return self.client->is_gpu_enabled(); },
           docs::kIsGpuEnabled)
      .def("get_gpu_config",
           [](const ClientHandle& self) { return GpuFlags{self.client->get_gpu_config()}; },
           docs::kGetGpuConfig);
}

}  // namespace nivora::python
