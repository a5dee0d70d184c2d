#include "core/array2d.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace nivora {
namespace {

constexpr size_t kAlignment = 64;

[[noreturn]] void ThrowBadMultiple() {
  throw std::invalid_argument("Data size must be a multiple of the number of columns");
}

// Bytes of a block of n elements of `size` bytes: a whole number of
// alignment units, at least one.
size_t BlockBytes(size_t n, size_t size) {
  if (n > (SIZE_MAX - kAlignment) / size) throw std::bad_alloc();
  const size_t bytes = (n * size + kAlignment - 1) / kAlignment * kAlignment;
  return bytes == 0 ? kAlignment : bytes;
}

void* AlignedBlock(size_t bytes) {
  void* block = std::aligned_alloc(kAlignment, bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

}  // namespace

template <typename T>
void Array2D<T>::AllocateOwned(size_t n) {
  void* block = AlignedBlock(BlockBytes(n, sizeof(T)));
  // On failure this constructor itself frees the block before rethrowing.
  owner = std::shared_ptr<void>(block, std::free);
  data = static_cast<T*>(block);
}

void WipingFree::operator()(void* block) const {
  OPENSSL_cleanse(block, bytes);
  std::free(block);
}

template <typename T>
void Array2D<T>::AllocateWiped(size_t n) {
  const size_t bytes = BlockBytes(n, sizeof(T));
  void* block = AlignedBlock(bytes);
  owner = std::shared_ptr<void>(block, WipingFree{bytes});
  data = static_cast<T*>(block);
}

template <typename T>
Array2D<T> Array2D<T>::Wiped(size_t rows, size_t cols) {
  if (rows != 0 && cols > SIZE_MAX / rows) throw std::bad_alloc();
  Array2D<T> m;
  m.rows = rows;
  m.cols = cols;
  m.AllocateWiped(rows * cols);
  std::memset(m.data, 0, rows * cols * sizeof(T));
  return m;
}

template <typename T>
Array2D<T>::Array2D(size_t rows, size_t cols) : rows(rows), cols(cols) {
  if (rows != 0 && cols > SIZE_MAX / rows) throw std::bad_alloc();
  if (rows * cols == 0) return;
  AllocateOwned(rows * cols);
  std::memset(data, 0, rows * cols * sizeof(T));
}

template <typename T>
Array2D<T>::Array2D(const std::vector<T>& values, size_t cols) : cols(cols) {
  if (cols == 0 || values.size() % cols != 0) ThrowBadMultiple();
  rows = values.size() / cols;
  AllocateOwned(values.size());
  if (!values.empty()) std::memcpy(data, values.data(), values.size() * sizeof(T));
}

template <typename T>
Array2D<T>::Array2D(const std::vector<std::vector<float>>& vectors)
  requires std::is_same_v<T, float>
    : rows(vectors.size()), cols(vectors.empty() ? 0 : vectors.front().size()) {
  // Ragged input is a caller error: never read past a short row.
  for (size_t r = 0; r < rows; ++r) {
    if (vectors[r].size() < cols) {
      throw std::invalid_argument("All vectors must have the same dimension: row " +
                                  std::to_string(r) + " has " +
                                  std::to_string(vectors[r].size()) + " values, expected " +
                                  std::to_string(cols));
    }
  }
  if (rows * cols == 0) return;
  AllocateOwned(rows * cols);
  for (size_t r = 0; r < rows; ++r) {
    std::memcpy(data + r * cols, vectors[r].data(), cols * sizeof(float));
  }
}

template <typename T>
Array2D<T>::Array2D(const Array2D<unsigned char>& bytes)
  requires std::is_same_v<T, float>
{
  if (bytes.cols % sizeof(float) != 0) {
    throw std::invalid_argument("Source byte row size not compatible with target type");
  }
  rows = bytes.rows;
  cols = bytes.cols / sizeof(float);
  if (rows * cols == 0) return;
  AllocateOwned(rows * cols);
  std::memcpy(data, bytes.data, rows * bytes.cols);
}

template struct Array2D<float>;
template struct Array2D<unsigned char>;
template struct Array2D<unsigned short>;
template struct Array2D<unsigned int>;

}  // namespace nivora
