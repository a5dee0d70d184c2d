// Byte layout of the keys of a RocksDB store, shared by the keystore and the
// index listing, so that a database written by one build reads in another.
//
// Item key: 16 bytes, the index's hashed_index_name then the item key, both
// unsigned 64-bit little-endian. The first 8 bytes are the index prefix: the
// database's prefix extractor keys its Bloom filters and the per-index scans
// on exactly them. Config key: "config:" followed by the name's bytes.
//
// Plain values and free functions; no state.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_ITEM_KEY_H_
#define NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_ITEM_KEY_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <rocksdb/slice.h>

#include "core/little_endian.h"

namespace nivora_encrypted_index::internal::backing_store {

inline constexpr size_t kIndexPrefixBytes = 8;
inline constexpr size_t kItemKeyBytes = 16;
inline constexpr std::string_view kConfigKeyPrefix = "config:";

// The 8-byte prefix of every item key of one store of one index.
using IndexPrefix = std::array<char, kIndexPrefixBytes>;
// One item key, built in place (no allocation on the batch paths).
using ItemKey = std::array<char, kItemKeyBytes>;

inline IndexPrefix MakeIndexPrefix(uint64_t hashed_name) {
  IndexPrefix prefix;
  nivora::StoreLittleEndian(hashed_name, reinterpret_cast<uint8_t*>(prefix.data()));
  return prefix;
}

inline ItemKey MakeItemKey(uint64_t hashed_name, uint64_t key) {
  ItemKey bytes;
  auto* out = reinterpret_cast<uint8_t*>(bytes.data());
  nivora::StoreLittleEndian(hashed_name, out);
  nivora::StoreLittleEndian(key, out + kIndexPrefixBytes);
  return bytes;
}

// The item key part (bytes 8 to 15) of a 16-byte stored key.
inline uint64_t ItemKeyOf(const rocksdb::Slice& stored) {
  return nivora::LoadLittleEndian<uint64_t>(
      reinterpret_cast<const uint8_t*>(stored.data()) + kIndexPrefixBytes);
}

inline rocksdb::Slice AsSlice(const IndexPrefix& prefix) {
  return rocksdb::Slice(prefix.data(), prefix.size());
}
inline rocksdb::Slice AsSlice(const ItemKey& key) { return rocksdb::Slice(key.data(), key.size()); }
inline rocksdb::Slice AsSlice(const uint8_t* data, size_t size) {
  return rocksdb::Slice(reinterpret_cast<const char*>(data), size);
}
inline const uint8_t* BytesOf(const rocksdb::Slice& slice) {
  return reinterpret_cast<const uint8_t*>(slice.data());
}

// The smallest 8 bytes above every key that starts with `prefix`, in byte
// order: the prefix with its last byte raised, carrying to the left; nullopt
// when every byte is 0xFF (nothing sorts above its keys).
inline std::optional<IndexPrefix> PrefixSuccessor(IndexPrefix prefix) {
  for (size_t i = prefix.size(); i-- > 0;) {
    auto& byte = reinterpret_cast<unsigned char&>(prefix[i]);
    if (byte != 0xFF) {
      ++byte;
      return prefix;
    }
    byte = 0;
  }
  return std::nullopt;
}

inline std::string MakeConfigKey(const std::string& name) {
  std::string key(kConfigKeyPrefix);
  key += name;
  return key;
}

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_ITEM_KEY_H_
