// Item ingest: upsert, removal, re-ingest of every token after training, and
// the centroid metadata. Every argument is checked before positions are
// reserved or stored items deleted, so a malformed call destroys nothing.
// Plaintext copies made for encryption (ids, metadata) are wiped as soon as
// they are sealed.
#include <climits>
#include <stdexcept>
#include <string>

#include "core/little_endian.h"
#include "core/log_and_throw.h"
#include "core/test_points.h"
#include "core/parallel_for.h"
#include "encrypted_index/centroid_range.h"
#include "encrypted_index/client.h"
#include "encrypted_index/cryptography/aes_gcm.h"
#include "encrypted_index/cryptography/keyed_digest.h"
#include "encrypted_index/gpu_support.h"

namespace nivora_encrypted_index {
namespace {

namespace crypto = internal::cryptography;
namespace engine = internal::encrypted_index;

// Items written per round of keystore batches: bounds the encrypted copies
// held at once and the size of each batch.
constexpr size_t kSliceSize = 10000;
// The cipher interface counts bytes in int.
constexpr size_t kMaxPlaintext = INT_MAX - crypto::kRecordOverhead;

// Plaintexts handed to the batch encryption; wiped when the scope ends.
struct Plaintexts {
  std::vector<std::vector<uint8_t>> items;
  ~Plaintexts() {
    for (auto& item : items) crypto::Cleanse(item);
  }
};

template <typename Container>
void AppendBytes(const Container& value, std::vector<std::vector<uint8_t>>& out) {
  out.emplace_back(reinterpret_cast<const uint8_t*>(value.data()),
                   reinterpret_cast<const uint8_t*>(value.data()) + value.size());
}

void RefuseArgument(nivora::Logger& logger, const std::string& logged, const std::string& thrown) {
  nivora::LogAndThrow<std::invalid_argument>(logger, nivora::ERROR, logged, thrown);
}

template <typename Items>
void CheckOptionalCount(nivora::Logger& logger, const Items& items, size_t n, const char* what) {
  if (items.empty() || items.size() == n) return;
  const std::string head = std::string("Mismatch between size of ") + what;
  RefuseArgument(logger,
                 head + " (" + std::to_string(items.size()) + ") and item IDs (" +
                     std::to_string(n) + ")",
                 head + " and item IDs");
}

template <typename Items>
void CheckItemSizes(nivora::Logger& logger, const Items& items) {
  for (const auto& item : items) {
    if (item.size() > kMaxPlaintext) {
      const std::string message =
          "Item of " + std::to_string(item.size()) + " bytes is too large for AES-GCM";
      RefuseArgument(logger, message, message);
    }
  }
}

// Slice s of n items: [begin, end).
struct Slice {
  size_t begin;
  size_t end;
  size_t size() const { return end - begin; }
};

template <typename Body>
void ForEachSlice(size_t n, const Body& body) {
  for (size_t begin = 0; begin < n; begin += kSliceSize) body(Slice{begin, std::min(n, begin + kSliceSize)});
}

template <typename T>
std::vector<T> Part(const std::vector<T>& values, const Slice& slice) {
  return std::vector<T>(values.begin() + slice.begin, values.begin() + slice.end);
}

// The INDEX values of a slice: each masked id hash as 8 little-endian bytes.
nivora::Array2D<unsigned char> IndexValues(const std::vector<uint64_t>& values, const Slice& slice) {
  nivora::Array2D<unsigned char> rows(slice.size(), engine::kIndexValueSize);
  for (size_t i = 0; i < slice.size(); ++i) {
    nivora::StoreLittleEndian<uint64_t>(values[slice.begin + i], rows.row(i));
  }
  return rows;
}

}  // namespace

void Client::ValidateInputSizes(const ItemBatch& batch, const std::vector<uint32_t>& centroid_ids,
                                bool check_payload_width) {
  const size_t n = batch.ids.size();
  if (centroid_ids.size() != n) {
    RefuseArgument(*logger_,
                   "Mismatch between size of centroid IDs (" + std::to_string(centroid_ids.size()) +
                       ") and item IDs (" + std::to_string(n) + ")",
                   "Mismatch between size of centroid IDs and item IDs");
  }
  if (payload_size_ != 0 && batch.payload_rows() != n) {
    RefuseArgument(*logger_,
                   "Mismatch between size of payload tokens (" +
                       std::to_string(batch.payload_rows()) + ") and item IDs (" +
                       std::to_string(n) + ")",
                   "Mismatch between size of payload tokens and item IDs");
  }
  const size_t width = batch.payload_view().cols;
  if (check_payload_width && !batch.payload_empty() && width != payload_size_) {
    RefuseArgument(*logger_,
                   "Mismatch between payload row size (" + std::to_string(width) +
                       " bytes) and payload size (" + std::to_string(payload_size_) + " bytes)",
                   "Mismatch between payload row size and payload size");
  }
  CheckOptionalCount(*logger_, batch.metadata, n, "metadata");
  CheckOptionalCount(*logger_, batch.contents, n, "contents");
  CheckItemSizes(*logger_, batch.ids);
  CheckItemSizes(*logger_, batch.metadata);
  CheckItemSizes(*logger_, batch.contents);
  if (tree_depth_ == 0) {
    RefuseArgument(*logger_, "The number of round should be at least 1.",
                   "The number of round should be at least 1.");
  }
  engine::CheckCentroidIds(centroid_ids, vocab_size_, "centroids");
  if (nivora::HasFlag(static_cast<nivora::GPUConfig>(gpu_config_), nivora::GPUConfig::UPSERT)) {
    engine::ThrowCudaRequired();
  }
}

std::vector<uint8_t> Client::FindStoredItems(const std::vector<uint64_t>& id_hashes) {
  std::vector<uint8_t> stored(id_hashes.size(), 0);
  if (id_hashes.empty()) return stored;
  const nivora::Array2D<unsigned char> rows = vectors_keystore_->BatchGetItems(list_id_, id_hashes);
  CheckPayloadRows(rows, id_hashes.size());
  for (size_t i = 0; i < rows.rows; ++i) stored[i] = !crypto::IsAbsentRecord(rows.row(i));
  return stored;
}

void Client::RemoveEarlierVersions(const engine::ItemKeys& keys, const std::vector<uint8_t>& stored) {
  engine::ItemKeys existing;
  for (size_t i = 0; i < stored.size(); ++i) {
    if (!stored[i]) continue;
    existing.id_hashes.push_back(keys.id_hashes[i]);
    existing.metadata_keys.push_back(keys.metadata_keys[i]);
    existing.id_keys.push_back(keys.id_keys[i]);
    existing.contents_keys.push_back(keys.contents_keys[i]);
  }
  if (existing.id_hashes.empty()) return;
  vectors_keystore_->BatchDeleteItems(list_id_, existing.id_hashes);
  metadata_keystore_->BatchDeleteItems(index_id_, existing.metadata_keys);
  id_keystore_->BatchDeleteItems(index_id_, existing.id_keys);
  contents_keystore_->BatchDeleteItems(index_id_, existing.contents_keys);
}

engine::EncryptedTokens Client::DispatchIngestCentroids(const std::vector<uint64_t>& id_hashes,
                                                        const std::vector<uint32_t>& centroid_ids,
                                                        const std::vector<uint32_t>& positions) {
  if (nivora::HasFlag(static_cast<nivora::GPUConfig>(gpu_config_), nivora::GPUConfig::UPSERT)) {
    engine::ThrowCudaRequired();
  }
  return engine::cpu::IngestCentroids(centroid_ids, id_hashes, salts_and_seeds_, tree_depth_,
                                      positions);
}

void Client::HandleContents(const std::vector<uint64_t>& contents_keys, const ItemBatch& batch) {
  if (batch.contents.empty()) return;
  const std::vector<std::vector<uint8_t>> records =
      crypto::EncryptItemsVariable(batch.contents, contents_key_);
  contents_keystore_->BatchPushVariable(index_id_, contents_keys, records);
}

void Client::UpdateIndexes(const engine::ItemKeys& keys, const ItemBatch& batch,
                           const engine::EncryptedTokens& tokens) {
  const size_t n = keys.id_hashes.size();
  if (batch.payload_empty()) logger_->warning("No token payload provided, using empty payload");
  ForEachSlice(n, [&](const Slice& slice) {
    const nivora::Array2D<unsigned char> index_values = IndexValues(tokens.values, slice);
    const nivora::Array2D<unsigned char> payload_records =
        SealPayloads(batch, slice.begin, slice.end);
    std::vector<std::vector<uint8_t>> metadata_records;
    {
      Plaintexts plain;
      plain.items.reserve(slice.size());
      for (size_t i = slice.begin; i < slice.end; ++i) {
        if (batch.metadata.empty()) {
          plain.items.emplace_back();
        } else {
          AppendBytes(batch.metadata[i], plain.items);
        }
      }
      metadata_records = crypto::EncryptItemsVariable(plain.items, metadata_key_);
    }
    std::vector<std::vector<uint8_t>> id_records;
    {
      Plaintexts plain;
      plain.items.reserve(slice.size());
      for (size_t i = slice.begin; i < slice.end; ++i) AppendBytes(batch.ids[i], plain.items);
      id_records = crypto::EncryptItemsVariable(plain.items, id_key_);
    }
    index_keystore_->BatchPushItems(list_id_, Part(tokens.keys, slice), index_values);
    vectors_keystore_->BatchPushItems(list_id_, Part(keys.id_hashes, slice), payload_records);
    metadata_keystore_->BatchPushVariable(index_id_, Part(keys.metadata_keys, slice),
                                          metadata_records);
    id_keystore_->BatchPushVariable(index_id_, Part(keys.id_keys, slice), id_records);
  });
}

nivora::Array2D<unsigned char> Client::SealPayloads(const ItemBatch& batch, size_t begin,
                                                    size_t end) {
  const size_t width = batch.payload_empty() ? 0 : batch.payload_view().cols;
  uint8_t no_payload = 0;  // a valid address for rows of 0 bytes
  const uint8_t* payload = width == 0 ? &no_payload : batch.payload_view().data + width * begin;
  return crypto::EncryptItemsFixed(payload, end - begin, width, vectors_key_);
}

void Client::UpdateIndexBackingStore(const engine::EncryptedTokens& tokens) {
  ForEachSlice(tokens.keys.size(), [&](const Slice& slice) {
    index_keystore_->BatchPushItems(list_id_, Part(tokens.keys, slice),
                                    IndexValues(tokens.values, slice));
  });
}

void Client::AddItems(ItemBatch& batch, const std::vector<uint32_t>& centroid_ids) {
  const auto threads = ThreadScope();
  logger_->info("Adding " + std::to_string(batch.ids.size()) + " Items");
  ValidateInputSizes(batch, centroid_ids);
  GetSaltsAndSeeds();
  const engine::ItemKeys keys =
      engine::DeriveItemKeys(batch.ids, vectors_key_, metadata_key_, id_key_, contents_key_);
  const std::vector<uint8_t> stored = FindStoredItems(keys.id_hashes);

  StampedWrite(ChangeKind::kItems, [&] {
    std::vector<uint32_t> assigned = centroid_ids;
    const std::vector<uint32_t> positions = UpdateMap(assigned);
    RemoveEarlierVersions(keys, stored);
    const engine::EncryptedTokens tokens =
        DispatchIngestCentroids(keys.id_hashes, centroid_ids, positions);
    HandleContents(keys.contents_keys, batch);
    UpdateIndexes(keys, batch, tokens);
  });
}

void Client::RemoveItems(const std::vector<std::string>& ids) {
  const auto threads = ThreadScope();
  if (ids.empty()) return;
  const engine::ItemKeys keys =
      engine::DeriveItemKeys(ids, vectors_key_, metadata_key_, id_key_, contents_key_);
  StampedWrite(ChangeKind::kItems,
               [&] { RemoveEarlierVersions(keys, std::vector<uint8_t>(ids.size(), 1)); });
}

void Client::RebuildIndex(ItemBatch& batch, const std::vector<uint32_t>& centroid_ids) {
  const auto threads = ThreadScope();
  logger_->info("Rebuilding index with " + std::to_string(batch.ids.size()) + " items");
  ValidateInputSizes(batch, centroid_ids, /*check_payload_width=*/false);
  StampedWrite(ChangeKind::kItems, [&] {
    index_keystore_->DeleteIndex(list_id_);
    token_cache_->clear();
    GetSaltsAndSeeds();
    std::vector<uint32_t> assigned = centroid_ids;
    const std::vector<uint32_t> positions = UpdateMap(assigned);
    const std::vector<uint64_t> id_hashes = crypto::ComputeSHA3256String(batch.ids, vectors_key_);
    UpdateIndexBackingStore(DispatchIngestCentroids(id_hashes, centroid_ids, positions));
  });
  logger_->info("Index rebuild completed");
}

void Client::AddListEntries(ItemBatch& batch, const std::vector<uint32_t>& centroid_ids) {
  const auto threads = ThreadScope();
  logger_->info("Adding list entries of " + std::to_string(batch.ids.size()) + " items");
  ValidateInputSizes(batch, centroid_ids);
  GetSaltsAndSeeds();
  std::vector<uint32_t> assigned = centroid_ids;
  const std::vector<uint32_t> positions = UpdateMap(assigned);
  const std::vector<uint64_t> id_hashes = crypto::ComputeSHA3256String(batch.ids, vectors_key_);
  UpdateIndexBackingStore(DispatchIngestCentroids(id_hashes, centroid_ids, positions));
  nivora::internal::ReachTestPoint("list-tokens-written");
  ForEachSlice(id_hashes.size(), [&](const Slice& slice) {
    vectors_keystore_->BatchPushItems(list_id_, Part(id_hashes, slice),
                                      SealPayloads(batch, slice.begin, slice.end));
  });
}

void Client::RemoveListEntries(const std::vector<uint64_t>& id_hashes) {
  const auto threads = ThreadScope();
  if (!id_hashes.empty()) vectors_keystore_->BatchDeleteItems(list_id_, id_hashes);
}

void Client::AddCentroidMetadata(const std::vector<std::string>& names,
                                 const std::vector<std::vector<uint8_t>>& blobs) {
  const auto threads = ThreadScope();
  if (names.size() != blobs.size()) {
    RefuseArgument(*logger_,
                   "Mismatch between centroid metadata names (" + std::to_string(names.size()) +
                       ") and buffers (" + std::to_string(blobs.size()) + ")",
                   "Mismatch between centroid metadata names and buffers");
  }
  if (names.empty()) return;
  const std::vector<uint64_t> keys = crypto::ComputeSHA3256String(names, centroid_metadata_key_);
  index_keystore_->BatchPushVariable(list_id_, keys,
                                     crypto::EncryptItemsVariable(blobs, centroid_metadata_key_));
}

}  // namespace nivora_encrypted_index
