// Location records and the removal of superseded tokens.
//
// The INDEX store only ever gains tokens, and every token of an id leads to
// the id's current records: without these steps an item upserted again into
// another list (or deleted and upserted again) would still be found in the
// list it left, ranked there. Each ingest therefore records where the
// item's token is (D64(K_location || LE64(h)) in the INDEX store, so a
// rebuild, which empties that store, drops the records with the tokens),
// and replacing or removing the item deletes that token. A token is deleted
// only while it still holds the item's masked hash, so a stale record can
// never take another item's token.
#include <string>

#include "core/little_endian.h"
#include "encrypted_index/client.h"
#include "encrypted_index/cryptography/aes_gcm.h"
#include "encrypted_index/cryptography/keyed_digest.h"
#include "encrypted_index/id_unmasking.h"
#include "encrypted_index/ingest_tokens.h"
#include "encrypted_index/item_slices.h"

namespace nivora_encrypted_index {
namespace {

namespace crypto = internal::cryptography;
namespace engine = internal::encrypted_index;

// Decrypted or to-be-encrypted location records; wiped when the scope ends.
struct Locations {
  std::vector<std::vector<uint8_t>> plain;
  ~Locations() {
    for (auto& record : plain) crypto::Cleanse(record);
  }
};

// Where a location record puts its item.
struct Location {
  bool present = false;  // false for an absent or malformed record
  uint32_t centroid = 0;
  uint32_t position = 0;
};

// The location records of id_hashes, read from the store itself: another
// client may have written them since a RAM cache was filled.
std::vector<Location> ReadLocations(Keystore& store, uint64_t list_id,
                                    const std::vector<uint64_t>& id_hashes,
                                    const crypto::Key& key) {
  const std::vector<std::vector<uint8_t>> records =
      store.BatchGetVariableImpl(list_id, crypto::DeriveKeystoreKeys(id_hashes, key));
  engine::CheckRowCount(records.size(), id_hashes.size());
  Locations locations;
  locations.plain = crypto::DecryptItemsVariable(records, key);
  std::vector<Location> out(id_hashes.size());
  for (size_t i = 0; i < out.size(); ++i) {
    const std::vector<uint8_t>& plain = locations.plain[i];
    if (plain.size() != engine::kLocationSize) continue;
    out[i] = {true, nivora::LoadLittleEndian<uint32_t>(plain.data()),
              nivora::LoadLittleEndian<uint32_t>(plain.data() + 4)};
  }
  return out;
}

}  // namespace

engine::EncryptedTokens Client::FindCurrentTokens(const std::vector<uint64_t>& id_hashes) {
  if (id_hashes.empty()) return {};
  GetSaltsAndSeeds();
  std::vector<uint64_t> hashes;
  std::vector<uint32_t> centroids;
  std::vector<uint32_t> positions;
  const std::vector<Location> locations =
      ReadLocations(*index_keystore_, list_id_, id_hashes, location_key_);
  for (size_t i = 0; i < locations.size(); ++i) {
    if (!locations[i].present || locations[i].centroid >= salts_and_seeds_.size()) continue;
    hashes.push_back(id_hashes[i]);
    centroids.push_back(locations[i].centroid);
    positions.push_back(locations[i].position);
  }
  if (hashes.empty()) return {};
  return engine::cpu::IngestCentroids(centroids, hashes, salts_and_seeds_, tree_depth_, positions);
}

void Client::StoreLocations(const std::vector<uint64_t>& id_hashes,
                            const std::vector<uint32_t>& centroid_ids,
                            const std::vector<uint32_t>& positions) {
  if (id_hashes.empty()) return;
  Locations locations;
  locations.plain.assign(id_hashes.size(), std::vector<uint8_t>(engine::kLocationSize));
  std::vector<std::vector<uint8_t>>& plain = locations.plain;
  for (size_t i = 0; i < plain.size(); ++i) {
    nivora::StoreLittleEndian<uint32_t>(centroid_ids[i], plain[i].data());
    nivora::StoreLittleEndian<uint32_t>(positions[i], plain[i].data() + 4);
  }
  const std::vector<uint64_t> keys = crypto::DeriveKeystoreKeys(id_hashes, location_key_);
  const std::vector<std::vector<uint8_t>> records = crypto::EncryptItemsVariable(plain, location_key_);
  // In the slices of the other ingest writes, bounding each batch.
  engine::ForEachSlice(keys.size(), [&](const engine::Slice& slice) {
    index_keystore_->BatchPushVariable(list_id_, engine::Part(keys, slice),
                                       engine::Part(records, slice));
  });
}

void Client::MoveLocations(const std::vector<uint64_t>& id_hashes,
                           const std::vector<uint32_t>& centroid_ids,
                           const std::vector<uint32_t>& positions,
                           const engine::EncryptedTokens& tokens) {
  if (id_hashes.empty()) return;
  // Read right before the write, so that a location another client stored
  // meanwhile is replaced knowingly and its token removed with the one it
  // replaced. A client that stores its location between this read and the
  // write, and reads it back before that write too, is replaced unseen: the
  // one window left, two store calls wide as in DeleteTokens.
  const engine::EncryptedTokens replaced = FindCurrentTokens(id_hashes);
  StoreLocations(id_hashes, centroid_ids, positions);
  // Read back: where another client's location was stored after this one,
  // that client owns the item's token and this one's goes.
  const std::vector<Location> stored =
      ReadLocations(*index_keystore_, list_id_, id_hashes, location_key_);
  std::vector<size_t> overtaken;
  for (size_t i = 0; i < stored.size(); ++i) {
    if (!stored[i].present || stored[i].centroid != centroid_ids[i] ||
        stored[i].position != positions[i]) {
      overtaken.push_back(i);
    }
  }
  DeleteTokens({engine::Pick(tokens.keys, overtaken), engine::Pick(tokens.values, overtaken)});
  DeleteTokens(replaced);
}

void Client::DeleteTokens(const engine::EncryptedTokens& tokens) {
  if (tokens.keys.empty()) return;
  const nivora::Array2D<unsigned char> stored = index_keystore_->BatchGetItems(list_id_, tokens.keys);
  engine::CheckRowCount(stored.rows, tokens.keys.size());
  if (stored.cols != engine::kIndexValueSize) return;  // not token entries: touch nothing
  std::vector<uint64_t> doomed;
  for (size_t i = 0; i < tokens.keys.size(); ++i) {
    if (nivora::LoadLittleEndian<uint64_t>(stored.row(i)) == tokens.values[i]) {
      doomed.push_back(tokens.keys[i]);
    }
  }
  LogIndexKeys(doomed);
  if (!doomed.empty()) index_keystore_->BatchDeleteItems(list_id_, doomed);
}

void Client::ForgetItems(const std::vector<uint64_t>& id_hashes) {
  if (id_hashes.empty()) return;
  DeleteTokens(FindCurrentTokens(id_hashes));
  index_keystore_->BatchDeleteItems(list_id_, crypto::DeriveKeystoreKeys(id_hashes, location_key_));
}

}  // namespace nivora_encrypted_index
