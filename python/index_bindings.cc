// The Python class EncryptedIndex. Pending the Index API's
// nivora::EncryptedIndex: until it lands this registers nothing.
#include "python/registration.h"

namespace nivora::python {

void RegisterEncryptedIndex(pybind11::module_& /*m*/) {
  // Filled in with nivora::EncryptedIndex: is_trained, index_name,
  // index_type, index_config, n_lists, dimension, metric, delete_index, get,
  // train, upsert, delete, query_numpy, query, get_num_vectors, list_ids.
}

}  // namespace nivora::python
