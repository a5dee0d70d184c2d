// Array2D<T> is the one matrix type of the system: a row-major matrix whose
// elements live in a single 64-byte-aligned block held by a shared pointer.
// Copies share the block (constant-time pass by value); a matrix with its own
// elements is made with one of the constructors. Array2DView<T> is the
// matching non-owning view, valid while the matrix it was taken from lives.
//
// Thread safety: a matrix is a value; concurrent reads are safe, concurrent
// writes to shared elements are the caller's to order.
#ifndef NIVORA_CORE_ARRAY2D_H_
#define NIVORA_CORE_ARRAY2D_H_

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace nivora {

// The deleter of a block from Array2D::AllocateWiped: wipes its `bytes`
// bytes (OPENSSL_cleanse), then frees it.
struct WipingFree {
  size_t bytes = 0;
  void operator()(void* block) const;
};

template <typename T>
struct Array2D {
  size_t rows = 0;
  size_t cols = 0;
  T* data = nullptr;             // element (r, c) at r * cols + c
  std::shared_ptr<void> owner;   // owns the block behind data; empty when none

  // Empty: 0 x 0, no storage.
  Array2D() = default;

  // Zero-filled rows x cols; nothing is allocated when rows * cols is 0.
  Array2D(size_t rows, size_t cols);

  // Rows of a fixed width from a flat vector. Throws std::invalid_argument
  // "Data size must be a multiple of the number of columns" when cols is 0 or
  // the length is not a multiple of it.
  Array2D(const std::vector<T>& values, size_t cols);

  // float only: one row per inner vector, cols = size of the first. Throws
  // std::invalid_argument when a later row holds fewer than cols values;
  // values beyond cols are ignored.
  explicit Array2D(const std::vector<std::vector<float>>& vectors)
    requires std::is_same_v<T, float>;

  // Copies share the block. Declared explicitly: the constrained byte-matrix
  // constructor below has the copy constructor's signature when T is
  // unsigned char and would otherwise suppress the implicit copy and move.
  Array2D(const Array2D&) = default;
  Array2D(Array2D&&) noexcept = default;
  Array2D& operator=(const Array2D&) = default;
  Array2D& operator=(Array2D&&) noexcept = default;

  // float only: each byte row read as floats in machine byte order, into new
  // storage. Throws std::invalid_argument "Source byte row size not
  // compatible with target type" when bytes.cols is not a multiple of 4.
  explicit Array2D(const Array2D<unsigned char>& bytes)
    requires std::is_same_v<T, float>;

  // Gives the matrix a new uninitialised block of n elements (byte size
  // rounded up to a multiple of 64), releasing the previous owner. Leaves
  // rows and cols alone. Throws std::bad_alloc.
  void AllocateOwned(size_t n);

  // The same, for plaintext (decrypted vectors, quantizers): the owner's
  // deleter is a WipingFree, so the whole block is wiped when its last owner
  // releases it.
  void AllocateWiped(size_t n);

  // Zero-filled rows x cols on a block from AllocateWiped (allocated even
  // when rows * cols is 0).
  static Array2D Wiped(size_t rows, size_t cols);

  size_t size() const { return rows * cols; }
  bool empty() const { return rows == 0 || cols == 0; }
  T* row(size_t r) { return data + r * cols; }
  const T* row(size_t r) const { return data + r * cols; }
};

template <typename T>
struct Array2DView {
  T* data = nullptr;
  size_t rows = 0;
  size_t cols = 0;

  Array2DView() = default;
  Array2DView(T* data, size_t rows, size_t cols) : data(data), rows(rows), cols(cols) {}
  // A view of a whole matrix.
  Array2DView(const Array2D<std::remove_const_t<T>>& m)  // NOLINT: implicit on purpose
      : data(m.data), rows(m.rows), cols(m.cols) {}

  T* row(size_t r) const { return data + r * cols; }
};

// Reads a byte view as a view of T over the same bytes. Throws
// std::invalid_argument "Row size not compatible with target type" when a
// row's byte count is not a multiple of sizeof(T).
template <typename T, typename Byte>
Array2DView<T> view_as(const Array2DView<Byte>& bytes) {
  static_assert(sizeof(Byte) == 1, "view_as reads byte views");
  if (bytes.cols % sizeof(T) != 0) {
    throw std::invalid_argument("Row size not compatible with target type");
  }
  return Array2DView<T>(reinterpret_cast<T*>(bytes.data), bytes.rows, bytes.cols / sizeof(T));
}

extern template struct Array2D<float>;
extern template struct Array2D<unsigned char>;
extern template struct Array2D<unsigned short>;
extern template struct Array2D<unsigned int>;

}  // namespace nivora

#endif  // NIVORA_CORE_ARRAY2D_H_
