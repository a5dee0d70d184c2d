// The Python class EncryptedIndex: registration of every member (query,
// query_numpy and upsert have files of their own) and the bodies of the
// remaining ones: get, delete, train, list_ids, get_num_vectors,
// delete_index and the configuration readers.
//
// Every native call, property reads included, goes through CallNative: the
// GIL is released before the index's own mutex (and a MEMORY client's lock)
// is taken. After delete_index the configuration readers raise the
// not-connected RuntimeError instead of reading a configuration that is
// gone.
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "python/api_docstrings.h"
#include "python/index_methods.h"
#include "python/module_state.h"
#include "python/registration.h"

namespace py = pybind11;

namespace nivora::python {
namespace {

std::vector<ItemFields> GetIncludeCodes(const std::vector<std::string>& include) {
  std::vector<ItemFields> codes;
  for (const auto& name : include) {
    if (name == "vector") codes.push_back(ItemFields::VECTOR);
    if (name == "metadata") codes.push_back(ItemFields::METADATA);
    if (name == "contents") codes.push_back(ItemFields::CONTENTS);
  }
  return codes;
}

py::dict ItemDict(const GetResultItem& item, const std::vector<std::string>& include) {
  py::dict out;
  out["id"] = py::str(item.id);
  for (const auto& name : include) {
    if (name == "vector") {
      out["vector"] = py::cast(item.vector);
    } else if (name == "metadata") {
      out["metadata"] = item.metadata.empty() ? py::object(py::dict()) : JsonLoads(py::str(item.metadata));
    } else if (name == "contents") {
      out["contents"] = py::bytes(reinterpret_cast<const char*>(item.contents.data()), item.contents.size());
    }
  }
  return out;
}

py::list Get(IndexHandle& self, const std::vector<std::string>& ids,
             const std::vector<std::string>& include) {
  const std::vector<ItemFields> codes = GetIncludeCodes(include);
  const auto items = CallNative(self.lock, [&] { return self.index->Get(ids, codes); });
  py::list out;
  for (const auto& item : items) out.append(ItemDict(item, include));
  return out;
}

void Delete(IndexHandle& self, const std::vector<std::string>& ids) {
  AsRuntimeError([&] { CallNative(self.lock, [&] { self.index->Delete(ids); }); });
}

void Train(IndexHandle& self, std::optional<uint64_t> n_lists, std::optional<uint64_t> batch_size,
           std::optional<uint64_t> max_iters, std::optional<double> tolerance,
           std::optional<uint64_t> max_memory) {
  TrainParams params;
  params.n_lists = n_lists.value_or(0);
  params.batch_size = batch_size.value_or(0);
  params.max_iters = max_iters.value_or(100);
  params.tolerance = tolerance.value_or(1e-6);
  params.max_memory = max_memory.value_or(0);
  AsRuntimeError([&] { CallNative(self.lock, [&] { self.index->TrainIndex(params); }); });
}

std::vector<std::string> ListIds(IndexHandle& self) {
  return AsValueError([&] { return CallNative(self.lock, [&] { return self.index->ListIDs(); }); });
}

size_t GetNumVectors(IndexHandle& self) {
  return CallNative(self.lock, [&] { return self.index->get_num_vectors(); });
}

void DeleteIndex(IndexHandle& self) {
  AsRuntimeError([&] { CallNative(self.lock, [&] { self.index->DeleteIndex(); }); });
}

py::dict IndexConfigDict(const IndexHandle& self) {
  const auto config = self.Config();
  py::dict out;
  out["dimension"] = config->dimension();
  out["metric"] = MetricToString(config->metric_);
  out["index_type"] = IndexTypeToString(config->index_type_);
  out["n_lists"] = config->n_lists();
  out["pq_dim"] = config->pq_dim();
  out["pq_bits"] = config->pq_bits();
  out["sq_bits"] = config->sq_bits();
  return out;
}

}  // namespace

void RegisterEncryptedIndex(IndexClass& cls) {
  cls.def("is_trained",
           [](const IndexHandle& self) {
             return CallNative(self.lock, [&] { return self.index->is_trained(); });
           },
           docs::kIsTrained)
      .def("index_name",
           [](const IndexHandle& self) {
             return CallNative(self.lock, [&] { return self.index->index_name(); });
           },
           docs::kIndexName)
      .def("index_type",
           [](const IndexHandle& self) { return IndexTypeToString(self.Config()->index_type_); },
           docs::kIndexType)
      .def("index_config", &IndexConfigDict, docs::kIndexConfig)
      .def_property_readonly(
          "n_lists", [](const IndexHandle& self) { return self.Config()->n_lists(); }, docs::kNLists)
      .def_property_readonly(
          "dimension", [](const IndexHandle& self) { return self.Config()->dimension(); },
          docs::kDimension)
      .def_property_readonly(
          "metric", [](const IndexHandle& self) { return MetricToString(self.Config()->metric_); },
          docs::kMetric)
      .def("delete_index", &DeleteIndex, docs::kDeleteIndex)
      .def("get", &Get, py::arg("ids"),
           py::arg("include") = std::vector<std::string>{"vector", "contents", "metadata"}, docs::kGet)
      .def("train", &Train, py::arg("n_lists") = py::none(), py::arg("batch_size") = py::none(),
           py::arg("max_iters") = py::none(), py::arg("tolerance") = py::none(),
           py::arg("max_memory") = py::none(), docs::kTrain)
      .def("upsert", &UpsertBinding, py::arg("arg1"), py::arg("arg2") = py::none(), docs::kUpsert)
      .def("delete", &Delete, py::arg("ids"), docs::kDelete)
      .def("query_numpy", &QueryNumpyBinding, py::arg("query_vectors").noconvert(),
           py::arg("top_k") = 100, py::arg("n_probes") = 0, py::arg("greedy") = false,
           py::arg("batch") = false, docs::kQueryNumpy)
      .def("query", &QueryBinding, py::arg("query_vectors") = py::none(),
           py::arg("query_contents") = py::none(), py::arg("top_k") = py::none(),
           py::arg("n_probes") = py::none(), py::arg("filters") = py::dict(),
           py::arg("include") = std::vector<std::string>{"distance", "metadata"}, py::arg("greedy") = false,
           docs::kQuery)
      .def("get_num_vectors", &GetNumVectors, docs::kGetNumVectors)
      .def("list_ids", &ListIds, docs::kListIds);
}

}  // namespace nivora::python
