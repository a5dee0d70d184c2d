#include "api/quantizer_cache_block.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

#include "api/quantizer_stamp.h"
#include "quantizer_test_sets.h"

namespace nivora::internal {
namespace {

using testing::ExpectSameSets;
using testing::FilledCodebook;
using testing::FilledSet;
using vector_index::QuantizerSet;

// The block as a lookup sees it after decryption.
Array2D<unsigned char> AsDecrypted(const QuantizerBlock& block) {
  Array2D<unsigned char> out = AllocateWipedBlock(block.bytes.size());
  std::memcpy(out.data, block.bytes.data(), block.bytes.size());
  return out;
}

TEST(QuantizerCacheBlockTest, LayoutSizesAndChunkCounts) {
  struct Case {
    const char* name;
    QuantizerSet set;
    size_t plaintext_size;
    size_t chunk_count;
  };
  QuantizerSet exact;  // header 12, codebook header to 24, padding to 64, 65472 bytes of floats
  exact.pq_codebooks.push_back(FilledCodebook(1023, 16, 1.0f));
  QuantizerSet one_over;
  one_over.pq_codebooks.push_back(FilledCodebook(16369, 1, 1.0f));
  Case cases[] = {
      {"empty set: the header alone", QuantizerSet(), 12, 1},
      {"256 x 128 coarse codebook", FilledSet(256, 128, 0.0f), 131136, 3},
      {"exactly one chunk", std::move(exact), 65536, 1},
      {"one float past a chunk", std::move(one_over), 65540, 2},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QuantizerBlock block = SerializeQuantizerBlock(c.set);
    EXPECT_EQ(block.plaintext_size, c.plaintext_size);
    EXPECT_EQ(block.chunk_count, c.chunk_count);
    ASSERT_EQ(block.bytes.size(), c.chunk_count * kQuantizerCacheChunkSize);
    for (size_t i = block.plaintext_size; i < block.bytes.size(); ++i) {
      ASSERT_EQ(block.bytes[i], 0) << "padding at " << i;
    }
    const QuantizerSet back = ParseQuantizerBlock(AsDecrypted(block), block.plaintext_size);
    ExpectSameSets(back, c.set);
  }
}

TEST(QuantizerCacheBlockTest, ParsedCodebooksPointIntoTheAlignedBlock) {
  const QuantizerSet set = FilledSet(10, 24, 3.0f, /*pq=*/4, /*pq_bits=*/3, /*sq=*/true);
  const QuantizerBlock block = SerializeQuantizerBlock(set);
  Array2D<unsigned char> decrypted = AsDecrypted(block);
  QuantizerSet back = ParseQuantizerBlock(decrypted, block.plaintext_size);
  ExpectSameSets(back, set);

  EXPECT_EQ(back.aux_matrix.data, decrypted.data);
  EXPECT_EQ(back.aux_matrix.rows, 1u);
  EXPECT_EQ(back.aux_matrix.cols, kQuantizerCacheChunkSize);
  const uintptr_t begin = reinterpret_cast<uintptr_t>(decrypted.data);
  for (const auto* codebooks : {&back.centroids, &back.pq_codebooks}) {
    for (const auto& codebook : *codebooks) {
      const uintptr_t at = reinterpret_cast<uintptr_t>(codebook.centroids.data);
      EXPECT_EQ(at % 64, 0u);
      EXPECT_GE(at, begin);
      EXPECT_LE(at + codebook.centroids.size() * sizeof(float), begin + block.plaintext_size);
      EXPECT_EQ(codebook.centroids.owner, decrypted.owner);
    }
  }
  // Wiping the set zeroes the centroid values inside the block and the SQ
  // copies, and keeps every size.
  WipeQuantizers(back);
  for (const auto* codebooks : {&back.centroids, &back.pq_codebooks}) {
    for (const auto& codebook : *codebooks) {
      for (size_t i = 0; i < codebook.centroids.size(); ++i) {
        ASSERT_EQ(codebook.centroids.data[i], 0.0f);
      }
    }
  }
  ASSERT_EQ(back.sq_quantizers[0].min.size(), 24u);
  for (float v : back.sq_quantizers[0].min) ASSERT_EQ(v, 0.0f);
  for (float v : back.sq_quantizers[0].scale) ASSERT_EQ(v, 0.0f);
}

// Codebooks of their own storage are wiped apart from an unrelated block in
// aux_matrix; a codebook ending exactly at the block's end counts as inside.
TEST(QuantizerCacheBlockTest, WipingCoversCodebooksOutsideTheBlockToo) {
  QuantizerSet set = FilledSet(4, 8, 1.0f, 2, 2, true);
  set.aux_matrix = AllocateWipedBlock(256);
  std::memset(set.aux_matrix.data, 0xAB, 256);
  WipeQuantizers(set);
  for (const auto* codebooks : {&set.centroids, &set.pq_codebooks}) {
    for (const auto& codebook : *codebooks) {
      for (size_t i = 0; i < codebook.centroids.size(); ++i) {
        ASSERT_EQ(codebook.centroids.data[i], 0.0f);
      }
    }
  }
  for (size_t i = 0; i < 256; ++i) ASSERT_EQ(set.aux_matrix.data[i], 0u);

  const QuantizerBlock block = SerializeQuantizerBlock(FilledSet(4, 8, 1.0f, 2, 2, true));
  Array2D<unsigned char> decrypted = AsDecrypted(block);
  QuantizerSet back = ParseQuantizerBlock(decrypted, block.plaintext_size);
  // The block cut to end right after the last codebook.
  const auto& last = back.pq_codebooks.back().centroids;
  back.aux_matrix.cols = static_cast<size_t>(reinterpret_cast<const unsigned char*>(
                                                 last.data + last.size()) -
                                             back.aux_matrix.data);
  WipeQuantizers(back);
  for (const auto* codebooks : {&back.centroids, &back.pq_codebooks}) {
    for (const auto& codebook : *codebooks) {
      for (size_t i = 0; i < codebook.centroids.size(); ++i) {
        ASSERT_EQ(codebook.centroids.data[i], 0.0f);
      }
    }
  }
}

TEST(QuantizerCacheBlockTest, MalformedBlocksAreRefused) {
  const QuantizerSet set = FilledSet(4, 8, 1.0f, 2, 2, true);
  const QuantizerBlock block = SerializeQuantizerBlock(set);
  Array2D<unsigned char> decrypted = AsDecrypted(block);
  // Every cut short of the full layout.
  for (size_t size : {size_t{0}, size_t{11}, size_t{20}, block.plaintext_size - 1}) {
    EXPECT_THROW(ParseQuantizerBlock(decrypted, size), std::runtime_error) << size;
  }
  // Counts or sizes that claim more than the block holds.
  const uint32_t huge = 0xFFFFFFFFu;
  for (size_t offset : {size_t{0}, size_t{4}, size_t{8}, size_t{16}, size_t{20}}) {
    Array2D<unsigned char> bad = AsDecrypted(block);
    std::memcpy(bad.data + offset, &huge, 4);
    EXPECT_THROW(ParseQuantizerBlock(bad, block.plaintext_size), std::runtime_error) << offset;
  }
  EXPECT_THROW(ParseQuantizerBlock(decrypted, decrypted.size() + 1), std::runtime_error);

  QuantizerSet uneven;
  uneven.sq_quantizers.emplace_back().min = {1.0f};
  EXPECT_THROW(SerializeQuantizerBlock(uneven), std::invalid_argument);
}

TEST(QuantizerCacheBlockTest, StampPromisesTheCoarseShape) {
  const QuantizerSet trained = FilledSet(8, 4, 0.0f);
  EXPECT_TRUE(CoarseShapeMatches(trained, {true, 3, 8}));
  EXPECT_FALSE(CoarseShapeMatches(trained, {true, 3, 7}));
  EXPECT_FALSE(CoarseShapeMatches(trained, {false, 0, 8}));
  EXPECT_TRUE(CoarseShapeMatches(QuantizerSet(), {false, 0, 1}));
  EXPECT_FALSE(CoarseShapeMatches(QuantizerSet(), {true, 1, 0}));
  QuantizerSet wrong_k = FilledSet(8, 4, 0.0f);
  wrong_k.centroids[0].k = 9;
  EXPECT_FALSE(CoarseShapeMatches(wrong_k, {true, 1, 8}));
}

}  // namespace
}  // namespace nivora::internal
