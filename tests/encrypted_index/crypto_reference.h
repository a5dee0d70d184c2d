// Reference digests from OpenSSL for checking the engine's own SHA3 code,
// and small byte helpers shared by the engine tests.
#ifndef NIVORA_TESTS_ENCRYPTED_INDEX_CRYPTO_REFERENCE_H_
#define NIVORA_TESTS_ENCRYPTED_INDEX_CRYPTO_REFERENCE_H_

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace nivora_test {

inline std::array<uint8_t, 32> OpenSSLSHA3(const uint8_t* data, size_t size) {
  std::array<uint8_t, 32> out{};
  size_t length = 0;
  if (EVP_Q_digest(nullptr, "SHA3-256", nullptr, data, size, out.data(), &length) != 1) {
    throw std::runtime_error("EVP_Q_digest failed");
  }
  return out;
}

inline std::array<uint8_t, 32> OpenSSLSHA3(const std::vector<uint8_t>& data) {
  return OpenSSLSHA3(data.data(), data.size());
}

// First 8 digest bytes, most significant first.
inline uint64_t BigEndian64(const uint8_t* bytes) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | bytes[i];
  return v;
}

inline uint64_t ReferenceD64(const std::vector<uint8_t>& data) {
  return BigEndian64(OpenSSLSHA3(data).data());
}

inline std::vector<uint8_t> Concat(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  std::vector<uint8_t> out(a);
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

template <size_t N>
std::vector<uint8_t> Bytes(const std::array<uint8_t, N>& a) {
  return std::vector<uint8_t>(a.begin(), a.end());
}

inline std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

inline std::vector<uint8_t> RandomBytes(std::mt19937_64& rng, size_t n) {
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

inline std::array<uint8_t, 32> RandomKey(std::mt19937_64& rng) {
  std::array<uint8_t, 32> key;
  for (auto& b : key) b = static_cast<uint8_t>(rng());
  return key;
}

inline std::string Hex(const uint8_t* data, size_t n) {
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

template <size_t N>
std::string Hex(const std::array<uint8_t, N>& a) {
  return Hex(a.data(), N);
}

}  // namespace nivora_test

#endif  // NIVORA_TESTS_ENCRYPTED_INDEX_CRYPTO_REFERENCE_H_
