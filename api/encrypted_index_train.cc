// Training of an index.
#include <stdexcept>

#include "api/encrypted_index.h"

namespace nivora {

void EncryptedIndex::TrainIndex(const TrainParams&) { throw std::logic_error("not implemented"); }

}  // namespace nivora
