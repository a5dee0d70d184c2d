// The slices an ingest writes its items in: rounds of keystore batches of at
// most kSliceSize items, which bound the encrypted copies held at once and
// the size of each batch. Plain helpers; no state.
#ifndef NIVORA_ENCRYPTED_INDEX_ITEM_SLICES_H_
#define NIVORA_ENCRYPTED_INDEX_ITEM_SLICES_H_

#include <algorithm>
#include <cstddef>
#include <vector>

namespace nivora_encrypted_index::internal::encrypted_index {

inline constexpr size_t kSliceSize = 10000;

// Items [begin, end) of a batch.
struct Slice {
  size_t begin;
  size_t end;
  size_t size() const { return end - begin; }
};

// body(slice) for the slices of n items, in order.
template <typename Body>
void ForEachSlice(size_t n, const Body& body) {
  for (size_t begin = 0; begin < n; begin += kSliceSize) body(Slice{begin, std::min(n, begin + kSliceSize)});
}

// The slice's part of values.
template <typename T>
std::vector<T> Part(const std::vector<T>& values, const Slice& slice) {
  return std::vector<T>(values.begin() + slice.begin, values.begin() + slice.end);
}

// values[i] for each i in `at`: the items of a batch chosen by index.
template <typename T>
std::vector<T> Pick(const std::vector<T>& values, const std::vector<size_t>& at) {
  std::vector<T> out;
  out.reserve(at.size());
  for (size_t i : at) out.push_back(values[i]);
  return out;
}

}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_ITEM_SLICES_H_
