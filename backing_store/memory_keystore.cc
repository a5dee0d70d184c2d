#include "backing_store/memory_keystore.h"

#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "backing_store/item_bytes.h"
#include "backing_store/keystore_log.h"
#include "core/parallel_for.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

// Runs `operation`; any std::exception is logged as
// "Exception in <method>: <what>" and rethrown as std::runtime_error, with
// `thrown_prefix` + what() as its text when a prefix is given, else the
// logged text.
template <typename Operation>
auto Caught(const char* method, const char* thrown_prefix, const Operation& operation)
    -> decltype(operation()) {
  try {
    return operation();
  } catch (const std::exception& e) {
    const std::string line = std::string("Exception in ") + method + ": " + e.what();
    KeystoreLog().error(line);
    if (thrown_prefix != nullptr) throw std::runtime_error(thrown_prefix + std::string(e.what()));
    throw std::runtime_error(line);
  }
}

}  // namespace

MemoryKeystore::MemoryKeystore(nivora::DBConfig& /*config*/, const BackingStoreType& type)
    : store_type_(type) {
  KeystoreLog().info("MemoryKeystore constructor called");
}

MemoryKeystore::~MemoryKeystore() = default;

MemoryKeystore::Table* MemoryKeystore::FindTable(const uint64_t& index) {
  auto it = tables_.find(HashedName(index));
  return it == tables_.end() ? nullptr : &it->second;
}

MemoryKeystore::Table& MemoryKeystore::TableFor(const uint64_t& index) {
  return tables_[HashedName(index)];
}

void MemoryKeystore::BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                                        const nivora::Array2D<unsigned char>& values) {
  const size_t n = keys.size();
  KeystoreLog().info("Pushing " + std::to_string(n) + " items to Memory");
  CheckFixedBatch(keys, values.rows, values.cols, GetValueSizeImpl(index));
  Table& table = TableFor(index);
  for (size_t i = 0; i < n; ++i) {
    const unsigned char* row = values.row(i);
    table[keys[i]].assign(row, row + values.cols);
  }
  KeystoreLog().info("Items successfully pushed to Memory");
}

void MemoryKeystore::BatchPushVariableImpl(const uint64_t& index,
                                           const std::vector<uint64_t>& keys,
                                           const std::vector<std::vector<uint8_t>>& values) {
  KeystoreLog().info("Pushing " + std::to_string(keys.size()) + " items to Memory");
  CheckVariableBatch(keys, values.size());
  Table& table = TableFor(index);
  for (size_t i = 0; i < keys.size(); ++i) {
    if (!values[i].empty()) table[keys[i]] = values[i];
  }
  KeystoreLog().info("Items successfully pushed to Memory");
}

void MemoryKeystore::PushItem(const uint64_t& index, const uint64_t& key, const uint8_t* data,
                              size_t size) {
  Caught("PushItem", nullptr, [&] {
    KeystoreLog().info("Pushing item to Memory with key: " + std::to_string(key));
    TableFor(index)[key].assign(data, data + size);
    KeystoreLog().info("Item successfully pushed to Memory");
  });
}

bool MemoryKeystore::PushMapImpl(const uint64_t& index, const uint64_t& map_key,
                                 const uint8_t* data, size_t size, const uint64_t& version_key,
                                 const uint64_t& expected_version) {
  return Caught("PushMap", nullptr, [&] {
    KeystoreLog().info("Pushing map. Expected version: " + std::to_string(expected_version));
    uint64_t current = 0;
    if (Table* table = FindTable(index)) {
      auto it = table->find(version_key);
      if (it != table->end() && it->second.size() == kVersionBytes) {
        current = DecodeVersion(it->second.data());
      }
    }
    if (current != expected_version) {
      KeystoreLog().warning("Version mismatch: expected " + std::to_string(expected_version) +
                            ", got " + std::to_string(current));
      return false;
    }
    Table& table = TableFor(index);
    table[map_key].assign(data, data + size);
    const auto version = EncodeVersion(expected_version + 1);
    table[version_key].assign(version.begin(), version.end());
    KeystoreLog().info("Map and version successfully pushed to Memory");
    return true;
  });
}

void MemoryKeystore::BatchDeleteItemsImpl(const uint64_t& index,
                                          const std::vector<uint64_t>& keys) {
  Caught("BatchDeleteItems", nullptr, [&] {
    KeystoreLog().info("Deleting " + std::to_string(keys.size()) + " items from Memory");
    if (keys.empty()) {
      KeystoreLog().warning("No keys provided for batch deletion");
      return;
    }
    auto it = tables_.find(HashedName(index));
    if (it == tables_.end()) {
      KeystoreLog().warning("Index name for hashed_index_name does not exist.");
    } else {
      for (uint64_t key : keys) it->second.erase(key);
      if (it->second.empty()) tables_.erase(it);
    }
    KeystoreLog().info("Items successfully deleted from Memory");
  });
}

void MemoryKeystore::DeleteItem(const uint64_t& index, const uint64_t& key) {
  Caught("DeleteItem", nullptr, [&] {
    KeystoreLog().info("Deleting item from Memory with key: " + std::to_string(key));
    Table* table = FindTable(index);
    if (table == nullptr) {
      KeystoreLog().warning("Index name not found during DeleteItem");
      return;
    }
    // The table stays, even when this was its last item.
    table->erase(key);
    KeystoreLog().info("Item successfully deleted from Memory");
  });
}

void MemoryKeystore::DeleteIndexImpl(const uint64_t& index) {
  Caught("DeleteIndex", nullptr, [&] {
    KeystoreLog().info("Deleting index from Memory");
    value_sizes_.erase(HashedName(index));
    if (tables_.erase(HashedName(index)) != 0) {
      KeystoreLog().info("Index successfully deleted from Memory");
    } else {
      KeystoreLog().warning("Cannot delete index. Index does not exist.");
    }
  });
}

nivora::Array2D<unsigned char> MemoryKeystore::GetItem(const uint64_t& index,
                                                       const uint64_t& key) {
  return Caught("GetItem", "Failed to retrieve item from MemoryKeystore: ", [&] {
    KeystoreLog().info("Getting item from Memory");
    Table* table = FindTable(index);
    if (table == nullptr) {
      KeystoreLog().warning("Index name not found in MemoryKeystore");
      return nivora::Array2D<unsigned char>();
    }
    auto it = table->find(key);
    if (it == table->end()) {
      KeystoreLog().warning("Key not found in MemoryKeystore for index");
      return nivora::Array2D<unsigned char>();
    }
    KeystoreLog().info("Item found in Memory");
    return OneRow(it->second.data(), it->second.size());
  });
}

VersionedMap MemoryKeystore::GetMapImpl(const uint64_t& index, const uint64_t& map_key,
                                        const uint64_t& version_key) {
  return Caught("GetMap", "Failed to retrieve map from MemoryKeystore: ", [&] {
    KeystoreLog().info("Getting map and version from Memory");
    VersionedMap result;
    Table* table = FindTable(index);
    if (table == nullptr) {
      KeystoreLog().warning("Index name not found in MemoryKeystore");
      return result;
    }
    if (auto it = table->find(map_key); it != table->end()) {
      result.map = OneRow(it->second.data(), it->second.size());
    } else {
      KeystoreLog().warning("Map key not found in MemoryKeystore for index");
    }
    if (auto it = table->find(version_key); it == table->end()) {
      KeystoreLog().warning("Version key not found in MemoryKeystore for index");
    } else if (it->second.size() != kVersionBytes) {
      KeystoreLog().warning("Version data has incorrect size");
    } else {
      result.version = DecodeVersion(it->second.data());
    }
    KeystoreLog().info("Map and version retrieved from Memory");
    return result;
  });
}

nivora::Array2D<unsigned char> MemoryKeystore::BatchGetItemsImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys) {
  return Caught("BatchGetItems", nullptr, [&] {
    const size_t n = keys.size();
    if (n == 0) {
      KeystoreLog().warning("No keys provided for batch retrieval");
      return nivora::Array2D<unsigned char>();
    }
    KeystoreLog().info("Getting " + std::to_string(n) + " items from Memory");
    const size_t value_size = GetValueSizeImpl(index);
    const Table* table = FindTable(index);
    if (table == nullptr) {
      KeystoreLog().warning("Index not found in MemoryKeystore. Returning default values.");
    }
    if (value_size == 0) {
      throw std::invalid_argument("Data size must be a multiple of the number of columns");
    }
    nivora::Array2D<unsigned char> result(n, value_size);
    if (table == nullptr) return result;
    // A value of another length (another index's width, or a variable item)
    // reads as a zero row rather than a short or over-long copy.
    nivora::ParallelForStatic(n, nivora::kSerialReadLimit, [&](size_t i) {
      auto it = table->find(keys[i]);
      if (it != table->end() && it->second.size() == value_size) {
        std::memcpy(result.row(i), it->second.data(), value_size);
      }
    });
    KeystoreLog().info("Items successfully retrieved from Memory");
    return result;
  });
}

std::vector<std::vector<uint8_t>> MemoryKeystore::BatchGetVariableImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys) {
  return Caught("BatchGetVariable", nullptr, [&] {
    const size_t n = keys.size();
    if (n == 0) {
      KeystoreLog().warning("No keys provided for batch retrieval");
      return std::vector<std::vector<uint8_t>>();
    }
    KeystoreLog().info("Getting " + std::to_string(n) + " items from Memory");
    std::vector<std::vector<uint8_t>> result(n);
    const Table* table = FindTable(index);
    if (table == nullptr) {
      KeystoreLog().warning("Index not found in MemoryKeystore. Returning empty vectors.");
      return result;
    }
    nivora::ParallelForStatic(n, nivora::kSerialReadLimit, [&](size_t i) {
      auto it = table->find(keys[i]);
      if (it != table->end()) result[i] = it->second;
    });
    KeystoreLog().info("Items successfully retrieved from Memory");
    return result;
  });
}

size_t MemoryKeystore::GetTotalSize(const uint64_t& index) {
  const Table* table = FindTable(index);
  return table == nullptr ? 0 : table->size();
}

std::vector<uint64_t> MemoryKeystore::GetAllKeys(const uint64_t& index) {
  std::vector<uint64_t> keys;
  if (const Table* table = FindTable(index)) {
    keys.reserve(table->size());
    for (const auto& [key, value] : *table) keys.push_back(key);
  }
  return keys;
}

void MemoryKeystore::PushConfigItem(const std::string& /*name*/, const uint8_t* /*data*/,
                                    size_t /*size*/) {}

bool MemoryKeystore::PushConfigItemIfAbsent(const std::string& /*name*/,
                                            const uint8_t* /*data*/, size_t /*size*/) {
  return true;
}

nivora::Array2D<unsigned char> MemoryKeystore::LoadConfigItem(const std::string& /*name*/) {
  throw std::runtime_error("MemoryKeystore does not support PushConfigItem and LoadConfigItem yet");
}

bool MemoryKeystore::ConfigItemExists(const std::string& /*name*/) { return false; }

void MemoryKeystore::DeleteConfigItem(const std::string& /*name*/) {
  KeystoreLog().warning("MemoryKeystore does not support DeleteConfigItem");
}

void MemoryKeystore::SetValueSizeImpl(const uint64_t& index, size_t value_size) {
  value_sizes_[HashedName(index)] = value_size;
}

size_t MemoryKeystore::GetValueSizeImpl(const uint64_t& index) const {
  auto it = value_sizes_.find(HashedName(index));
  return it == value_sizes_.end() ? kDefaultValueSize : it->second;
}

}  // namespace nivora_encrypted_index::internal::backing_store
