#include "core/item_batch.h"

#include <gtest/gtest.h>

#include <random>

#include "crypto_reference.h"
#include "encrypted_index/cryptography/keyed_digest.h"
#include "encrypted_index/stored_layout.h"

namespace nivora_encrypted_index {
namespace {

TEST(ItemBatchTest, PayloadAccessorsSeeEveryAlternativeAsBytes) {
  struct Case {
    Payload payload;
    size_t rows, row_bytes;
    bool empty;
  };
  std::vector<Case> cases;
  cases.push_back({nivora::Array2D<uint8_t>(2, 5), 2, 5, false});
  cases.push_back({nivora::Array2D<float>(5, 0), 5, 0, true});
  cases.push_back({nivora::Array2D<float>(4, 3), 4, 12, false});
  cases.push_back({nivora::Array2D<uint16_t>(3, 8), 3, 16, false});
  cases.push_back({nivora::Array2D<uint32_t>(1, 2), 1, 8, false});
  for (const Case& c : cases) {
    ItemBatch batch;
    batch.payload = c.payload;
    SCOPED_TRACE(batch.payload.index());
    EXPECT_EQ(batch.payload_rows(), c.rows);
    EXPECT_EQ(batch.payload_empty(), c.empty);
    const nivora::Array2DView<uint8_t> view = batch.payload_view();
    EXPECT_EQ(view.rows, c.rows);
    EXPECT_EQ(view.cols, c.row_bytes);
    EXPECT_EQ(static_cast<void*>(view.data), batch.payload_data());
  }
  ItemBatch fresh;
  EXPECT_EQ(fresh.payload.index(), 0u);
  EXPECT_TRUE(fresh.payload_empty());
}

TEST(ItemBatchTest, MovedNeighborResultLeavesItsSourceEmpty) {
  RetrieveNeighborsResult source;
  source.matching_ids = {1, 2};
  source.centroid_to_matching_indices = {0, 2};
  source.payloads = nivora::Array2D<uint8_t>(2, 4);
  source.row_present = {1, 0};
  const uint8_t* block = source.payloads.data;

  RetrieveNeighborsResult target;
  target = std::move(source);
  EXPECT_EQ(target.matching_ids, (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(target.payloads.data, block);
  EXPECT_TRUE(source.matching_ids.empty());
  EXPECT_TRUE(source.centroid_to_matching_indices.empty());
  EXPECT_EQ(target.row_present, (std::vector<uint8_t>{1, 0}));
  EXPECT_TRUE(source.row_present.empty());
  EXPECT_EQ(source.payloads.data, nullptr);
  EXPECT_EQ(source.payloads.rows, 0u);
  RetrieveNeighborsResult constructed(std::move(target));
  EXPECT_EQ(constructed.payloads.rows, 2u);
  EXPECT_EQ(target.payloads.owner, nullptr);
}

TEST(ItemBatchTest, Conversions) {
  using internal::encrypted_index::ConvertArray2DToVectorOfVectors;
  using internal::encrypted_index::ConvertMetadataToByteVectors;
  EXPECT_EQ(ConvertMetadataToByteVectors({"{}", ""}),
            (std::vector<std::vector<uint8_t>>{{'{', '}'}, {}}));
  nivora::Array2D<uint8_t> m(std::vector<uint8_t>{1, 2, 3, 4, 5, 6}, 3);
  EXPECT_EQ(ConvertArray2DToVectorOfVectors(m),
            (std::vector<std::vector<uint8_t>>{{1, 2, 3}, {4, 5, 6}}));
}

// h = D64(K_vectors || id); the other records sit under D64(K || LE64(h)).
TEST(StoredLayoutTest, ItemKeysDeriveFromTheIdHash) {
  std::mt19937_64 rng(9);
  const auto vectors = nivora_test::RandomKey(rng), metadata = nivora_test::RandomKey(rng),
             id = nivora_test::RandomKey(rng), contents = nivora_test::RandomKey(rng);
  const std::vector<std::string> ids = {"a", "b", "a"};
  const internal::encrypted_index::ItemKeys keys =
      internal::encrypted_index::DeriveItemKeys(ids, vectors, metadata, id, contents);
  ASSERT_EQ(keys.id_hashes.size(), 3u);
  EXPECT_EQ(keys.id_hashes[0], keys.id_hashes[2]);
  EXPECT_EQ(keys.metadata_keys[0], keys.metadata_keys[2]);
  EXPECT_NE(keys.id_hashes[0], keys.id_hashes[1]);
  EXPECT_EQ(keys.id_hashes[0],
            nivora_test::ReferenceD64(nivora_test::Concat(nivora_test::Bytes(vectors), {'a'})));
  const uint64_t h = keys.id_hashes[1];
  std::vector<uint8_t> le(8);
  for (int i = 0; i < 8; ++i) le[i] = static_cast<uint8_t>(h >> (8 * i));
  EXPECT_EQ(keys.metadata_keys[1], nivora_test::ReferenceD64(nivora_test::Concat(nivora_test::Bytes(metadata), le)));
  EXPECT_EQ(keys.id_keys[1], nivora_test::ReferenceD64(nivora_test::Concat(nivora_test::Bytes(id), le)));
  EXPECT_EQ(keys.contents_keys[1], nivora_test::ReferenceD64(nivora_test::Concat(nivora_test::Bytes(contents), le)));
}

}  // namespace
}  // namespace nivora_encrypted_index
