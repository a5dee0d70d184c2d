// Pre-filtering, metadata summary update and post-filtering of an index.
//
// Pre-filtering judges every centroid of the coarse codebook, not only those
// that have summaries: a centroid whose items carry no metadata still holds
// matches for filters that hold on absent fields ($exists false, $nin, $not,
// $nor). Summaries naming a centroid the codebook does not have (written
// under an earlier coarse quantizer) are ignored, so the filtered rows and
// their ids always line up.
//
// The summaries of a field are read from the store, merged and written back
// by the engine's compare-and-set on that field (MergeCentroidMetadata), so
// writers in any process never write back over each other's additions.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/encrypted_index.h"
#include "api/row_compaction.h"
#include "filters/centroid_filter.h"
#include "filters/filter_context.h"
#include "filters/filter_language.h"
#include "filters/item_filter.h"
#include "filters/json_text.h"
#include "filters/metadata_summary.h"
#include "filters/summary_format.h"

namespace nivora {

namespace {

using internal::vector_index::Codebook;
using internal::vector_index::QuantizerSet;
using nivora_encrypted_index::RetrieveNeighborsResult;

bool IsBlank(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
}

std::vector<uint32_t> AllCentroids(size_t n) {
  std::vector<uint32_t> ids(n);
  std::iota(ids.begin(), ids.end(), 0u);
  return ids;
}

// The coarse codebook restricted to the rows `ids`, in their order.
Codebook CoarseRows(const Codebook& source, const std::vector<uint32_t>& ids) {
  Codebook filtered;
  filtered.k = static_cast<int32_t>(ids.size());
  const size_t cols = source.centroids.cols;
  filtered.centroids = Array2D<float>(ids.size(), cols);
  for (size_t r = 0; r < ids.size(); ++r) {
    std::memcpy(filtered.centroids.row(r), source.centroids.row(ids[r]), cols * sizeof(float));
  }
  return filtered;
}

// A working copy of set holding only the coarse rows `ids` (each below every
// coarse codebook's rows); PQ codebooks and SQ quantizers are copied whole.
std::unique_ptr<QuantizerSet> FilteredCopy(const QuantizerSet& set,
                                           const std::vector<uint32_t>& ids) {
  auto copy = std::make_unique<QuantizerSet>();
  for (const Codebook& coarse : set.centroids) copy->centroids.push_back(CoarseRows(coarse, ids));
  for (const Codebook& pq : set.pq_codebooks) copy->pq_codebooks.push_back(pq.Clone());
  copy->sq_quantizers = set.sq_quantizers;
  return copy;
}

// Rows a coarse codebook really has: its k, bounded by its matrix.
size_t CoarseRowCount(const QuantizerSet& set) {
  if (set.centroids.empty()) return 0;
  size_t rows = std::numeric_limits<size_t>::max();
  for (const Codebook& coarse : set.centroids) {
    rows = std::min({rows, static_cast<size_t>(static_cast<uint32_t>(coarse.k)),
                     coarse.centroids.rows});
  }
  return rows;
}

}  // namespace

PreFilterResult EncryptedIndex::PreFiltering(const std::string& filters) {
  if (!quantizers_ || quantizers_->centroids.empty()) {
    throw std::logic_error("Pre-filtering needs the trained coarse quantizer");
  }
  const size_t n = CoarseRowCount(*quantizers_);
  const PreFilterResult all{AllCentroids(n), quantizers_.get()};
  if (filters.empty()) return all;
  logger_->log(INFO, "PreFiltering");
  const nlohmann::json filter = ParseFilters(filters);
  if (IsEmptyFilter(filter)) return all;

  try {
    const std::vector<std::string> names = GetFilterFieldNames(filter);
    const std::vector<std::vector<uint8_t>> buffers = client_->RetrieveCentroidMetadata(names);
    if (buffers.empty()) {
      logger_->log(INFO, "Client metadata buffers are empty, returning all " + std::to_string(n) +
                             " centroids");
      return all;
    }
    const FieldSummaryMaps summaries = ReadCentroidMetadataBuffers(names, buffers);
    const FilterContext context(summaries, all.centroid_ids);
    const std::vector<uint32_t> matching = EvaluateCentroidFilter(context, filter, true);

    std::unique_ptr<QuantizerSet> copy = FilteredCopy(*quantizers_, matching);
    if (filtered_quantizers_) WipeQuantizers(*filtered_quantizers_);
    filtered_quantizers_ = std::move(copy);
    return PreFilterResult{matching, filtered_quantizers_.get()};
  } catch (const std::exception& e) {
    const std::string message = std::string("Error while pre-filtering: ") + e.what();
    logger_->log(CRITICAL, message);
    throw std::runtime_error(message);
  }
}

void EncryptedIndex::UpdateMetadata(const std::vector<std::string>& metadata,
                                    const std::vector<uint32_t>& centroid_ids) {
  logger_->log(INFO, "UpdateMetadata");
  if (metadata.size() != centroid_ids.size()) {
    throw std::invalid_argument("Mismatch between the number of metadata texts (" +
                                std::to_string(metadata.size()) + ") and centroid ids (" +
                                std::to_string(centroid_ids.size()) + ")");
  }
  std::set<std::string> field_names;
  FieldSummaryLists summaries;
  for (size_t i = 0; i < metadata.size(); ++i) {
    const std::string& text = metadata[i];
    if (IsBlank(text)) continue;
    std::string error;
    const std::optional<nlohmann::json> document = ParseJsonText(text, &error);
    if (!document) {
      logger_->log(WARNING, "Skipping invalid JSON metadata at index " + std::to_string(i) + ": " +
                                error + " (content: '" + text + "')");
      continue;
    }
    SummarizeMetadataDocument(*document, field_names, centroid_ids[i], summaries, "");
  }
  if (field_names.empty()) {
    logger_->log(INFO, "No valid metadata found to update, skipping metadata update");
    return;
  }

  const std::vector<std::string> names(field_names.begin(), field_names.end());
  client_->MergeCentroidMetadata(names, [&](size_t field, const std::vector<uint8_t>& stored) {
    return MergeCentroidSummaries({names[field]}, {stored}, summaries).front();
  });
}

void EncryptedIndex::PostFiltering(RetrieveNeighborsResult& result,
                                   std::vector<std::string>& metadata,
                                   const std::string& filters) {
  const size_t ids = result.matching_ids.size();
  if (metadata.size() != ids) {
    logger_->log(ERROR, "PostFiltering: metadata.size() (" + std::to_string(metadata.size()) +
                            ") != item_ids.size() (" + std::to_string(ids) + ")");
    throw std::runtime_error("PostFiltering: metadata and item_ids size mismatch. metadata=" +
                             std::to_string(metadata.size()) +
                             ", item_ids=" + std::to_string(ids));
  }
  if (filters.empty()) return;
  const nlohmann::json filter = ParseFilters(filters);
  if (IsEmptyFilter(filter)) return;
  logger_->log(INFO, "PostFiltering");

  const FilterContext context = ParseMetadataDocuments(metadata);
  std::vector<int> positions = EvaluateFilter(context, filter, true);
  if (positions.empty()) {
    result = RetrieveNeighborsResult();
    metadata.clear();
    return;
  }
  std::sort(positions.begin(), positions.end());
  if (std::adjacent_find(positions.begin(), positions.end()) != positions.end()) {
    logger_->log(WARNING, "Duplicate indices detected in valid_indices, removing duplicates");
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  }
  if (positions.front() < 0 || static_cast<size_t>(positions.back()) >= ids) {
    logger_->log(CRITICAL, "Index out of bounds while filtering item_ids");
    throw std::out_of_range("Index out of bounds while filtering item_ids");
  }
  if (result.payloads.rows < ids) {
    logger_->log(CRITICAL, "Exception occurred during payload filtering");
    throw std::out_of_range("Index out of bounds while filtering payloads");
  }
  std::vector<uint8_t> keep(ids, 0);
  for (int p : positions) keep[static_cast<size_t>(p)] = 1;
  internal::CompactRows(result, &metadata, keep);
}

}  // namespace nivora
