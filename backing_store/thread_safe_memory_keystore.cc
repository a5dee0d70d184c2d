#include "backing_store/thread_safe_memory_keystore.h"

#include <array>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "backing_store/item_bytes.h"
#include "backing_store/keystore_log.h"
#include "core/parallel_for.h"

namespace nivora_encrypted_index::internal::backing_store {

absl::node_hash_map<uint64_t, ThreadSafeMemoryKeystore::IndexData>
    ThreadSafeMemoryKeystore::index_registry_;
std::shared_mutex ThreadSafeMemoryKeystore::index_registry_mutex_;
std::unordered_map<std::string, std::vector<uint8_t>> ThreadSafeMemoryKeystore::config_store_;
std::shared_mutex ThreadSafeMemoryKeystore::config_mutex_;
absl::flat_hash_map<uint64_t, std::shared_ptr<std::mutex>>
    ThreadSafeMemoryKeystore::map_operation_mutexes_;
std::mutex ThreadSafeMemoryKeystore::map_mutex_registry_;
std::atomic<std::shared_ptr<const ThreadSafeMemoryKeystore::ValueSizeTable>>
    ThreadSafeMemoryKeystore::value_sizes_{std::make_shared<const ValueSizeTable>()};
std::mutex ThreadSafeMemoryKeystore::value_sizes_write_mutex_;

namespace {

constexpr std::string_view kIndexStateSuffix = ".nvs";

// The version stored under version_key: its first 8 bytes, little-endian,
// when it holds at least 8; else 0. Takes the key's shard lock.
template <typename Data>
uint64_t ReadVersion(const Data& data, uint64_t version_key) {
  uint64_t version = 0;
  data.Find(version_key, [&](const std::vector<uint8_t>& value) {
    if (value.size() >= kVersionBytes) version = DecodeVersion(value.data());
  });
  return version;
}

// Checks shared by the two batch pushes.
void CheckBatch(const std::vector<uint64_t>& keys, size_t value_count, const char* operation) {
  CheckKeysGiven(keys);
  if (value_count != keys.size()) {
    RejectArgument(std::string("Keys and values sizes do not match in ") + operation,
                   "Keys and values sizes do not match");
  }
}

}  // namespace

ThreadSafeMemoryKeystore::ThreadSafeMemoryKeystore(nivora::DBConfig& /*config*/,
                                                   const BackingStoreType& type)
    : store_type_(type) {
  KeystoreLog().info("ThreadSafeMemoryKeystore constructor called");
}

ThreadSafeMemoryKeystore::~ThreadSafeMemoryKeystore() = default;

ThreadSafeMemoryKeystore::IndexData& ThreadSafeMemoryKeystore::GetIndexData(
    const uint64_t& index) {
  if (IndexData* data = FindIndexData(index)) return *data;
  std::unique_lock lock(index_registry_mutex_);
  // try_emplace finds the entry another thread may have made meanwhile.
  return index_registry_.try_emplace(HashedName(index)).first->second;
}

ThreadSafeMemoryKeystore::IndexData* ThreadSafeMemoryKeystore::FindIndexData(
    const uint64_t& index) const {
  std::shared_lock lock(index_registry_mutex_);
  auto it = index_registry_.find(HashedName(index));
  return it == index_registry_.end() ? nullptr : &it->second;
}

std::shared_ptr<std::mutex> ThreadSafeMemoryKeystore::MapMutexFor(const uint64_t& index) {
  std::lock_guard lock(map_mutex_registry_);
  std::shared_ptr<std::mutex>& mutex = map_operation_mutexes_[HashedName(index)];
  if (!mutex) mutex = std::make_shared<std::mutex>();
  return mutex;
}

void ThreadSafeMemoryKeystore::BatchPushItemsImpl(const uint64_t& index,
                                                  const std::vector<uint64_t>& keys,
                                                  const nivora::Array2D<unsigned char>& values) {
  CheckBatch(keys, values.rows, "BatchPushItems");
  IndexData& data = GetIndexData(index);
  for (size_t i = 0; i < keys.size(); ++i) {
    const unsigned char* row = values.row(i);
    data.InsertOrAssign(keys[i], std::vector<uint8_t>(row, row + values.cols));
  }
}

void ThreadSafeMemoryKeystore::BatchPushVariableImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys,
    const std::vector<std::vector<uint8_t>>& values) {
  CheckBatch(keys, values.size(), "BatchPushVariable");
  IndexData& data = GetIndexData(index);
  for (size_t i = 0; i < keys.size(); ++i) data.InsertOrAssign(keys[i], values[i]);
}

void ThreadSafeMemoryKeystore::PushItem(const uint64_t& index, const uint64_t& key,
                                        const uint8_t* data, size_t size) {
  GetIndexData(index).InsertOrAssign(key, std::vector<uint8_t>(data, data + size));
}

bool ThreadSafeMemoryKeystore::PushMapImpl(const uint64_t& index, const uint64_t& map_key,
                                           const uint8_t* data, size_t size,
                                           const uint64_t& version_key,
                                           const uint64_t& expected_version) {
  const std::shared_ptr<std::mutex> map_mutex = MapMutexFor(index);
  std::lock_guard map_lock(*map_mutex);
  IndexData& index_data = GetIndexData(index);
  if (ReadVersion(index_data, version_key) != expected_version) return false;
  index_data.InsertOrAssign(map_key, std::vector<uint8_t>(data, data + size));
  const auto version = EncodeVersion(expected_version + 1);
  index_data.InsertOrAssign(version_key, std::vector<uint8_t>(version.begin(), version.end()));
  return true;
}

VersionedMap ThreadSafeMemoryKeystore::GetMapImpl(const uint64_t& index, const uint64_t& map_key,
                                                  const uint64_t& version_key) {
  // Under the map mutex no push can land between reading the map and reading
  // its version: a stale map never comes back with a newer version.
  const std::shared_ptr<std::mutex> map_mutex = MapMutexFor(index);
  std::lock_guard map_lock(*map_mutex);
  VersionedMap result;
  const IndexData* index_data = FindIndexData(index);
  if (index_data == nullptr) return result;
  index_data->Find(map_key, [&](const std::vector<uint8_t>& value) {
    result.map = OneRow(value.data(), value.size());
  });
  result.version = ReadVersion(*index_data, version_key);
  return result;
}

void ThreadSafeMemoryKeystore::BatchDeleteItemsImpl(const uint64_t& index,
                                                    const std::vector<uint64_t>& keys) {
  if (IndexData* data = FindIndexData(index)) {
    for (uint64_t key : keys) data->Erase(key);
  }
}

void ThreadSafeMemoryKeystore::DeleteItem(const uint64_t& index, const uint64_t& key) {
  if (IndexData* data = FindIndexData(index)) data->Erase(key);
}

nivora::Array2D<unsigned char> ThreadSafeMemoryKeystore::GetItem(const uint64_t& index,
                                                                 const uint64_t& key) {
  nivora::Array2D<unsigned char> result;
  if (const IndexData* data = FindIndexData(index)) {
    data->Find(key, [&](const std::vector<uint8_t>& value) {
      result = OneRow(value.data(), value.size());
    });
  }
  return result;
}

nivora::Array2D<unsigned char> ThreadSafeMemoryKeystore::BatchGetItemsImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys) {
  const size_t n = keys.size();
  if (n == 0) return {};
  const size_t value_size = GetValueSizeImpl(index);
  if (value_size == 0) {
    KeystoreLog().error("Value size not set in BatchGetItems");
    throw std::runtime_error("Value size not set");
  }
  nivora::Array2D<unsigned char> result(n, value_size);
  const IndexData* data = FindIndexData(index);
  if (data == nullptr) return result;

  // Group the positions by shard, so each shard is locked once per batch.
  struct Request {
    size_t position;
    uint64_t key;
  };
  constexpr size_t kShards = IndexData::kShardCount;
  std::array<std::vector<Request>, kShards> by_shard;
  for (auto& requests : by_shard) requests.reserve((n + kShards - 1) / kShards);
  for (size_t i = 0; i < n; ++i) by_shard[IndexData::ShardOf(keys[i])].push_back({i, keys[i]});

  nivora::ParallelForDynamic(kShards, [&](size_t shard) {
    const std::vector<Request>& requests = by_shard[shard];
    if (requests.empty()) return;
    data->ReadShard(shard, [&](const IndexData::Map& map) {
      for (const Request& request : requests) {
        auto it = map.find(request.key);
        // A value of another length leaves its row zero.
        if (it != map.end() && it->second.size() == value_size) {
          std::memcpy(result.row(request.position), it->second.data(), value_size);
        }
      }
    });
  });
  return result;
}

std::vector<std::vector<uint8_t>> ThreadSafeMemoryKeystore::BatchGetVariableImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys) {
  std::vector<std::vector<uint8_t>> result(keys.size());
  const IndexData* data = FindIndexData(index);
  if (data == nullptr) return result;
  nivora::ParallelForStatic(keys.size(), nivora::kSerialReadLimit, [&](size_t i) {
    data->Find(keys[i], [&](const std::vector<uint8_t>& value) { result[i] = value; });
  });
  return result;
}

void ThreadSafeMemoryKeystore::DeleteIndexImpl(const uint64_t& index) {
  // Taken so a map read never sees the map of one moment and the version of
  // another while the index is emptied.
  const std::shared_ptr<std::mutex> map_mutex = MapMutexFor(index);
  std::lock_guard map_lock(*map_mutex);
  if (IndexData* data = FindIndexData(index)) data->clear();
}

size_t ThreadSafeMemoryKeystore::GetTotalSize(const uint64_t& index) {
  const IndexData* data = FindIndexData(index);
  return data == nullptr ? 0 : data->size();
}

std::vector<uint64_t> ThreadSafeMemoryKeystore::GetAllKeys(const uint64_t& index) {
  std::vector<uint64_t> keys;
  if (const IndexData* data = FindIndexData(index)) {
    data->ForEach([&](uint64_t key, const std::vector<uint8_t>&) { keys.push_back(key); });
  }
  return keys;
}

void ThreadSafeMemoryKeystore::PushConfigItem(const std::string& name, const uint8_t* data,
                                              size_t size) {
  std::vector<uint8_t> value(data, data + size);
  std::unique_lock lock(config_mutex_);
  config_store_.insert_or_assign(name, std::move(value));
}

nivora::Array2D<unsigned char> ThreadSafeMemoryKeystore::LoadConfigItem(const std::string& name) {
  std::shared_lock lock(config_mutex_);
  auto it = config_store_.find(name);
  if (it == config_store_.end()) return {};
  return OneRow(it->second.data(), it->second.size());
}

bool ThreadSafeMemoryKeystore::ConfigItemExists(const std::string& name) {
  std::shared_lock lock(config_mutex_);
  return config_store_.contains(name);
}

void ThreadSafeMemoryKeystore::DeleteConfigItem(const std::string& name) {
  std::unique_lock lock(config_mutex_);
  config_store_.erase(name);
}

void ThreadSafeMemoryKeystore::SetValueSizeImpl(const uint64_t& index, size_t value_size) {
  std::lock_guard lock(value_sizes_write_mutex_);
  auto updated = std::make_shared<ValueSizeTable>(*value_sizes_.load());
  (*updated)[HashedName(index)] = value_size;
  value_sizes_.store(std::move(updated));
}

size_t ThreadSafeMemoryKeystore::GetValueSizeImpl(const uint64_t& index) const {
  const std::shared_ptr<const ValueSizeTable> table = value_sizes_.load();
  auto it = table->find(HashedName(index));
  return it == table->end() ? kDefaultValueSize : it->second;
}

std::vector<std::string> ThreadSafeMemoryKeystore::ListAllConfigItems() {
  std::vector<std::string> names;
  std::shared_lock lock(config_mutex_);
  for (const auto& [name, value] : config_store_) {
    if (name.size() > kIndexStateSuffix.size() && name.ends_with(kIndexStateSuffix)) {
      names.push_back(name.substr(0, name.size() - kIndexStateSuffix.size()));
    }
  }
  return names;
}

}  // namespace nivora_encrypted_index::internal::backing_store

namespace nivora_encrypted_index {

std::vector<std::string> ListMemoryIndexes(const nivora::DBConfig& /*config*/) {
  return internal::backing_store::ThreadSafeMemoryKeystore::ListAllConfigItems();
}

}  // namespace nivora_encrypted_index
