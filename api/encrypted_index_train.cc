// Training of an index: read every stored item back, train the quantizers
// of the index type and build new lists of every item under them.
//
// Training is all or nothing, also when the process dies. The new lists
// (tokens, counters, summaries, payload rows) and the new state are written
// into a new generation beside the current one (client_generations.cc);
// one compare-and-set of the change record makes them current, and only
// then is the replaced generation removed. A failure before the switch
// removes the new generation and puts the object back as it was; ids,
// metadata and contents, shared by every generation, are never rewritten.
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "api/encrypted_index.h"
#include "api/error_guard.h"
#include "api/train_steps.h"
#include "core/log_and_throw.h"
#include "core/test_points.h"
#include "vector/gpu_entry_points.h"
#include "vector/kmeans.h"
#include "vector/pq_encoding.h"
#include "vector/sq_codec.h"

namespace nivora {

namespace {

namespace crypto = nivora_encrypted_index::internal::cryptography;
using internal::vector_index::KMeansParams;
using internal::vector_index::QuantizerSet;
using internal::vector_index::SQQuantizer;
using nivora_encrypted_index::ChangeStamp;
using nivora_encrypted_index::ItemBatch;

// Rounds of taking in other clients' writes before training gives up.
constexpr int kMaxReconcileRounds = 20;
// A round that took in at most this many items is followed by the last
// one, with the other clients' writes held back until the commit.
constexpr size_t kHoldBackItems = 256;
constexpr char kTrainedMeanwhileMessage[] =
    "Another training of this index was committed while this one ran. Please retry.";
constexpr char kWritesOutpaceTrainingMessage[] =
    "Training is in progress on this index and could not take in the writes of other clients "
    "in time. Please retry.";

// The items training works on, owned here: the engine's batch is reused by
// its next read on this thread. The matrix holds plaintext vectors and is
// wiped when the items go, however training ends.
struct TrainingItems {
  std::vector<std::string> ids;
  std::vector<std::string> metadata;
  Array2D<float> matrix;  // one row per id

  TrainingItems() = default;
  TrainingItems(const TrainingItems&) = delete;
  TrainingItems& operator=(const TrainingItems&) = delete;
  // A moved matrix keeps its data pointer: the source must forget it, or
  // its wipe would zero the rows it handed over.
  TrainingItems(TrainingItems&& other) noexcept { *this = std::move(other); }
  TrainingItems& operator=(TrainingItems&& other) noexcept {
    Wipe();
    ids = std::move(other.ids);
    metadata = std::move(other.metadata);
    matrix = std::move(other.matrix);
    other.matrix = Array2D<float>();
    return *this;
  }
  ~TrainingItems() { Wipe(); }

  void Wipe() noexcept {
    if (matrix.data != nullptr) OPENSSL_cleanse(matrix.data, matrix.size() * sizeof(float));
  }
};

// The stored rows read as float vectors, into new storage.
Array2D<float> RowsAsFloats(const Array2DView<uint8_t>& rows) {
  if (rows.cols % sizeof(float) != 0) {
    throw std::invalid_argument("Source byte row size not compatible with target type");
  }
  Array2D<float> out(rows.rows, rows.cols / sizeof(float));
  if (out.size() != 0) std::memcpy(out.data, rows.data, rows.rows * rows.cols);
  return out;
}

// Stored scalar-quantizer codes decoded under sq.
Array2D<float> DecodeCodes(const Array2DView<uint8_t>& rows, const SQQuantizer& sq,
                           size_t sq_bits) {
  namespace cpu = internal::vector_index::cpu;
  if (sq_bits == 8) return cpu::DecodeSQ<uint8_t>(rows, sq);
  return cpu::DecodeSQ<uint16_t>(view_as<uint16_t>(rows), sq);
}

// Takes the items out of the engine's batch (decoding SQ codes under
// `decode` when given) and wipes the batch.
TrainingItems TakeItems(ItemBatch& batch, const SQQuantizer* decode, size_t sq_bits) {
  struct ReleaseBatch {
    ~ReleaseBatch() { nivora_encrypted_index::Client::ReleaseAllEmbeddings(); }
  } release;
  TrainingItems items;
  items.ids = batch.ids;
  items.metadata = batch.metadata;
  const Array2DView<uint8_t> rows = batch.payload_view();
  items.matrix = decode != nullptr ? DecodeCodes(rows, *decode, sq_bits) : RowsAsFloats(rows);
  return items;
}

// The first scalar quantizer of set, which IVFSQ decoding needs.
const SQQuantizer& FirstScalarQuantizer(const QuantizerSet& set) {
  if (set.sq_quantizers.empty()) {
    LogAndThrow<std::runtime_error>(*GetLogger(), ERROR,
                                    "No SQ quantizers found. Please train the index first.");
  }
  return set.sq_quantizers.front();
}

// n_lists as asked for, or chosen from the training matrix; logged.
size_t ChooseNLists(const TrainParams& params, const Array2D<float>& matrix, Logger& logger) {
  if (params.n_lists != 0) {
    logger.info("Using provided n_lists: " + std::to_string(params.n_lists));
    return static_cast<size_t>(params.n_lists);
  }
  const size_t n_lists = internal::AutoNLists(matrix.rows, matrix.cols);
  logger.info("Auto-calculated n_lists: " + std::to_string(n_lists) + " for " +
              std::to_string(matrix.rows) + " vectors, dimension=" + std::to_string(matrix.cols) +
              " (~" + std::to_string(matrix.rows / n_lists) + " vectors/list)");
  return n_lists;
}

// A fresh set of the quantizers of config's type for n_lists lists,
// trained on matrix.
QuantizerSet TrainQuantizers(const Array2D<float>& matrix, const IndexConfig& config,
                             size_t n_lists, const TrainParams& params, GPUConfig gpu,
                             Logger& logger) {
  namespace vi = internal::vector_index;
  const vi::TrainKMeansFn kmeans =
      HasFlag(gpu, GPUConfig::TRAIN) ? &vi::gpu::TrainKMeans : &vi::cpu::TrainKMeans;
  KMeansParams kmeans_params;
  kmeans_params.max_iters = static_cast<size_t>(params.max_iters);
  kmeans_params.batch_size = internal::KMeansBatchSize(params.batch_size, n_lists);
  kmeans_params.tolerance = params.tolerance;
  logger.info("Training quantizers...");
  logger.info("TrainQuantizers");

  QuantizerSet set;
  if (config.index_type_ == IndexType::IVFPQ) {
    KMeansParams pq = kmeans_params;
    pq.n_subvectors = config.pq_dim();
    pq.n_clusters = vi::PQCodewordCount(config.pq_bits());
    set.pq_codebooks = kmeans(matrix, pq, config.metric_);
  }
  if (config.index_type_ == IndexType::IVFSQ) {
    const int32_t bits = static_cast<int32_t>(config.sq_bits());
    logger.info("Training SQ quantizer: computing per-dimension min/max scales for " +
                std::to_string(matrix.cols) + " dimensions using " + std::to_string(bits) +
                " bits");
    set.sq_quantizers.push_back(internal::TrainScalarQuantizer(matrix, bits));
    logger.info("SQ quantizer training complete");
  }
  KMeansParams coarse = kmeans_params;
  coarse.n_subvectors = 1;
  coarse.n_clusters = n_lists;
  set.centroids = kmeans(matrix, coarse, config.metric_);
  return set;
}

// Ends the use of the plaintext quantizers however training ends.
class QuantizerUse {
 public:
  explicit QuantizerUse(EncryptedIndex& index) : index_(index) {}
  ~QuantizerUse() {
    try {
      index_.EndQuantizerUse();
    } catch (...) {
      // Wiping only writes zeros; nothing to report.
    }
  }
  QuantizerUse(const QuantizerUse&) = delete;
  QuantizerUse& operator=(const QuantizerUse&) = delete;

 private:
  EncryptedIndex& index_;
};

}  // namespace

void EncryptedIndex::TrainIndex(const TrainParams& params) {
  std::lock_guard<std::mutex> lock(mutex_);
  internal::Guarded("TrainIndex", telemetry_.get(), [&] {
    AddCounter(internal::TelemetryEventType::Train, 1);
    logger_->info("TrainIndex");
    RequireConnected();
    const QuantizerUse quantizer_use(*this);
    // Another client may have trained since this object last looked.
    SyncWithStore(/*with_state=*/true);
    SyncQuantizers();
    const bool retraining = trained_;
    if (retraining) {
      const IndexType type = index_config_->index_type_;
      if (type == IndexType::IVF || type == IndexType::IVFPQ) {
        LogAndThrow<std::runtime_error>(
            *logger_, ERROR,
            "IVF and IVFPQ indexes can only be trained once. Retraining is not supported.");
      }
      logger_->info("Retraining index...");
    }

    const uint64_t counted = client_->num_vectors();
    if (counted < internal::kMinTrainingItems) {
      logger_->warning("Not enough vectors to train. At least " +
                       std::to_string(internal::kMinTrainingItems) + " vectors are required.");
      return;
    }
    internal::CheckTrainingParameters(*index_config_, params.n_lists, *logger_);
    const uint64_t pending = client_->ClaimGeneration();
    internal::ReachTestPoint("training-claimed");
    try {
      TrainGeneration(params, pending);
    } catch (const std::exception& e) {
      logger_->error(std::string("Training failed, the index keeps its lists: ") + e.what());
      client_->AbandonGeneration(pending);
      throw;
    }
  });
}

void EncryptedIndex::TrainGeneration(const TrainParams& params, uint64_t pending) {
  // Everything is read from the store itself after this stamp; the writes
  // of other clients that complete later are reconciled before the commit.
  ChangeStamp seen = client_->ReadChangeStamp();
  if (seen.generation != client_->generation()) {
    LogAndThrow<std::runtime_error>(*logger_, ERROR, kTrainedMeanwhileMessage);
  }
  ItemDigests digests;
  std::vector<uint64_t> gone;

  // Every stored item, as float rows. Retraining an IVFSQ index decodes
  // the stored codes under the quantizers they were made with.
  logger_->info("Retrieving embeddings from the encrypted index for training...");
  const SQQuantizer* decode = nullptr;
  if (trained_ && index_config_->index_type_ == IndexType::IVFSQ) {
    logger_->info("Dequantizing IVFSQ embeddings for retraining...");
    decode = &FirstScalarQuantizer(*quantizers_);
  }
  const size_t sq_bits = index_config_->sq_bits();
  TrainingItems items = TakeItems(client_->RetrieveChangedItems(digests, gone), decode, sq_bits);
  logger_->info("Retrieved " + std::to_string(items.ids.size()) + " items for training");

  const size_t n_lists = ChooseNLists(params, items.matrix, *logger_);
  if (internal::FewerThanTwicePerList(items.matrix.rows, n_lists)) {
    LogAndThrow<std::invalid_argument>(
        *logger_, ERROR,
        "Number of embeddings is less than the 2 * n_lists. Please ingest more data before "
        "training.");
  }
  QuantizerSet fresh =
      TrainQuantizers(items.matrix, *index_config_, n_lists, params, gpu_config_, *logger_);

  // The new lists are built in the pending generation; the current one is
  // not touched until the new one is committed.
  IndexSnapshot before{std::move(quantizers_),  index_config_->n_lists(), trained_,
                       quantizer_version_,       client_->generation(),  client_->payload_size(),
                       static_cast<size_t>(client_->vocab_size())};
  quantizers_ = std::make_unique<QuantizerSet>(std::move(fresh));
  set_quantizers_plain(true);
  ChangeStamp committed;
  try {
    index_config_->set_n_lists(n_lists);
    trained_ = true;
    quantizer_version_ = before.quantizer_version + 1;
    client_->BuildGeneration(pending, TrainedPayloadSize(), n_lists);
    IngestTrained(items.matrix, items.ids, {}, items.metadata, /*rebuild=*/true);
    items = TrainingItems();
    StorePendingState();
    internal::ReachTestPoint("training-state-stored");
    // Commit once every logged write is taken in. Each round takes in only
    // what was logged since the one before, so rounds shrink while others
    // write; once a round is small, the writes are held back for the last
    // one, so that the commit cannot be outrun.
    size_t last_taken = SIZE_MAX;
    for (int round = 0;; ++round) {
      const ChangeStamp now = client_->ReadChangeStamp();
      if (now.generation != before.generation) {
        LogAndThrow<std::runtime_error>(*logger_, ERROR, kTrainedMeanwhileMessage);
      }
      if (now == seen) {
        if (client_->CommitGeneration(pending, seen, &committed)) break;
        continue;
      }
      if (round == kMaxReconcileRounds) {
        LogAndThrow<std::runtime_error>(*logger_, ERROR, kWritesOutpaceTrainingMessage);
      }
      ChangeStamp held;
      if ((last_taken <= kHoldBackItems || 2 * round >= kMaxReconcileRounds) &&
          client_->HoldForCommit(pending, now, &held)) {
        internal::ReachTestPoint("training-holding-writes");
        ReconcileWrites(before, pending, decode, digests, seen);
        seen = now;
        if (client_->CommitGeneration(pending, held, &committed)) break;
        continue;  // the hold was broken: more rounds
      }
      last_taken = ReconcileWrites(before, pending, decode, digests, seen);
      seen = now;
    }
  } catch (const std::exception&) {
    std::swap(quantizers_, before.quantizers);
    index_config_->set_n_lists(before.n_lists);
    trained_ = before.trained;
    quantizer_version_ = before.quantizer_version;
    client_->UseGeneration(before.generation, before.payload_size, before.vocab_size);
    if (before.quantizers) WipeQuantizers(*before.quantizers);
    throw;
  }
  internal::ReachTestPoint("training-committed");
  state_tag_ = committed.state_tag;
  logger_->info("Incremented quantizer version to " + std::to_string(quantizer_version_));
  if (before.quantizers) WipeQuantizers(*before.quantizers);
  client_->CollectGenerations();
  CacheQuantizers();
  client_->EagerLoadCaches();
  client_->WarmTokenCache();  // the first query then derives no tokens
  logger_->info("TrainIndex completed successfully");
}

size_t EncryptedIndex::ReconcileWrites(const IndexSnapshot& before, uint64_t pending,
                                       const SQQuantizer* decode, ItemDigests& digests,
                                       const ChangeStamp& since) {
  // The items the log names since the last round; every item again when it
  // cannot tell.
  const std::optional<std::vector<uint64_t>> logged = client_->ItemsChangedSince(since);
  const size_t n_lists = index_config_->n_lists();
  // Read from the current generation, under its shape.
  client_->UseGeneration(before.generation, before.payload_size, before.vocab_size);
  std::vector<uint64_t> removed;
  TrainingItems changed =
      TakeItems(client_->RetrieveChangedItems(digests, removed, logged ? &*logged : nullptr),
                decode, index_config_->sq_bits());
  logger_->info("Taking in the writes made during training: " +
                std::to_string(changed.ids.size()) + " items written, " +
                std::to_string(removed.size()) + " removed");
  client_->BuildGeneration(pending, TrainedPayloadSize(), n_lists);
  if (!changed.ids.empty()) {
    IngestTrained(changed.matrix, changed.ids, {}, changed.metadata, /*rebuild=*/true);
  }
  client_->RemoveListEntries(removed);
  return changed.ids.size() + removed.size();
}

void EncryptedIndex::StorePendingState() {
  std::vector<uint8_t> bytes = SerializeIndexState();
  crypto::ScopedCleanse wipe_bytes(bytes);
  client_->StoreGenerationState(bytes);
}

}  // namespace nivora
