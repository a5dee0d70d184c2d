#include "backing_store/store_config.h"

namespace nivora_encrypted_index::internal::backing_store::testing {

// Out of line: inlined into its callers, g++ 12 under the sanitizers warns
// falsely about copying the empty optionals.
nivora::DBConfig ConfigAt(nivora::Location location) {
  return nivora::DBConfig(location, std::nullopt, std::nullopt);
}

}  // namespace nivora_encrypted_index::internal::backing_store::testing
