// The records in which items travel between the Index API and the engine:
// ItemBatch (items to ingest, and every item read back), RetrieveNeighborsResult
// (the candidates of a query) and RetrievedItem (one item read by id).
// Plain values; each owns what it holds. They live in core/ because the
// engine, the rankers' callers and the Index API all pass them around.
#ifndef NIVORA_CORE_ITEM_BATCH_H_
#define NIVORA_CORE_ITEM_BATCH_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "core/array2d.h"

namespace nivora_encrypted_index {

// One row per item of whatever the index type stores and ranks on: bytes
// (8-bit scalar codes), raw float vectors, 16-bit scalar codes, 32-bit
// product-quantizer codes. The engine treats every alternative as rows of
// bytes.
using Payload = std::variant<nivora::Array2D<uint8_t>, nivora::Array2D<float>,
                             nivora::Array2D<uint16_t>, nivora::Array2D<uint32_t>>;

struct ItemBatch {
  std::vector<std::string> ids;                // one per item
  Payload payload;                             // row i belongs to item i; a new batch holds an empty byte matrix
  std::vector<std::vector<uint8_t>> contents;  // one per item, or empty for none
  std::vector<std::string> metadata;           // JSON text, one per item, or empty for none

  // The accessors visit the active matrix (std::bad_variant_access when the
  // variant holds none).
  size_t payload_rows() const;
  // rows x cols is 0.
  bool payload_empty() const;
  // The active matrix as bytes: cols x element size bytes per row.
  nivora::Array2DView<uint8_t> payload_view() const;
  void* payload_data() const;
};

// The rows retrieved for a list of requested centroids: one row per
// position ever handed out in each list, whether an item is still there or
// not. Callers must drop the rows whose row_present is 0 (a deleted item, or
// a position whose ingest failed: the hash of such a row leads nowhere and
// its payload is zero) and keep one row per matching_ids value: an item
// upserted again comes back once per token, every row with its hash carrying
// the same, current payload.
struct RetrieveNeighborsResult {
  std::vector<uint64_t> matching_ids;  // item id hash of every row, in token order
  // k + 1 offsets for k requested centroids: the rows of centroid i are
  // [off[i], off[i + 1]); off[0] = 0.
  std::vector<uint64_t> centroid_to_matching_indices;
  // One decrypted payload row per id; zero when not stored. The engine's
  // rows sit on a block wiped when its last owner releases it (AllocateWiped).
  nivora::Array2D<uint8_t> payloads;
  std::vector<uint8_t> row_present;   // per row: 1 when its item's record is stored, else 0

  RetrieveNeighborsResult() = default;
  RetrieveNeighborsResult(const RetrieveNeighborsResult&) = default;
  RetrieveNeighborsResult& operator=(const RetrieveNeighborsResult&) = default;
  // Moves take over all three fields and leave the source empty.
  RetrieveNeighborsResult(RetrieveNeighborsResult&& other) noexcept;
  RetrieveNeighborsResult& operator=(RetrieveNeighborsResult&& other) noexcept;
};

// One item read by id; fields not asked for, or not stored, are empty.
struct RetrievedItem {
  std::string id;
  std::string metadata;          // decrypted metadata text
  std::vector<uint8_t> vector;   // decrypted payload row; empty when all its bytes are zero
  std::vector<uint8_t> contents; // decrypted contents
};

namespace internal::encrypted_index {

// The bytes of each string, one vector per string, in order.
std::vector<std::vector<uint8_t>> ConvertMetadataToByteVectors(
    const std::vector<std::string>& metadata);

// One vector per row holding the row's cols bytes.
std::vector<std::vector<uint8_t>> ConvertArray2DToVectorOfVectors(
    const nivora::Array2D<uint8_t>& matrix);

}  // namespace internal::encrypted_index
}  // namespace nivora_encrypted_index

#endif  // NIVORA_CORE_ITEM_BATCH_H_
