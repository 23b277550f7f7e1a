// Whole compilations through the driver, each in a process of its own: the
// compiled unit's layout (counts, name table, function entries, the size in
// its header), undefined functions, output files that cannot be opened or
// written, and the debug file with its variables and line tables.
#include "codegen.h"
#include "wrapper.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string temporaryPath(const std::string &name) {
  return ::testing::TempDir() + "codegen_unit_" + std::to_string(getpid()) + "_" + name;
}

void writeText(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool exists(const std::string &path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

Bytes contentsOf(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string textOf(const std::string &path) {
  const Bytes bytes = contentsOf(path);
  return std::string(bytes.begin(), bytes.end());
}

// A source file and the names of its outputs, removed when the test ends.
struct CompilationFiles {
  std::string source;
  std::string output;
  std::string debug;

  CompilationFiles(const std::string &name, const std::string &text)
      : source(temporaryPath(name + ".wmls")), output(temporaryPath(name + ".out")), debug(output + ".dbg") {
    writeText(source, text);
    std::remove(output.c_str());
    std::remove(debug.c_str());
  }
  ~CompilationFiles() {
    std::remove(source.c_str());
    std::remove(output.c_str());
    std::remove(debug.c_str());
  }
};

// Runs the compiler on the arguments and ends the process with its status;
// only for use inside EXPECT_EXIT.
[[noreturn]] void compile(std::vector<std::string> arguments) {
  std::vector<char *> argv;
  static char program[] = "tavok";
  argv.push_back(program);
  for (std::string &argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::exit(runCompilation(static_cast<int>(argv.size()) - 1, argv.data()));
}

// As compile, with the standard output stream going to a file.
[[noreturn]] void compileWithStandardOutputTo(const std::string &path, std::vector<std::string> arguments) {
  if (!std::freopen(path.c_str(), "w", stdout))
    std::exit(99);
  compile(std::move(arguments));
}

Bytes tail(const Bytes &bytes, std::size_t count) {
  return count > bytes.size() ? bytes : Bytes(bytes.end() - static_cast<std::ptrdiff_t>(count), bytes.end());
}

// ---------------------------------------------------------------- the compiled unit

TEST(CompiledUnit, ExternFunctionWithAnEmptyBody) {
  CompilationFiles files("extern_empty", "extern function f() {\n}\n");
  EXPECT_EXIT(compile({files.source, files.output}), ::testing::ExitedWithCode(0), "Compilation successful");
  // Version, size 12, constant pool (no constants, UTF-8), pragma pool (none),
  // one function, one name: index 0, "f"; no arguments, no locals, one byte
  // of code: return_es.
  EXPECT_EQ(contentsOf(files.output),
            (Bytes{0x01, 0x0C, 0x00, 0x6A, 0x00, 0x01, 0x01, 0x00, 0x01, 0x66, 0x00, 0x00, 0x01, 0x3B}));
  EXPECT_FALSE(exists(files.debug));
}

TEST(CompiledUnit, OnlyExternFunctionsAreNamedInIndexOrder) {
  CompilationFiles files("names",
                         "function a() { return b() + cc(); }\n"
                         "extern function cc() { }\n"
                         "extern function b() { }\n");
  EXPECT_EXIT(compile({"-w", files.source, files.output}), ::testing::ExitedWithCode(0), "Compilation successful");
  const Bytes unit = contentsOf(files.output);
  // Functions a, b, cc got indices 0, 1, 2 in order of first mention.
  const Bytes expected = {0x03, 0x02,                    // three functions, two names
                          0x01, 0x01, 'b',               // b
                          0x02, 0x02, 'c', 'c',          // cc
                          0x00, 0x00, 0x04,              // a: call_s 1, call_s 2, add, return
                          0x61, 0x62, 0x20, 0x3A,        //   (the final return_es is unreachable)
                          0x00, 0x00, 0x01, 0x3B,        // b
                          0x00, 0x00, 0x01, 0x3B};       // cc
  EXPECT_EQ(tail(unit, expected.size()), expected);
}

TEST(CompiledUnit, NoExternFunctionMeansNoNames) {
  CompilationFiles files("no_names", "function f() {\n}\n");
  EXPECT_EXIT(compile({files.source, files.output}), ::testing::ExitedWithCode(0), "Compilation successful");
  EXPECT_EQ(tail(contentsOf(files.output), 6), (Bytes{0x01, 0x00, 0x00, 0x00, 0x01, 0x3B}));
}

// A function f(a) whose body is n assignments a = 0 (two bytes each), plus
// one a++ (one byte) when odd: the unit around the code takes eight bytes.
std::string bodyOfSize(int codeBytes) {
  std::string text = "function f(a) {\n";
  const int assignments = (codeBytes - 1) / 2;
  for (int i = 0; i < assignments; ++i)
    text += "  a = 0;\n";
  if ((codeBytes - 1) % 2)
    text += "  a++;\n";
  return text + "}\n";
}

TEST(CompiledUnit, CodeSizeTakesTwoBytesFrom128) {
  struct SizeCase {
    int codeBytes;
    Bytes header;
  } const cases[] = {{119, {0x01, 0x7F}}, {120, {0x01, 0x81, 0x00}}};
  for (const SizeCase &sizeCase : cases) {
    SCOPED_TRACE(sizeCase.codeBytes);
    CompilationFiles files("size_" + std::to_string(sizeCase.codeBytes), bodyOfSize(sizeCase.codeBytes));
    EXPECT_EXIT(compile({files.source, files.output}), ::testing::ExitedWithCode(0), "Compilation successful");
    const Bytes unit = contentsOf(files.output);
    ASSERT_EQ(unit.size(), sizeCase.header.size() + 8 + sizeCase.codeBytes);
    EXPECT_EQ(Bytes(unit.begin(), unit.begin() + static_cast<std::ptrdiff_t>(sizeCase.header.size())),
              sizeCase.header);
  }
}

TEST(CompiledUnit, UndefinedFunctionsAreReportedInIndexOrderAndNothingIsWritten) {
  CompilationFiles files("undefined", "extern function f() {\n  zed();\n  alpha(1);\n}\n");
  EXPECT_EXIT(compile({"-w", files.source, files.output}), ::testing::ExitedWithCode(1),
              "^Error: function \"zed\" not defined\nError: function \"alpha\" not defined\n$");
  EXPECT_FALSE(exists(files.output));
}

TEST(CompiledUnit, AnOutputPathThatCannotBeOpenedEndsTheRun) {
  CompilationFiles files("unopenable", "function f() {\n}\n");
  const std::string path = temporaryPath("missing_directory/x.out");
  EXPECT_EXIT(compile({files.source, path}), ::testing::ExitedWithCode(1),
              "^Could not open output file \"" + path + "\" for writing\n$");
  EXPECT_FALSE(exists(path));
}

TEST(CompiledUnit, AFailedWriteLeavesThePathAsItWas) {
  // A link to the full device: the open succeeds, the write does not. The
  // link is the user's and stays.
  CompilationFiles files("full_device", "function f() {\n}\n");
  ASSERT_EQ(symlink("/dev/full", files.output.c_str()), 0);
  EXPECT_EXIT(compile({files.source, files.output}), ::testing::ExitedWithCode(1),
              "^Could not write output file \"" + files.output + "\"\n$");
  char target[16] = {};
  EXPECT_EQ(readlink(files.output.c_str(), target, sizeof target - 1), 9);
  EXPECT_STREQ(target, "/dev/full");
}

TEST(CompiledUnit, ASourceErrorLeavesAnExistingOutputUntouched) {
  CompilationFiles files("syntax_error", "extern function f() {\n  var ;\n}\n");
  writeText(files.output, "old");
  writeText(files.debug, "old debug");
  EXPECT_EXIT(compile({"-g", files.source, files.output}), ::testing::ExitedWithCode(1), "Compilation failed");
  EXPECT_EQ(textOf(files.output), "old");
  EXPECT_EQ(textOf(files.debug), "old debug");
}

// ---------------------------------------------------------------- the debug file

TEST(DebugFile, NamesVariablesAndLineTable) {
  CompilationFiles files("debug",
                         "extern function f(a, b) {\n"  // 1
                         "  var c = a;\n"               // 2
                         "  c = b;\n"                   // 3
                         "  c = a;\n"                   // 4
                         "  c = b;\n"                   // 5
                         "}\n");                        // 6
  EXPECT_EXIT(compile({"-g", files.source, files.output}), ::testing::ExitedWithCode(0), "Compilation successful");
  const Bytes expected = {
      0x01, 0x1F,                                            // version, size
      0x04, 'f', 0, 'a', 0, 'b', 0, 'c', 0,                  // the names by id
      0x01,                                                  // one function
      0x00, 0x00,                                            // f, index 0
      0x02, 0x01, 0x00, 0x02, 0x01,                          // a 0, b 1
      0x01, 0x03, 0x02,                                      // c 2
      0x05, 0x00, 0x02, 0x02, 0x03, 0x04, 0x04, 0x06, 0x05,  // a line per statement
      0x08, 0x06,                                            // the return at the end
  };
  EXPECT_EQ(contentsOf(files.debug), expected);
}

TEST(DebugFile, EveryFunctionsLineTableStartsAtOffsetZero) {
  // Both functions' only instruction is on line 1.
  CompilationFiles files("debug_lines", "function f() { } function g() { }\n");
  EXPECT_EXIT(compile({"-g", files.source, files.output}), ::testing::ExitedWithCode(0), "Compilation successful");
  const Bytes expected = {0x02,                                            // two functions
                          0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01,        // f: offset 0, line 1
                          0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01};       // g: offset 0, line 1
  EXPECT_EQ(tail(contentsOf(files.debug), expected.size()), expected);
}

TEST(DebugFile, WithoutTheOptionAnExistingDebugFileIsLeftAlone) {
  CompilationFiles files("no_debug", "function f() {\n}\n");
  writeText(files.debug, "old debug");
  EXPECT_EXIT(compile({files.source, files.output}), ::testing::ExitedWithCode(0), "Compilation successful");
  EXPECT_TRUE(exists(files.output));
  EXPECT_EQ(textOf(files.debug), "old debug");
}

TEST(DebugFile, ADebugPathThatCannotBeOpenedIsReportedOnTheStandardOutput) {
  CompilationFiles files("debug_unopenable", "function f() {\n}\n");
  ASSERT_EQ(mkdir(files.debug.c_str(), 0700), 0);
  const std::string standardOutput = temporaryPath("debug_unopenable.stdout");
  EXPECT_EXIT(compileWithStandardOutputTo(standardOutput, {"-g", files.source, files.output}),
              ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(textOf(standardOutput), "Could not open debug output file \"" + files.debug + "\" for writing\n");
  // The compiled unit is complete before the debug file is begun.
  EXPECT_TRUE(exists(files.output));
  rmdir(files.debug.c_str());
  std::remove(standardOutput.c_str());
}

TEST(DebugFile, AFailedWriteOfTheDebugFileLeavesTheUnitWritten) {
  CompilationFiles files("debug_full_device", "function f() {\n}\n");
  ASSERT_EQ(symlink("/dev/full", files.debug.c_str()), 0);
  writeText(files.output, "old");
  EXPECT_EXIT(compile({"-g", files.source, files.output}), ::testing::ExitedWithCode(1),
              "^Could not write debug output file \"" + files.debug + "\"\n$");
  EXPECT_NE(textOf(files.output), "old");
}

} // namespace
