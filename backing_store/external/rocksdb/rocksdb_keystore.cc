#include "backing_store/external/rocksdb/rocksdb_keystore.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <utility>

#include <rocksdb/iterator.h>
#include <rocksdb/snapshot.h>
#include <rocksdb/write_batch.h>

#include "backing_store/external/rocksdb/rocksdb_failure.h"
#include "backing_store/external/rocksdb/rocksdb_item_key.h"
#include "backing_store/item_bytes.h"
#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

// Batch reads touch many cold values once: they skip the block cache and the
// checksums.
rocksdb::ReadOptions BatchReadOptions() {
  rocksdb::ReadOptions options;
  options.verify_checksums = false;
  options.fill_cache = false;
  options.async_io = true;
  options.adaptive_readahead = true;
  return options;
}

// The outcome of one MultiGet: value and status per requested key.
struct BatchRead {
  std::vector<rocksdb::PinnableSlice> values;
  std::vector<rocksdb::Status> statuses;
};

// Reads keys of one index with one MultiGet, which sees every key at one
// sequence number. Any outcome but found and not found throws: a failed read
// must not pass for an absent item.
BatchRead MultiGet(rocksdb::DB& db, uint64_t hashed_name, const std::vector<uint64_t>& keys) {
  const size_t n = keys.size();
  std::vector<ItemKey> stored(n);
  std::vector<rocksdb::Slice> slices(n);
  for (size_t i = 0; i < n; ++i) {
    stored[i] = MakeItemKey(hashed_name, keys[i]);
    slices[i] = AsSlice(stored[i]);
  }
  BatchRead read{std::vector<rocksdb::PinnableSlice>(n), std::vector<rocksdb::Status>(n)};
  db.MultiGet(BatchReadOptions(), db.DefaultColumnFamily(), n, slices.data(), read.values.data(),
              read.statuses.data(), /*sorted_input=*/false);
  for (const rocksdb::Status& status : read.statuses) {
    if (!status.ok() && !status.IsNotFound()) Fail("Failed to get item: ", status);
  }
  return read;
}

// The version stored in `value`: exactly 8 little-endian bytes, else a
// failure with the text of the (successful) read status.
uint64_t ParseVersion(const rocksdb::Slice& value, const rocksdb::Status& status) {
  if (value.size() != kVersionBytes) Fail("Failed to get version: ", status);
  return DecodeVersion(BytesOf(value));
}

// Opens or joins the store folder of `type` in the location's data folder.
RocksDBConnectionLease OpenStoreFolder(const nivora::DBConfig& config, BackingStoreType type) {
  std::string path = DataDirectoryOf(config) + "/" + BackingStoreTypeToString(type);
  std::filesystem::create_directories(path);
  try {
    return RocksDBConnectionLease(std::move(path));
  } catch (const std::exception& e) {
    KeystoreLog().critical(std::string("Failed to initialize RocksDB: ") + e.what());
    throw;
  }
}

// Rolls back on destruction unless committed; the rollback's status is not
// looked at (the transaction is discarded either way).
struct TransactionGuard {
  std::unique_ptr<rocksdb::Transaction> txn;
  bool done = false;
  ~TransactionGuard() {
    if (txn && !done) txn->Rollback().PermitUncheckedError();
  }
};

// A guarded new transaction of db; throws (logged) when none could begin.
TransactionGuard BeginGuarded(rocksdb::TransactionDB& db) {
  std::unique_ptr<rocksdb::Transaction> txn(db.BeginTransaction(rocksdb::WriteOptions()));
  if (!txn) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::ERROR,
                                            "Failed to begin transaction");
  }
  return TransactionGuard{std::move(txn)};
}

// Commits the guarded transaction; a failed commit discards it itself.
void CommitGuarded(TransactionGuard& guard) {
  guard.done = true;
  const rocksdb::Status status = guard.txn->Commit();
  if (!status.ok()) Fail("Failed to commit transaction: ", status);
}

}  // namespace

RocksDBKeystore::RocksDBKeystore(nivora::DBConfig& config, const BackingStoreType& type)
    : store_type_(type), connection_(OpenStoreFolder(config, type)), db_(connection_.db()) {}

RocksDBKeystore::~RocksDBKeystore() = default;

std::string RocksDBKeystore::CreateKey(const uint64_t& index, const uint64_t& key) const {
  const ItemKey bytes = MakeItemKey(HashedName(index), key);
  return std::string(bytes.data(), bytes.size());
}

std::string RocksDBKeystore::CreateConfigKey(const std::string& name) const {
  return MakeConfigKey(name);
}

template <typename ValueAt>
void RocksDBKeystore::WriteSorted(const uint64_t& index, const std::vector<uint64_t>& keys,
                                  const ValueAt& value_at, size_t value_bytes) {
  const size_t n = keys.size();
  // Stable, so that of a key named twice the later value is written last and
  // wins, as on every other keystore.
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return keys[a] < keys[b]; });

  // Room for the records: key, value and a few bytes of framing each.
  rocksdb::WriteBatch batch(value_bytes + n * (kItemKeyBytes + 8) + 16);
  const uint64_t hashed = HashedName(index);
  for (size_t i : order) {
    const std::optional<rocksdb::Slice> value = value_at(i);
    if (!value) continue;
    const ItemKey key = MakeItemKey(hashed, keys[i]);
    batch.Put(AsSlice(key), *value).PermitUncheckedError();
  }
  const rocksdb::Status status = db_->Write(rocksdb::WriteOptions(), &batch);
  if (!status.ok()) Fail("Failed to write batch: ", status);
}

void RocksDBKeystore::BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                                         const nivora::Array2D<unsigned char>& values) {
  const size_t n = keys.size();
  KeystoreLog().info("Pushing " + std::to_string(n) + " items to RocksDB");
  CheckKeysGiven(keys);
  if (values.rows != n) {
    RejectArgument("Mismatch between number of keys and batch size",
                   "Mismatch between number of keys and batch size");
  }
  if (values.cols != GetValueSizeImpl(index)) {
    RejectArgument("Amount of data must be divisible by the size of each value",
                   "Amount of data must be divisible by the size of each value");
  }
  Guarded("BatchPushItems", OnFailure::kRethrow, [&] {
    WriteSorted(
        index, keys,
        [&](size_t i) { return std::optional(AsSlice(values.row(i), values.cols)); },
        values.size());
    KeystoreLog().info("Items successfully pushed to RocksDB");
  });
}

void RocksDBKeystore::BatchPushVariableImpl(const uint64_t& index,
                                            const std::vector<uint64_t>& keys,
                                            const std::vector<std::vector<uint8_t>>& values) {
  KeystoreLog().info("Pushing " + std::to_string(keys.size()) + " items to RocksDB");
  CheckVariableBatch(keys, values.size());
  Guarded("BatchPushVariable", OnFailure::kRethrow, [&] {
    size_t bytes = 0;
    for (const auto& value : values) bytes += value.size();
    WriteSorted(
        index, keys,
        [&](size_t i) -> std::optional<rocksdb::Slice> {
          if (values[i].empty()) return std::nullopt;
          return AsSlice(values[i].data(), values[i].size());
        },
        bytes);
    KeystoreLog().info("Items successfully pushed to RocksDB");
  });
}

void RocksDBKeystore::PushItem(const uint64_t& index, const uint64_t& key, const uint8_t* data,
                               size_t size) {
  Guarded("PushItem", OnFailure::kWrap, [&] {
    KeystoreLog().info("Pushing item to RocksDB with key: " + std::to_string(key));
    const ItemKey stored = MakeItemKey(HashedName(index), key);
    const rocksdb::Status status =
        db_->Put(rocksdb::WriteOptions(), AsSlice(stored), AsSlice(data, size));
    if (!status.ok()) Fail("Failed to put item: ", status);
    KeystoreLog().info("Item successfully pushed to RocksDB");
  });
}

void RocksDBKeystore::BatchDeleteItemsImpl(const uint64_t& index,
                                           const std::vector<uint64_t>& keys) {
  Guarded("BatchDeleteItems", OnFailure::kWrap, [&] {
    KeystoreLog().info("Deleting " + std::to_string(keys.size()) + " items from RocksDB");
    if (keys.empty()) {
      KeystoreLog().warning("No keys provided for batch deletion");
      return;
    }
    rocksdb::WriteBatch batch;
    const uint64_t hashed = HashedName(index);
    for (uint64_t key : keys) {
      const ItemKey stored = MakeItemKey(hashed, key);
      batch.Delete(AsSlice(stored)).PermitUncheckedError();
    }
    const rocksdb::Status status = db_->Write(rocksdb::WriteOptions(), &batch);
    if (!status.ok()) Fail("Failed to delete batch: ", status);
    KeystoreLog().info("Items successfully deleted from RocksDB");
  });
}

void RocksDBKeystore::DeleteItem(const uint64_t& index, const uint64_t& key) {
  Guarded("DeleteItem", OnFailure::kWrap, [&] {
    KeystoreLog().info("Deleting item from RocksDB with key: " + std::to_string(key));
    const ItemKey stored = MakeItemKey(HashedName(index), key);
    const rocksdb::Status status = db_->Delete(rocksdb::WriteOptions(), AsSlice(stored));
    if (!status.ok() && !status.IsNotFound()) Fail("Failed to delete item: ", status);
    KeystoreLog().info("Item successfully deleted from RocksDB");
  });
}

nivora::Array2D<unsigned char> RocksDBKeystore::GetItem(const uint64_t& index,
                                                        const uint64_t& key) {
  return Guarded(
      "GetItem", OnFailure::kWrapAs,
      [&] {
        KeystoreLog().info("Getting item from RocksDB");
        const ItemKey stored = MakeItemKey(HashedName(index), key);
        rocksdb::PinnableSlice value;
        const rocksdb::Status status =
            db_->Get(rocksdb::ReadOptions(), db_->DefaultColumnFamily(), AsSlice(stored), &value);
        if (status.IsNotFound()) {
          KeystoreLog().warning("Key not found in RocksDB");
          return nivora::Array2D<unsigned char>();
        }
        if (!status.ok()) Fail("Failed to get item: ", status);
        KeystoreLog().info("Item found in RocksDB");
        return OneRow(BytesOf(value), value.size());
      },
      "Failed to retrieve item from RocksDB: ");
}

nivora::Array2D<unsigned char> RocksDBKeystore::BatchGetItemsImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys) {
  return Guarded("BatchGetItems", OnFailure::kWrap, [&] {
    const size_t n = keys.size();
    if (n == 0) {
      KeystoreLog().warning("No keys provided for batch retrieval");
      return nivora::Array2D<unsigned char>();
    }
    KeystoreLog().info("Getting " + std::to_string(n) + " items from RocksDB");
    const size_t value_size = GetValueSizeImpl(index);
    if (value_size == 0) {
      throw std::invalid_argument("Data size must be a multiple of the number of columns");
    }
    const BatchRead read = MultiGet(*db_, HashedName(index), keys);
    nivora::Array2D<unsigned char> result(n, value_size);
    for (size_t i = 0; i < n; ++i) {
      // Absent keys and values of another width stay zero rows.
      if (read.statuses[i].ok() && read.values[i].size() == value_size) {
        std::memcpy(result.row(i), read.values[i].data(), value_size);
      }
    }
    KeystoreLog().info("Items successfully retrieved from RocksDB");
    return result;
  });
}

std::vector<std::vector<uint8_t>> RocksDBKeystore::BatchGetVariableImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys) {
  return Guarded("BatchGetVariable", OnFailure::kWrap, [&] {
    const size_t n = keys.size();
    if (n == 0) {
      KeystoreLog().warning("No keys provided for batch retrieval");
      return std::vector<std::vector<uint8_t>>();
    }
    KeystoreLog().info("Getting " + std::to_string(n) + " items from RocksDB");
    const BatchRead read = MultiGet(*db_, HashedName(index), keys);
    std::vector<std::vector<uint8_t>> result(n);
    for (size_t i = 0; i < n; ++i) {
      if (!read.statuses[i].ok()) continue;
      const uint8_t* bytes = BytesOf(read.values[i]);
      result[i].assign(bytes, bytes + read.values[i].size());
    }
    KeystoreLog().info("Items successfully retrieved from RocksDB");
    return result;
  });
}

bool RocksDBKeystore::PushMapImpl(const uint64_t& index, const uint64_t& map_key,
                                  const uint8_t* data, size_t size, const uint64_t& version_key,
                                  const uint64_t& expected_version) {
  return Guarded("PushMap", OnFailure::kWrap, [&] {
    KeystoreLog().info("Pushing map. Expected version: " + std::to_string(expected_version));
    TransactionGuard guard = BeginGuarded(*db_);
    const uint64_t hashed = HashedName(index);
    const ItemKey version_stored = MakeItemKey(hashed, version_key);

    // The exclusive lock on the version key, held to commit or rollback,
    // makes the compare and both writes one step for every other push.
    rocksdb::PinnableSlice current_bytes;
    const rocksdb::Status read = guard.txn->GetForUpdate(
        rocksdb::ReadOptions(), db_->DefaultColumnFamily(), AsSlice(version_stored),
        &current_bytes, /*exclusive=*/true, /*do_validate=*/true);
    uint64_t current = 0;
    if (read.ok()) {
      current = ParseVersion(current_bytes, read);
    } else if (!read.IsNotFound()) {
      Fail("Failed to get version: ", read);
    }
    if (current != expected_version) {
      KeystoreLog().warning("Version mismatch: expected " + std::to_string(expected_version) +
                            ", got " + std::to_string(current));
      return false;  // the guard rolls back
    }

    const ItemKey map_stored = MakeItemKey(hashed, map_key);
    rocksdb::Status status = guard.txn->Put(AsSlice(map_stored), AsSlice(data, size));
    if (!status.ok()) Fail("Failed to put map value: ", status);
    const auto next = EncodeVersion(expected_version + 1);
    status = guard.txn->Put(AsSlice(version_stored), AsSlice(next.data(), next.size()));
    if (!status.ok()) Fail("Failed to put version: ", status);
    CommitGuarded(guard);
    KeystoreLog().info("Map and version successfully pushed to RocksDB");
    return true;
  });
}

bool RocksDBKeystore::PushConfigItemIfAbsent(const std::string& name, const uint8_t* data,
                                             size_t size) {
  return Guarded("PushConfigItemIfAbsent", OnFailure::kWrap, [&] {
    TransactionGuard guard = BeginGuarded(*db_);
    const std::string key = MakeConfigKey(name);
    // The exclusive lock on the name, held to commit or rollback, makes the
    // look and the write one step for every other writer of the name.
    rocksdb::PinnableSlice existing;
    const rocksdb::Status read =
        guard.txn->GetForUpdate(rocksdb::ReadOptions(), db_->DefaultColumnFamily(), key,
                                &existing, /*exclusive=*/true, /*do_validate=*/true);
    if (read.ok()) return false;  // the guard rolls back
    if (!read.IsNotFound()) Fail("Failed to get config item: ", read);
    const rocksdb::Status status = guard.txn->Put(key, AsSlice(data, size));
    if (!status.ok()) Fail("Failed to put config item: ", status);
    CommitGuarded(guard);
    return true;
  });
}

VersionedMap RocksDBKeystore::GetMapImpl(const uint64_t& index, const uint64_t& map_key,
                                         const uint64_t& version_key) {
  return Guarded(
      "GetMap", OnFailure::kWrapAs,
      [&] {
        KeystoreLog().info("Getting map and version from RocksDB");
        // Both reads on one snapshot: a map older than its version would win
        // the next compare-and-set and hand out positions twice.
        rocksdb::ManagedSnapshot snapshot(db_);
        rocksdb::ReadOptions options;
        options.snapshot = snapshot.snapshot();
        const uint64_t hashed = HashedName(index);

        VersionedMap result;
        const ItemKey map_stored = MakeItemKey(hashed, map_key);
        rocksdb::PinnableSlice value;
        rocksdb::Status status =
            db_->Get(options, db_->DefaultColumnFamily(), AsSlice(map_stored), &value);
        if (status.ok()) {
          result.map = OneRow(BytesOf(value), value.size());
        } else if (!status.IsNotFound()) {
          Fail("Failed to get map: ", status);
        }

        const ItemKey version_stored = MakeItemKey(hashed, version_key);
        value.Reset();
        status = db_->Get(options, db_->DefaultColumnFamily(), AsSlice(version_stored), &value);
        if (status.ok()) {
          result.version = ParseVersion(value, status);
        } else if (!status.IsNotFound()) {
          Fail("Failed to get version: ", status);
        }
        KeystoreLog().info("Map and version retrieved from RocksDB");
        return result;
      },
      "Failed to retrieve map from RocksDB: ");
}

void RocksDBKeystore::SetValueSizeImpl(const uint64_t& index, size_t value_size) {
  std::unique_lock lock(value_sizes_mutex_);
  value_sizes_[HashedName(index)] = value_size;
}

size_t RocksDBKeystore::GetValueSizeImpl(const uint64_t& index) const {
  std::shared_lock lock(value_sizes_mutex_);
  auto it = value_sizes_.find(HashedName(index));
  return it == value_sizes_.end() ? kDefaultValueSize : it->second;
}

std::string RocksDBKeystore::StorageIdentity() const { return FolderKey(db_path()); }

}  // namespace nivora_encrypted_index::internal::backing_store
