// Row compaction of a query's retrieved candidates. The engine hands back one
// row per position ever assigned in each probed list; before ranking, a query
// keeps only some of them: rows whose item is still stored, one row per item
// within a list, and (with a filter) rows whose metadata matches. Every such
// narrowing goes through CompactRows, which keeps the chosen rows in order
// and shrinks each requested centroid's row range to its survivors.
//
// Plain functions on the caller's records; no state, no locks.
#ifndef NIVORA_API_ROW_COMPACTION_H_
#define NIVORA_API_ROW_COMPACTION_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/item_batch.h"

namespace nivora::internal {

// Which retrieved rows stand for a live item: keep[r] is 1 for a row whose
// item is stored (row_present) and that is the first row of its id hash
// within its requested centroid's range. An item upserted again into another
// list keeps one row in each list it has a token in: repeated_across_lists
// counts those extra rows (kept rows minus distinct id hashes), so a caller
// whose query probes several lists can tell how many results may repeat.
struct LiveRows {
  std::vector<uint8_t> keep;
  size_t kept = 0;
  size_t repeated_across_lists = 0;
};

// Throws std::runtime_error when the result's per-row vectors (ids,
// presence, payload rows) differ in length or its offsets do not describe
// rows [0, ids) in non-decreasing order.
LiveRows FindLiveRows(const nivora_encrypted_index::RetrieveNeighborsResult& result);

// Keeps the rows r of result (ids, payload rows unless they are still to be
// read, presence flags) and of
// metadata (when it is not null) with keep[r] != 0, in their order; each
// requested centroid keeps its place with the range of its surviving rows.
// keep has one entry per row; metadata, when given, one text per row (the
// caller checks). Throws std::runtime_error for inconsistent rows as
// FindLiveRows does (presence flags may be absent here) and
// std::invalid_argument for flags or texts of another count. All or nothing: on an exception nothing has changed.
void CompactRows(nivora_encrypted_index::RetrieveNeighborsResult& result,
                 std::vector<std::string>* metadata, const std::vector<uint8_t>& keep);

}  // namespace nivora::internal

#endif  // NIVORA_API_ROW_COMPACTION_H_
