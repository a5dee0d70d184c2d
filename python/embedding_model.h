// Loads a text-embedding model of the optional Python package
// sentence_transformers by name. The package is imported at each call (no
// model is kept between calls) and only when a model is named.
//
// Runs with the GIL held (it takes it for its own duration); the returned
// model object is to be used with the GIL held.
#ifndef NIVORA_PYTHON_EMBEDDING_MODEL_H_
#define NIVORA_PYTHON_EMBEDDING_MODEL_H_

#include <pybind11/pybind11.h>

#include <string>

namespace nivora {

// sentence_transformers.SentenceTransformer(model_name). Throws
// std::runtime_error "To use automatic embedding functionality, please
// install the required dependency: pip install nivoradb-core[embeddings]"
// when the package cannot be imported, and, after one "Python Exception: "
// line on standard error, "Failed to load embedding model: <error>" when
// the model cannot be built.
pybind11::object LoadEmbeddingModel(const std::string& model_name);

// The dimension the model reports through
// get_sentence_embedding_dimension(). Throws std::runtime_error "Unable to
// determine embedding dimension for model: <name>" when it reports None and
// std::invalid_argument "Invalid embedding dimension for model: <name>"
// when it reports 0 or less; a non-integer fails with pybind11's cast error.
int EmbeddingDimension(const pybind11::object& model, const std::string& model_name);

}  // namespace nivora

#endif  // NIVORA_PYTHON_EMBEDDING_MODEL_H_
