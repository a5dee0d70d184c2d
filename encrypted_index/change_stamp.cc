#include "encrypted_index/change_stamp.h"

#include <openssl/rand.h>

#include <stdexcept>

#include "core/little_endian.h"

namespace nivora_encrypted_index::internal::encrypted_index {

std::vector<uint8_t> EncodeChangeRecord(const ChangeStamp& stamp) {
  std::vector<uint8_t> plain(kChangeRecordSize);
  nivora::StoreLittleEndian(stamp.tag, plain.data());
  nivora::StoreLittleEndian(stamp.state_tag, plain.data() + 8);
  nivora::StoreLittleEndian(stamp.generation, plain.data() + 16);
  return plain;
}

ChangeStamp DecodeChangeRecord(const uint8_t* plain, size_t size, uint64_t version) {
  if (size != kChangeRecordSize && size != kChangeRecordSizeWithoutGeneration) {
    throw std::runtime_error("Invalid change stamp record");
  }
  const uint64_t generation =
      size == kChangeRecordSize ? nivora::LoadLittleEndian<uint64_t>(plain + 16) : 0;
  return {version, nivora::LoadLittleEndian<uint64_t>(plain),
          nivora::LoadLittleEndian<uint64_t>(plain + 8), generation};
}

uint64_t NewChangeTag() {
  uint64_t tag = 0;
  while (tag == 0) {
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&tag), sizeof(tag)) != 1) {
      throw std::runtime_error("Failed to generate a change tag");
    }
  }
  return tag;
}

}  // namespace nivora_encrypted_index::internal::encrypted_index
