// Builds the asset entries and writes the inspection document.
#include "discover/entry.hpp"

#include <Python.h>

#include <exception>

#include "boundary/errors.hpp"
#include "boundary/messages.hpp"
#include "json/write.hpp"

namespace quarn::discover {

json::Value asset_entry(AssetFacts facts, std::string_view module_source,
                        std::string_view python_version) {
  // The object orders its members by name; the insertion order does not show in the text.
  json::Object entry;
  entry.emplace("kind", "asset");
  entry.emplace("module_path", std::move(facts.module_path));
  entry.emplace("file_path", std::move(facts.file_path));
  entry.emplace("function_name", std::move(facts.function_name));
  entry.emplace("function_source", std::move(facts.function_source));
  entry.emplace("module_source", module_source);
  entry.emplace("decorator_metadata", std::move(facts.decorator_metadata));
  entry.emplace("return_type", facts.return_type ? json::Value(std::move(*facts.return_type))
                                                 : json::Value(nullptr));
  entry.emplace("python_version", python_version);
  return entry;
}

std::string document_text(json::Array entries) {
  json::Object document;
  document.emplace("assets", std::move(entries));
  const json::Value value(std::move(document));
  try {
    return json::write(value);
  } catch (const std::exception& failure) {
    // The writer has no failure of its own for these values; running out of memory on a
    // large document is what could reach here.
    raise(PyExc_RuntimeError, messages::json_serialization_error(failure.what()));
  }
}

}  // namespace quarn::discover
