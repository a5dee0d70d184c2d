#include "filters/summary_format.h"

#include <algorithm>
#include <functional>
#include <iostream>
#include <stdexcept>

#include "centroid_metadata_generated.h"
#include "core/log_and_throw.h"
#include "core/logger.h"

namespace nivora {
namespace {

bool IsStrictlyAscending(const std::vector<uint32_t>& values) {
  return std::adjacent_find(values.begin(), values.end(), std::greater_equal<uint32_t>()) ==
         values.end();
}

}  // namespace

std::vector<uint8_t> SerializeCentroidSummaries(const CentroidSummaryMap& summaries) {
  flatbuffers::FlatBufferBuilder builder(1024);
  std::vector<flatbuffers::Offset<fb::CentroidSummaryTable>> entries;
  entries.reserve(summaries.size());
  std::vector<uint32_t> hashes;
  for (const auto& [centroid_id, summary] : summaries) {
    const std::vector<uint32_t>* written = &summary.value_hashes;
    if (!IsStrictlyAscending(*written)) {
      hashes = summary.value_hashes;
      std::sort(hashes.begin(), hashes.end());
      hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
      written = &hashes;
    }
    const auto hash_vector = builder.CreateVector(*written);
    fb::CentroidSummaryTableBuilder entry(builder);
    entry.add_max(summary.max);
    entry.add_min(summary.min);
    entry.add_value_hashes(hash_vector);
    entry.add_centroid_id(centroid_id);
    entries.push_back(entry.Finish());
  }
  const auto entry_vector = builder.CreateVector(entries);
  builder.Finish(fb::CreateCentroidMetadataTable(builder, entry_vector));
  return {builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()};
}

const fb::CentroidMetadataTable* VerifiedCentroidMetadataTable(const std::vector<uint8_t>& buffer,
                                                               const std::string& field_name) {
  const auto corrupt = [&field_name] {
    return std::runtime_error("Corrupt centroid metadata buffer for field '" + field_name + "'");
  };
  if (buffer.size() >= FLATBUFFERS_MAX_BUFFER_SIZE) throw corrupt();
  // Every table takes at least four bytes, so this table limit never refuses
  // a well-formed buffer, however many centroids it holds.
  flatbuffers::Verifier::Options options;
  options.max_tables = static_cast<flatbuffers::uoffset_t>(buffer.size() / 4 + 1);
  flatbuffers::Verifier verifier(buffer.data(), buffer.size(), options);
  if (!fb::VerifyCentroidMetadataTableBuffer(verifier)) throw corrupt();
  return fb::GetCentroidMetadataTable(buffer.data());
}

CentroidSummaryMap ReadCentroidMetadataTable(const fb::CentroidMetadataTable* table) {
  CentroidSummaryMap summaries;
  if (table == nullptr || table->entries() == nullptr) return summaries;
  for (const fb::CentroidSummaryTable* entry : *table->entries()) {
    CentroidSummary& summary = summaries[entry->centroid_id()];
    summary.centroid_id = entry->centroid_id();
    summary.min = entry->min();
    summary.max = entry->max();
    summary.value_hashes.clear();
    if (const auto* hashes = entry->value_hashes()) {
      summary.value_hashes.assign(hashes->begin(), hashes->end());
    }
  }
  return summaries;
}

FieldSummaryMaps ReadCentroidMetadataBuffers(const std::vector<std::string>& field_names,
                                             const std::vector<std::vector<uint8_t>>& buffers) {
  try {
    if (field_names.size() != buffers.size()) {
      throw std::invalid_argument("got " + std::to_string(field_names.size()) +
                                  " field names but " + std::to_string(buffers.size()) +
                                  " buffers");
    }
    FieldSummaryMaps fields;
    for (size_t i = 0; i < field_names.size(); ++i) {
      const std::string& name = field_names[i];
      if (buffers[i].empty()) {
        const std::string warning = "Warning: Empty metadata buffer for field '" + name + "'.";
        GetLogger()->warning(warning);
        std::cerr << warning << std::endl;
        continue;
      }
      fields[name] = ReadCentroidMetadataTable(VerifiedCentroidMetadataTable(buffers[i], name));
    }
    return fields;
  } catch (const std::exception& e) {
    LogAndThrow<std::runtime_error>(
        *GetLogger(), CRITICAL,
        std::string("Error while converting buffer to map of centroid map: ") + e.what());
  }
}

}  // namespace nivora
