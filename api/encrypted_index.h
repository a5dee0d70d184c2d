// nivora::EncryptedIndex: one open encrypted index, as returned by
// nivora::Client::CreateIndex and LoadIndex. It upserts, trains, queries,
// gets, deletes items, lists ids and deletes itself, keeps its stored state
// ("<index name>.nvs") in step with its configuration and trained
// quantizers, and shares those quantizers with the other indexes of the
// process through the encrypted quantizer cache.
//
// Ownership: the index owns its configuration, its quantizer set and its
// engine client; it borrows the keystores of the Client that made it (the
// Client must outlive it) and the logger (kept current for the index's
// lifetime through a LoggerHold). Trained quantizers are plaintext only
// inside one operation: they are synchronised at its start and wiped at its
// end; between operations the cache holds the only usable copy, encrypted.
// The index key is wiped when the index is deleted or destroyed.
//
// Thread safety: every public operation takes the index's mutex, so calls
// on one object are serialised (Python callers release the GIL first).
// Internal steps (marked below) run only with the mutex held by the public
// operation that calls them. Separate objects, also on one stored index,
// may work at the same time; they share the quantizer cache and the stores.
//
// Failures are exceptions with fixed messages; the guarded operations
// (constructors, Upsert, TrainIndex, Query, Get, Delete, ListIDs,
// DeleteIndex) report them through the error guard (error_guard.h).
#ifndef NIVORA_API_ENCRYPTED_INDEX_H_
#define NIVORA_API_ENCRYPTED_INDEX_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "api/api_records.h"
#include "api/encrypted_quantizer_cache.h"
#include "api/index_state.h"
#include "api/quantizer_stamp.h"
#include "core/array2d.h"
#include "core/flags.h"
#include "core/index_config.h"
#include "core/item_batch.h"
#include "core/logger.h"
#include "core/parallel_for.h"
#include "encrypted_index/client.h"
#include "encrypted_index/cryptography/secret.h"
#include "telemetry/telemetry_aggregator.h"
#include "vector/centroid_selection.h"
#include "vector/quantizer_set.h"
#include "vector/ranking_results.h"

namespace nivora {

// The message of every operation on an index that was deleted.
inline constexpr char kNotConnectedMessage[] =
    "Not connected to any index. Please call `create_index()` or `load_index()` before "
    "calling this function.";

class EncryptedIndex {
 public:
  using QuantizerSet = internal::vector_index::QuantizerSet;

  // A new index: checks the name and n_lists, clones config, creates the
  // engine index (fails when one of that name exists) and stores the
  // initial state. quantizer_cache_location names the stored location for
  // the quantizer cache (QuantizerCacheLocation); absent, it is made from the
  // engine config's config keystore.
  EncryptedIndex(const std::string& index_name, const std::array<uint8_t, 32>& index_key,
                 const IndexConfig& config, nivora_encrypted_index::NewIndexConfig& engine_config,
                 Logger* logger, std::shared_ptr<internal::TelemetryAggregator> telemetry,
                 std::optional<std::string> quantizer_cache_location = std::nullopt);
  // A stored index: opens the engine index, reads the stored state, caches
  // its quantizers and brings the engine vocabulary in line with n_lists.
  EncryptedIndex(const std::string& index_name, const std::array<uint8_t, 32>& index_key,
                 nivora_encrypted_index::ExistingIndexConfig& engine_config, Logger* logger,
                 std::shared_ptr<internal::TelemetryAggregator> telemetry,
                 std::optional<std::string> quantizer_cache_location = std::nullopt);
  ~EncryptedIndex();

  EncryptedIndex(const EncryptedIndex&) = delete;
  EncryptedIndex& operator=(const EncryptedIndex&) = delete;

  // ---- Public operations (each takes mutex_) -----------------------------
  // Adds or replaces items. ids, rows of embeddings, and contents / metadata
  // (empty, or one per row) line up. Everything is validated before
  // anything is written; a repeated id keeps its last occurrence.
  void Upsert(const std::vector<std::string>& ids, Array2D<float> embeddings,
              const std::vector<std::vector<uint8_t>>& contents,
              const std::vector<std::string>& metadata);
  void TrainIndex(const TrainParams& params);
  QueryResult Query(const Array2D<float>& queries, const QueryParams& params);
  // The stored items among ids, in request order, with the fields asked
  // for (empty include: all). Vectors come back as floats: SQ codes
  // decoded, PQ codes rebuilt from the codebooks; a trained IVF index
  // keeps none.
  std::vector<GetResultItem> Get(const std::vector<std::string>& ids,
                                 const std::vector<ItemFields>& include);
  void Delete(const std::vector<std::string>& ids);
  std::vector<std::string> ListIDs();
  void DeleteIndex();
  size_t get_num_vectors();
  // What get_num_vectors answered at the last operation that loaded the
  // counter map (every query does), without reading the store; 0 once the
  // index was deleted.
  size_t loaded_num_vectors() const;
  // The engine client, for inspection (its caches); null once the index
  // was deleted.
  const nivora_encrypted_index::Client* engine() const { return client_.get(); }

  bool is_trained() const;
  std::string index_name() const;
  // A copy of the configuration; null once the index was deleted.
  std::unique_ptr<IndexConfig> config() const;

  // ---- Internal steps (run with mutex_ held by the calling operation) ----
  // Encodes and stores a batch under the trained quantizers in quantizers_
  // (plaintext). rebuild adds the items to the lists only, with their
  // summaries (training's build of a new generation).
  void IngestTrained(Array2D<float> embeddings, const std::vector<std::string>& ids,
                     const std::vector<std::vector<uint8_t>>& contents,
                     const std::vector<std::string>& metadata, bool rebuild);
  // The query core: selection, retrieval, filtering and ranking.
  QueryResult Retrieve(const Array2D<float>& queries, QueryParams& params);
  // One pass of Retrieve with params.n_probes as given (0: adaptive), over
  // the lists pre allows (its pre-filter, null for an untrained index).
  QueryResult RetrieveOnce(const Array2D<float>& queries, QueryParams& params,
                           const PreFilterResult* pre);
  // A filtered query of a trained index with the automatic n_probes: every
  // query first probes, among the lists pre allows and nearest first, as
  // many lists as the batch would probe unfiltered; the count then doubles
  // for the queries that have fewer than top_k results, or whose k-th result
  // is farther than the nearest allowed list they have not probed, until
  // the allowed lists are used up. A widening pass reads only lists no
  // earlier pass read and merges into the results so far: each query ends
  // with the results of one pass over the lists it probed.
  QueryResult RetrieveWidening(const Array2D<float>& queries, const QueryParams& params,
                               const PreFilterResult& pre);
  // The lists each query probes among those pre allows (rows of its
  // quantizer copy), params.n_probes of them (0: adaptive, logged);
  // with_distances fills query_distances whatever the index type.
  internal::vector_index::CentroidSelection SelectLists(const Array2D<float>& queries,
                                                        const PreFilterResult& pre,
                                                        const QueryParams& params,
                                                        bool with_distances);
  // The count the automatic n_probes gives the batch over every list.
  size_t UnfilteredProbeCount(const Array2D<float>& queries, uint64_t top_k);
  // A query's candidates from the engine lists `lists` (in their order):
  // live rows, one per item and list; with filters only the matching rows,
  // with their metadata texts.
  struct Candidates {
    nivora_encrypted_index::RetrieveNeighborsResult rows;
    std::vector<std::string> metadata;  // one text per row when filtered, else none
    size_t repeated = 0;                // rows of items kept in more than one list
  };
  Candidates FetchCandidates(std::vector<uint32_t>& lists, IndexType kind,
                             const std::string& filters);
  // The rankings of the selection's queries over candidates, at most top_k
  // each, every id once.
  internal::vector_index::RankingResults RankCandidates(
      IndexType kind, const Candidates& candidates,
      const internal::vector_index::CentroidSelection& selection, Array2DView<float> queries,
      const QueryParams& params);
  // The answer: ids (and metadata, when asked for and not carried by the
  // ranker) of the winners, one store read for all queries.
  QueryResult FinishResult(internal::vector_index::RankingResults ranking,
                           const QueryParams& params, IndexType kind);
  PreFilterResult PreFiltering(const std::string& filters);
  void UpdateMetadata(const std::vector<std::string>& metadata,
                      const std::vector<uint32_t>& centroid_ids);
  void PostFiltering(nivora_encrypted_index::RetrieveNeighborsResult& result,
                     std::vector<std::string>& metadata, const std::string& filters);

  // The check every operation starts with (nothing while change checks are
  // off, change_checks.h): reads the index's change stamp and returns it.
  // Throws std::runtime_error "Index <name> was deleted or replaced by
  // another client; load it again." when the stored index of this name is
  // gone or is not this object's (its engine configuration does not open
  // under this index key); that is looked into only when the stamp is
  // absent or does not decrypt. Other failures of the read pass on.
  std::optional<nivora_encrypted_index::ChangeStamp> CheckStoredIndex();
  // Whether the engine configuration stored under this index's name exists
  // and opens under its key; true for a config store that keeps no config
  // items (MEMORY). Store failures pass on.
  bool StillStored();
  // The deleted-or-replaced failure of CheckStoredIndex, logged at ERROR.
  [[noreturn]] void ThrowNoLongerStored() const;
  // The start of every operation that reads: CheckStoredIndex (one store
  // read); with_state, when its state tag is not the one of the
  // state this object holds, rereads and adopts the stored state
  // (CheckAndReloadQuantizers, whose failures pass on) and caches its
  // quantizers; then brings the engine's RAM caches up to the stamp.
  // Afterwards the operation observes every write completed by any client
  // before the stamp was read. Operations that need neither the
  // configuration, the quantizers nor the payload width pass false.
  void SyncWithStore(bool with_state);
  // Runs write (whose engine writes advance the change stamp), and when a
  // training replaced the lists while it ran (ListsReplaced), synchronises
  // with the stored state and runs it again; after 3 attempts throws
  // std::runtime_error "Training is in progress on this index ... Please
  // retry.". write must be safe to repeat.
  void WriteOnCurrentLists(const std::function<void()>& write);
  // Quantizer synchronisation. SyncQuantizers is the one sequence every
  // operation uses: a cache hit (same stamp) serves; otherwise the stored
  // state is reread and adopted whole, then put into the cache. A miss
  // whose state cannot be read throws, except where the config location
  // keeps no config items (MEMORY), whose cache entry is the only copy.
  void SyncQuantizers();
  // Wipes quantizers_ and releases filtered_quantizers_: the end of every
  // operation that synchronised.
  void EndQuantizerUse();
  // True when the cache served a set for this index's key and stamp; it
  // then replaces quantizers_.
  bool LoadQuantizersFromCache();
  // Rereads the stored state and adopts it (configuration, quantizers,
  // trained flag, version, engine vocabulary and payload size). Returns
  // whether the stored state was read. Throws when it cannot be read,
  // except for a config store that keeps no config items (returns false).
  bool CheckAndReloadQuantizers();
  // Puts quantizers_ into the cache under this index's stamp; a set that
  // was wiped (EndQuantizerUse) and not reloaded since is never put. Code
  // that fills quantizers_ itself (training) marks it with
  // set_quantizers_plain(true) first.
  void CacheQuantizers();
  static void WipeQuantizers(QuantizerSet& set);

  // The stored state of this index, built from its members; the caller
  // wipes the bytes.
  std::vector<uint8_t> SerializeIndexState() const;
  // Adopts a stored state: configuration, quantizers, trained flag, version.
  void DeserializeIndexState(const std::vector<uint8_t>& buffer);
  // SerializeIndexState, stored through the engine; the bytes are wiped.
  void StoreIndexState();
  // Brings the engine's vocabulary and payload size in line with the
  // configuration and trained flag.
  void SyncEngineShape();
  // The engine's payload bytes per row for the current trained state.
  size_t TrainedPayloadSize() const;

  // This index's identity in the quantizer cache and its current stamp.
  internal::QuantizerCacheKey cache_key() const;
  internal::QuantizerStamp stamp() const;

  // Throws the not-connected error (logged at CRITICAL) when the engine
  // client is gone.
  void RequireConnected() const;
  // Marks quantizers_ as usable plaintext (after training replaced it).
  void set_quantizers_plain(bool plain) { quantizers_plain_ = plain; }
  // The client's thread count for the parallel work of one operation: every
  // public operation opens this scope on its calling thread.
  ScopedThreadCount ThreadScope() const { return ScopedThreadCount(thread_count_); }

  // Decodes stored payload rows (bytes) back to float vectors under
  // quantizers_ for the index type and trained state (Get's conversion).
  std::vector<float> PayloadToFloats(const std::vector<uint8_t>& payload) const;

 private:
  // Members of both constructors before the guarded part.
  void InitMembers(const std::string& index_name, const std::array<uint8_t, 32>& index_key,
                   const nivora_encrypted_index::ExistingIndexConfig& engine_config,
                   Logger* logger, std::shared_ptr<internal::TelemetryAggregator> telemetry,
                   std::optional<std::string> quantizer_cache_location);
  // Upsert's validation before anything is written, and the dimension
  // detection it may store.
  void ValidateUpsert(const std::vector<std::string>& ids, const Array2D<float>& embeddings,
                      const std::vector<std::vector<uint8_t>>& contents,
                      const std::vector<std::string>& metadata) const;
  bool DetectDimensions(size_t cols);
  void IngestUntrained(Array2D<float> embeddings, const std::vector<std::string>& ids,
                       const std::vector<std::vector<uint8_t>>& contents,
                       const std::vector<std::string>& metadata);
  void AddCounter(internal::TelemetryEventType type, int64_t n) const;
  // What the index looked like before training changed it in memory.
  struct IndexSnapshot {
    std::unique_ptr<QuantizerSet> quantizers;
    size_t n_lists = 0;
    bool trained = false;
    int32_t quantizer_version = 0;
    uint64_t generation = 0;  // of the engine's lists
    size_t payload_size = 0;
    size_t vocab_size = 0;
  };
  using ItemDigests = nivora_encrypted_index::Client::ItemDigests;
  // Training after its checks: reads the items, trains the quantizers,
  // builds generation `pending` of the lists, takes in the writes of other
  // clients made meanwhile and commits it. On failure the object is as
  // before (the caller removes the pending generation).
  void TrainGeneration(const TrainParams& params, uint64_t pending);
  // One round of taking in other clients' writes into generation `pending`:
  // the items of the current generation written since `since` (decoded
  // under decode when given) are added to the new lists again, and those
  // deleted are removed from them.
  // Returns how many items it took in. `since`: the stamp of the last
  // round (the log names what changed after it; when it cannot tell, every
  // item is read again and compared with `digests`).
  size_t ReconcileWrites(const IndexSnapshot& before, uint64_t pending,
                         const internal::vector_index::SQQuantizer* decode, ItemDigests& digests,
                         const nivora_encrypted_index::ChangeStamp& since);
  // The state of this object stored as the state of the pending generation
  // the engine is building.
  void StorePendingState();
  // Takes over a state read from storage (the name stays this index's).
  void AdoptIndexState(IndexState&& state);

  int32_t cpu_threads_ = 0;
  GPUConfig gpu_config_ = GPUConfig::NONE;
  std::string index_name_;
  std::unique_ptr<IndexConfig> index_config_;
  nivora_encrypted_index::internal::cryptography::WipedKey index_key_;
  std::unique_ptr<QuantizerSet> quantizers_;
  std::unique_ptr<QuantizerSet> filtered_quantizers_;
  bool trained_ = false;
  int32_t quantizer_version_ = 0;
  std::unique_ptr<nivora_encrypted_index::Client> client_;
  // The store of the engine configuration (borrowed, as the engine's).
  nivora_encrypted_index::internal::backing_store::Keystore* config_store_ = nullptr;
  Logger* logger_ = nullptr;
  std::shared_ptr<internal::TelemetryAggregator> telemetry_;

  // The client's cpu_threads (0: the OpenMP default), for ThreadScope.
  int32_t thread_count_ = 0;
  // Keeps logger_ the Index API's current logger while the index lives.
  LoggerHold logger_hold_;
  // The stored location of this index for the quantizer cache.
  std::string cache_location_;
  // quantizers_ holds usable plaintext (synchronised or freshly trained,
  // not yet wiped): the only set that may be put into the cache.
  bool quantizers_plain_ = false;
  // The state tag of the change stamp under which the state this object
  // holds was read or stored; unset until known (the next SyncWithStore
  // then rereads the stored state).
  std::optional<uint64_t> state_tag_;
  // Serialises the public operations of this object.
  mutable std::mutex mutex_;
};

}  // namespace nivora

#endif  // NIVORA_API_ENCRYPTED_INDEX_H_
