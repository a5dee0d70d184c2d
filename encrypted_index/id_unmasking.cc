#include "encrypted_index/id_unmasking.h"

#include <stdexcept>
#include <string>

#include "core/little_endian.h"
#include "core/log_and_throw.h"
#include "core/logger.h"
#include "encrypted_index/stored_layout.h"

namespace nivora_encrypted_index::internal::encrypted_index {

std::vector<uint64_t> DecryptItemIdSHAs(const nivora::Array2D<uint8_t>& rows, const uint64_t* pads,
                                        size_t n_pads) {
  nivora::Logger& log = *GetLogger();
  if (rows.rows != 0 && rows.cols != kIndexValueSize) {
    log.error("Invalid encrypted item ID size\nExpected: " + std::to_string(kIndexValueSize) +
              "\nActual: " + std::to_string(rows.cols));
    throw std::invalid_argument("Invalid encrypted item ID size");
  }
  if (n_pads < rows.rows) {
    log.error("value_hashes size mismatch\nExpected at least: " + std::to_string(rows.rows) +
              "\nActual: " + std::to_string(n_pads));
    throw std::invalid_argument(
        "value_hashes size must be at least the number of encrypted_item_id_SHAs rows");
  }
  std::vector<uint64_t> hashes(rows.rows);
  for (size_t i = 0; i < rows.rows; ++i) {
    hashes[i] = nivora::LoadLittleEndian<uint64_t>(rows.row(i)) ^ pads[i];
  }
  return hashes;
}

std::vector<uint64_t> DecryptItemIdSHAs(const nivora::Array2D<uint8_t>& rows,
                                        const std::vector<uint64_t>& value_hashes) {
  return DecryptItemIdSHAs(rows, value_hashes.data(), value_hashes.size());
}

}  // namespace nivora_encrypted_index::internal::encrypted_index
