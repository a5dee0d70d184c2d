// RocksDBKeystore: config items, the scans of one index and its deletion.
#include <memory>
#include <stdexcept>
#include <string>

#include <rocksdb/iterator.h>
#include <rocksdb/options.h>

#include "backing_store/external/rocksdb/rocksdb_failure.h"
#include "backing_store/external/rocksdb/rocksdb_item_key.h"
#include "backing_store/external/rocksdb/rocksdb_keystore.h"
#include "backing_store/item_bytes.h"

namespace nivora_encrypted_index::internal::backing_store {
void RocksDBKeystore::PushConfigItem(const std::string& name, const uint8_t* data, size_t size) {
  Guarded("PushConfigItem", OnFailure::kWrap, [&] {
    KeystoreLog().info("Pushing config item to RocksDB");
    const rocksdb::Status status =
        db_->Put(rocksdb::WriteOptions(), MakeConfigKey(name), AsSlice(data, size));
    if (!status.ok()) Fail("Failed to put config item: ", status);
    KeystoreLog().info("Config item successfully pushed to RocksDB");
  });
}

nivora::Array2D<unsigned char> RocksDBKeystore::LoadConfigItem(const std::string& name) {
  return Guarded("LoadConfigItem", OnFailure::kWrap, [&] {
    KeystoreLog().info("Loading config item from RocksDB");
    rocksdb::PinnableSlice value;
    const rocksdb::Status status =
        db_->Get(rocksdb::ReadOptions(), db_->DefaultColumnFamily(), MakeConfigKey(name), &value);
    if (status.IsNotFound()) {
      nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::WARNING,
                                              "Config item not found in RocksDB",
                                              "Config item not found");
    }
    if (!status.ok()) Fail("Failed to get config item: ", status);
    KeystoreLog().info("Config item found in RocksDB");
    return OneRow(BytesOf(value), value.size());
  });
}

bool RocksDBKeystore::ConfigItemExists(const std::string& name) {
  return Guarded("ConfigItemExists", OnFailure::kWrap, [&] {
    rocksdb::PinnableSlice value;
    const rocksdb::Status status =
        db_->Get(rocksdb::ReadOptions(), db_->DefaultColumnFamily(), MakeConfigKey(name), &value);
    if (status.IsNotFound()) return false;
    // A read error is not absence: a new index must not replace one that
    // could not be read.
    if (!status.ok()) Fail("Failed to get config item: ", status);
    return true;
  });
}

void RocksDBKeystore::DeleteConfigItem(const std::string& name) {
  Guarded("DeleteConfigItem", OnFailure::kWrap, [&] {
    KeystoreLog().info("Deleting config item from RocksDB: " + name);
    const rocksdb::Status status = db_->Delete(rocksdb::WriteOptions(), MakeConfigKey(name));
    if (!status.ok() && !status.IsNotFound()) Fail("Failed to delete config item: ", status);
    KeystoreLog().info("Config item successfully deleted from RocksDB");
  });
}

template <typename Visit>
void RocksDBKeystore::ScanIndex(const uint64_t& index, const Visit& visit) {
  const IndexPrefix prefix = MakeIndexPrefix(HashedName(index));
  const std::optional<IndexPrefix> end = PrefixSuccessor(prefix);
  rocksdb::Slice upper_bound;
  rocksdb::ReadOptions options;
  options.auto_prefix_mode = true;
  options.prefix_same_as_start = true;
  if (end) {
    upper_bound = AsSlice(*end);
    options.iterate_upper_bound = &upper_bound;
  }
  const std::unique_ptr<rocksdb::Iterator> it(db_->NewIterator(options));
  for (it->Seek(AsSlice(prefix)); it->Valid(); it->Next()) {
    const rocksdb::Slice key = it->key();
    if (key.size() < kIndexPrefixBytes) continue;
    if (!key.starts_with(AsSlice(prefix))) break;
    // Keys of another length are not items of this keystore.
    if (key.size() == kItemKeyBytes) visit(key);
  }
  // An iterator that stopped on an error must not pass for the end of the
  // index: a cache fill or an index deletion would silently miss items.
  if (!it->status().ok()) Fail("Failed to scan index: ", it->status());
}

size_t RocksDBKeystore::GetTotalSize(const uint64_t& index) {
  return Guarded("GetTotalSize", OnFailure::kWrap, [&] {
    size_t count = 0;
    ScanIndex(index, [&](const rocksdb::Slice&) { ++count; });
    return count;
  });
}

std::vector<uint64_t> RocksDBKeystore::GetAllKeys(const uint64_t& index) {
  return Guarded("GetAllKeys", OnFailure::kWrap, [&] {
    std::vector<uint64_t> keys;
    ScanIndex(index, [&](const rocksdb::Slice& key) { keys.push_back(ItemKeyOf(key)); });
    return keys;
  });
}

void RocksDBKeystore::DeleteIndexImpl(const uint64_t& index) {
  Guarded("DeleteIndex", OnFailure::kWrap, [&] {
    KeystoreLog().info("Deleting index data from RocksDB");
    const std::vector<uint64_t> keys = GetAllKeys(index);
    if (!keys.empty()) {
      BatchDeleteItemsImpl(index, keys);
      if (Keystore* cache = GetCache()) cache->BatchDeleteItemsImpl(index, keys);
    }
    // Compact exactly the index's key range now rather than leave the
    // deleted items to background compaction.
    const IndexPrefix begin = MakeIndexPrefix(HashedName(index));
    const std::optional<IndexPrefix> end = PrefixSuccessor(begin);
    const rocksdb::Slice begin_slice = AsSlice(begin);
    rocksdb::Slice end_slice;
    if (end) end_slice = AsSlice(*end);
    rocksdb::CompactRangeOptions options;
    options.change_level = true;
    options.bottommost_level_compaction = rocksdb::BottommostLevelCompaction::kForceOptimized;
    const rocksdb::Status status = db_->CompactRange(options, db_->DefaultColumnFamily(),
                                                     &begin_slice, end ? &end_slice : nullptr);
    if (status.ok()) {
      KeystoreLog().info("Compaction completed after index deletion");
    } else {
      KeystoreLog().warning("CompactRange after delete failed: " + status.ToString());
    }
    KeystoreLog().info("Index data successfully deleted from RocksDB");
  });
}

}  // namespace nivora_encrypted_index::internal::backing_store
