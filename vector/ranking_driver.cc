#include "vector/ranking_driver.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "core/log_and_throw.h"
#include "core/logger.h"
#include "vector/vector_errors.h"

namespace nivora::internal::vector_index {
namespace {

[[noreturn]] void ThrowOutOfRange(const std::string& message) {
  LogAndThrow<std::out_of_range>(*GetLogger(), ERROR, message);
}

void CheckShapes(const RankingCall& call) {
  const CentroidSelection& sel = *call.selection;
  if (call.rows != call.ids->size()) {
    LogAndThrowInvalid("Matching IDs and embeddings have different sizes.",
                       "Matching IDs and embeddings have different sizes");
  }
  if (call.rows > std::numeric_limits<uint32_t>::max()) {
    LogAndThrowInvalid(std::string(call.name) + ": more than 4294967295 candidate rows");
  }
  if (call.with_metadata && call.metadata->size() < call.rows) {
    LogAndThrowInvalid(std::string(call.name) + ": metadata.size() (" +
                       std::to_string(call.metadata->size()) + ") < rows (" +
                       std::to_string(call.rows) + ")");
  }
  if (call.query_rows < sel.n_queries) {
    LogAndThrowInvalid(std::string(call.name) + ": the query matrix has fewer rows (" +
                       std::to_string(call.query_rows) + ") than the selection has queries (" +
                       std::to_string(sel.n_queries) + ")");
  }
  if (sel.query_lists.cols != 0 && sel.query_lists.rows < sel.n_queries) {
    LogAndThrowInvalid(std::string(call.name) + ": query_lists has fewer rows (" +
                       std::to_string(sel.query_lists.rows) + ") than the selection has queries (" +
                       std::to_string(sel.n_queries) + ")");
  }
}

}  // namespace

void CheckRankingInputs(const RankingCall& call) {
  CheckShapes(call);
  const CentroidSelection& sel = *call.selection;
  const std::vector<uint64_t>& off = *call.offsets;
  for (size_t q = 0; q < sel.n_queries; ++q) {
    for (size_t j = 0; j < sel.query_lists.cols; ++j) {
      const size_t p = sel.query_lists.row(q)[j];
      cpu::CheckCentroidIndex(p, off.size(), call.name);
      if (off[p] > off[p + 1]) {
        ThrowOutOfRange(std::string(call.name) +
                        ": centroid_to_matching_indices decreases at position (" +
                        std::to_string(p) + ")");
      }
      if (off[p + 1] > call.rows) ThrowOutOfRange(call.end_message(off[p], off[p + 1], call.rows));
    }
  }
}

bool UseFlattenedPath(const RankingCall& call) {
  return call.selection->n_queries == 1 && call.ids->size() >= kFlattenMinCandidates;
}

size_t GroupSize(const RankingCall& call) {
  const CentroidSelection& sel = *call.selection;
  if (sel.n_queries < 2 || sel.query_lists.cols == 0) return 1;
  const std::vector<uint64_t>& off = *call.offsets;
  size_t most = 1;
  for (size_t q = 0; q < sel.n_queries; ++q) {
    size_t candidates = 0;
    for (size_t j = 0; j < sel.query_lists.cols; ++j) {
      const uint32_t p = sel.query_lists.row(q)[j];
      candidates += static_cast<size_t>(off[p + 1] - off[p]);
    }
    most = std::max(most, candidates);
  }
  // Groups small enough that every thread still gets work.
  const size_t spread = std::max<size_t>(1, sel.n_queries / static_cast<size_t>(ThreadCount()));
  return std::max<size_t>(1, std::min({kMaxGroup, kGroupBufferFloats / most, spread}));
}

std::vector<RowTask> CutRowTasks(const std::vector<uint64_t>& offsets, size_t target) {
  const size_t piece = std::clamp(target, kMinTaskRows, kMaxTaskRows);
  std::vector<RowTask> tasks;
  if (offsets.size() < 2) return tasks;
  RowTask open{static_cast<size_t>(offsets.front()), static_cast<size_t>(offsets.front()), 0};
  const auto close = [&](size_t next_list) {
    if (open.end > open.begin) tasks.push_back(open);
    open = RowTask{open.end, open.end, next_list};
  };
  for (size_t p = 0; p + 1 < offsets.size(); ++p) {
    const size_t begin = static_cast<size_t>(offsets[p]);
    const size_t end = static_cast<size_t>(offsets[p + 1]);
    if (end - begin > piece) {
      close(p);
      for (size_t r = begin; r < end; r += piece) {
        tasks.push_back({r, std::min(end, r + piece), p});
      }
      open = RowTask{end, end, p + 1};
      continue;
    }
    if (open.end - open.begin + (end - begin) > kMaxTaskRows) close(p);
    if (open.end == open.begin) open.list = p;
    open.end = end;
    if (open.end - open.begin >= target) close(p + 1);
  }
  close(offsets.size() - 1);
  return tasks;
}

ListUsers FindListUsers(const CentroidSelection& selection, size_t n_lists) {
  ListUsers users;
  users.start.assign(n_lists + 1, 0);
  const size_t cols = selection.query_lists.cols;
  for (size_t q = 0; q < selection.n_queries; ++q) {
    for (size_t j = 0; j < cols; ++j) ++users.start[selection.query_lists.row(q)[j] + 1];
  }
  for (size_t p = 0; p < n_lists; ++p) users.start[p + 1] += users.start[p];
  users.queries.resize(users.start[n_lists]);
  std::vector<size_t> next(users.start.begin(), users.start.end() - 1);
  for (size_t q = 0; q < selection.n_queries; ++q) {
    for (size_t j = 0; j < cols; ++j) {
      users.queries[next[selection.query_lists.row(q)[j]]++] = static_cast<uint32_t>(q);
    }
  }
  return users;
}

}  // namespace nivora::internal::vector_index
