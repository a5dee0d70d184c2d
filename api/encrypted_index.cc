// Lifecycle of an index (temporary stubs).
#include <stdexcept>

#include "api/encrypted_index.h"

namespace nivora {
namespace {
[[noreturn]] void NotYet() { throw std::logic_error("not implemented"); }
}  // namespace

EncryptedIndex::EncryptedIndex(const std::string&, const std::array<uint8_t, 32>&,
                               const IndexConfig&, nivora_encrypted_index::NewIndexConfig&,
                               Logger*, std::shared_ptr<internal::TelemetryAggregator>,
                               std::optional<std::string>) {
  NotYet();
}
EncryptedIndex::EncryptedIndex(const std::string&, const std::array<uint8_t, 32>&,
                               nivora_encrypted_index::ExistingIndexConfig&, Logger*,
                               std::shared_ptr<internal::TelemetryAggregator>,
                               std::optional<std::string>) {
  NotYet();
}
EncryptedIndex::~EncryptedIndex() = default;
void EncryptedIndex::Upsert(const std::vector<std::string>&, Array2D<float>,
                            const std::vector<std::vector<uint8_t>>&,
                            const std::vector<std::string>&) { NotYet(); }
std::vector<GetResultItem> EncryptedIndex::Get(const std::vector<std::string>&,
                                               const std::vector<ItemFields>&) { NotYet(); }
void EncryptedIndex::Delete(const std::vector<std::string>&) { NotYet(); }
std::vector<std::string> EncryptedIndex::ListIDs() { NotYet(); }
void EncryptedIndex::DeleteIndex() { NotYet(); }
size_t EncryptedIndex::get_num_vectors() { NotYet(); }
bool EncryptedIndex::is_trained() const { NotYet(); }
std::string EncryptedIndex::index_name() const { NotYet(); }
std::unique_ptr<IndexConfig> EncryptedIndex::config() const { NotYet(); }
void EncryptedIndex::IngestTrained(Array2D<float>, const std::vector<std::string>&,
                                   const std::vector<std::vector<uint8_t>>&,
                                   const std::vector<std::string>&, bool) { NotYet(); }
void EncryptedIndex::SyncQuantizers() { NotYet(); }
void EncryptedIndex::EndQuantizerUse() { NotYet(); }
bool EncryptedIndex::LoadQuantizersFromCache() { NotYet(); }
bool EncryptedIndex::CheckAndReloadQuantizers() { NotYet(); }
void EncryptedIndex::CacheQuantizers() { NotYet(); }
void EncryptedIndex::WipeQuantizers(QuantizerSet&) { NotYet(); }
std::vector<uint8_t> EncryptedIndex::SerializeIndexState() const { NotYet(); }
void EncryptedIndex::DeserializeIndexState(const std::vector<uint8_t>&) { NotYet(); }
void EncryptedIndex::StoreIndexState() { NotYet(); }
void EncryptedIndex::SyncEngineShape() { NotYet(); }
size_t EncryptedIndex::TrainedPayloadSize() const { NotYet(); }
internal::QuantizerCacheKey EncryptedIndex::cache_key() const { NotYet(); }
internal::QuantizerStamp EncryptedIndex::stamp() const { NotYet(); }
void EncryptedIndex::RequireConnected() const { NotYet(); }
std::vector<float> EncryptedIndex::PayloadToFloats(const std::vector<uint8_t>&) const { NotYet(); }

}  // namespace nivora
