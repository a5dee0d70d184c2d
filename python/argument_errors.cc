#include "python/argument_errors.h"

namespace nivora::python {

std::string MustBe(const std::string& argument, const std::string& expected,
                   pybind11::handle given) {
  return argument + " must be " + expected + ", not " + Py_TYPE(given.ptr())->tp_name;
}

std::string ItemField(const char* field, size_t index) {
  return std::string("'") + field + "' of item " + std::to_string(index);
}

}  // namespace nivora::python
