// Query and its core, Retrieve.
//
// Between retrieval and ranking the candidates are narrowed in one place
// (row_compaction.h): rows of deleted items go, an item with several tokens
// in one list keeps one row, and a filter drops the rows whose metadata
// fails it (on every index type: a trained IVF index's pre-filter judges
// whole lists, which may still hold items that fail the filter). Only ids
// are narrowed there: the payload rows are read, decrypted and scored list
// by list during ranking, which skips the rows dropped (without a filter,
// the rows are only marked) and the rows whose record is absent. An item
// upserted again into another list keeps a row in each list; when a query
// probes both, its ranking would hold the item twice, so the rankers are
// asked for as many more results as there are such rows, and each query's
// list is cut back to top_k after its repeats are dropped.
//
// The plaintext quantizers live from SyncQuantizers to EndQuantizerUse; the
// end runs however the query ends, so a failed query leaves no plaintext.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <openssl/crypto.h>

#include "api/encrypted_index.h"
#include "api/error_guard.h"
#include "api/finite_values.h"
#include "api/row_compaction.h"
#include "core/log_and_throw.h"
#include "vector/adaptive_probes.h"
#include "vector/entry_points.h"
#include "vector/gpu_entry_points.h"
#include "vector/rank_ivf.h"
#include "vector/rank_ivf_flat.h"
#include "vector/rank_ivf_pq.h"
#include "vector/rank_ivf_sq.h"
#include "vector/select_centroids.h"

namespace nivora {

namespace {

namespace vi = internal::vector_index;
using nivora_encrypted_index::RetrieveNeighborsResult;

constexpr uint64_t kUntrainedScanWarning = 50000;
constexpr double kTargetRecall = 0.95;

bool Holds(const std::vector<ItemFields>& include, ItemFields field) {
  return std::find(include.begin(), include.end(), field) != include.end();
}

// printf("%f") of value, cut to its first `width` characters.
std::string FixedPrefix(double value, size_t width) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%f", value);
  return std::string(buffer).substr(0, width);
}

void LogAdaptive(Logger& logger, size_t n_probes, double difficulty, double budget,
                 uint64_t top_k) {
  logger.log(INFO, "Adaptive n_probes: " + std::to_string(n_probes) +
                       " (top_k=" + std::to_string(top_k) +
                       ", difficulty=" + FixedPrefix(difficulty, 4) + "x" +
                       ", budget=" + FixedPrefix(budget, 6) + " items)");
}

QueryResult EmptyResult(size_t n_queries) {
  QueryResult result;
  result.num_queries = n_queries;
  result.ids.resize(n_queries);
  result.distances.resize(n_queries);
  result.num_results.assign(n_queries, 0);
  result.metadata.resize(n_queries);
  return result;
}

// The selection of an untrained index: every query probes list 0.
vi::CentroidSelection UntrainedSelection(size_t n_queries) {
  vi::CentroidSelection selection;
  selection.n_queries = n_queries;
  selection.probed_lists = {0};
  selection.query_lists = Array2D<uint32_t>(n_queries, 1);
  selection.query_distances = Array2D<float>(n_queries, 1);
  return selection;
}

// Drops the later repeats of an id hash in every query's ranking and keeps
// at most top_k entries.
void DropRepeatedResults(vi::RankingResults& ranking, uint32_t top_k) {
  std::unordered_set<uint64_t> seen;
  for (size_t q = 0; q < ranking.ids.size(); ++q) {
    auto& ids = ranking.ids[q];
    auto& distances = ranking.distances[q];
    auto& metadata = ranking.metadata[q];
    const bool with_metadata = metadata.size() == ids.size() && !ids.empty();
    seen.clear();
    size_t out = 0;
    for (size_t i = 0; i < ids.size() && out < top_k; ++i) {
      if (!seen.insert(ids[i]).second) continue;
      ids[out] = ids[i];
      distances[out] = distances[i];
      // Moving a string onto itself empties it.
      if (with_metadata && out != i) metadata[out] = std::move(metadata[i]);
      ++out;
    }
    ids.resize(out);
    distances.resize(out);
    if (with_metadata) metadata.resize(out);
    ranking.num_results[q] = static_cast<uint32_t>(out);
  }
}

std::vector<uint64_t> Concatenate(const std::vector<std::vector<uint64_t>>& lists) {
  size_t total = 0;
  for (const auto& list : lists) total += list.size();
  std::vector<uint64_t> all;
  all.reserve(total);
  for (const auto& list : lists) all.insert(all.end(), list.begin(), list.end());
  return all;
}

// values (one per element of Concatenate(shape), or none) cut back into
// lists of shape's lengths.
std::vector<std::vector<std::string>> SplitLike(const std::vector<std::vector<uint64_t>>& shape,
                                                std::vector<std::string> values) {
  std::vector<std::vector<std::string>> lists(shape.size());
  if (values.empty()) return lists;
  size_t next = 0;
  for (size_t q = 0; q < shape.size(); ++q) {
    lists[q].reserve(shape[q].size());
    for (size_t i = 0; i < shape[q].size(); ++i) lists[q].push_back(std::move(values[next++]));
  }
  return lists;
}

}  // namespace

QueryResult EncryptedIndex::Query(const Array2D<float>& queries, const QueryParams& params) {
  std::lock_guard<std::mutex> lock(mutex_);
  return internal::Guarded("Query", telemetry_.get(), [&]() -> QueryResult {
    logger_->log(INFO, "Query");
    if (queries.rows == 0) throw std::invalid_argument("Query vectors cannot be empty.");
    RequireConnected();
    SyncWithStore(/*with_state=*/true);
    const size_t dimension = index_config_->dimension();
    if (dimension == 0) {
      LogAndThrow<std::runtime_error>(
          *logger_, ERROR,
          "Index dimension is not set. Please upsert vectors first to auto-detect dimension.");
    }
    if (queries.cols != dimension) {
      LogAndThrow<std::invalid_argument>(
          *logger_, ERROR,
          "The dimension of the vectors provided (" + std::to_string(queries.cols) +
              ") doesn't match the index configuration (" + std::to_string(dimension) + ").");
    }
    if (!internal::AllFinite(queries)) {
      LogAndThrow<std::invalid_argument>(*logger_, ERROR,
                                         "Vectors must contain only finite values.");
    }
    if (params.top_k > std::numeric_limits<uint32_t>::max()) {
      LogAndThrow<std::invalid_argument>(*logger_, ERROR, "top_k must not exceed 4294967295.");
    }

    QueryParams settled = params;
    if (settled.n_probes == 0 && !trained_) settled.n_probes = 1;
    const size_t n_lists = index_config_->n_lists();
    if (settled.n_probes > n_lists) {
      logger_->log(WARNING, "n_probes exceeds n_lists. Capping to n_lists (" +
                                std::to_string(n_lists) + ").");
      settled.n_probes = n_lists;
    }

    QueryResult result;
    {
      struct QuantizerUse {
        EncryptedIndex* index;
        ~QuantizerUse() { index->EndQuantizerUse(); }
      } use{this};
      SyncQuantizers();
      result = Retrieve(queries, settled);
    }

    // Counted as the product of two 32-bit signed values, wrapping.
    const uint32_t product = static_cast<uint32_t>(queries.rows) *
                             static_cast<uint32_t>(settled.top_k);
    const int32_t counted = static_cast<int32_t>(product);
    if (counted >= 1) AddCounter(internal::TelemetryEventType::Query, counted);
    return result;
  });
}

QueryResult EncryptedIndex::Retrieve(const Array2D<float>& queries, QueryParams& params) {
  if (!trained_) return RetrieveOnce(queries, params, nullptr);
  const PreFilterResult pre = PreFiltering(params.filters);
  if (params.n_probes != 0 || params.filters.empty() || params.top_k == 0) {
    return RetrieveOnce(queries, params, &pre);
  }
  return RetrieveWidening(queries, params, pre);
}

vi::CentroidSelection EncryptedIndex::SelectLists(const Array2D<float>& queries,
                                                  const PreFilterResult& pre,
                                                  const QueryParams& params,
                                                  bool with_distances) {
  client_->LoadMap();
  const std::vector<uint32_t>& counters = client_->get_counter_map();
  uint64_t total = 0;
  for (uint32_t c : counters) total += c;
  std::vector<uint32_t> list_sizes;
  list_sizes.reserve(pre.centroid_ids.size());
  for (uint32_t id : pre.centroid_ids) {
    if (id >= counters.size()) {
      LogAndThrow<std::out_of_range>(*logger_, ERROR,
                                     "Centroid id " + std::to_string(id) +
                                         " is past the counter map (" +
                                         std::to_string(counters.size()) + " lists).");
    }
    list_sizes.push_back(counters[id]);
  }
  const bool gpu = HasFlag(gpu_config_, GPUConfig::QUERY);
  vi::SelectCentroidsFn select = nullptr;
  switch (index_config_->index_type_) {
    case IndexType::IVF:
      select = gpu ? &vi::gpu::SelectCentroidsIVF : &vi::cpu::SelectCentroidsIVF;
      break;
    case IndexType::IVFPQ:
    case IndexType::IVFFLAT:
    case IndexType::IVFSQ:
      // The IVF selection orders the lists alike, and gives their distances.
      select = with_distances ? (gpu ? &vi::gpu::SelectCentroidsIVF : &vi::cpu::SelectCentroidsIVF)
                              : (gpu ? &vi::gpu::SelectCentroids : &vi::cpu::SelectCentroids);
      break;
    default:
      LogAndThrow<std::invalid_argument>(*logger_, ERROR,
                                         "Unsupported index type for quantization.");
  }
  vi::CentroidSelection selection =
      select(queries, *pre.quantizers, params.n_probes, index_config_->metric_, params.top_k,
             list_sizes, total, params.greedy ? 1.0f : 0.0f, kTargetRecall);
  if (selection.n_probes != 0) {
    LogAdaptive(*logger_, selection.n_probes, selection.difficulty, selection.budget,
                params.top_k);
  }
  for (uint32_t p : selection.probed_lists) {
    if (p >= pre.centroid_ids.size()) {
      LogAndThrow<std::out_of_range>(*logger_, ERROR,
                                     "Invalid filtered centroid index: " + std::to_string(p) +
                                         " (mapping size: " +
                                         std::to_string(pre.centroid_ids.size()) + ")");
    }
  }
  return selection;
}

size_t EncryptedIndex::UnfilteredProbeCount(const Array2D<float>& queries, uint64_t top_k) {
  client_->LoadMap();
  const std::vector<uint32_t>& counters = client_->get_counter_map();
  const Array2D<float>& centres = quantizers_->centroids.front().centroids;
  const size_t n_lists = std::min(centres.rows, counters.size());
  uint64_t total = 0;
  for (uint32_t c : counters) total += c;
  if (n_lists == 0 || total == 0) return 1;
  const std::vector<uint32_t> sizes(counters.begin(), counters.begin() + n_lists);
  const vi::cpu::AdaptiveChoice choice = vi::cpu::ChooseAdaptiveProbes(
      queries.row(0), queries.cols, centres, top_k, sizes, total, kTargetRecall);
  LogAdaptive(*logger_, choice.n_probes, choice.difficulty, choice.budget, top_k);
  return choice.n_probes;
}

EncryptedIndex::Candidates EncryptedIndex::FetchCandidates(std::vector<uint32_t>& lists,
                                                           IndexType kind,
                                                           const std::string& filters) {
  // The rankers that score read each list's payload rows as they score it;
  // an IVF index scores nothing, and reads its rows only for their presence.
  Candidates candidates;
  RetrieveNeighborsResult& retrieved = candidates.rows;
  if (kind == IndexType::IVF) {
    client_->RetrieveNeighbors(lists, retrieved);
  } else {
    client_->RetrieveCandidates(lists, retrieved);
  }
  internal::LiveRows live = internal::FindLiveRows(retrieved);
  candidates.repeated = live.repeated_across_lists;
  const bool post_filtered = !filters.empty();
  if (retrieved.read_payloads && !post_filtered) {
    // The rankers skip the rows not kept as they score each list.
    retrieved.row_present = std::move(live.keep);
  } else {
    internal::CompactRows(retrieved, nullptr, live.keep);
  }
  if (post_filtered) {
    client_->RetrieveItemMetadata(retrieved.matching_ids, candidates.metadata);
    PostFiltering(retrieved, candidates.metadata, filters);
  }
  return candidates;
}

vi::RankingResults EncryptedIndex::RankCandidates(IndexType kind, const Candidates& candidates,
                                                  const vi::CentroidSelection& selection,
                                                  Array2DView<float> view,
                                                  const QueryParams& params) {
  const RetrieveNeighborsResult& retrieved = candidates.rows;
  const bool gpu = HasFlag(gpu_config_, GPUConfig::QUERY);
  const DistanceMetric metric = index_config_->metric_;
  const bool post_filtered = !params.filters.empty();
  const uint32_t wanted = static_cast<uint32_t>(params.top_k);
  const uint64_t widened = static_cast<uint64_t>(wanted) + candidates.repeated;
  const uint32_t rank_k = wanted == 0 ? 0
                                      : static_cast<uint32_t>(std::min<uint64_t>(
                                            widened, std::numeric_limits<uint32_t>::max()));
  std::vector<ItemFields> ranker_include;
  if (post_filtered) {
    ranker_include = params.include;
  } else if (Holds(params.include, ItemFields::VECTOR)) {
    ranker_include = {ItemFields::VECTOR};
  }
  const std::vector<std::string>& ranker_metadata = candidates.metadata;

  logger_->log(INFO, "Ranking with index type: " + std::to_string(static_cast<int>(kind)));
  vi::RankingResults ranking;
  switch (kind) {
    case IndexType::IVF: {
      const vi::RankIVFFn rank = gpu ? &vi::gpu::RankIVF : &vi::cpu::RankIVF;
      ranking = rank(retrieved, selection, rank_k);
      break;
    }
    case IndexType::IVFPQ: {
      const vi::RankIVFPQFn rank = gpu ? &vi::gpu::RankIVFPQ : &vi::cpu::RankIVFPQ;
      ranking = rank(retrieved, ranker_metadata, selection, view, quantizers_->pq_codebooks,
                     rank_k, metric, ranker_include);
      break;
    }
    case IndexType::IVFFLAT: {
      const vi::RankIVFFlatFn rank = gpu ? &vi::gpu::RankIVFFlat : &vi::cpu::RankIVFFlat;
      ranking = rank(retrieved, ranker_metadata, selection, view, rank_k, metric, ranker_include);
      break;
    }
    case IndexType::IVFSQ: {
      if (!quantizers_ || quantizers_->sq_quantizers.empty()) {
        LogAndThrow<std::runtime_error>(*logger_, ERROR,
                                        "No SQ quantizers found. Please train the index first.");
      }
      const size_t bits = index_config_->sq_bits();
      vi::RankIVFSQFn rank = nullptr;
      if (bits == 8) {
        rank = gpu ? &vi::gpu::RankIVFSQ<uint8_t> : &vi::cpu::RankIVFSQ<uint8_t>;
      } else if (bits == 16) {
        rank = gpu ? &vi::gpu::RankIVFSQ<uint16_t> : &vi::cpu::RankIVFSQ<uint16_t>;
      } else {
        LogAndThrow<std::invalid_argument>(*logger_, ERROR,
                                           "Unsupported sq_bits value: " + std::to_string(bits),
                                           "Unsupported sq_bits value. Only 8 or 16 are supported.");
      }
      ranking = rank(retrieved, ranker_metadata, selection, view,
                     quantizers_->sq_quantizers.front(), rank_k, metric, ranker_include);
      break;
    }
    default:
      LogAndThrow<std::runtime_error>(*logger_, ERROR, "Unsupported index type for ranking.");
  }
  if (rank_k != wanted) DropRepeatedResults(ranking, wanted);
  return ranking;
}

QueryResult EncryptedIndex::FinishResult(vi::RankingResults ranking, const QueryParams& params,
                                         IndexType kind) {
  const size_t n_queries = ranking.ids.size();
  const bool ranker_carried_metadata = !params.filters.empty() && kind != IndexType::IVF;
  // One read for all queries: each read costs a store round trip and a few
  // parallel regions, whatever its size.
  const std::vector<uint64_t> winners = Concatenate(ranking.ids);
  if (Holds(params.include, ItemFields::METADATA) && !ranker_carried_metadata) {
    std::vector<std::string> metadata_of_winners;
    client_->RetrieveItemMetadata(winners, metadata_of_winners);
    ranking.metadata = SplitLike(ranking.ids, std::move(metadata_of_winners));
  }
  std::vector<std::string> ids_of_winners;
  client_->RetrieveItemIDs(winners, ids_of_winners);
  QueryResult result;
  result.num_queries = n_queries;
  result.ids = SplitLike(ranking.ids, std::move(ids_of_winners));
  result.distances = std::move(ranking.distances);
  result.num_results = std::move(ranking.num_results);
  result.metadata = std::move(ranking.metadata);
  return result;
}

QueryResult EncryptedIndex::RetrieveOnce(const Array2D<float>& queries, QueryParams& params,
                                         const PreFilterResult* pre) {
  logger_->log(INFO, "Retrieve");
  vi::CentroidSelection selection;
  std::vector<uint32_t> fetch;
  if (trained_) {
    selection = SelectLists(queries, *pre, params, /*with_distances=*/false);
    fetch.reserve(selection.probed_lists.size());
    for (uint32_t p : selection.probed_lists) fetch.push_back(pre->centroid_ids[p]);
  } else {
    client_->LoadMap();
    uint64_t total = 0;
    for (uint32_t c : client_->get_counter_map()) total += c;
    if (total > kUntrainedScanWarning) {
      logger_->log(WARNING, "Warning: querying untrained index with more than " +
                                std::to_string(kUntrainedScanWarning) +
                                " indexed vectors.\nQueries may be slow; consider calling "
                                "`TrainIndex()` to speed up queries.");
    }
    selection = UntrainedSelection(queries.rows);
    fetch = {0};
  }
  const IndexType kind = trained_ ? index_config_->index_type_ : IndexType::IVFFLAT;
  const Candidates candidates = FetchCandidates(fetch, kind, params.filters);
  if (!params.filters.empty() && candidates.rows.matching_ids.empty()) {
    return EmptyResult(queries.rows);
  }
  const Array2DView<float> view(queries.data, queries.rows, queries.cols);
  return FinishResult(RankCandidates(kind, candidates, selection, view, params), params, kind);
}

}  // namespace nivora
