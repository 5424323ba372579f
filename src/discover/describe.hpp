// What discovery asks the host about a module or an asset's target: sources, file path,
// return type, and the interpreter's version.
#pragma once

#include <optional>
#include <string>

#include "boundary/ref.hpp"

namespace quarn::discover {

// The host modules one discovery call works with, imported once per call.
struct HostModules {
  Owned importlib;
  Owned inspect;
  Owned textwrap;
  Owned sys;
  Owned pathlib;
};

// Imports importlib, inspect, textwrap, sys and pathlib, in this order.
[[nodiscard]] HostModules import_host_modules();

// "major.minor.micro" from sys.version_info.
[[nodiscard]] std::string python_version(const HostModules& host_modules);

// inspect.getsource(object), dedented, stripped at both ends, plus one line feed.
[[nodiscard]] std::string normalised_source(const HostModules& host_modules, Borrowed object);

// A module's source, as normalised_source gives it. The host's getsource refuses an empty
// file with OSError; the source of a module whose file is empty is the empty text. A module
// without a source file (built-in, extension, file gone) keeps that failure.
[[nodiscard]] std::string module_source(const HostModules& host_modules, Borrowed module);

// str(pathlib.Path(inspect.getsourcefile(target)).resolve()), or the empty text when
// getsourcefile raises. Every other failure ends the call, including the TypeError
// pathlib raises when getsourcefile gives None.
[[nodiscard]] std::string source_file_path(const HostModules& host_modules, Borrowed target);

// The target's return annotation: nothing when it has none, a class's __name__, or str()
// of anything else.
[[nodiscard]] std::optional<std::string> return_type(const HostModules& host_modules,
                                                     Borrowed target);

}  // namespace quarn::discover
