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
// Its parallel work runs in OpenMP regions inside its operations, on
// cpu_threads threads whichever thread calls: every public operation opens a
// nivora::ScopedThreadCount with it. Several Clients, in one process or
// several, may work on one index: they agree only through the stores, and
// the counter map's compare-and-set is their one point of agreement. Every
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
#include <optional>
#include <string>
#include <vector>

#include "backing_store/keystore.h"
#include "core/flags.h"
#include "core/item_batch.h"
#include "core/logger.h"
#include "core/parallel_for.h"
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

class Client {
 public:
  // Creates a new index. Throws std::runtime_error "Index name <name>
  // already exists" when "<name>.nei" is stored (not checked when the index
  // keystore is the plain in-process store). Stores the engine
  // configuration; the counter map is stored by the first update. A tree
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
  // The decrypted config item. Throws "Encrypted payload size too small",
  // "Decryption failed for 1 items", or the keystore's failure for a
  // missing item.
  std::vector<uint8_t> LoadConfig(const std::string& name);
  // StoreConfig / LoadConfig of "<index name>.nvs", the Index API's state.
  void StoreIndexConfig(const std::vector<uint8_t>& blob);
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
  // input order, by load / assign / compare-and-set, retried up to 100
  // times (std::runtime_error "Failed to update map in 100 retries.").
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
  // positions by compare-and-set; earlier versions of stored ids deleted;
  // contents; then per slice of 10,000 items INDEX tokens, VECTORS,
  // METADATA (an empty record per item without metadata) and ID records.
  // A later failure leaves the slices already written in place.
  void AddItems(ItemBatch& batch, const std::vector<uint32_t>& centroid_ids);
  // Deletes the VECTORS, METADATA, ID and CONTENTS records of the ids;
  // tokens and counters stay. Ids not stored are ignored.
  void RemoveItems(const std::vector<std::string>& ids);
  // Replaces every token of the index (and drops its counter map and
  // centroid metadata) by fresh tokens for the batch's items, positions from
  // 0; clears the token cache. The other stores are neither read nor
  // written. Checks as AddItems, before anything is deleted.
  void RebuildIndex(ItemBatch& batch, const std::vector<uint32_t>& centroid_ids);
  // Stores blob i, encrypted, as the centroid metadata of field names[i],
  // replacing. Counts that differ throw std::invalid_argument.
  void AddCentroidMetadata(const std::vector<std::string>& names,
                           const std::vector<std::vector<uint8_t>>& blobs);

  // ---- Retrieval -----------------------------------------------------------
  // Loads the counter map and fills result with one row per stored position
  // of each requested centroid, in order (centroid i: rows
  // [off[i], off[i + 1])). Rows carry the unmasked id hash, the decrypted
  // payload (payload_size bytes, read in batches of 1000) and row_present:
  // see RetrieveNeighborsResult for absent and repeated rows. The GPU query
  // flag throws the CUDA-required std::runtime_error; stored rows of another
  // width than payload_size + 28 throw std::runtime_error.
  void RetrieveNeighbors(std::vector<uint32_t>& centroid_ids, RetrieveNeighborsResult& result);
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
  // The decrypted centroid metadata of each field name; empty when none.
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
  // Fills the caches of the index's stores and offers them the counter map.
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
  std::string EngineConfigName() const;

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
  // The compare-and-set protocol shared by UpdateMap and ResizeVocabulary:
  // loads the map from the store (never from the RAM cache), runs adjust on the
  // loaded counters, stores; retries a refusal or a std::exception of the
  // load or the store up to 100 times, then throws std::runtime_error
  // failure_message. Exceptions of adjust are not retried.
  void CompareAndSetMap(const std::function<void()>& adjust, const std::string& failure_message);

  // Ingest steps (client_ingest.cc).
  // Every check of AddItems that needs no store; the payload width only
  // when the payload is to be written.
  void ValidateInputSizes(const ItemBatch& batch, const std::vector<uint32_t>& centroid_ids,
                          bool check_payload_width = true);
  // Per id hash: whether its VECTORS record is stored.
  std::vector<uint8_t> FindStoredItems(const std::vector<uint64_t>& id_hashes);
  // Deletes the records of the items marked in `stored`.
  void RemoveEarlierVersions(const internal::encrypted_index::ItemKeys& keys,
                             const std::vector<uint8_t>& stored);
  internal::encrypted_index::EncryptedTokens DispatchIngestCentroids(
      const std::vector<uint64_t>& id_hashes, const std::vector<uint32_t>& centroid_ids,
      const std::vector<uint32_t>& positions);
  void HandleContents(const std::vector<uint64_t>& contents_keys, const ItemBatch& batch);
  void UpdateIndexes(const internal::encrypted_index::ItemKeys& keys, const ItemBatch& batch,
                     const internal::encrypted_index::EncryptedTokens& tokens);
  void UpdateIndexBackingStore(const internal::encrypted_index::EncryptedTokens& tokens);
  // Throws std::runtime_error unless VECTORS rows read for `keys` keys are
  // payload_size + 28 bytes wide and one per key.
  void CheckPayloadRows(const nivora::Array2D<unsigned char>& rows, size_t keys) const;
  // out = the decrypted records of the hashes' keys in store, as strings;
  // false (out untouched) for no hashes. field / fields name them in the
  // log lines.
  bool RetrieveByHash(const std::vector<uint64_t>& id_hashes, std::vector<std::string>& out,
                      Keystore* store, const internal::cryptography::Key& key, const char* field,
                      const char* fields);
  // Decrypted variable records of `keys` in `store`, each as a string.
  std::vector<std::string> RetrieveStrings(Keystore* store, const std::vector<uint64_t>& keys,
                                           const internal::cryptography::Key& key);

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
  size_t index_value_size_ = 8;
  std::string index_name_;
  uint64_t index_id_ = 0;  // the index argument of every keystore call
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
