// The one ranking driver behind the IVFFlat, IVFSQ and IVFPQ rankers: it
// walks each query's probed lists, offers every candidate to the query's
// bounded top-k heap and writes the heaps out; the index type contributes
// only a Scorer, chosen once per call.
//
// Paths:
//  - per query: one parallel iteration per query (dynamic, chunk 1); the
//    query's lists in probe order (nearest first), rows ascending;
//  - flattened: one query with at least kFlattenMinCandidates candidates is
//    cut into chunks of kFlattenChunk rows scored in parallel into one heap
//    per thread, merged at the end. Every chunk is block-scored;
//  - list-major: when the rows are read on demand (RankingCall::reader), the
//    candidate rows are cut into tasks of whole lists (a long list into
//    pieces); a thread reads and decrypts a task's rows into its own small
//    buffer, scores each list once for every query that probes it, offers
//    the rows whose record is stored to its own heap of each query, and
//    wipes the buffer. The heaps of each query are merged at the end, in
//    the same parallel region. No plaintext of the whole batch is held.
//
// Scorer concept (a policy struct, copied per thread where needed):
//   using Query = ...;                       // per-query state, copyable
//   Query Prepare(size_t q) const;           // query q's precomputation
//   void ScoreList(Query&, size_t first, size_t count, float* out) const;
//     // distances of rows [first, first + count) of one list; the scorer
//     // decides between row and block scoring
//   void ScoreBlock(Query&, size_t first, size_t count, float* out) const;
//     // the same rows, always as a block (flattened path)
//   static constexpr bool kScoresMany;     // whether it has ScoreListMany:
//   void ScoreListMany(Query* const* qs, size_t u, size_t first, size_t count,
//                      float* const* outs) const;
//     // ScoreList for u queries over one list (outs[j] for *qs[j]), sharing
//     // the reading of the rows: one matrix product instead of u
//   using Scratch = ...;                     // one thread's scoring buffers
//   Scorer OnRows(const uint8_t* rows, size_t count) const;
//     // the scorer over `count` rows held at rows (row 0 there); throws for
//     // rows it cannot score (list-major path)
//   void ScoreListManyWith(const Query* const* qs, size_t u, Scratch&,
//                          size_t first, size_t count, float* const* outs) const;
//     // ScoreListMany reading the queries only (list-major path)
//
// A scorer with ScoreListMany ranks several queries in groups (grouped
// path): each list probed by the group is scored once for all its queries
// into per-query buffers, which are then offered in each query's own probe
// order, so the offers, and hence the results, are those of the per-query
// path (up to rounding in the last bits of block-scored distances).
//
// Every input is validated once per call by CheckRankingInputs, before any
// loop, so the loops only read within bounds. Thread-safety: a call only
// reads its inputs and writes its own RankingResults.
#ifndef NIVORA_VECTOR_RANKING_DRIVER_H_
#define NIVORA_VECTOR_RANKING_DRIVER_H_

#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <openssl/crypto.h>

#include "core/array2d.h"
#include "core/item_batch.h"
#include "core/parallel_for.h"
#include "vector/centroid_selection.h"
#include "vector/ranking_results.h"
#include "vector/top_k.h"

namespace nivora::internal::vector_index {

inline constexpr size_t kFlattenMinCandidates = 5000;
inline constexpr size_t kFlattenChunk = 1024;
// Grouped path: at most this many queries per group, and per-group distance
// buffers of at most kGroupBufferFloats floats (16 MiB).
inline constexpr size_t kMaxGroup = 64;
inline constexpr size_t kGroupBufferFloats = size_t{1} << 22;
// List-major path: rows per task (one store read each), at most
// kMaxTaskRows; about kTasksPerThread tasks per thread, so that threads
// that wake early take the tasks of those that wake late, but at least
// kMinTaskRows rows (a store read and a cipher context per task); up to
// kSerialRankRows rows in all, one task on the calling thread; queries
// scored together over one list, at most kMaxGroup.
inline constexpr size_t kMinTaskRows = 32;
inline constexpr size_t kMaxTaskRows = 1000;
inline constexpr size_t kTasksPerThread = 4;
inline constexpr size_t kSerialRankRows = 256;

// Rows per block for block scoring: 2048 / dim (2048 when dim is 0).
inline size_t BlockThreshold(size_t dim) { return dim == 0 ? 2048 : 2048 / dim; }

// The ranker's text for a list whose end row lies beyond the payload rows.
using EndMessageFn = std::string (*)(uint64_t start, uint64_t end, size_t rows);

// Everything the driver reads of one call.
struct RankingCall {
  const char* name = "";                         // the ranker's name in messages
  const CentroidSelection* selection = nullptr;
  const std::vector<uint64_t>* ids = nullptr;    // matching_ids, one per payload row
  const std::vector<uint64_t>* offsets = nullptr;  // centroid_to_matching_indices
  size_t rows = 0;                               // payload rows
  size_t query_rows = 0;                         // rows of the query matrix
  const std::vector<std::string>* metadata = nullptr;
  bool with_metadata = false;
  bool take_sqrt = false;
  uint32_t k = 0;
  EndMessageFn end_message = nullptr;
  // When set, the payload rows are read through it, list by list (rows of
  // row_bytes bytes); else they lie in place where the scorer reads them.
  const nivora_encrypted_index::PayloadReader* reader = nullptr;
  size_t row_bytes = 0;
  // With a reader: the rows to score (non-zero), or every row when null.
  const std::vector<uint8_t>* present = nullptr;
};

// The checks shared by every ranker, logged at ERROR and thrown:
//  - std::invalid_argument "Matching IDs and embeddings have different sizes"
//    when the payload rows differ from the ids in number;
//  - std::invalid_argument "<name>: metadata.size() (<m>) < rows (<n>)" when
//    metadata is requested and holds fewer texts than rows;
//  - std::invalid_argument when the query matrix or query_lists has fewer
//    rows than the selection has queries, or rows exceed 2^32 - 1;
//  - every list position of every query: CheckCentroidIndex, then
//    std::out_of_range "<name>: centroid_to_matching_indices decreases at
//    position (<p>)" for offsets that run backwards, then
//    std::out_of_range end_message(...) for an end beyond the rows.
void CheckRankingInputs(const RankingCall& call);

bool UseFlattenedPath(const RankingCall& call);

// Queries per group of the grouped path: as many as keep every group's
// buffers within kGroupBufferFloats, at most kMaxGroup; 1 means no grouping.
size_t GroupSize(const RankingCall& call);

// Offers candidate rows [start, start + count) with their distances.
inline void OfferRows(std::vector<TopKEntry>& heap, uint32_t k, const std::vector<uint64_t>& ids,
                      size_t start, size_t count, const float* distances) {
  for (size_t i = 0; i < count; ++i) {
    const size_t r = start + i;
    cpu::OfferTopK(heap, k, {ids[r], distances[i], static_cast<uint32_t>(r)});
  }
}

template <typename Scorer>
void RankPerQuery(const RankingCall& call, const Scorer& scorer, RankingResults& results) {
  const CentroidSelection& sel = *call.selection;
  const std::vector<uint64_t>& ids = *call.ids;
  const std::vector<uint64_t>& off = *call.offsets;
  ParallelForDynamic(sel.n_queries, [&](size_t q) {
    std::vector<TopKEntry> heap;
    heap.reserve(call.k);
    std::vector<float> distances;
    typename Scorer::Query query = scorer.Prepare(q);
    const uint32_t* positions = sel.query_lists.cols != 0 ? sel.query_lists.row(q) : nullptr;
    for (size_t j = 0; j < sel.query_lists.cols; ++j) {
      const uint64_t start = off[positions[j]];
      const size_t count = static_cast<size_t>(off[positions[j] + 1] - start);
      if (count == 0) continue;
      distances.resize(std::max(distances.size(), count));
      scorer.ScoreList(query, static_cast<size_t>(start), count, distances.data());
      OfferRows(heap, call.k, ids, static_cast<size_t>(start), count, distances.data());
    }
    cpu::WriteHeapToResults(SlotOf(results, q), heap, *call.metadata, call.with_metadata,
                            call.take_sqrt);
  });
}

// The per-thread scratch of the grouped path, reused from group to group.
struct GroupScratch {
  std::vector<size_t> segment;  // buffer offset of every (query, probe column)
  std::vector<uint64_t> users;  // (list position << 32) | segment index, sorted
  std::vector<float> buffer;    // the group's distances, segment by segment
  std::vector<TopKEntry> heap;
};

// Scores every list probed by queries [q0, q0 + ng) once for all of them,
// then offers each query's distances in its own probe order.
template <typename Scorer>
void RankGroup(const RankingCall& call, const Scorer& scorer, size_t q0, size_t ng,
               GroupScratch& scratch, RankingResults& results) {
  const CentroidSelection& sel = *call.selection;
  const std::vector<uint64_t>& off = *call.offsets;
  const size_t cols = sel.query_lists.cols;
  std::vector<typename Scorer::Query> queries;
  queries.reserve(ng);
  for (size_t g = 0; g < ng; ++g) queries.push_back(scorer.Prepare(q0 + g));
  std::vector<size_t>& segment = scratch.segment;
  std::vector<uint64_t>& users = scratch.users;
  segment.assign(ng * cols + 1, 0);
  users.resize(ng * cols);
  for (size_t g = 0; g < ng; ++g) {
    for (size_t j = 0; j < cols; ++j) {
      const size_t s = g * cols + j;
      const uint32_t p = sel.query_lists.row(q0 + g)[j];
      segment[s + 1] = segment[s] + static_cast<size_t>(off[p + 1] - off[p]);
      users[s] = (uint64_t{p} << 32) | s;
    }
  }
  std::sort(users.begin(), users.end());
  if (scratch.buffer.size() < segment.back()) scratch.buffer.resize(segment.back());
  float* buffer = scratch.buffer.data();
  std::vector<typename Scorer::Query*> list_queries;
  std::vector<float*> list_outs;
  for (size_t a = 0; a < users.size();) {
    const uint32_t p = static_cast<uint32_t>(users[a] >> 32);
    list_queries.clear();
    list_outs.clear();
    for (; a < users.size() && (users[a] >> 32) == p; ++a) {
      const size_t s = static_cast<size_t>(users[a] & 0xFFFFFFFFu);
      list_queries.push_back(&queries[s / cols]);
      list_outs.push_back(buffer + segment[s]);
    }
    const size_t count = static_cast<size_t>(off[p + 1] - off[p]);
    if (count != 0) {
      scorer.ScoreListMany(list_queries.data(), list_queries.size(), static_cast<size_t>(off[p]),
                           count, list_outs.data());
    }
  }
  for (size_t g = 0; g < ng; ++g) {
    for (size_t j = 0; j < cols; ++j) {
      const size_t s = g * cols + j;
      const uint32_t p = sel.query_lists.row(q0 + g)[j];
      OfferRows(scratch.heap, call.k, *call.ids, static_cast<size_t>(off[p]),
                segment[s + 1] - segment[s], buffer + segment[s]);
    }
    cpu::WriteHeapToResults(SlotOf(results, q0 + g), scratch.heap, *call.metadata,
                            call.with_metadata, call.take_sqrt);
  }
}

template <typename Scorer>
void RankGrouped(const RankingCall& call, const Scorer& scorer, size_t group,
                 RankingResults& results) {
  const size_t n_queries = call.selection->n_queries;
  const size_t groups = (n_queries + group - 1) / group;
  ParallelErrors errors;
#pragma omp parallel num_threads(ThreadCount())
  {
    GroupScratch scratch;
#pragma omp for schedule(dynamic, 1)
    for (size_t gi = 0; gi < groups; ++gi) {
      errors.Run([&] {
        const size_t q0 = gi * group;
        RankGroup(call, scorer, q0, std::min(group, n_queries - q0), scratch, results);
      });
    }
  }
  errors.RethrowFirst();
}

template <typename Scorer>
void RankFlattened(const RankingCall& call, const Scorer& scorer, RankingResults& results) {
  const CentroidSelection& sel = *call.selection;
  const std::vector<uint64_t>& ids = *call.ids;
  const std::vector<uint32_t> rows = cpu::FlattenCandidateRows(
      *call.offsets, sel.query_lists.cols != 0 ? sel.query_lists.row(0) : nullptr,
      sel.query_lists.cols, ids.size());
  const size_t n = rows.size();
  const size_t chunks = (n + kFlattenChunk - 1) / kFlattenChunk;
  const int threads = ThreadCount();
  std::vector<std::vector<TopKEntry>> heaps(static_cast<size_t>(threads));
  const typename Scorer::Query prepared = scorer.Prepare(0);
  ParallelErrors errors;
#pragma omp parallel num_threads(threads)
  {
    std::vector<TopKEntry>& heap = heaps[static_cast<size_t>(omp_get_thread_num())];
    typename Scorer::Query query = prepared;
    std::vector<float> distances(kFlattenChunk);
#pragma omp for schedule(dynamic, 1)
    for (size_t c = 0; c < chunks; ++c) {
      errors.Run([&] {
        const size_t begin = c * kFlattenChunk;
        const size_t end = std::min(n, begin + kFlattenChunk);
        // Candidate rows are contiguous within a list: score each run of
        // consecutive rows in place as one block.
        for (size_t i = begin; i < end;) {
          size_t j = i + 1;
          while (j < end && rows[j] == rows[j - 1] + 1) ++j;
          scorer.ScoreBlock(query, rows[i], j - i, distances.data() + (i - begin));
          i = j;
        }
        for (size_t i = begin; i < end; ++i) {
          cpu::OfferTopK(heap, call.k, {ids[rows[i]], distances[i - begin], rows[i]});
        }
      });
    }
  }
  errors.RethrowFirst();
  cpu::MergeThreadHeaps(heaps, call.k, *call.metadata, call.with_metadata, call.take_sqrt,
                        SlotOf(results, 0));
}

// One task of the list-major path: candidate rows [begin, end), from the
// list at position `list` on.
struct RowTask {
  size_t begin = 0;
  size_t end = 0;
  size_t list = 0;
};

// The tasks of the list-major path over the lists' rows: whole lists
// gathered until a task holds `target` rows (never more than kMaxTaskRows),
// a list longer than target cut into pieces of target rows (target taken
// within [kMinTaskRows, kMaxTaskRows]).
std::vector<RowTask> CutRowTasks(const std::vector<uint64_t>& offsets, size_t target);

// Per list position, the queries that probe it: the queries of position p
// are queries[start[p], start[p + 1]), ascending.
struct ListUsers {
  std::vector<size_t> start;
  std::vector<uint32_t> queries;
};
ListUsers FindListUsers(const CentroidSelection& selection, size_t n_lists);

// The per-thread state of the list-major path.
template <typename Scorer>
struct ListMajorThread {
  Array2D<uint8_t> rows;         // a task's decrypted rows; wiped after each task
  std::vector<uint8_t> present;  // per row of the task: its record is stored
  std::vector<float> distances;  // a group of queries x a list's rows
  typename Scorer::Scratch scratch;
  std::vector<const typename Scorer::Query*> group;
  std::vector<float*> outs;
  std::vector<std::vector<TopKEntry>> heaps;  // one per query
};

// Reads, scores and offers the rows of one task, then wipes them.
template <typename Scorer>
void RankRowTask(const RankingCall& call, const Scorer& scorer, const ListUsers& users,
                 const std::vector<typename Scorer::Query>& queries, const RowTask& task,
                 ListMajorThread<Scorer>& thread) {
  const std::vector<uint64_t>& ids = *call.ids;
  const std::vector<uint64_t>& off = *call.offsets;
  const size_t n = task.end - task.begin;
  struct WipeRows {
    Array2D<uint8_t>& rows;
    size_t bytes;
    ~WipeRows() {
      if (bytes != 0) OPENSSL_cleanse(rows.data, bytes);
    }
  } wipe{thread.rows, n * call.row_bytes};
  if (call.present != nullptr) {
    std::copy_n(call.present->begin() + static_cast<std::ptrdiff_t>(task.begin), n,
                thread.present.begin());
  } else {
    std::fill_n(thread.present.begin(), n, uint8_t{1});
  }
  (*call.reader)(ids.data() + task.begin, n, thread.rows.data, thread.present.data());
  const Scorer on = scorer.OnRows(thread.rows.data, n);
  for (size_t p = task.list; p + 1 < off.size() && off[p] < task.end; ++p) {
    const size_t a = std::max<size_t>(off[p], task.begin);
    const size_t b = std::min<size_t>(off[p + 1], task.end);
    if (a >= b) continue;
    const size_t count = b - a;
    for (size_t u0 = users.start[p]; u0 < users.start[p + 1]; u0 += kMaxGroup) {
      const size_t u = std::min(kMaxGroup, users.start[p + 1] - u0);
      thread.group.clear();
      thread.outs.clear();
      if (thread.distances.size() < u * count) thread.distances.resize(u * count);
      for (size_t g = 0; g < u; ++g) {
        thread.group.push_back(&queries[users.queries[u0 + g]]);
        thread.outs.push_back(thread.distances.data() + g * count);
      }
      on.ScoreListManyWith(thread.group.data(), u, thread.scratch, a - task.begin, count,
                           thread.outs.data());
      for (size_t g = 0; g < u; ++g) {
        std::vector<TopKEntry>& heap = thread.heaps[users.queries[u0 + g]];
        const float* d = thread.outs[g];
        for (size_t i = 0; i < count; ++i) {
          if (thread.present[a - task.begin + i] == 0) continue;
          const size_t r = a + i;
          cpu::OfferTopK(heap, call.k, {ids[r], d[i], static_cast<uint32_t>(r)});
        }
      }
    }
  }
}

template <typename Scorer>
void RankListMajor(const RankingCall& call, const Scorer& scorer, RankingResults& results) {
  const CentroidSelection& sel = *call.selection;
  const std::vector<uint64_t>& off = *call.offsets;
  const size_t rows = call.rows;
  const size_t planned = static_cast<size_t>(ThreadCount());
  // A few hundred rows are scored sooner on this thread than a team wakes.
  const size_t shares = planned * kTasksPerThread;
  const size_t target = rows <= kSerialRankRows
                            ? std::max<size_t>(rows, 1)
                            : std::clamp((rows + shares - 1) / shares, kMinTaskRows, kMaxTaskRows);
  const std::vector<RowTask> tasks = CutRowTasks(off, target);
  const ListUsers users = FindListUsers(sel, off.empty() ? 0 : off.size() - 1);
  std::vector<typename Scorer::Query> queries;
  queries.reserve(sel.n_queries);
  for (size_t q = 0; q < sel.n_queries; ++q) queries.push_back(scorer.Prepare(q));
  size_t most = 0;
  for (const RowTask& task : tasks) most = std::max(most, task.end - task.begin);

  const int threads = static_cast<int>(std::max<size_t>(1, std::min(planned, tasks.size())));
  std::vector<ListMajorThread<Scorer>> state(static_cast<size_t>(threads));
  ParallelErrors errors;
  const auto body = [&](size_t t, size_t team) {
    ListMajorThread<Scorer>& mine = state[t];
    errors.Run([&] {
      mine.rows = Array2D<uint8_t>::Wiped(std::max<size_t>(most, 1), call.row_bytes);
      mine.present.resize(most);
      mine.heaps.resize(sel.n_queries);
    });
    const int64_t n_tasks = static_cast<int64_t>(tasks.size());
#pragma omp for schedule(dynamic, 1)
    for (int64_t i = 0; i < n_tasks; ++i) {
      errors.Run([&] {
        RankRowTask(call, scorer, users, queries, tasks[static_cast<size_t>(i)], mine);
      });
    }
    mine.rows = Array2D<uint8_t>();
    // Every task is done (the loop's barrier): each query's heaps merge.
    std::vector<std::vector<TopKEntry>> gathered(team);
    const int64_t n_queries = static_cast<int64_t>(sel.n_queries);
#pragma omp for schedule(static)
    for (int64_t q = 0; q < n_queries; ++q) {
      for (size_t s = 0; s < team; ++s) gathered[s] = std::move(state[s].heaps[q]);
      errors.Run([&] {
        cpu::MergeThreadHeaps(gathered, call.k, *call.metadata, call.with_metadata,
                              call.take_sqrt, SlotOf(results, static_cast<size_t>(q)));
      });
    }
  };
  if (threads == 1) {
    parallel_detail::SerialLoop serial;
    body(0, 1);
  } else {
#pragma omp parallel num_threads(threads)
    body(static_cast<size_t>(omp_get_thread_num()), static_cast<size_t>(omp_get_num_threads()));
  }
  errors.RethrowFirst();
}

// Validates, then fills `results` (built with the selection's n_queries
// slots) by the path the call takes. k = 0 leaves every slot empty.
template <typename Scorer>
void RankCandidates(const RankingCall& call, const Scorer& scorer, RankingResults& results) {
  CheckRankingInputs(call);
  if (call.k == 0) return;
  if (call.reader != nullptr) {
    RankListMajor(call, scorer, results);
    return;
  }
  if (UseFlattenedPath(call)) {
    RankFlattened(call, scorer, results);
    return;
  }
  if constexpr (Scorer::kScoresMany) {
    const size_t group = GroupSize(call);
    if (group > 1) {
      RankGrouped(call, scorer, group, results);
      return;
    }
  }
  RankPerQuery(call, scorer, results);
}

}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_RANKING_DRIVER_H_
