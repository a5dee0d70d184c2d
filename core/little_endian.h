// Fixed-width little-endian encodings of unsigned integers, the byte order
// of every integer this system writes into stored data or hashes, on any
// host. Small enough to inline into the hot loops that use them.
#ifndef NIVORA_CORE_LITTLE_ENDIAN_H_
#define NIVORA_CORE_LITTLE_ENDIAN_H_

#include <cstddef>
#include <cstdint>

namespace nivora {

// Writes the low sizeof(T) bytes of v to out, least significant first.
template <typename T>
inline void StoreLittleEndian(T v, uint8_t* out) {
  for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Reads sizeof(T) bytes at in, least significant first.
template <typename T>
inline T LoadLittleEndian(const uint8_t* in) {
  T v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(in[i]) << (8 * i);
  return v;
}

}  // namespace nivora

#endif  // NIVORA_CORE_LITTLE_ENDIAN_H_
