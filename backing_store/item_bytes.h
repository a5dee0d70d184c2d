// Byte helpers the keystores share: a value as a one-row matrix, and the
// 8-byte little-endian form of a versioned map's version.
#ifndef NIVORA_BACKING_STORE_ITEM_BYTES_H_
#define NIVORA_BACKING_STORE_ITEM_BYTES_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/array2d.h"
#include "core/little_endian.h"

namespace nivora_encrypted_index::internal::backing_store {

inline constexpr size_t kVersionBytes = 8;

// `size` bytes as a 1 x size matrix of its own; 0 x 0 when size is 0.
inline nivora::Array2D<unsigned char> OneRow(const uint8_t* data, size_t size) {
  if (size == 0) return {};
  nivora::Array2D<unsigned char> row(1, size);
  std::memcpy(row.data, data, size);
  return row;
}

inline std::array<uint8_t, kVersionBytes> EncodeVersion(uint64_t version) {
  std::array<uint8_t, kVersionBytes> bytes;
  nivora::StoreLittleEndian(version, bytes.data());
  return bytes;
}

// The first 8 bytes as a little-endian number; the caller checks the length.
inline uint64_t DecodeVersion(const uint8_t* bytes) {
  return nivora::LoadLittleEndian<uint64_t>(bytes);
}

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_ITEM_BYTES_H_
