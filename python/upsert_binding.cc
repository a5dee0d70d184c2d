// EncryptedIndex.upsert in its two forms: a list of item dicts (with text
// contents embedded by the index's model when an item has no vector), or
// ids and a float32 matrix.
//
// Everything is converted and checked with the GIL held (first pass over
// all items, then the second pass, then the embedding model), so nothing
// is stored unless Upsert is reached; Upsert runs through CallNative. The
// matrix of the ids-and-array form is copied once and moved into Upsert,
// integer id arrays are formatted here without Python objects, and every
// failure reaches Python as ValueError with its text.
#include <pybind11/stl.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/argument_errors.h"
#include "python/array_conversion.h"
#include "python/embedding_model.h"
#include "python/index_methods.h"
#include "python/module_state.h"

namespace py = pybind11;

namespace nivora::python {
namespace {

constexpr const char* kNoModelMessage =
    "Index was not set up for automatic embedding generation. Provide `vector` explicitly or "
    "create a new index with an embedding model.";

struct UpsertArgs {
  std::vector<std::string> ids;
  Array2D<float> embeddings;
  std::vector<std::vector<uint8_t>> contents;
  std::vector<std::string> metadata;
};

// An id as pybind11 converts it (str, bytes or bytearray); anything else is
// refused naming `what`.
std::string IdText(py::handle value, const std::string& what) {
  try {
    return value.cast<std::string>();
  } catch (const py::cast_error&) {
    throw std::invalid_argument(MustBe(what, "str, bytes or bytearray", value));
  }
}

// ---- ids and array -------------------------------------------------------------

// swapped: the elements are stored in the byte order opposite to the
// machine's (numpy's ">i8" on a little-endian machine).
template <typename T>
void FormatIntegers(const py::buffer_info& info, bool swapped, std::vector<std::string>& ids) {
  const char* base = static_cast<const char*>(info.ptr);
  char text[24];
  for (py::ssize_t i = 0; i < info.shape[0]; ++i) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, base + i * info.strides[0], sizeof(T));
    if (swapped) std::reverse(bytes, bytes + sizeof(T));
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    const auto end = std::to_chars(text, text + sizeof(text), value).ptr;
    ids.emplace_back(text, end);
  }
}

template <typename Signed, typename Unsigned>
void FormatEither(bool is_signed, const py::buffer_info& info, bool swapped,
                  std::vector<std::string>& ids) {
  if (is_signed) return FormatIntegers<Signed>(info, swapped, ids);
  FormatIntegers<Unsigned>(info, swapped, ids);
}

// The decimal text of every element of a 1-D integer array, in either byte
// order; false when the dtype is not a plain integer type.
bool IntegerIds(const py::array& array, std::vector<std::string>& ids) {
  const char kind = array.dtype().kind();
  if (kind != 'i' && kind != 'u') return false;
  const py::buffer_info info = array.request();
  ids.reserve(static_cast<size_t>(info.shape[0]));
  const bool is_signed = kind == 'i';
  const bool swapped = !array.dtype().attr("isnative").cast<bool>();
  switch (info.itemsize) {
    case 1: FormatEither<int8_t, uint8_t>(is_signed, info, swapped, ids); break;
    case 2: FormatEither<int16_t, uint16_t>(is_signed, info, swapped, ids); break;
    case 4: FormatEither<int32_t, uint32_t>(is_signed, info, swapped, ids); break;
    case 8: FormatEither<int64_t, uint64_t>(is_signed, info, swapped, ids); break;
    default: return false;
  }
  return true;
}

std::vector<std::string> ArrayIds(const py::array& array) {
  if (array.ndim() != 1) throw std::invalid_argument("ids array must be 1D.");
  std::vector<std::string> ids;
  if (IntegerIds(array, ids)) return ids;
  for (py::handle element : array.attr("tolist")()) ids.push_back(py::str(element).cast<std::string>());
  return ids;
}

UpsertArgs IdsAndArray(const py::object& arg1, const py::object& arg2) {
  if (!py::isinstance<py::array>(arg2)) {
    throw std::invalid_argument("Second argument must be a numpy array for vectors.");
  }
  const auto vectors = py::reinterpret_borrow<py::array>(arg2);
  if (py::str(vectors.dtype()).cast<std::string>() != "float32") {
    throw std::invalid_argument("vectors must be float32.");
  }
  UpsertArgs args;
  if (py::isinstance<py::list>(arg1)) {
    const auto list = py::reinterpret_borrow<py::list>(arg1);
    args.ids.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
      args.ids.push_back(IdText(list[i], "ids[" + std::to_string(i) + "]"));
    }
  } else if (py::isinstance<py::array>(arg1)) {
    args.ids = ArrayIds(py::reinterpret_borrow<py::array>(arg1));
  } else {
    throw std::invalid_argument(
        "Invalid argument types. Expected a list of dicts for single arg mode, (list[str], "
        "float32 np.ndarray) or (int32/int64 np.ndarray, float32 np.ndarray) for two-arg mode.");
  }
  args.embeddings = NumpyToArray2D(py::array_t<float>::ensure(vectors), false);
  return args;
}

// ---- list of dicts -------------------------------------------------------------

struct PendingTexts {
  std::vector<std::string> texts;
  std::vector<size_t> items;
};

std::vector<uint8_t> ContentBytes(const py::handle value) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (py::isinstance<py::bytes>(value)) {
    char* bytes = nullptr;
    if (PyBytes_AsStringAndSize(value.ptr(), &bytes, &size) != 0) throw py::error_already_set();
    data = bytes;
  } else if (py::isinstance<py::str>(value)) {
    data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (data == nullptr) throw py::error_already_set();
  } else {
    throw std::invalid_argument("'contents' must be of type `bytes` or `str`.");
  }
  const auto* begin = reinterpret_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(begin, begin + size);
}

// A float32 array is copied whole; anything else goes through FloatRow.
std::vector<float> VectorRow(const py::handle value, size_t item) {
  if (py::array_t<float>::check_(value) && py::reinterpret_borrow<py::array>(value).ndim() == 1) {
    const Array2D<float> row = NumpyToArray2D(py::array_t<float>::ensure(value), true);
    return std::vector<float>(row.data, row.data + row.size());
  }
  return FloatRow(value, ItemField("vector", item));
}

// The item's metadata as JSON text: a dict, or what the dict constructor
// makes of a mapping or of key-value pairs. Text is refused rather than
// read as pairs of characters.
std::string MetadataText(const py::handle value, size_t item) {
  const std::string what = ItemField("metadata", item);
  const char* expected = "a dict or None";
  if (py::isinstance<py::str>(value) || py::isinstance<py::bytes>(value)) {
    throw std::invalid_argument(MustBe(what, expected, value));
  }
  py::object document = py::reinterpret_borrow<py::object>(value);
  if (!py::isinstance<py::dict>(document)) {
    try {
      document = py::dict(document);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
      throw std::invalid_argument(MustBe(what, expected, value));
    }
  }
  return JsonDumps(document).cast<std::string>();
}

void EmbedTexts(const std::string& model_name, const PendingTexts& pending,
                std::vector<std::vector<float>>& rows) {
  if (model_name.empty()) throw std::invalid_argument(kNoModelMessage);
  const py::object model = LoadEmbeddingModel(model_name);
  try {
    if (pending.texts.size() == 1) {
      const py::object encoded = model.attr("encode")(py::str(pending.texts[0]), py::arg("convert_to_numpy") = true);
      rows[pending.items[0]] = encoded.cast<std::vector<float>>();
      return;
    }
    const py::object encoded = model.attr("encode")(py::cast(pending.texts), py::arg("convert_to_numpy") = true);
    using Matrix = py::array_t<float, py::array::c_style | py::array::forcecast>;
    const Matrix matrix = Matrix::ensure(encoded);
    if (!matrix) {
      PyErr_Clear();
      throw std::invalid_argument("Batch embeddings must be convertible to a float32 array.");
    }
    if (matrix.ndim() != 2) {
      throw std::invalid_argument("Expected 2D array from batch encoding, got " +
                                  std::to_string(matrix.ndim()) + "D");
    }
    if (static_cast<size_t>(matrix.shape(0)) != pending.texts.size()) {
      throw std::invalid_argument("Mismatch between number of embeddings returned and texts provided.");
    }
    const size_t cols = static_cast<size_t>(matrix.shape(1));
    for (size_t k = 0; k < pending.items.size(); ++k) {
      const float* row = matrix.data() + k * cols;
      rows[pending.items[k]].assign(row, row + cols);
    }
  } catch (py::error_already_set& e) {
    throw std::runtime_error(std::string("Failed to process batch embeddings: ") + e.what());
  }
}

UpsertArgs ItemDicts(const IndexHandle& self, const py::object& arg1) {
  if (!py::isinstance<py::list>(arg1) || py::len(arg1) == 0 ||
      !py::isinstance<py::dict>(py::reinterpret_borrow<py::list>(arg1)[0])) {
    throw std::invalid_argument("Invalid arguments. Expected a list of dicts when passing a single argument.");
  }
  const auto list = py::reinterpret_borrow<py::list>(arg1);
  const std::string model_name = self.EmbeddingModelName();
  const size_t n = list.size();
  std::vector<py::dict> items;
  items.reserve(n);
  UpsertArgs args;
  args.ids.reserve(n);
  args.contents.resize(n);
  std::vector<std::string> metadata(n);
  bool any_metadata = false;
  PendingTexts pending;
  for (size_t i = 0; i < n; ++i) {
    const py::handle element = list[i];
    items.push_back(py::isinstance<py::dict>(element) ? py::reinterpret_borrow<py::dict>(element)
                                                      : py::dict(py::reinterpret_borrow<py::object>(element)));
    const py::dict& item = items.back();
    if (!item.contains("id")) throw std::invalid_argument("Each dictionary must contain an 'id' key.");
    args.ids.push_back(IdText(item["id"], ItemField("id", i)));
    if (!item.contains("vector") && item.contains("contents")) {
      const py::object text = item["contents"];
      if (!py::isinstance<py::str>(text)) {
        throw std::invalid_argument("'contents' must be of `str` type for auto-embedding.");
      }
      pending.texts.push_back(text.cast<std::string>());
      pending.items.push_back(i);
    }
    if (item.contains("contents")) args.contents[i] = ContentBytes(item["contents"]);
    if (item.contains("metadata") && !py::object(item["metadata"]).is_none()) {
      metadata[i] = MetadataText(item["metadata"], i);
      any_metadata = true;
    }
  }
  std::vector<std::vector<float>> rows(n);
  for (size_t i = 0; i < n; ++i) {
    if (items[i].contains("vector")) {
      rows[i] = VectorRow(items[i]["vector"], i);
    } else if (!items[i].contains("contents")) {
      throw std::invalid_argument("Item at index " + std::to_string(i) +
                                  " is missing both 'vector' and 'contents' fields.");
    }
  }
  if (!pending.texts.empty()) EmbedTexts(model_name, pending, rows);
  if (any_metadata) args.metadata = std::move(metadata);
  args.embeddings = RowsToArray2D(rows);
  return args;
}

}  // namespace

void UpsertBinding(IndexHandle& self, const py::object& arg1, const py::object& arg2) {
  try {
    UpsertArgs args = arg2.is_none() ? ItemDicts(self, arg1) : IdsAndArray(arg1, arg2);
    CallNative(self.lock, [&] {
      self.index->Upsert(args.ids, std::move(args.embeddings), args.contents, args.metadata);
    });
  } catch (const std::exception& e) {
    throw py::value_error(e.what());
  }
}

}  // namespace nivora::python
