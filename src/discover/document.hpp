// The inspection document: {"assets":[...]}, one entry of nine members per asset found.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.hpp"

namespace quarn::discover {

// What discovery learned about one asset, apart from the texts that every entry of a
// module or of a call shares (the module source, the version text).
struct AssetFacts {
  std::string module_path;
  std::string file_path;
  std::string function_name;
  std::string function_source;
  json::Value decorator_metadata;
  std::optional<std::string> return_type;  // null in the document when absent
};

// The document, written by the JSON library's compact writer: no whitespace, members in
// byte order, no line break at the end.
//
// A module's source is usually most of the document and every asset of the module repeats
// it, so it is escaped once per module and its written form shared by the module's
// entries; the text is assembled once at the end, into a buffer of the exact size.
class Document {
 public:
  // A module source in its written (quoted and escaped) form, kept by the document.
  using SharedSource = const std::string*;

  explicit Document(std::string_view python_version);

  [[nodiscard]] SharedSource share_module_source(std::string_view module_source);
  void add(const AssetFacts& facts, SharedSource module_source);

  // The finished text, taken out of the spent document.
  [[nodiscard]] std::string finish() &&;

 private:
  // An entry's text is `head`, then the shared module source, then `tail`.
  struct Entry {
    std::string head;
    SharedSource module_source = nullptr;
    std::string tail;
  };

  std::string python_version_;              // written form
  std::deque<std::string> module_sources_;  // written forms; a deque never moves them
  std::vector<Entry> entries_;
};

}  // namespace quarn::discover
