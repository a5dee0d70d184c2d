#include "encrypted_index/cryptography/digest.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "core/log_and_throw.h"
#include "core/logger.h"
#include "core/openssl_handles.h"

namespace nivora_encrypted_index::internal::cryptography {
namespace {

[[noreturn]] void Fail(const std::string& message) {
  nivora::LogAndThrow<std::runtime_error>(*encrypted_index::GetLogger(), nivora::ERROR, message);
}

// Digest of [data, data + size) into out, which holds the digest's length.
void Digest(const EVP_MD* md, const uint8_t* data, size_t size, uint8_t* out) {
  nivora::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx) Fail("Failed to create EVP_MD_CTX");
  unsigned int length = 0;
  if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), data, size) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), out, &length) != 1) {
    ctx.reset();  // freed before the failure is reported
    Fail("Failed to compute SHA3 hash");
  }
}

const EVP_MD* DigestOf(SHA3Mode mode) {
  switch (mode) {
    case SHA3Mode::SHA3_224: return EVP_sha3_224();
    case SHA3Mode::SHA3_256: return EVP_sha3_256();
    case SHA3Mode::SHA3_384: return EVP_sha3_384();
    case SHA3Mode::SHA3_512: return EVP_sha3_512();
  }
  nivora::LogAndThrow<std::invalid_argument>(
      *encrypted_index::GetLogger(), nivora::ERROR,
      "Invalid SHA3 mode: " + std::to_string(static_cast<int>(mode)), "Invalid SHA3 mode");
}

std::array<uint8_t, 32> SHA3256(const uint8_t* data, size_t size) {
  std::array<uint8_t, 32> out;
  Digest(EVP_sha3_256(), data, size, out.data());
  return out;
}

}  // namespace

std::vector<uint8_t> ComputeSHA3(const std::vector<uint8_t>& data, SHA3Mode mode) {
  const EVP_MD* md = DigestOf(mode);
  std::vector<uint8_t> out(static_cast<size_t>(EVP_MD_get_size(md)));
  Digest(md, data.data(), data.size(), out.data());
  return out;
}

std::array<uint8_t, 32> ComputeSHA3256(const std::string& data) {
  return SHA3256(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

std::array<uint8_t, 32> ComputeSHA3256(const std::vector<uint8_t>& data) {
  return SHA3256(data.data(), data.size());
}

}  // namespace nivora_encrypted_index::internal::cryptography
