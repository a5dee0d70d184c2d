#include "api/quantizer_cache_block.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

namespace nivora::internal {
namespace {

using vector_index::Codebook;
using vector_index::QuantizerSet;
using vector_index::SQQuantizer;

constexpr size_t kAlignment = 64;
constexpr size_t kHeaderSize = 3 * sizeof(uint32_t);
constexpr size_t kCodebookHeaderSize = sizeof(int32_t) + 2 * sizeof(uint32_t);
constexpr size_t kSQHeaderSize = sizeof(int32_t) + sizeof(uint32_t);

size_t AlignUp(size_t offset) { return (offset + kAlignment - 1) / kAlignment * kAlignment; }

[[noreturn]] void ThrowNotCacheable() {
  throw std::invalid_argument("Quantizer set cannot be cached");
}

[[noreturn]] void ThrowMalformed() {
  throw std::runtime_error("Quantizer cache block is malformed");
}

uint32_t Count32(size_t value) {
  if (value > std::numeric_limits<uint32_t>::max()) ThrowNotCacheable();
  return static_cast<uint32_t>(value);
}

size_t LayoutSize(const QuantizerSet& set) {
  size_t size = kHeaderSize;
  for (const auto* codebooks : {&set.centroids, &set.pq_codebooks}) {
    for (const Codebook& codebook : *codebooks) {
      const Array2D<float>& m = codebook.centroids;
      Count32(m.rows);
      Count32(m.cols);
      if (m.size() != 0 && m.data == nullptr) ThrowNotCacheable();
      size = AlignUp(size + kCodebookHeaderSize) + m.size() * sizeof(float);
    }
  }
  for (const SQQuantizer& sq : set.sq_quantizers) {
    if (sq.min.size() != sq.scale.size()) ThrowNotCacheable();
    size += kSQHeaderSize + 2 * sizeof(float) * Count32(sq.min.size());
  }
  return size;
}

class BlockWriter {
 public:
  explicit BlockWriter(uint8_t* out) : out_(out) {}
  template <typename T>
  void Put(T value) {
    std::memcpy(out_ + offset_, &value, sizeof(T));
    offset_ += sizeof(T);
  }
  void PutFloats(const float* values, size_t n) {
    if (n != 0) std::memcpy(out_ + offset_, values, n * sizeof(float));
    offset_ += n * sizeof(float);
  }
  void PadTo64() { offset_ = AlignUp(offset_); }  // the block is zero-filled

 private:
  uint8_t* out_;
  size_t offset_ = 0;
};

// Reads the block front to back; every read past the layout's end throws.
class BlockReader {
 public:
  BlockReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  template <typename T>
  T Get() {
    Need(sizeof(T));
    T value;
    std::memcpy(&value, data_ + offset_, sizeof(T));
    offset_ += sizeof(T);
    return value;
  }
  // The offset of n floats, skipped.
  size_t TakeFloats(size_t n) {
    if (n > (size_ - offset_) / sizeof(float)) ThrowMalformed();
    const size_t at = offset_;
    offset_ += n * sizeof(float);
    return at;
  }
  void PadTo64() {
    const size_t aligned = AlignUp(offset_);
    if (aligned > size_) ThrowMalformed();
    offset_ = aligned;
  }

 private:
  void Need(size_t n) const {
    if (n > size_ - offset_) ThrowMalformed();
  }
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

Codebook ReadCodebook(BlockReader& reader, const Array2D<unsigned char>& block) {
  Codebook codebook;
  codebook.k = reader.Get<int32_t>();
  const size_t rows = reader.Get<uint32_t>();
  const size_t cols = reader.Get<uint32_t>();
  reader.PadTo64();
  const size_t at = reader.TakeFloats(rows * cols);
  codebook.centroids.rows = rows;
  codebook.centroids.cols = cols;
  if (rows * cols != 0) {
    codebook.centroids.data = reinterpret_cast<float*>(block.data + at);
    codebook.centroids.owner = block.owner;
  }
  return codebook;
}

std::vector<float> ReadFloats(BlockReader& reader, const Array2D<unsigned char>& block, size_t n) {
  const size_t at = reader.TakeFloats(n);
  std::vector<float> values(n);
  if (n != 0) std::memcpy(values.data(), block.data + at, n * sizeof(float));
  return values;
}

}  // namespace

QuantizerBlock SerializeQuantizerBlock(const QuantizerSet& set) {
  QuantizerBlock block;
  block.plaintext_size = LayoutSize(set);
  block.chunk_count =
      (block.plaintext_size + kQuantizerCacheChunkSize - 1) / kQuantizerCacheChunkSize;
  block.bytes.assign(block.chunk_count * kQuantizerCacheChunkSize, 0);
  BlockWriter writer(block.bytes.data());
  writer.Put(Count32(set.centroids.size()));
  writer.Put(Count32(set.pq_codebooks.size()));
  writer.Put(Count32(set.sq_quantizers.size()));
  for (const auto* codebooks : {&set.centroids, &set.pq_codebooks}) {
    for (const Codebook& codebook : *codebooks) {
      writer.Put(codebook.k);
      writer.Put(static_cast<uint32_t>(codebook.centroids.rows));
      writer.Put(static_cast<uint32_t>(codebook.centroids.cols));
      writer.PadTo64();
      writer.PutFloats(codebook.centroids.data, codebook.centroids.size());
    }
  }
  for (const SQQuantizer& sq : set.sq_quantizers) {
    writer.Put(sq.bits);
    writer.Put(static_cast<uint32_t>(sq.min.size()));
    writer.PutFloats(sq.min.data(), sq.min.size());
    writer.PutFloats(sq.scale.data(), sq.scale.size());
  }
  return block;
}

Array2D<unsigned char> AllocateWipedBlock(size_t size) {
  Array2D<unsigned char> block;
  block.AllocateWiped(size);
  std::memset(block.data, 0, AlignUp(std::max<size_t>(size, 1)));
  block.rows = 1;
  block.cols = size;
  return block;
}

QuantizerSet ParseQuantizerBlock(const Array2D<unsigned char>& block, size_t plaintext_size) {
  if (plaintext_size > block.size()) ThrowMalformed();
  BlockReader reader(block.data, plaintext_size);
  const uint32_t n_coarse = reader.Get<uint32_t>();
  const uint32_t n_pq = reader.Get<uint32_t>();
  const uint32_t n_sq = reader.Get<uint32_t>();
  QuantizerSet set;
  // Each record takes at least 8 bytes: counts beyond that are malformed,
  // and reserving for them cannot run away.
  if (size_t{n_coarse} + n_pq + n_sq > plaintext_size / kSQHeaderSize) ThrowMalformed();
  set.centroids.reserve(n_coarse);
  for (uint32_t i = 0; i < n_coarse; ++i) set.centroids.push_back(ReadCodebook(reader, block));
  set.pq_codebooks.reserve(n_pq);
  for (uint32_t i = 0; i < n_pq; ++i) set.pq_codebooks.push_back(ReadCodebook(reader, block));
  set.sq_quantizers.reserve(n_sq);
  for (uint32_t i = 0; i < n_sq; ++i) {
    SQQuantizer& sq = set.sq_quantizers.emplace_back();
    sq.bits = reader.Get<int32_t>();
    const size_t n = reader.Get<uint32_t>();
    sq.min = ReadFloats(reader, block, n);
    sq.scale = ReadFloats(reader, block, n);
  }
  set.aux_matrix = block;
  return set;
}

}  // namespace nivora::internal
