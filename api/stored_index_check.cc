// The check every operation on an index starts with: the index's change
// stamp, read from the store, and whether the index this object opened is
// still the one stored under its name. Another client may have deleted it,
// or deleted it and created the name anew under another key: this object's
// reads would then find nothing or fail to decrypt, and its writes would go
// where no one reads them.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "api/change_checks.h"
#include "api/encrypted_index.h"
#include "core/log_and_throw.h"
#include "encrypted_index/cryptography/aes_gcm.h"
#include "encrypted_index/stored_layout.h"

namespace nivora {
namespace {

namespace crypto = nivora_encrypted_index::internal::cryptography;

// Whether a stored config record was sealed under `key`.
bool OpensUnder(const Array2D<unsigned char>& record, const crypto::Key& key) {
  const size_t size = record.rows * record.cols;
  if (record.rows != 1 || size < crypto::kRecordOverhead) return false;
  std::vector<uint8_t> plain(size - crypto::kRecordOverhead);
  const crypto::ScopedCleanse wipe_plain(plain);
  crypto::RecordDecryptor decryptor(key, size);
  return decryptor.Decrypt(record.data, plain.data());
}

// Whether a failure is the decryption's (aes_gcm.h), not the store's: only
// then may the record belong to another key.
bool IsDecryptionFailure(const std::exception& e) {
  const std::string_view what = e.what();
  return what.starts_with("Decryption failed for ") || what == "Encrypted payload size too small";
}

}  // namespace

bool EncryptedIndex::StillStored() {
  // A store that keeps no config items belongs to this object alone.
  if (config_store_->GetLocation() == Location::MEMORY) return true;
  const std::string name =
      index_name_ + nivora_encrypted_index::internal::encrypted_index::kEngineConfigSuffix;
  if (!config_store_->ConfigItemExists(name)) return false;
  return OpensUnder(config_store_->LoadConfigItem(name), index_key_);
}

void EncryptedIndex::ThrowNoLongerStored() const {
  LogAndThrow<std::runtime_error>(
      *logger_, ERROR,
      "Index " + index_name_ + " was deleted or replaced by another client; load it again.");
}

std::optional<nivora_encrypted_index::ChangeStamp> EncryptedIndex::CheckStoredIndex() {
  if (!internal::ChangeChecksEnabled()) return std::nullopt;
  nivora_encrypted_index::ChangeStamp stamp;
  try {
    stamp = client_->ReadChangeStamp();
  } catch (const std::exception& e) {
    // A stamp that does not open under this key: the name may be another
    // index's now. Otherwise, or when that cannot be told, the read's own
    // failure says more.
    if (!IsDecryptionFailure(e)) throw;
    bool stored = true;
    try {
      stored = StillStored();
    } catch (const std::exception&) {
      // Cannot be told: the decryption failure passes on.
    }
    if (!stored) ThrowNoLongerStored();
    throw;
  }
  // Every stored index has a stamp from its creation on: none means deleted,
  // unless the index is being emptied right now; a stamp marked deleted is
  // an index another client is deleting.
  if (stamp.deleted || (stamp.version == 0 && !StillStored())) ThrowNoLongerStored();
  return stamp;
}

}  // namespace nivora
