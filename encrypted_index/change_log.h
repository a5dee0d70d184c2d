// ChangeLog: how the clients of one index (threads, processes, machines)
// agree on which lists are live and learn what the others changed. Their
// one point of agreement is the change record (change_stamp.h), changed
// only by compare-and-set of its version; everything else a client keeps
// (RAM caches, a training's new lists) follows from it.
//
// A change (upsert, delete, centroid metadata, stored state):
//   1. The writer writes its records into the stores: into the lists of the
//      current generation it read, and the item stores.
//   2. It reads the record (version v) and stores, by compare-and-set on v,
//      the record with version v + 1, a new tag and its own entry (what it
//      wrote, ChangeEntry) appended to the recent entries. Entries that no
//      longer fit into the record are first written to the external log,
//      one item per version: a committed entry never changes, so writing it
//      twice (by a writer whose compare-and-set then fails) is harmless. A
//      refused compare-and-set starts step 2 again; step 1 is not redone.
//   3. When the record read in step 2 names another current generation, a
//      training replaced the lists meanwhile: the writer writes again on the
//      new ones. When it says the index is deleted (or is gone with the
//      index), the writer removes what it wrote and fails.
//   Once step 2 stored the record, the change is acknowledged: whoever reads
//   the record afterwards reads version v + 1 or later, and the entry of
//   every version up to it is in the record or in the external log.
//
// A reader (the start of every operation of the Index API):
//   1. Reads the record. Its RAM caches hold copies marked with the
//      (version, tag) they are complete up to.
//   2. A copy marked with the record's stamp is current. Otherwise, when the
//      entries after its mark are all known (Since) and none is whole, it
//      rereads just the keys those entries name and is marked with the
//      stamp; else it is refilled in full.
//   Afterwards the caches hold every change acknowledged before step 1. A
//   writer whose compare-and-set succeeded marks its own copies current at
//   its new version when they were current at v: its entry is its own.
//
// A training:
//   1. Claims a generation g: stores the record with pending = g and
//      highest = g. A later claim replaces the claim: the earlier training
//      can no longer commit, its lists are left to collection.
//   2. Reads every item and builds g's lists beside the current ones.
//   3. Takes in the items that the entries since its read name (all items
//      again when the log does not reach back that far), round after round,
//      each round only what was logged since the one before.
//   4. Commits: from the record whose changes it has taken in, stores the
//      record naming g current and no claim, by one compare-and-set; when
//      that is refused, back to step 3.
//   5. Collects: every generation up to `highest` that the record does not
//      name (neither current nor pending) has its lists and state removed,
//      found by asking the stores what they hold under each generation's ids.
//
// Deleting the index: marks the record deleted (compare-and-set), removes
// every generation up to `highest`, the external log and the items, then
// the record. A writer that reaches step 2 after the mark fails, and removes
// what it wrote.
//
// Thread safety: none of its own (it belongs to one engine Client).
#ifndef NIVORA_ENCRYPTED_INDEX_CHANGE_LOG_H_
#define NIVORA_ENCRYPTED_INDEX_CHANGE_LOG_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "backing_store/keystore.h"
#include "encrypted_index/change_stamp.h"
#include "encrypted_index/cryptography/secret.h"

namespace nivora_encrypted_index {

class ChangeLog {
 public:
  // Entries kept in the record itself, and their keys at most.
  static constexpr size_t kRecentEntries = 32;
  static constexpr size_t kRecentKeys = 1024;
  // An entry naming more keys is logged as whole (a bulk write: readers
  // refill, trainings reread).
  static constexpr size_t kMaxEntryKeys = 512;
  // Versions the external log keeps behind the newest.
  static constexpr uint64_t kExternalVersions = uint64_t{1} << 16;
  // Since reads at most this many versions from the external log.
  static constexpr uint64_t kMaxCatchUpVersions = uint64_t{1} << 15;

  // Borrows the INDEX keystore and the index key, which must outlive it.
  // The record lives under index_id, the external log under log_id.
  ChangeLog(internal::backing_store::Keystore* store, uint64_t index_id, uint64_t log_id,
            const internal::cryptography::Key* key);

  // The record as stored now, read from the store itself (one read). No
  // record gives version 0 and zero tags. A record that does not decrypt
  // under the key throws std::runtime_error.
  ChangeRecord Read() const;

  // The record that follows `seen`: version + 1, a fresh tag, the rest as
  // seen. Callers change what their change changes, then Append and Push.
  static ChangeRecord Next(const ChangeRecord& seen);
  // Adds `entry` as the entry of next's version (an entry naming more than
  // kMaxEntryKeys keys is kept as whole, without them).
  static void Append(ChangeRecord& next, ChangeEntry entry);

  // One compare-and-set from seen.stamp.version to `next` (whose version
  // must be one more). The oldest entries that do not fit into the record
  // go to the external log first. False when another change came first.
  bool Push(const ChangeRecord& seen, ChangeRecord next);

  // The entries after `from` up to now's version, oldest first; nullopt
  // when the log does not reach back to `from` or `from` is of another
  // history (the entry of its version has another tag). One read of the
  // store at most (only when older entries than the record's are needed).
  std::optional<std::vector<ChangeEntry>> Since(const ChangeRecord& now,
                                                const internal::backing_store::CacheMark& from) const;

  // Removes the external log (the record goes with the index's INDEX items).
  void DropExternal();

  // The pause before trying a refused compare-and-set of the record again:
  // none for the first few attempts (the change that won is logged by
  // then), then a short random one, so that competing writers spread out.
  static void PauseAfterRefusal(int attempt);

 private:
  // Moves the entries that do not fit from next.recent to the external log.
  void Evict(ChangeRecord& next);

  internal::backing_store::Keystore* store_;
  uint64_t index_id_;
  uint64_t log_id_;
  const internal::cryptography::Key* key_;
};

}  // namespace nivora_encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_CHANGE_LOG_H_
