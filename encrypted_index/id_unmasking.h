// Unmasking of the INDEX store's entries: each 8-byte value is an item id
// hash XOR the pad of its token (position_tree.h).
#ifndef NIVORA_ENCRYPTED_INDEX_ID_UNMASKING_H_
#define NIVORA_ENCRYPTED_INDEX_ID_UNMASKING_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/array2d.h"

namespace nivora_encrypted_index::internal::encrypted_index {

// Whether a fixed-size row read from a store holds a value: keystores read
// an absent key as a row of zeros.
inline bool HasNonZeroByte(const uint8_t* row, size_t size) {
  uint8_t any = 0;
  for (size_t i = 0; i < size; ++i) any |= row[i];
  return any != 0;
}

// Per row i: the 8 bytes read little-endian, XOR pads[i]. Checks, each
// logged at ERROR through the engine logger, then thrown as
// std::invalid_argument: rows not 8 bytes wide ("Invalid encrypted item ID
// size"); fewer pads than rows ("value_hashes size must be at least the
// number of encrypted_item_id_SHAs rows"). Extra pads are ignored.
std::vector<uint64_t> DecryptItemIdSHAs(const nivora::Array2D<uint8_t>& encrypted_item_id_SHAs,
                                        const uint64_t* pads, size_t n_pads);
std::vector<uint64_t> DecryptItemIdSHAs(const nivora::Array2D<uint8_t>& encrypted_item_id_SHAs,
                                        const std::vector<uint64_t>& value_hashes);

}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_ID_UNMASKING_H_
