// Centroid metadata (the filter summaries of each field): read from the store
// itself and merged by compare-and-set per field, so writers in several
// processes never lose each other's additions.
//
// A field's blob is a versioned map whose map item is the field's item key
// D64(K_centroid_metadata || name) and whose version item is
// D64(K_centroid_metadata || name || kVersionSuffix). Where a store keeps
// maps apart from plain items, an index written before the versions existed
// holds the blob as a plain item only: it is read from there until the first
// merge stores the map.
#include <stdexcept>
#include <string>

#include "encrypted_index/client.h"
#include "encrypted_index/cryptography/aes_gcm.h"
#include "encrypted_index/cryptography/keyed_digest.h"
#include "encrypted_index/retry_pause.h"

namespace nivora_encrypted_index {
namespace {

namespace crypto = internal::cryptography;
using internal::backing_store::VersionedMap;

constexpr int kMergeRetries = 100;
// Appended to a field name for the key of its version item; no field name
// holds it (names come from JSON keys joined by ".", and a NUL ends none).
constexpr char kVersionSuffix[] = "\0#version";

std::vector<uint8_t> RecordBytes(const VersionedMap& read) {
  return std::vector<uint8_t>(read.map.data, read.map.data + read.map.size());
}

}  // namespace

Client::StoredCentroidMetadata Client::ReadCentroidMetadata(const std::vector<std::string>& names) {
  StoredCentroidMetadata stored;
  stored.map_keys = crypto::ComputeSHA3256String(names, centroid_metadata_key_);
  std::vector<std::string> version_names;
  version_names.reserve(names.size());
  for (const std::string& name : names) {
    version_names.push_back(name + std::string(kVersionSuffix, sizeof(kVersionSuffix) - 1));
  }
  stored.version_keys = crypto::ComputeSHA3256String(version_names, centroid_metadata_key_);
  stored.records.resize(names.size());
  stored.versions.resize(names.size(), 0);
  std::vector<uint64_t> plain_keys;
  std::vector<size_t> plain_fields;
  for (size_t i = 0; i < names.size(); ++i) {
    const VersionedMap read =
        index_keystore_->GetMapImpl(list_id_, stored.map_keys[i], stored.version_keys[i]);
    stored.versions[i] = read.version;
    if (read.map.size() != 0) {
      stored.records[i] = RecordBytes(read);
    } else if (read.version == 0) {
      plain_keys.push_back(stored.map_keys[i]);
      plain_fields.push_back(i);
    }
  }
  if (!plain_keys.empty()) {
    std::vector<std::vector<uint8_t>> plain = index_keystore_->BatchGetVariableImpl(list_id_, plain_keys);
    for (size_t j = 0; j < plain_fields.size() && j < plain.size(); ++j) {
      stored.records[plain_fields[j]] = std::move(plain[j]);
    }
  }
  return stored;
}

std::vector<std::vector<uint8_t>> Client::RetrieveCentroidMetadata(
    const std::vector<std::string>& names) {
  const auto threads = ThreadScope();
  if (names.empty()) return {};
  return crypto::DecryptItemsVariable(ReadCentroidMetadata(names).records, centroid_metadata_key_);
}

void Client::MergeCentroidMetadata(const std::vector<std::string>& names,
                                   const CentroidMetadataMerge& merge) {
  const auto threads = ThreadScope();
  if (names.empty()) return;
  // Logged as touching no cached key: the summaries are read from the
  // store itself, never through a cache.
  StampedWrite(
      ChangeKind::kItems,
      [&] {
        for (size_t i = 0; i < names.size(); ++i) MergeOneField(names[i], i, merge);
      },
      /*logged=*/true);
}

void Client::MergeOneField(const std::string& name, size_t field,
                           const CentroidMetadataMerge& merge) {
  for (int attempt = 0; attempt < kMergeRetries; ++attempt) {
    const StoredCentroidMetadata stored = ReadCentroidMetadata({name});
    const std::vector<uint8_t> current =
        crypto::DecryptItemsVariable(stored.records, centroid_metadata_key_).front();
    const std::vector<uint8_t> merged = merge(field, current);
    if (!stored.records.front().empty() && merged == current) return;  // covered already
    const std::vector<std::vector<uint8_t>> record =
        crypto::EncryptItemsVariable({merged}, centroid_metadata_key_);
    if (index_keystore_->PushMapImpl(list_id_, stored.map_keys.front(), record.front().data(),
                                     record.front().size(), stored.version_keys.front(),
                                     stored.versions.front())) {
      return;
    }
    internal::encrypted_index::PauseBeforeRetry();
  }
  throw std::runtime_error("Failed to update centroid metadata in " +
                           std::to_string(kMergeRetries) + " retries.");
}

}  // namespace nivora_encrypted_index
