// Writes the inspection document with the JSON library's compact writer.
#include "discover/document.hpp"

#include <algorithm>
#include <array>

#include "json/write.hpp"

namespace quarn::discover {
namespace {

// The entry's members, in the order the writer must put them: ascending byte order of the
// names, as for every JSON object of the system.
enum Member : std::size_t {
  kDecoratorMetadata,
  kFilePath,
  kFunctionName,
  kFunctionSource,
  kKind,
  kModulePath,
  kModuleSource,
  kPythonVersion,
  kReturnType,
  kMemberCount,
};

constexpr std::array<std::string_view, kMemberCount> kMemberNames = {
    "decorator_metadata", "file_path",     "function_name",  "function_source", "kind",
    "module_path",        "module_source", "python_version", "return_type",
};
static_assert(std::ranges::is_sorted(kMemberNames), "entry members must be in byte order");

constexpr std::string_view kDocumentHead = R"({"assets":[)";
constexpr std::string_view kDocumentTail = "]}";

// Writes the separator and the quoted name of `member`; its value follows.
void begin_member(Member member, std::string& out) {
  out += member == kDecoratorMetadata ? '{' : ',';
  json::write_string(kMemberNames[member], out);
  out += ':';
}

std::string written(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  json::write_string(text, out);
  return out;
}

}  // namespace

Document::Document(std::string_view python_version) : python_version_(written(python_version)) {}

Document::SharedSource Document::share_module_source(std::string_view module_source) {
  return &module_sources_.emplace_back(written(module_source));
}

void Document::add(const AssetFacts& facts, SharedSource module_source) {
  Entry& entry = entries_.emplace_back();
  std::string& head = entry.head;
  begin_member(kDecoratorMetadata, head);
  json::write(facts.decorator_metadata, head);
  begin_member(kFilePath, head);
  json::write_string(facts.file_path, head);
  begin_member(kFunctionName, head);
  json::write_string(facts.function_name, head);
  begin_member(kFunctionSource, head);
  json::write_string(facts.function_source, head);
  begin_member(kKind, head);
  json::write_string("asset", head);
  begin_member(kModulePath, head);
  json::write_string(facts.module_path, head);
  begin_member(kModuleSource, head);
  entry.module_source = module_source;
  std::string& tail = entry.tail;
  begin_member(kPythonVersion, tail);
  tail += python_version_;
  begin_member(kReturnType, tail);
  if (facts.return_type) {
    json::write_string(*facts.return_type, tail);
  } else {
    json::write(json::Value(nullptr), tail);
  }
  tail += '}';
}

std::string Document::finish() && {
  std::size_t size = kDocumentHead.size() + kDocumentTail.size() + entries_.size();
  for (const Entry& entry : entries_) {
    size += entry.head.size() + entry.module_source->size() + entry.tail.size();
  }
  std::string text;
  text.reserve(size);
  text += kDocumentHead;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (i > 0) {
      text += ',';
    }
    text += entries_[i].head;
    text += *entries_[i].module_source;
    text += entries_[i].tail;
  }
  text += kDocumentTail;
  return text;
}

}  // namespace quarn::discover
