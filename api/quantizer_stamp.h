// What identifies the trained state a quantizer set belongs to: the trained
// flag, the quantizer version, n_lists and the stored state's tag. The quantizer cache serves a set
// only to an index whose own stamp is equal; the stored-state reader and the
// cache check that a set has the coarse shape its stamp promises. Also the
// wipe of a set's plaintext values. Plain functions; no state.
#ifndef NIVORA_API_QUANTIZER_STAMP_H_
#define NIVORA_API_QUANTIZER_STAMP_H_

#include <cstddef>
#include <cstdint>

#include "vector/quantizer_set.h"

namespace nivora::internal {

struct QuantizerStamp {
  bool trained = false;       // Default: false
  int32_t version = 0;        // quantizer version. Default: 0
  size_t n_lists = 0;         // the index configuration's n_lists. Default: 0
  // The stored state's tag (the change stamp's state_tag) the set was read
  // or written under: a state stored anew (an index deleted and created
  // again, say) never matches a set of the one before. Default: 0
  uint64_t state_tag = 0;

  bool operator==(const QuantizerStamp&) const = default;
};

// True when the coarse quantizer of set is what stamp promises: trained, one
// codebook with k = rows = n_lists (n_lists > 0) and at least one column;
// untrained, no codebook at all.
bool CoarseShapeMatches(const vector_index::QuantizerSet& set, const QuantizerStamp& stamp);

// Zero-fills the plaintext of set: every coarse and PQ centroid value and
// every SQ min and scale value, and the decrypted cache block in aux_matrix
// that the codebooks of a set taken from the cache point into; sizes are
// kept. Aux entries lose their objects and flag.
void WipeQuantizers(vector_index::QuantizerSet& set);

}  // namespace nivora::internal

#endif  // NIVORA_API_QUANTIZER_STAMP_H_
