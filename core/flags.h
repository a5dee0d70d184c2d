// Small flag and code types: which operations run on a GPU, and which item
// fields a caller wants back.
#ifndef NIVORA_CORE_FLAGS_H_
#define NIVORA_CORE_FLAGS_H_

#include <cstdint>

namespace nivora {

// A set of flags. Every GPU path fails (no CUDA support in this build), so
// only NONE leads to working operations.
enum class GPUConfig : uint8_t {
  NONE = 0,
  UPSERT = 1,  // centroid assignment and token generation of an upsert
  TRAIN = 2,   // k-means training
  QUERY = 4,   // centroid selection and query-token generation
  ALL = 7,
};

constexpr GPUConfig operator|(GPUConfig a, GPUConfig b) {
  return static_cast<GPUConfig>(static_cast<uint8_t>(a) | static_cast<uint8_t>(b));
}
constexpr bool HasFlag(GPUConfig set, GPUConfig flag) {
  return (static_cast<uint8_t>(set) & static_cast<uint8_t>(flag)) != 0;
}

// The message of every GPU path.
inline constexpr char kCudaRequiredMessage[] =
    "CUDA support is required, but the library was built without CUDA. This build has no GPU "
    "support: leave every GPUConfig flag off.";

// Item fields a caller asks for; an empty list means all of them.
enum class ItemFields : int32_t {
  VECTOR = 0,
  METADATA = 1,
  CONTENTS = 2,
};

}  // namespace nivora

#endif  // NIVORA_CORE_FLAGS_H_
