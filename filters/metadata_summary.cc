#include "filters/metadata_summary.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include <zlib.h>

#include "core/log_and_throw.h"
#include "core/logger.h"
#include "filters/json_text.h"
#include "filters/summary_format.h"

namespace nivora {
namespace {

using json = nlohmann::json;

[[noreturn]] void ThrowSummaryError(const std::string& reason) {
  LogAndThrow<std::runtime_error>(
      *GetLogger(), CRITICAL, "Error while retrieving keys and metadata centroid map: " + reason);
}

// The summary of one field occurrence holding value.
CentroidSummary Describe(const json& value, uint32_t centroid_id) {
  CentroidSummary s;
  s.centroid_id = centroid_id;
  if (value.is_number()) {
    s.min = s.max = value.get<double>();
  } else if (value.is_string()) {
    s.min = kFullRangeMin;
    s.max = kFullRangeMax;
    s.value_hashes.push_back(HashText(value.get_ref<const std::string&>()));
  } else if (value.is_boolean()) {
    s.min = kFullRangeMin;
    s.max = kFullRangeMax;
    s.value_hashes.push_back(HashBoolean(value.get<bool>()));
  } else if (value.is_array()) {
    s.value_hashes.push_back(HashText(value.dump()));
    for (const auto& e : value) {
      if (e.is_string()) {
        s.value_hashes.push_back(HashText(e.get_ref<const std::string&>()));
      } else if (e.is_boolean()) {
        s.value_hashes.push_back(HashBoolean(e.get<bool>()));
      } else if (e.is_number()) {
        const double d = e.get<double>();
        if (d < s.min) s.min = d;
        if (d > s.max) s.max = d;
      }
    }
    // Numbers exactly at both sentinels would read as a string's full range,
    // which merging skips; one ulp wider keeps them counted.
    if (s.has_full_range()) s.min = std::nextafter(s.min, -std::numeric_limits<double>::infinity());
  }
  return s;
}

// top: value is the document itself or an element of a top-level array, whose
// members are named by their keys alone. Below that a name always extends
// prefix, even an empty one, so {"": {"b": 1}} yields ".b", the path by which
// a filter reaches that value.
void Summarize(const json& value, std::set<std::string>& field_names, uint32_t centroid_id,
               FieldSummaryLists& summaries, const std::string& prefix, bool top) {
  try {
    if (value.is_array()) {
      for (const auto& element : value) {
        Summarize(element, field_names, centroid_id, summaries, prefix, top);
      }
      return;
    }
    if (!value.is_object()) return;
    for (auto it = value.begin(); it != value.end(); ++it) {
      const std::string name = top ? it.key() : prefix + "." + it.key();
      field_names.insert(name);
      summaries[name].push_back(Describe(it.value(), centroid_id));
      Summarize(it.value(), field_names, centroid_id, summaries, name, false);
    }
  } catch (const std::exception& e) {
    ThrowSummaryError(e.what());
  }
}

// The covered test and the fold below read the stored hashes sorted and
// distinct; stored buffers hold them so already, and the serialised form
// sorts them anyway, so this changes no stored byte.
void SortHashes(CentroidSummaryMap& summaries) {
  for (auto& [centroid_id, summary] : summaries) {
    std::vector<uint32_t>& h = summary.value_hashes;
    if (!std::is_sorted(h.begin(), h.end())) std::sort(h.begin(), h.end());
    h.erase(std::unique(h.begin(), h.end()), h.end());
  }
}

// stored has sorted hashes (SortHashes).
bool Covers(const CentroidSummaryMap& stored, const CentroidSummary& summary) {
  const auto entry = stored.find(summary.centroid_id);
  if (entry == stored.end()) return false;
  const CentroidSummary& e = entry->second;
  if (!summary.has_empty_range() && (summary.min < e.min || summary.max > e.max)) return false;
  return std::all_of(summary.value_hashes.begin(), summary.value_hashes.end(), [&e](uint32_t h) {
    return std::binary_search(e.value_hashes.begin(), e.value_hashes.end(), h);
  });
}

// Folds the summaries into merged in one batch: ranges summary by summary
// in order (as the comparisons with NaN depend on it), hashes gathered and
// then sorted once per entry, which gives the same sorted distinct union as
// uniting them one summary at a time.
void FoldAll(CentroidSummaryMap& merged, const std::vector<CentroidSummary>& fresh) {
  for (const CentroidSummary& summary : fresh) {
    auto [entry, created] = merged.try_emplace(summary.centroid_id);
    CentroidSummary& e = entry->second;
    if (created) e.centroid_id = summary.centroid_id;
    if (!summary.has_full_range()) {
      e.min = std::min(e.min, summary.min);
      e.max = std::max(e.max, summary.max);
    }
    e.value_hashes.insert(e.value_hashes.end(), summary.value_hashes.begin(),
                          summary.value_hashes.end());
  }
  SortHashes(merged);
}

}  // namespace

uint32_t HashText(std::string_view text) {
  const auto* bytes = reinterpret_cast<const Bytef*>(text.data());
  return static_cast<uint32_t>(crc32_z(crc32(0L, Z_NULL, 0), bytes, text.size()));
}

uint32_t HashBoolean(bool value) { return HashText(value ? "true" : "false"); }

void SummarizeMetadataDocument(const json& value, std::set<std::string>& field_names,
                               uint32_t centroid_id, FieldSummaryLists& summaries,
                               const std::string& prefix) {
  // Checked before the walk, which recurses and serialises arrays whole.
  if (NestedDeeperThan(value, kMaxJsonDepth)) ThrowSummaryError("nesting deeper than 64 levels");
  Summarize(value, field_names, centroid_id, summaries, prefix, prefix.empty());
}

std::vector<std::vector<uint8_t>> MergeCentroidSummaries(
    const std::vector<std::string>& field_names,
    const std::vector<std::vector<uint8_t>>& stored_buffers, const FieldSummaryLists& summaries) {
  if (field_names.size() != stored_buffers.size()) {
    throw std::invalid_argument("MergeCentroidSummaries: " + std::to_string(field_names.size()) +
                                " field names but " + std::to_string(stored_buffers.size()) +
                                " stored buffers");
  }
  static const std::vector<CentroidSummary> kNone;
  std::vector<std::vector<uint8_t>> result;
  result.reserve(field_names.size());
  for (size_t i = 0; i < field_names.size(); ++i) {
    const std::vector<uint8_t>& buffer = stored_buffers[i];
    CentroidSummaryMap stored;
    if (!buffer.empty()) {
      stored = ReadCentroidMetadataTable(VerifiedCentroidMetadataTable(buffer, field_names[i]));
      SortHashes(stored);
    }
    const auto list = summaries.find(field_names[i]);
    const std::vector<CentroidSummary>& fresh = list == summaries.end() ? kNone : list->second;
    const bool covered = std::all_of(fresh.begin(), fresh.end(), [&stored](const auto& s) {
      return Covers(stored, s);
    });
    if (covered) {
      result.push_back(buffer);
      continue;
    }
    FoldAll(stored, fresh);
    result.push_back(SerializeCentroidSummaries(stored));
  }
  return result;
}

}  // namespace nivora
