// The per-thread scratch of the vector scorers: rows decoded from scalar-
// quantizer codes are plaintext embeddings, so the buffer holding them must
// wipe its storage whenever it gives it back.
#include <cstdint>
#include <type_traits>

#include <gtest/gtest.h>

#include "encrypted_index/cryptography/secret.h"
#include "vector/vector_scorer.h"

namespace nivora::internal::vector_index {
namespace {

using nivora_encrypted_index::internal::cryptography::CleansingAllocator;

template <typename Source, typename Metric>
constexpr bool DecodedRowsAreWiped() {
  using Scratch = typename VectorScorer<Source, Metric>::Scratch;
  using Decoded = decltype(Scratch::decoded);
  return std::is_same_v<typename Decoded::allocator_type, CleansingAllocator<float>>;
}

// Freed memory cannot be read safely; what can be checked is that every
// decoding scorer keeps its decoded rows in storage that wipes on release
// (destruction, growth, assignment).
TEST(ScorerScratchTest, DecodedRowsLiveInWipingStorage) {
  EXPECT_TRUE((DecodedRowsAreWiped<SQRowSource<uint8_t>, SquaredL2Policy>()));
  EXPECT_TRUE((DecodedRowsAreWiped<SQRowSource<uint8_t>, CosinePolicy>()));
  EXPECT_TRUE((DecodedRowsAreWiped<SQRowSource<uint16_t>, SquaredL2Policy>()));
  EXPECT_TRUE((DecodedRowsAreWiped<SQRowSource<uint16_t>, CosinePolicy>()));
}

}  // namespace
}  // namespace nivora::internal::vector_index
