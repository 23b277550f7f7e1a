// The virtual machine on units compiled by tavok (its path comes from the
// build) and on a few built byte by byte: what each instruction leaves
// behind, the short-circuit pairs, calls and their argument counts, every
// fatal error with its message and place, external calls between units in
// one directory, and strings freed however a run ends.
#include "interpreter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "library.h"
#include "loader.h"

#ifndef TAVOK_COMPILER
#error "TAVOK_COMPILER: the path of the tavok compiler"
#endif

using namespace tavokrt;
namespace fs = std::filesystem;

namespace {

// One directory per test program, removed at exit.
const fs::path &workDirectory() {
  static struct Directory {
    fs::path path;
    Directory() {
      std::string pattern = (fs::temp_directory_path() / "interpreter_test.XXXXXX").string();
      path = ::mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
    }
    ~Directory() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } directory;
  return directory.path;
}

// Compiles source (with -g) into DIR/name.wmlsc; the unit's path, or "" on
// failure.
std::string compileUnit(const std::string &source, const std::string &name) {
  fs::path sourcePath = workDirectory() / (name + ".wmls");
  fs::path unitPath = workDirectory() / (name + ".wmlsc");
  std::ofstream(sourcePath) << source;
  std::string command = std::string("'") + TAVOK_COMPILER + "' -g '" + sourcePath.string() + "' '" +
                        unitPath.string() + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0 ? unitPath.string() : "";
}

std::shared_ptr<Module> loadModule(const std::string &path) {
  LoadResult loaded = loadUnitFile(path);
  if (!loaded) {
    ADD_FAILURE() << path << ": " << loaded.error.describe();
    return nullptr;
  }
  DebugLoadResult debug = loadDebugFile(path + ".dbg", *loaded.unit);
  return makeModule(path, loaded.unit, debug.debug);
}

std::shared_ptr<Module> compile(const std::string &source, const std::string &name = "unit") {
  std::string path = compileUnit(source, name);
  if (path.empty()) {
    ADD_FAILURE() << "tavok refused:\n" << source;
    return nullptr;
  }
  return loadModule(path);
}

std::uint32_t externIndex(const Module &module, const std::string &name) {
  const Function *function = module.unit->findExternFunction(name);
  EXPECT_NE(function, nullptr) << name;
  return function ? static_cast<std::uint32_t>(function - module.unit->functions.data()) : 0;
}

// Runs f() of the source and gives its result as a literal, "exit: X" for
// Lang.exit, or "fatal: MESSAGE" for a fatal error.
std::string outcome(const RunResult &result) {
  switch (result.status) {
  case RunResult::Status::Returned: return formatLiteral(result.value);
  case RunResult::Status::Exited: return "exit: " + formatLiteral(result.value);
  case RunResult::Status::Fatal: return "fatal: " + result.message;
  }
  return "?";
}

std::string runSource(const std::string &source, Budgets budgets = {}) {
  auto module = compile(source);
  if (!module) return "no unit";
  Machine machine(budgets);
  return outcome(machine.call(*module, externIndex(*module, "f"), {}));
}

struct Row {
  const char *source;
  const char *expected;
};

void runTable(const std::vector<Row> &rows) {
  for (const Row &row : rows) {
    SCOPED_TRACE(row.source);
    EXPECT_EQ(runSource(row.source), row.expected);
  }
}

// ---------------------------------------------------------------------------

TEST(Instructions, EachLeavesWhatTheStandardSays) {
  runTable({
      // Variables: declared ones start as "", arguments come first.
      {"extern function f() { var x; return x; }", "\"\""},
      {"extern function f() { var x; return typeof x; }", "2"},
      {"function g(a, b, c) { var d = 4; return a * 1000 + b * 100 + c * 10 + d; }"
       "extern function f() { return g(1, 2, 3); }",
       "1234"},
      {"extern function f() { }", "\"\""},  // return_es
      {"extern function f() { var a = 5; a++; a++; a--; return a; }", "6"},
      {"extern function f() { var a = 5; a += 2; a -= 10; return a; }", "-3"},
      {"extern function f() { var a = \"x\"; a += 2; return a; }", "\"x2\""},
      {"extern function f() { var a = 1.5; a++; return a; }", "2.5"},
      {"extern function f() { var a = \"7\"; a++; return a; }", "8"},
      {"extern function f() { var a = true; a--; return a; }", "0"},
      // Constants of every kind.
      {"extern function f() { return 0 + 1 + -1; }", "0"},
      {"extern function f() { return 2.5; }", "2.5"},
      {"extern function f() { return \"\"; }", "\"\""},
      {"extern function f() { return invalid; }", "invalid"},
      {"extern function f() { return true; }", "true"},
      {"extern function f() { return false; }", "false"},
      {"extern function f() { return \"caf\\u00e9\"; }", "\"café\""},
      // Unary and binary operators through the loop.
      {"extern function f() { var a = 3; return -a; }", "-3"},
      {"extern function f() { var a = 3; return ~a; }", "-4"},
      {"extern function f() { var a = 7, b = 2; return a / b; }", "3.5"},
      {"extern function f() { var a = 7, b = 2; return a div b; }", "3"},
      {"extern function f() { var a = -7, b = 2; return a % b; }", "-1"},
      {"extern function f() { var a = 6, b = 3; return (a & b) * 100 + (a | b) * 10 + (a ^ b); }", "275"},
      {"extern function f() { var a = -10; return (a << 3) + \"/\" + (a >> 3) + \"/\" + (a >>> 3); }",
       "\"-80/-2/536870910\""},
      {"extern function f() { var a = 3, b = \"4\"; return a + b; }", "\"34\""},
      {"extern function f() { var a = 3, b = 4.5; return a * b - 1; }", "12.5"},
      {"extern function f() { var a = 3; return !a; }", "false"},
      {"extern function f() { var a; return isvalid a; }", "true"},
      {"extern function f() { var a = 1 / 0; return isvalid a; }", "false"},
      {"extern function f() { var a = 1 / 0; return typeof a; }", "4"},
      {"extern function f() { 1 + 2; return 3; }", "3"},  // pop
  });
}

// The integer fast paths in the loop must give exactly what the operators
// give: overflow is invalid, and mixed types take the slow path.
TEST(Instructions, IntegerFastPathsMatchTheOperators) {
  runTable({
      {"extern function f() { var a = 2147483647, b = 1; return a + b; }", "invalid"},
      {"extern function f() { var a = -2147483647, b = 2; return a - b; }", "invalid"},
      {"extern function f() { var a = 2147483646, b = 1; return a + b; }", "2147483647"},
      {"extern function f() { var a = 2147483647; a++; return a; }", "invalid"},
      {"extern function f() { var a = -2147483647; a--; a--; return a; }", "invalid"},
      {"extern function f() { var a = 2147483647; a += 1; return a; }", "invalid"},
      {"extern function f() { var a = 2, b = 3; return (a < b) + \"\" + (a <= b) + (a > b) + (a >= b) + (a == b) + (a != b); }",
       "\"truetruefalsefalsefalsetrue\""},
      {"extern function f() { var a = \"12\", b = 3; return a < b; }", "true"},  // as strings
      {"extern function f() { var a = 2, b = 2.0; return a == b; }", "true"},
      {"extern function f() { var a = 2, b; return a < b; }", "false"},  // as strings: "2" < ""
  });
}

TEST(Instructions, ConditionalJumpsTakeFalseAndInvalid) {
  runTable({
      {"extern function f() { if (invalid) return 1; else return 2; }", "2"},
      {"extern function f() { var a = invalid; return a ? 1 : 2; }", "2"},
      {"extern function f() { var a = \"\"; return a ? 1 : 2; }", "2"},
      {"extern function f() { var a = \"0\"; return a ? 1 : 2; }", "1"},
      {"extern function f() { var a = 0.0; return a ? 1 : 2; }", "2"},
      {"extern function f() { var n = 0, i; for (i = 0; i < 10; i++) n += i; return n; }", "45"},
      {"extern function f() { var n = 0; while (n < 100) { n++; if (n == 7) break; } return n; }", "7"},
  });
}

// scand and scor: the left operand's boolean decides whether the right one
// runs; the right one's boolean is the result, and invalid on the left is
// the result without the right one running.
TEST(ShortCircuit, AndOrFollowTheLeftOperandsBoolean) {
  const char *shape = "extern function f() { var ran = false; var r = %s; return r + \"/\" + ran; }";
  struct Case {
    const char *expression;
    const char *expected;
  } cases[] = {
      {"true && (ran = true)", "\"true/true\""},
      {"false && (ran = true)", "\"false/false\""},
      {"invalid && (ran = true)", "invalid"},  // invalid + "/" is invalid
      {"1 && \"x\"", "\"true/false\""},
      {"1 && \"\"", "\"false/false\""},
      {"1 && invalid", "invalid"},
      {"false || (ran = 5)", "\"true/5\""},
      {"true || (ran = true)", "\"true/false\""},
      {"invalid || (ran = true)", "invalid"},
      {"0 || \"x\"", "\"true/false\""},
      {"0 || 0", "\"false/false\""},
  };
  for (const Case &c : cases) {
    char source[256];
    std::snprintf(source, sizeof source, shape, c.expression);
    SCOPED_TRACE(c.expression);
    EXPECT_EQ(runSource(source), c.expected);
  }
  // The invalid result itself, and that the right operand did not run.
  EXPECT_EQ(runSource("extern function f() { var ran = 0; var r = invalid && (ran = 1); "
                      "return typeof r * 10 + ran; }"),
            "40");
  EXPECT_EQ(runSource("extern function f() { var ran = 0; var r = invalid || (ran = 1); "
                      "return typeof r * 10 + ran; }"),
            "40");
}

TEST(Calls, LocalCallsPassArgumentsAndReturnValues) {
  runTable({
      {"function fact(n) { if (n <= 1) return 1; return n * fact(n - 1); }"
       "extern function f() { return fact(10); }",
       "3628800"},
      {"function fib(n) { if (n < 2) return n; return fib(n - 1) + fib(n - 2); }"
       "extern function f() { return fib(20); }",
       "6765"},
      {"function none() { } extern function f() { return none() + \"|\"; }", "\"|\""},
      // A callee's locals start as "" even where an earlier call left values.
      {"function g(a) { var x; var y = x; x = a; return y; }"
       "extern function f() { g(1); return g(2); }",
       "\"\""},
      {"function g(a, b) { return a - b; } extern function f() { return g(10, 3) * g(1, 2); }", "-7"},
  });
}

TEST(Calls, LibraryCallsAndTheirStopRequests) {
  runTable({
      {"extern function f() { return String.length(\"h\\u00e9llo\"); }", "5"},
      {"extern function f() { return Lang.max(3, Lang.min(10, 7)); }", "7"},
      {"function g() { Lang.exit(\"bye\"); return 1; } extern function f() { g(); return 2; }",
       "exit: \"bye\""},
      {"extern function f() { Lang.exit(invalid); }", "exit: invalid"},
      {"function g(t) { Lang.abort(t + \"!\"); return 1; } extern function f() { return g(\"no\"); }",
       "fatal: Lang.abort: no!"},
  });
}

// A run of f() that fails: the message, and where each frame stood.
struct FatalCase {
  const char *name;
  const char *source;
  Budgets budgets;
  const char *message;
  std::vector<std::string> frames;  // "function@line", innermost first
};

std::vector<std::string> frameNames(const RunResult &result) {
  std::vector<std::string> names;
  for (const FrameLocation &frame : result.frames) {
    std::uint32_t line = frame.module->debug->functions[frame.functionIndex].lineAt(frame.offset);
    names.push_back(frame.module->functionName(frame.functionIndex) + "@" + std::to_string(line));
  }
  return names;
}

Budgets withSteps(std::uint64_t steps) {
  Budgets b;
  b.maxSteps = steps;
  return b;
}
Budgets withDepth(std::uint32_t depth) {
  Budgets b;
  b.maxDepth = depth;
  return b;
}
Budgets withMemory(std::size_t characters) {
  Budgets b;
  b.maxMemory = characters;
  return b;
}
Budgets withStackValues(std::size_t values) {
  Budgets b;
  b.maxStackValues = values;
  return b;
}

TEST(FatalErrors, EachEndsTheRunWithItsMessageAndPlace) {
  const FatalCase cases[] = {
      {"endless loop", "extern function f() {\n  while (true) {}\n}", withSteps(1000),
       "step budget of 1000 instructions exhausted", {"f@2"}},
      {"runaway recursion", "function r(n) {\n  return r(n + 1);\n}\nextern function f() {\n  return r(0);\n}",
       withDepth(50), "stack overflow: call depth beyond 50",
       [] {
         std::vector<std::string> frames(49, "r@2");
         frames.push_back("f@5");
         return frames;
       }()},
      {"string doubling",
       "extern function f() {\n  var s = \"0123456789\";\n  while (true)\n    s = s + s;\n}",
       withMemory(100000), "out of memory: live strings beyond 100000 characters", {"f@4"}},
      {"string growth by add_asg",
       "extern function f() {\n  var s = \"0123456789\";\n  while (true)\n    s += s;\n}",
       withMemory(5000), "out of memory: live strings beyond 5000 characters", {"f@4"}},
      {"operand stack",
       "function g(a) {\n  var b, c, d, e, f2, g2, h;\n  return g(a);\n}\nextern function f() {\n  return g(1);\n}",
       withStackValues(100), "stack overflow: more than 100 values on the stack", {}},
      {"abort in a nested call",
       "function g() {\n  return Lang.abort(\"stop\");\n}\nextern function f() {\n  var x = 1;\n  return g();\n}",
       {}, "Lang.abort: stop", {"g@2", "f@6"}},
  };
  for (const FatalCase &c : cases) {
    SCOPED_TRACE(c.name);
    auto module = compile(c.source);
    ASSERT_TRUE(module);
    Machine machine(c.budgets);
    RunResult result = machine.call(*module, externIndex(*module, "f"), {});
    EXPECT_EQ(outcome(result), std::string("fatal: ") + c.message);
    if (!c.frames.empty()) EXPECT_EQ(frameNames(result), c.frames);
    if (c.budgets.maxSteps != Budgets{}.maxSteps) EXPECT_EQ(machine.steps(), c.budgets.maxSteps);
  }
}

// Work on long strings counts one step per 16 characters: a loop that
// copies a string of a million characters meets a budget of a million steps
// after about fifteen copies, not after 200,000.
TEST(FatalErrors, StringWorkCountsTowardsTheStepBudget) {
  auto module = compile("extern function f() {\n  var s = \"0123456789abcdef\", i, t;\n"
                        "  for (i = 0; i < 16; i++)\n    s = s + s;\n"
                        "  while (true)\n    t = s + \"x\";\n}\n"
                        "extern function g() {\n  var s = \"0123456789abcdef\", i, n = 0;\n"
                        "  for (i = 0; i < 16; i++)\n    s = s + s;\n"
                        "  while (true)\n    n += String.length(s);\n}\n");
  ASSERT_TRUE(module);
  for (const char *name : {"f", "g"}) {
    SCOPED_TRACE(name);
    Machine machine(withSteps(1'000'000));
    EXPECT_EQ(outcome(machine.call(*module, externIndex(*module, name), {})),
              "fatal: step budget of 1000000 instructions exhausted");
    EXPECT_EQ(machine.steps(), 1'000'000u);
  }
  // A run that ends another way after charged work never counts more
  // steps than its budget: the copying loop of tests/run/string_work.wmls,
  // under the fuzzer's budgets, runs out of memory with its last copy
  // charged beyond the step budget.
  std::vector<std::uint8_t> bytes = {
      0x01, 0x3c, 0x03, 0x6a, 0x04, 0x10, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39,
      0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x00, 0x10, 0x04, 0x01, 0x78, 0x00, 0x01, 0x01, 0x00, 0x06,
      0x63, 0x6f, 0x70, 0x69, 0x65, 0x73, 0x00, 0x03, 0x15, 0x50, 0x40, 0x14, 0x41, 0xe1, 0x51, 0x2f,
      0xc7, 0x82, 0x71, 0xa6, 0xe0, 0x1d, 0x00, 0xa5, 0xe0, 0x52, 0x20, 0x42, 0xa4, 0x3b};
  LoadResult loaded = loadUnit(bytes);
  ASSERT_TRUE(loaded) << loaded.error.describe();
  auto copies = makeModule("", loaded.unit, nullptr);
  Budgets small = withSteps(100'000);
  small.maxMemory = 1'000'000;
  Machine machine(small);
  EXPECT_EQ(outcome(machine.call(*copies, 0, {})),
            "fatal: out of memory: live strings beyond 1000000 characters");
  EXPECT_LE(machine.steps(), 100'000u);
}

TEST(FatalErrors, TheChainNamesLinesAndCollapsesRecursion) {
  auto module = compile("function r(n) {\n  return r(n + 1);\n}\nextern function f() {\n  return r(0);\n}");
  ASSERT_TRUE(module);
  Machine machine(withDepth(30));
  RunResult result = machine.call(*module, externIndex(*module, "f"), {});
  EXPECT_EQ(describeFrames(result.frames),
            "  at line 2 in function r\n"
            "  ... 28 more frames like the one above\n"
            "  at line 5 in function f\n");
  // Without a debug file: offsets, and "#index" for a local function.
  auto bare = makeModule(module->path, module->unit, nullptr);
  result = machine.call(*bare, externIndex(*bare, "f"), {});
  std::string text = describeFrames(result.frames);
  EXPECT_EQ(text.substr(0, text.find('\n')), "  at offset 0x0003 in function #0") << text;
  EXPECT_EQ(result.frames.front().offset, 3u);
}

// Units built byte by byte: what tavok never writes.
std::vector<std::uint8_t> unitBytes(std::uint8_t characterSet, const std::vector<std::uint8_t> &constants,
                                    std::uint8_t constantCount, const std::vector<std::uint8_t> &code,
                                    std::uint8_t locals = 0) {
  std::vector<std::uint8_t> body = {constantCount, characterSet};
  body.insert(body.end(), constants.begin(), constants.end());
  // No pragmas; one function, named "f", no arguments or locals.
  std::vector<std::uint8_t> rest = {0x00, 0x01, 0x01, 0x00, 0x01, 'f', 0x00, locals,
                                    static_cast<std::uint8_t>(code.size())};
  body.insert(body.end(), rest.begin(), rest.end());
  body.insert(body.end(), code.begin(), code.end());
  std::vector<std::uint8_t> unit = {0x01, static_cast<std::uint8_t>(body.size())};
  unit.insert(unit.end(), body.begin(), body.end());
  return unit;
}

std::string runBytes(const std::vector<std::uint8_t> &bytes) {
  LoadResult loaded = loadUnit(bytes);
  if (!loaded) return "load: " + loaded.error.describe();
  auto module = makeModule("", loaded.unit, nullptr);
  Machine machine;
  return outcome(machine.call(*module, 0, {}));
}

// Instructions tavok does not emit for these shapes: incr and decr on the
// stack, debug, a backward conditional jump.
TEST(Instructions, FormsTheCompilerSeldomWrites) {
  // 1, incr, incr, decr, uminus, b_not, debug, return: ~(-(1 + 1 + 1 - 1)) = 1
  EXPECT_EQ(runBytes(unitBytes(106, {}, 0, {0x15, 0x1B, 0x1B, 0x1C, 0x1F, 0x29, 0x3C, 0x3A})), "1");
  // v = 0; do v++; while (!(v >= 3)) with tjump_bw; return v
  EXPECT_EQ(runBytes(unitBytes(106, {}, 0,
                               {0x14, 0x40, 0x70, 0xE0, 0x15, 0x1B, 0x1B, 0x30, 0x07, 0x06, 0xE0, 0x3A}, 1)),
            "3");
  // A local read before any store is "".
  EXPECT_EQ(runBytes(unitBytes(106, {}, 0, {0xE0, 0x3A}, 1)), "\"\"");
}

TEST(Strings, CharacterSetOfTheUnitDecidesHowConstantsRead) {
  // One external string constant, the bytes E9 41: "éA" in Latin-1; in
  // UTF-8 the lone E9 is one character of its own.
  std::vector<std::uint8_t> constant = {0x06, 0x02, 0xE9, 0x41};
  std::vector<std::uint8_t> lengthOf = {0x50, 0x68, 0x02, 0x3A};  // load_const_s 0; String.length; return
  std::vector<std::uint8_t> value = {0x50, 0x3A};
  EXPECT_EQ(runBytes(unitBytes(4, constant, 1, value)), "\"\xC3\xA9" "A\"");
  EXPECT_EQ(runBytes(unitBytes(4, constant, 1, lengthOf)), "2");
  EXPECT_EQ(runBytes(unitBytes(106, constant, 1, lengthOf)), "2");
}

TEST(FatalErrors, LibraryFunctionsTheRuntimeCannotCall) {
  // call_lib to library 200, which no table knows: the verifier lets it
  // through with a warning, the machine stops when it is reached.
  EXPECT_EQ(runBytes(unitBytes(106, {}, 0, {0x0A, 0x00, 0xC8, 0x3A})),
            "fatal: unknown library function 200.0");
  if (!findLibraryImplementation(3, 8)) {
    EXPECT_EQ(runSource("extern function f() { return URL.getBase(); }"),
              "fatal: library function URL.getBase is not available");
  }
}

// ---------------------------------------------------------------------------
// External calls: units side by side in the test directory.

TEST(ExternalCalls, LoadOnceCheckNameExternAndArgumentCount) {
  ASSERT_FALSE(compileUnit("extern function twice(x) { return x * 2; }\n"
                           "function hidden() { return 1; }\n"
                           "extern function fails() {\n  return Lang.abort(\"inner\");\n}\n",
                           "lib").empty());
  std::ofstream(workDirectory() / "garbage.wmlsc") << "not a unit";
  struct Case {
    const char *call;
    const char *expected;
  } cases[] = {
      {"use url L \"lib.wmlsc\"; extern function f() { return L#twice(21); }", "42"},
      {"use url L \"./lib.wmlsc#frag\"; extern function f() { return L#twice(1) + L#twice(2); }", "6"},
      {"use url L \"file:lib.wmlsc\"; extern function f() { return L#twice(4); }", "8"},
      {"use url L \"lib.wmlsc\"; extern function f() { return L#nothere(); }",
       "fatal: external function nothere not found in \"lib.wmlsc\""},
      {"use url L \"lib.wmlsc\"; extern function f() { return L#hidden(); }",
       "fatal: external function hidden not found in \"lib.wmlsc\""},
      {"use url L \"lib.wmlsc\"; extern function f() { return L#twice(1, 2); }",
       "fatal: invalid function arguments: twice in \"lib.wmlsc\" takes 1, given 2"},
      {"use url L \"missing.wmlsc\"; extern function f() { return L#twice(1); }",
       "fatal: unable to load compilation unit \"missing.wmlsc\""},
      {"use url L \"/dev/zero\"; extern function f() { return L#twice(1); }",
       "fatal: unable to load compilation unit \"/dev/zero\""},
      {"use url L \".\"; extern function f() { return L#twice(1); }",
       "fatal: unable to load compilation unit \".\""},
      {"use url L \"http://example.com/lib.wmlsc\"; extern function f() { return L#twice(1); }",
       "fatal: unable to load compilation unit \"http://example.com/lib.wmlsc\""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.call);
    EXPECT_EQ(runSource(c.call), c.expected);
  }
  std::string garbage = runSource("use url L \"garbage.wmlsc\"; extern function f() { return L#x(); }");
  EXPECT_EQ(garbage.rfind("fatal: verification failed: " + (workDirectory() / "garbage.wmlsc").string(), 0), 0u)
      << garbage;

  // A fault inside the other unit: its frame comes first and names its file.
  auto module = compile("use url L \"lib.wmlsc\";\nextern function f() {\n  return L#fails();\n}\n");
  ASSERT_TRUE(module);
  Machine machine;
  RunResult result = machine.call(*module, externIndex(*module, "f"), {});
  EXPECT_EQ(result.message, "Lang.abort: inner");
  EXPECT_EQ(describeFrames(result.frames), "  at line 4 in function fails (" +
                                               (workDirectory() / "lib.wmlsc").string() +
                                               ")\n  at line 3 in function f\n");
}

// use access in the called unit: units are files, so a caller's URL has no
// host and its path is its file's.
TEST(ExternalCalls, AccessPragmasAdmitCallersByDomainAndPath) {
  fs::create_directories(workDirectory() / "inner");
  std::string dir = workDirectory().string();
  ASSERT_FALSE(compileUnit("use access domain \"example.com\";\nextern function g() { return 1; }", "domain").empty());
  ASSERT_FALSE(compileUnit("use access path \"/\";\nextern function g() { return 2; }", "root").empty());
  ASSERT_FALSE(compileUnit("use access path \"inner\";\nextern function g() { return 3; }", "inner/guarded").empty());
  ASSERT_FALSE(compileUnit("use access path \"" + dir + "\";\nextern function g() { return 4; }", "here").empty());
  ASSERT_FALSE(compileUnit("use access path \"" + dir + "X\";\nextern function g() { return 5; }", "prefix").empty());
  const std::string callerUrl = "file://" + dir + "/unit.wmlsc";  // runSource's unit
  struct Case {
    std::string source, expected;
  } cases[] = {
      {"use url U \"domain.wmlsc\"; extern function f() { return U#g(); }",
       "fatal: access violation: \"domain.wmlsc\" admits callers from domain \"example.com\" path \"/\" only, "
       "not \"" + callerUrl + "\""},
      {"use url U \"root.wmlsc\"; extern function f() { return U#g(); }", "2"},
      {"use url U \"inner/guarded.wmlsc\"; extern function f() { return U#g(); }",
       "fatal: access violation: \"inner/guarded.wmlsc\" admits callers from domain \"\" path \"" + dir +
           "/inner/inner\" only, not \"" + callerUrl + "\""},
      {"use url U \"here.wmlsc\"; extern function f() { return U#g(); }", "4"},
      {"use url U \"prefix.wmlsc\"; extern function f() { return U#g(); }",
       "fatal: access violation: \"prefix.wmlsc\" admits callers from domain \"\" path \"" + dir +
           "X\" only, not \"" + callerUrl + "\""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(runSource(c.source), c.expected);
  }
  // A caller inside the guarded directory is admitted.
  fs::create_directories(workDirectory() / "inner" / "inner");
  auto module = compile("use url U \"../guarded.wmlsc\"; extern function f() { return U#g(); }",
                        "inner/inner/caller");
  ASSERT_TRUE(module);
  Machine machine;
  EXPECT_EQ(outcome(machine.call(*module, externIndex(*module, "f"), {})), "3");
}

// The called unit sees its own URL as base and its caller's as referer; the
// caller's come back when it returns, and after a run however it ended.
TEST(ExternalCalls, BaseAndRefererFollowTheUnitThatRuns) {
  ASSERT_FALSE(compileUnit("extern function where() { return URL.getBase() + \" \" + URL.getReferer(); }\n"
                           "extern function stop() { Lang.abort(\"x\"); }\n",
                           "urls").empty());
  auto module = compile("use url L \"urls.wmlsc#here\";\n"
                        "extern function f() { var w = L#where(); return w + \"|\" + URL.getBase() + \" \" + URL.getReferer(); }\n"
                        "extern function g() { return L#stop(); }\n");
  ASSERT_TRUE(module);
  std::string dir = "file://" + workDirectory().string();
  Machine machine;
  machine.libraryContext().refererUrl = "http://card/deck.wml";
  EXPECT_EQ(outcome(machine.call(*module, externIndex(*module, "f"), {})),
            "\"" + dir + "/urls.wmlsc unit.wmlsc|" + dir + "/unit.wmlsc http://card/deck.wml\"");
  EXPECT_EQ(machine.call(*module, externIndex(*module, "g"), {}).status, RunResult::Status::Fatal);
  EXPECT_EQ(machine.libraryContext().baseUrl, "");
  EXPECT_EQ(machine.libraryContext().refererUrl, "http://card/deck.wml");
}

TEST(ExternalCalls, UrlsResolveAgainstTheCallerThenMappingsThenFiles) {
  const std::map<std::string, std::string> mappings = {
      {"http://host/lib.wmlsc", "/mapped/lib.wmlsc"},
      {"file:///d/shadowed.wmlsc", "/mapped/shadowed.wmlsc"},
  };
  struct Case {
    const char *caller, *url, *expected, *absolute;
  } cases[] = {
      {"file:///d/u.wmlsc", "lib.wmlsc", "/d/lib.wmlsc", "file:///d/lib.wmlsc"},
      {"file:///d/u.wmlsc", "sub/../lib.wmlsc?q=1", "/d/lib.wmlsc", "file:///d/lib.wmlsc?q=1"},
      {"file:///d/u.wmlsc", "/abs/lib.wmlsc", "/abs/lib.wmlsc", "file:///abs/lib.wmlsc"},
      {"file:///d/u.wmlsc", "file:///abs/lib.wmlsc#f", "/abs/lib.wmlsc", "file:///abs/lib.wmlsc"},
      {"file:///d/u.wmlsc", "FILE://localhost/abs/x", "/abs/x", nullptr},
      {"file:///d/u.wmlsc", "file:rel/x", "/d/rel/x", "file:///d/rel/x"},
      {"file:///d/u.wmlsc", "my%20lib.wmlsc", "/d/my lib.wmlsc", "file:///d/my%20lib.wmlsc"},
      {"file:///d/u.wmlsc", "#only", "/d/u.wmlsc", "file:///d/u.wmlsc"},
      // Mappings come first, for any scheme, and are matched resolved.
      {"file:///d/u.wmlsc", "http://host/lib.wmlsc#x", "/mapped/lib.wmlsc", "http://host/lib.wmlsc"},
      {"http://host/dir/u.wmlsc", "../lib.wmlsc", "/mapped/lib.wmlsc", "http://host/lib.wmlsc"},
      {"file:///d/u.wmlsc", "shadowed.wmlsc", "/mapped/shadowed.wmlsc", nullptr},
      // Nothing else leaves the file system.
      {"file:///d/u.wmlsc", "http://host/other.wmlsc", nullptr, nullptr},
      {"http://host/dir/u.wmlsc", "lib.wmlsc", nullptr, nullptr},
      {"file:///d/u.wmlsc", "//host/lib.wmlsc", nullptr, nullptr},
      {"file:///d/u.wmlsc", "file://other/lib.wmlsc", nullptr, nullptr},
      {"file:///d/u.wmlsc", "nul%00", nullptr, nullptr},
      {"file:///d/u.wmlsc", "has space", nullptr, nullptr},
      {"", "lib.wmlsc", nullptr, nullptr},  // a unit from memory has no place
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.caller) + " " + c.url);
    std::string absolute;
    std::optional<std::string> path = locateUnit(c.caller, c.url, &mappings, absolute);
    EXPECT_EQ(path.value_or("(none)"), c.expected ? c.expected : "(none)");
    if (c.absolute) EXPECT_EQ(absolute, c.absolute);
  }
}

// ---------------------------------------------------------------------------

TEST(Machine, StringsAreFreedHoweverARunEnds) {
  std::size_t before = liveStringCharacters();
  {
    auto module = compile("function g(s) {\n  var t = s + s;\n  return g(t);\n}\n"
                          "extern function f() {\n  return g(\"abc\");\n}\n"
                          "extern function e() {\n  var x = \"keep\";\n  Lang.exit(x + x);\n}\n"
                          "extern function r(a, b) {\n  return a + b;\n}\n");
    ASSERT_TRUE(module);
    Machine machine(withDepth(12));
    EXPECT_EQ(machine.call(*module, externIndex(*module, "f"), {}).status, RunResult::Status::Fatal);
    EXPECT_EQ(outcome(machine.call(*module, externIndex(*module, "e"), {})), "exit: \"keepkeep\"");
    // The same machine runs again after a fatal error and an exit.
    EXPECT_EQ(outcome(machine.call(*module, externIndex(*module, "r"),
                                   {Value::string(U"x"), Value::integer(1)})),
              "\"x1\"");
  }
  EXPECT_EQ(liveStringCharacters(), before);
}

TEST(Machine, EachCallHasTheWholeStepBudget) {
  auto module = compile("extern function f() { while (true) {} }\n"
                        "extern function g() { var i; for (i = 0; i < 100; i++) {} return i; }\n");
  ASSERT_TRUE(module);
  Machine machine(withSteps(1000));
  EXPECT_EQ(outcome(machine.call(*module, externIndex(*module, "f"), {})),
            "fatal: step budget of 1000 instructions exhausted");
  EXPECT_EQ(outcome(machine.call(*module, externIndex(*module, "g"), {})), "100");
  EXPECT_EQ(outcome(machine.call(*module, externIndex(*module, "f"), {})),
            "fatal: step budget of 1000 instructions exhausted");
}

TEST(Machine, TraceWritesEachInstructionBeforeItRuns) {
  auto module = compile("extern function f(a) {\n  return a + 1;\n}\n"
                        "extern function g() {\n  return \"\u00e9123456789012345678901234567890123456789xyz\";\n}\n");
  ASSERT_TRUE(module);
  std::FILE *stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  Machine machine;
  machine.setTrace(stream);
  EXPECT_EQ(outcome(machine.call(*module, externIndex(*module, "f"), {Value::string(U"x")})), "\"x1\"");
  std::rewind(stream);
  std::string text;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, stream)) text += buffer;
  std::fclose(stream);
  EXPECT_EQ(text,
            "f 0x0000 load_var_s 0  [depth 0]\n"
            "f 0x0001 const_1  [depth 1, top \"x\"]\n"
            "f 0x0002 add  [depth 2, top 1]\n"
            "f 0x0003 return  [depth 1, top \"x1\"]\n");
  EXPECT_EQ(machine.steps(), 4u);

  // A long string on top: its first 40 characters.
  stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  machine.setTrace(stream);
  machine.call(*module, externIndex(*module, "g"), {});
  std::rewind(stream);
  text.clear();
  while (std::fgets(buffer, sizeof buffer, stream)) text += buffer;
  std::fclose(stream);
  EXPECT_EQ(text,
            "g 0x0000 load_const_s 0  [depth 0]\n"
            "g 0x0001 return  [depth 1, top \"\u00e9123456789012345678901234567890123456789...\"]\n");
}

} // namespace
