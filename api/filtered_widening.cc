// RetrieveWidening: a filtered query with the automatic n_probes.
//
// The adaptive count budgets for unfiltered lists, where every item is a
// candidate; under a filter few may match. So every query starts with the
// count its batch would probe unfiltered, taken among the lists the filter
// allows (nearest first). A query is short while it has fewer than top_k
// results, or while its k-th result is farther than the nearest allowed
// list it has not probed: items sit around their centre, so a list whose
// centre is nearer than the k-th result may hold nearer matches (stopping at
// the first top_k matches misses them). The short queries double the count,
// pass after pass, until none is short or the allowed lists are used up.
// Passes run without the greedy widening, which only doubles the start.
//
// A pass fetches only the lists that no earlier pass fetched and ranks each
// query over the lists new to it, merging into its results so far, so a
// query ends with the results of one pass over every list it probed. In a
// batch a list new to one query may have been fetched for another one: the
// filtered rows of every list fetched are kept (ids, presence, metadata,
// never decrypted payloads), and such a pass ranks a copy of the rows of its
// lists rather than fetching them again.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "api/encrypted_index.h"
#include "api/row_compaction.h"
#include "vector/centroid_selection.h"
#include "vector/ranking_results.h"

namespace nivora {

namespace {

namespace vi = internal::vector_index;
using Candidates = EncryptedIndex::Candidates;

constexpr uint32_t kUnread = std::numeric_limits<uint32_t>::max();

// The rows of queries named by `which`, in that order.
Array2D<float> RowsOf(const Array2D<float>& queries, const std::vector<size_t>& which) {
  Array2D<float> rows(which.size(), queries.cols);
  for (size_t a = 0; a < which.size(); ++a) {
    std::copy(queries.row(which[a]), queries.row(which[a]) + queries.cols, rows.row(a));
  }
  return rows;
}

size_t Ranges(const Candidates& c) { return c.rows.centroid_to_matching_indices.size() - 1; }

// Appends an empty range (a list without rows) and returns its position.
uint32_t AddEmptyRange(Candidates& c) {
  std::vector<uint64_t>& off = c.rows.centroid_to_matching_indices;
  off.push_back(off.back());
  return static_cast<uint32_t>(off.size() - 2);
}

// Moves the rows and ranges of `more` behind those of `all`.
void Append(Candidates& all, Candidates&& more) {
  auto& to = all.rows;
  auto& from = more.rows;
  const uint64_t base = to.matching_ids.size();
  to.matching_ids.insert(to.matching_ids.end(), from.matching_ids.begin(),
                         from.matching_ids.end());
  to.row_present.insert(to.row_present.end(), from.row_present.begin(), from.row_present.end());
  for (size_t i = 1; i < from.centroid_to_matching_indices.size(); ++i) {
    to.centroid_to_matching_indices.push_back(base + from.centroid_to_matching_indices[i]);
  }
  std::move(more.metadata.begin(), more.metadata.end(), std::back_inserter(all.metadata));
  all.repeated += more.repeated;
  if (from.matching_ids.empty()) return;
  if (from.read_payloads) {
    // Rows read as they are ranked: only the reader and the row width join.
    if (!to.read_payloads) to.read_payloads = from.read_payloads;
    to.payloads.cols = from.payloads.cols;
    return;
  }
  // Rows held decrypted (an IVF index's, mostly without bytes) join a new
  // wiped block.
  const size_t width = from.payloads.cols;
  Array2D<uint8_t> joined = Array2D<uint8_t>::Wiped(to.payloads.rows + from.payloads.rows, width);
  if (width != 0) {
    std::copy(to.payloads.data, to.payloads.data + to.payloads.rows * width, joined.data);
    std::copy(from.payloads.data, from.payloads.data + from.payloads.rows * width,
              joined.row(to.payloads.rows));
  }
  to.payloads = std::move(joined);
}

// A copy of all keeping only the rows of the ranges marked in `wanted`
// (every range keeps its place).
Candidates RowsOfRanges(const Candidates& all, const std::vector<uint8_t>& wanted) {
  Candidates view = all;
  const std::vector<uint64_t>& off = all.rows.centroid_to_matching_indices;
  std::vector<uint8_t> keep(all.rows.matching_ids.size(), 0);
  for (size_t r = 0; r + 1 < off.size(); ++r) {
    if (wanted[r]) std::fill(keep.begin() + off[r], keep.begin() + off[r + 1], 1);
  }
  internal::CompactRows(view.rows, view.metadata.empty() ? nullptr : &view.metadata, keep);
  return view;
}

// The lists of one pass: for each query still short, the allowed lists
// (rows of the pre-filter's copy) among its n nearest that it probes now for
// the first time, nearest first, with their distances; and the distance of
// its nearest list beyond those n (infinite when none is left).
struct PassLists {
  std::vector<std::vector<uint32_t>> lists;
  std::vector<std::vector<float>> distances;
  std::vector<float> beyond;
};

PassLists NewLists(const vi::CentroidSelection& sel, size_t n, const std::vector<size_t>& active,
                   std::vector<std::vector<uint32_t>>& probed) {
  PassLists pass;
  pass.lists.resize(active.size());
  pass.distances.resize(active.size());
  pass.beyond.assign(active.size(), std::numeric_limits<float>::infinity());
  const size_t taken = std::min(n, sel.query_lists.cols);
  for (size_t a = 0; a < active.size(); ++a) {
    std::vector<uint32_t>& seen = probed[active[a]];  // ascending
    for (size_t j = 0; j < taken; ++j) {
      const uint32_t list = sel.probed_lists[sel.query_lists.row(a)[j]];
      if (std::binary_search(seen.begin(), seen.end(), list)) continue;
      pass.lists[a].push_back(list);
      pass.distances[a].push_back(sel.query_distances.row(a)[j]);
    }
    if (taken < sel.query_lists.cols) pass.beyond[a] = sel.query_distances.row(a)[taken];
    const size_t old = seen.size();
    seen.insert(seen.end(), pass.lists[a].begin(), pass.lists[a].end());
    std::sort(seen.begin() + static_cast<std::ptrdiff_t>(old), seen.end());
    std::inplace_merge(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(old), seen.end());
  }
  return pass;
}

// Whether query q needs more lists: fewer than top_k results, or a k-th
// result farther than the nearest list it has not probed, where nearer
// matches may lie.
bool Short(const vi::RankingResults& merged, size_t q, uint32_t top_k, float beyond) {
  if (merged.num_results[q] < top_k) return true;
  const float kth = merged.distances[q][top_k - 1];
  return !(kth <= beyond);
}

// The ranker's selection of a pass: row a holds the positions (slot[list] -
// offset) of query a's new lists, a query with fewer padded with `pad`, an
// empty range.
vi::CentroidSelection PassSelection(const PassLists& pass, const std::vector<uint32_t>& slot,
                                    uint32_t offset, uint32_t pad, bool with_distances) {
  // Every pass selects with distances; only the IVF ranker reads them.
  size_t width = 0;
  for (const auto& lists : pass.lists) width = std::max(width, lists.size());
  vi::CentroidSelection sel;
  sel.n_queries = pass.lists.size();
  sel.query_lists = Array2D<uint32_t>(sel.n_queries, width);
  if (with_distances) sel.query_distances = Array2D<float>(sel.n_queries, width);
  for (size_t a = 0; a < sel.n_queries; ++a) {
    for (size_t j = 0; j < width; ++j) {
      const bool real = j < pass.lists[a].size();
      sel.query_lists.row(a)[j] = real ? slot[pass.lists[a][j]] - offset : pad;
      if (with_distances) sel.query_distances.row(a)[j] = real ? pass.distances[a][j] : 0.0f;
    }
  }
  return sel;
}

bool NeedsPadding(const PassLists& pass) {
  for (const auto& lists : pass.lists) {
    if (lists.size() != pass.lists.front().size()) return true;
  }
  return false;
}

// Merges entry a of `pass` into entry q of `merged`: both nearest first; the
// union keeps each id once, at its nearer place, and at most top_k entries.
void MergeQuery(vi::RankingResults& merged, size_t q, vi::RankingResults& pass, size_t a,
                uint32_t top_k, bool with_metadata, std::unordered_set<uint64_t>& seen) {
  auto& ids = merged.ids[q];
  auto& distances = merged.distances[q];
  auto& metadata = merged.metadata[q];
  auto& more_ids = pass.ids[a];
  auto& more_distances = pass.distances[a];
  auto& more_metadata = pass.metadata[a];
  std::vector<uint64_t> out_ids;
  std::vector<float> out_distances;
  std::vector<std::string> out_metadata;
  out_ids.reserve(top_k);
  out_distances.reserve(top_k);
  seen.clear();
  size_t i = 0, j = 0;
  while (out_ids.size() < top_k && (i < ids.size() || j < more_ids.size())) {
    const bool mine = j >= more_ids.size() || (i < ids.size() && distances[i] <= more_distances[j]);
    const size_t k = mine ? i++ : j++;
    const uint64_t id = mine ? ids[k] : more_ids[k];
    if (!seen.insert(id).second) continue;
    out_ids.push_back(id);
    out_distances.push_back(mine ? distances[k] : more_distances[k]);
    if (with_metadata) out_metadata.push_back(std::move(mine ? metadata[k] : more_metadata[k]));
  }
  ids = std::move(out_ids);
  distances = std::move(out_distances);
  metadata = std::move(out_metadata);
  merged.num_results[q] = static_cast<uint32_t>(ids.size());
}

}  // namespace

QueryResult EncryptedIndex::RetrieveWidening(const Array2D<float>& queries,
                                             const QueryParams& params,
                                             const PreFilterResult& pre) {
  logger_->log(INFO, "Retrieve");
  const size_t allowed = pre.centroid_ids.size();
  const IndexType kind = index_config_->index_type_;
  const uint32_t top_k = static_cast<uint32_t>(params.top_k);
  const bool with_distances = kind == IndexType::IVF;
  // The rankers but IVF's carry the metadata of their results when asked.
  const bool carry_metadata = kind != IndexType::IVF &&
                              std::find(params.include.begin(), params.include.end(),
                                        ItemFields::METADATA) != params.include.end();
  // greedy doubles the start, as its factor of 1 widens an unfiltered count.
  const size_t start = UnfilteredProbeCount(queries, params.top_k);
  size_t n = std::min(allowed, params.greedy ? 2 * start : start);

  vi::RankingResults merged(queries.rows, 0);
  std::vector<size_t> active(queries.rows);  // the queries still short of top_k
  std::iota(active.begin(), active.end(), size_t{0});
  std::vector<std::vector<uint32_t>> probed(queries.rows);
  Candidates read;  // the filtered rows of every list fetched, in fetching order
  read.rows.centroid_to_matching_indices = {0};
  std::vector<uint32_t> slot(allowed, kUnread);  // allowed list -> its range in `read`
  std::unordered_set<uint64_t> seen;
  size_t fetched = 0, passes = 0;

  while (n != 0 && !active.empty()) {
    const Array2D<float> batch = RowsOf(queries, active);
    QueryParams step = params;
    step.n_probes = std::min(allowed, n + 1);  // one more, to see how far the next list is
    step.greedy = false;                        // the widening widens
    const PassLists pass =
        NewLists(SelectLists(batch, pre, step, /*with_distances=*/true), n, active, probed);

    const uint32_t base = static_cast<uint32_t>(Ranges(read));
    std::vector<uint32_t> fetch;
    bool all_new = true;
    for (const auto& lists : pass.lists) {
      for (uint32_t list : lists) {
        if (slot[list] == kUnread) {
          slot[list] = base + static_cast<uint32_t>(fetch.size());
          fetch.push_back(pre.centroid_ids[list]);
        } else {
          all_new = all_new && slot[list] >= base;
        }
      }
    }
    Candidates fresh;
    if (!fetch.empty()) fresh = FetchCandidates(fetch, kind, params.filters);
    // A filter that keeps no row leaves no ranges either.
    fresh.rows.centroid_to_matching_indices.resize(fetch.size() + 1, 0);
    fetched += fetch.size();
    ++passes;

    // Rank the fresh rows themselves when the pass needs no others; else a
    // copy of the rows of the pass's lists among everything fetched.
    Candidates gathered;
    Candidates* ranked = &fresh;
    uint32_t offset = base;
    if (!all_new) {
      Append(read, std::move(fresh));
      fresh = Candidates();
      std::vector<uint8_t> wanted(Ranges(read), 0);
      for (const auto& lists : pass.lists) {
        for (uint32_t list : lists) wanted[slot[list]] = 1;
      }
      gathered = RowsOfRanges(read, wanted);
      ranked = &gathered;
      offset = 0;
    }
    const bool padded = NeedsPadding(pass);
    const uint32_t pad = padded ? AddEmptyRange(*ranked) : 0;
    if (!ranked->rows.matching_ids.empty()) {
      const vi::CentroidSelection sel = PassSelection(pass, slot, offset, pad, with_distances);
      const Array2DView<float> view(batch.data, batch.rows, batch.cols);
      vi::RankingResults ranking = RankCandidates(kind, *ranked, sel, view, params);
      for (size_t a = 0; a < active.size(); ++a) {
        MergeQuery(merged, active[a], ranking, a, top_k, carry_metadata, seen);
      }
    }
    if (all_new) {
      if (padded) fresh.rows.centroid_to_matching_indices.pop_back();
      Append(read, std::move(fresh));
    }

    std::vector<size_t> still;
    for (size_t a = 0; a < active.size(); ++a) {
      if (Short(merged, active[a], top_k, pass.beyond[a])) still.push_back(active[a]);
    }
    active = std::move(still);
    if (n >= allowed) break;
    n = std::min(allowed, 2 * n);
  }
  logger_->log(INFO, "Filtered probing: " + std::to_string(fetched) + " of " +
                         std::to_string(allowed) + " allowed lists read in " +
                         std::to_string(passes) + " passes");
  return FinishResult(std::move(merged), params, kind);
}

}  // namespace nivora
