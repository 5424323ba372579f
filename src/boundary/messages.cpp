// The message texts that need their fields filled in.
#include "boundary/messages.hpp"

namespace quarn::messages {
namespace {

std::string concat(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (auto part : parts) {
    size += part.size();
  }
  std::string out;
  out.reserve(size);
  for (auto part : parts) {
    out += part;
  }
  return out;
}

std::string_view was_were(std::size_t n) { return n == 1 ? "was" : "were"; }

}  // namespace

std::string too_many_positional(std::string_view display, std::size_t required,
                                std::size_t positional, std::size_t given) {
  const std::string given_text = std::to_string(given);
  if (required == positional) {
    return concat({display, " takes ", std::to_string(positional), " positional arguments but ",
                   given_text, " ", was_were(given), " given"});
  }
  return concat({display, " takes from ", std::to_string(required), " to ",
                 std::to_string(positional), " positional arguments but ", given_text, " ",
                 was_were(given), " given"});
}

std::string unexpected_keyword(std::string_view display, std::string_view keyword) {
  return concat({display, " got an unexpected keyword argument '", keyword, "'"});
}

std::string multiple_values(std::string_view display, std::string_view parameter) {
  return concat({display, " got multiple values for argument '", parameter, "'"});
}

std::string missing_positional(std::string_view display, std::span<const std::string_view> names) {
  std::string out =
      concat({display, " missing ", std::to_string(names.size()), " required positional ",
              names.size() == 1 ? "argument" : "arguments", ": "});
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) {
        out += ',';
      }
      if (i + 1 == names.size()) {
        out += " and";
      }
      out += ' ';
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

std::string argument_prefix(std::string_view parameter, std::string_view text) {
  return concat({"argument '", parameter, "': ", text});
}

std::string cannot_convert(std::string_view type_name, std::string_view expected) {
  return concat({"'", type_name, "' object cannot be converted to '", expected, "'"});
}

std::string no_constructor(std::string_view class_name) {
  return concat({"No constructor defined for ", class_name});
}

std::string unprintable(std::string_view type_name) {
  return concat({"<unprintable ", type_name, " object>"});
}

std::string invalid_partition_value(std::string_view json_error) {
  return concat({"invalid partition value: ", json_error});
}

std::string doc_not_applicable(std::string_view type_name) {
  return concat({"descriptor '__doc__' for 'AssetWrapper' objects doesn't apply to a '", type_name,
                 "' object"});
}

std::string partitions_repr(std::size_t count) {
  return concat({"Partitions(", std::to_string(count), " values)"});
}

std::string json_parse_error(std::string_view json_error) {
  return concat({"JSON parse error: ", json_error});
}

std::string json_serialization_error(std::string_view json_error) {
  return concat({"JSON serialization error: ", json_error});
}

std::string json_error(std::string_view json_error) { return concat({"JSON error: ", json_error}); }

std::string skip_line(std::string_view module_name, std::string_view reason) {
  return concat({"quarn: skipping module '", module_name, "': ", reason, "\n"});
}

std::string failed_type_object(std::string_view class_name) {
  return concat({"failed to create type object for ", class_name});
}

std::string failed_printing_to_stderr(std::string_view system_error) {
  return concat({"failed printing to stderr: ", system_error});
}

}  // namespace quarn::messages
