#include "encrypted_index/cryptography/keyed_digest.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "core/little_endian.h"
#include "core/parallel_for.h"
#include "encrypted_index/cryptography/sha3.h"
#include "encrypted_index/cryptography/sha3_x4.h"

namespace nivora_encrypted_index::internal::cryptography {
namespace {

// Below this many digests per thread, waking threads costs more than it saves.
constexpr size_t kDigestsPerThread = 256;

// out[i] = D64(key || message i), four messages per permutation, where
// append(i, buffer) appends message i (at most max_message bytes) to a
// buffer that holds the key. Each way has its own scratch buffer, reserved
// up front so no copy of the key is left behind by a reallocation, and
// wiped when the thread is done with it.
template <typename Append>
std::vector<uint64_t> KeyedDigests(size_t n, size_t max_message, const Key& key,
                                   Append&& append) {
  std::vector<uint64_t> out(n);
  nivora::SumOverThreadChunks(
      n,
      [&](size_t begin, size_t end) -> uint64_t {
        SecretVector<uint8_t> buffers[cpu::kWays];
        for (auto& buffer : buffers) buffer.reserve(key.size() + max_message);
        cpu::SHA3Variable64Batch(
            end - begin,
            [&](size_t i, size_t way) {
              SecretVector<uint8_t>& buffer = buffers[way];
              buffer.assign(key.begin(), key.end());
              append(begin + i, buffer);
              return std::span<const uint8_t>(buffer.data(), buffer.size());
            },
            out.data() + begin);
        return 0;
      },
      kDigestsPerThread);
  return out;
}

}  // namespace

std::vector<uint64_t> ComputeSHA3256String(const std::vector<std::string>& ids, const Key& key) {
  size_t longest = 0;
  for (const std::string& id : ids) longest = std::max(longest, id.size());
  return KeyedDigests(ids.size(), longest, key, [&](size_t i, SecretVector<uint8_t>& buffer) {
    buffer.insert(buffer.end(), ids[i].begin(), ids[i].end());
  });
}

std::vector<uint64_t> DeriveKeystoreKeys(const std::vector<uint64_t>& keys, const Key& key) {
  return KeyedDigests(keys.size(), 8, key, [&](size_t i, SecretVector<uint8_t>& buffer) {
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
