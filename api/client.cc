// The public client (temporary stubs).
#include "api/client.h"

#include <stdexcept>

namespace nivora {
namespace {
[[noreturn]] void NotYet() { throw std::logic_error("not implemented"); }
DBConfig Memory() { return DBConfig(Location::MEMORY, std::nullopt, std::nullopt); }
}  // namespace

Client::Client(const std::string&, const DBConfig&, const DBConfig&, const DBConfig&, int,
               GPUConfig)
    : index_location_(Memory()), config_location_(Memory()), items_location_(Memory()),
      vectors_location_(Memory()), metadata_location_(Memory()), id_location_(Memory()) {
  NotYet();
}
Client::Client(const std::string&, const DBConfig&, const DBConfig&, const DBConfig&, int,
               GPUConfig, const std::string&)
    : index_location_(Memory()), config_location_(Memory()), items_location_(Memory()),
      vectors_location_(Memory()), metadata_location_(Memory()), id_location_(Memory()) {
  NotYet();
}
Client::Client(const std::string&, const DBConfig&, const DBConfig&, const DBConfig&, int,
               GPUConfig, std::shared_ptr<internal::TelemetryAggregator>)
    : index_location_(Memory()), config_location_(Memory()), items_location_(Memory()),
      vectors_location_(Memory()), metadata_location_(Memory()), id_location_(Memory()) {
  NotYet();
}
Client::~Client() = default;
std::unique_ptr<EncryptedIndex> Client::CreateIndex(const std::string&,
                                                    const std::array<uint8_t, 32>&,
                                                    const IndexConfig&,
                                                    std::optional<DistanceMetric>, Logger*) {
  NotYet();
}
std::unique_ptr<EncryptedIndex> Client::CreateIndex(const std::string&,
                                                    const std::array<uint8_t, 32>&,
                                                    std::optional<DistanceMetric>, Logger*) {
  NotYet();
}
std::unique_ptr<EncryptedIndex> Client::LoadIndex(const std::string&,
                                                  const std::array<uint8_t, 32>&, Logger*) {
  NotYet();
}
std::vector<std::string> Client::ListIndexes() { NotYet(); }

}  // namespace nivora
