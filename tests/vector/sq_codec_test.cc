#include "vector/sq_codec.h"

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace nivora::internal::vector_index::cpu {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

SQQuantizer Unit(size_t dim, int32_t bits) {
  return SQQuantizer{bits, std::vector<float>(dim, 0.0f), std::vector<float>(dim, 1.0f)};
}

// Codes of `values`, checked to be the same whether a value is coded in a
// full chunk of 64 components (vector lanes) or among the last components
// of a row (one by one).
template <typename CodeT>
std::vector<CodeT> Encode(const std::vector<float>& values, const SQQuantizer& unit) {
  const size_t n = values.size();
  const size_t padded = 64 * ((n + 63) / 64);
  std::vector<float> row(values);
  row.resize(padded, 0.0f);
  SQQuantizer q = unit;
  q.min.resize(padded, 0.0f);
  q.scale.resize(padded, 1.0f);
  std::vector<CodeT> lanes(padded);
  EncodeSQInto<CodeT>(Array2D<float>(row, padded), q, Array2DView<CodeT>(lanes.data(), 1, padded));
  std::vector<CodeT> tail(n);
  q.min.resize(n);
  q.scale.resize(n);
  EncodeSQInto<CodeT>(Array2D<float>(values, n), q, Array2DView<CodeT>(tail.data(), 1, n));
  lanes.resize(n);
  EXPECT_EQ(lanes, tail);
  return tail;
}

TEST(SQCodecTest, EightBitCodingTable) {
  struct Case {
    float x;
    uint8_t code;
  };
  const std::vector<Case> cases = {
      {0.49f, 0},   {0.5f, 1},   {1.5f, 2},    {2.5f, 3},        {254.6f, 255},
      {255.7f, 255}, {-3.0f, 0}, {kNaN, 255},  {-kInf, 0},       {kInf, 255},
      {0.49999997f, 0}, {254.5f, 255}, {254.49998f, 254}, {0.0f, 0},
  };
  std::vector<float> values;
  for (const Case& c : cases) values.push_back(c.x);
  const std::vector<uint8_t> codes = Encode<uint8_t>(values, Unit(values.size(), 8));
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(int(codes[i]), int(cases[i].code)) << "x = " << cases[i].x;
  }
}

TEST(SQCodecTest, SixteenBitCodingSaturates) {
  const std::vector<float> values = {100.25f, 65534.5f, 70000.0f, kNaN, -1.0f, 32767.5f};
  const std::vector<uint16_t> codes = Encode<uint16_t>(values, Unit(values.size(), 16));
  EXPECT_EQ(codes, (std::vector<uint16_t>{100, 65535, 65535, 65535, 0, 32768}));
}

TEST(SQCodecTest, ZeroStepSendsValuesAtOrAboveMinToTheLargestCode) {
  SQQuantizer q{8, {1.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 0.0f}};
  EXPECT_EQ(Encode<uint8_t>({1.0f, 2.0f, 0.5f}, q), (std::vector<uint8_t>{255, 255, 0}));
}

// Many rows with per-dimension offsets and steps, against a scalar reference
// of the coding rule and of the fused decode.
template <typename CodeT>
void CheckAgainstReference(float max_code) {
  const size_t rows = 517, dim = 137;  // two chunks of 64 and a tail
  std::mt19937 gen(5);
  std::uniform_real_distribution<float> value(-50.0f, 50.0f);
  SQQuantizer q{static_cast<int32_t>(sizeof(CodeT) * 8), {}, {}};
  for (size_t j = 0; j < dim; ++j) {
    q.min.push_back(-40.0f + j);
    q.scale.push_back((80.0f - j) / max_code);
  }
  Array2D<float> data(rows, dim);
  for (size_t i = 0; i < data.size(); ++i) data.data[i] = value(gen);
  const float specials[] = {kNaN, kInf, -kInf, -40.0f, 40.0f};
  for (size_t i = 0; i < data.size(); i += 97) data.data[i] = specials[i % 5];
  Array2D<CodeT> codes(rows, dim);
  EncodeSQInto<CodeT>(data, q, Array2DView<CodeT>(codes));
  const Array2D<float> decoded = DecodeSQ<CodeT>(Array2DView<CodeT>(codes), q);
  ASSERT_EQ(decoded.rows, rows);
  ASSERT_EQ(decoded.cols, dim);
  for (size_t i = 0; i < rows; ++i) {
    for (size_t j = 0; j < dim; ++j) {
      const float inv = 1.0f / q.scale[j];
      float v = (data.row(i)[j] - q.min[j]) * inv;
      v = v < max_code ? v : max_code;
      v = v > 0.0f ? v : 0.0f;
      const CodeT expected = static_cast<CodeT>(std::round(v));
      ASSERT_EQ(codes.row(i)[j], expected) << i << ", " << j;
      ASSERT_EQ(decoded.row(i)[j], std::fma(float(expected), q.scale[j], q.min[j]));
    }
  }
}

TEST(SQCodecTest, BothWidthsMatchTheScalarRuleOnManyRows) {
  CheckAgainstReference<uint8_t>(255.0f);
  CheckAgainstReference<uint16_t>(65535.0f);
}

TEST(SQCodecTest, DecodeEndpoints) {
  SQQuantizer q{8, {-1.25f, 3.0f}, {0.1f, 0.7f}};
  std::vector<uint8_t> codes = {0, 255, 255, 0};
  const Array2D<float> values = DecodeSQ<uint8_t>(Array2DView<uint8_t>(codes.data(), 2, 2), q);
  EXPECT_EQ(values.row(0)[0], -1.25f);
  EXPECT_EQ(values.row(0)[1], std::fma(255.0f, 0.7f, 3.0f));
  EXPECT_EQ(values.row(1)[0], std::fma(255.0f, 0.1f, -1.25f));
  EXPECT_EQ(values.row(1)[1], 3.0f);
  // Decoded rows are plaintext vectors: wiped when released.
  EXPECT_NE(std::get_deleter<nivora::WipingFree>(values.owner), nullptr);
}

TEST(SQCodecTest, RejectsMismatchedShapesBeforeWritingAnything) {
  const Array2D<float> data127(2, 127);
  const Array2D<float> data4(2, 4);
  const SQQuantizer q128 = Unit(128, 8);
  SQQuantizer bad_scale = Unit(4, 8);
  bad_scale.scale.resize(3);
  std::vector<uint8_t> out(3 * 128, 7);
  std::vector<uint16_t> out16(3 * 4, 7);

  struct Case {
    std::string name;
    std::function<void()> call;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"128 vs 127", [&] { EncodeSQInto<uint8_t>(data127, q128, {out.data(), 2, 127}); },
       "Embedding dimension does not match SQ quantizer dimension. Expected 128, got 127"},
      {"short scale",
       [&] { EncodeSQInto<uint16_t>(data4, bad_scale, {out16.data(), 2, 4}); },
       "Embedding dimension does not match SQ quantizer dimension. Expected 4, got 4"},
      {"one row too many", [&] { EncodeSQInto<uint8_t>(data4, Unit(4, 8), {out.data(), 3, 4}); },
       "Output view dimensions do not match input embeddings"},
      {"decode 128 vs 127", [&] { DecodeSQ<uint8_t>({out.data(), 2, 127}, q128); },
       "Quantized embedding dimension does not match SQ quantizer dimension. Expected 128, got "
       "127"},
      {"decode short scale", [&] { DecodeSQ<uint16_t>({out16.data(), 2, 4}, bad_scale); },
       "Quantized embedding dimension does not match SQ quantizer dimension. Expected 4, got 4"},
  };
  for (const Case& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(e.what(), c.message) << c.name;
    }
  }
  for (uint8_t v : out) EXPECT_EQ(v, 7);
  for (uint16_t v : out16) EXPECT_EQ(v, 7);
}

TEST(SQCodecTest, ViewMessageIsLoggedWithAFullStop) {
  const Array2D<float> data(2, 4);
  std::vector<uint8_t> out(12);
  testing::internal::CaptureStderr();
  EXPECT_THROW(EncodeSQInto<uint8_t>(data, Unit(4, 8), {out.data(), 3, 4}),
               std::invalid_argument);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "[ERROR] Output view dimensions do not match input embeddings.\n"),
            std::string::npos);
}

}  // namespace
}  // namespace nivora::internal::vector_index::cpu
