// Upsert and the two ingest paths: untrained (every item in list 0 with its
// raw vector) and trained (nearest centroid, payload encoded for the index
// type, metadata summaries updated).
#include <cmath>
#include <iostream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "api/encrypted_index.h"

#include "api/finite_values.h"
#include "api/error_guard.h"
#include "api/quantizer_params.h"
#include "core/log_and_throw.h"
#include "filters/json_text.h"
#include "vector/entry_points.h"
#include "vector/gpu_entry_points.h"
#include "vector/pq_encoding.h"
#include "vector/sq_codec.h"

namespace nivora {

using nivora_encrypted_index::ItemBatch;

namespace {

namespace vi = internal::vector_index;
using internal::TelemetryEventType;

// Wipes the plaintext quantizers however the operation ends.
class QuantizerUse {
 public:
  explicit QuantizerUse(EncryptedIndex& index) : index_(index) {}
  ~QuantizerUse() { index_.EndQuantizerUse(); }
  QuantizerUse(const QuantizerUse&) = delete;
  QuantizerUse& operator=(const QuantizerUse&) = delete;

 private:
  EncryptedIndex& index_;
};

// The rows to keep when ids repeat: the last occurrence of each id, in
// the order of those last occurrences. Empty when no id repeats.
std::vector<size_t> LastOccurrences(const std::vector<std::string>& ids) {
  std::unordered_map<std::string_view, size_t> last;
  last.reserve(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) last[ids[i]] = i;
  if (last.size() == ids.size()) return {};
  std::vector<size_t> keep;
  keep.reserve(last.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    if (last[ids[i]] == i) keep.push_back(i);
  }
  return keep;
}

template <typename T>
std::vector<T> Pick(const std::vector<T>& values, const std::vector<size_t>& rows) {
  if (values.empty()) return {};
  std::vector<T> out;
  out.reserve(rows.size());
  for (size_t r : rows) out.push_back(values[r]);
  return out;
}

Array2D<float> PickRows(const Array2D<float>& m, const std::vector<size_t>& rows) {
  Array2D<float> out(rows.size(), m.cols);
  for (size_t i = 0; i < rows.size(); ++i) {
    std::copy(m.row(rows[i]), m.row(rows[i]) + m.cols, out.row(i));
  }
  return out;
}

bool AnyMetadataText(const std::vector<std::string>& metadata) {
  for (const std::string& text : metadata) {
    if (!text.empty()) return true;
  }
  return false;
}

}  // namespace

void EncryptedIndex::ValidateUpsert(const std::vector<std::string>& ids,
                                    const Array2D<float>& embeddings,
                                    const std::vector<std::vector<uint8_t>>& contents,
                                    const std::vector<std::string>& metadata) const {
  const size_t n = ids.size();
  const size_t rows = embeddings.rows;
  const size_t cols = embeddings.cols;
  if (rows != n) {
    LogAndThrow<std::invalid_argument>(*logger_, ERROR,
                                       "Mismatch between the number of vectors and IDs.");
  }
  if (rows == 0) {
    LogAndThrow<std::invalid_argument>(*logger_, ERROR, "Vectors and IDs cannot be empty.");
  }
  const size_t dimension = index_config_->dimension();
  if (cols == 0 || (dimension != 0 && cols != dimension)) {
    LogAndThrow<std::invalid_argument>(
        *logger_, ERROR,
        "The dimension of the vectors provided (" + std::to_string(cols) +
            ") doesn't match the index configuration (" + std::to_string(dimension) + ").");
  }
  if (!contents.empty() && contents.size() != rows) {
    LogAndThrow<std::invalid_argument>(*logger_, ERROR,
                                       "Mismatch between the number of vectors and items.");
  }
  if (!metadata.empty() && metadata.size() != rows) {
    LogAndThrow<std::invalid_argument>(*logger_, ERROR,
                                       "Mismatch between the number of vectors and metadata.");
  }
  for (size_t i = 0; i < metadata.size(); ++i) {
    if (metadata[i].empty()) continue;
    std::string error;
    // The text itself may be sensitive: the message names the position only.
    if (!ParseJsonText(metadata[i], &error)) {
      const std::string position = std::to_string(i);
      LogAndThrow<std::invalid_argument>(
          *logger_, ERROR,
          error == kJsonTooDeepError
              ? "Metadata at position " + position +
                    " nests deeper than 64 levels; at most 64 are allowed."
              : "Invalid JSON metadata at position " + position + ".");
    }
  }
  if (!internal::AllFinite(embeddings)) {
    LogAndThrow<std::invalid_argument>(*logger_, ERROR,
                                       "Vectors must contain only finite values.");
  }
  if (dimension == 0 || (index_config_->index_type_ == IndexType::IVFPQ &&
                         index_config_->pq_dim() == 0)) {
    // What the configuration becomes with the detected dimension.
    std::unique_ptr<IndexConfig> detected = index_config_->clone();
    detected->dimension_ = cols;
    ValidateQuantizerParams(*detected);
  }
}

bool EncryptedIndex::DetectDimensions(size_t cols) {
  bool detected = false;
  if (index_config_->dimension_ == 0) {
    logger_->info("Auto-detecting vector dimension: " + std::to_string(cols));
    index_config_->dimension_ = cols;
    detected = true;
  }
  if (index_config_->index_type_ == IndexType::IVFPQ && index_config_->pq_dim() == 0) {
    logger_->info("Auto-detecting PQ dimension: " + std::to_string(cols));
    static_cast<IndexIVFPQ&>(*index_config_).pq_dim_ = cols;
    detected = true;
  }
  if (!detected) return false;
  client_->payload_size(4 * cols);
  logger_->info("Updated payload size to: " + std::to_string(4 * cols));
  StoreIndexState();
  return true;
}

void EncryptedIndex::Upsert(const std::vector<std::string>& ids, Array2D<float> embeddings,
                            const std::vector<std::vector<uint8_t>>& contents,
                            const std::vector<std::string>& metadata) {
  std::lock_guard<std::mutex> lock(mutex_);
  const ScopedThreadCount threads = ThreadScope();
  Guarded("Upsert", telemetry_.get(), [&] {
    const size_t n = ids.size();
    logger_->info("Upserting " + std::to_string(n) + " items.");
    if (!client_) LogAndThrow<std::logic_error>(*logger_, ERROR, kNotConnectedMessage);
    SyncWithStore(/*with_state=*/true);
    const std::vector<size_t> keep = LastOccurrences(ids);
    if (!keep.empty()) {
      const char* warning = "Warning: Duplicate IDs detected. Skipping duplicate IDs.";
      logger_->warning(warning);
      std::cerr << warning << std::endl;
    }
    ValidateUpsert(ids, embeddings, contents, metadata);
    const size_t rows = embeddings.rows;
    DetectDimensions(embeddings.cols);

    QuantizerUse use(*this);
    SyncQuantizers();
    // Copies of a matrix share its rows: a second attempt writes the same.
    auto ingest = [&](const Array2D<float>& rows, const std::vector<std::string>& item_ids,
                      const std::vector<std::vector<uint8_t>>& item_contents,
                      const std::vector<std::string>& item_metadata) {
      WriteOnCurrentLists([&] {
        if (trained_) {
          IngestTrained(rows, item_ids, item_contents, item_metadata, false);
        } else {
          IngestUntrained(rows, item_ids, item_contents, item_metadata);
        }
      });
    };
    if (keep.empty()) {
      ingest(embeddings, ids, contents, metadata);
    } else {
      // A repeated id keeps its last occurrence.
      ingest(PickRows(embeddings, keep), Pick(ids, keep), Pick(contents, keep),
             Pick(metadata, keep));
    }
    AddCounter(TelemetryEventType::Upsert, static_cast<int64_t>(rows));
  });
}

void EncryptedIndex::IngestUntrained(Array2D<float> embeddings,
                                     const std::vector<std::string>& ids,
                                     const std::vector<std::vector<uint8_t>>& contents,
                                     const std::vector<std::string>& metadata) {
  logger_->info("IngestUntrained ");
  const std::vector<uint32_t> centroid_ids(ids.size(), 0);
  ItemBatch batch;
  batch.ids = ids;
  batch.payload = std::move(embeddings);
  batch.contents = contents;
  batch.metadata = metadata;
  client_->AddItems(batch, centroid_ids);
}

namespace {

// The stored payload of a trained index's batch, encoded for its type.
nivora_encrypted_index::Payload EncodePayload(Array2D<float>& embeddings, const IndexConfig& config,
                                 const vi::QuantizerSet& quantizers, Logger& logger) {
  const size_t rows = embeddings.rows;
  switch (config.index_type_) {
    case IndexType::IVF:
      return Array2D<unsigned char>();
    case IndexType::IVFFLAT:
      return std::move(embeddings);
    case IndexType::IVFPQ: {
      Array2D<unsigned char> bytes(rows, 4 * quantizers.pq_codebooks.size());
      const Array2DView<uint32_t> codes = view_as<uint32_t>(Array2DView<unsigned char>(bytes));
      if (config.metric_ == DistanceMetric::Euclidean ||
          config.metric_ == DistanceMetric::SquaredEuclidean) {
        vi::cpu::EncodePQIntoL2(embeddings, quantizers.pq_codebooks, codes);
      } else if (config.metric_ == DistanceMetric::Cosine) {
        vi::cpu::EncodePQIntoCosine(embeddings, quantizers.pq_codebooks, codes);
      } else {
        LogAndThrow<std::runtime_error>(*GetLogger(), ERROR, "Unsupported distance metric.");
      }
      return bytes;
    }
    case IndexType::IVFSQ: {
      if (quantizers.sq_quantizers.empty()) {
        LogAndThrow<std::runtime_error>(logger, ERROR,
                                        "No SQ quantizers found. Please train the index first.");
      }
      const vi::SQQuantizer& sq = quantizers.sq_quantizers.front();
      if (config.sq_bits() == 8) {
        Array2D<unsigned char> bytes(rows, embeddings.cols);
        vi::cpu::EncodeSQInto<uint8_t>(embeddings, sq, Array2DView<uint8_t>(bytes));
        return bytes;
      }
      if (config.sq_bits() == 16) {
        Array2D<unsigned char> bytes(rows, 2 * embeddings.cols);
        vi::cpu::EncodeSQInto<uint16_t>(embeddings, sq,
                                        view_as<uint16_t>(Array2DView<unsigned char>(bytes)));
        return bytes;
      }
      LogAndThrow<std::invalid_argument>(
          logger, ERROR, "Unsupported sq_bits value: " + std::to_string(config.sq_bits()),
          "Unsupported sq_bits value. Only 8 or 16 are supported.");
    }
  }
  LogAndThrow<std::invalid_argument>(logger, ERROR, "Unsupported index type for quantization.");
}

}  // namespace

void EncryptedIndex::IngestTrained(Array2D<float> embeddings, const std::vector<std::string>& ids,
                                   const std::vector<std::vector<uint8_t>>& contents,
                                   const std::vector<std::string>& metadata, bool rebuild) {
  logger_->info("IngestTrained ");
  const IndexConfig& config = *index_config_;
  if (static_cast<uint32_t>(config.index_type_) > 3) {
    LogAndThrow<std::invalid_argument>(*logger_, ERROR,
                                       "Unsupported index type for quantization.");
  }
  const vi::EncodePQFn assign =
      HasFlag(gpu_config_, GPUConfig::UPSERT) ? &vi::gpu::EncodePQ : &vi::cpu::EncodePQ;
  const Array2D<uint32_t> assignment = assign(embeddings, quantizers_->centroids, config.metric_);
  const size_t n = ids.size();
  ItemBatch batch;
  batch.payload = EncodePayload(embeddings, config, *quantizers_, *logger_);
  if (assignment.rows * assignment.cols != n) {
    LogAndThrow<std::invalid_argument>(
        *logger_, ERROR, "Mismatch between the number of quantized embeddings and IDs.");
  }
  const std::vector<uint32_t> centroid_ids(assignment.data, assignment.data + n);
  batch.ids = ids;
  batch.contents = contents;
  batch.metadata = metadata;

  const bool summarise = AnyMetadataText(metadata);
  auto update_summaries = [&] {
    try {
      UpdateMetadata(metadata, centroid_ids);
    } catch (const nivora_encrypted_index::ListsReplaced&) {
      throw;  // the caller writes again
    } catch (const std::exception& e) {
      LogAndThrow<std::runtime_error>(*logger_, CRITICAL,
                                      std::string("Error updating metadata: ") + e.what());
    }
  };
  // New items: the summaries first. An extra summary only widens a
  // pre-filter; a missing one would hide stored items from it.
  if (summarise && !rebuild) update_summaries();
  try {
    if (rebuild) {
      client_->AddListEntries(batch, centroid_ids);
    } else {
      client_->AddItems(batch, centroid_ids);
    }
  } catch (const nivora_encrypted_index::ListsReplaced&) {
    throw;  // the caller writes again
  } catch (const std::exception& e) {
    LogAndThrow<std::runtime_error>(*logger_, CRITICAL,
                                    std::string("Error ingesting: ") + e.what());
  }
  // New lists start without summaries: build them afresh.
  if (summarise && rebuild) update_summaries();
}

}  // namespace nivora
