// Key material helpers: the 32-byte key type of the engine, SecretVector (a
// vector whose storage is wiped whenever it is released: destruction,
// reallocation, shrink, assignment over it), and wiping of other buffers
// that held secrets (keys, sub-keys, fixed-size scratch on the stack).
// Wiping goes through OPENSSL_cleanse so the compiler cannot drop it as a
// dead store.
//
// The engine keeps its secret tables in SecretVector: salts and seeds
// (SaltsAndSeedsList), position-tree paths (PathStates), trapdoors, pads of
// derived tokens and key || message scratch. Shrinking a SecretVector
// (clear, resize) keeps the bytes in its storage until it is released or
// Cleanse is called on it.
#ifndef NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_SECRET_H_
#define NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_SECRET_H_

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

namespace nivora_encrypted_index::internal::cryptography {

using Key = std::array<uint8_t, 32>;

// An allocator that wipes every block before giving it back, so a vector
// using it never leaves secret bytes in freed memory, however it is
// destroyed or resized.
template <typename T>
struct CleansingAllocator {
  static_assert(std::is_trivially_copyable_v<T>, "only plain bytes and numbers are wiped");
  using value_type = T;

  CleansingAllocator() noexcept = default;
  template <typename U>
  CleansingAllocator(const CleansingAllocator<U>&) noexcept {}  // NOLINT: rebinding

  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) noexcept {
    if (p != nullptr) OPENSSL_cleanse(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  template <typename U>
  bool operator==(const CleansingAllocator<U>&) const noexcept {
    return true;
  }
};

// Owns secret values (salts, seeds, tree nodes, trapdoors, token pads,
// key || message scratch): every block it gives back is wiped first.
template <typename T>
using SecretVector = std::vector<T, CleansingAllocator<T>>;

template <typename T, size_t N>
void Cleanse(std::array<T, N>& a) {
  OPENSSL_cleanse(a.data(), sizeof(T) * N);
}

// Wipes the vector's whole storage, spare capacity included (a shorter
// value may have followed a longer one in a reused buffer).
template <typename T, typename Alloc>
void Cleanse(std::vector<T, Alloc>& v) {
  static_assert(std::is_trivially_copyable_v<T>, "only plain bytes and numbers are wiped");
  if (v.capacity() != 0) OPENSSL_cleanse(v.data(), sizeof(T) * v.capacity());
}

// A key held as a member: wiped when its owner goes away, also when the
// owner's constructor throws. Usable wherever a const Key& is.
struct WipedKey : Key {
  WipedKey() : Key{} {}
  WipedKey(const Key& key) : Key(key) {}  // NOLINT: implicit on purpose
  WipedKey(const WipedKey&) = default;
  WipedKey& operator=(const WipedKey&) = default;
  WipedKey& operator=(const Key& key) {
    Key::operator=(key);
    return *this;
  }
  ~WipedKey() { OPENSSL_cleanse(data(), size()); }
};

// Wipes a buffer when the scope ends, however it ends.
class ScopedCleanse {
 public:
  ScopedCleanse(void* data, size_t size) : data_(data), size_(size) {}
  template <typename T>
  explicit ScopedCleanse(std::vector<T>& v) : data_(&v), size_(0), vector_wipe_(&WipeVector<T>) {}
  template <typename T, size_t N>
  explicit ScopedCleanse(std::array<T, N>& a) : ScopedCleanse(a.data(), sizeof(T) * N) {}
  ~ScopedCleanse() {
    if (vector_wipe_ != nullptr) {
      vector_wipe_(data_);
    } else if (size_ != 0) {
      OPENSSL_cleanse(data_, size_);
    }
  }
  ScopedCleanse(const ScopedCleanse&) = delete;
  ScopedCleanse& operator=(const ScopedCleanse&) = delete;

 private:
  // A vector may be resized while guarded: wipe whatever it holds at exit.
  template <typename T>
  static void WipeVector(void* v) {
    Cleanse(*static_cast<std::vector<T>*>(v));
  }

  void* data_;
  size_t size_;
  void (*vector_wipe_)(void*) = nullptr;
};

}  // namespace nivora_encrypted_index::internal::cryptography

#endif  // NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_SECRET_H_
