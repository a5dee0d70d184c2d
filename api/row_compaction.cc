// FindLiveRows marks rows in one pass with an open-addressing table from id
// hash to the last list that kept it: rows of a list are contiguous, so a
// hash whose last list is the current one repeats within the list. A large
// batch is split by hash into one part per thread, each with its own table;
// a table is sized to twice its part's rows, so probes stay short. CompactRows builds
// the new vectors aside and swaps them in only when all are complete; the
// payload rows move within their own block when no one else holds it.
#include "api/row_compaction.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/parallel_for.h"

namespace nivora::internal {

namespace {

using nivora_encrypted_index::RetrieveNeighborsResult;

constexpr size_t kNoList = std::numeric_limits<size_t>::max();
// Rows from which FindLiveRows splits its work over the team.
constexpr size_t kParallelLiveRows = size_t{1} << 15;

// Presence flags may be absent (empty) only where they are not read.
void CheckShape(const RetrieveNeighborsResult& result, bool need_presence) {
  const size_t rows = result.matching_ids.size();
  const bool presence_ok =
      result.row_present.size() == rows || (!need_presence && result.row_present.empty());
  if (!presence_ok || result.rows() != rows) {
    throw std::runtime_error("Retrieved rows are inconsistent: " + std::to_string(rows) +
                             " ids, " + std::to_string(result.row_present.size()) +
                             " presence flags, " + std::to_string(result.rows()) +
                             " payload rows");
  }
  const auto& off = result.centroid_to_matching_indices;
  if (off.empty()) {
    if (rows == 0) return;
  } else if (off.front() == 0 && off.back() == rows &&
             std::is_sorted(off.begin(), off.end())) {
    return;
  }
  throw std::runtime_error("Retrieved rows are inconsistent: list offsets do not cover the " +
                           std::to_string(rows) + " rows");
}

// Spreads the bits of an id hash over the table (splitmix64 finaliser).
inline uint64_t Mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// Id hash -> the last list in which a row of it was kept.
class LastListTable {
 public:
  explicit LastListTable(size_t rows)
      : mask_(std::bit_ceil(std::max<size_t>(rows * 2, 16)) - 1),
        keys_(mask_ + 1),
        lists_(mask_ + 1, kNoList) {}

  // The slot of hash: its own, or the empty slot where it would go.
  size_t Find(uint64_t hash) const {
    size_t slot = Mix(hash) & mask_;
    while (lists_[slot] != kNoList && keys_[slot] != hash) slot = (slot + 1) & mask_;
    return slot;
  }
  bool occupied(size_t slot) const { return lists_[slot] != kNoList; }
  size_t list(size_t slot) const { return lists_[slot]; }
  void Set(size_t slot, uint64_t hash, size_t list) {
    keys_[slot] = hash;
    lists_[slot] = list;
  }

 private:
  size_t mask_;
  std::vector<uint64_t> keys_;
  std::vector<size_t> lists_;
};

// Marks, in rows of the hash partition `part` of `parts`, what FindLiveRows
// keeps; returns the rows kept and the distinct hashes among them. Rows of
// other partitions are left alone, so partitions may run at once.
std::pair<size_t, size_t> MarkPartition(const RetrieveNeighborsResult& result, size_t part,
                                        size_t parts, std::vector<uint8_t>& keep) {
  const auto& off = result.centroid_to_matching_indices;
  const auto mine = [&](uint64_t hash) { return parts == 1 || (Mix(hash) >> 40) % parts == part; };
  // The table is sized to the part's rows: every row when there is one part.
  size_t rows = result.matching_ids.size();
  if (parts > 1) {
    rows = 0;
    for (size_t r = 0; r < result.matching_ids.size(); ++r) {
      rows += result.row_present[r] != 0 && mine(result.matching_ids[r]);
    }
  }
  LastListTable table(rows);
  size_t kept = 0;
  size_t distinct = 0;
  for (size_t list = 0; list + 1 < off.size(); ++list) {
    for (size_t r = off[list]; r < off[list + 1]; ++r) {
      if (result.row_present[r] == 0) continue;
      const uint64_t hash = result.matching_ids[r];
      if (!mine(hash)) continue;
      const size_t slot = table.Find(hash);
      if (table.occupied(slot)) {
        if (table.list(slot) == list) continue;  // the same item again in this list
      } else {
        ++distinct;
      }
      table.Set(slot, hash, list);
      keep[r] = 1;
      ++kept;
    }
  }
  return {kept, distinct};
}

}  // namespace

LiveRows FindLiveRows(const RetrieveNeighborsResult& result) {
  CheckShape(result, true);
  const size_t rows = result.matching_ids.size();
  LiveRows live;
  live.keep.assign(rows, 0);
  if (rows == 0) return live;
  // Whether a row is kept depends on its hash alone (and the rows of the
  // same hash): a large batch is split by hash over the team, each part
  // with a table small enough to stay in cache.
  const size_t parts = rows < kParallelLiveRows ? 1 : static_cast<size_t>(ThreadCount());
  std::vector<std::pair<size_t, size_t>> counts(parts);
  ParallelForDynamic(parts, [&](size_t part) {
    counts[part] = MarkPartition(result, part, parts, live.keep);
  });
  size_t distinct = 0;
  for (const auto& [kept, unique] : counts) {
    live.kept += kept;
    distinct += unique;
  }
  live.repeated_across_lists = live.kept - distinct;
  return live;
}

void CompactRows(RetrieveNeighborsResult& result, std::vector<std::string>* metadata,
                 const std::vector<uint8_t>& keep) {
  CheckShape(result, false);
  const size_t rows = result.matching_ids.size();
  if (keep.size() != rows || (metadata != nullptr && metadata->size() != rows)) {
    throw std::invalid_argument("Row compaction needs one flag and one metadata text per row");
  }
  const size_t kept = static_cast<size_t>(std::count_if(keep.begin(), keep.end(),
                                                        [](uint8_t k) { return k != 0; }));
  if (kept == rows) return;

  // Rows still to be read (read_payloads) have no payload here to move.
  const bool with_payloads = !result.read_payloads;
  const size_t width = with_payloads ? result.payloads.cols : 0;
  std::vector<uint64_t> ids;
  ids.reserve(kept);
  const bool with_presence = !result.row_present.empty();
  std::vector<uint8_t> present;
  if (with_presence) present.reserve(kept);
  std::vector<std::string> texts;
  if (metadata != nullptr) texts.reserve(kept);
  // Rows only move towards the front, so a block no one else shares is
  // compacted in place; a shared one is copied.
  const bool in_place = !with_payloads || result.payloads.owner.use_count() == 1;
  nivora::Array2D<uint8_t> payloads =
      in_place ? result.payloads : Array2D<uint8_t>::Wiped(kept, width);  // plaintext rows
  for (size_t r = 0; r < rows; ++r) {
    if (keep[r] == 0) continue;
    ids.push_back(result.matching_ids[r]);
    if (with_presence) present.push_back(result.row_present[r]);
    if (metadata != nullptr) texts.push_back((*metadata)[r]);
  }
  // Nothing below throws.
  for (size_t r = 0, j = 0; r < rows; ++r) {
    if (keep[r] == 0) continue;
    if (width != 0 && (!in_place || j != r)) std::memmove(payloads.row(j), result.payloads.row(r), width);
    ++j;
  }
  if (with_payloads) payloads.rows = kept;

  // Each requested centroid keeps its place; its range counts its survivors.
  std::vector<uint64_t> offsets = result.centroid_to_matching_indices;
  uint64_t survivors = 0;
  for (size_t i = 0; i + 1 < offsets.size(); ++i) {
    const uint64_t begin = result.centroid_to_matching_indices[i];
    const uint64_t end = result.centroid_to_matching_indices[i + 1];
    offsets[i] = survivors;
    for (uint64_t r = begin; r < end; ++r) survivors += keep[r] != 0 ? 1 : 0;
  }
  if (!offsets.empty()) offsets.back() = survivors;

  result.matching_ids = std::move(ids);
  result.row_present = std::move(present);
  result.payloads = std::move(payloads);
  result.centroid_to_matching_indices = std::move(offsets);
  if (metadata != nullptr) *metadata = std::move(texts);
}

}  // namespace nivora::internal
