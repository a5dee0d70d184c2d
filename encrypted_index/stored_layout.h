// The fixed points of an encrypted index's stored layout and the keys of an
// item's records in the six stores.
//
// Every item is known to storage only by its id hash h = D64(K_vectors ||
// id), the key of its VECTORS row; its METADATA, ID and CONTENTS records are
// stored under D64(K || LE64(h)) with the sub-key of that store. Token
// entries (INDEX) are keyed by position tokens (position_tree.h); the
// counter map and the change stamp are versioned maps under fixed keys of the
// INDEX store;
// centroid metadata lives in the INDEX store under D64(K_centroid_metadata
// || field name), and the place of an item's current token (its location
// record, below) under D64(K_location || LE64(h)). The METADATA, ID and
// CONTENTS stores keep everything under the index id. The INDEX and VECTORS
// stores (the lists: tokens, location records, counter map, centroid
// metadata, payload rows) keep it under the list id of the current
// generation: the index id for generation 0, else the first 8 bytes of
// HMAC(index key, name || ".lists." || generation) read big-endian. The
// state of generation 0 is config item "<name>.nvs"; of generation g > 0,
// "<name>.nvs.<g>".
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
// The change stamp's map item and version item in the INDEX store
// (change_stamp.h).
inline constexpr uint64_t kChangeStampKey = 0xFFFFFFFFFFFFFFFEULL;
inline constexpr uint64_t kChangeStampVersionKey = 43;
// Width of an INDEX store value: the masked id hash, little-endian.
inline constexpr size_t kIndexValueSize = 8;

// The generation record's map item and version item in the INDEX store,
// under the index id (beside the change stamp, which names the current
// generation): which generation a training is building and which ones
// trainings left to remove.
inline constexpr uint64_t kGenerationRecordKey = 0xFFFFFFFFFFFFFFFDULL;
inline constexpr uint64_t kGenerationVersionKey = 44;

// A location record's plaintext: the centroid (LE32) and position (LE32) of
// the token an item was last ingested under. Items written before such
// records existed have none.
inline constexpr size_t kLocationSize = 8;

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

// A config item or the counter map is one record that exists once written,
// so a zero head there (which fixed-size decryption skips as an absent
// item) is a forged or damaged value, not a missing one. Throws
// std::runtime_error "Decryption failed for <n> items" for the n records
// of at least 28 bytes whose first 16 bytes are zero; shorter records are
// left to decryption's size check.
void RequirePresentRecords(const uint8_t* data, size_t rows, size_t record_size);

// The keys of each id, in order.
ItemKeys DeriveItemKeys(const std::vector<std::string>& ids, const cryptography::Key& vectors_key,
                        const cryptography::Key& metadata_key, const cryptography::Key& id_key,
                        const cryptography::Key& contents_key);

}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_STORED_LAYOUT_H_
