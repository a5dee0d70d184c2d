// Construction, destruction and the key schedule of the engine client.
#include "encrypted_index/client.h"

#include <omp.h>

#include <stdexcept>

#include "core/little_endian.h"
#include "core/log_and_throw.h"
#include "encrypted_index/cryptography/hmac.h"
#include "encrypted_index/stored_layout.h"

namespace nivora_encrypted_index {
namespace {

namespace crypto = internal::cryptography;

// Every 32-bit position has its own leaf only with 32 levels; deeper trees
// reuse bits, shallower ones share leaves. Depths outside 1..32 are refused.
constexpr int32_t kMaxTreeDepth = 32;

// out = HMAC-SHA3-256(index key, message bytes).
void DeriveKey(const crypto::Key& index_key, const std::string& message, crypto::Key& out) {
  crypto::ComputeHMAC256Into(index_key, reinterpret_cast<const uint8_t*>(message.data()),
                             message.size(), out);
}

void CheckKeystores(const ExistingIndexConfig& config) {
  for (const Keystore* keystore :
       {config.index_keystore, config.config_keystore, config.contents_keystore,
        config.vectors_keystore, config.metadata_keystore, config.id_keystore}) {
    if (keystore == nullptr) throw std::invalid_argument("Every keystore must be given");
  }
}

void CheckSizes(const NewIndexConfig& config) {
  if (config.tree_depth < 1 || config.tree_depth > kMaxTreeDepth) {
    throw std::invalid_argument("Tree depth must be between 1 and 32");
  }
  if (config.vocab_size < 1) throw std::invalid_argument("Vocabulary size must be at least 1");
}

}  // namespace

void Client::CopyConfig(const ExistingIndexConfig& config, nivora::Logger& logger) {
  CheckKeystores(config);
  cpu_threads_ = config.cpu_threads.value_or(1);
  gpu_config_ = config.gpu_config.value_or(0);
  index_key_ = config.index_key;
  index_name_ = config.index_name;
  index_keystore_ = config.index_keystore;
  config_keystore_ = config.config_keystore;
  contents_keystore_ = config.contents_keystore;
  vectors_keystore_ = config.vectors_keystore;
  metadata_keystore_ = config.metadata_keystore;
  id_keystore_ = config.id_keystore;
  logger_ = &logger;

  engine_logger_hold_ = internal::encrypted_index::SelectEngineLogger(&logger);
  token_cache_ = std::make_unique<internal::encrypted_index::cpu::EncryptedTokenCache>();
  // Only the calling thread's default: the operations carry cpu_threads
  // themselves (ThreadScope).
  if (cpu_threads_ > 0) omp_set_num_threads(static_cast<int>(cpu_threads_));
  ComputeIndexId();
}

Client::Client(NewIndexConfig& config, nivora::Logger& logger) {
  CheckSizes(config);
  tree_depth_ = static_cast<uint64_t>(config.tree_depth);
  vocab_size_ = static_cast<uint64_t>(config.vocab_size);
  payload_size_ = config.payload_size;
  version_ = "0.15.0";
  CopyConfig(config, logger);
  const auto threads = ThreadScope();

  logger_->info("Creating/loading backing stores");
  // Storing the engine configuration claims the name: of several clients
  // creating it at once, in any process, exactly one stores it.
  if (index_keystore_->GetLocation() == nivora::Location::MEMORY) {
    StoreConfig(EngineConfigName(), SerializeIndexConfig());
  } else if (!StoreConfigIfAbsent(EngineConfigName(), SerializeIndexConfig())) {
    nivora::LogAndThrow<std::runtime_error>(*logger_, nivora::ERROR,
                                            "Index name " + index_name_ + " already exists");
  }
  logger_->info("Backing stores successfully created");

  counter_map_.assign(vocab_size_, 0);
  DeriveKeys();
  StartRecord();
  EnableCaches(true);
  EagerLoadCaches();
  SetVectorsValueSize();
  logger_->info("Index successfully created");
}

Client::Client(ExistingIndexConfig& config, nivora::Logger& logger) {
  CopyConfig(config, logger);
  const auto threads = ThreadScope();

  logger_->info("Creating backing stores");
  logger_->info("Backing store successfully created");
  DeserializeIndexConfig(LoadConfig(EngineConfigName()));
  FollowCurrentGeneration();
  LoadMap();
  DeriveKeys();
  SetVectorsValueSize();
  EnableCaches(true);
  EagerLoadCaches();
  logger_->info("Index successfully loaded");
}

Client::Client(NewIndexConfig& config) : Client(config, nivora::GetDefaultLogger()) {
  engine_logger_hold_ = internal::encrypted_index::SelectEngineLogger(nullptr);
}

Client::Client(ExistingIndexConfig& config) : Client(config, nivora::GetDefaultLogger()) {
  engine_logger_hold_ = internal::encrypted_index::SelectEngineLogger(nullptr);
}

Client::~Client() {
  // The keys wipe themselves; the salts and seeds are wiped here.
  crypto::Cleanse(salts_and_seeds_);
}

namespace {

// The first 8 bytes of HMAC(index key, message), read big-endian.
uint64_t StorageId(const crypto::Key& index_key, const std::string& message) {
  crypto::WipedKey mac;
  DeriveKey(index_key, message, mac);
  uint64_t id = 0;
  for (int i = 0; i < 8; ++i) id = (id << 8) | mac[i];
  return id;
}

}  // namespace

void Client::ComputeIndexId() {
  index_id_ = StorageId(index_key_, index_name_);
  // A key of its own: an id derived under it is no index name's id.
  DeriveKey(index_key_, index_name_ + ".list_ids", list_key_);
  list_id_ = ListIdOf(generation_);
  change_log_ = std::make_unique<ChangeLog>(index_keystore_, index_id_,
                                            StorageId(list_key_, "change log"), &index_key_);
}

uint64_t Client::ListIdOf(uint64_t g) const {
  if (g == 0) return index_id_;
  if (g < legacy_below_) return StorageId(index_key_, index_name_ + ".lists." + std::to_string(g));
  uint8_t message[8];
  nivora::StoreLittleEndian<uint64_t>(g, message);
  return StorageId(list_key_, std::string(reinterpret_cast<const char*>(message), sizeof(message)));
}

void Client::DeriveKeys() {
  const auto threads = ThreadScope();
  DeriveKey(index_key_, index_name_, name_key_);
  DeriveKey(index_key_, index_name_ + ".vectors", vectors_key_);
  DeriveKey(index_key_, index_name_ + ".metadata", metadata_key_);
  DeriveKey(index_key_, index_name_ + ".contents", contents_key_);
  DeriveKey(index_key_, index_name_ + ".centroid_metadata", centroid_metadata_key_);
  DeriveKey(index_key_, index_name_ + ".id", id_key_);
  DeriveKey(index_key_, index_name_ + ".location", location_key_);
}

}  // namespace nivora_encrypted_index
