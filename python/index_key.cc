#include "python/index_key.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "python/argument_errors.h"

namespace py = pybind11;

namespace nivora {
namespace {

constexpr size_t kKeySize = 32;

void FromBytes(const py::handle bytes, std::array<uint8_t, 32>& key) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) throw py::error_already_set();
  if (static_cast<size_t>(size) != kKeySize) {
    throw std::invalid_argument("index_key must be exactly 32 bytes");
  }
  std::memcpy(key.data(), data, kKeySize);
}

// Elements through pybind11's uint8 conversion: ints 0..255, bools and
// objects with __index__; floats and out-of-range values are refused with a
// conversion error that names the element.
template <typename Element>
void FromElements(Element&& element, std::array<uint8_t, 32>& key) {
  for (size_t i = 0; i < kKeySize; ++i) {
    const py::object value = element(i);
    try {
      key[i] = py::cast<uint8_t>(value);
    } catch (const py::cast_error&) {
      throw py::cast_error("index_key element " + std::to_string(i) +
                           " must be an integer from 0 to 255");
    }
  }
}

}  // namespace

void ToIndexKey(const py::object& index_key, std::array<uint8_t, 32>& key) {
  if (py::isinstance<py::bytes>(index_key)) return FromBytes(index_key, key);
  if (py::isinstance<py::str>(index_key)) {
    // Its characters are not bytes, whatever its length.
    throw std::invalid_argument(python::MustBe(
        "index_key", "bytes or a sequence of 32 integers from 0 to 255", index_key));
  }
  if (py::isinstance<py::list>(index_key) || py::isinstance<py::tuple>(index_key)) {
    const py::sequence items = py::reinterpret_borrow<py::sequence>(index_key);
    if (items.size() != kKeySize) throw std::invalid_argument("index_key must be exactly 32 elements");
    return FromElements([&](size_t i) { return py::object(items[i]); }, key);
  }
  if (!py::hasattr(index_key, "__getitem__") || !py::hasattr(index_key, "__len__")) {
    throw std::invalid_argument(
        "index_key must be bytes, list, tuple, or array-like object with 32 elements");
  }
  if (py::len(index_key) != kKeySize) {
    throw std::invalid_argument("index_key must be exactly 32 elements");
  }
  const py::object getitem = index_key.attr("__getitem__");
  FromElements([&](size_t i) { return getitem(py::int_(i)); }, key);
}

}  // namespace nivora
