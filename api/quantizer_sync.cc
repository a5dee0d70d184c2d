// Quantizer synchronisation: every operation that needs the trained
// quantizers takes them from the process-wide cache when the cached set
// belongs to this index's own trained state, and otherwise rereads and
// adopts the whole stored state before it publishes it again.
#include <cstddef>
#include <stdexcept>
#include <string>

#include "api/encrypted_index.h"
#include "api/index_state.h"
#include "core/log_and_throw.h"

namespace nivora {
namespace {

namespace crypto = nivora_encrypted_index::internal::cryptography;

// The refusal of a config store that keeps no config items (the plain
// in-process store): its index has no stored state to reread.
constexpr char kNoConfigItemsMessage[] =
    "MemoryKeystore does not support PushConfigItem and LoadConfigItem yet";

const char* TrainedWord(bool trained) { return trained ? "trained" : "untrained"; }

bool AllZero(const float* values, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (values[i] != 0.0f) return false;
  }
  return true;
}

// Whether set holds trained quantizers whose values have been zero-filled:
// real coarse centroids are never all zero (short of all-zero data), and
// real SQ scales are positive.
bool LooksWiped(const EncryptedIndex::QuantizerSet& set) {
  if (set.centroids.empty()) return false;  // an untrained set has nothing to wipe
  for (const auto& sq : set.sq_quantizers) {
    if (!sq.scale.empty() && AllZero(sq.scale.data(), sq.scale.size())) return true;
  }
  for (const auto& codebook : set.centroids) {
    if (codebook.centroids.data == nullptr ||
        !AllZero(codebook.centroids.data, codebook.centroids.size())) {
      return false;
    }
  }
  return true;
}

}  // namespace

internal::QuantizerCacheKey EncryptedIndex::cache_key() const {
  return {cache_location_, index_name_};
}

internal::QuantizerStamp EncryptedIndex::stamp() const {
  return {trained_, quantizer_version_, index_config_ ? index_config_->n_lists() : 0,
          state_tag_.value_or(0)};
}

void EncryptedIndex::SyncWithStore(bool with_state) {
  const std::optional<nivora_encrypted_index::ChangeStamp> checked = CheckStoredIndex();
  if (!checked) return;
  const nivora_encrypted_index::ChangeStamp& stamp = *checked;
  // Lists replaced by a training are useless to every operation.
  if (stamp.generation != client_->generation()) with_state = true;
  if (with_state && (!state_tag_ || *state_tag_ != stamp.state_tag)) {
    // Another client stored a new state (or this one has not read it yet):
    // adopt it before anything is read or written under the old one. The
    // shape first, so the caches below are refilled at the stored widths.
    // Without a stored state to reread (MEMORY) the object's own stands.
    if (CheckAndReloadQuantizers()) {
      state_tag_ = stamp.state_tag;
      CacheQuantizers();
      EndQuantizerUse();
    }
  }
  client_->SyncCaches(stamp);
}

void EncryptedIndex::WipeQuantizers(QuantizerSet& set) { internal::WipeQuantizers(set); }

bool EncryptedIndex::LoadQuantizersFromCache() {
  // On a hit the current set is wiped and its block decrypted into again.
  std::unique_ptr<QuantizerSet> set = internal::EncryptedQuantizerCache::Instance().Get(
      cache_key(), index_key_, stamp(), quantizers_.get());
  if (!set) return false;
  quantizers_ = std::move(set);
  quantizers_plain_ = true;
  return true;
}

bool EncryptedIndex::CheckAndReloadQuantizers() {
  IndexState stored;
  try {
    std::vector<uint8_t> bytes = client_->LoadIndexConfig();
    crypto::ScopedCleanse wipe_bytes(bytes);
    stored = nivora::DeserializeIndexState(bytes);
  } catch (const std::exception& e) {
    if (std::string(e.what()) == kNoConfigItemsMessage) return false;
    logger_->error(std::string("Failed to check/reload quantizers: ") + e.what());
    throw;
  }
  if (stored.trained != trained_) {
    logger_->info(std::string("Training status changed. Local: ") + TrainedWord(trained_) +
                  ", Stored: " + TrainedWord(stored.trained) + ". Reloading config...");
  } else if (stored.quantizer_version != quantizer_version_) {
    logger_->info("Quantizer version mismatch detected. Current: " +
                  std::to_string(quantizer_version_) +
                  ", Stored: " + std::to_string(stored.quantizer_version));
  }
  // Adopt all of it: a set is only usable with the configuration, vocabulary
  // and payload format it was trained for.
  AdoptIndexState(std::move(stored));
  SyncEngineShape();
  logger_->info("Successfully reloaded quantizers with version " +
                std::to_string(quantizer_version_));
  return true;
}

void EncryptedIndex::CacheQuantizers() {
  if (!quantizers_) {
    logger_->warning("No quantizers to cache");
    return;
  }
  // A wiped set would serve zeros to every later lookup.
  if (!quantizers_plain_ && LooksWiped(*quantizers_)) return;
  internal::EncryptedQuantizerCache::Instance().Put(cache_key(), index_key_, stamp(),
                                                    *quantizers_);
}

void EncryptedIndex::SyncQuantizers() {
  if (LoadQuantizersFromCache()) return;
  if (CheckAndReloadQuantizers()) {
    CacheQuantizers();
    return;
  }
  // Nothing stored to reread (a config store without config items): the
  // cache entry was the only copy. An untrained index needs no quantizers.
  if (!trained_) {
    if (quantizers_) WipeQuantizers(*quantizers_);
    quantizers_ = std::make_unique<QuantizerSet>();
    quantizers_plain_ = true;
    CacheQuantizers();
    return;
  }
  // Wiped, or emptied by a cache entry that failed to decrypt.
  if (!quantizers_plain_ && (!quantizers_ || quantizers_->centroids.empty() || LooksWiped(*quantizers_))) {
    LogAndThrow<std::runtime_error>(*logger_, ERROR,
                                    "The trained quantizers of this index are not available.");
  }
}

void EncryptedIndex::EndQuantizerUse() {
  if (quantizers_) WipeQuantizers(*quantizers_);
  if (filtered_quantizers_) WipeQuantizers(*filtered_quantizers_);
  quantizers_plain_ = false;
  filtered_quantizers_.reset();
}

}  // namespace nivora
