// The inspection document: one JSON object per asset, and the document that holds them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace quarn::discover {

// What discovery learned about one asset, apart from what every entry of a module or of a
// call shares (the module source, the version text).
struct AssetFacts {
  std::string module_path;
  std::string file_path;
  std::string function_name;
  std::string function_source;
  json::Value decorator_metadata;
  std::optional<std::string> return_type;  // null in the document when absent
};

// The entry object with its nine members; the shared texts are copied into it.
[[nodiscard]] json::Value asset_entry(AssetFacts facts, std::string_view module_source,
                                      std::string_view python_version);

// {"assets":[...]} as compact JSON text: one line, members in byte order, no line break
// at the end.
[[nodiscard]] std::string document_text(json::Array entries);

}  // namespace quarn::discover
