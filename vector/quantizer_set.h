// The trained quantizers of one index: QuantizerSet with its element records
// Codebook (one k-means result) and SQQuantizer (one scalar quantizer).
//
// Ownership: a set owns all its members. A Codebook's centroid storage is
// shared with every Array2D (and Codebook) copied from it; Clone() gives an
// independent copy. A whole set is never copied, only moved; a move leaves
// the source empty. The records are plain values without locks: share a set
// between threads for reading only.
//
// Plaintext quantizers are secrets: the code that loads a set wipes its
// values when the operation ends (the records do not wipe themselves).
#ifndef NIVORA_VECTOR_QUANTIZER_SET_H_
#define NIVORA_VECTOR_QUANTIZER_SET_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "core/array2d.h"

namespace nivora::internal::vector_index {

// The k-means result for one subspace.
struct Codebook {
  int32_t k = 0;             // number of codewords, as stored (read as unsigned)
  Array2D<float> centroids;  // k rows x sub-dimension columns; row q is codeword q

  // A copy with its own centroid storage holding the same values.
  Codebook Clone() const;
};

// Scalar quantizer over all dimensions: code = round((x - min) / scale),
// clamped to [0, 2^bits - 1]; value = code * scale + min.
struct SQQuantizer {
  int32_t bits = 8;          // code width, 8 or 16
  std::vector<float> min;    // per-dimension minimum; its size is the dimension
  std::vector<float> scale;  // per-dimension step, positive
};

// Base of the objects an AuxEntry owns; nothing in this system makes one.
struct AuxObject {
  virtual ~AuxObject() = default;
};

// Reserved slot: two owned objects and a flag. Always absent in this system.
struct AuxEntry {
  std::unique_ptr<AuxObject> first;
  std::unique_ptr<AuxObject> second;  // released before first
  uint8_t flag = 0;
};

struct QuantizerSet {
  std::vector<Codebook> centroids;        // coarse: empty, or one codebook of n_lists rows
  std::vector<Codebook> pq_codebooks;     // IVFPQ: pq_dim codebooks of 2^pq_bits rows
  std::vector<SQQuantizer> sq_quantizers; // IVFSQ: one quantizer
  std::vector<AuxEntry> aux_entries;      // always empty in this system
  Array2D<unsigned char> aux_matrix;      // the quantizer cache's decrypted block, or empty

  QuantizerSet() = default;
  QuantizerSet(const QuantizerSet&) = delete;
  QuantizerSet& operator=(const QuantizerSet&) = delete;
  // Take all five members; the source is left empty.
  QuantizerSet(QuantizerSet&& other) noexcept;
  QuantizerSet& operator=(QuantizerSet&& other) noexcept;
  // Releases aux_matrix, the aux entries last to first, the SQ quantizers,
  // the PQ codebooks, then the coarse codebooks.
  ~QuantizerSet();

 private:
  void Release() noexcept;
};

}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_QUANTIZER_SET_H_
