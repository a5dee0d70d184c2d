#include "backing_store/thread_safe_memory_keystore.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "backing_store/item_bytes.h"
#include "backing_store/keystore_log.h"
#include "core/parallel_for.h"

namespace nivora_encrypted_index::internal::backing_store {

namespace {

constexpr std::string_view kIndexStateSuffix = ".nvs";

// Fixed-size batches below this many keys are read on the calling thread.
constexpr size_t kSerialItemReads = 2048;

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
    : ThreadSafeMemoryKeystore(TablesTag{}, ProcessTables(), type) {}

ThreadSafeMemoryKeystore::ThreadSafeMemoryKeystore(TablesTag, std::shared_ptr<Tables> tables,
                                                   const BackingStoreType& type)
    : tables_(std::move(tables)), store_type_(type) {
  KeystoreLog().info("ThreadSafeMemoryKeystore constructor called");
}

ThreadSafeMemoryKeystore::~ThreadSafeMemoryKeystore() = default;

std::unique_ptr<ThreadSafeMemoryKeystore> ThreadSafeMemoryKeystore::NewPrivate(
    const BackingStoreType& type) {
  return std::make_unique<ThreadSafeMemoryKeystore>(TablesTag{}, std::make_shared<Tables>(), type);
}

const std::shared_ptr<ThreadSafeMemoryKeystore::Tables>& ThreadSafeMemoryKeystore::ProcessTables() {
  static const std::shared_ptr<Tables> tables = std::make_shared<Tables>();
  return tables;
}

std::shared_ptr<ThreadSafeMemoryKeystore::IndexData> ThreadSafeMemoryKeystore::GetIndexData(
    const uint64_t& index) {
  if (std::shared_ptr<IndexData> data = FindIndexData(index)) return data;
  std::unique_lock lock(tables_->index_registry_mutex);
  // Another thread may have made the entry meanwhile.
  std::shared_ptr<IndexData>& data = tables_->index_registry[HashedName(index)];
  if (!data) data = std::make_shared<IndexData>();
  return data;
}

std::shared_ptr<ThreadSafeMemoryKeystore::IndexData> ThreadSafeMemoryKeystore::FindIndexData(
    const uint64_t& index) const {
  std::shared_lock lock(tables_->index_registry_mutex);
  auto it = tables_->index_registry.find(HashedName(index));
  return it == tables_->index_registry.end() ? nullptr : it->second;
}

std::shared_ptr<std::mutex> ThreadSafeMemoryKeystore::MapMutexFor(const uint64_t& index) {
  return tables_->map_mutexes.Get(HashedName(index));
}

void ThreadSafeMemoryKeystore::BatchPushItemsImpl(const uint64_t& index,
                                                  const std::vector<uint64_t>& keys,
                                                  const nivora::Array2D<unsigned char>& values) {
  CheckBatch(keys, values.rows, "BatchPushItems");
  const std::shared_ptr<IndexData> data = GetIndexData(index);
  for (size_t i = 0; i < keys.size(); ++i) {
    const unsigned char* row = values.row(i);
    data->InsertOrAssign(keys[i], std::vector<uint8_t>(row, row + values.cols));
  }
}

void ThreadSafeMemoryKeystore::BatchPushVariableImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys,
    const std::vector<std::vector<uint8_t>>& values) {
  CheckBatch(keys, values.size(), "BatchPushVariable");
  const std::shared_ptr<IndexData> data = GetIndexData(index);
  for (size_t i = 0; i < keys.size(); ++i) data->InsertOrAssign(keys[i], values[i]);
}

void ThreadSafeMemoryKeystore::PushItem(const uint64_t& index, const uint64_t& key,
                                        const uint8_t* data, size_t size) {
  GetIndexData(index)->InsertOrAssign(key, std::vector<uint8_t>(data, data + size));
}

bool ThreadSafeMemoryKeystore::PushMapImpl(const uint64_t& index, const uint64_t& map_key,
                                           const uint8_t* data, size_t size,
                                           const uint64_t& version_key,
                                           const uint64_t& expected_version) {
  const std::shared_ptr<std::mutex> map_mutex = MapMutexFor(index);
  std::lock_guard map_lock(*map_mutex);
  const std::shared_ptr<IndexData> index_data = GetIndexData(index);
  if (ReadVersion(*index_data, version_key) != expected_version) return false;
  index_data->InsertOrAssign(map_key, std::vector<uint8_t>(data, data + size));
  const auto version = EncodeVersion(expected_version + 1);
  index_data->InsertOrAssign(version_key, std::vector<uint8_t>(version.begin(), version.end()));
  return true;
}

VersionedMap ThreadSafeMemoryKeystore::GetMapImpl(const uint64_t& index, const uint64_t& map_key,
                                                  const uint64_t& version_key) {
  // Under the map mutex no push can land between reading the map and reading
  // its version: a stale map never comes back with a newer version.
  const std::shared_ptr<std::mutex> map_mutex = MapMutexFor(index);
  std::lock_guard map_lock(*map_mutex);
  VersionedMap result;
  const std::shared_ptr<const IndexData> index_data = FindIndexData(index);
  if (index_data == nullptr) return result;
  index_data->Find(map_key, [&](const std::vector<uint8_t>& value) {
    result.map = OneRow(value.data(), value.size());
  });
  result.version = ReadVersion(*index_data, version_key);
  return result;
}

void ThreadSafeMemoryKeystore::BatchDeleteItemsImpl(const uint64_t& index,
                                                    const std::vector<uint64_t>& keys) {
  if (const std::shared_ptr<IndexData> data = FindIndexData(index)) {
    for (uint64_t key : keys) data->Erase(key);
  }
}

void ThreadSafeMemoryKeystore::DeleteItem(const uint64_t& index, const uint64_t& key) {
  if (const std::shared_ptr<IndexData> data = FindIndexData(index)) data->Erase(key);
}

nivora::Array2D<unsigned char> ThreadSafeMemoryKeystore::GetItem(const uint64_t& index,
                                                                 const uint64_t& key) {
  nivora::Array2D<unsigned char> result;
  if (const std::shared_ptr<const IndexData> data = FindIndexData(index)) {
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
  const std::shared_ptr<const IndexData> data = FindIndexData(index);
  if (data == nullptr) return nivora::Array2D<unsigned char>(n, value_size);
  // Every row is written below (copied, or zeroed when its key is missing):
  // no zero-filling first.
  nivora::Array2D<unsigned char> result;
  result.rows = n;
  result.cols = value_size;
  result.AllocateOwned(n * value_size);

  // Group the positions by shard, so each shard is locked once per batch.
  struct Request {
    size_t position;
    uint64_t key;
  };
  constexpr size_t kShards = IndexData::kShardCount;
  std::array<std::vector<Request>, kShards> by_shard;
  for (auto& requests : by_shard) requests.reserve((n + kShards - 1) / kShards);
  for (size_t i = 0; i < n; ++i) by_shard[IndexData::ShardOf(keys[i])].push_back({i, keys[i]});

  auto read_shard = [&](size_t shard) {
    const std::vector<Request>& requests = by_shard[shard];
    if (requests.empty()) return;
    data->ReadShard(shard, [&](const IndexData::Map& map) {
      // Each read misses the cache up to three times (slot, value, its
      // bytes): a block of reads is prefetched stage by stage, so that the
      // misses of one block overlap instead of following each other.
      constexpr size_t kBlock = 16;
      const uint8_t* sources[kBlock];
      for (size_t first = 0; first < requests.size(); first += kBlock) {
        const size_t count = std::min(kBlock, requests.size() - first);
        for (size_t j = 0; j < count; ++j) map.prefetch(requests[first + j].key);
        for (size_t j = 0; j < count; ++j) {
          auto it = map.find(requests[first + j].key);
          // A value of another length leaves its row zero.
          sources[j] = it != map.end() && it->second.size() == value_size ? it->second.data()
                                                                          : nullptr;
          if (sources[j] == nullptr) continue;
          const size_t head = std::min<size_t>(value_size, 512);  // the rest streams
          for (size_t line = 0; line < head; line += 64) __builtin_prefetch(sources[j] + line);
        }
        for (size_t j = 0; j < count; ++j) {
          uint8_t* row = result.row(requests[first + j].position);
          if (sources[j] != nullptr) {
            std::memcpy(row, sources[j], value_size);
          } else {
            std::memset(row, 0, value_size);
          }
        }
      }
    });
  };
  // A few thousand lookups take less than waking a team.
  if (n < kSerialItemReads) {
    for (size_t shard = 0; shard < kShards; ++shard) read_shard(shard);
  } else {
    nivora::ParallelForDynamic(kShards, read_shard);
  }
  return result;
}

std::vector<std::vector<uint8_t>> ThreadSafeMemoryKeystore::BatchGetVariableImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys) {
  std::vector<std::vector<uint8_t>> result(keys.size());
  const std::shared_ptr<const IndexData> data = FindIndexData(index);
  if (data == nullptr) return result;
  nivora::ParallelForStatic(keys.size(), nivora::kSerialReadLimit, [&](size_t i) {
    data->Find(keys[i], [&](const std::vector<uint8_t>& value) { result[i] = value; });
  });
  return result;
}

void ThreadSafeMemoryKeystore::DeleteIndexImpl(const uint64_t& index) {
  std::shared_ptr<IndexData> dropped;
  const std::shared_ptr<std::mutex> map_mutex = MapMutexFor(index);
  {
    // Taken so a map read never sees the map of one moment and the version
    // of another while the index goes.
    std::lock_guard map_lock(*map_mutex);
    std::unique_lock lock(tables_->index_registry_mutex);
    auto it = tables_->index_registry.find(HashedName(index));
    if (it != tables_->index_registry.end()) {
      dropped = std::move(it->second);
      tables_->index_registry.erase(it);
    }
  }
  // A call that still holds the dropped data reads or writes it until it is
  // done, as if it had run just before the delete; the data is freed with
  // the last holder, outside every lock.
  {
    std::lock_guard lock(tables_->value_sizes_mutex);
    if (tables_->value_sizes->contains(HashedName(index))) {
      auto updated = std::make_shared<ValueSizeTable>(*tables_->value_sizes);
      updated->erase(HashedName(index));
      tables_->value_sizes = std::move(updated);
    }
  }
  tables_->map_mutexes.Forget(HashedName(index), map_mutex);
}

size_t ThreadSafeMemoryKeystore::GetTotalSize(const uint64_t& index) {
  const std::shared_ptr<const IndexData> data = FindIndexData(index);
  return data == nullptr ? 0 : data->size();
}

std::vector<uint64_t> ThreadSafeMemoryKeystore::GetAllKeys(const uint64_t& index) {
  std::vector<uint64_t> keys;
  if (const std::shared_ptr<const IndexData> data = FindIndexData(index)) {
    data->ForEach([&](uint64_t key, const std::vector<uint8_t>&) { keys.push_back(key); });
  }
  return keys;
}

void ThreadSafeMemoryKeystore::PushConfigItem(const std::string& name, const uint8_t* data,
                                              size_t size) {
  std::vector<uint8_t> value(data, data + size);
  std::unique_lock lock(tables_->config_mutex);
  tables_->config_store.insert_or_assign(name, std::move(value));
}

nivora::Array2D<unsigned char> ThreadSafeMemoryKeystore::LoadConfigItem(const std::string& name) {
  std::shared_lock lock(tables_->config_mutex);
  auto it = tables_->config_store.find(name);
  if (it == tables_->config_store.end()) return {};
  return OneRow(it->second.data(), it->second.size());
}

bool ThreadSafeMemoryKeystore::ConfigItemExists(const std::string& name) {
  std::shared_lock lock(tables_->config_mutex);
  return tables_->config_store.contains(name);
}

void ThreadSafeMemoryKeystore::DeleteConfigItem(const std::string& name) {
  std::unique_lock lock(tables_->config_mutex);
  tables_->config_store.erase(name);
}

void ThreadSafeMemoryKeystore::SetValueSizeImpl(const uint64_t& index, size_t value_size) {
  std::lock_guard lock(tables_->value_sizes_mutex);
  auto updated = std::make_shared<ValueSizeTable>(*tables_->value_sizes);
  (*updated)[HashedName(index)] = value_size;
  tables_->value_sizes = std::move(updated);
}

size_t ThreadSafeMemoryKeystore::GetValueSizeImpl(const uint64_t& index) const {
  std::shared_ptr<const ValueSizeTable> table;
  {
    std::lock_guard lock(tables_->value_sizes_mutex);
    table = tables_->value_sizes;
  }
  auto it = table->find(HashedName(index));
  return it == table->end() ? kDefaultValueSize : it->second;
}

std::vector<std::string> ThreadSafeMemoryKeystore::ListAllConfigItems() {
  std::vector<std::string> names;
  Tables& tables = *ProcessTables();
  std::shared_lock lock(tables.config_mutex);
  for (const auto& [name, value] : tables.config_store) {
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
