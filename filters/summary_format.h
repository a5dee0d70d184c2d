// The stored form of metadata summaries: one FlatBuffers buffer per metadata
// field, root table CentroidMetadataTable holding one CentroidSummaryTable per
// centroid in ascending centroid id (schema: centroid_metadata.fbs, no file
// identifier). Bounds equal to the defaults (-9876543211 for min, 9876543211
// for max) and a centroid id of 0 are omitted; value_hashes is always written,
// ascending and without duplicates.
//
// Buffers are verified before they are read, so a damaged buffer is reported
// instead of being read past its end.
//
// Thread-safe: the functions work on their arguments only, except that
// ReadCentroidMetadataBuffers logs through the process-wide logger.
#ifndef NIVORA_FILTERS_SUMMARY_FORMAT_H_
#define NIVORA_FILTERS_SUMMARY_FORMAT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "filters/centroid_summary.h"

namespace nivora {
namespace fb {
struct CentroidMetadataTable;
}  // namespace fb

// Serialises one field's summaries (FlatBuffers builder of initial size 1024;
// each entry adds max, min, value_hashes, centroid_id in that order).
std::vector<uint8_t> SerializeCentroidSummaries(const CentroidSummaryMap& summaries);

// The root table of a non-empty buffer after verification. Throws
// std::runtime_error "Corrupt centroid metadata buffer for field '<name>'"
// when the buffer is not a valid CentroidMetadataTable.
const fb::CentroidMetadataTable* VerifiedCentroidMetadataTable(const std::vector<uint8_t>& buffer,
                                                               const std::string& field_name);

// The summaries of one table by centroid id; absent bounds read as the full
// range, absent hashes as none, a later entry for the same centroid wins. A
// null table or one without entries gives an empty map.
CentroidSummaryMap ReadCentroidMetadataTable(const fb::CentroidMetadataTable* table);

// The summaries of each named field whose buffer is not empty (buffers[i]
// belongs to field_names[i]). An empty buffer logs the WARNING "Warning: Empty
// metadata buffer for field '<name>'." and prints it on standard error; the
// field then gets no entry. Any failure is logged at CRITICAL and thrown as
// std::runtime_error "Error while converting buffer to map of centroid map:
// <reason>".
FieldSummaryMaps ReadCentroidMetadataBuffers(const std::vector<std::string>& field_names,
                                             const std::vector<std::vector<uint8_t>>& buffers);

}  // namespace nivora

#endif  // NIVORA_FILTERS_SUMMARY_FORMAT_H_
