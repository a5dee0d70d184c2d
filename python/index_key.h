// Conversion of the Python forms of an index key (32-byte bytes, a list or
// tuple of 32 integers 0..255, or any object with __getitem__ and __len__
// giving 32 such integers) into the 32 key bytes.
//
// Runs with the GIL held. The bytes go straight into the caller's array and
// nowhere else in native memory; the caller owns the array and wipes it
// (a WipedKey does so on every path).
#ifndef NIVORA_PYTHON_INDEX_KEY_H_
#define NIVORA_PYTHON_INDEX_KEY_H_

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>

namespace nivora {

// Fills `key` from `index_key`. Throws std::invalid_argument "index_key must
// be exactly 32 bytes" (bytes of another length), "index_key must be exactly
// 32 elements" (a sequence of another length) or "index_key must be bytes,
// list, tuple, or array-like object with 32 elements" (neither) or "index_key
// must be bytes or a sequence of 32 integers from 0 to 255, not str"; an
// element that is not an integer 0..255 fails with a pybind11 cast error (a
// std::runtime_error) "index_key element <i> must be an integer from 0 to
// 255"; a Python error of __len__ or __getitem__ propagates.
// On failure `key` may hold some bytes already: the caller wipes it.
void ToIndexKey(const pybind11::object& index_key, std::array<uint8_t, 32>& key);

}  // namespace nivora

#endif  // NIVORA_PYTHON_INDEX_KEY_H_
