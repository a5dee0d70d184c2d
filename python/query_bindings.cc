// EncryptedIndex.query and EncryptedIndex.query_numpy.
//
// query converts its inputs with the GIL held (arrays, lists, text through
// the embedding model, json.dumps of the filter), runs Query through
// CallNative and builds dicts with the GIL again. query_numpy checks the
// shape with the GIL, copies the queries and runs Query without it,
// allocates its int64 output (top_k columns at most, and no more than the
// index holds items) with the GIL, then fills the ids without it. Result
// loops never read past num_results, the id and distance lists or the
// columns asked for.
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "python/array_conversion.h"
#include "python/embedding_model.h"
#include "python/index_methods.h"
#include "python/module_state.h"

namespace py = pybind11;

namespace nivora::python {
namespace {

constexpr uint64_t kMaxTopK = std::numeric_limits<uint32_t>::max();

QueryMatrix EmbedQueryText(const IndexHandle& self, const py::object& query_contents) {
  const std::string model_name = self.EmbeddingModelName();
  if (model_name.empty()) {
    throw py::value_error(
        "Index was not set up for automatic embedding generation. Provide `vector` explicitly or "
        "create a new index with an embedding model.");
  }
  const py::object model = LoadEmbeddingModel(model_name);
  if (!py::isinstance<py::str>(query_contents)) {
    throw py::value_error("'query_contents' must be of type `str` for auto-embedding.");
  }
  py::object encoded;
  try {
    encoded = model.attr("encode")(query_contents);
  } catch (py::error_already_set& e) {
    throw std::runtime_error(std::string("Failed to encode query_contents: ") + e.what());
  }
  QueryMatrix result;
  result.matrix = RowsToArray2D({encoded.cast<std::vector<float>>()});
  result.single = true;
  return result;
}

QueryMatrix QueryArrayToMatrix(const py::object& vectors) {
  const auto array = py::array_t<float>::ensure(vectors);
  QueryMatrix result;
  if (array.ndim() == 2) {
    result.matrix = NumpyToArray2D(array, false);
    result.single = array.shape(0) == 1;
  } else if (array.ndim() == 1) {
    result.matrix = NumpyToArray2D(array, true);
    result.single = true;
  } else {
    throw py::type_error("query_vector must be a 1D or 2D NumPy array.");
  }
  return result;
}

QueryMatrix ToQueryMatrix(const IndexHandle& self, const py::object& query_vectors,
                          const py::object& query_contents) {
  if (query_vectors.is_none()) {
    if (query_contents.is_none()) {
      throw py::value_error("Provide at least one: query_vector or query_contents.");
    }
    return EmbedQueryText(self, query_contents);
  }
  if (py::array_t<float>::check_(query_vectors)) return QueryArrayToMatrix(query_vectors);
  if (py::isinstance<py::array>(query_vectors)) {
    // An array of another element type: converting it would hide a copy.
    throw py::value_error("query_vector must be float32, not " +
                          py::str(query_vectors.attr("dtype")).cast<std::string>() + ".");
  }
  if (!py::isinstance<py::list>(query_vectors)) {
    throw py::value_error("query_vector must be a 1D or 2D NumPy array or List[List[float]].");
  }
  return QueryListToArray2D(py::reinterpret_borrow<py::list>(query_vectors));
}

std::string FilterText(const py::dict& filters) {
  if (filters.empty()) return std::string();
  try {
    return JsonDumps(filters).cast<std::string>();
  } catch (const std::exception& e) {
    throw py::value_error(std::string("Failed to serialize filters to JSON: ") + e.what());
  }
}

std::vector<ItemFields> QueryIncludeCodes(const std::vector<std::string>& include) {
  std::vector<ItemFields> codes;
  const auto has = [&](const char* name) {
    return std::find(include.begin(), include.end(), name) != include.end();
  };
  if (has("metadata")) codes.push_back(ItemFields::METADATA);
  // "distance" travels as code 0; Query always returns distances anyway.
  if (has("distance")) codes.push_back(ItemFields::VECTOR);
  return codes;
}

// How many results of query i may be read: never past any of the lists.
size_t ResultCount(const QueryResult& result, size_t i, uint64_t top_k) {
  size_t n = i < result.num_results.size() ? result.num_results[i] : 0;
  n = std::min(n, i < result.ids.size() ? result.ids[i].size() : 0);
  return static_cast<size_t>(std::min<uint64_t>(n, top_k));
}

py::list NeighbourDicts(const QueryResult& result, size_t i, uint64_t top_k) {
  const size_t n = std::min(ResultCount(result, i, top_k),
                            i < result.distances.size() ? result.distances[i].size() : 0);
  const std::vector<std::string>* metadata = i < result.metadata.size() ? &result.metadata[i] : nullptr;
  py::list neighbours;
  for (size_t j = 0; j < n; ++j) {
    py::dict item;
    item["id"] = py::str(result.ids[i][j]);
    item["distance"] = py::float_(result.distances[i][j]);
    const bool has_metadata = metadata != nullptr && j < metadata->size() && !(*metadata)[j].empty();
    item["metadata"] = has_metadata ? JsonLoads(py::str((*metadata)[j])) : py::dict();
    neighbours.append(std::move(item));
  }
  return neighbours;
}

py::object ResultToPython(const QueryResult& result, uint64_t top_k, bool single) {
  const size_t queries = std::min(result.num_queries, result.ids.size());
  py::list outer;
  for (size_t i = 0; i < queries; ++i) outer.append(NeighbourDicts(result, i, top_k));
  if (single && outer.size() == 1) return py::object(outer[0]);
  return outer;
}

// ---- query_numpy -------------------------------------------------------------

struct NumpyShape {
  size_t rows = 0;
  size_t cols = 0;
};

NumpyShape CheckedQueryShape(const QueryArray& array, bool batch) {
  if (batch) {
    const auto cols = array.shape(1);  // a 1-D array raises IndexError here
    if (array.ndim() != 2) {
      throw py::value_error("query_numpy with batch=True needs a 2D array (num_queries, dimension).");
    }
    return {static_cast<size_t>(array.shape(0)), static_cast<size_t>(cols)};
  }
  const auto length = array.shape(0);
  if (array.ndim() == 1) return {1, static_cast<size_t>(length)};
  if (array.ndim() == 2 && length == 1) return {1, static_cast<size_t>(array.shape(1))};
  throw py::value_error("query_numpy with batch=False needs a 1D array or a 2D array with one row.");
}

// The id as a signed decimal integer, or -1 when it is not one exactly.
int64_t ParseId(const std::string& id) {
  if (id.empty()) return -1;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(id.c_str(), &end, 10);
  if (errno != 0 || end != id.c_str() + id.size()) return -1;
  return static_cast<int64_t>(value);
}

// Row i of out (columns wide) gets the first results of query i, -1 after.
void FillIds(const QueryResult& result, size_t rows, uint64_t columns, bool batch, int64_t* out) {
  if (std::min(result.num_queries, result.ids.size()) < rows) {
    throw std::out_of_range("Query index is out of bounds");
  }
  for (size_t i = 0; i < rows; ++i) {
    int64_t* row = out + (batch ? i * columns : 0);
    const size_t m = ResultCount(result, i, columns);
    for (size_t j = 0; j < m; ++j) row[j] = ParseId(result.ids[i][j]);
    std::fill(row + m, row + columns, int64_t{-1});
  }
}

}  // namespace

py::object QueryBinding(IndexHandle& self, const py::object& query_vectors,
                        const py::object& query_contents, std::optional<uint64_t> top_k,
                        std::optional<uint64_t> n_probes, const py::dict& filters,
                        const std::vector<std::string>& include, bool greedy) {
  const QueryMatrix queries = ToQueryMatrix(self, query_vectors, query_contents);
  QueryParams params;
  params.filters = FilterText(filters);
  params.include = QueryIncludeCodes(include);
  params.top_k = top_k.value_or(100);
  params.n_probes = n_probes.value_or(0);
  params.greedy = greedy;
  const QueryResult result = AsValueError([&] {
    return CallNative(self.lock, [&] { return self.index->Query(queries.matrix, params); });
  });
  return ResultToPython(result, params.top_k, queries.single);
}

py::array_t<int64_t> QueryNumpyBinding(IndexHandle& self, const QueryArray& query_vectors,
                                       uint64_t top_k, uint64_t n_probes, bool greedy, bool batch) {
  const NumpyShape shape = CheckedQueryShape(query_vectors, batch);
  if (top_k > kMaxTopK) throw py::value_error("top_k must not exceed 4294967295.");
  const float* in_data = query_vectors.data();
  QueryParams params;
  params.top_k = top_k;
  params.n_probes = n_probes;
  params.greedy = greedy;
  // The index never returns more items than it holds: a top_k past that
  // would only allocate padding (8 bytes x rows x top_k).
  uint64_t columns = 0;
  const QueryResult result = CallNative(self.lock, [&] {
    Array2D<float> matrix;
    matrix.rows = shape.rows;
    matrix.cols = shape.cols;
    if (matrix.size() != 0) {
      matrix.AllocateOwned(matrix.size());
      std::memcpy(matrix.data, in_data, matrix.size() * sizeof(float));
    }
    QueryResult answer = self.index->Query(matrix, params);
    // The count of the counter map the query loaded: no second store read.
    columns = std::min<uint64_t>(top_k, self.index->loaded_num_vectors());
    return answer;
  });
  py::array_t<int64_t> out =
      batch ? py::array_t<int64_t>({shape.rows, static_cast<size_t>(columns)})
            : py::array_t<int64_t>(static_cast<py::ssize_t>(columns));
  int64_t* out_data = out.mutable_data();
  CallNative(nullptr, [&] { FillIds(result, shape.rows, columns, batch, out_data); });
  return out;
}

}  // namespace nivora::python
