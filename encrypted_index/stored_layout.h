// The fixed points of an encrypted index's stored layout and the keys of an
// item's records in the six stores.
//
// Every item is known to storage only by its id hash h = D64(K_vectors ||
// id), the key of its VECTORS row; its METADATA, ID and CONTENTS records are
// stored under D64(K || LE64(h)) with the sub-key of that store. Token
// entries (INDEX) are keyed by position tokens (position_tree.h); the
// counter map is a versioned map under two fixed keys of the INDEX store;
// centroid metadata lives in the INDEX store under D64(K_centroid_metadata
// || field name). Everything in the INDEX, VECTORS, METADATA, ID and
// CONTENTS stores is kept under the index id.
#ifndef NIVORA_ENCRYPTED_INDEX_STORED_LAYOUT_H_
#define NIVORA_ENCRYPTED_INDEX_STORED_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "encrypted_index/cryptography/secret.h"

namespace nivora_encrypted_index::internal::encrypted_index {

// The counter map's map item and version item in the INDEX store.
inline constexpr uint64_t kCounterMapKey = 0xFFFFFFFFFFFFFFFFULL;
inline constexpr uint64_t kCounterMapVersionKey = 42;
// Width of an INDEX store value: the masked id hash, little-endian.
inline constexpr size_t kIndexValueSize = 8;

// Suffixes of the two config items of an index.
inline constexpr const char* kEngineConfigSuffix = ".nei";
inline constexpr const char* kIndexStateSuffix = ".nvs";

// The keys of a list of items in every store that holds their records.
struct ItemKeys {
  std::vector<uint64_t> id_hashes;      // VECTORS keys
  std::vector<uint64_t> metadata_keys;  // METADATA keys
  std::vector<uint64_t> id_keys;        // ID keys
  std::vector<uint64_t> contents_keys;  // CONTENTS keys
};

// The keys of each id, in order.
ItemKeys DeriveItemKeys(const std::vector<std::string>& ids, const cryptography::Key& vectors_key,
                        const cryptography::Key& metadata_key, const cryptography::Key& id_key,
                        const cryptography::Key& contents_key);

}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_STORED_LAYOUT_H_
