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

// Batches below these many keys are read, or written, on the calling thread.
// A single query's lists (a few thousand tokens) stay below the first: they
// are read faster on the caller than on a team woken for them.
constexpr size_t kSerialItemReads = 8192;
constexpr size_t kSerialItemWrites = 2048;

// Calls found(position, value) for every keys[position] (value null when the
// key is absent) with its shard's shared lock held: the keys are grouped by
// shard so each shard is locked once per batch, on this thread, or with
// `may_share` the shards on a team for a batch of at least kSerialItemReads
// keys.
template <typename Data, typename Found>
void ReadByShard(const Data& data, const std::vector<uint64_t>& keys, const Found& found,
                 bool may_share = true) {
  const size_t n = keys.size();
  struct Request {
    size_t position;
    uint64_t key;
  };
  constexpr size_t kShards = Data::kShardCount;
  std::array<std::vector<Request>, kShards> by_shard;
  for (auto& requests : by_shard) requests.reserve((n + kShards - 1) / kShards);
  for (size_t i = 0; i < n; ++i) by_shard[Data::ShardOf(keys[i])].push_back({i, keys[i]});

  auto read_shard = [&](size_t shard) {
    const std::vector<Request>& requests = by_shard[shard];
    if (requests.empty()) return;
    data.ReadShard(shard, [&](const typename Data::Map& map) {
      // Each read misses the cache up to three times (slot, value, its
      // bytes), so the reads go through a pipeline of blocks: the slots of a
      // block are prefetched two blocks before it is looked up, a looked-up
      // block's values' bytes are prefetched, and those are handed over one
      // block later, when they have arrived.
      constexpr size_t kBlock = 16;
      const size_t m = requests.size();
      const std::vector<uint8_t>* values[2][kBlock];
      const auto prefetch_slots = [&](size_t first) {
        for (size_t j = first; j < std::min(m, first + kBlock); ++j) map.prefetch(requests[j].key);
      };
      const auto look_up = [&](size_t first, const std::vector<uint8_t>** out) {
        for (size_t j = 0; j < std::min(kBlock, m - first); ++j) {
          auto it = map.find(requests[first + j].key);
          out[j] = it != map.end() ? &it->second : nullptr;
          if (out[j] == nullptr) continue;
          // Into L2 (locality 2): a whole block's lines into L1 would
          // evict each other and stall on the fill buffers.
          const size_t head = std::min<size_t>(out[j]->size(), 1024);  // the rest streams
          for (size_t line = 0; line < head; line += 64) {
            __builtin_prefetch(out[j]->data() + line, 0, 2);
          }
        }
      };
      const auto hand_over = [&](size_t first, const std::vector<uint8_t>* const* in) {
        for (size_t j = 0; j < std::min(kBlock, m - first); ++j) found(requests[first + j].position, in[j]);
      };
      prefetch_slots(0);
      prefetch_slots(kBlock);
      size_t block = 0;
      for (size_t first = 0; first < m; first += kBlock, ++block) {
        prefetch_slots(first + 2 * kBlock);
        look_up(first, values[block & 1]);
        if (block != 0) hand_over(first - kBlock, values[(block - 1) & 1]);
      }
      if (block != 0) hand_over((block - 1) * kBlock, values[(block - 1) & 1]);
    });
  };
  // A few thousand lookups take less than waking a team.
  if (n < kSerialItemReads || !may_share) {
    for (size_t shard = 0; shard < kShards; ++shard) read_shard(shard);
  } else {
    nivora::ParallelForDynamic(kShards, read_shard);
  }
}

// Calls write(map, position) for every keys[position] with its shard's
// exclusive lock held, the keys grouped by shard as ReadByShard groups them
// (the shards on a team for a batch of at least kSerialItemWrites keys).
// Positions of one shard are written in order, so the last of repeated keys
// wins.
template <typename Data, typename Write>
void WriteByShard(Data& data, const std::vector<uint64_t>& keys, const Write& write) {
  const size_t n = keys.size();
  constexpr size_t kShards = Data::kShardCount;
  if (n < kSerialItemWrites) {
    for (size_t i = 0; i < n; ++i) {
      data.WriteShard(Data::ShardOf(keys[i]), [&](typename Data::Map& map) { write(map, i); });
    }
    return;
  }
  std::array<std::vector<size_t>, kShards> by_shard;
  for (auto& positions : by_shard) positions.reserve((n + kShards - 1) / kShards);
  for (size_t i = 0; i < n; ++i) by_shard[Data::ShardOf(keys[i])].push_back(i);
  nivora::ParallelForDynamic(kShards, [&](size_t shard) {
    if (by_shard[shard].empty()) return;
    data.WriteShard(shard, [&](typename Data::Map& map) {
      for (size_t i : by_shard[shard]) write(map, i);
    });
  });
}

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
  WriteByShard(*data, keys, [&](IndexData::Map& map, size_t i) {
    const unsigned char* row = values.row(i);
    map.insert_or_assign(keys[i], std::vector<uint8_t>(row, row + values.cols));
  });
}

void ThreadSafeMemoryKeystore::BatchPushVariableImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys,
    const std::vector<std::vector<uint8_t>>& values) {
  CheckBatch(keys, values.size(), "BatchPushVariable");
  const std::shared_ptr<IndexData> data = GetIndexData(index);
  WriteByShard(*data, keys, [&](IndexData::Map& map, size_t i) {
    map.insert_or_assign(keys[i], values[i]);
  });
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

size_t ThreadSafeMemoryKeystore::ValueSizeOf(const uint64_t& index) const {
  const size_t value_size = GetValueSizeImpl(index);
  if (value_size == 0) {
    KeystoreLog().error("Value size not set in BatchGetItems");
    throw std::runtime_error("Value size not set");
  }
  return value_size;
}

nivora::Array2D<unsigned char> ThreadSafeMemoryKeystore::BatchGetItemsImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys) {
  const size_t n = keys.size();
  if (n == 0) return {};
  const size_t value_size = ValueSizeOf(index);
  const std::shared_ptr<const IndexData> data = FindIndexData(index);
  if (data == nullptr) return nivora::Array2D<unsigned char>(n, value_size);
  // Every row is written below (copied, or zeroed when its key is missing):
  // no zero-filling first.
  nivora::Array2D<unsigned char> result;
  result.rows = n;
  result.cols = value_size;
  result.AllocateOwned(n * value_size);

  ReadByShard(*data, keys, [&](size_t position, const std::vector<uint8_t>* value) {
    uint8_t* row = result.row(position);
    // A value of another length leaves its row zero.
    if (value != nullptr && value->size() == value_size) {
      std::memcpy(row, value->data(), value_size);
    } else {
      std::memset(row, 0, value_size);
    }
  });
  return result;
}

bool ThreadSafeMemoryKeystore::VisitItemsImpl(const uint64_t& index,
                                              const std::vector<uint64_t>& keys,
                                              const ItemVisitor& visit) {
  if (keys.empty()) return true;
  const size_t value_size = ValueSizeOf(index);
  const std::shared_ptr<const IndexData> data = FindIndexData(index);
  if (data == nullptr) {
    for (size_t i = 0; i < keys.size(); ++i) visit(i, nullptr);
    return true;
  }
  ReadByShard(
      *data, keys,
      [&](size_t position, const std::vector<uint8_t>* value) {
        visit(position, value != nullptr && value->size() == value_size ? value->data() : nullptr);
      },
      /*may_share=*/false);
  return true;
}

std::vector<std::vector<uint8_t>> ThreadSafeMemoryKeystore::BatchGetVariableImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys) {
  std::vector<std::vector<uint8_t>> result(keys.size());
  const std::shared_ptr<const IndexData> data = FindIndexData(index);
  if (data == nullptr) return result;
  ReadByShard(*data, keys, [&](size_t position, const std::vector<uint8_t>* value) {
    if (value != nullptr) result[position] = *value;
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

bool ThreadSafeMemoryKeystore::PushConfigItemIfAbsent(const std::string& name,
                                                      const uint8_t* data, size_t size) {
  std::vector<uint8_t> value(data, data + size);
  std::unique_lock lock(tables_->config_mutex);
  return tables_->config_store.try_emplace(name, std::move(value)).second;
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
