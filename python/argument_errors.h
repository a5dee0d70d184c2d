// Messages for Python arguments of the wrong kind: each names the argument,
// what it must be and the type it was given, so that a caller sees what to
// change instead of a converter's generic text.
//
// Runs with the GIL held (reads the type of a Python object).
#ifndef NIVORA_PYTHON_ARGUMENT_ERRORS_H_
#define NIVORA_PYTHON_ARGUMENT_ERRORS_H_

#include <pybind11/pybind11.h>

#include <string>

namespace nivora::python {

// "<argument> must be <expected>, not <type name of given>".
std::string MustBe(const std::string& argument, const std::string& expected,
                   pybind11::handle given);

// "<argument> of item <index>": the name of a field of one upserted item.
std::string ItemField(const char* field, size_t index);

}  // namespace nivora::python

#endif  // NIVORA_PYTHON_ARGUMENT_ERRORS_H_
