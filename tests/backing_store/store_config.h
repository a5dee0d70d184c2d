// Location configs for tests of keystores that read no connection settings.
#ifndef NIVORA_TESTS_BACKING_STORE_STORE_CONFIG_H_
#define NIVORA_TESTS_BACKING_STORE_STORE_CONFIG_H_

#include "core/db_config.h"

namespace nivora_encrypted_index::internal::backing_store::testing {

// A DBConfig of `location` with neither table name nor connection string.
nivora::DBConfig ConfigAt(nivora::Location location);

}  // namespace nivora_encrypted_index::internal::backing_store::testing

#endif  // NIVORA_TESTS_BACKING_STORE_STORE_CONFIG_H_
