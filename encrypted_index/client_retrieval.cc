// Retrieval: the candidates of probed centroids, ids and metadata by id
// hash, items by id, centroid metadata and every stored item.
//
// Stored records are not bound to their keys, and absent keys read as zero
// rows or empty records, so presence is judged from the stored record, never
// from decrypted bytes, and a decrypted id is accepted only when it hashes
// back to the hash it was read for. Plaintext copies made on the way are
// wiped; plaintext handed to the caller is the caller's.
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "core/parallel_for.h"
#include "encrypted_index/client.h"
#include "encrypted_index/cryptography/aes_gcm.h"
#include "encrypted_index/cryptography/keyed_digest.h"
#include "encrypted_index/gpu_support.h"
#include "encrypted_index/id_unmasking.h"
#include "encrypted_index/query_tokens.h"

namespace nivora_encrypted_index {
namespace {

namespace crypto = internal::cryptography;
namespace engine = internal::encrypted_index;

// Payload rows are read and decrypted at most this many ids at a time, and
// at least the smaller count unless fewer are asked for: a store round trip
// and a task each cost about as much as decrypting that many records.
constexpr size_t kPayloadBatch = 1000;
constexpr size_t kMinPayloadBatch = 128;

// Records of ids and metadata are small: their batches may hold more.
constexpr size_t kHashBatch = 4096;

// body(begin, end) over batches of [0, n), about one per thread, of at
// least kMinPayloadBatch and at most `most` items, in one parallel loop
// (none for a single batch), each batch on its own thread with no team
// inside.
template <typename Body>
void ForEachReadBatch(size_t n, size_t most, const Body& body) {
  const size_t threads = static_cast<size_t>(nivora::ThreadCount());
  const size_t batch = std::clamp((n + threads - 1) / threads, kMinPayloadBatch, most);
  const size_t batches = (n + batch - 1) / batch;
  nivora::ParallelForDynamic(batches, [&](size_t b) {
    const nivora::ScopedThreadCount one_thread(1);
    const size_t begin = b * batch;
    body(begin, std::min(n, begin + batch));
  });
}

void Wipe(std::string& s) {
  if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
  s.clear();
}

void Wipe(std::vector<std::vector<uint8_t>>& items) {
  for (auto& item : items) crypto::Cleanse(item);
  items.clear();
}

void Wipe(std::vector<std::string>& strings) {
  for (std::string& s : strings) Wipe(s);
  strings.clear();
}

// Copies plaintext bytes into a string in place: assigning from vector
// iterators goes through a temporary string, freed unwiped.
void AssignPlain(std::string& to, const std::vector<uint8_t>& from) {
  to.assign(reinterpret_cast<const char*>(from.data()), from.size());
}

// Wipes decrypted strings when the scope ends, however it ends.
struct WipeOnExit {
  std::vector<std::string>& strings;
  ~WipeOnExit() { Wipe(strings); }
};

// FNV-1a over an item's payload record and metadata record: every write
// stores them with a fresh nonce, so a rewritten item has another digest.
uint64_t RecordDigest(const uint8_t* row, size_t size, const std::vector<uint8_t>& metadata) {
  uint64_t digest = 0xcbf29ce484222325ULL;
  auto add = [&](const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) digest = (digest ^ bytes[i]) * 0x100000001b3ULL;
  };
  add(row, size);
  add(metadata.data(), metadata.size());
  return digest;
}

void Wipe(nivora::Array2D<uint8_t>& matrix) {
  if (matrix.data != nullptr && matrix.size() != 0) OPENSSL_cleanse(matrix.data, matrix.size());
}

void WipeBatch(ItemBatch& batch) {
  Wipe(batch.ids);
  Wipe(batch.metadata);
  Wipe(batch.contents);
  std::visit(
      [](auto& m) {
        if (m.data != nullptr && m.size() != 0) OPENSSL_cleanse(m.data, m.size() * sizeof(*m.data));
      },
      batch.payload);
  batch.payload = nivora::Array2D<uint8_t>();
}

// The batch RetrieveAllEmbeddings hands out on this thread; wiped when the
// thread ends.
struct ThreadEmbeddings {
  ItemBatch batch;
  ~ThreadEmbeddings() { WipeBatch(batch); }
};

ThreadEmbeddings& Embeddings() {
  thread_local ThreadEmbeddings embeddings;
  return embeddings;
}

}  // namespace

void Client::CheckPayloadRows(const nivora::Array2D<unsigned char>& rows, size_t keys) const {
  const size_t expected = payload_size_ + crypto::kRecordOverhead;
  if (rows.cols != expected) {
    throw std::runtime_error("Stored payload rows are " + std::to_string(rows.cols) +
                             " bytes, expected " + std::to_string(expected));
  }
  engine::CheckRowCount(rows.rows, keys);
}

std::vector<std::string> Client::RetrieveStrings(Keystore* store, const std::vector<uint64_t>& keys,
                                                 const crypto::Key& key, bool from_store) {
  std::vector<std::string> out(keys.size());
  if (keys.empty()) return out;
  std::vector<std::vector<uint8_t>> plain = crypto::DecryptItemsVariable(
      from_store ? store->BatchGetVariableImpl(index_id_, keys)
                 : store->BatchGetVariable(index_id_, keys),
      key);
  nivora::ParallelForStatic(plain.size(), nivora::kSerialReadLimit, [&](size_t i) {
    AssignPlain(out[i], plain[i]);
  });
  Wipe(plain);
  return out;
}

void Client::RetrieveNeighbors(std::vector<uint32_t>& centroid_ids, RetrieveNeighborsResult& result) {
  RetrieveCandidates(centroid_ids, result);
  result.read_payloads = nullptr;
  const size_t n = result.matching_ids.size();
  if (n == 0) return;
  const auto threads = ThreadScope();
  logger_->info("Retrieving and decrypting vectors");
  // Every row is written by ReadPayloads: decrypted, or zeroed when its
  // record is absent or fails. A large query's payloads run to hundreds of
  // MB, whose zero-filling would cost as much as their decryption.
  nivora::Array2D<uint8_t> payloads;
  payloads.rows = n;
  payloads.cols = payload_size_;
  if (payload_size_ != 0) payloads.AllocateWiped(n * payload_size_);
  ReadPayloads(result.matching_ids, result.row_present, payloads);
  result.payloads = std::move(payloads);
  logger_->info("Retrieved " + std::to_string(n) + " items with vectors and item_ids");
}

void Client::RetrieveCandidates(std::vector<uint32_t>& centroid_ids,
                                RetrieveNeighborsResult& result) {
  const auto threads = ThreadScope();
  LoadMap();
  GetSaltsAndSeeds();
  const size_t k = centroid_ids.size();
  logger_->info("Generating query tokens for " + std::to_string(k) + " query tokens");
  result.matching_ids.clear();
  result.payloads = nivora::Array2D<uint8_t>();
  result.payloads.cols = payload_size_;
  result.row_present.clear();
  result.centroid_to_matching_indices.assign(k + 1, 0);
  result.read_payloads = [this](const uint64_t* ids, size_t count, uint8_t* out,
                                uint8_t* present) { ReadPayloadRows(ids, count, out, present); };
  if (nivora::HasFlag(static_cast<nivora::GPUConfig>(gpu_config_), nivora::GPUConfig::QUERY)) {
    engine::ThrowCudaRequired();
  }

  const engine::QueryTokens tokens = engine::cpu::GenerateQueryTokens(
      centroid_ids, salts_and_seeds_, counter_map_, static_cast<uint32_t>(tree_depth_),
      token_cache_.get());
  if (tokens.keys.empty()) {
    logger_->info("No valid encrypted tokens - tokens were never ingested");
    return;
  }
  logger_->info("Retrieving encrypted hash IDs");
  const nivora::Array2D<unsigned char> masked = index_keystore_->BatchGetItems(list_id_, tokens.keys);
  engine::CheckRowCount(masked.rows, tokens.keys.size());
  logger_->info("Decrypting hash IDs");
  std::vector<uint64_t> ids =
      engine::DecryptItemIdSHAs(masked, tokens.value_hashes.data(), tokens.value_hashes.size());
  if (ids.empty()) {
    logger_->info("No items found for the given query tokens");
    result.centroid_to_matching_indices = tokens.offsets;
    return;
  }
  // A token without an INDEX entry (its ingest failed) leads nowhere.
  const size_t n = ids.size();
  std::vector<uint8_t> present(n);
  for (size_t i = 0; i < n; ++i) present[i] = engine::HasNonZeroByte(masked.row(i), masked.cols);
  result.matching_ids = std::move(ids);
  result.row_present = std::move(present);
  result.centroid_to_matching_indices = tokens.offsets;
}

void Client::ReadPayloads(const std::vector<uint64_t>& ids, std::vector<uint8_t>& present,
                          nivora::Array2D<uint8_t>& payloads) {
  const size_t width = payloads.cols;
  // One parallel pass: each task reads one batch of records from the store
  // and decrypts it as it arrives, straight into its rows.
  uint8_t no_payload = 0;  // a valid address for rows of 0 bytes
  ForEachReadBatch(ids.size(), kPayloadBatch, [&](size_t begin, size_t end) {
    ReadPayloadRows(ids.data() + begin, end - begin,
                    width == 0 ? &no_payload : payloads.row(begin), present.data() + begin);
  });
}

template <typename Read>
auto Client::ReadInTurn(Keystore* store, const Read& read) {
  if (store->ConcurrentReads()) return read();
  // A store that serves one thread at a time is read in turns; the
  // decryption of one batch still overlaps the reading of the next.
  const std::lock_guard<std::mutex> turn(read_turns_);
  return read();
}

void Client::ReadPayloadRows(const uint64_t* ids, size_t count, uint8_t* out, uint8_t* present) {
  const std::vector<uint64_t> keys(ids, ids + count);
  const size_t width = payload_size_;
  // A store holding its records in this process hands each one to the
  // decryption where it lies: no copy of the batch's records.
  if (vectors_keystore_->ConcurrentReads()) {
    const size_t expected = width + crypto::kRecordOverhead;
    const size_t stored = vectors_keystore_->GetValueSize(list_id_);
    crypto::RecordDecryptor decryptor(vectors_key_, expected);
    uint64_t failures = 0;
    const bool visited = stored == expected &&
        vectors_keystore_->VisitItems(list_id_, keys, [&](size_t i, const uint8_t* record) {
          uint8_t* row = out + i * width;
          if (record == nullptr || crypto::IsAbsentRecord(record)) {
            present[i] = 0;
            if (width != 0) std::memset(row, 0, width);
          } else if (!decryptor.Decrypt(record, row)) {
            ++failures;
          }
        });
    if (visited) {
      crypto::ThrowIfDecryptionFailed(failures);
      return;
    }
  }
  const nivora::Array2D<unsigned char> rows = ReadInTurn(
      vectors_keystore_, [&] { return vectors_keystore_->BatchGetItems(list_id_, keys); });
  CheckPayloadRows(rows, count);
  for (size_t i = 0; i < rows.rows; ++i) {
    if (!crypto::IsAbsentRecord(rows.row(i))) continue;
    present[i] = 0;
    if (width != 0) std::memset(out + i * width, 0, width);  // skipped below
  }
  // On this thread: no team inside the caller's team.
  const nivora::ScopedThreadCount one_thread(1);
  crypto::DecryptItemsFixedInto(rows.data, rows.rows, rows.cols, vectors_key_, out, width);
}

void Client::RetrieveItemIDs(const std::vector<uint64_t>& id_hashes, std::vector<std::string>& out) {
  const auto threads = ThreadScope();
  RetrieveByHash(id_hashes, out, id_keystore_, id_key_, "item ID", "item IDs", true);
}

void Client::RetrieveItemMetadata(const std::vector<uint64_t>& id_hashes,
                                  std::vector<std::string>& out) {
  const auto threads = ThreadScope();
  RetrieveByHash(id_hashes, out, metadata_keystore_, metadata_key_, "metadata", "metadata", false);
}

bool Client::RetrieveByHash(const std::vector<uint64_t>& id_hashes, std::vector<std::string>& out,
                            Keystore* store, const crypto::Key& key, const char* field,
                            const char* fields, bool ids_hash_back) {
  if (id_hashes.empty()) {
    logger_->info(std::string("No item_ids provided for ") + field + " retrieval");
    return false;
  }
  logger_->info(std::string("Retrieving ") + fields + " for " + std::to_string(id_hashes.size()) +
                " items");
  out.assign(id_hashes.size(), std::string());
  // One parallel pass: each task derives its batch's keys, reads their
  // records and decrypts them as they arrive.
  ForEachReadBatch(id_hashes.size(), kHashBatch, [&](size_t begin, size_t end) {
    const std::vector<uint64_t> hashes(id_hashes.begin() + begin, id_hashes.begin() + end);
    const std::vector<uint64_t> keys = crypto::DeriveKeystoreKeys(hashes, key);
    const std::vector<std::vector<uint8_t>> records =
        ReadInTurn(store, [&] { return store->BatchGetVariable(index_id_, keys); });
    engine::CheckRowCount(records.size(), keys.size());
    std::vector<std::vector<uint8_t>> plain = crypto::DecryptItemsVariable(records, key);
    for (size_t i = 0; i < plain.size(); ++i) AssignPlain(out[begin + i], plain[i]);
    Wipe(plain);
    if (!ids_hash_back) return;
    // An ID record moved under another item's key still decrypts: only an
    // id that hashes back to the hash asked for is that item's.
    std::vector<std::string> batch_ids(std::make_move_iterator(out.begin() + begin),
                                       std::make_move_iterator(out.begin() + end));
    const std::vector<uint64_t> rehashed = crypto::ComputeSHA3256String(batch_ids, vectors_key_);
    for (size_t i = 0; i < batch_ids.size(); ++i) {
      if (rehashed[i] != hashes[i]) Wipe(batch_ids[i]);
      out[begin + i] = std::move(batch_ids[i]);
    }
  });
  return true;
}

std::vector<RetrievedItem> Client::RetrieveItems(const std::vector<std::string>& ids,
                                                 const std::vector<nivora::ItemFields>& fields) {
  const auto threads = ThreadScope();
  const size_t n = ids.size();
  logger_->info("Retrieving " + std::to_string(n) + " items");
  if (n == 0) return {};
  auto asked = [&](nivora::ItemFields field) {
    return fields.empty() || std::find(fields.begin(), fields.end(), field) != fields.end();
  };
  const bool want_vector = asked(nivora::ItemFields::VECTOR);
  const bool want_metadata = asked(nivora::ItemFields::METADATA);
  const bool want_contents = asked(nivora::ItemFields::CONTENTS);
  const std::vector<uint64_t> h = crypto::ComputeSHA3256String(ids, vectors_key_);
  std::vector<uint8_t> present(n, 0);

  nivora::Array2D<uint8_t> vectors;
  if (want_vector) {
    const nivora::Array2D<unsigned char> rows = vectors_keystore_->BatchGetItems(list_id_, h);
    CheckPayloadRows(rows, n);
    for (size_t i = 0; i < n; ++i) present[i] |= !crypto::IsAbsentRecord(rows.row(i));
    vectors = crypto::DecryptItemsFixed(rows.data, rows.rows, rows.cols, vectors_key_);
  }
  // A stored variable record is never empty (28 bytes at least).
  auto read_variable = [&](Keystore* store, const crypto::Key& key) {
    const std::vector<std::vector<uint8_t>> records =
        store->BatchGetVariable(index_id_, crypto::DeriveKeystoreKeys(h, key));
    engine::CheckRowCount(records.size(), n);
    for (size_t i = 0; i < n; ++i) present[i] |= !records[i].empty();
    return crypto::DecryptItemsVariable(records, key);
  };
  std::vector<std::vector<uint8_t>> metadata, contents;
  if (want_metadata) metadata = read_variable(metadata_keystore_, metadata_key_);
  if (want_contents) contents = read_variable(contents_keystore_, contents_key_);

  std::vector<RetrievedItem> items(n);
  nivora::ParallelForStatic(n, nivora::kSerialReadLimit, [&](size_t i) {
    if (!present[i]) return;
    RetrievedItem& item = items[i];
    item.id = ids[i];
    if (want_vector) item.vector.assign(vectors.row(i), vectors.row(i) + vectors.cols);
    if (want_metadata) AssignPlain(item.metadata, metadata[i]);
    if (want_contents) item.contents = contents[i];
  });
  Wipe(vectors);
  Wipe(metadata);
  Wipe(contents);

  std::vector<RetrievedItem> found;
  found.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (present[i]) found.push_back(std::move(items[i]));
  }
  return found;
}

ItemBatch& Client::RetrieveAllEmbeddings() {
  const auto threads = ThreadScope();
  ItemBatch& batch = Embeddings().batch;
  WipeBatch(batch);
  logger_->info("Retrieving all embeddings");
  const std::vector<uint64_t> keys = id_keystore_->GetAllKeys(index_id_);
  if (keys.empty()) {
    logger_->warning("No embeddings found in id keystore");
    return batch;
  }
  const size_t m = keys.size();
  logger_->info("Found " + std::to_string(m) + " embeddings");
  batch.ids = RetrieveStrings(id_keystore_, keys, id_key_);
  const std::vector<uint64_t> h = crypto::ComputeSHA3256String(batch.ids, vectors_key_);

  const nivora::Array2D<unsigned char> rows = vectors_keystore_->BatchGetItems(list_id_, h);
  CheckPayloadRows(rows, m);
  auto payload = nivora::Array2D<uint8_t>::Wiped(m, payload_size_);
  uint8_t no_payload = 0;
  crypto::DecryptItemsFixedInto(rows.data, rows.rows, rows.cols, vectors_key_,
                                payload_size_ == 0 ? &no_payload : payload.data, payload_size_);
  batch.payload = std::move(payload);
  batch.metadata = RetrieveStrings(metadata_keystore_, crypto::DeriveKeystoreKeys(h, metadata_key_),
                                   metadata_key_);
  logger_->info("Retrieved " + std::to_string(m) + " embeddings");
  return batch;
}

void Client::ReleaseAllEmbeddings() { WipeBatch(Embeddings().batch); }

std::optional<std::vector<uint64_t>> Client::ItemsChangedSince(const ChangeStamp& since) {
  const auto threads = ThreadScope();
  const std::optional<std::vector<ChangeEntry>> entries =
      change_log_->Since(last_record_, since.mark());
  if (!entries) return std::nullopt;
  std::vector<uint64_t> items;
  for (const ChangeEntry& entry : *entries) {
    if (entry.whole) return std::nullopt;
    items.insert(items.end(), entry.items.begin(), entry.items.end());
  }
  std::sort(items.begin(), items.end());
  items.erase(std::unique(items.begin(), items.end()), items.end());
  return items;
}

ItemBatch& Client::RetrieveChangedItems(ItemDigests& digests, std::vector<uint64_t>& removed,
                                        const std::vector<uint64_t>* only) {
  const auto threads = ThreadScope();
  ItemBatch& batch = Embeddings().batch;
  WipeBatch(batch);
  removed.clear();
  const std::vector<uint64_t> id_keys = only != nullptr
                                            ? crypto::DeriveKeystoreKeys(*only, id_key_)
                                            : id_keystore_->GetAllKeys(index_id_);
  std::vector<std::string> ids = RetrieveStrings(id_keystore_, id_keys, id_key_, /*from_store=*/true);
  const WipeOnExit wipe_ids{ids};  // a read or check below may throw
  const std::vector<uint64_t> hashes = crypto::ComputeSHA3256String(ids, vectors_key_);
  // An ID record counts only under the key its id leads to.
  const std::vector<uint64_t> expected_keys = crypto::DeriveKeystoreKeys(hashes, id_key_);
  const nivora::Array2D<unsigned char> rows = vectors_keystore_->BatchGetItemsImpl(list_id_, hashes);
  CheckPayloadRows(rows, hashes.size());
  const std::vector<std::vector<uint8_t>> metadata = metadata_keystore_->BatchGetVariableImpl(
      index_id_, crypto::DeriveKeystoreKeys(hashes, metadata_key_));
  engine::CheckRowCount(metadata.size(), hashes.size());

  std::unordered_set<uint64_t> seen;
  std::vector<size_t> changed;
  for (size_t i = 0; i < hashes.size(); ++i) {
    if (ids[i].empty() || expected_keys[i] != id_keys[i] || crypto::IsAbsentRecord(rows.row(i))) {
      continue;  // not an item, or one not complete yet
    }
    seen.insert(hashes[i]);
    const uint64_t digest = RecordDigest(rows.row(i), rows.cols, metadata[i]);
    auto [it, fresh] = digests.try_emplace(hashes[i], digest);
    if (fresh || it->second != digest) {
      it->second = digest;
      changed.push_back(i);
    }
  }
  if (only != nullptr) {
    for (uint64_t hash : *only) {
      if (seen.count(hash) == 0 && digests.erase(hash) != 0) removed.push_back(hash);
    }
  } else {
    for (auto it = digests.begin(); it != digests.end();) {
      if (seen.count(it->first) != 0) {
        ++it;
        continue;
      }
      removed.push_back(it->first);
      it = digests.erase(it);
    }
  }

  const size_t m = changed.size();
  nivora::Array2D<unsigned char> records(m, rows.cols);
  std::vector<std::vector<uint8_t>> metadata_records(m);
  // Room for every id at once: a growing vector would free a buffer that
  // holds short ids in place, unwiped.
  batch.ids.reserve(m);
  for (size_t j = 0; j < m; ++j) {
    std::memcpy(records.row(j), rows.row(changed[j]), rows.cols);
    metadata_records[j] = metadata[changed[j]];
    batch.ids.push_back(std::move(ids[changed[j]]));
  }
  Wipe(ids);
  auto payload = nivora::Array2D<uint8_t>::Wiped(m, payload_size_);
  uint8_t no_payload = 0;
  if (m != 0) {
    crypto::DecryptItemsFixedInto(records.data, m, records.cols, vectors_key_,
                                  payload_size_ == 0 ? &no_payload : payload.data, payload_size_);
  }
  batch.payload = std::move(payload);
  std::vector<std::vector<uint8_t>> plain = crypto::DecryptItemsVariable(metadata_records, metadata_key_);
  batch.metadata.resize(m);
  for (size_t j = 0; j < m; ++j) AssignPlain(batch.metadata[j], plain[j]);
  Wipe(plain);
  return batch;
}

}  // namespace nivora_encrypted_index
