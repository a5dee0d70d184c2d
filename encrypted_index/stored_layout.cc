#include "encrypted_index/stored_layout.h"

#include <stdexcept>

#include "encrypted_index/cryptography/aes_gcm.h"
#include "encrypted_index/cryptography/keyed_digest.h"

namespace nivora_encrypted_index::internal::encrypted_index {

void RequirePresentRecords(const uint8_t* data, size_t rows, size_t record_size) {
  if (record_size < cryptography::kRecordOverhead) return;
  size_t absent = 0;
  for (size_t r = 0; r < rows; ++r) absent += cryptography::IsAbsentRecord(data + r * record_size);
  if (absent != 0) {
    throw std::runtime_error("Decryption failed for " + std::to_string(absent) + " items");
  }
}

ItemKeys DeriveItemKeys(const std::vector<std::string>& ids, const cryptography::Key& vectors_key,
                        const cryptography::Key& metadata_key, const cryptography::Key& id_key,
                        const cryptography::Key& contents_key) {
  ItemKeys keys;
  keys.id_hashes = cryptography::ComputeSHA3256String(ids, vectors_key);
  keys.metadata_keys = cryptography::DeriveKeystoreKeys(keys.id_hashes, metadata_key);
  keys.id_keys = cryptography::DeriveKeystoreKeys(keys.id_hashes, id_key);
  keys.contents_keys = cryptography::DeriveKeystoreKeys(keys.id_hashes, contents_key);
  return keys;
}

}  // namespace nivora_encrypted_index::internal::encrypted_index
