// Builds the result.json records as JSON objects and writes them with the compact writer.
#include "worker/records.hpp"

#include "json/value.hpp"
#include "json/write.hpp"

namespace quarn::worker {

// The writer cannot fail for a value of the model, and every text here came from a
// Python str through its UTF-8 form, so there is no error path to report.
std::string record_text(const SuccessRecord& record) {
  json::Object object;
  object.emplace("artifact_format", "json");
  object.emplace("function_name", record.function_name);
  object.emplace("module_path", record.module_path);
  object.emplace("ok", true);
  object.emplace("result_type", record.result_type);
  object.emplace("signature", record.signature);
  object.emplace("value_path", record.value_path);
  return json::write(json::Value(std::move(object)));
}

std::string record_text(const FailureRecord& record) {
  json::Object object;
  object.emplace("error", record.error);
  object.emplace("error_type", record.error_type);
  object.emplace("ok", false);
  return json::write(json::Value(std::move(object)));
}

}  // namespace quarn::worker
