// The verifying loader on units and debug files built byte by byte: one
// table of broken units with the exact error each gives, the rules that hold
// only under strict loading, stack depths of valid code, the debug file's
// faults and contents, and arbitrary bytes that must give a result or an
// error, never a crash.
#include "loader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

using namespace tavokrt;

namespace {

using Bytes = std::vector<std::uint8_t>;

// "01 6a 3b" -> the three bytes; blanks are ignored.
Bytes hex(std::string_view text) {
  Bytes bytes;
  int high = -1;
  for (char c : text) {
    int nibble = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (nibble < 0)
      continue;
    if (high < 0) {
      high = nibble;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | nibble));
      high = -1;
    }
  }
  return bytes;
}

Bytes mb(std::uint32_t value) {
  Bytes bytes{static_cast<std::uint8_t>(value & 0x7F)};
  while (value >>= 7)
    bytes.insert(bytes.begin(), static_cast<std::uint8_t>(0x80 | (value & 0x7F)));
  return bytes;
}

Bytes operator+(Bytes first, const Bytes &second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// The version byte and the size in front of a body.
Bytes withHeader(const Bytes &body) { return Bytes{0x01} + mb(static_cast<std::uint32_t>(body.size())) + body; }
Bytes H(std::string_view body) { return withHeader(hex(body)); }

// A unit with no constants or pragmas and one function, index 0, extern name
// f, with these counts and code.
Bytes C(std::uint8_t arguments, std::uint8_t locals, std::string_view code) {
  Bytes bytes = hex(code);
  return withHeader(hex("00 6a 00 01 01 00 01 66") + Bytes{arguments, locals} +
                    mb(static_cast<std::uint32_t>(bytes.size())) + bytes);
}

// Units with pools and several functions.
struct UnitBuilder {
  Bytes constants;
  std::uint32_t constantCount = 0;
  std::uint32_t characterSet = 106;
  Bytes pragmas;
  std::uint32_t pragmaCount = 0;
  struct Entry {
    std::uint8_t arguments, locals;
    Bytes code;
    std::string name;
  };
  std::vector<Entry> functions;

  UnitBuilder &constant(std::string_view bytes) {
    constants = constants + hex(bytes);
    ++constantCount;
    return *this;
  }
  UnitBuilder &string(std::string_view text) {
    constants = constants + Bytes{4} + mb(static_cast<std::uint32_t>(text.size())) + Bytes(text.begin(), text.end());
    ++constantCount;
    return *this;
  }
  UnitBuilder &pragma(std::string_view bytes) {
    pragmas = pragmas + hex(bytes);
    ++pragmaCount;
    return *this;
  }
  UnitBuilder &function(std::uint8_t arguments, std::uint8_t locals, std::string_view code, std::string name = "") {
    functions.push_back({arguments, locals, hex(code), std::move(name)});
    return *this;
  }

  Bytes bytes() const {
    Bytes body = mb(constantCount) + mb(characterSet) + constants + mb(pragmaCount) + pragmas;
    Bytes names;
    std::uint8_t nameCount = 0;
    for (std::size_t i = 0; i < functions.size(); ++i) {
      if (functions[i].name.empty())
        continue;
      ++nameCount;
      names = names + Bytes{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(functions[i].name.size())} +
              Bytes(functions[i].name.begin(), functions[i].name.end());
    }
    body = body + Bytes{static_cast<std::uint8_t>(functions.size()), nameCount} + names;
    for (const Entry &entry : functions)
      body = body + Bytes{entry.arguments, entry.locals} + mb(static_cast<std::uint32_t>(entry.code.size())) + entry.code;
    return withHeader(body);
  }
};

std::string loadError(const Bytes &bytes, bool strict) {
  LoadResult result = loadUnit(bytes, LoadOptions{strict});
  return result ? "loads" : result.error.describe();
}

struct FaultRow {
  const char *name;
  Bytes bytes;
  const char *expected;  // describe() of the error, or "loads"
};

void expectRows(const std::vector<FaultRow> &rows, bool strict) {
  for (const FaultRow &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(loadError(row.bytes, strict), row.expected);
  }
}

TEST(LoadUnitFaults, EachBrokenRuleGivesItsMessageAndOffset) {
  const std::vector<FaultRow> rows = {
      // the header and the pools
      {"well-formed unit", C(0, 0, "3b"), "loads"},
      {"empty file", {}, "offset 0x0: file ends where the version number is expected"},
      {"version", hex("02 0c 00 6a 00 01 01 00 01 66 00 00 01 3b"), "offset 0x0: version number is 0x02, not 0x01"},
      {"size one short", hex("01 0b 00 6a 00 01 01 00 01 66 00 00 01 3b"),
       "offset 0x1: the unit size says 11 bytes, 12 follow"},
      {"size missing", hex("01"), "offset 0x1: file ends where the unit size is expected"},
      {"size cut inside", hex("01 81"), "offset 0x2: file ends where the unit size is expected"},
      {"six-byte multi-byte integer", H("81 80 80 80 80 00 6a"),
       "offset 0x2: the constant count: multi-byte integer longer than 5 bytes"},
      {"multi-byte integer above 32 bits", H("90 80 80 80 00 6a"),
       "offset 0x2: the constant count: multi-byte integer above 32 bits"},
      {"largest five-byte integer", H("8f ff ff ff 7f 6a"), "offset 0x8: file ends where a constant type is expected"},
      {"character set", H("00 6b 00 01 01 00 01 66 00 00 01 3b"),
       "offset 0x3: character set 107 is neither 106 (UTF-8) nor 4 (Latin-1)"},
      {"Latin-1", H("00 04 00 01 01 00 01 66 00 00 01 3b"), "loads"},
      {"constant type 7", H("01 6a 07"), "offset 0x4: constant 0 has type 7, not 0 to 6"},
      {"empty string constant has no bytes", H("01 6a 05 00 00 01 00 00 00 01 3b"),
       "offset 0x7: 1 function names for 0 functions"},
      {"string past the end", H("01 6a 04 09 61"), "offset 0x5: a string constant of 9 bytes, 1 left in the file"},
      {"16-bit integer cut", H("01 6a 01 05"), "offset 0x6: file ends where a 16-bit integer constant is expected"},
      {"float cut", H("01 6a 03 00 00"), "offset 0x7: file ends where a float constant is expected"},
      {"constant count beyond the file", H("05 6a 00 01"), "offset 0x6: file ends where a constant type is expected"},
      {"pragma on an integer", H("01 6a 00 07 01 00 00 01 00 00 00 01 3b"),
       "offset 0x8: pragma 0 (access domain): constant 0 is not a string"},
      {"pragma beyond the pool", H("01 6a 00 07 01 02 00 01 00 00 00 01 3b"),
       "offset 0x8: pragma 0 (user-agent property): constant 0 is not a string"},
      {"pragma constant missing", H("00 6a 01 00 05 01 00 00 00 01 3b"),
       "offset 0x6: pragma 0 (access domain): constant 5, the pool has 0 constants"},
      {"pragma type", H("00 6a 01 04 00"), "offset 0x5: pragma 0 has type 4, not 0 to 3"},
      {"pragma count beyond the file", H("00 6a 02 00"), "offset 0x6: file ends where a pragma operand is expected"},
      // the function name table and the function headers
      {"no function count", H("00 6a 00"), "offset 0x5: file ends where the function count is expected"},
      {"name of a missing function", H("00 6a 00 01 01 01 01 66 00 00 01 3b"),
       "offset 0x7: function name 0 names function 1, the unit has 1 functions"},
      {"index named twice", H("00 6a 00 02 02 00 01 66 00 01 67 00 00 01 3b 00 00 01 3b"),
       "offset 0xA: function name 1: function 0 is already named"},
      {"name not an identifier", H("00 6a 00 01 01 00 02 31 66 00 00 01 3b"),
       "offset 0x7: function name 0 (\"1f\") is not an identifier"},
      {"name with a control byte", H("00 6a 00 01 01 00 02 66 0a 00 00 01 3b"),
       "offset 0x7: function name 0 (\"f\\x0A\") is not an identifier"},
      {"empty name", H("00 6a 00 01 01 00 00 00 00 01 3b"), "offset 0x7: function name 0 is empty"},
      {"one name for two functions", H("00 6a 00 02 02 00 01 66 01 01 66 00 00 01 3b 00 00 01 3b"),
       "offset 0xA: function name 1 (\"f\") names an earlier function too"},
      {"name past the end", H("00 6a 00 01 01 00 05 66"), "offset 0x8: a function name of 5 bytes, 1 left in the file"},
      {"too many variables", C(200, 57, "3b"), "offset 0xA: function 0 has 200 arguments and 57 locals, more than 256 variables"},
      {"256 variables", C(200, 56, "3b"), "loads"},
      {"code size past the end", H("00 6a 00 01 01 00 01 66 00 00 05 3b"),
       "offset 0xC: function 0: code size 5, 1 bytes left in the file"},
      {"function missing", H("00 6a 00 02 00 00 00 01 3b"), "offset 0xB: file ends where a function's argument count is expected"},
      {"byte after the last function", H("00 6a 00 01 01 00 01 66 00 00 01 3b 3b"),
       "offset 0xE: 1 bytes follow the last function"},
      // the code of a function
      {"no code at all", C(0, 0, ""), "offset 0xD: function 0 has no code"},
      {"unknown opcode", C(0, 0, "78 3b"), "offset 0xD: byte 0x78 at 0x0000 starts no instruction"},
      {"instruction past the code", C(0, 0, "0e"), "offset 0xD: load_var at 0x0000 runs past the end of the function's code"},
      {"jump into an instruction", C(1, 0, "e0 c1 1d 00 3b"),
       "offset 0xE: tjump_fw_s at 0x0001: jump target 0x0003 is not an instruction boundary"},
      {"jump onto an instruction", C(1, 0, "e0 c2 e0 37 3b"), "loads"},
      {"jump before the code", C(0, 0, "14 a2"), "offset 0xE: jump_bw_s at 0x0001: jump target lies 1 bytes before the start of the code"},
      {"jump past the code", C(0, 0, "14 81 3a"), "offset 0xE: jump_fw_s at 0x0001: jump target 0x0003 lies past the end of the code (0x0003 bytes)"},
      {"jump to itself", C(0, 0, "a0"), "loads"},
      {"variable beyond the slots", C(1, 0, "e1 3a"), "offset 0xD: load_var_s at 0x0000: variable 1, the function has 1 variables"},
      {"constant beyond the pool", C(0, 0, "50 3a"), "offset 0xD: load_const_s at 0x0000: constant 0, the pool has 0 constants"},
      {"call beyond the functions", C(0, 0, "61 3a"), "offset 0xD: call_s at 0x0000: function 1, the unit has 1 functions"},
      {"call_url on an integer", H("01 6a 00 07 00 01 00 00 00 05 0c 00 00 00 3a"),
       "offset 0xC: call_url at 0x0000: the url is constant 0, not a string"},
      {"call_url name not an identifier", UnitBuilder().string("u").string("2x").function(0, 0, "0c 00 01 00 3a").bytes(),
       "offset 0x11: call_url at 0x0000: the function name \"2x\" (constant 1) is not an identifier"},
      {"call_url name beyond the pool", UnitBuilder().string("u").function(0, 0, "0c 00 01 00 3a").bytes(),
       "offset 0xD: call_url at 0x0000: the function name is constant 1, the pool has 1 constants"},
      {"running off the end", C(0, 0, "14"), "offset 0xD: const_0 at 0x0000: execution runs off the end of the function's code"},
      {"conditional jump at the end", C(0, 0, "19 c0"), "offset 0xE: tjump_fw_s at 0x0001: jump target 0x0002 lies past the end of the code (0x0002 bytes)"},
      {"conditional jump back at the end", C(0, 0, "19 07 01"), "offset 0xE: tjump_bw at 0x0001: execution runs off the end of the function's code"},
      {"stack underflow", C(0, 0, "14 20 3a"), "offset 0xE: add at 0x0001: stack underflow: pops 2 values, the stack holds 1"},
      {"return of nothing", C(0, 0, "3a"), "offset 0xD: return at 0x0000: stack underflow: pops 1 values, the stack holds 0"},
      {"store with an empty stack after a jump", C(1, 0, "e0 c2 1d 00 3b"),
       "offset 0xF: add_asg at 0x0002: stack underflow: pops 1 values, the stack holds 0"},
      {"unequal depths at a join", C(0, 0, "19 c1 14 3b"),
       "offset 0x10: unequal stack depths at a join: 0x0003 is reached with depths 0 and 1"},
      {"loop that grows the stack", C(0, 0, "14 a1"),
       "offset 0xD: unequal stack depths at a join: 0x0000 is reached with depths 0 and 1"},
      {"call pops the callee's arguments", UnitBuilder().function(0, 0, "14 61 3a", "f").function(2, 0, "e0 3a").bytes(),
       "offset 0xE: call_s at 0x0001: stack underflow: pops 2 values, the stack holds 1"},
      {"call_url pops its argument count", UnitBuilder().string("u").string("g").function(0, 0, "14 0c 00 01 02 3a").bytes(),
       "offset 0x11: call_url at 0x0001: stack underflow: pops 2 values, the stack holds 1"},
      {"library call pops its parameters", C(0, 0, "14 69 00 3a"),
       "offset 0xE: call_lib_s at 0x0001: stack underflow: pops 2 values, the stack holds 1"},
      {"scand without a tjump", C(0, 0, "19 34 3a"), "offset 0xE: scand at 0x0001: not followed by a forward tjump"},
      {"scor before a backward tjump", C(0, 0, "19 35 07 00 3a"), "offset 0xE: scor at 0x0001: not followed by a forward tjump"},
      {"scand at the end", C(0, 0, "19 34"), "offset 0xE: scand at 0x0001: not followed by a forward tjump"},
      {"scand on an empty stack", C(0, 0, "34 c0 3b"), "offset 0xD: scand at 0x0000: stack underflow: pops 1 values, the stack holds 0"},
      {"jump into a scand pair", C(0, 0, "19 19 c2 19 34 c1 36 3a"),
       "offset 0xF: tjump_fw_s at 0x0002: jump target 0x0005 is the tjump of a scand pair"},
      {"unknown library, not strict", C(0, 0, "68 10 3a"), "loads"},
  };
  expectRows(rows, false);
}

// The compiler's limit on constants, at it and one past it: the format
// itself has no limit, so only strict loading refuses the 65536th.
TEST(LoadUnitFaults, ConstantCountAtTheCompilersLimit) {
  for (std::uint32_t count : {65535u, 65536u}) {
    SCOPED_TRACE(count);
    Bytes body = mb(count) + hex("6a");
    for (std::uint32_t index = 0; index < count; ++index)
      body.insert(body.end(), {0x00, 0x00});
    Bytes unit = withHeader(body + hex("00 01 00 00 00 01 3b"));
    EXPECT_TRUE(loadUnit(unit)) << "not strict";
    LoadResult strict = loadUnit(unit, LoadOptions{.strict = true});
    if (count == 65535)  // refused for the repeated constant, not the count
      EXPECT_EQ(strict.error.describe(), "offset 0xA: constant 1 repeats an earlier constant");
    else
      EXPECT_EQ(strict.error.describe(), "offset 0x4: 65536 constants: the compiler writes at most 65535");
  }
}

// What only the compiler's own output obeys: each row loads without strict
// and fails with it.
TEST(LoadUnitFaults, CompilerRulesHoldOnlyUnderStrict) {
  const std::vector<FaultRow> rows = {
      {"size with a zero group", hex("01 80 0c 00 6a 00 01 01 00 01 66 00 00 01 3b"),
       "offset 0x1: the unit size: multi-byte integer starts with a zero group"},
      {"Latin-1", H("00 04 00 01 01 00 01 66 00 00 01 3b"), "offset 0x3: character set 4: the compiler writes 106 (UTF-8)"},
      {"integer wider than needed", H("01 6a 01 00 05 00 01 00 00 00 01 3b"),
       "offset 0x4: constant 0: integer 5 written in 16 bits fits in 8"},
      {"32-bit integer that fits 16", H("01 6a 02 ff ff 80 00 00 01 00 00 00 01 3b"),
       "offset 0x4: constant 0: integer -32768 written in 32 bits fits in 16"},
      {"constant twice", H("02 6a 04 01 61 04 01 61 00 01 00 00 00 01 3b"), "offset 0x7: constant 1 repeats an earlier constant"},
      {"integer twice in two widths", H("02 6a 00 05 01 00 05 00 01 00 00 00 01 3b"),
       "offset 0x6: constant 1: integer 5 written in 16 bits fits in 8"},
      {"empty-string constant", H("01 6a 05 00 01 00 00 00 01 3b"),
       "offset 0x4: constant 0 has type 5; the compiler writes strings as type 4"},
      {"string in the unit's character set", H("01 6a 06 01 61 00 01 00 00 00 01 3b"),
       "offset 0x4: constant 0 has type 6; the compiler writes strings as type 4"},
      {"NUL in a string", H("01 6a 04 02 61 00 00 01 00 00 00 01 3b"), "offset 0x4: constant 0: string holds a NUL byte"},
      {"infinite float", H("01 6a 03 7f 80 00 00 00 01 00 00 00 01 3b"), "offset 0x4: constant 0: float is not finite"},
      {"NaN float", H("01 6a 03 7f c0 00 00 00 01 00 00 00 01 3b"), "offset 0x4: constant 0: float is not finite"},
      {"path before domain", H("01 6a 04 01 61 02 01 00 00 00 01 00 00 00 01 3b"),
       "offset 0xA: pragma 1 (access domain) is out of order or repeated"},
      {"domain after a user-agent property", H("01 6a 04 01 61 02 02 00 00 00 00 01 00 00 00 01 3b"),
       "offset 0xB: pragma 1 (access domain) is out of order or repeated"},
      {"domain twice", H("01 6a 04 01 61 02 00 00 00 00 01 00 00 00 01 3b"),
       "offset 0xA: pragma 1 (access domain) is out of order or repeated"},
      {"names in falling index order", H("00 6a 00 02 02 01 01 67 00 01 66 00 00 01 3b 00 00 01 3b"),
       "offset 0xA: function name 1: index 0 is below the previous one"},
      {"unknown library", C(0, 0, "68 10 3a"), "offset 0xD: call_lib_s at 0x0000: unknown library 16 (function 0)"},
      {"library function beyond its table", C(0, 0, "0a 0f 00 3a"),
       "offset 0xD: call_lib at 0x0000: library 0 (Lang) has no function 15"},
      {"normal form for a short operand", C(6, 0, "0e 05 3a"), "offset 0xD: load_var at 0x0000: operand 5 fits a shorter form"},
      {"wide jump for a short offset", C(0, 0, "02 00 00 3b"), "offset 0xD: jump_fw_w at 0x0000: operand 0 fits a shorter form"},
      {"store_var below 16", C(1, 0, "14 0f 00 3b"), "offset 0xE: store_var at 0x0001: operand 0 fits a shorter form"},
      {"wide library call for a small library", C(0, 0, "14 0b 00 00 01 3a"),
       "offset 0xE: call_lib_w at 0x0001: operand 1 fits a shorter form"},
      {"wide call_url for small indices", UnitBuilder().string("u").string("g").function(0, 0, "0d 00 00 00 01 00 3a").bytes(),
       "offset 0x10: call_url_w at 0x0000: operand 1 fits a shorter form"},
  };
  for (const FaultRow &row : rows) {
    SCOPED_TRACE(row.name);
    LoadResult loose = loadUnit(row.bytes);
    EXPECT_TRUE(loose) << loose.error.describe();
    EXPECT_EQ(loadError(row.bytes, true), row.expected);
  }
}

TEST(LoadUnitFaults, ShortestFormsPassStrict) {
  const std::vector<FaultRow> rows = {
      {"load_var at 32", C(33, 0, "0e 20 3a"), "loads"},
      {"store_var at 16", C(17, 0, "14 0f 10 3b"), "loads"},
      {"tjump_bw has no short form", C(0, 0, "19 07 01 3b"), "loads"},
      {"call_lib with a function index of 8", C(0, 0, "14 0a 08 00 3a"), "loads"},
      {"call_lib_w for library 65535", C(0, 0, "14 0b 00 ff ff 3a"), "loads"},
  };
  expectRows(rows, true);
}

// Every proper prefix of a unit's body behind a matching header stops at a
// missing field: an error, never a crash or an accepted unit.
TEST(LoadUnitFaults, EveryTruncatedBodyIsAnError) {
  Bytes body = hex("03 6a 00 05 01 01 2c 04 03 61 62 63 02 00 02 02 02 02 02 01 00 01 66 "
                   "01 01 06 e0 50 51 22 20 3a 00 00 02 15 3a");
  ASSERT_TRUE(loadUnit(withHeader(body))) << loadUnit(withHeader(body)).error.describe();
  for (std::size_t length = 0; length < body.size(); ++length) {
    SCOPED_TRACE(length);
    LoadResult result = loadUnit(withHeader(Bytes(body.begin(), body.begin() + static_cast<long>(length))));
    EXPECT_FALSE(result);
  }
}

struct DepthRow {
  const char *name;
  Bytes bytes;
  std::vector<std::uint32_t> depths;  // maxStackDepth per function
};

TEST(LoadUnitStack, MaximumDepthPerFunction) {
  const std::vector<DepthRow> rows = {
      {"return 1 + 2 * 3", UnitBuilder().constant("00 02").constant("00 03").function(0, 0, "15 50 51 22 20 3a", "f").bytes(), {3}},
      {"return_es only", C(0, 0, "3b"), {0}},
      // a && b: the taken edge of the scand pair holds one more value
      {"a && b", C(2, 0, "e0 34 c2 e1 36 3a"), {2}},
      // (a && b) || c, as the compiler emits it
      {"(a && b) || c", C(3, 0, "e0 34 c1 e1 35 c2 e2 36 3a"), {2}},
      // a ? b : c
      {"a ? b : c", C(3, 0, "e0 c2 e1 81 e2 3a"), {1}},
      // f(1, 2) calls a function of two arguments, then returns its value
      {"call of two arguments", UnitBuilder().function(0, 0, "15 15 61 3a", "f").function(2, 0, "e0 e1 20 3a").bytes(), {2, 2}},
      // String.length("") + an external call of three arguments
      {"library and url calls",
       UnitBuilder().string("u").string("g").function(0, 0, "17 68 02 15 15 15 0c 00 01 03 20 3a", "f").bytes(), {4}},
      {"unknown library function pushes one value", C(0, 0, "68 10 68 10 20 3a"), {2}},
      // dead code after a return is decoded and checked but not traced
      {"unreachable code", C(0, 0, "3b 20 20 3a"), {0}},
      {"loop that keeps its depth", C(1, 0, "e0 c2 70 a3 3b"), {1}},
  };
  for (const DepthRow &row : rows) {
    SCOPED_TRACE(row.name);
    LoadResult result = loadUnit(row.bytes);
    ASSERT_TRUE(result) << result.error.describe();
    ASSERT_EQ(result.unit->functions.size(), row.depths.size());
    for (std::size_t i = 0; i < row.depths.size(); ++i)
      EXPECT_EQ(result.unit->functions[i].maxStackDepth, row.depths[i]) << "function " << i;
  }
}

TEST(LoadUnitModel, DecodedFieldsAndJumpTargets) {
  Bytes bytes = UnitBuilder()
                    .constant("01 01 2c")
                    .string("abc")
                    .pragma("00 01")
                    .function(1, 1, "e0 c2 51 81 50 3a", "main")
                    .function(0, 0, "3b")
                    .bytes();
  LoadResult result = loadUnit(bytes, LoadOptions{true});
  ASSERT_TRUE(result) << result.error.describe();
  const Unit &unit = *result.unit;
  EXPECT_EQ(unit.fileSize, bytes.size());
  EXPECT_EQ(unit.characterSet, CharsetUtf8);
  ASSERT_EQ(unit.constants.size(), 2u);
  EXPECT_EQ(unit.constants[0].type, ConstantType::Int16);
  EXPECT_EQ(unit.constants[0].integer, 300);
  EXPECT_EQ(unit.constants[0].offset, 4u);
  EXPECT_EQ(unit.constants[1].bytes, "abc");
  ASSERT_EQ(unit.pragmas.size(), 1u);
  EXPECT_EQ(unit.pragmas[0].type, PragmaType::AccessDomain);
  EXPECT_EQ(unit.pragmas[0].constants[0], 1u);
  ASSERT_EQ(unit.functions.size(), 2u);
  const Function &main = unit.functions[0];
  EXPECT_TRUE(main.isExtern);
  EXPECT_EQ(main.externName, "main");
  EXPECT_FALSE(unit.functions[1].isExtern);
  EXPECT_EQ(unit.findExternFunction("main"), &main);
  EXPECT_EQ(unit.findExternFunction("other"), nullptr);
  EXPECT_EQ(main.argumentCount, 1);
  EXPECT_EQ(main.localCount, 1);
  EXPECT_EQ(main.codeSize, 6u);
  EXPECT_EQ(bytes[main.codeOffset], 0xe0);
  EXPECT_EQ(bytes[main.headerOffset], 1);
  ASSERT_EQ(main.instructions.size(), 6u);
  EXPECT_EQ(main.instructions[1].operation, Operation::TjumpFwS);
  EXPECT_EQ(main.instructions[1].target, 4u);  // load_const_s 0 at offset 4
  EXPECT_EQ(main.instructions[3].operation, Operation::JumpFwS);
  EXPECT_EQ(main.instructions[3].target, 5u);
  EXPECT_EQ(main.instructions[4].offset, 4u);
  EXPECT_EQ(main.instructions[2].operands[0], 1u);
  EXPECT_TRUE(unit.warnings.empty());
}

TEST(LoadUnitModel, UnknownLibraryFunctionIsAWarning) {
  LoadResult result = loadUnit(C(0, 0, "14 0a 09 05 3a"));
  ASSERT_TRUE(result) << result.error.describe();
  ASSERT_EQ(result.unit->warnings.size(), 1u);
  EXPECT_EQ(result.unit->warnings[0].offset, 0xEu);
  EXPECT_EQ(result.unit->warnings[0].message, "call_lib at 0x0001: library 5 (Dialogs) has no function 9");
}

TEST(LoadUnitModel, NonFiniteFloatLoadsWithoutStrict) {
  LoadResult result = loadUnit(H("01 6a 03 7f c0 00 00 00 01 00 00 00 01 3b"));
  ASSERT_TRUE(result) << result.error.describe();
  EXPECT_TRUE(std::isnan(result.unit->constants[0].floating));
}

TEST(LoadUnitFile, MissingFileHasNoOffset) {
  LoadResult result = loadUnitFile("/nonexistent/unit.wmlsc");
  ASSERT_FALSE(result);
  EXPECT_FALSE(result.error.hasOffset);
  EXPECT_EQ(result.error.describe(), "cannot open /nonexistent/unit.wmlsc: No such file or directory");
}

// A device is read only as far as its header announces, so an endless one
// ends at its first fault; a regular file is read whole, so a unit followed
// by garbage reports the true sizes.
TEST(LoadUnitFile, ReadsNoFurtherThanTheHeaderAnnounces) {
  LoadResult zeros = loadUnitFile("/dev/zero");
  ASSERT_FALSE(zeros);
  EXPECT_EQ(zeros.error.describe(), "offset 0x0: version number is 0x00, not 0x01");

  std::string path = ::testing::TempDir() + "trailing.wmlsc";
  Bytes unit = H("00 6a 00 01 00 00 00 01 3b");
  for (std::size_t extra : {0u, 1u, 100000u}) {
    SCOPED_TRACE(extra);
    Bytes file = unit;
    file.resize(unit.size() + extra, 0xEE);
    std::FILE *out = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(out);
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);
    LoadResult result = loadUnitFile(path);
    if (extra == 0)
      EXPECT_TRUE(result) << result.error.describe();
    else
      EXPECT_EQ(result.error.describe(),
                "offset 0x1: the unit size says 9 bytes, " + std::to_string(9 + extra) + " follow");
  }
  std::remove(path.c_str());
}

// ---------------------------------------------------------------------------
// Debug files

std::string debugError(const Bytes &unitBytes, const Bytes &debugBytes) {
  LoadResult unit = loadUnit(unitBytes);
  if (!unit)
    return "unit: " + unit.error.describe();
  DebugLoadResult debug = loadDebug(debugBytes, *unit.unit);
  return debug ? "loads" : debug.error.describe();
}

TEST(LoadDebugFaults, EachBrokenRuleGivesItsMessageAndOffset) {
  const Bytes empty = C(0, 0, "3b");                      // f, no variables
  const Bytes variables = C(1, 1, "e0 41 e1 3a");         // f(a) { var b; ... }
  const std::vector<FaultRow> rows = {
      {"well-formed", H("01 66 00 01 00 00 00 00 01 00 02"), "loads"},
      {"version", hex("00 0b 01 66 00 01 00 00 00 00 01 00 02"), "offset 0x0: version number is 0x00, not 0x01"},
      {"debug size", hex("01 0a 01 66 00 01 00 00 00 00 01 00 02"), "offset 0x1: the debug size says 10 bytes, 11 follow"},
      {"function count", H("01 66 00 02 00 00 00 00 01 00 02"), "offset 0x5: 2 function records, the unit has 1 functions"},
      {"name id beyond the names", H("01 66 00 01 01 00 00 00 01 00 02"),
       "offset 0x6: a function's name id: name id 1, the file has 1 names"},
      {"name differs from the unit", H("01 67 00 01 00 00 00 00 01 00 02"), "offset 0x6: function 0 is f in the unit, g in the debug file"},
      {"function index", H("01 66 00 01 00 01 00 00 01 00 02"), "offset 0x7: debug record 0 carries function index 1"},
      {"arguments differ from the unit", H("01 66 00 01 00 00 01 00 00 00 01 00 02"),
       "offset 0x8: function 0: 1 arguments in the debug file, 0 in the unit"},
      {"name without its NUL", H("01 66"), "offset 0x4: file ends where the NUL after a name is expected"},
      {"empty name", H("02 66 00 00"), "offset 0x5: name 1 is empty"},
      {"name twice", H("02 66 00 66 00 01"), "offset 0x5: name 1 (f) repeats an earlier name"},
      {"line entry inside no instruction", H("01 66 00 01 00 00 00 00 01 01 02"),
       "offset 0xB: function 0, line entry 0: 0x0001 is not an instruction start"},
      {"line zero", H("01 66 00 01 00 00 00 00 01 00 00"), "offset 0xB: function 0, line entry 0: line 0"},
      {"byte after the last record", H("01 66 00 01 00 00 00 00 01 00 02 00"), "offset 0xD: 1 bytes follow the last function record"},
  };
  for (const FaultRow &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(debugError(empty, row.bytes), row.expected);
  }
  const std::vector<FaultRow> variableRows = {
      {"arguments and locals by index", H("03 66 00 61 00 62 00 01 00 00 01 01 00 01 02 01 02 00 02 02 03"), "loads"},
      {"local with an argument's index", H("03 66 00 61 00 62 00 01 00 00 01 01 00 01 02 00 02 00 02 02 03"),
       "offset 0x10: function 0: local 0 (b) has index 0, not 1"},
      {"variable named twice", H("03 66 00 61 00 62 00 01 00 00 01 01 00 01 01 01 02 00 02 02 03"),
       "offset 0x10: function 0: variable a is listed twice"},
      {"line repeated", H("03 66 00 61 00 62 00 01 00 00 01 01 00 01 02 01 02 00 02 02 02"),
       "offset 0x15: function 0, line entry 1: line 2 repeats the previous entry"},
      {"offsets going back", H("03 66 00 61 00 62 00 01 00 00 01 01 00 01 02 01 02 02 02 00 03"),
       "offset 0x15: function 0, line entry 1: 0x0000 is not above 0x0002"},
  };
  for (const FaultRow &row : variableRows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(debugError(variables, row.bytes), row.expected);
  }
}

TEST(LoadDebugModel, NamesVariablesAndLines) {
  Bytes unitBytes = UnitBuilder().function(1, 1, "e0 41 e1 3a", "f").function(0, 0, "14 37 3b").bytes();
  // names f, a, b, g; f(a) with local b, lines 2 and 3; g with line 7 from 0x0001
  Bytes debugBytes = H("04 66 00 61 00 62 00 67 00 02 00 00 01 01 00 01 02 01 02 00 02 02 03 03 01 00 00 01 01 07");
  LoadResult unit = loadUnit(unitBytes);
  ASSERT_TRUE(unit) << unit.error.describe();
  DebugLoadResult result = loadDebug(debugBytes, *unit.unit);
  ASSERT_TRUE(result) << result.error.describe();
  const DebugInfo &debug = *result.debug;
  EXPECT_EQ(debug.names, (std::vector<std::string>{"f", "a", "b", "g"}));
  ASSERT_EQ(debug.functions.size(), 2u);
  EXPECT_EQ(debug.functions[0].name, "f");
  EXPECT_EQ(debug.functions[0].argumentNames, std::vector<std::string>{"a"});
  EXPECT_EQ(debug.functions[0].localNames, std::vector<std::string>{"b"});
  EXPECT_EQ(debug.functions[1].name, "g");
  const FunctionDebug &f = debug.functions[0];
  EXPECT_EQ(f.lineAt(0), 2u);
  EXPECT_EQ(f.lineAt(1), 2u);
  EXPECT_EQ(f.lineAt(2), 3u);
  EXPECT_EQ(f.lineAt(3), 3u);
  EXPECT_EQ(debug.functions[1].lineAt(0), 0u);  // no entry yet: line unknown
  EXPECT_EQ(debug.functions[1].lineAt(2), 7u);
}

// ---------------------------------------------------------------------------
// Arbitrary bytes: mutations of a valid unit (and of its debug file) give a
// unit or an error, never a crash; the fuzz target does the same at length.

TEST(LoadRobustness, MutatedUnitsGiveAResultOrAnError) {
  const Bytes unitBytes = UnitBuilder()
                              .constant("01 01 2c")
                              .string("u")
                              .string("g")
                              .pragma("00 01")
                              .function(2, 1, "e0 34 c2 e1 36 42 17 68 02 15 0c 01 02 01 20 3a", "f")
                              .function(0, 0, "15 19 61 37 3b")
                              .bytes();
  const Bytes debugBytes = H("02 66 00 61 00 02 00 00 00 00 01 00 02 01 00 00 00 01 00 04");
  ASSERT_TRUE(loadUnit(unitBytes, LoadOptions{true})) << loadUnit(unitBytes, LoadOptions{true}).error.describe();
  std::mt19937 random(12345);
  int loaded = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes mutated = unitBytes;
    int edits = 1 + static_cast<int>(random() % 3);
    for (int e = 0; e < edits; ++e) {
      std::size_t at = random() % mutated.size();
      switch (random() % 4) {
      case 0: mutated[at] = static_cast<std::uint8_t>(random()); break;
      case 1: mutated[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
      case 2: mutated.erase(mutated.begin() + static_cast<long>(at)); break;
      default: mutated.insert(mutated.begin() + static_cast<long>(at), static_cast<std::uint8_t>(random())); break;
      }
      if (mutated.empty())
        mutated.push_back(1);
    }
    for (bool strict : {false, true}) {
      LoadResult result = loadUnit(mutated, LoadOptions{strict});
      if (!result) {
        EXPECT_TRUE(result.error.hasOffset);
        EXPECT_LE(result.error.offset, mutated.size());
        continue;
      }
      ++loaded;
      loadDebug(debugBytes, *result.unit);
      loadDebug(mutated, *result.unit);
    }
  }
  EXPECT_GT(loaded, 0);
}

} // namespace
