// The engine client's stored configuration ("<index name>.nei"), config
// items in general, the payload size and deletion of the index.
#include <flatbuffers/flatbuffers.h>

#include <algorithm>
#include <stdexcept>

#include "core/log_and_throw.h"
#include "encrypted_index/client.h"
#include "encrypted_index/cryptography/aes_gcm.h"
#include "engine_config_generated.h"
#include "encrypted_index/stored_layout.h"

namespace nivora_encrypted_index {
namespace {

namespace crypto = internal::cryptography;
using internal::encrypted_index::EngineConfigTable;
using internal::encrypted_index::EngineConfigTableBuilder;

constexpr uint64_t kMinTreeDepth = 1;
constexpr uint64_t kMaxTreeDepth = 32;

}  // namespace

std::string Client::EngineConfigName() const {
  return index_name_ + internal::encrypted_index::kEngineConfigSuffix;
}

void Client::SetVectorsValueSize() {
  vectors_keystore_->SetValueSize(list_id_, payload_size_ + crypto::kRecordOverhead);
}

std::vector<uint8_t> Client::SerializeIndexConfig() {
  const auto threads = ThreadScope();
  flatbuffers::FlatBufferBuilder builder;
  const auto version = builder.CreateString(version_);
  EngineConfigTableBuilder table(builder);
  table.add_index_value_size(index_value_size_);
  table.add_payload_size(payload_size_);
  table.add_vocab_size(vocab_size_);
  table.add_tree_depth(tree_depth_);
  table.add_version(version);
  builder.Finish(table.Finish());
  return std::vector<uint8_t>(builder.GetBufferPointer(),
                              builder.GetBufferPointer() + builder.GetSize());
}

void Client::DeserializeIndexConfig(const std::vector<uint8_t>& blob) {
  const auto threads = ThreadScope();
  if (blob.empty()) {
    nivora::LogAndThrow<std::invalid_argument>(
        *logger_, nivora::ERROR, "Could not deserialize index config: buffer is empty");
  }
  flatbuffers::Verifier verifier(blob.data(), blob.size(), /*max_depth=*/64,
                                 /*max_tables=*/1000000, /*check_alignment=*/true);
  const EngineConfigTable* table =
      internal::encrypted_index::VerifyEngineConfigTableBuffer(verifier)
          ? internal::encrypted_index::GetEngineConfigTable(blob.data())
          : nullptr;
  // A depth outside 1..32 would let positions share leaves (or overrun the
  // 32-bit position), so such a configuration is as unusable as a torn one.
  if (table == nullptr || table->tree_depth() < kMinTreeDepth ||
      table->tree_depth() > kMaxTreeDepth) {
    nivora::LogAndThrow<std::runtime_error>(
        *logger_, nivora::ERROR, "Could not deserialize index config: buffer is invalid");
  }
  tree_depth_ = table->tree_depth();
  vocab_size_ = table->vocab_size();
  payload_size_ = table->payload_size();
  index_value_size_ = table->index_value_size();
  // Never written without a version; a table without one reads as "".
  version_ = table->version() != nullptr ? table->version()->str() : std::string();
  SetVectorsValueSize();
}

nivora::Array2D<unsigned char> Client::SealConfig(const std::vector<uint8_t>& blob) const {
  if (blob.empty()) {
    throw std::invalid_argument("Data size must be a multiple of the number of columns");
  }
  return crypto::EncryptItemsFixed(blob.data(), 1, blob.size(), index_key_);
}

void Client::StoreConfig(const std::string& name, const std::vector<uint8_t>& blob) {
  const auto threads = ThreadScope();
  const nivora::Array2D<unsigned char> record = SealConfig(blob);
  config_keystore_->PushConfigItem(name, record.data, record.cols);
}

bool Client::StoreConfigIfAbsent(const std::string& name, const std::vector<uint8_t>& blob) {
  const auto threads = ThreadScope();
  const nivora::Array2D<unsigned char> record = SealConfig(blob);
  return config_keystore_->PushConfigItemIfAbsent(name, record.data, record.cols);
}

std::vector<uint8_t> Client::LoadConfig(const std::string& name) {
  const auto threads = ThreadScope();
  const nivora::Array2D<unsigned char> record = config_keystore_->LoadConfigItem(name);
  const size_t record_size = record.rows * record.cols;
  // Decrypted straight into the result: the index state holds trained
  // quantizers, and no second plaintext copy should be left behind.
  const size_t plain_size = record_size >= crypto::kRecordOverhead
                                ? record_size - crypto::kRecordOverhead
                                : 0;
  std::vector<uint8_t> plain(std::max<size_t>(plain_size, 1));
  try {
    internal::encrypted_index::RequirePresentRecords(record.data, 1, record_size);
    crypto::DecryptItemsFixedInto(record.data, 1, record_size, index_key_, plain.data(),
                                  plain_size);
  } catch (const std::runtime_error&) {
    // Every config item of the index is sealed under its key: one that does
    // not open is, for the caller, a key that does not open the index.
    throw std::runtime_error("The index key does not open index '" + index_name_ +
                             "': its stored configuration does not decrypt with it.");
  }
  plain.resize(plain_size);
  return plain;
}

ChangeStamp Client::StoreIndexConfig(const std::vector<uint8_t>& blob) {
  const auto threads = ThreadScope();
  return StampedWrite(ChangeKind::kState, [&] { StoreConfig(StateItemName(generation_), blob); });
}

std::vector<uint8_t> Client::LoadIndexConfig() {
  const auto threads = ThreadScope();
  const uint64_t seen = FollowCurrentGeneration();
  try {
    return LoadConfig(StateItemName(seen));
  } catch (const std::exception&) {
    // A training that committed between the two reads has removed the state
    // of the generation just read: read the new one.
    if (FollowCurrentGeneration() == seen) throw;
    return LoadConfig(StateItemName(generation_));
  }
}

void Client::payload_size(size_t n) {
  const auto threads = ThreadScope();
  if (n == payload_size_) return;
  const size_t old = payload_size_;
  payload_size_ = n;
  // Rows of the old width must not be served from the RAM cache.
  if (old != 0) vectors_keystore_->ClearCacheForIndex(list_id_);
  SetVectorsValueSize();
  StampedWrite(ChangeKind::kItems, [&] { StoreConfig(EngineConfigName(), SerializeIndexConfig()); });
}

void Client::StoreIndexValueSizeToConfig(const size_t& /*index_value_size*/) {
  const auto threads = ThreadScope();
  index_value_size_ = internal::encrypted_index::kIndexValueSize;
  StampedWrite(ChangeKind::kItems, [&] { StoreConfig(EngineConfigName(), SerializeIndexConfig()); });
}

void Client::DeleteIndex(bool full) {
  const auto threads = ThreadScope();
  logger_->info("Deleting index " + index_name_);
  if (!full) {
    ClearItems();
    // The index lives on: its stores' value sizes went with their data.
    SetVectorsValueSize();
    // The emptied INDEX store lost the stamp: the advance starts it anew,
    // under tags no cache was marked with (and state tag 0, which makes the
    // Index API reread its state).
    StampedWrite(ChangeKind::kItems,
                 [&] { StoreConfig(EngineConfigName(), SerializeIndexConfig()); });
    return;
  }
  // From here on every write of another client fails (and undoes itself);
  // the record goes last, so that no write finds the index new meanwhile.
  const ChangeRecord marked = MarkDeleted();
  const uint64_t highest = std::max(marked.stamp.highest, generation_);
  for (uint64_t g = 1; g <= highest; ++g) {
    if (ListIdOf(g) != list_id_) DeleteGeneration(g);
  }
  change_log_->DropExternal();
  vectors_keystore_->DeleteIndex(list_id_);
  metadata_keystore_->DeleteIndex(index_id_);
  id_keystore_->DeleteIndex(index_id_);
  if (generation_ != 0) config_keystore_->DeleteConfigItem(StateItemName(generation_));
  config_keystore_->DeleteIndex(index_id_);
  contents_keystore_->DeleteIndex(index_id_);
  const std::string state_name = StateItemName(0);
  config_keystore_->DeleteConfigItem(EngineConfigName());
  config_keystore_->DeleteConfigItem(state_name);
  index_keystore_->DeleteIndex(list_id_);
  if (list_id_ != index_id_) index_keystore_->DeleteIndex(index_id_);
  token_cache_->clear();
  counter_map_.assign(vocab_size_, 0);
  index_value_size_ = internal::encrypted_index::kIndexValueSize;
  if (config_keystore_->ConfigItemExists(EngineConfigName())) {
    nivora::LogAndThrow<std::runtime_error>(*logger_, nivora::ERROR,
                                            "Failed to delete index config for " + index_name_);
  }
  if (config_keystore_->ConfigItemExists(state_name)) {
    nivora::LogAndThrow<std::runtime_error>(*logger_, nivora::ERROR,
                                            "Failed to delete NVS config for " + index_name_);
  }
}

void Client::ClearItems() {
  index_keystore_->DeleteIndex(list_id_);
  vectors_keystore_->DeleteIndex(list_id_);
  metadata_keystore_->DeleteIndex(index_id_);
  id_keystore_->DeleteIndex(index_id_);
  token_cache_->clear();
  counter_map_.assign(vocab_size_, 0);
  index_value_size_ = internal::encrypted_index::kIndexValueSize;
}

}  // namespace nivora_encrypted_index
