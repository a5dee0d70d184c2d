// Range check of centroid ids against the per-centroid tables they index
// (counter map, salts and seeds), done before anything is read or written.
#ifndef NIVORA_ENCRYPTED_INDEX_CENTROID_RANGE_H_
#define NIVORA_ENCRYPTED_INDEX_CENTROID_RANGE_H_

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace nivora_encrypted_index::internal::encrypted_index {

// Throws std::out_of_range "Centroid id <id> is out of range for <size>
// <table>" for the first id that is not below size.
inline void CheckCentroidIds(const std::vector<uint32_t>& centroid_ids, size_t size,
                             const char* table) {
  for (uint32_t c : centroid_ids) {
    if (c >= size) {
      throw std::out_of_range("Centroid id " + std::to_string(c) + " is out of range for " +
                              std::to_string(size) + " " + table);
    }
  }
}

}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_CENTROID_RANGE_H_
