// Lifecycle of an index: construction (new and stored), deletion, the small
// item operations and the stored-state helpers.
#include "api/encrypted_index.h"

#include <numeric>
#include <stdexcept>
#include <utility>

#include "api/client.h"
#include "api/error_guard.h"
#include "api/index_state.h"
#include "core/log_and_throw.h"

namespace nivora {
namespace {

namespace crypto = nivora_encrypted_index::internal::cryptography;
using internal::Guarded;
using internal::TelemetryEventType;

// A write that a training overtakes is made again, this many times at most.
constexpr int kWriteAttempts = 3;

uint64_t SumCounters(const std::vector<uint32_t>& counters) {
  return std::accumulate(counters.begin(), counters.end(), uint64_t{0});
}

}  // namespace

void EncryptedIndex::InitMembers(const std::string& index_name,
                                 const std::array<uint8_t, 32>& index_key,
                                 const nivora_encrypted_index::ExistingIndexConfig& engine_config,
                                 Logger* logger,
                                 std::shared_ptr<internal::TelemetryAggregator> telemetry,
                                 std::optional<std::string> quantizer_cache_location) {
  index_name_ = index_name;
  index_key_ = index_key;
  config_store_ = engine_config.config_keystore;
  thread_count_ = engine_config.cpu_threads.value_or(0);
  logger_hold_ = SelectCurrentLogger(logger);
  logger_ = logger != nullptr ? logger : &GetDefaultLogger();
  telemetry_ = std::move(telemetry);
  cache_location_ = quantizer_cache_location
                        ? std::move(*quantizer_cache_location)
                        : internal::QuantizerCacheLocation(
                              *engine_config.config_keystore,
                              internal::NextQuantizerCacheIdentity());
}

EncryptedIndex::EncryptedIndex(const std::string& index_name,
                               const std::array<uint8_t, 32>& index_key, const IndexConfig& config,
                               nivora_encrypted_index::NewIndexConfig& engine_config,
                               Logger* logger,
                               std::shared_ptr<internal::TelemetryAggregator> telemetry,
                               std::optional<std::string> quantizer_cache_location) {
  InitMembers(index_name, index_key, engine_config, logger, std::move(telemetry),
              std::move(quantizer_cache_location));
  const ScopedThreadCount threads = ThreadScope();
  quantizers_ = std::make_unique<QuantizerSet>();
  Guarded("EncryptedIndex", telemetry_.get(), [&] {
    logger_->info("EncryptedIndex created with new index configuration");
    if (index_name_.empty()) {
      LogAndThrow<std::invalid_argument>(*logger_, ERROR, "Index name cannot be an empty string.");
    }
    if (config.n_lists() == 0) {
      LogAndThrow<std::invalid_argument>(*logger_, ERROR, "n_lists cannot be 0.");
    }
    index_config_ = config.clone();
    cpu_threads_ = engine_config.cpu_threads.value_or(0);
    gpu_config_ = static_cast<GPUConfig>(engine_config.gpu_config.value_or(0));
    client_ = std::make_unique<nivora_encrypted_index::Client>(engine_config, *logger_);
    StoreIndexState();
  });
}

EncryptedIndex::EncryptedIndex(const std::string& index_name,
                               const std::array<uint8_t, 32>& index_key,
                               nivora_encrypted_index::ExistingIndexConfig& engine_config,
                               Logger* logger,
                               std::shared_ptr<internal::TelemetryAggregator> telemetry,
                               std::optional<std::string> quantizer_cache_location) {
  InitMembers(index_name, index_key, engine_config, logger, std::move(telemetry),
              std::move(quantizer_cache_location));
  const ScopedThreadCount threads = ThreadScope();
  Guarded("EncryptedIndex", telemetry_.get(), [&] {
    client_ = std::make_unique<nivora_encrypted_index::Client>(engine_config, *logger_);
    // Read before the state: a state stored meanwhile brings a newer tag.
    const uint64_t state_tag = client_->ReadChangeStamp().state_tag;
    std::vector<uint8_t> bytes = client_->LoadIndexConfig();
    crypto::ScopedCleanse wipe_bytes(bytes);
    DeserializeIndexState(bytes);
    state_tag_ = state_tag;
    CacheQuantizers();
    EndQuantizerUse();
    // The engine configuration only caches the sizes: the state decides.
    SyncEngineShape();
    if (trained_) client_->WarmTokenCache();  // the first query then derives no tokens
  });
}

EncryptedIndex::~EncryptedIndex() {
  telemetry_.reset();
  client_.reset();
  filtered_quantizers_.reset();
  if (quantizers_) WipeQuantizers(*quantizers_);
  quantizers_.reset();
  index_config_.reset();
}

void EncryptedIndex::RequireConnected() const {
  if (!client_) LogAndThrow<std::runtime_error>(*logger_, CRITICAL, kNotConnectedMessage);
}

void EncryptedIndex::AddCounter(TelemetryEventType type, int64_t n) const {
  if (telemetry_ && n > 0) telemetry_->IncrementCounter(type, n);
}

void EncryptedIndex::DeleteIndex() {
  std::lock_guard<std::mutex> lock(mutex_);
  const ScopedThreadCount threads = ThreadScope();
  Guarded("DeleteIndex", telemetry_.get(), [&] {
    if (telemetry_) {
      telemetry_->IncrementCounter(TelemetryEventType::DeleteIndex, 1);
      telemetry_->Flush();
    }
    logger_->info("Deleting Index");
    RequireConnected();
    // Never the config items of an index another client made under this name.
    CheckStoredIndex();
    internal::EncryptedQuantizerCache::Instance().Remove(cache_key());
    EndQuantizerUse();
    client_->DeleteIndex(true);
    client_.reset();
    trained_ = false;
    index_name_.clear();
    index_config_.reset();
    crypto::Cleanse(static_cast<crypto::Key&>(index_key_));
    quantizers_ = std::make_unique<QuantizerSet>();
  });
}

void EncryptedIndex::Delete(const std::vector<std::string>& ids) {
  std::lock_guard<std::mutex> lock(mutex_);
  const ScopedThreadCount threads = ThreadScope();
  Guarded("Delete", telemetry_.get(), [&] {
    logger_->info("Deleting item");
    RequireConnected();
    CheckStoredIndex();
    WriteOnCurrentLists([&] { client_->RemoveItems(ids); });
    AddCounter(TelemetryEventType::Delete, static_cast<int64_t>(ids.size()));
  });
}

size_t EncryptedIndex::get_num_vectors() {
  std::lock_guard<std::mutex> lock(mutex_);
  const ScopedThreadCount threads = ThreadScope();
  logger_->info("Getting number of vectors");
  RequireConnected();
  SyncWithStore(/*with_state=*/false);
  client_->LoadMap();
  return SumCounters(client_->get_counter_map());
}

size_t EncryptedIndex::loaded_num_vectors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return client_ ? SumCounters(client_->get_counter_map()) : 0;
}

std::vector<std::string> EncryptedIndex::ListIDs() {
  std::lock_guard<std::mutex> lock(mutex_);
  const ScopedThreadCount threads = ThreadScope();
  return Guarded("ListIDs", telemetry_.get(), [&] {
    logger_->info("Listing all item IDs");
    RequireConnected();
    SyncWithStore(/*with_state=*/true);  // the stored payload width
    client_->LoadMap();
    if (SumCounters(client_->get_counter_map()) == 0) {
      logger_->info("No items in index, returning empty list");
      return std::vector<std::string>();
    }
    std::vector<std::string> ids = client_->RetrieveAllEmbeddings().ids;
    // The batch also holds decrypted payloads and metadata: wipe it now.
    nivora_encrypted_index::Client::ReleaseAllEmbeddings();
    AddCounter(TelemetryEventType::Get, static_cast<int64_t>(ids.size()));
    return ids;
  });
}

bool EncryptedIndex::is_trained() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return trained_;
}

std::string EncryptedIndex::index_name() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return index_name_;
}

std::unique_ptr<IndexConfig> EncryptedIndex::config() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return index_config_ ? index_config_->clone() : nullptr;
}

void EncryptedIndex::WriteOnCurrentLists(const std::function<void()>& write) {
  for (int attempt = 0;; ++attempt) {
    try {
      write();
      return;
    } catch (const nivora_encrypted_index::ListsReplaced&) {
      if (attempt == kWriteAttempts - 1) {
        LogAndThrow<std::runtime_error>(
            *logger_, ERROR,
            "Training is in progress on this index and replaced its lists during this write. "
            "Please retry.");
      }
      logger_->info("A training replaced the lists during this write: writing again");
    }
    SyncWithStore(/*with_state=*/true);
    SyncQuantizers();
  }
}

// ---- Stored state ---------------------------------------------------------

std::vector<uint8_t> EncryptedIndex::SerializeIndexState() const {
  const QuantizerSet empty;
  return nivora::SerializeIndexState(index_name_, *index_config_,
                                     quantizers_ ? *quantizers_ : empty, trained_,
                                     quantizer_version_);
}

void EncryptedIndex::DeserializeIndexState(const std::vector<uint8_t>& buffer) {
  AdoptIndexState(nivora::DeserializeIndexState(buffer));
}

void EncryptedIndex::AdoptIndexState(IndexState&& state) {
  index_config_ = std::move(state.config);
  if (quantizers_) WipeQuantizers(*quantizers_);
  quantizers_ = std::make_unique<QuantizerSet>(std::move(state.quantizers));
  quantizers_plain_ = true;
  trained_ = state.trained;
  quantizer_version_ = state.quantizer_version;
}

void EncryptedIndex::StoreIndexState() {
  std::vector<uint8_t> bytes = SerializeIndexState();
  crypto::ScopedCleanse wipe_bytes(bytes);
  state_tag_ = client_->StoreIndexConfig(bytes).state_tag;
}

size_t EncryptedIndex::TrainedPayloadSize() const {
  const IndexConfig& config = *index_config_;
  if (!trained_) return 4 * config.dimension();
  switch (config.index_type_) {
    case IndexType::IVF:
      return 0;
    case IndexType::IVFPQ:
      return 4 * config.pq_dim();
    case IndexType::IVFSQ:
      return config.sq_bits() / 8 * config.dimension();
    case IndexType::IVFFLAT:
    default:
      return 4 * config.dimension();
  }
}

void EncryptedIndex::SyncEngineShape() {
  if (!client_ || !index_config_) return;
  if (trained_) {
    const size_t n = index_config_->n_lists();
    if (static_cast<int64_t>(n) != client_->vocab_size()) {
      client_->ResizeVocabulary(n);
      logger_->info("Resized vocabulary to match n_lists: " + std::to_string(n));
    }
  }
  // An untrained index whose dimension is still open has no payload yet.
  if (!trained_ && index_config_->dimension() == 0) return;
  const size_t payload = TrainedPayloadSize();
  if (payload != client_->payload_size()) client_->payload_size(payload);
}

}  // namespace nivora
