// Get: stored items by id, with their vectors turned back into floats from
// whatever form the index stores (raw floats, SQ codes, PQ codes).
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "api/encrypted_index.h"
#include "api/error_guard.h"
#include "core/log_and_throw.h"
#include "vector/sq_codec.h"

namespace nivora {
namespace {

namespace vi = internal::vector_index;
using internal::TelemetryEventType;

bool AsksForVector(const std::vector<ItemFields>& include) {
  if (include.empty()) return true;
  for (ItemFields f : include) {
    if (f == ItemFields::VECTOR) return true;
  }
  return false;
}

[[noreturn]] void ThrowSizeMismatch() {
  LogAndThrow<std::invalid_argument>(*GetLogger(), ERROR,
                                     "Stored vector size does not match the index configuration.");
}

std::vector<float> RawFloats(const std::vector<uint8_t>& payload) {
  if (payload.size() % sizeof(float) != 0) {
    LogAndThrow<std::invalid_argument>(*GetLogger(), ERROR,
                                       "Byte vector size is not a multiple of float size.");
  }
  std::vector<float> out(payload.size() / sizeof(float));
  if (!payload.empty()) std::memcpy(out.data(), payload.data(), payload.size());
  return out;
}

template <typename CodeT>
std::vector<float> DecodeSQPayload(const std::vector<uint8_t>& payload,
                                   const vi::SQQuantizer& sq) {
  const size_t dim = sq.min.size();
  if (payload.size() != dim * sizeof(CodeT) || sq.scale.size() != dim) ThrowSizeMismatch();
  std::vector<CodeT> codes(dim);
  std::memcpy(codes.data(), payload.data(), payload.size());
  std::vector<float> out(dim);
  vi::cpu::DecodeSQRows<CodeT>(codes.data(), 1, dim, sq.scale.data(), sq.min.data(), out.data());
  return out;
}

// The concatenation of the codewords the PQ codes name.
std::vector<float> RebuildPQPayload(const std::vector<uint8_t>& payload,
                                    const std::vector<vi::Codebook>& codebooks, size_t dimension) {
  const size_t m = codebooks.size();
  if (m == 0 || payload.size() != m * sizeof(uint32_t) || dimension % m != 0) ThrowSizeMismatch();
  const size_t dsub = dimension / m;
  std::vector<float> out(dimension);
  for (size_t s = 0; s < m; ++s) {
    uint32_t code;
    std::memcpy(&code, payload.data() + s * sizeof(uint32_t), sizeof(code));
    const vi::Codebook& book = codebooks[s];
    if (code >= book.centroids.rows || book.centroids.cols != dsub) {
      LogAndThrow<std::runtime_error>(*GetLogger(), ERROR, "Stored PQ code is out of range.");
    }
    std::memcpy(out.data() + s * dsub, book.centroids.row(code), dsub * sizeof(float));
  }
  return out;
}

}  // namespace

std::vector<float> EncryptedIndex::PayloadToFloats(const std::vector<uint8_t>& payload) const {
  if (!trained_) return RawFloats(payload);
  switch (index_config_->index_type_) {
    case IndexType::IVF:
      return {};  // a trained IVF index stores no vectors
    case IndexType::IVFPQ:
      return RebuildPQPayload(payload, quantizers_->pq_codebooks, index_config_->dimension());
    case IndexType::IVFSQ: {
      if (quantizers_->sq_quantizers.empty()) {
        LogAndThrow<std::runtime_error>(*logger_, ERROR,
                                        "No SQ quantizers found. Please train the index first.");
      }
      const vi::SQQuantizer& sq = quantizers_->sq_quantizers.front();
      if (index_config_->sq_bits() == 8) return DecodeSQPayload<uint8_t>(payload, sq);
      if (index_config_->sq_bits() == 16) return DecodeSQPayload<uint16_t>(payload, sq);
      LogAndThrow<std::invalid_argument>(
          *logger_, ERROR, "Unsupported sq_bits value: " + std::to_string(index_config_->sq_bits()),
          "Unsupported sq_bits value. Only 8 or 16 are supported.");
    }
    case IndexType::IVFFLAT:
    default:
      return RawFloats(payload);
  }
}

std::vector<GetResultItem> EncryptedIndex::Get(const std::vector<std::string>& ids,
                                               const std::vector<ItemFields>& include) {
  std::lock_guard<std::mutex> lock(mutex_);
  const ScopedThreadCount threads = ThreadScope();
  return Guarded("Get", telemetry_.get(), [&] {
    logger_->info("Get " + std::to_string(ids.size()));
    RequireConnected();
    SyncWithStore(/*with_state=*/AsksForVector(include) && !ids.empty());
    struct EndUse {
      EncryptedIndex& index;
      ~EndUse() { index.EndQuantizerUse(); }
    } end_use{*this};
    // Codes are turned back into vectors under the quantizers they were
    // encoded with.
    if (AsksForVector(include) && !ids.empty()) SyncQuantizers();
    std::vector<nivora_encrypted_index::RetrievedItem> items = client_->RetrieveItems(ids, include);
    std::vector<GetResultItem> results;
    results.reserve(items.size());
    for (nivora_encrypted_index::RetrievedItem& item : items) {
      GetLogger()->info("convertBytesToFloats");
      GetResultItem result;
      result.id = std::move(item.id);
      if (!item.vector.empty()) result.vector = PayloadToFloats(item.vector);
      result.contents = std::move(item.contents);
      result.metadata = std::move(item.metadata);
      results.push_back(std::move(result));
    }
    AddCounter(TelemetryEventType::Get, static_cast<int64_t>(ids.size()));
    return results;
  });
}

}  // namespace nivora
