// Query and its core, Retrieve.
#include <stdexcept>

#include "api/encrypted_index.h"

namespace nivora {

QueryResult EncryptedIndex::Query(const Array2D<float>&, const QueryParams&) {
  throw std::logic_error("not implemented");
}

QueryResult EncryptedIndex::Retrieve(const Array2D<float>&, QueryParams&) {
  throw std::logic_error("not implemented");
}

}  // namespace nivora
