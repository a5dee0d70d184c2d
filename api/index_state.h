// The stored state of an index: one FlatBuffers buffer (root IndexStateTable,
// schema in index_state.fbs) holding the index name, its configuration, its
// trained quantizers, the trained flag and the quantizer version. The engine
// keeps it encrypted as config item "<index name>.nvs"; this file only turns
// the state into bytes and back.
//
// The reader is all or nothing: it returns a complete state whose quantizer
// shapes match its configuration, or throws and hands back nothing.
//
// The bytes and the returned sets hold plaintext quantizers: the caller
// wipes them when done (Cleanse, WipeQuantizers). Plain functions, no state;
// safe from any thread.
#ifndef NIVORA_API_INDEX_STATE_H_
#define NIVORA_API_INDEX_STATE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/quantizer_stamp.h"
#include "core/index_config.h"
#include "vector/quantizer_set.h"

namespace nivora {

namespace fb {
struct IndexConfigTable;
}  // namespace fb

// One index's state as read back from its buffer.
struct IndexState {
  std::string index_name;
  std::unique_ptr<IndexConfig> config;  // never null in a returned state
  internal::vector_index::QuantizerSet quantizers;
  bool trained = false;
  int32_t quantizer_version = 0;

  internal::QuantizerStamp stamp() const {
    return {trained, quantizer_version, config ? config->n_lists() : 0};
  }
};

// The finished buffer of the given state. Throws std::invalid_argument
// "Unknown index type" or "Unknown distance metric" for a code outside its
// range, and "Index state value too large to store" for a dimension, list
// count, PQ or SQ parameter or codebook width above 2^32 - 1 (the stored
// fields are 32 bits wide). Scratch of the builder is wiped; the returned
// bytes are the caller's to wipe.
std::vector<uint8_t> SerializeIndexState(const std::string& index_name, const IndexConfig& config,
                                         const internal::vector_index::QuantizerSet& quantizers,
                                         bool trained, int32_t quantizer_version);

// The state held by buffer. Throws std::invalid_argument:
// - "Could not deserialize index config: buffer is empty" for no bytes;
// - "Could not deserialize index config: buffer is invalid" when the buffer
//   fails verification (shorter than 12 bytes, bad root offset, any nested
//   table, string or vector out of bounds), lacks the name, the
//   configuration or a codebook's data, or holds quantizers whose shapes do
//   not match the configuration and trained flag (trained: one coarse
//   codebook of n_lists x dimension, IVFPQ pq_dim codebooks of 2^pq_bits x
//   dimension / pq_dim, IVFSQ one quantizer of sq_bits over the dimension;
//   untrained: none at all);
// - "Unknown index type" or "Unknown distance metric" from the configuration.
IndexState DeserializeIndexState(const std::vector<uint8_t>& buffer);

// A new configuration of the stored class, dimension, metric, embedding
// model (absent when the table holds none), type parameters and n_lists
// (absent fields read as 0, n_lists too). table points into a verified
// buffer; null throws the "buffer is invalid" error above. A type string
// that is not exactly one of "IVF", "IVFPQ", "IVFFLAT", "IVFSQ" throws
// std::invalid_argument "Unknown index type" (checked first); a metric that
// is not exactly "Cosine", "Euclidean" or "SquaredEuclidean" throws
// "Unknown distance metric".
std::unique_ptr<IndexConfig> ReadIndexConfigTable(const fb::IndexConfigTable* table);

}  // namespace nivora

#endif  // NIVORA_API_INDEX_STATE_H_
