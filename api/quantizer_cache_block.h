// The plaintext block the quantizer cache encrypts: one QuantizerSet laid
// out in native byte order (it never leaves the process), so that a lookup
// can use the decrypted block in place.
//
// Layout: uint32 n_coarse, uint32 n_pq, uint32 n_sq; then each coarse and
// each PQ codebook as int32 k, uint32 rows, uint32 cols, zero bytes up to
// the next multiple of 64, rows x cols float32; then each SQ quantizer as
// int32 bits, uint32 n, n float32 min, n float32 scale. The block ends after
// the last quantizer; padded with zero bytes to whole chunks for encryption.
//
// Blocks hold plaintext quantizers: every buffer made here wipes itself when
// released. Plain functions; safe from any thread.
#ifndef NIVORA_API_QUANTIZER_CACHE_BLOCK_H_
#define NIVORA_API_QUANTIZER_CACHE_BLOCK_H_

#include <cstddef>
#include <cstdint>

#include "core/array2d.h"
#include "encrypted_index/cryptography/secret.h"
#include "vector/quantizer_set.h"

namespace nivora::internal {

inline constexpr size_t kQuantizerCacheChunkSize = 65536;

struct QuantizerBlock {
  // The layout above, zero-padded to chunk_count x kQuantizerCacheChunkSize.
  nivora_encrypted_index::internal::cryptography::SecretVector<uint8_t> bytes;
  size_t plaintext_size = 0;  // length before the padding
  size_t chunk_count = 0;     // at least 1: the header is never empty
};

// Lays out set. Throws std::invalid_argument "Quantizer set cannot be cached"
// when a matrix has more than 2^32 - 1 rows or columns, a codebook's matrix
// has no storage for its size, or an SQ quantizer's min and scale differ in
// length.
QuantizerBlock SerializeQuantizerBlock(const vector_index::QuantizerSet& set);

// A zero-filled block of size bytes as one 64-byte-aligned row, wiped when
// its last owner releases it. Throws std::bad_alloc.
Array2D<unsigned char> AllocateWipedBlock(size_t size);

// The set laid out in the first plaintext_size bytes of block (1 row). Its
// aux_matrix is block; its coarse and PQ centroid matrices point into the
// block and share its owner; SQ ranges are copied. Throws
// std::runtime_error "Quantizer cache block is malformed" when the layout
// does not fit in plaintext_size bytes.
vector_index::QuantizerSet ParseQuantizerBlock(const Array2D<unsigned char>& block,
                                               size_t plaintext_size);

}  // namespace nivora::internal

#endif  // NIVORA_API_QUANTIZER_CACHE_BLOCK_H_
