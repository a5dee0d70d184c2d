// The change stamp of an index: one small record in the INDEX store that
// every mutating operation of every client advances by compare-and-set after
// its writes, so that any client can tell, in one read, whether the index
// changed since it last looked (and whether its stored state, the
// configuration and quantizers, changed too).
//
// Stored as a versioned map (Keystore::PushMap / GetMapImpl) under
// kChangeStampKey / kChangeStampVersionKey of the INDEX store, beside the
// counter map. Its version counts the advances; its record is the two random
// tags below, encrypted under the index key like the counter map. An index
// written before the stamp existed, or one whose INDEX store was emptied
// (deleted, rebuilt by training), reads as the zero stamp until the next
// advance.
//
// Plain record and codec; no state, safe from any thread.
#ifndef NIVORA_ENCRYPTED_INDEX_CHANGE_STAMP_H_
#define NIVORA_ENCRYPTED_INDEX_CHANGE_STAMP_H_

#include <cstdint>
#include <vector>

#include "backing_store/keystore.h"

namespace nivora_encrypted_index {

struct ChangeStamp {
  uint64_t version = 0;    // advances since the record was created; 0: none stored
  uint64_t tag = 0;        // random, new at every advance: tells two histories
                           // that reached one version apart
  uint64_t state_tag = 0;  // random, new at every advance of kind kState and
                           // carried over by the others
  uint64_t generation = 0;  // the current generation of the lists (client.h);
                            // changed only by a training's commit

  bool operator==(const ChangeStamp&) const = default;
  // What a RAM cache's copy filled after reading this stamp is marked with.
  internal::backing_store::CacheMark mark() const { return {version, tag}; }
};

// What an advance reports.
enum class ChangeKind {
  kItems,  // items, tokens, counters or centroid metadata changed
  kState,  // the stored state changed too ("<name>.nvs" or "<name>.nei")
};

namespace internal::encrypted_index {

// The record's plaintext: tag, state_tag and generation, little-endian (24
// bytes). A record of the first two alone (16 bytes) is of generation 0.
inline constexpr size_t kChangeRecordSize = 24;
inline constexpr size_t kChangeRecordSizeWithoutGeneration = 16;

std::vector<uint8_t> EncodeChangeRecord(const ChangeStamp& stamp);
// The stamp of a decrypted record of either size above, with `version`.
// Another size throws std::runtime_error "Invalid change stamp record".
ChangeStamp DecodeChangeRecord(const uint8_t* plain, size_t size, uint64_t version);
// A fresh random tag, never 0. Throws std::runtime_error when the random
// source fails.
uint64_t NewChangeTag();

}  // namespace internal::encrypted_index
}  // namespace nivora_encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_CHANGE_STAMP_H_
