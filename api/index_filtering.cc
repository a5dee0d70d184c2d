// Pre-filtering, metadata summaries update and post-filtering of an index.
#include <stdexcept>

#include "api/encrypted_index.h"

namespace nivora {

PreFilterResult EncryptedIndex::PreFiltering(const std::string&) {
  throw std::logic_error("not implemented");
}

void EncryptedIndex::UpdateMetadata(const std::vector<std::string>&,
                                    const std::vector<uint32_t>&) {
  throw std::logic_error("not implemented");
}

void EncryptedIndex::PostFiltering(nivora_encrypted_index::RetrieveNeighborsResult&,
                                   std::vector<std::string>&, const std::string&) {
  throw std::logic_error("not implemented");
}

}  // namespace nivora
