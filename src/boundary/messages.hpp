// Every user-visible text that the module produces itself, kept together.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace quarn::messages {

// Binding and conversion.
std::string too_many_positional(std::string_view display, std::size_t required,
                                std::size_t positional, std::size_t given);
std::string unexpected_keyword(std::string_view display, std::string_view keyword);
std::string multiple_values(std::string_view display, std::string_view parameter);
std::string missing_positional(std::string_view display, std::span<const std::string_view> names);
std::string argument_prefix(std::string_view parameter, std::string_view text);
std::string cannot_convert(std::string_view type_name, std::string_view expected);
std::string no_constructor(std::string_view class_name);
inline constexpr std::string_view kStrToVec = "Can't extract `str` to `Vec`";
inline constexpr std::string_view kNoExceptionSet = "attempted to fetch exception but none was set";
inline constexpr std::string_view kUnknownTypeName = "<failed to extract type name>";
inline constexpr std::string_view kUnknownClassName = "<unknown>";
inline constexpr std::string_view kUnreadableKeyword = "?";
std::string unprintable(std::string_view type_name);

// Expected type names in conversion messages.
inline constexpr std::string_view kPyString = "PyString";
inline constexpr std::string_view kPyList = "PyList";
inline constexpr std::string_view kPyDict = "PyDict";
inline constexpr std::string_view kPyTuple = "PyTuple";
inline constexpr std::string_view kSequence = "Sequence";

// Declaration.
inline constexpr std::string_view kInputsValues =
    "inputs values must be @asset-decorated functions or asset ref strings";
inline constexpr std::string_view kPartitionValues =
    "partition values must be partitions([...]) instances";
inline constexpr std::string_view kDecoratorArity =
    "asset() decorator expects exactly one argument (the function)";
inline constexpr std::string_view kDictChangedSize = "dictionary changed size during iteration";
inline constexpr std::string_view kDictKeysChanged = "dictionary keys changed during iteration";
std::string invalid_partition_value(std::string_view json_error);
std::string doc_not_applicable(std::string_view type_name);

// The text representation of a Partitions marker: "Partitions({count} values)".
std::string partitions_repr(std::size_t count);

// The RecursionError of a call through too many nested wrappers: the host's own wording,
// "maximum recursion depth exceeded" followed by this.
inline constexpr const char* kRecursionWhere = " while calling a Python object";

// JSON failures surfaced as RuntimeError.
std::string json_parse_error(std::string_view json_error);
std::string json_serialization_error(std::string_view json_error);
std::string json_error(std::string_view json_error);

// Exception text used by the skip line and the failure record.
inline constexpr std::string_view kStrFailed = ": <exception str() failed>";

// Discovery: the line for a module that failed to import, line feed included.
std::string skip_line(std::string_view module_name, std::string_view reason);

// Internal failures.
inline constexpr const char* kPanicDoc =
    "Raised when native code called from Python panics.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "is not caught by ordinary handlers and typically propagates all the way up and\n"
    "makes the interpreter exit.";
// The diagnostic written when an internal failure is made, a printf format whose fields are
// the thread's name, the source file (length, text), line, column and the message (length,
// text).
inline constexpr const char* kPanicDiagnostic = "thread '%s' panicked at %.*s:%u:%u:\n%.*s\n";
// The banner lines before the traceback of a PanicException taken from Python code.
inline constexpr const char* kResumingPanic =
    "--- A PanicException was fetched from Python: resuming the panic ---";
inline constexpr const char* kStackTraceBelow = "Python stack trace below:";
// Written just before the process aborts, when even setting a PanicException failed.
inline constexpr const char* kUncaughtPanic = "uncaught panic at ffi boundary\n";
inline constexpr std::string_view kGenericPanic = "native code panicked";
inline constexpr std::string_view kUnwrappedPanic = "Unwrapped panic from Python code";
inline constexpr std::string_view kSubinterpreters =
    "the _quarn module does not support sub-interpreters: it can be imported in only "
    "one interpreter per process";
inline constexpr std::string_view kAppendAll = "could not append __name__ to __all__";
inline constexpr std::string_view kNewExceptionType = "Failed to initialize new exception type.";
inline constexpr std::string_view kClassWithoutDocstring =
    "the AssetWrapper class was made without its docstring";
inline constexpr std::string_view kWholeBufferNotWritten = "failed to write whole buffer";
std::string failed_type_object(std::string_view class_name);
std::string failed_printing_to_stderr(std::string_view system_error);

}  // namespace quarn::messages
