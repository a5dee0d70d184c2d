// The change record of an index and its codec: one small record in the INDEX
// store that says which lists are live, counts every change of the index
// and carries the last few changes themselves (the protocol that uses it is
// in change_log.h).
//
// Stored as a versioned map (Keystore::PushMap / GetMapImpl) under
// kChangeStampKey / kChangeStampVersionKey of the INDEX store, beside the
// counter map. Its version counts the changes; its plaintext (below),
// encrypted under the index key like the counter map, holds the stamp's
// random tags, the live generations of the lists and the recent entries of
// the change log. An index written before the stamp existed, or one whose
// INDEX store was emptied, reads as the zero stamp until the next change.
//
// Plain records and codec; no state, safe from any thread.
#ifndef NIVORA_ENCRYPTED_INDEX_CHANGE_STAMP_H_
#define NIVORA_ENCRYPTED_INDEX_CHANGE_STAMP_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "backing_store/keystore.h"

namespace nivora_encrypted_index {

// No generation (a pending field with no training claim).
inline constexpr uint64_t kNoGeneration = ~uint64_t{0};

struct ChangeStamp {
  uint64_t version = 0;    // changes since the record was created; 0: none stored
  uint64_t tag = 0;        // random, new at every change: tells two histories
                           // that reached one version apart
  uint64_t state_tag = 0;  // random, new at every change of kind kState and
                           // carried over by the others
  uint64_t generation = 0;  // the current generation of the lists; changed
                            // only by a training's commit
  uint64_t pending = kNoGeneration;  // the generation a training is building
  uint64_t highest = 0;              // the highest generation ever handed out
  // Generations 1 .. legacy_below - 1 keep their lists under ids of the
  // earlier derivation (client.h ListIdOf). Default: 1 (none).
  uint64_t legacy_below = 1;
  bool deleted = false;  // the index is being deleted: every write fails
  // A training holds the writes back for the commit of `pending`: a change
  // not logged yet waits for that commit (change_log.h).
  bool held = false;
  // Read from a record of the earlier 16- or 24-byte form, which kept the
  // pending and replaced generations in a record of their own.
  bool earlier_form = false;

  bool operator==(const ChangeStamp&) const = default;
  // What a RAM cache's copy filled after reading this stamp is marked with.
  internal::backing_store::CacheMark mark() const { return {version, tag}; }
};

// What one change did, as far as the RAM caches of other clients need to
// know: the INDEX-store keys it wrote or removed in the lists of
// `generation` (tokens, centroid metadata) and the items (id hashes) whose
// records it wrote or removed (their VECTORS row, location record, and ID,
// METADATA and CONTENTS records). `whole`: anything may have changed.
struct ChangeEntry {
  uint64_t version = 0;  // of the stamp this change advanced to
  uint64_t tag = 0;      // that stamp's tag
  uint64_t generation = 0;
  bool whole = true;
  std::vector<uint64_t> index_keys;
  std::vector<uint64_t> items;

  bool operator==(const ChangeEntry&) const = default;
  size_t key_count() const { return index_keys.size() + items.size(); }
};

// The record as stored: the stamp and the newest entries of the log,
// oldest first, ending with the entry of stamp.version (when it has one).
struct ChangeRecord {
  ChangeStamp stamp;
  std::vector<ChangeEntry> recent;
};

// What a change reports.
enum class ChangeKind {
  kItems,  // items, tokens, counters or centroid metadata changed
  kState,  // the stored state changed too ("<name>.nvs" or "<name>.nei")
};

namespace internal::encrypted_index {

// Plaintext forms. Earlier releases wrote tag and state_tag (16 bytes),
// then also the generation (24 bytes), little-endian. This release writes
// those 24 bytes, a form byte (kChangeRecordForm), a flags byte (bit 0:
// deleted, bit 1: held), pending, highest and legacy_below (8 bytes each), the entry
// count (4 bytes), then per entry its version, tag and generation (8 bytes
// each), a flags byte (bit 0: whole), the counts of index keys and items
// (4 bytes each) and the keys (8 bytes each).
inline constexpr size_t kChangeRecordSizeWithoutGeneration = 16;
inline constexpr size_t kChangeRecordSizeWithoutLog = 24;
inline constexpr uint8_t kChangeRecordForm = 2;

std::vector<uint8_t> EncodeChangeRecord(const ChangeRecord& record);
// The record of a decrypted plaintext of any form above, with `version`.
// Anything else throws std::runtime_error "Invalid change stamp record".
ChangeRecord DecodeChangeRecord(const uint8_t* plain, size_t size, uint64_t version);

// One entry alone (the external log keeps entries one per item), in the
// entry layout above; DecodeChangeEntry throws std::runtime_error "Invalid
// change log entry" for anything else.
std::vector<uint8_t> EncodeChangeEntry(const ChangeEntry& entry);
ChangeEntry DecodeChangeEntry(const uint8_t* plain, size_t size);

// A fresh random tag, never 0. Throws std::runtime_error when the random
// source fails.
uint64_t NewChangeTag();

}  // namespace internal::encrypted_index
}  // namespace nivora_encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_CHANGE_STAMP_H_
