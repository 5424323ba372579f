// What the module root registers: the two classes and the four functions' entry points.
#pragma once

#include <Python.h>

#include "boundary/types.hpp"

namespace quarn {

namespace declare {
extern LazyType asset_wrapper_type;
extern LazyType partitions_type;
extern const char asset_doc[];
extern const char partitions_doc[];
PyObject* asset_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) noexcept;
PyObject* partitions_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) noexcept;
}  // namespace declare

namespace discover {
extern const char inspect_modules_doc[];
PyObject* inspect_modules_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) noexcept;
}  // namespace discover

namespace worker {
extern const char materialize_asset_doc[];
PyObject* materialize_asset_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) noexcept;
}  // namespace worker

}  // namespace quarn
