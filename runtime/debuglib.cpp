// WMLSDebug: not among the standard libraries; ours. Each function writes
// one line to the error stream, named after itself, and returns "":
//   logVal: <the value as a WMLScript literal>     logVal: "a\"b"
//   logType: <typeof's number>                     logType: 2
//   logString: <the value as a string>             logString: a"b
// Invalid is written "invalid" by all three (logType: 4).
#include <string>

#include "libsupport.h"

namespace tavokrt {

namespace {

void writeLogLine(LibraryContext &context, const char *label, const std::string &text) {
  if (!context.errorStream)
    return;
  std::string line = std::string(label) + ": " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), context.errorStream);
  std::fflush(context.errorStream);  // ordered with the machine's own messages
}

Value logVal(LibraryContext &context, const Value *arguments) {
  writeLogLine(context, "logVal", formatLiteral(arguments[0]));
  return Value::emptyString();
}

Value logType(LibraryContext &context, const Value *arguments) {
  writeLogLine(context, "logType", std::to_string(static_cast<int>(arguments[0].type())));
  return Value::emptyString();
}

Value logString(LibraryContext &context, const Value *arguments) {
  TextArgument text(arguments[0]);
  writeLogLine(context, "logString", text ? encodeUtf8(*text) : "invalid");
  return Value::emptyString();
}

constexpr LibraryEntry debugFunctions[] = {
    {"logVal", 1, logVal},
    {"logType", 1, logType},
    {"logString", 1, logString},
};

} // namespace

std::span<const LibraryEntry> debugLibrary() { return debugFunctions; }

} // namespace tavokrt
