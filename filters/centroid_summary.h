// CentroidSummary: what the metadata of the items of one coarse centroid say
// about one metadata field: the range of the numbers seen and the CRC-32
// hashes of the strings, booleans and arrays seen. Pre-filtering reads these
// to skip inverted lists that cannot hold a match.
//
// Plain value types; no synchronisation.
#ifndef NIVORA_FILTERS_CENTROID_SUMMARY_H_
#define NIVORA_FILTERS_CENTROID_SUMMARY_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace nivora {

// The empty range (min above max): no number seen yet.
inline constexpr double kEmptyRangeMin = 9876543211.0;
inline constexpr double kEmptyRangeMax = -9876543211.0;
// The full range: a single string or boolean, and the stored defaults.
inline constexpr double kFullRangeMin = -9876543211.0;
inline constexpr double kFullRangeMax = 9876543211.0;

struct CentroidSummary {
  uint32_t centroid_id = 0;
  double min = kEmptyRangeMin;
  double max = kEmptyRangeMax;
  std::vector<uint32_t> value_hashes;  // CRC-32 of non-numeric values

  bool has_empty_range() const { return min == kEmptyRangeMin && max == kEmptyRangeMax; }
  bool has_full_range() const { return min == kFullRangeMin && max == kFullRangeMax; }
};

// One field's summaries by centroid id.
using CentroidSummaryMap = std::map<uint32_t, CentroidSummary>;
// Field name (dotted path) to that field's summaries: what is stored and read
// back, one FlatBuffers buffer per field.
using FieldSummaryMaps = std::map<std::string, CentroidSummaryMap>;
// Field name to the summaries a batch produced, one per occurrence.
using FieldSummaryLists = std::map<std::string, std::vector<CentroidSummary>>;

}  // namespace nivora

#endif  // NIVORA_FILTERS_CENTROID_SUMMARY_H_
