// Item ingest: upsert, removal, re-ingest of every token after training, and
// the centroid metadata. Every argument is checked before positions are
// reserved or stored items replaced, so a malformed call destroys nothing.
// An upsert writes each item's new records over its earlier ones (they share
// keys) and keeps what they replaced until the slice is written, so that a
// store failure part-way can put every item of the slice back.
// Plaintext copies made for encryption (ids, metadata) are wiped as soon as
// they are sealed.
#include <array>
#include <climits>
#include <cstring>
#include <exception>
#include <functional>
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
#include "encrypted_index/id_unmasking.h"
#include "encrypted_index/item_slices.h"

namespace nivora_encrypted_index {
namespace {

namespace crypto = internal::cryptography;
namespace engine = internal::encrypted_index;
using engine::ForEachSlice;
using engine::Part;
using engine::Pick;
using engine::Slice;

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

// The INDEX values of a slice: each masked id hash as 8 little-endian bytes.
nivora::Array2D<unsigned char> IndexValues(const std::vector<uint64_t>& values, const Slice& slice) {
  nivora::Array2D<unsigned char> rows(slice.size(), engine::kIndexValueSize);
  for (size_t i = 0; i < slice.size(); ++i) {
    nivora::StoreLittleEndian<uint64_t>(values[slice.begin + i], rows.row(i));
  }
  return rows;
}

// The slice's items sealed with `key`; an empty plaintext each when the
// batch has no such items.
template <typename Items>
std::vector<std::vector<uint8_t>> SealPart(const Items& items, const Slice& slice,
                                           const crypto::Key& key) {
  Plaintexts plain;
  plain.items.reserve(slice.size());
  for (size_t i = slice.begin; i < slice.end; ++i) {
    if (items.empty()) {
      plain.items.emplace_back();
    } else {
      AppendBytes(items[i], plain.items);
    }
  }
  return crypto::EncryptItemsVariable(plain.items, key);
}

// Keystore batch calls refuse (or warn about) empty key lists.
void DeleteKeys(Keystore& store, uint64_t index, const std::vector<uint64_t>& keys) {
  if (!keys.empty()) store.BatchDeleteItems(index, keys);
}

// The records under keys[i] for each i in `at`, in place i of a list of
// keys.size() records; the others stay empty.
std::vector<std::vector<uint8_t>> ReadRecordsOf(Keystore& store, uint64_t index,
                                                const std::vector<uint64_t>& keys,
                                                const std::vector<size_t>& at) {
  std::vector<std::vector<uint8_t>> records(keys.size());
  if (at.empty()) return records;
  std::vector<std::vector<uint8_t>> read = store.BatchGetVariable(index, Pick(keys, at));
  engine::CheckRowCount(read.size(), at.size());
  for (size_t j = 0; j < at.size(); ++j) records[at[j]] = std::move(read[j]);
  return records;
}

// The i whose record under keys[i] is still ours[i], read from the store
// itself: an undo leaves alone what another client has written since. The
// check and the write after it are two store calls, and a write of another
// client between them is still undone: the window of Client::DeleteTokens.
std::vector<size_t> StillOurs(Keystore& store, uint64_t index, const std::vector<uint64_t>& keys,
                              const std::vector<std::vector<uint8_t>>& ours) {
  const std::vector<std::vector<uint8_t>> stored = store.BatchGetVariableImpl(index, keys);
  engine::CheckRowCount(stored.size(), keys.size());
  std::vector<size_t> at;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (stored[i] == ours[i]) at.push_back(i);
  }
  return at;
}

// As StillOurs for fixed rows.
std::vector<size_t> StillOurs(Keystore& store, uint64_t index, const std::vector<uint64_t>& keys,
                              const nivora::Array2D<unsigned char>& ours) {
  const nivora::Array2D<unsigned char> stored = store.BatchGetItemsImpl(index, keys);
  engine::CheckRowCount(stored.rows, keys.size());
  std::vector<size_t> at;
  if (stored.cols != ours.cols) return at;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (std::memcmp(stored.row(i), ours.row(i), ours.cols) == 0) at.push_back(i);
  }
  return at;
}

// Where the record under keys[i] is still ours[i], puts earlier[i] back, or
// deletes it when earlier[i] is empty (nothing was stored there).
void RestoreRecords(Keystore& store, uint64_t index, const std::vector<uint64_t>& keys,
                    const std::vector<std::vector<uint8_t>>& earlier,
                    const std::vector<std::vector<uint8_t>>& ours) {
  std::vector<uint64_t> put, removed;
  std::vector<std::vector<uint8_t>> values;
  for (size_t i : StillOurs(store, index, keys, ours)) {
    if (earlier[i].empty()) {
      removed.push_back(keys[i]);
    } else {
      put.push_back(keys[i]);
      values.push_back(earlier[i]);
    }
  }
  if (!put.empty()) store.BatchPushVariable(index, put, values);
  DeleteKeys(store, index, removed);
}

// As RestoreRecords for fixed rows, where an absent row reads as zero.
void RestoreRows(Keystore& store, uint64_t index, const std::vector<uint64_t>& keys,
                 const nivora::Array2D<unsigned char>& earlier,
                 const nivora::Array2D<unsigned char>& ours) {
  std::vector<size_t> present;
  std::vector<uint64_t> removed;
  for (size_t i : StillOurs(store, index, keys, ours)) {
    if (crypto::IsAbsentRecord(earlier.row(i))) {
      removed.push_back(keys[i]);
    } else {
      present.push_back(i);
    }
  }
  if (!present.empty()) {
    nivora::Array2D<unsigned char> rows(present.size(), earlier.cols);
    for (size_t j = 0; j < present.size(); ++j) {
      std::memcpy(rows.row(j), earlier.row(present[j]), earlier.cols);
    }
    store.BatchPushItems(index, Pick(keys, present), rows);
  }
  DeleteKeys(store, index, removed);
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

engine::EncryptedTokens Client::DispatchIngestCentroids(const std::vector<uint64_t>& id_hashes,
                                                        const std::vector<uint32_t>& centroid_ids,
                                                        const std::vector<uint32_t>& positions) {
  if (nivora::HasFlag(static_cast<nivora::GPUConfig>(gpu_config_), nivora::GPUConfig::UPSERT)) {
    engine::ThrowCudaRequired();
  }
  return engine::cpu::IngestCentroids(centroid_ids, id_hashes, salts_and_seeds_, tree_depth_,
                                      positions);
}

// The sealed records of one slice, ready to store.
struct Client::SliceRecords {
  engine::ItemKeys keys;  // of the slice's items
  std::vector<uint64_t> token_keys;
  nivora::Array2D<unsigned char> index_values;
  nivora::Array2D<unsigned char> payloads;
  std::vector<std::vector<uint8_t>> metadata;
  std::vector<std::vector<uint8_t>> ids;
  std::vector<std::vector<uint8_t>> contents;  // empty when the batch has none
};

// What the stores held for a slice's items before it was written: the
// records a failed write puts back (ciphertexts only).
struct Client::EarlierVersions {
  nivora::Array2D<unsigned char> vectors;  // one row per item; zero when none is stored
  std::vector<size_t> stored;              // items with a VECTORS row
  std::vector<size_t> fresh;               // the others
  // One record per item; empty for a fresh item or a record not stored.
  std::vector<std::vector<uint8_t>> metadata;
  std::vector<std::vector<uint8_t>> contents;
};

Client::SliceRecords Client::SealSlice(const engine::ItemKeys& keys, const ItemBatch& batch,
                                       const nivora::Array2DView<uint8_t>& payload,
                                       const engine::EncryptedTokens& tokens, size_t begin,
                                       size_t end) {
  const Slice slice{begin, end};
  SliceRecords records;
  records.keys = {Part(keys.id_hashes, slice), Part(keys.metadata_keys, slice),
                  Part(keys.id_keys, slice), Part(keys.contents_keys, slice)};
  records.token_keys = Part(tokens.keys, slice);
  records.index_values = IndexValues(tokens.values, slice);
  records.payloads = SealPayloads(payload, begin, end);
  records.metadata = SealPart(batch.metadata, slice, metadata_key_);
  records.ids = SealPart(batch.ids, slice, id_key_);
  if (!batch.contents.empty()) records.contents = SealPart(batch.contents, slice, contents_key_);
  return records;
}

Client::EarlierVersions Client::ReadEarlierVersions(const engine::ItemKeys& keys) {
  const size_t n = keys.id_hashes.size();
  EarlierVersions earlier;
  earlier.vectors = vectors_keystore_->BatchGetItems(list_id_, keys.id_hashes);
  CheckPayloadRows(earlier.vectors, n);
  for (size_t i = 0; i < n; ++i) {
    (crypto::IsAbsentRecord(earlier.vectors.row(i)) ? earlier.fresh : earlier.stored).push_back(i);
  }
  earlier.metadata =
      ReadRecordsOf(*metadata_keystore_, index_id_, keys.metadata_keys, earlier.stored);
  earlier.contents =
      ReadRecordsOf(*contents_keystore_, index_id_, keys.contents_keys, earlier.stored);
  return earlier;
}

void Client::ReplaceItems(const SliceRecords& records) {
  const EarlierVersions earlier = ReadEarlierVersions(records.keys);
  const engine::ItemKeys& keys = records.keys;
  // Named before they are written: a write that fails part-way is logged too.
  LogIndexKeys(records.token_keys);
  LogItems(keys.id_hashes);
  const uint64_t index = index_id_;
  const uint64_t lists = list_id_;
  // Records of an item share its keys across versions, so each write
  // replaces in place; a step's undo puts back what it replaced, where the
  // store still holds what this write stored (another client's upsert of
  // the item since stays). An ID record is the id itself whichever version
  // wrote it: only a fresh item's is removed.
  struct Step {
    std::function<void()> write;
    std::function<void()> undo;
  };
  const std::array<Step, 5> steps = {{
      {[&] { index_keystore_->BatchPushItems(lists, records.token_keys, records.index_values); },
       [&] { index_keystore_->BatchDeleteItems(lists, records.token_keys); }},
      {[&] { vectors_keystore_->BatchPushItems(lists, keys.id_hashes, records.payloads); },
       [&] {
         RestoreRows(*vectors_keystore_, lists, keys.id_hashes, earlier.vectors, records.payloads);
       }},
      {[&] { metadata_keystore_->BatchPushVariable(index, keys.metadata_keys, records.metadata); },
       [&] {
         RestoreRecords(*metadata_keystore_, index, keys.metadata_keys, earlier.metadata,
                        records.metadata);
       }},
      {[&] { id_keystore_->BatchPushVariable(index, keys.id_keys, records.ids); },
       [&] { RemoveFreshIds(records, earlier); }},
      {[&] { WriteContents(records, earlier); },
       [&] {
         RestoreRecords(*contents_keystore_, index, keys.contents_keys, earlier.contents,
                        ContentsWritten(records));
       }},
  }};
  size_t step = 0;
  try {
    for (; step < steps.size(); ++step) steps[step].write();
  } catch (...) {
    const std::exception_ptr failure = std::current_exception();
    // The failed step may have been stored in part: it is undone too.
    try {
      for (size_t s = step + 1; s-- > 0;) steps[s].undo();
    } catch (const std::exception& e) {
      logger_->error(std::string("Failed to restore items after a failed write: ") + e.what());
    }
    std::rethrow_exception(failure);
  }
}

void Client::RemoveFreshIds(const SliceRecords& records, const EarlierVersions& earlier) {
  if (earlier.fresh.empty()) return;
  const std::vector<uint64_t> keys = Pick(records.keys.id_keys, earlier.fresh);
  const std::vector<size_t> ours =
      StillOurs(*id_keystore_, index_id_, keys, Pick(records.ids, earlier.fresh));
  DeleteKeys(*id_keystore_, index_id_, Pick(keys, ours));
}

std::vector<std::vector<uint8_t>> Client::ContentsWritten(const SliceRecords& records) {
  // A version without contents left every contents record absent.
  if (records.contents.empty()) return std::vector<std::vector<uint8_t>>(records.ids.size());
  return records.contents;
}

void Client::WriteContents(const SliceRecords& records, const EarlierVersions& earlier) {
  if (!records.contents.empty()) {
    contents_keystore_->BatchPushVariable(index_id_, records.keys.contents_keys, records.contents);
    return;
  }
  // A version without contents replaces one with contents.
  std::vector<uint64_t> replaced;
  for (size_t i : earlier.stored) {
    if (!earlier.contents[i].empty()) replaced.push_back(records.keys.contents_keys[i]);
  }
  DeleteKeys(*contents_keystore_, index_id_, replaced);
}

nivora::Array2D<unsigned char> Client::SealPayloads(const nivora::Array2DView<uint8_t>& payload,
                                                    size_t begin, size_t end) {
  const size_t width = payload.cols;
  uint8_t no_payload = 0;  // a valid address for rows of 0 bytes
  return crypto::EncryptItemsFixed(width == 0 ? &no_payload : payload.data + width * begin,
                                   end - begin, width, vectors_key_);
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

  StampedWrite(ChangeKind::kItems, [&] {
    std::vector<uint32_t> assigned = centroid_ids;
    const std::vector<uint32_t> positions = UpdateMap(assigned);
    const engine::EncryptedTokens tokens =
        DispatchIngestCentroids(keys.id_hashes, centroid_ids, positions);
    nivora::Array2DView<uint8_t> payload = batch.payload_view();
    if (batch.payload_empty()) {
      logger_->warning("No token payload provided, using empty payload");
      payload = nivora::Array2DView<uint8_t>(nullptr, batch.ids.size(), 0);
    }
    ForEachSlice(batch.ids.size(), [&](const Slice& slice) {
      ReplaceItems(SealSlice(keys, batch, payload, tokens, slice.begin, slice.end));
      // Only once the new version is whole: until then the old token is what
      // finds the item. Every item's record is looked up, with or without a
      // VECTORS row: a delete that failed part-way may have left its token.
      MoveLocations(Part(keys.id_hashes, slice), Part(centroid_ids, slice), Part(positions, slice),
                    {Part(tokens.keys, slice), Part(tokens.values, slice)});
    });
  }, /*logged=*/true);
}

void Client::RemoveItems(const std::vector<std::string>& ids) {
  const auto threads = ThreadScope();
  if (ids.empty()) return;
  const engine::ItemKeys keys =
      engine::DeriveItemKeys(ids, vectors_key_, metadata_key_, id_key_, contents_key_);
  StampedWrite(ChangeKind::kItems, [&] {
    LogItems(keys.id_hashes);
    vectors_keystore_->BatchDeleteItems(list_id_, keys.id_hashes);
    metadata_keystore_->BatchDeleteItems(index_id_, keys.metadata_keys);
    id_keystore_->BatchDeleteItems(index_id_, keys.id_keys);
    contents_keystore_->BatchDeleteItems(index_id_, keys.contents_keys);
    ForgetItems(keys.id_hashes);
  }, /*logged=*/true);
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
    StoreLocations(id_hashes, centroid_ids, positions);
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
  const engine::EncryptedTokens tokens =
      DispatchIngestCentroids(id_hashes, centroid_ids, positions);
  UpdateIndexBackingStore(tokens);
  nivora::internal::ReachTestPoint("list-tokens-written");
  const nivora::Array2DView<uint8_t> payload =
      batch.payload_empty() ? nivora::Array2DView<uint8_t>(nullptr, batch.ids.size(), 0)
                            : batch.payload_view();
  ForEachSlice(id_hashes.size(), [&](const Slice& slice) {
    vectors_keystore_->BatchPushItems(list_id_, Part(id_hashes, slice),
                                      SealPayloads(payload, slice.begin, slice.end));
  });
  // An item added again (a reconciled write) leaves its earlier entry.
  MoveLocations(id_hashes, centroid_ids, positions, tokens);
}

void Client::RemoveListEntries(const std::vector<uint64_t>& id_hashes) {
  const auto threads = ThreadScope();
  if (id_hashes.empty()) return;
  vectors_keystore_->BatchDeleteItems(list_id_, id_hashes);
  ForgetItems(id_hashes);
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
