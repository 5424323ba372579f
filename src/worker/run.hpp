// One materialization run: prepare the output directory, run the asset, record the outcome.
#pragma once

#include <optional>
#include <string>

#include "boundary/ref.hpp"

namespace quarn::worker {

// The converted arguments of one materialize_asset call.
struct RunRequest {
  std::string module_name;
  std::string function_name;
  std::string output_dir;
  std::optional<std::string> input_kwargs_json;  // absent: call with no arguments
};

// Returns None after value.json and the success record are written. When the asset run
// fails, writes the failure record and raises SystemExit(1) through sys.exit(1) (None
// if sys.exit returns). Failures while preparing the directory or recording a failure
// propagate unchanged; a PanicException is never recorded.
[[nodiscard]] Owned run_materialization(const RunRequest& request);

}  // namespace quarn::worker
