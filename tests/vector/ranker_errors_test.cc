// Each ranker's messages on bad input: the exception type and text.
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ranking_test_util.h"
#include "vector/rank_ivf.h"
#include "vector/rank_ivf_flat.h"
#include "vector/rank_ivf_pq.h"
#include "vector/rank_ivf_sq.h"

namespace nivora::internal::vector_index {
namespace {

using nivora_encrypted_index::RetrieveNeighborsResult;
enum class Type { kInvalid, kOutOfRange, kRuntime };

struct Case {
  std::string name;
  std::function<void()> call;
  Type type;
  std::string message;
};

void Expect(const Case& c) {
  SCOPED_TRACE(c.name);
  try {
    c.call();
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(c.type, Type::kInvalid);
    EXPECT_EQ(std::string(e.what()), c.message);
  } catch (const std::out_of_range& e) {
    EXPECT_EQ(c.type, Type::kOutOfRange);
    EXPECT_EQ(std::string(e.what()), c.message);
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(c.type, Type::kRuntime);
    EXPECT_EQ(std::string(e.what()), c.message);
  }
}

constexpr DistanceMetric kL2 = DistanceMetric::Euclidean;
const std::vector<ItemFields> kWithMetadata = {ItemFields::METADATA};

// Two lists of two rows.
RetrieveNeighborsResult Rows(size_t bytes) { return Retrieved({2, 2}, bytes); }

// Offsets whose last list runs past the 4 payload rows.
RetrieveNeighborsResult Overlong(size_t bytes) {
  RetrieveNeighborsResult r = Rows(bytes);
  r.centroid_to_matching_indices = {0, 2, 9};
  return r;
}

TEST(RankerErrorsTest, IVFFlat) {
  const Array2D<float> q(std::vector<float>{1, 2}, 2);
  const CentroidSelection sel = Selection({{0, 1}});
  const auto flat = [&](const RetrieveNeighborsResult& r, const CentroidSelection& s,
                        Array2DView<float> queries, const std::vector<std::string>& m,
                        const std::vector<ItemFields>& include, DistanceMetric metric) {
    cpu::RankIVFFlat(r, m, s, queries, 5, metric, include);
  };
  RetrieveNeighborsResult nan_rows = Retrieved({1024}, 8);  // dim 2: 1024 rows make a block
  PutRow(nan_rows, 3, std::vector<float>{std::numeric_limits<float>::quiet_NaN(), 0});
  RetrieveNeighborsResult block = Retrieved({1024}, 8);
  const Array2D<float> nan_query(std::vector<float>{std::numeric_limits<float>::quiet_NaN(), 0}, 2);
  RetrieveNeighborsResult fewer_ids = Rows(8);
  fewer_ids.matching_ids.pop_back();
  const Case cases[] = {
      {"metric", [&] { flat(Rows(8), sel, q, {}, {}, static_cast<DistanceMetric>(9)); },
       Type::kRuntime, "Unsupported distance metric."},
      {"row size", [&] { flat(Rows(6), sel, q, {}, {}, kL2); }, Type::kInvalid,
       "Row size not compatible with target type"},
      {"no cols", [&] { flat(Retrieved({3}, 0), Selection({{0}}), q, {}, {}, kL2); },
       Type::kInvalid, "RankIVFFlatMetric: embeddings has rows but no cols. rows=3, cols=0"},
      {"ids", [&] { flat(fewer_ids, sel, q, {}, {}, kL2); }, Type::kInvalid,
       "Matching IDs and embeddings have different sizes"},
      {"metadata", [&] { flat(Rows(8), sel, q, {"a"}, kWithMetadata, kL2); }, Type::kInvalid,
       "RankIVFFlatMetric: metadata.size() (1) != item_ids.size() (4)"},
      {"query width", [&] { flat(Rows(12), sel, q, {}, {}, kL2); }, Type::kInvalid,
       "Query embedding dimension does not match item embedding"},
      {"position", [&] { flat(Rows(8), Selection({{0, 2}}), q, {}, {}, kL2); },
       Type::kOutOfRange,
       "RankIVFFlatMetric: centroid_idx (2) + 1 >= centroid_to_matching_indices.size() (3)"},
      {"end", [&] { flat(Overlong(8), sel, q, {}, {}, kL2); }, Type::kOutOfRange,
       "RankIVFFlatMetric: embedding access out of bounds. start_index=2, bucket_size=7, "
       "embeddings.rows()=4"},
      {"query rows", [&] { flat(Rows(8), Selection({{0}, {1}}), q, {}, {}, kL2); },
       Type::kInvalid,
       "RankIVFFlatMetric: the query matrix has fewer rows (1) than the selection has queries (2)"},
      {"nan rows", [&] { flat(nan_rows, Selection({{0}}), q, {}, {}, kL2); }, Type::kRuntime,
       "RankIVFFlatMetric: NaN detected in batch embeddings."},
      {"nan query", [&] { flat(block, Selection({{0}}), nan_query, {}, {}, kL2); },
       Type::kRuntime, "RankIVFFlatMetric: NaN detected in batch query embedding."},
  };
  for (const Case& c : cases) Expect(c);
}

TEST(RankerErrorsTest, IVFSQ) {
  const Array2D<float> q(std::vector<float>{1, 2}, 2);
  const CentroidSelection sel = Selection({{0, 1}});
  const SQQuantizer quantizer{8, {0, 0}, {1, 1}};
  const SQQuantizer short_quantizer{8, {0, 0}, {1}};
  const Case cases[] = {
      {"metric 8-bit",
       [&] {
         cpu::RankIVFSQ<uint8_t>(Rows(2), {}, sel, q, quantizer, 5,
                                 static_cast<DistanceMetric>(7), {});
       },
       Type::kRuntime, "Unsupported distance metric."},
      {"odd 16-bit rows",
       [&] { cpu::RankIVFSQ<uint16_t>(Rows(5), {}, sel, q, quantizer, 5, kL2, {}); },
       Type::kInvalid, "Row size not compatible with target type"},
      {"query width 8-bit",
       [&] { cpu::RankIVFSQ<uint8_t>(Rows(4), {}, sel, q, quantizer, 5, kL2, {}); },
       Type::kInvalid, "Query embedding dimension does not match SQ embedding dimension"},
      {"query width 16-bit",
       [&] { cpu::RankIVFSQ<uint16_t>(Rows(2), {}, sel, q, quantizer, 5, kL2, {}); },
       Type::kInvalid, "Query embedding dimension does not match SQ embedding dimension"},
      {"short quantizer",
       [&] { cpu::RankIVFSQ<uint8_t>(Rows(2), {}, sel, q, short_quantizer, 5, kL2, {}); },
       Type::kInvalid,
       "RankIVFSQMetric: SQ quantizer holds 1 values per range, fewer than the code dimension "
       "(2)"},
      {"short metadata",
       [&] {
         cpu::RankIVFSQ<uint8_t>(Rows(2), {"a", "b"}, sel, q, quantizer, 5, kL2, kWithMetadata);
       },
       Type::kInvalid, "RankIVFSQMetric: metadata.size() (2) < rows (4)"},
      {"position",
       [&] { cpu::RankIVFSQ<uint8_t>(Rows(2), {}, Selection({{3}}), q, quantizer, 5, kL2, {}); },
       Type::kOutOfRange,
       "RankIVFSQMetric: centroid_idx (3) + 1 >= centroid_to_matching_indices.size() (3)"},
      {"end",
       [&] { cpu::RankIVFSQ<uint16_t>(Overlong(4), {}, sel, q, quantizer, 5, kL2, {}); },
       Type::kOutOfRange, "RankIVFSQMetric: end_index (9) > sq_embeddings.rows() (4)"},
  };
  for (const Case& c : cases) Expect(c);
}

TEST(RankerErrorsTest, IVFPQ) {
  const Array2D<float> q(std::vector<float>{1, 2, 3, 4}, 4);
  const CentroidSelection sel = Selection({{0, 1}});
  // Two sub-quantizers of 3 codewords of width 2.
  const std::vector<Codebook> books = {Codebook{3, Array2D<float>(std::vector<float>(6), 2)},
                                       Codebook{3, Array2D<float>(std::vector<float>(6), 2)}};
  std::vector<Codebook> uneven = {books[0], Codebook{2, Array2D<float>(std::vector<float>(4), 2)}};
  RetrieveNeighborsResult big_code = Rows(8);
  PutRow(big_code, 2, std::vector<uint32_t>{0, 3});
  const auto pq = [&](const RetrieveNeighborsResult& r, const CentroidSelection& s,
                      const std::vector<Codebook>& b, DistanceMetric m) {
    cpu::RankIVFPQ(r, {}, s, q, b, 5, m, {});
  };
  const Case cases[] = {
      {"metric", [&] { pq(Rows(8), sel, books, static_cast<DistanceMetric>(3)); },
       Type::kRuntime, "Unsupported distance metric."},
      {"row size", [&] { pq(Rows(7), sel, books, kL2); }, Type::kInvalid,
       "Row size not compatible with target type"},
      {"no codebooks", [&] { pq(Rows(8), sel, {}, kL2); }, Type::kInvalid,
       "RankIVFPQMetric: no PQ codebooks"},
      {"query width", [&] { pq(Rows(8), sel, {books[0]}, kL2); }, Type::kInvalid,
       "Query embedding dimension does not match product quantizer"},
      {"codebook shapes", [&] { pq(Rows(8), sel, uneven, kL2); }, Type::kInvalid,
       "RankIVFPQMetric: every PQ codebook must hold 3 x 2 codewords"},
      {"codes per row", [&] { pq(Rows(12), sel, books, kL2); }, Type::kInvalid,
       "RankIVFPQMetric: PQ code rows hold 3 codes, expected 2"},
      {"code range", [&] { pq(big_code, sel, books, kL2); }, Type::kInvalid,
       "RankIVFPQMetric: PQ code 3 at row 2 is not below the codeword count 3"},
      {"position", [&] { pq(Rows(8), Selection({{5}}), books, kL2); }, Type::kOutOfRange,
       "RankIVFPQMetric: centroid_idx (5) + 1 >= centroid_to_matching_indices.size() (3)"},
      {"end", [&] { pq(Overlong(8), sel, books, kL2); }, Type::kOutOfRange,
       "RankIVFPQMetric: end_index (9) > pq_embeddings.rows() (4)"},
  };
  for (const Case& c : cases) Expect(c);
}

TEST(RankerErrorsTest, IVF) {
  CentroidSelection sel = Selection({{0, 1}});
  sel.query_distances = Array2D<float>(1, 2);
  CentroidSelection no_distances = Selection({{0, 1}});
  CentroidSelection far = Selection({{4}});
  far.query_distances = Array2D<float>(1, 1);
  RetrieveNeighborsResult overlong = Rows(0);
  overlong.centroid_to_matching_indices = {0, 2, 2, 9};
  CentroidSelection empty_list = Selection({{1}});  // empty, but ends beyond the ids
  empty_list.query_distances = Array2D<float>(1, 1);
  overlong.centroid_to_matching_indices = {0, 9, 9};
  const Case cases[] = {
      {"distances", [&] { cpu::RankIVF(Rows(0), no_distances, 5); }, Type::kInvalid,
       "RankIVF: query_distances does not match query_lists"},
      {"position", [&] { cpu::RankIVF(Rows(0), far, 5); }, Type::kOutOfRange,
       "RankIVF: centroid_idx (4) + 1 >= centroid_to_matching_indices.size() (3)"},
      {"end", [&] { cpu::RankIVF(overlong, empty_list, 5); }, Type::kOutOfRange,
       "RankIVF: end_idx (9) > matching_ids.size() (4)"},
  };
  for (const Case& c : cases) Expect(c);
}

}  // namespace
}  // namespace nivora::internal::vector_index
