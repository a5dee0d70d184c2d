// Per-centroid summaries of item metadata: how one item's JSON document
// becomes summaries (one CentroidSummary per field occurrence, fields named by
// dotted paths), and how a batch's summaries are merged into the stored
// buffers of each field (summary_format.h).
//
// A number records itself as the range; a string or boolean records its
// CRC-32 (hash of the text, or of "true" / "false") with the full range; an
// array records the CRC-32 of its compact serialisation, the hashes of its
// string and boolean elements and the range of its numeric elements; null and
// objects record nothing but their presence. Members of nested objects, and
// of objects inside arrays, become fields "<name>.<key>".
//
// Thread-safe: functions work on their arguments only (errors are logged
// through the process-wide logger).
#ifndef NIVORA_FILTERS_METADATA_SUMMARY_H_
#define NIVORA_FILTERS_METADATA_SUMMARY_H_

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "filters/centroid_summary.h"

namespace nivora {

// zlib's CRC-32 of the bytes of text.
uint32_t HashText(std::string_view text);
// The hash of a boolean: CRC-32 of "true" or "false".
uint32_t HashBoolean(bool value);

// Adds the summaries of value for centroid_id: every field name met goes into
// field_names, every field occurrence appends one summary to its list in
// summaries. prefix is "" for a whole document, whose members are named by
// their keys; below it every key extends the path, so {"": {"b": 1}} yields
// "" and ".b". A scalar value adds nothing; an array is summarised element by
// element with the same prefix. Values nested deeper than 64 levels are
// refused before anything is added. Any failure is logged at CRITICAL
// as "Error while retrieving keys and metadata centroid map: <reason>" and
// thrown as std::runtime_error with that text, once per level it passes.
void SummarizeMetadataDocument(const nlohmann::json& value, std::set<std::string>& field_names,
                               uint32_t centroid_id, FieldSummaryLists& summaries,
                               const std::string& prefix);

// For each field name, the buffer to store: stored_buffers[i] unchanged when
// it already covers every new summary of field_names[i] (same centroid, range
// inside, hashes present), otherwise the stored summaries with the new ones
// folded in, serialised anew. Folding widens the range (summaries carrying
// exactly the full range, i.e. single strings and booleans, leave it alone)
// and unites the hashes. Throws std::invalid_argument when the two vectors
// differ in length and std::runtime_error for a damaged stored buffer.
std::vector<std::vector<uint8_t>> MergeCentroidSummaries(
    const std::vector<std::string>& field_names,
    const std::vector<std::vector<uint8_t>>& stored_buffers, const FieldSummaryLists& summaries);

}  // namespace nivora

#endif  // NIVORA_FILTERS_METADATA_SUMMARY_H_
