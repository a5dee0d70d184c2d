// KeepClientAlive: the call policy of the Client methods that return an
// index (create_index, load_index). It ties the returned object to the
// Client object (self) as pybind11::keep_alive<0, 1> does, so the native
// client outlives every index made from it.
//
// pybind11 3 runs a method's post-call hooks even when its arguments failed
// to convert, with the "try the next overload" marker in place of a result;
// keep_alive<0, 1> then treats that marker as an object and crashes the
// interpreter (a name of None, a configuration of the wrong class). This
// policy skips the marker, so such calls end in the usual TypeError.
#ifndef NIVORA_PYTHON_KEEP_CLIENT_ALIVE_H_
#define NIVORA_PYTHON_KEEP_CLIENT_ALIVE_H_

#include <pybind11/pybind11.h>

namespace nivora::python {

struct KeepClientAlive {};

}  // namespace nivora::python

namespace pybind11::detail {

template <>
struct process_attribute<nivora::python::KeepClientAlive>
    : public process_attribute_default<nivora::python::KeepClientAlive> {
  static void postcall(function_call& call, handle ret) {
    if (ret.ptr() == PYBIND11_TRY_NEXT_OVERLOAD) return;
    keep_alive_impl(0, 1, call, ret);
  }
};

}  // namespace pybind11::detail

#endif  // NIVORA_PYTHON_KEEP_CLIENT_ALIVE_H_
