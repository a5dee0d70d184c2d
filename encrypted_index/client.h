// nivora_encrypted_index::Client is the engine of one open encrypted index:
// it turns centroid assignments and item data into encrypted records and
// position tokens in six keystores and back, keeps the index's key schedule
// and its counter map, and stores its own configuration as the encrypted
// config item "<index name>.nei".
//
// Ownership: the engine borrows the six keystores and the logger, which
// must outlive it; it owns its counter map, salts and seeds, sub-keys and
// token cache, and wipes the key material when destroyed.
//
// Thread safety: none of its own. One Client is never used by two threads
// at once: calls on it must not overlap (the index layer serialises them).
// Every operation that writes to the stores logs its change in the index's
// change record (change_log.h states the protocol) once its writes are done,
// also when it fails after writing part of them; the Index API reads the
// record at the start of each operation and brings the RAM caches up to it
// (SyncCaches). Its parallel work runs in OpenMP regions inside its
// operations, on cpu_threads threads whichever thread calls: every public
// operation opens a nivora::ScopedThreadCount with it. Several Clients, in
// one process or several, may work on one index: they agree only through
// the stores, by compare-and-set of the change record and of the counter
// map. Every
// constructor also sets the calling thread's OpenMP default thread count (to
// cpu_threads, 1 when unset, unless that is 0 or less) and selects its logger
// as the engine-side logger for as long as the Client lives.
//
// Failures are exceptions: std::invalid_argument for bad arguments,
// std::runtime_error for failed operations; keystore exceptions pass through.
#ifndef NIVORA_ENCRYPTED_INDEX_CLIENT_H_
#define NIVORA_ENCRYPTED_INDEX_CLIENT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "backing_store/keystore.h"
#include "core/flags.h"
#include "core/item_batch.h"
#include "core/logger.h"
#include "core/parallel_for.h"
#include "encrypted_index/change_log.h"
#include "encrypted_index/change_stamp.h"
#include "encrypted_index/cryptography/secret.h"
#include "encrypted_index/ingest_tokens.h"
#include "encrypted_index/position_tree.h"
#include "encrypted_index/stored_layout.h"
#include "encrypted_index/token_cache.h"

namespace nivora_encrypted_index {

using internal::backing_store::Keystore;

// What opening a stored index needs; its sizes come from its stored
// engine configuration. Filled by the Index API.
struct ExistingIndexConfig {
  std::string index_name;
  std::array<uint8_t, 32> index_key{};  // the application's index key
  // The six stores in BackingStoreType order; borrowed.
  Keystore* index_keystore = nullptr;
  Keystore* config_keystore = nullptr;
  Keystore* contents_keystore = nullptr;
  Keystore* vectors_keystore = nullptr;
  Keystore* metadata_keystore = nullptr;
  Keystore* id_keystore = nullptr;
  std::optional<int> cpu_threads;     // OpenMP thread count. Default: unset, meaning 1
  std::optional<uint8_t> gpu_config;  // GPUConfig flags. Default: unset, meaning 0
};

// What creating an index needs: the same fields, then the sizes.
struct NewIndexConfig : ExistingIndexConfig {
  int32_t tree_depth = 32;  // depth of the position trees, 1 .. 32. Default: 32
  int32_t vocab_size = 1;   // number of centroids, at least 1. Default: 1
  size_t payload_size = 0;  // plaintext bytes of one VECTORS row. Default: 0
};

// A write of this client went into lists that a training replaced while it
// ran: the write may be missing from the current lists, and the caller must
// synchronise with the stored state and write again.
class ListsReplaced : public std::runtime_error {
 public:
  ListsReplaced()
      : std::runtime_error("The lists of this index were replaced by a training during this write") {}
};

class Client {
 public:
  // Creates a new index. Stores the engine configuration "<name>.nei" only
  // when no item of that name is stored, in one step of the config store
  // (Keystore::PushConfigItemIfAbsent), and otherwise throws
  // std::runtime_error "Index name <name> already exists" having stored
  // nothing: of several clients creating one name at once exactly one
  // succeeds. When the index keystore is the plain in-process store the
  // configuration is stored unchecked, replacing any. The counter map is
  // stored by the first update. A tree
  // depth outside 1 .. 32, a vocabulary size below 1 or a missing keystore
  // throws std::invalid_argument before anything else.
  Client(NewIndexConfig& config, nivora::Logger& logger);
  // Opens a stored index: reads and decrypts "<name>.nei" and the counter
  // map. Throws the config store's, the decryption's or the configuration
  // reader's exception when that item is missing, does not decrypt under
  // the key or is not a valid configuration; nothing is written by then.
  Client(ExistingIndexConfig& config, nivora::Logger& logger);
  // The same with the process-wide default logger, reset to level ERROR on
  // the console afterwards.
  explicit Client(NewIndexConfig& config);
  explicit Client(ExistingIndexConfig& config);
  // Wipes the keys, salts and seeds (the keys also when a constructor
  // throws). Does not store the counter map: a
  // stale compare-and-set could overwrite another client's counters.
  ~Client();

  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // ---- Key schedule and stored configuration ---------------------------
  // Fills the six sub-keys: HMAC-SHA3-256 under the index key of the index
  // name, and of the name followed by ".vectors", ".metadata", ".contents",
  // ".centroid_metadata" and ".id".
  void DeriveKeys();
  // The EngineConfigTable buffer of the current sizes and version.
  std::vector<uint8_t> SerializeIndexConfig();
  // Reads the four sizes and the version from a buffer and sets the vectors
  // store's value size. Throws std::invalid_argument "Could not deserialize
  // index config: buffer is empty" and std::runtime_error "Could not
  // deserialize index config: buffer is invalid" (also for a tree depth
  // outside 1 .. 32), both logged at ERROR.
  void DeserializeIndexConfig(const std::vector<uint8_t>& blob);
  // Stores blob encrypted under the index key as config item `name`. An
  // empty blob throws std::invalid_argument "Data size must be a multiple
  // of the number of columns".
  void StoreConfig(const std::string& name, const std::vector<uint8_t>& blob);
  // StoreConfig unless config item `name` exists (then nothing is stored
  // and the result is false), in one step of the config store.
  bool StoreConfigIfAbsent(const std::string& name, const std::vector<uint8_t>& blob);
  // The decrypted config item. Throws "Encrypted payload size too small",
  // "Decryption failed for 1 items", or the keystore's failure for a
  // missing item.
  std::vector<uint8_t> LoadConfig(const std::string& name);
  // StoreConfig / LoadConfig of "<index name>.nvs", the Index API's state.
  // The store returns the change stamp it advanced to (kState).
  ChangeStamp StoreIndexConfig(const std::vector<uint8_t>& blob);
  std::vector<uint8_t> LoadIndexConfig();
  // Changes the payload size: drops the vectors cache of the index when
  // the old size was not 0, sets the vectors value size to n + 28 and
  // stores the engine configuration. Nothing when n is the current size.
  void payload_size(size_t n);
  // Sets index_value_size to 8 and stores the engine configuration.
  void StoreIndexValueSizeToConfig(const size_t& index_value_size);
  // Removes every item of the index from the index, vectors, metadata and
  // id stores (and their caches), clears the token cache and zeroes the
  // counters in memory. With full, also empties the config and contents
  // stores of the index and deletes both config items, throwing
  // std::runtime_error "Failed to delete index config for <name>" or
  // "Failed to delete NVS config for <name>" when one survives; without,
  // sets the vectors value size and stores the engine configuration again.
  void DeleteIndex(bool full);

  // ---- Generations of the lists (client_generations.cc) -------------------
  // Training builds the lists of a new generation beside the current one and
  // makes them current with one compare-and-set of the change record, which
  // names the current generation (0 for an index that never had another)
  // and the one a training claimed (change_log.h states the protocol). A
  // crash at any point leaves one complete generation current; lists that
  // the record names no more are collected by the next training.
  static constexpr uint64_t kNoGeneration = nivora_encrypted_index::kNoGeneration;
  // The generation the lists of this client are read and written in.
  uint64_t generation() const { return generation_; }
  // Points the lists at generation g with the given payload and vocabulary
  // sizes, in memory only (nothing is stored), and forgets the counters and
  // tokens of the previous generation. Nothing when all three are as they are.
  void UseGeneration(uint64_t g, size_t payload_size, size_t vocab_size);
  // UseGeneration for a pending generation that a training fills: its
  // writes advance no change stamp until CommitGeneration.
  void BuildGeneration(uint64_t g, size_t payload_size, size_t vocab_size);
  // Reads the change record and uses its generation, keeping the sizes
  // (which the caller brings in line with that generation's state). Returns it.
  uint64_t FollowCurrentGeneration();
  // Stores blob as the state of this client's generation, advancing nothing
  // (a pending generation's state).
  void StoreGenerationState(const std::vector<uint8_t>& blob);
  // Claims a new generation for a training (a generation number never
  // handed out before), replacing an earlier claim, whose training can then
  // no longer commit; then collects the lists no record names. Returns it.
  uint64_t ClaimGeneration();
  // Holds the other clients' writes back for a commit of g: from `expected`
  // (the stamp as stored), marks the record so that a write that has not
  // advanced yet waits for the commit and is then made again on g's lists.
  // False when the stamp moved. Throws std::runtime_error when g is no
  // longer claimed (another training took over). *stored (when not null)
  // receives the stamp stored. A hold that is not committed within
  // kCommitHoldSeconds may be broken by a waiting writer (the commit then fails).
  static constexpr int kCommitHoldSeconds = 5;
  bool HoldForCommit(uint64_t g, const ChangeStamp& expected, ChangeStamp* stored = nullptr);
  // Makes the claimed generation g current, when the stamp is still
  // `expected`, in one compare-and-set that also gives the stamp a new state
  // tag, and stores the engine configuration of this client (which must be
  // building g). False when the stamp moved (a write to take in first).
  // Throws std::runtime_error when g is no longer claimed (another training
  // took over). *stored (when not null) receives the stamp stored.
  bool CommitGeneration(uint64_t g, const ChangeStamp& expected, ChangeStamp* stored = nullptr);
  // After a failed training: withdraws the claim of g (unless another
  // replaced it) and removes g's lists and state (unless g became current).
  // Failures are logged, not thrown.
  void AbandonGeneration(uint64_t g) noexcept;
  // Removes the lists and state of every generation up to the highest ever
  // handed out that the record names neither current nor claimed, asking
  // the stores what they hold under each. Failures are logged, not thrown.
  void CollectGenerations() noexcept;

  // ---- Changes since a snapshot (client_retrieval.cc, client_ingest.cc) ---
  // For a training that reads the items of the current generation and then
  // reconciles its new lists with what other clients wrote meanwhile.
  // Per item (id hash), a digest of its payload row and metadata record as
  // last read; every write of an item stores new records, so a new digest.
  using ItemDigests = std::unordered_map<uint64_t, uint64_t>;
  // Reads every item of this client's generation from the stores themselves
  // (never a RAM cache) and returns, in the calling thread's batch (as
  // RetrieveAllEmbeddings), the ids, payload rows and metadata of those
  // whose digest is new or differs from `digests` (every item for empty
  // digests). An item counts once its ID record and payload row are both
  // stored. `removed` receives the id hashes of `digests` whose items are
  // gone; `digests` is brought up to what was read. With `only`, reads just
  // the items of those id hashes (and reports only those as removed).
  ItemBatch& RetrieveChangedItems(ItemDigests& digests, std::vector<uint64_t>& removed,
                                  const std::vector<uint64_t>* only = nullptr);
  // The id hashes of the items that the changes after `since` up to the
  // record read last (ReadChangeStamp) wrote or removed, each once; nullopt
  // when the log does not tell (it does not reach back that far, or a bulk
  // change is logged whole): the caller then reads every item again.
  std::optional<std::vector<uint64_t>> ItemsChangedSince(const ChangeStamp& since);
  // Removes the payload rows, tokens and location records of id_hashes from
  // this client's generation.
  void RemoveListEntries(const std::vector<uint64_t>& id_hashes);

  // ---- Counter map -------------------------------------------------------
  // Replaces the counters and their version by the stored map (from the
  // RAM cache when the index is loaded there and it holds the map). No
  // stored map gives vocab_size zeros at version 0 and a WARNING.
  void LoadMap();
  // One compare-and-set of the counters against the version last loaded;
  // true when stored. Zeroes the counters in memory whatever the outcome.
  // After a load served by the RAM cache it stores only when the store
  // still holds that very map (not merely one of the same version), else
  // returns false.
  // An empty map throws std::invalid_argument "Data size must be a multiple
  // of the number of columns".
  bool StoreMap();
  // Hands out one position per entry of centroid_ids (its centroid), in
  // input order, by load / assign / compare-and-set, a refused store retried
  // up to 100 times (std::runtime_error "Failed to update map in 100
  // retries."); a failed load or store is thrown at once with its cause.
  // Before anything is stored: an id at or past vocab_size or past the
  // loaded map throws std::out_of_range, a counter at 2^32 - 1 throws
  // std::overflow_error; neither is retried.
  std::vector<uint32_t> UpdateMap(std::vector<uint32_t>& centroid_ids);
  // Sets the number of centroids to n: keeps a stored map of n counters,
  // else starts from n zeros; stores the map by compare-and-set with
  // retries (std::runtime_error "Failed to resize vocabulary in 100
  // retries."); regenerates the salts and seeds. n = 0 throws
  // std::invalid_argument before anything changes.
  void ResizeVocabulary(size_t n);
  // Makes the salts and seeds cover centroids 0 .. vocab_size - 1.
  void GetSaltsAndSeeds();

  // ---- Ingest --------------------------------------------------------------
  // Upserts the batch's items, item i under centroid_ids[i]. Everything is
  // checked before anything is reserved or deleted (std::invalid_argument,
  // logged at ERROR): centroid ids against ids ("Mismatch between size of
  // centroid IDs and item IDs"), payload rows against ids when payload_size
  // is not 0 ("Mismatch between size of payload tokens and item IDs"), the
  // payload row width against payload_size ("Mismatch between payload row
  // size and payload size"), metadata and contents counts (empty or one per
  // item), item sizes, centroid ids below vocab_size (std::out_of_range);
  // the GPU upsert flag throws the CUDA-required std::runtime_error. Then:
  // positions by compare-and-set; then per slice of 10,000 items, the
  // slice's stored versions are read and replaced by INDEX tokens, VECTORS,
  // METADATA (an empty record per item without metadata), ID and CONTENTS
  // records (a version without contents deletes the earlier contents).
  // When a store fails on a slice, its items are put back as they were
  // (earlier records restored, new tokens removed; the positions stay
  // used) and the failure passes on: each item is then wholly its earlier
  // version or wholly the new one, unless the store also fails the
  // restoring (logged at ERROR). Slices already written stay written.
  void AddItems(ItemBatch& batch, const std::vector<uint32_t>& centroid_ids);
  // Deletes the VECTORS, METADATA, ID and CONTENTS records of the ids;
  // tokens and counters stay. Ids not stored are ignored.
  void RemoveItems(const std::vector<std::string>& ids);
  // Replaces every token of the index (and drops its counter map and
  // centroid metadata) by fresh tokens for the batch's items, positions from
  // 0; clears the token cache. The other stores are neither read nor
  // written. Checks as AddItems, before anything is deleted.
  void RebuildIndex(ItemBatch& batch, const std::vector<uint32_t>& centroid_ids);
  // Adds the batch's items to the lists only: positions, INDEX tokens, then
  // VECTORS rows (replacing); the METADATA, ID and CONTENTS stores are
  // neither read nor written. Training fills a new generation with it.
  // Checks as AddItems.
  void AddListEntries(ItemBatch& batch, const std::vector<uint32_t>& centroid_ids);
  // Stores blob i, encrypted, as the centroid metadata of field names[i],
  // replacing, as a plain item (the layout of indexes before the merge
  // below). Counts that differ throw std::invalid_argument.
  void AddCentroidMetadata(const std::vector<std::string>& names,
                           const std::vector<std::vector<uint8_t>>& blobs);
  // merge(field, stored) gives the new decrypted centroid metadata of
  // names[field] from the stored one (empty when none).
  using CentroidMetadataMerge =
      std::function<std::vector<uint8_t>(size_t field, const std::vector<uint8_t>& stored)>;
  // Merges into the stored centroid metadata of each field by
  // compare-and-set on the field's version: reads what the store holds,
  // merges, stores if the version is unchanged, else starts the field again
  // after a pause (up to 100 times, then std::runtime_error "Failed to update
  // centroid metadata in 100 retries."). A merge that changes nothing stores
  // nothing. Advances the change stamp. Exceptions of merge and of
  // decryption pass on.
  void MergeCentroidMetadata(const std::vector<std::string>& names,
                             const CentroidMetadataMerge& merge);

  // ---- Retrieval -----------------------------------------------------------
  // Loads the counter map and fills result with one row per stored position
  // of each requested centroid, in order (centroid i: rows
  // [off[i], off[i + 1])). Rows carry the unmasked id hash, the decrypted
  // payload (payload_size bytes, read in batches of 1000) and row_present:
  // see RetrieveNeighborsResult for absent and repeated rows. The GPU query
  // flag throws the CUDA-required std::runtime_error; stored rows of another
  // width than payload_size + 28 throw std::runtime_error.
  void RetrieveNeighbors(std::vector<uint32_t>& centroid_ids, RetrieveNeighborsResult& result);
  // RetrieveNeighbors without reading the payloads: result.payloads holds no
  // rows (payload_size columns), row_present reflects the INDEX entries only,
  // and result.read_payloads reads and decrypts the rows of any candidates
  // on demand (ReadPayloadRows), for as long as this Client lives and no
  // other call is made on it.
  void RetrieveCandidates(std::vector<uint32_t>& centroid_ids, RetrieveNeighborsResult& result);
  // out[i] = the id of id_hashes[i], "" when none is stored or the stored
  // id does not hash back to id_hashes[i]. No hashes: out is left alone.
  void RetrieveItemIDs(const std::vector<uint64_t>& id_hashes, std::vector<std::string>& out);
  // out[i] = the metadata text of id_hashes[i], "" when it has none.
  void RetrieveItemMetadata(const std::vector<uint64_t>& id_hashes, std::vector<std::string>& out);
  // The stored items among ids, in request order, with the fields asked for
  // (empty fields: all). An item is returned when any store asked for holds
  // a record of it, whatever the record's plaintext (an all-zero vector, an
  // empty metadata text).
  std::vector<RetrievedItem> RetrieveItems(const std::vector<std::string>& ids,
                                           const std::vector<nivora::ItemFields>& fields);
  // The decrypted centroid metadata of each field name, read from the store
  // itself (never a RAM cache); empty when none.
  std::vector<std::vector<uint8_t>> RetrieveCentroidMetadata(const std::vector<std::string>& names);
  // Every item of the ID store: ids, payload rows (bytes) and metadata, in
  // the store's key order, in a batch owned by the calling thread and valid
  // until its next call there (which first wipes it).
  ItemBatch& RetrieveAllEmbeddings();
  // Wipes and empties the calling thread's RetrieveAllEmbeddings batch.
  static void ReleaseAllEmbeddings();

  // ---- RAM caches of the stores ------------------------------------------
  // Attaches the process-wide caches to the index, vectors and id stores,
  // and to the metadata store with include_metadata.
  void EnableCaches(bool include_metadata);
  // Brings the caches of the index's stores up to the stored change stamp
  // (ReadChangeStamp, SyncCaches).
  void EagerLoadCaches();
  // Brings the RAM caches up to the stored counter map when another process
  // stored a newer one: fetches only the tokens, rows, ids and metadata of
  // the positions added since. False when there is no index cache, it is up
  // to date, or nothing is stored.
  bool RefreshCaches();
  // Copies into the index cache the stored token entries of the positions
  // between the two counter maps and returns the id hashes they hold (only
  // positions that have an entry). Centroids at or past vocab_size are
  // skipped with a WARNING.
  std::vector<uint64_t> RefreshIndexCacheIncremental(const std::vector<uint32_t>& old_counters,
                                                     const std::vector<uint32_t>& new_counters);
  // Drops the vectors cache of the index (nothing without one).
  void ClearVectorsCache();

  // Derives the query tokens of every non-empty list of the stored counter
  // map into the token cache, so that the first queries find them there.
  void WarmTokenCache();

  // ---- Change record (change_log.h) -------------------------------------
  // The stamp as stored now, read from the store itself (one read); the
  // record read is kept for SyncCaches and ItemsChangedSince. No record
  // gives version 0 and zero tags. A record that does not decrypt under the
  // index key throws std::runtime_error.
  ChangeStamp ReadChangeStamp();
  // Logs this client's change: reads the record and stores the next one
  // with the entry of what the change wrote (its kind kState also gives a
  // new state tag), retrying a refused compare-and-set up to 100 times
  // (std::runtime_error "Failed to advance the change stamp in 100
  // retries."). While a training holds writes back for its commit, waits
  // for that commit (then throws ListsReplaced) or for at most
  // kCommitHoldSeconds (then breaks the hold). When the record names another
  // generation than the one written into, advances all the same and throws
  // ListsReplaced. When the index was deleted, removes what the change wrote
  // and throws std::runtime_error "Index <name> was deleted while this
  // change was being written; the change was undone.". Returns the stamp
  // stored. On success the caches this client is attached to and that were
  // current before are marked current at the new stamp.
  ChangeStamp AdvanceChangeStamp(ChangeKind kind);
  // Brings every attached cache of the index whose copy is not marked with
  // `stamp` (read from the store before the call) up to it: rereads the
  // keys that the logged changes since its mark name, or refills it in
  // full when the log does not tell. Afterwards the caches hold every write
  // whose operation advanced the stamp to `stamp` or before.
  void SyncCaches(const ChangeStamp& stamp);

  // The engine's query-token cache (statistics).
  const internal::encrypted_index::cpu::EncryptedTokenCache& token_cache() const {
    return *token_cache_;
  }

  // ---- Accessors -----------------------------------------------------------
  int tree_depth() const { return static_cast<int>(tree_depth_); }
  int vocab_size() const { return static_cast<int>(vocab_size_); }
  size_t payload_size() const { return payload_size_; }
  int cpu_threads() const { return static_cast<int>(cpu_threads_); }
  bool gpu_accelerated() const { return gpu_config_ != 0; }
  std::string index_name() const { return index_name_; }
  size_t index_value_size() const { return index_value_size_; }
  const std::vector<uint32_t>& get_counter_map() const { return counter_map_; }
  std::string version() const { return version_; }
  // Loads the counter map and returns the sum of its counters: every
  // position ever handed out, deleted and re-upserted items included.
  size_t num_vectors();

 private:
  // The scope every public operation opens: its parallel regions run on
  // cpu_threads threads, on whatever thread it was called.
  nivora::ScopedThreadCount ThreadScope() const { return nivora::ScopedThreadCount(cpu_threads_); }
  // The fields both configs share, and the steps of construction common to
  // both constructors that come before the stores are touched.
  void CopyConfig(const ExistingIndexConfig& config, nivora::Logger& logger);
  void ComputeIndexId();
  // Keystore::SetValueSize on the vectors store: payload_size_ + 28.
  void SetVectorsValueSize();
  // blob encrypted under the index key as one record; an empty blob throws
  // std::invalid_argument "Data size must be a multiple of the number of
  // columns".
  nivora::Array2D<unsigned char> SealConfig(const std::vector<uint8_t>& blob) const;
  std::string EngineConfigName() const;
  // The config item holding the index state of generation g.
  std::string StateItemName(uint64_t g) const;
  // The id the INDEX and VECTORS stores keep generation g's lists under:
  // the index id for generation 0; else derived under a key of the index's
  // own, so that no index name leads to it (generations below
  // legacy_below_ keep the ids earlier releases derived).
  uint64_t ListIdOf(uint64_t g) const;
  // Removes the lists of generation g and, for g > 0, its state item, where
  // the stores hold any; halfway_point names the test point between the two
  // stores' removals.
  void DeleteGeneration(uint64_t g, const char* halfway_point = nullptr);
  // Removes every item of this client's lists and of the item stores (not
  // the contents) and zeroes the counters in memory.
  void ClearItems();
  // The highest generation named by the generation record of earlier
  // releases (0 when there is none).
  uint64_t EarlierHighestGeneration();
  // CollectGenerations' work; halfway_point as for DeleteGeneration.
  void Collect(const char* halfway_point) noexcept;
  // The record as stored (ChangeLog::Read); one of the earlier form is
  // completed from the generation record that earlier releases kept beside it.
  ChangeRecord ReadRecord();
  // Stores the first record of a new index (from nothing, or from what an
  // unfinished deletion of the name left), so that a write logged into it
  // later can tell its deletion from its creation.
  void StartRecord();
  // The record, when it is still `expected`; nullopt when it moved. Throws
  // std::runtime_error when g is no longer claimed (another training took over).
  std::optional<ChangeRecord> ReadClaimedRecord(uint64_t g, const ChangeStamp& expected);
  // Marks the record deleted (for DeleteIndex) and returns it as marked.
  ChangeRecord MarkDeleted();
  // Takes what a record read or stored says about the lists' ids.
  void NoteRecord(const ChangeRecord& record);
  // One compare-and-set from `seen` to `next` with `entry` as its log entry;
  // on success the attached caches current at seen are marked current at
  // next, and next is the record read last.
  bool PushRecord(const ChangeRecord& seen, ChangeRecord next, ChangeEntry entry);
  // Whether the index was deleted: the record says so, or there is none
  // and no engine configuration either.
  bool IndexDeleted(const ChangeStamp& stamp);
  // Reads the record, waiting while a training holds writes back for its
  // commit (kCommitHoldSeconds at most, then breaks the hold).
  ChangeRecord ReadRecordOutsideHold();

  // The stored centroid metadata of some fields: per field its map and
  // version keys, its record (empty when none) and its version.
  struct StoredCentroidMetadata {
    std::vector<uint64_t> map_keys;
    std::vector<uint64_t> version_keys;
    std::vector<std::vector<uint8_t>> records;
    std::vector<uint64_t> versions;
  };
  StoredCentroidMetadata ReadCentroidMetadata(const std::vector<std::string>& names);
  // MergeCentroidMetadata's compare-and-set loop for one field.
  void MergeOneField(const std::string& name, size_t field, const CentroidMetadataMerge& merge);
  // The keystores of the index whose RAM cache is attached.
  std::vector<Keystore*> CachedStores() const;
  // The index argument of store's calls: the list id for the INDEX and
  // VECTORS stores, the index id for the others.
  uint64_t StoreIdOf(const Keystore* store) const {
    return store == index_keystore_ || store == vectors_keystore_ ? list_id_ : index_id_;
  }
  // Throws ListsReplaced when `stamp` names another generation than the
  // one this client wrote into.
  void RequireOwnGeneration(const ChangeStamp& stamp) const;
  // AdvanceChangeStamp after an operation failed part-way: failures are
  // logged, not thrown, so the operation's own exception passes on. Returns
  // true when a training has replaced the lists the write went into.
  bool AdvanceChangeStampAfterFailure(ChangeKind kind) noexcept;
  // Starts the log entry of a change. A logged change names what its writes
  // touch (LogIndexKeys, LogItems); an unlogged one is whole (readers refill).
  void BeginChange(bool logged);
  void LogIndexKeys(const std::vector<uint64_t>& keys);
  void LogItems(const std::vector<uint64_t>& id_hashes);
  // Removes what a logged change wrote (its lists' keys, the items'
  // records): the change met a deleted index. Failures are logged.
  void UndoChange(const ChangeEntry& change) noexcept;
  // The keys of `store` that the entries name, or nullopt when one of them
  // is whole there (entries of another generation leave the lists alone).
  std::optional<std::vector<uint64_t>> ChangedKeys(const Keystore* store,
                                                   const std::vector<ChangeEntry>& entries) const;
  // Runs write, then advances the stamp by kind with the change's log entry
  // (logged: the write names its keys); when write throws, advances it as
  // far as it can and rethrows, or throws ListsReplaced when a training
  // replaced the lists meanwhile (a write into lists being removed fails
  // for that reason: it is to be made again on the new ones).
  // Returns AdvanceChangeStamp's stamp.
  // While a training builds a pending generation, its writes go into lists
  // no one reads yet: they advance nothing.
  template <typename Write>
  ChangeStamp StampedWrite(ChangeKind kind, const Write& write, bool logged = false) {
    if (building_) {
      write();
      return ChangeStamp{};
    }
    BeginChange(logged);
    try {
      write();
    } catch (...) {
      if (AdvanceChangeStampAfterFailure(kind)) throw ListsReplaced();
      throw;
    }
    return AdvanceChangeStamp(kind);
  }

  // Reads the stored map from the store itself, bypassing the RAM cache,
  // and brings the cache's copy of it up to date.
  void LoadMapFromStore();
  // Whether the store still holds, at the loaded version, the very record
  // that LoadMap took from the RAM cache.
  bool CachedMapIsTheStored();
  // Installs a read versioned map as the in-memory counters.
  void AdoptMap(const internal::backing_store::VersionedMap& stored);
  // Brings the RAM cache's copy of the counter map up to the stored
  // version `stored` (read from the store) without ever pairing an old map
  // with a version the store could still accept.
  void CatchUpMapCache(const internal::backing_store::VersionedMap& stored);
  // ResizeVocabulary's store of the counter map.
  void ResizeCounterMap(size_t n);
  // The compare-and-set protocol shared by UpdateMap and ResizeVocabulary:
  // loads the map from the store (never from the RAM cache), runs adjust on the
  // loaded counters, stores; retries a refusal up to 100 times, then throws
  // std::runtime_error failure_message. Exceptions of the load, adjust or
  // the store are not retried: they leave as they are (a map that does not
  // decrypt as std::runtime_error "The stored counter map does not decrypt
  // with this index key: ...").
  void CompareAndSetMap(const std::function<void()>& adjust, const std::string& failure_message);

  // Ingest steps (client_ingest.cc).
  // Every check of AddItems that needs no store; the payload width only
  // when the payload is to be written.
  void ValidateInputSizes(const ItemBatch& batch, const std::vector<uint32_t>& centroid_ids,
                          bool check_payload_width = true);
  internal::encrypted_index::EncryptedTokens DispatchIngestCentroids(
      const std::vector<uint64_t>& id_hashes, const std::vector<uint32_t>& centroid_ids,
      const std::vector<uint32_t>& positions);
  // One slice of an upsert (client_ingest.cc): its sealed records, and what
  // the stores held for its items before.
  struct SliceRecords;
  struct EarlierVersions;
  // The records of items [begin, end) of the batch.
  SliceRecords SealSlice(const internal::encrypted_index::ItemKeys& keys, const ItemBatch& batch,
                         const nivora::Array2DView<uint8_t>& payload,
                         const internal::encrypted_index::EncryptedTokens& tokens, size_t begin,
                         size_t end);
  EarlierVersions ReadEarlierVersions(const internal::encrypted_index::ItemKeys& keys);
  // Writes the slice's records over its items' earlier versions; when a
  // write fails, puts the earlier versions back and removes the slice's
  // tokens before the failure passes on.
  void ReplaceItems(const SliceRecords& records);
  void WriteContents(const SliceRecords& records, const EarlierVersions& earlier);
  // Undo of the ID step: removes the ID records of the slice's fresh items
  // that still hold what this write stored.
  void RemoveFreshIds(const SliceRecords& records, const EarlierVersions& earlier);
  // The CONTENTS records the slice's write left: its own, or none per item.
  static std::vector<std::vector<uint8_t>> ContentsWritten(const SliceRecords& records);
  void UpdateIndexBackingStore(const internal::encrypted_index::EncryptedTokens& tokens);
  // The VECTORS records of payload rows [begin, end).
  nivora::Array2D<unsigned char> SealPayloads(const nivora::Array2DView<uint8_t>& payload,
                                              size_t begin, size_t end);

  // Tokens of replaced and removed items (client_item_tokens.cc). A token
  // is never rewritten, so an item's earlier token would keep leading to
  // its current records from the list it has left; these steps find it by
  // the item's location record and delete it.
  // The tokens that the location records of id_hashes name; hashes without
  // a record, or whose record names a centroid outside the vocabulary, add
  // none.
  internal::encrypted_index::EncryptedTokens FindCurrentTokens(
      const std::vector<uint64_t>& id_hashes);
  // Writes the location records of items ingested at centroid_ids[i],
  // positions[i].
  void StoreLocations(const std::vector<uint64_t>& id_hashes,
                      const std::vector<uint32_t>& centroid_ids,
                      const std::vector<uint32_t>& positions);
  // Stores the location records of items whose new tokens (one per item,
  // in order) are written, and deletes the tokens that the records they
  // replace name. When another client's record of an item is read back
  // instead (a concurrent upsert stored after this one, or a delete), this
  // client's new token of the item is deleted: one token per item stays, the
  // one its record names.
  void MoveLocations(const std::vector<uint64_t>& id_hashes,
                     const std::vector<uint32_t>& centroid_ids,
                     const std::vector<uint32_t>& positions,
                     const internal::encrypted_index::EncryptedTokens& tokens);
  // Deletes the tokens (from FindCurrentTokens) whose stored value is still
  // the one expected: a token that has since gone, or whose key another
  // item's token now holds after a rebuild, is left alone.
  void DeleteTokens(const internal::encrypted_index::EncryptedTokens& tokens);
  // Deletes the tokens and location records of removed items.
  void ForgetItems(const std::vector<uint64_t>& id_hashes);
  // Throws std::runtime_error unless VECTORS rows read for `keys` keys are
  // payload_size + 28 bytes wide and one per key.
  void CheckPayloadRows(const nivora::Array2D<unsigned char>& rows, size_t keys) const;
  // Reads the VECTORS records of the id hashes and decrypts them into the
  // rows of payloads (ids.size() x payload_size, written whole); a row whose
  // record is absent is zeroed and its present flag cleared.
  void ReadPayloads(const std::vector<uint64_t>& ids, std::vector<uint8_t>& present,
                    nivora::Array2D<uint8_t>& payloads);
  // One batch of ReadPayloads on the calling thread: the VECTORS records of
  // ids[0, count) decrypted into out (count x payload_size bytes, written
  // whole); an absent record zeroes its row and clears its present flag.
  // Safe from several threads at once (a store without concurrent reads is
  // read in turns).
  void ReadPayloadRows(const uint64_t* ids, size_t count, uint8_t* out, uint8_t* present);
  // out = the decrypted records of the hashes' keys in store, as strings;
  // false (out untouched) for no hashes. With ids_hash_back, a text that
  // does not hash back to its hash (an item id) is emptied. field / fields
  // name them in the log lines. One parallel pass over batches.
  bool RetrieveByHash(const std::vector<uint64_t>& id_hashes, std::vector<std::string>& out,
                      Keystore* store, const internal::cryptography::Key& key, const char* field,
                      const char* fields, bool ids_hash_back);
  // read() under read_turns_ when store serves one thread at a time.
  template <typename Read>
  auto ReadInTurn(Keystore* store, const Read& read);
  // Decrypted variable records of `keys` in `store`, each as a string.
  // from_store reads the store itself, bypassing its RAM cache.
  std::vector<std::string> RetrieveStrings(Keystore* store, const std::vector<uint64_t>& keys,
                                           const internal::cryptography::Key& key,
                                           bool from_store = false);

  uint64_t tree_depth_ = 0;
  uint64_t vocab_size_ = 0;
  int64_t cpu_threads_ = 1;
  uint8_t gpu_config_ = 0;
  size_t payload_size_ = 0;
  std::vector<uint32_t> counter_map_;  // next free position per centroid
  uint64_t counter_map_version_ = 0;   // version of the map last loaded
  // The record of the map last loaded, when LoadMap took it from the RAM
  // cache; StoreMap then stores only if the store still holds that record.
  std::optional<std::vector<uint8_t>> cached_map_record_;
  // The record and counters AdoptMap last decrypted: a read of the same
  // bytes (every query reads the map) reuses the counters instead of
  // decrypting them again.
  std::vector<uint8_t> adopted_map_record_;
  size_t adopted_map_rows_ = 0;
  std::vector<uint32_t> adopted_map_;
  std::unique_ptr<internal::encrypted_index::cpu::EncryptedTokenCache> token_cache_;
  internal::cryptography::WipedKey index_key_;
  internal::cryptography::WipedKey name_key_;
  internal::cryptography::WipedKey contents_key_;
  internal::cryptography::WipedKey vectors_key_;
  internal::cryptography::WipedKey metadata_key_;
  internal::cryptography::WipedKey centroid_metadata_key_;
  internal::cryptography::WipedKey id_key_;
  internal::cryptography::WipedKey location_key_;
  // Derives the storage ids of generation g > 0's lists and of the log.
  internal::cryptography::WipedKey list_key_;
  size_t index_value_size_ = 8;
  std::string index_name_;
  uint64_t index_id_ = 0;  // the index argument of the METADATA, ID, CONTENTS and CONFIG calls
  uint64_t generation_ = 0;  // of the lists this client uses
  uint64_t legacy_below_ = 1;  // generations below keep the earlier list ids
  // The change record of the index (borrows index_keystore_ and index_key_).
  std::unique_ptr<ChangeLog> change_log_;
  ChangeRecord last_record_;  // the record read or stored last
  ChangeEntry change_;        // of the change being written; whole when none is
  uint64_t list_id_ = 0;     // the index argument of the INDEX and VECTORS calls
  bool building_ = false;    // the lists are a pending generation (BuildGeneration)
  // Serialises the payload reads of one operation's threads on a store that
  // serves one thread at a time (Keystore::ConcurrentReads).
  std::mutex read_turns_;
  Keystore* index_keystore_ = nullptr;
  Keystore* config_keystore_ = nullptr;
  Keystore* contents_keystore_ = nullptr;
  Keystore* vectors_keystore_ = nullptr;
  Keystore* metadata_keystore_ = nullptr;
  Keystore* id_keystore_ = nullptr;
  internal::encrypted_index::SaltsAndSeedsList salts_and_seeds_;  // per centroid, wiped
  std::string version_;
  nivora::Logger* logger_ = nullptr;
  // Keeps logger_ the engine-side logger while this Client lives.
  nivora::LoggerHold engine_logger_hold_;
};

}  // namespace nivora_encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_CLIENT_H_
