#include "encrypted_index/stored_layout.h"

#include "encrypted_index/cryptography/keyed_digest.h"

namespace nivora_encrypted_index::internal::encrypted_index {

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
