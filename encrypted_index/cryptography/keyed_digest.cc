#include "encrypted_index/cryptography/keyed_digest.h"

#include <algorithm>
#include <cstring>

#include "core/little_endian.h"

#include "encrypted_index/cryptography/sha3.h"
#include "core/parallel_for.h"

namespace nivora_encrypted_index::internal::cryptography {
namespace {

// Below this many digests per thread, waking threads costs more than it saves.
constexpr size_t kDigestsPerThread = 256;

// out[i] = D64(key || message i), where append(i, buffer) appends message i
// (at most max_message bytes) to a buffer that holds the key. The buffer is
// reserved up front so no copy of the key is left behind by a reallocation.
template <typename Append>
std::vector<uint64_t> KeyedDigests(size_t n, size_t max_message, const Key& key,
                                   Append&& append) {
  std::vector<uint64_t> out(n);
  nivora::SumOverThreadChunks(
      n,
      [&](size_t begin, size_t end) -> uint64_t {
        std::vector<uint8_t> buffer;  // one scratch buffer per thread
        buffer.reserve(key.size() + max_message);
        ScopedCleanse wipe(buffer);
        for (size_t i = begin; i < end; ++i) {
          buffer.assign(key.begin(), key.end());
          append(i, buffer);
          out[i] = cpu::SHA3Variable64(buffer.data(), buffer.size());
        }
        return 0;
      },
      kDigestsPerThread);
  return out;
}

}  // namespace

std::vector<uint64_t> ComputeSHA3256String(const std::vector<std::string>& ids, const Key& key) {
  size_t longest = 0;
  for (const std::string& id : ids) longest = std::max(longest, id.size());
  return KeyedDigests(ids.size(), longest, key, [&](size_t i, std::vector<uint8_t>& buffer) {
    buffer.insert(buffer.end(), ids[i].begin(), ids[i].end());
  });
}

std::vector<uint64_t> DeriveKeystoreKeys(const std::vector<uint64_t>& keys, const Key& key) {
  return KeyedDigests(keys.size(), 8, key, [&](size_t i, std::vector<uint8_t>& buffer) {
    buffer.resize(key.size() + 8);
    nivora::StoreLittleEndian(keys[i], buffer.data() + key.size());
  });
}

uint64_t DeriveKeystoreKey(uint64_t k, const Key& key) {
  std::array<uint8_t, 40> buffer;
  ScopedCleanse wipe(buffer);
  std::memcpy(buffer.data(), key.data(), key.size());
  nivora::StoreLittleEndian(k, buffer.data() + key.size());
  return cpu::SHA3Variable64(buffer.data(), buffer.size());
}

}  // namespace nivora_encrypted_index::internal::cryptography
