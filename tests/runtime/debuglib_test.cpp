// WMLSDebug: each function writes one line, named after itself, to the
// context's error stream and returns "".
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "library_calls.h"

namespace tavokrt {
namespace {

using testing::callLibrary;

constexpr std::uint32_t debugLibraryIndex = 65535;

// What one call writes to the error stream, and its result.
std::string logOf(const char *call, std::string &result) {
  std::FILE *stream = std::tmpfile();
  if (!stream) {
    ADD_FAILURE() << "no temporary file";
    return {};
  }
  LibraryContext context;
  context.errorStream = stream;
  result = formatLiteral(callLibrary(context, debugLibraryIndex, call));
  std::rewind(stream);
  std::string written;
  for (int c; (c = std::fgetc(stream)) != EOF;)
    written += static_cast<char>(c);
  std::fclose(stream);
  return written;
}

TEST(DebugLog, OneLinePerCallNamedAfterTheFunction) {
  const struct {
    const char *call;
    const char *line;
  } rows[] = {
      {R"(logVal("a\"b"))", "logVal: \"a\\\"b\"\n"},
      {"logVal(2.5)", "logVal: 2.5\n"},
      {"logVal(invalid)", "logVal: invalid\n"},
      {R"(logType("x"))", "logType: 2\n"},
      {"logType(1.0)", "logType: 1\n"},
      {"logType(invalid)", "logType: 4\n"},
      {R"(logString("a\"b"))", "logString: a\"b\n"},
      {R"(logString("\u00e9"))", "logString: \xC3\xA9\n"},
      {"logString(true)", "logString: true\n"},
      {"logString(invalid)", "logString: invalid\n"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.call);
    std::string result;
    EXPECT_EQ(logOf(row.call, result), row.line);
    EXPECT_EQ(result, "\"\"");
  }
}

TEST(DebugLog, NoStreamWritesNothing) {
  LibraryContext context;
  context.errorStream = nullptr;
  EXPECT_EQ(formatLiteral(callLibrary(context, debugLibraryIndex, "logVal(1)")), "\"\"");
}

} // namespace
} // namespace tavokrt
