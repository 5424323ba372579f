// Host calls that describe a module or a target: each reads the host modules of the call.
#include "discover/describe.hpp"

#include <Python.h>

#include <optional>
#include <utility>

#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/host.hpp"

namespace quarn::discover {
namespace {

const host::Name kVersionInfo{"version_info"};
const host::Name kMajor{"major"};
const host::Name kMinor{"minor"};
const host::Name kMicro{"micro"};
const host::Name kGetsource{"getsource"};
const host::Name kDedent{"dedent"};
const host::Name kStrip{"strip"};
const host::Name kGetsourcefile{"getsourcefile"};
const host::Name kPath{"Path"};
const host::Name kResolve{"resolve"};
const host::Name kSignatureOf{"signature"};
const host::Name kReturnAnnotation{"return_annotation"};
const host::Name kSignatureClass{"Signature"};
const host::Name kEmpty{"empty"};
const host::Name kIsinstance{"isinstance"};
const host::Name kStat{"stat"};
const host::Name kStSize{"st_size"};

// One version number as a signed 64-bit integer.
long long version_number(Borrowed number) {
  const long long value = PyLong_AsLongLong(number.get());
  if (value == -1 && PyErr_Occurred() != nullptr) {
    throw_error();
  }
  return value;
}

}  // namespace

HostModules import_host_modules() {
  HostModules modules;
  modules.importlib = host::import("importlib");
  modules.inspect = host::import("inspect");
  modules.textwrap = host::import("textwrap");
  modules.sys = host::import("sys");
  modules.pathlib = host::import("pathlib");
  return modules;
}

std::string python_version(const HostModules& host_modules) {
  const Owned info = host::getattr(host_modules.sys, kVersionInfo);
  std::string text;
  for (const host::Name* part : {&kMajor, &kMinor, &kMicro}) {
    const Owned number = host::getattr(info, *part);
    if (!text.empty()) {
      text += '.';
    }
    text += std::to_string(version_number(number));
  }
  return text;
}

std::string normalised_source(const HostModules& host_modules, Borrowed object) {
  const Owned source = host::call(host::getattr(host_modules.inspect, kGetsource), object);
  const Owned dedented = host::call(host::getattr(host_modules.textwrap, kDedent), source);
  const Owned stripped = host::call_method(dedented, kStrip);
  const std::string_view view = text_view(stripped);
  std::string text;
  text.reserve(view.size() + 1);
  text += view;
  text += '\n';
  return text;
}

namespace {

// Whether inspect.getsourcefile names a file for `module` whose size pathlib reports as 0.
// A failure on the way means "no" and is discarded, unless it is not an ordinary error
// (a KeyboardInterrupt, say): that ends the call.
bool source_file_is_empty(const HostModules& host_modules, Borrowed module) {
  try {
    const Owned file = host::call(host::getattr(host_modules.inspect, kGetsourcefile), module);
    if (file.is(Py_None)) {
      return false;
    }
    const Owned path = host::call(host::getattr(host_modules.pathlib, kPath), file);
    const Owned size = host::getattr(host::call_method(path, kStat), kStSize);
    return PyLong_Check(size.get()) && PyObject_Not(size.get()) == 1;
  } catch (const PyError& error) {
    if (!error.matches(PyExc_Exception)) {
      throw;
    }
    return false;
  }
}

}  // namespace

std::string module_source(const HostModules& host_modules, Borrowed module) {
  std::optional<PyError> failure;
  try {
    return normalised_source(host_modules, module);
  } catch (PyError& error) {
    if (!error.matches(PyExc_OSError)) {
      throw;
    }
    failure.emplace(std::move(error));
  }
  // Asked outside the catch block: no C++ exception is in flight while Python code runs.
  if (source_file_is_empty(host_modules, module)) {
    return {};
  }
  throw std::move(*failure);
}

std::string source_file_path(const HostModules& host_modules, Borrowed target) {
  const Owned getsourcefile = host::getattr(host_modules.inspect, kGetsourcefile);
  Owned file;
  try {
    file = host::call(getsourcefile, target);
  } catch (const PyError&) {
    // No file to name (a built-in, a class defined in __main__ of a REPL): not an error.
    // A PanicException is not a PyError: it was resumed as a Panic and passes on.
    return {};
  }
  const Owned path = host::call(host::getattr(host_modules.pathlib, kPath), file);
  const Owned resolved = host::call_method(path, kResolve);
  return to_text(host::str(resolved));
}

std::optional<std::string> return_type(const HostModules& host_modules, Borrowed target) {
  const Owned signature = host::call(host::getattr(host_modules.inspect, kSignatureOf), target);
  const Owned annotation = host::getattr(signature, kReturnAnnotation);
  const Owned empty = host::getattr(host::getattr(host_modules.inspect, kSignatureClass), kEmpty);
  if (annotation.is(empty)) {
    return std::nullopt;
  }
  // Asked through builtins.isinstance so that the answer is the host's own, an object
  // whose __class__ claims to be a class included.
  const Owned builtins = host::import("builtins");
  const Owned is_class = host::call(host::getattr(builtins, kIsinstance), annotation,
                                    Borrowed(reinterpret_cast<PyObject*>(&PyType_Type)));
  if (check(PyObject_IsTrue(is_class.get())) != 0) {
    return to_text(host::getattr(annotation, host::names::dunder_name));
  }
  return to_text(host::str(annotation));
}

}  // namespace quarn::discover
