#include "core/item_batch.h"

#include <type_traits>
#include <utility>

namespace nivora_encrypted_index {

size_t ItemBatch::payload_rows() const {
  return std::visit([](const auto& m) { return m.rows; }, payload);
}

bool ItemBatch::payload_empty() const {
  return std::visit([](const auto& m) { return m.rows * m.cols == 0; }, payload);
}

nivora::Array2DView<uint8_t> ItemBatch::payload_view() const {
  return std::visit(
      [](const auto& m) {
        using Element = std::remove_pointer_t<decltype(m.data)>;
        return nivora::Array2DView<uint8_t>(reinterpret_cast<uint8_t*>(m.data), m.rows,
                                            m.cols * sizeof(Element));
      },
      payload);
}

void* ItemBatch::payload_data() const {
  return std::visit([](const auto& m) { return static_cast<void*>(m.data); }, payload);
}

RetrieveNeighborsResult::RetrieveNeighborsResult(RetrieveNeighborsResult&& other) noexcept {
  *this = std::move(other);
}

RetrieveNeighborsResult& RetrieveNeighborsResult::operator=(
    RetrieveNeighborsResult&& other) noexcept {
  if (this == &other) return *this;
  matching_ids = std::exchange(other.matching_ids, {});
  centroid_to_matching_indices = std::exchange(other.centroid_to_matching_indices, {});
  payloads = std::exchange(other.payloads, {});
  row_present = std::exchange(other.row_present, {});
  read_payloads = std::exchange(other.read_payloads, {});
  return *this;
}

namespace internal::encrypted_index {

std::vector<std::vector<uint8_t>> ConvertMetadataToByteVectors(
    const std::vector<std::string>& metadata) {
  std::vector<std::vector<uint8_t>> out;
  out.reserve(metadata.size());
  for (const std::string& text : metadata) out.emplace_back(text.begin(), text.end());
  return out;
}

std::vector<std::vector<uint8_t>> ConvertArray2DToVectorOfVectors(
    const nivora::Array2D<uint8_t>& matrix) {
  std::vector<std::vector<uint8_t>> out;
  out.reserve(matrix.rows);
  for (size_t r = 0; r < matrix.rows; ++r) out.emplace_back(matrix.row(r), matrix.row(r) + matrix.cols);
  return out;
}

}  // namespace internal::encrypted_index
}  // namespace nivora_encrypted_index
