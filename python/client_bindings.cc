// The Python class Client. Pending the Index API's nivora::Client: until it
// lands this registers nothing, and the module has every other class.
#include "python/registration.h"

namespace nivora::python {

void RegisterClient(pybind11::module_& /*m*/) {
  // Filled in with nivora::Client: constructor, list_indexes, create_index,
  // load_index, get_cpu_threads, is_gpu_enabled, get_gpu_config.
}

}  // namespace nivora::python
