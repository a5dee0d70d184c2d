#include "core/array2d.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace nivora {
namespace {

bool Aligned(const void* p) { return reinterpret_cast<uintptr_t>(p) % 64 == 0; }

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(Array2DTest, WipedMatricesAreZeroFilledAndWipeTheirWholeBlock) {
  for (const auto& [rows, cols] : {std::pair<size_t, size_t>{3, 5}, {0, 4}, {64, 1}}) {
    const auto m = Array2D<float>::Wiped(rows, cols);
    EXPECT_EQ(m.rows, rows);
    EXPECT_EQ(m.cols, cols);
    ASSERT_NE(m.data, nullptr);
    EXPECT_TRUE(Aligned(m.data));
    for (size_t i = 0; i < m.size(); ++i) EXPECT_EQ(m.data[i], 0.0f);
    const auto* wipe = std::get_deleter<WipingFree>(m.owner);
    ASSERT_NE(wipe, nullptr);
    EXPECT_GE(wipe->bytes, m.size() * sizeof(float));
    EXPECT_EQ(wipe->bytes % 64, 0u);
  }
  // Ordinary matrices are only freed.
  EXPECT_EQ(std::get_deleter<WipingFree>(Array2D<float>(2, 2).owner), nullptr);
}

TEST(Array2DTest, ConstructionFormsAndMessages) {
  const std::string kMultiple = "Data size must be a multiple of the number of columns";
  const std::string kSource = "Source byte row size not compatible with target type";
  struct Case {
    std::string name;
    std::function<void()> build;
    std::string error;
  };
  std::vector<Case> cases = {
      {"empty bytes, 4 cols", [] { Array2D<unsigned char>(std::vector<unsigned char>{}, 4); }, ""},
      {"empty bytes, 0 cols", [] { Array2D<unsigned char>(std::vector<unsigned char>{}, 0); }, kMultiple},
      {"10 bytes, 4 cols", [] { Array2D<unsigned char>(std::vector<unsigned char>(10), 4); }, kMultiple},
      {"floats, 0 cols", [] { Array2D<float>(std::vector<float>{1, 2}, 0); }, kMultiple},
      {"3x10 bytes as floats", [] { Array2D<float>(Array2D<unsigned char>(3, 10)); }, kSource},
      {"3x8 bytes as floats", [] { Array2D<float>(Array2D<unsigned char>(3, 8)); }, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.build), c.error) << c.name;

  Array2D<unsigned char> empty(std::vector<unsigned char>{}, 4);
  EXPECT_EQ(empty.rows, 0u);
  EXPECT_EQ(empty.cols, 4u);

  Array2D<unsigned char> bytes(std::vector<unsigned char>(12, 7), 4);
  EXPECT_EQ(bytes.rows, 3u);
  EXPECT_EQ(bytes.cols, 4u);
  EXPECT_EQ(bytes.data[11], 7);

  Array2D<float> as_floats{Array2D<unsigned char>(3, 8)};
  EXPECT_EQ(as_floats.rows, 3u);
  EXPECT_EQ(as_floats.cols, 2u);
}

TEST(Array2DTest, FromRows) {
  Array2D<float> none{std::vector<std::vector<float>>{}};
  EXPECT_EQ(none.rows, 0u);
  EXPECT_EQ(none.cols, 0u);
  EXPECT_EQ(none.data, nullptr);

  Array2D<float> m{std::vector<std::vector<float>>{{1, 2, 3}, {4, 5, 6, 7}}};
  ASSERT_EQ(m.rows, 2u);
  ASSERT_EQ(m.cols, 3u);
  EXPECT_EQ(std::vector<float>(m.data, m.data + 6), (std::vector<float>{1, 2, 3, 4, 5, 6}));

  // A short row is refused rather than read past.
  EXPECT_THROW(Array2D<float>(std::vector<std::vector<float>>{{1, 2, 3}, {4}}),
               std::invalid_argument);
}

TEST(Array2DTest, ZeroFilledAlignedAndShared) {
  Array2D<unsigned int> codes(5, 3);
  ASSERT_NE(codes.data, nullptr);
  EXPECT_TRUE(Aligned(codes.data));
  for (size_t i = 0; i < codes.size(); ++i) EXPECT_EQ(codes.data[i], 0u);
  EXPECT_EQ(Array2D<unsigned short>(0, 9).data, nullptr);

  auto original = std::make_unique<Array2D<float>>(2, 2);
  Array2D<float> copy = *original;
  copy.data[3] = 42.0f;
  EXPECT_EQ(original->data[3], 42.0f);  // copies share elements
  original.reset();
  EXPECT_EQ(copy.data[3], 42.0f);       // and outlive the first matrix

  // Conversion from bytes makes its own storage.
  Array2D<unsigned char> raw(1, 4);
  Array2D<float> converted(raw);
  EXPECT_NE(static_cast<void*>(converted.data), static_cast<void*>(raw.data));
  EXPECT_TRUE(Aligned(converted.data));
}

TEST(Array2DTest, ViewAs) {
  std::vector<unsigned char> seven(14), eight(16);
  Array2DView<unsigned char> bad(seven.data(), 2, 7), good(eight.data(), 2, 8);
  try {
    view_as<unsigned short>(bad);
    FAIL() << "expected invalid_argument";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Row size not compatible with target type");
  }
  Array2DView<unsigned short> shorts = view_as<unsigned short>(good);
  EXPECT_EQ(shorts.cols, 4u);
  EXPECT_EQ(shorts.rows, 2u);
  EXPECT_EQ(static_cast<void*>(shorts.data), static_cast<void*>(eight.data()));
}

}  // namespace
}  // namespace nivora
