// Training of an index: read every stored item back, train the quantizers
// of the index type and re-ingest every item under them.
//
// Training is all or nothing as seen from outside. The new quantizers,
// n_lists, the trained flag and the version become the index's, stored and
// cached, only once the re-ingest has succeeded. When the re-ingest (or the
// store of the new state) fails, the engine's payload size and vocabulary
// go back to what they were and the items read at the start are added again
// under the old quantizers; the stored state was never touched.
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "api/encrypted_index.h"
#include "api/error_guard.h"
#include "api/train_steps.h"
#include "core/log_and_throw.h"
#include "vector/gpu_entry_points.h"
#include "vector/kmeans.h"
#include "vector/pq_encoding.h"
#include "vector/sq_codec.h"

namespace nivora {

namespace {

using internal::vector_index::KMeansParams;
using internal::vector_index::QuantizerSet;
using internal::vector_index::SQQuantizer;
using nivora_encrypted_index::ItemBatch;

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
  TrainingItems(TrainingItems&&) = default;
  TrainingItems& operator=(TrainingItems&& other) noexcept {
    Wipe();
    ids = std::move(other.ids);
    metadata = std::move(other.metadata);
    matrix = std::move(other.matrix);
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

// What the engine looked like before the re-ingest changed it.
struct EngineShape {
  size_t payload_size = 0;
  size_t vocab_size = 0;
};

// What the index looked like before training changed it in memory.
struct IndexSnapshot {
  std::unique_ptr<QuantizerSet> quantizers;
  size_t n_lists = 0;
  bool trained = false;
  int32_t quantizer_version = 0;
};

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
    SyncWithStore(/*with_state=*/true);
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
    const std::vector<uint32_t> snapshot = client_->get_counter_map();

    // Every stored item, as float rows. Retraining an IVFSQ index decodes
    // the stored codes under the quantizers they were made with.
    logger_->info("Retrieving embeddings from the encrypted index for training...");
    ItemBatch& stored = client_->RetrieveAllEmbeddings();
    const SQQuantizer* decode = nullptr;
    if (retraining) {
      SyncQuantizers();
      if (trained_ && index_config_->index_type_ == IndexType::IVFSQ) {
        logger_->info("Dequantizing IVFSQ embeddings for retraining...");
        decode = &FirstScalarQuantizer(*quantizers_);
      }
    }
    const size_t sq_bits = index_config_->sq_bits();
    TrainingItems items = TakeItems(stored, decode, sq_bits);

    const size_t n_lists = ChooseNLists(params, items.matrix, *logger_);
    client_->LoadMap();
    const std::vector<uint32_t> current = client_->get_counter_map();
    if (internal::FewerThanTwicePerList(items.matrix.rows, n_lists)) {
      LogAndThrow<std::invalid_argument>(
          *logger_, ERROR,
          "Number of embeddings is less than the 2 * n_lists. Please ingest more data before "
          "training.");
    }
    QuantizerSet fresh =
        TrainQuantizers(items.matrix, *index_config_, n_lists, params, gpu_config_, *logger_);

    // Another client added items while these were read: read them all
    // again, so each is re-ingested once, with its metadata.
    const bool reread = current != snapshot;
    if (reread) {
      logger_->info("Detected changes in counter map. Rereading every item for the re-ingest...");
      client_->RefreshCaches();
      client_->ClearVectorsCache();
      items = TakeItems(client_->RetrieveAllEmbeddings(), decode, sq_bits);
      logger_->info("Retrieved " + std::to_string(items.ids.size()) + " items for the re-ingest");
      logger_->info("Re-quantizing existing embeddings with new quantizers...");
    } else {
      logger_->info(
          "No new embeddings detected. Re-quantizing existing embeddings without reloading...");
    }

    IndexSnapshot before{std::move(quantizers_), index_config_->n_lists(), trained_,
                         quantizer_version_};
    const EngineShape engine_before{client_->payload_size(),
                                    static_cast<size_t>(client_->vocab_size())};
    quantizers_ = std::make_unique<QuantizerSet>(std::move(fresh));
    set_quantizers_plain(true);
    try {
      index_config_->set_n_lists(n_lists);
      trained_ = true;
      quantizer_version_ = before.quantizer_version + 1;
      client_->payload_size(TrainedPayloadSize());
      client_->ResizeVocabulary(n_lists);
      IngestTrained(items.matrix, items.ids, {}, items.metadata, /*rebuild=*/true);
      StoreIndexState();
    } catch (const std::exception& e) {
      logger_->error(std::string("Training failed, restoring the index: ") + e.what());
      std::swap(quantizers_, before.quantizers);
      index_config_->set_n_lists(before.n_lists);
      trained_ = before.trained;
      quantizer_version_ = before.quantizer_version;
      RestoreAfterFailedTraining(items.matrix, items.ids, items.metadata,
                                 engine_before.payload_size, engine_before.vocab_size);
      if (before.quantizers) WipeQuantizers(*before.quantizers);
      throw;
    }
    if (!reread) logger_->info("Avoided redundant embedding retrieval by reusing cached data");
    logger_->info("Incremented quantizer version to " + std::to_string(quantizer_version_));
    if (before.quantizers) WipeQuantizers(*before.quantizers);
    CacheQuantizers();
    client_->EagerLoadCaches();
    client_->WarmTokenCache();  // the first query then derives no tokens
    logger_->info("TrainIndex completed successfully");
  });
}

void EncryptedIndex::RestoreAfterFailedTraining(const Array2D<float>& matrix,
                                                const std::vector<std::string>& ids,
                                                const std::vector<std::string>& metadata,
                                                size_t payload_size, size_t vocab_size) noexcept {
  try {
    client_->DeleteIndex(false);
    client_->payload_size(payload_size);
    client_->ResizeVocabulary(vocab_size);
    if (trained_) {
      IngestTrained(matrix, ids, {}, metadata, /*rebuild=*/false);
    } else {
      IngestUntrained(matrix, ids, {}, metadata);
    }
    client_->EagerLoadCaches();
  } catch (const std::exception& e) {
    logger_->critical(std::string("Could not restore the index after a failed training: ") +
                      e.what());
  } catch (...) {
    logger_->critical("Could not restore the index after a failed training.");
  }
}

}  // namespace nivora
