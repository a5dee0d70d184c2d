#include "python/value_classes.h"

#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/db_config.h"
#include "core/index_config.h"
#include "core/logger.h"

namespace py = pybind11;

namespace nivora::python {
namespace {

using OptionalSize = std::optional<uint64_t>;

// ---- docstrings ----------------------------------------------------------

constexpr const char* kConfigureDoc = R"(
                Configure the logger instance.

                Args:
                    level (str): The log level: "info", "warning", "error" or "critical".
                        Messages below it are dropped; debug() messages are never written.
                    to_file (bool): Whether to write logs to a file.
                    file_path (str, optional): Path to the log file.
            )";

constexpr const char* kIndexConfigDoc =
    "Abstract base class for index configurations. This class provides the core properties of "
    "an index configuration, including dimension, distance metric and index type";

constexpr const char* kDimensionDoc = R"(Get the vector dimensionality.

Returns:
    int: The dimensionality of the vectors stored in the index.)";

constexpr const char* kMetricDoc = R"(Get the distance metric used in the index.

Returns:
    string: The distance metric (euclidean, cosine, or squared_euclidean).)";

constexpr const char* kIndexTypeDoc = R"(Get the index type as a lowercase string.

Returns:
    str: The type of the index (e.g., 'ivf', 'ivfpq', 'ivfflat').)";

constexpr const char* kNListsDoc = R"(Get the number of lists (coarse clusters) in the index.

Returns:
    int: The number of lists, relevant for certain index types (e.g., IVF, IVFPQ).)";

constexpr const char* kPqDimDoc = R"(Get the Product Quantization (PQ) dimension, if applicable.

Returns:
    int: The PQ dimension, or 0 if not applicable.)";

constexpr const char* kPqBitsDoc = R"(Get the number of bits per PQ code, if applicable.

Returns:
    int: The number of bits per PQ code, or 0 if not applicable.)";

constexpr const char* kCloneDoc = R"(Clone this IndexConfig object.

Returns:
    IndexConfig: A unique pointer to a cloned IndexConfig object.)";

constexpr const char* kDimensionParam =
    "    dimension (int, optional): The dimensionality of the vectors. If not given, "
    "auto-detected from the first upsert() call.";

constexpr const char* kSubclassNListsReturns = R"(

Returns:
    int: The number of coarse clusters (lists) in the index.)";

std::string SubclassConstructorDoc(const char* type_name, const char* extra_params) {
  return std::string("Initialize the ") + type_name +
         " index configuration.\n\nParameters:\n" + kDimensionParam + extra_params;
}

std::string SubclassNListsDoc(const char* type_name) {
  return std::string("Get the number of lists in the ") + type_name + " index." +
         kSubclassNListsReturns;
}

constexpr const char* kIvfpqParams =
    "\n    pq_dim (int, optional): The number of Product Quantization sub-vectors. If not given "
    "(0), will be set to dimension during first upsert.\n"
    "    pq_bits (int, optional): The number of bits per quantizer. Defaults to 8.";

constexpr const char* kIvfsqParams =
    "\n    sq_bits (int): Number of bits for scalar quantization (8 or 16). Defaults to 8.";

constexpr const char* kIvfpqPqDimDoc =
    R"(Get the Product Quantization (PQ) dimension for the IVFPQ index.

Returns:
    int: The dimensionality of PQ codes.)";

constexpr const char* kIvfpqPqBitsDoc = R"(Get the number of bits per quantizer in the IVFPQ index.

Returns:
    int: The number of bits per quantizer.)";

constexpr const char* kSqBitsDoc = R"(Get the number of bits for scalar quantization.

Returns:
    int: The number of bits (8 or 16).)";

constexpr const char* kDBConfigDoc = R"(A storage location of a Client.

Args:
    location (str): "memory" (this client only; load_index refuses it), "threadsafememory"
        (shared by the clients of this process), "rocksdb" (an embedded store in a local
        folder), "redis" or "postgres".
    table_name (str, optional): For "redis", the hash of index configurations; for
        "postgres", the table. Required by both; not read by the others.
    connection_string (str, optional): For "rocksdb", the data folder (~/.nivoradb/data when
        not given); for "redis", key:value pairs ("host:H,port:P,db:N[,ssl:true,...]"); for
        "postgres", a libpq connection string.

Raises:
    ValueError: If location is none of these.

Example:
    >>> location = DBConfig("threadsafememory")
    >>> client = Client("your_api_key", location, location, location)
)";

constexpr const char* kGpuConfigDoc = "Configuration for GPU operations.";

constexpr const char* kGpuConfigInitDoc = R"(Initialize the GPU operations configuration.

Args:
    upsert (bool): Enable GPU for upsert operations.
    train (bool): Enable GPU for training operations.)";

// ---- registration --------------------------------------------------------

void RegisterDBConfig(py::module_& m) {
  py::class_<DBConfig, std::unique_ptr<DBConfig>>(m, "DBConfig", kDBConfigDoc)
      .def(py::init([](const std::string& location, std::optional<std::string> table_name,
                       std::optional<std::string> connection_string) {
             return std::make_unique<DBConfig>(LocationFromString(location),
                                               std::move(table_name),
                                               std::move(connection_string));
           }),
           py::arg("location"), py::arg("table_name") = py::none(),
           py::arg("connection_string") = py::none());
}

void RegisterLogger(py::module_& m) {
  // Python never owns the process-wide logger: the holder is never built
  // for it, and it reaches Python by reference only.
  py::class_<Logger, std::unique_ptr<Logger, py::nodelete>>(m, "Logger")
      .def_static("instance", &Logger::instance, py::return_value_policy::reference)
      .def(
          "configure",
          [](Logger& logger, const std::string& level, bool to_file,
             std::optional<std::string> file_path) {
            logger.configure(level, to_file, file_path);
          },
          py::arg("level"), py::arg("to_file") = false, py::arg("file_path") = py::none(),
          kConfigureDoc)
      .def("info", &Logger::info, py::arg("message"), py::pos_only())
      .def("debug", &Logger::debug, py::arg("message"), py::pos_only())
      .def("warning", &Logger::warning, py::arg("message"), py::pos_only())
      .def("error", &Logger::error, py::arg("message"), py::pos_only())
      .def("critical", &Logger::critical, py::arg("message"), py::pos_only());
}

void RegisterIndexConfig(py::module_& m) {
  py::class_<IndexConfig, std::shared_ptr<IndexConfig>>(m, "IndexConfig", kIndexConfigDoc)
      .def_property_readonly("dimension", &IndexConfig::dimension, kDimensionDoc)
      .def_property_readonly(
          "metric", [](const IndexConfig& config) { return MetricToString(config.metric_); },
          kMetricDoc)
      .def_property_readonly(
          "index_type",
          [](const IndexConfig& config) { return IndexTypeToString(config.index_type_); },
          kIndexTypeDoc)
      .def_property_readonly("n_lists", &IndexConfig::n_lists, kNListsDoc)
      .def("pq_dim", &IndexConfig::pq_dim, kPqDimDoc)
      .def("pq_bits", &IndexConfig::pq_bits, kPqBitsDoc)
      // The clone keeps its most-derived class: pybind11 looks the dynamic
      // type up, so cloning an IndexIVFPQ gives an IndexIVFPQ.
      .def(
          "clone",
          [](const IndexConfig& config) { return std::shared_ptr<IndexConfig>(config.clone()); },
          kCloneDoc);
}

template <typename Config>
using ConfigClass = py::class_<Config, IndexConfig, std::shared_ptr<Config>>;

void RegisterIndexIVFPQ(py::module_& m) {
  ConfigClass<IndexIVFPQ>(m, "IndexIVFPQ",
                          "Configuration for an IVFPQ index, which uses Product Quantization "
                          "for coarse clustering.")
      .def(py::init([](OptionalSize dimension, OptionalSize pq_dim, OptionalSize pq_bits) {
             return std::make_shared<IndexIVFPQ>(dimension.value_or(0), pq_dim.value_or(0),
                                                 pq_bits.value_or(8));
           }),
           py::arg("dimension") = py::none(), py::arg("pq_dim") = py::none(),
           py::arg("pq_bits") = py::none(),
           SubclassConstructorDoc("IVFPQ", kIvfpqParams).c_str())
      .def_property_readonly("n_lists", &IndexIVFPQ::n_lists, SubclassNListsDoc("IVFPQ").c_str())
      .def("pq_dim", [](const IndexIVFPQ& c) { return c.pq_dim_; }, kIvfpqPqDimDoc)
      .def("pq_bits", [](const IndexIVFPQ& c) { return c.pq_bits_; }, kIvfpqPqBitsDoc);
}

template <typename Config>
void RegisterDimensionOnlyConfig(py::module_& m, const char* name, const char* type_name,
                                 const char* class_doc) {
  ConfigClass<Config>(m, name, class_doc)
      .def(py::init([](OptionalSize dimension) {
             return std::make_shared<Config>(dimension.value_or(0));
           }),
           py::arg("dimension") = py::none(), SubclassConstructorDoc(type_name, "").c_str())
      .def_property_readonly("n_lists", &Config::n_lists, SubclassNListsDoc(type_name).c_str());
}

void RegisterIndexIVFSQ(py::module_& m) {
  ConfigClass<IndexIVFSQ>(m, "IndexIVFSQ",
                          "Configuration for an IVFSQ index, which uses scalar quantization for "
                          "vector compression.")
      .def(py::init([](OptionalSize dimension, uint64_t sq_bits) {
             return std::make_shared<IndexIVFSQ>(dimension.value_or(0), sq_bits);
           }),
           py::arg("dimension") = py::none(), py::arg("sq_bits") = 8,
           SubclassConstructorDoc("IVFSQ", kIvfsqParams).c_str())
      .def_property_readonly("n_lists", &IndexIVFSQ::n_lists, SubclassNListsDoc("IVFSQ").c_str())
      .def("sq_bits", &IndexIVFSQ::sq_bits, kSqBitsDoc);
}

const char* PythonBool(bool value) { return value ? "True" : "False"; }

void RegisterGPUConfig(py::module_& m) {
  py::class_<GpuFlags, std::unique_ptr<GpuFlags>>(m, "GPUConfig", kGpuConfigDoc)
      .def(py::init([](bool upsert, bool train) {
             GPUConfig flags = GPUConfig::NONE;
             if (upsert) flags = flags | GPUConfig::UPSERT;
             if (train) flags = flags | GPUConfig::TRAIN;
             return std::make_unique<GpuFlags>(GpuFlags{flags});
           }),
           py::arg("upsert") = false, py::arg("train") = false, kGpuConfigInitDoc)
      .def_property_readonly("upsert",
                             [](const GpuFlags& g) { return HasFlag(g.value, GPUConfig::UPSERT); })
      .def_property_readonly("train",
                             [](const GpuFlags& g) { return HasFlag(g.value, GPUConfig::TRAIN); })
      .def_property_readonly("query",
                             [](const GpuFlags& g) { return HasFlag(g.value, GPUConfig::QUERY); })
      .def_property_readonly("all", [](const GpuFlags& g) { return g.value == GPUConfig::ALL; })
      .def_property_readonly("none", [](const GpuFlags& g) { return g.value == GPUConfig::NONE; })
      .def("__repr__",
           [](const GpuFlags& g) {
             return std::string("GPUConfig(upsert=") +
                    PythonBool(HasFlag(g.value, GPUConfig::UPSERT)) +
                    ", train=" + PythonBool(HasFlag(g.value, GPUConfig::TRAIN)) +
                    ", query=" + PythonBool(HasFlag(g.value, GPUConfig::QUERY)) + ")";
           })
      // A plain method, not an operator: it sets __hash__ to None.
      .def("__eq__", [](const GpuFlags& a, const GpuFlags& b) { return a.value == b.value; },
           py::arg("other"), py::pos_only());
}

}  // namespace

void RegisterValueClasses(py::module_& m) {
  RegisterDBConfig(m);
  RegisterLogger(m);
  RegisterIndexConfig(m);
  RegisterIndexIVFPQ(m);
  RegisterDimensionOnlyConfig<IndexIVF>(
      m, "IndexIVF", "IVF",
      "Configuration for an IVF index, which uses inverted file lists for coarse clustering.");
  RegisterDimensionOnlyConfig<IndexIVFFlat>(
      m, "IndexIVFFlat", "IVFFlat",
      "Configuration for an IVFFlat index, which uses flat quantization for coarse clustering.");
  RegisterIndexIVFSQ(m);
  RegisterGPUConfig(m);
}

}  // namespace nivora::python
