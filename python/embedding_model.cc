#include "python/embedding_model.h"

#include <iostream>
#include <stdexcept>

namespace py = pybind11;

namespace nivora {

py::object LoadEmbeddingModel(const std::string& model_name) {
  py::gil_scoped_acquire gil;
  py::module_ package;
  try {
    package = py::module_::import("sentence_transformers");
  } catch (py::error_already_set&) {
    throw std::runtime_error(
        "To use automatic embedding functionality, please install the required dependency: "
        "pip install nivoradb-core[embeddings]");
  }
  try {
    // A name that is not valid UTF-8 fails here too, as a Python error.
    py::str name(model_name.data(), model_name.size());
    return package.attr("SentenceTransformer")(name);
  } catch (py::error_already_set& e) {
    std::cerr << "Python Exception: " << e.what() << std::endl;
    throw std::runtime_error(std::string("Failed to load embedding model: ") + e.what());
  }
}

int EmbeddingDimension(const py::object& model, const std::string& model_name) {
  const py::object reported = model.attr("get_sentence_embedding_dimension")();
  if (reported.is_none()) {
    throw std::runtime_error("Unable to determine embedding dimension for model: " + model_name);
  }
  const int dimension = reported.cast<int>();
  if (dimension <= 0) {
    throw std::invalid_argument("Invalid embedding dimension for model: " + model_name);
  }
  return dimension;
}

}  // namespace nivora
