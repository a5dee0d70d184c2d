// The parameter and result records of the index API: what a caller passes to
// a query or a training and what a query, a get or a pre-filtering hands
// back. Plain value structs, no behaviour; copy and move member-wise.
#ifndef NIVORA_API_API_RECORDS_H_
#define NIVORA_API_API_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/flags.h"
#include "vector/quantizer_set.h"

namespace nivora {

// One query call's settings.
struct QueryParams {
  uint64_t top_k = 0;                // neighbours wanted per query vector
  uint64_t n_probes = 0;             // lists probed per query; 0 = settle automatically
  std::vector<ItemFields> include;   // fields asked for; METADATA adds metadata to the result
  bool greedy = false;               // widen the probe count (greedy factor 1.0 instead of 0.0)
  std::string filters;               // metadata filter as JSON text; empty = none
};

// One training call's settings.
struct TrainParams {
  uint64_t batch_size = 0;  // k-means mini-batch; 0 = automatic (8192, or 16384 from 1024 lists)
  uint64_t max_iters = 0;   // k-means iterations
  double tolerance = 0.0;   // passed on to k-means
  uint64_t max_memory = 0;  // accepted, not used
  uint64_t n_lists = 0;     // inverted lists; 0 = automatic
};

// The answer to a batch of queries; slot i belongs to query row i.
struct QueryResult {
  size_t num_queries = 0;
  std::vector<std::vector<std::string>> ids;       // nearest first
  std::vector<std::vector<float>> distances;       // same order as ids
  std::vector<uint32_t> num_results;               // results kept per query (at most top_k)
  std::vector<std::vector<std::string>> metadata;  // filled only when METADATA was asked for
};

// One item returned by Get.
struct GetResultItem {
  std::string id;                 // as requested
  std::vector<float> vector;      // the item's vector; empty when not asked for or none stored
  std::vector<uint8_t> contents;  // empty when not asked for or none stored
  std::string metadata;           // JSON text; empty when not asked for or none stored
};

// The centroids a (possibly filtered) query may probe: row r of the coarse
// codebook in `quantizers` stands for centroid centroid_ids[r].
struct PreFilterResult {
  std::vector<uint32_t> centroid_ids;
  // Not owned: the index's quantizers, or its filtered working copy.
  const internal::vector_index::QuantizerSet* quantizers = nullptr;
};

}  // namespace nivora

#endif  // NIVORA_API_API_RECORDS_H_
