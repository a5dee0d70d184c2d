// The bodies of the EncryptedIndex methods that have a file of their own
// (query and query_numpy, upsert); index_bindings.cc registers them with
// the rest of the class. Each runs on the calling Python thread with the GIL
// held for Python conversions and releases it around the native call.
#ifndef NIVORA_PYTHON_INDEX_METHODS_H_
#define NIVORA_PYTHON_INDEX_METHODS_H_

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python/native_call.h"

namespace nivora::python {

// EncryptedIndex.query: nearest neighbours as dicts; one query vector gives
// its list alone.
pybind11::object QueryBinding(IndexHandle& self, const pybind11::object& query_vectors,
                              const pybind11::object& query_contents,
                              std::optional<uint64_t> top_k, std::optional<uint64_t> n_probes,
                              const pybind11::dict& filters,
                              const std::vector<std::string>& include, bool greedy);

// The array type query_numpy takes: C-contiguous float32, never converted
// (anything else fails argument loading with TypeError).
using QueryArray = pybind11::array_t<float, pybind11::array::c_style>;

// EncryptedIndex.query_numpy: integer ids in an int64 array, -1 padded, with
// min(top_k, items the index holds) columns.
pybind11::array_t<int64_t> QueryNumpyBinding(IndexHandle& self, const QueryArray& query_vectors,
                                             uint64_t top_k, uint64_t n_probes, bool greedy,
                                             bool batch);

// EncryptedIndex.upsert: a list of item dicts, or ids and a float32 matrix.
// Every failure is raised as ValueError.
void UpsertBinding(IndexHandle& self, const pybind11::object& arg1, const pybind11::object& arg2);

}  // namespace nivora::python

#endif  // NIVORA_PYTHON_INDEX_METHODS_H_
