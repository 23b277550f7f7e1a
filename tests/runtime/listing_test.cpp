// The listing on hand-built units: each kind of operand decoded, jump labels,
// names and lines from a debug file, raw mode, and the pools' texts.
#include "listing.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

using namespace tavokrt;

namespace {

// A unit built by hand, with the file bytes its functions' code stands in.
struct HandUnit {
  Unit unit{};
  std::vector<std::uint8_t> bytes;

  HandUnit() {
    unit.version = 1;
    unit.characterSet = CharsetUtf8;
    unit.fileSize = 0;
  }

  void addConstant(ConstantType type, std::int32_t integer, float floating, std::string text) {
    unit.constants.push_back(Constant{.type = type, .integer = integer, .floating = floating,
                                      .bytes = std::move(text), .offset = 0});
  }
  void addInteger(ConstantType type, std::int32_t value) { addConstant(type, value, 0, ""); }
  void addFloat(float value) { addConstant(ConstantType::Float32, 0, value, ""); }
  void addString(ConstantType type, std::string text) { addConstant(type, 0, 0, std::move(text)); }

  // A function whose code is these instructions, laid out one after another.
  Function &addFunction(std::uint8_t arguments, std::uint8_t locals, std::string externName = "") {
    Function function{};
    function.argumentCount = arguments;
    function.localCount = locals;
    function.codeOffset = static_cast<std::uint32_t>(bytes.size());
    function.isExtern = !externName.empty();
    function.externName = std::move(externName);
    function.maxStackDepth = 1;
    unit.functions.push_back(std::move(function));
    return unit.functions.back();
  }

  // Appends one instruction to the last function: its bytes and its decoded
  // form (operands as encoded; target an instruction index for a jump).
  void add(std::initializer_list<std::uint8_t> code, Operation operation,
           std::initializer_list<std::uint32_t> operands = {}, std::uint32_t target = 0) {
    Function &function = unit.functions.back();
    Instruction instruction{.operation = operation, .size = static_cast<std::uint8_t>(code.size()),
                            .offset = function.codeSize, .operands = {0, 0, 0}, .target = target};
    std::size_t i = 0;
    for (std::uint32_t operand : operands)
      instruction.operands[i++] = operand;
    function.instructions.push_back(instruction);
    function.codeSize += static_cast<std::uint32_t>(code.size());
    bytes.insert(bytes.end(), code);
    unit.fileSize = static_cast<std::uint32_t>(bytes.size());
  }

  std::string list(const DebugInfo *debug = nullptr, bool raw = false) const {
    return listUnit(ListingInput{unit, bytes, debug, ListingOptions{.raw = raw}});
  }
};

std::vector<std::string> linesOf(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);)
    lines.push_back(line);
  return lines;
}

// The lines from the first that starts with `first`, `count` of them.
std::vector<std::string> linesFrom(const std::string &text, const std::string &first,
                                   std::size_t count) {
  std::vector<std::string> lines = linesOf(text);
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i].rfind(first, 0) == 0)
      return {lines.begin() + i, lines.begin() + std::min(lines.size(), i + count)};
  return {};
}

// Constants c0..c6 and two functions, f0 extern "main" and f1 without a name.
HandUnit unitWithEveryOperandTarget() {
  HandUnit hand;
  hand.addInteger(ConstantType::Int8, 12);
  hand.addInteger(ConstantType::Int32, -70000);
  hand.addFloat(1.5f);
  hand.addString(ConstantType::Utf8String, "a\"b\n");
  hand.addString(ConstantType::EmptyString, "");
  hand.addString(ConstantType::ExternalString, "http://x/u.wmlsc");
  hand.addString(ConstantType::ExternalString, "limit");
  hand.addFunction(0, 0, "main");
  hand.add({0x3B}, Operation::ReturnEs);
  hand.addFunction(1, 0);
  hand.add({0x3B}, Operation::ReturnEs);
  return hand;
}

struct OperandCase {
  const char *name;
  std::initializer_list<std::uint8_t> code;
  Operation operation;
  std::initializer_list<std::uint32_t> operands;
  const char *line;  // the instruction's whole line
};

} // namespace

TEST(ListingOperands, EachKindDecodedInItsColumns) {
  const OperandCase cases[] = {
      {"no operand", {0x14}, Operation::Const0, {}, "  0000  14                 const_0"},
      {"variable in the opcode", {0xE3}, Operation::LoadVarS, {3},
       "  0000  E3                 load_var_s    v3"},
      {"variable byte", {0x0E, 0xC8}, Operation::LoadVar, {200},
       "  0000  0E C8              load_var      v200"},
      {"compound assignment", {0x1D, 0x01}, Operation::AddAsg, {1},
       "  0000  1D 01              add_asg       v1"},
      {"int8 constant", {0x50}, Operation::LoadConstS, {0},
       "  0000  50                 load_const_s  c0 12"},
      {"int32 constant", {0x12, 0x01}, Operation::LoadConst, {1},
       "  0000  12 01              load_const    c1 -70000"},
      {"float constant, wide index", {0x13, 0x00, 0x02}, Operation::LoadConstW, {2},
       "  0000  13 00 02           load_const_w  c2 1.5"},
      {"string with escapes", {0x53}, Operation::LoadConstS, {3},
       "  0000  53                 load_const_s  c3 \"a\\\"b\\n\""},
      {"empty string", {0x54}, Operation::LoadConstS, {4},
       "  0000  54                 load_const_s  c4 \"\""},
      {"extern function", {0x60}, Operation::CallS, {0},
       "  0000  60                 call_s        f0 \"main\""},
      {"function without a name", {0x09, 0x01}, Operation::Call, {1},
       "  0000  09 01              call          f1"},
      {"library, short form", {0x68, 0x02}, Operation::CallLibS, {0, 2},
       "  0000  68 02              call_lib_s    String.length"},
      {"library", {0x0A, 0x02, 0x05}, Operation::CallLib, {2, 5},
       "  0000  0A 02 05           call_lib      Dialogs.alert"},
      {"library, wide index", {0x0B, 0x00, 0xFF, 0xFF}, Operation::CallLibW, {0, 65535},
       "  0000  0B 00 FF FF        call_lib_w    WMLSDebug.logVal"},
      {"unknown function of a library", {0x0A, 0x63, 0x02}, Operation::CallLib, {99, 2},
       "  0000  0A 63 02           call_lib      String.function99"},
      {"unknown library", {0x0B, 0x00, 0x00, 0x07}, Operation::CallLibW, {0, 7},
       "  0000  0B 00 00 07        call_lib_w    library7.function0"},
      {"external call", {0x0C, 0x05, 0x06, 0x02}, Operation::CallUrl, {5, 6, 2},
       "  0000  0C 05 06 02        call_url      c5 \"http://x/u.wmlsc\" c6 \"limit\" (2 arguments)"},
      {"external call, wide", {0x0D, 0x00, 0x05, 0x00, 0x06, 0x01}, Operation::CallUrlW, {5, 6, 1},
       "  0000  0D 00 05 00 06 01  call_url_w    c5 \"http://x/u.wmlsc\" c6 \"limit\" (1 argument)"},
  };
  for (const OperandCase &row : cases) {
    SCOPED_TRACE(row.name);
    HandUnit hand = unitWithEveryOperandTarget();
    hand.addFunction(2, 255);
    hand.add(row.code, row.operation, row.operands);
    EXPECT_EQ(linesFrom(hand.list(), "function f2", 2),
              (std::vector<std::string>{
                  "function f2: 2 arguments, 255 locals, max stack 1, " +
                      std::to_string(row.code.size()) + (row.code.size() == 1 ? " byte" : " bytes") +
                      " of code",
                  row.line}));
  }
}

// Every form of jump, forward and backward, with their targets as labels on
// lines of their own before the instruction they land on.
TEST(ListingJumps, TargetsBecomeLabelLines) {
  HandUnit hand;
  hand.addFunction(0, 1, "loop");
  hand.add({0x19}, Operation::ConstTrue);                    // 0000
  hand.add({0xC7}, Operation::TjumpFwS, {7}, 6);             // 0001: 0002 + 7
  hand.add({0x05, 0x00}, Operation::TjumpFw, {0}, 3);        // 0002: 0004 + 0
  hand.add({0x37}, Operation::Pop);                          // 0004
  hand.add({0x02, 0x00, 0x01}, Operation::JumpFwW, {1}, 6);  // 0005: 0008 + 1
  hand.add({0x14}, Operation::Const0);                       // 0008
  hand.add({0x08, 0x00, 0x09}, Operation::TjumpBwW, {9}, 0); // 0009: 0009 - 9
  hand.add({0xA3}, Operation::JumpBwS, {3}, 6);              // 000C: 000C - 3
  hand.add({0x3B}, Operation::ReturnEs);                     // 000D
  EXPECT_EQ(linesFrom(hand.list(), "function f0", 16),
            (std::vector<std::string>{
                "function f0 \"loop\" extern: 0 arguments, 1 local, max stack 1, 14 bytes of code",
                "L0000:",
                "  0000  19                 const_true",
                "  0001  C7                 tjump_fw_s    L0009",
                "  0002  05 00              tjump_fw      L0004",
                "L0004:",
                "  0004  37                 pop",
                "  0005  02 00 01           jump_fw_w     L0009",
                "  0008  14                 const_0",
                "L0009:",
                "  0009  08 00 09           tjump_bw_w    L0000",
                "  000C  A3                 jump_bw_s     L0009",
                "  000D  3B                 return_es",
            }));
}

TEST(ListingLabels, AtLeastFourHexDigits) {
  EXPECT_EQ(labelName(0), "L0000");
  EXPECT_EQ(labelName(0x1A3), "L01A3");
  EXPECT_EQ(labelName(0xFFFF), "LFFFF");
  EXPECT_EQ(labelName(0x12345), "L12345");
}

TEST(ListingRaw, OffsetsBytesAndMnemonicsOnly) {
  HandUnit hand = unitWithEveryOperandTarget();
  hand.unit.pragmas.push_back(Pragma{.type = PragmaType::AccessPath, .constants = {5, 0, 0}, .offset = 0});
  hand.addFunction(1, 1);
  hand.add({0xE0}, Operation::LoadVarS, {0});
  hand.add({0x0C, 0x05, 0x06, 0x01}, Operation::CallUrl, {5, 6, 1});
  hand.add({0xC1}, Operation::TjumpFwS, {1}, 4);
  hand.add({0x14}, Operation::Const0);
  hand.add({0x3A}, Operation::Return);
  DebugInfo debug{.names = {}, .functions = {{"a", {}, {}, {{0, 1}}}, {"b", {}, {}, {{0, 2}}},
                                             {"c", {"x"}, {"y"}, {{0, 3}, {1, 4}}}}};
  EXPECT_EQ(hand.list(&debug, true),
            "unit version 0x01, 10 bytes, character set 106 (UTF-8)\n"
            "\n"
            "functions: 3\n"
            "\n"
            "function f0 \"main\" extern: 0 arguments, 0 locals, max stack 1, 1 byte of code\n"
            "  0000  3B                 return_es\n"
            "\n"
            "function f1: 1 argument, 0 locals, max stack 1, 1 byte of code\n"
            "  0000  3B                 return_es\n"
            "\n"
            "function f2: 1 argument, 1 local, max stack 1, 8 bytes of code\n"
            "  0000  E0                 load_var_s\n"
            "  0001  0C 05 06 01        call_url\n"
            "  0005  C1                 tjump_fw_s\n"
            "  0006  14                 const_0\n"
            "  0007  3A                 return\n");
}

// With a debug file: the names of variables and local functions, a line of
// names under each function header, and a source line where it changes.
TEST(ListingDebug, NamesAndSourceLines) {
  HandUnit hand;
  hand.addFunction(2, 1, "total");
  hand.add({0xE0}, Operation::LoadVarS, {0});
  hand.add({0xE1}, Operation::LoadVarS, {1});
  hand.add({0x61}, Operation::CallS, {1});
  hand.add({0x42}, Operation::StoreVarS, {2});
  hand.add({0xE2}, Operation::LoadVarS, {2});
  hand.add({0x3A}, Operation::Return);
  hand.addFunction(0, 0);
  hand.add({0x3B}, Operation::ReturnEs);
  DebugInfo debug{.names = {"total", "a", "b", "sum", "helper"},
                  .functions = {
                      // offset 2 repeats line 3: it starts no new run of lines
                      {"total", {"a", "b"}, {"sum"}, {{0, 3}, {2, 3}, {3, 4}, {4, 3}}},
                      {"helper", {}, {}, {{0, 9}}},
                  }};
  EXPECT_EQ(linesFrom(hand.list(&debug), "function f0", 20),
            (std::vector<std::string>{
                "function f0 \"total\" extern: 2 arguments, 1 local, max stack 1, 6 bytes of code",
                "  ; arguments v0 a, v1 b; locals v2 sum",
                "  ; line 3",
                "  0000  E0                 load_var_s    v0 a",
                "  0001  E1                 load_var_s    v1 b",
                "  0002  61                 call_s        f1 \"helper\"",
                "  ; line 4",
                "  0003  42                 store_var_s   v2 sum",
                "  ; line 3",
                "  0004  E2                 load_var_s    v2 sum",
                "  0005  3A                 return",
                "",
                "function f1 \"helper\": 0 arguments, 0 locals, max stack 1, 1 byte of code",
                "  ; line 9",
                "  0000  3B                 return_es",
            }));
}

TEST(ListingDebug, LocalsWithoutArgumentsAndUnnamedVariables) {
  HandUnit hand;
  hand.addFunction(0, 2);
  hand.add({0xE1}, Operation::LoadVarS, {1});
  hand.add({0x3A}, Operation::Return);
  DebugInfo debug{.names = {}, .functions = {{"f", {}, {"x"}, {}}}};
  EXPECT_EQ(linesFrom(hand.list(&debug), "function f0", 4),
            (std::vector<std::string>{
                "function f0 \"f\": 0 arguments, 2 locals, max stack 1, 2 bytes of code",
                "  ; locals v0 x, v1",
                "  0000  E1                 load_var_s    v1",
                "  0001  3A                 return",
            }));
}

TEST(ListingPools, ConstantsByTypeAndCharacterSet) {
  struct Case {
    const char *name;
    std::uint32_t characterSet;
    ConstantType type;
    std::int32_t integer;
    float floating;
    std::string bytes;
    const char *line;
  };
  const Case cases[] = {
      {"int8", CharsetUtf8, ConstantType::Int8, -128, 0, "", "  c0    int8          -128"},
      {"int16", CharsetUtf8, ConstantType::Int16, 32767, 0, "", "  c0    int16         32767"},
      {"int32", CharsetUtf8, ConstantType::Int32, -2147483647 - 1, 0, "",
       "  c0    int32         -2147483648"},
      {"float without fraction", CharsetUtf8, ConstantType::Float32, 0, 100.0f, "",
       "  c0    float32       100.0"},
      {"float, exponent", CharsetUtf8, ConstantType::Float32, 0, 1e10f, "",
       "  c0    float32       1e+10"},
      {"utf-8 text", CharsetUtf8, ConstantType::Utf8String, 0, 0, "caf\xC3\xA9\t",
       "  c0    utf8-string   \"caf\xC3\xA9\\t\""},
      {"utf-8 in a Latin-1 unit", CharsetLatin1, ConstantType::Utf8String, 0, 0, "\xC3\xA9",
       "  c0    utf8-string   \"\xC3\xA9\""},
      {"Latin-1 text", CharsetLatin1, ConstantType::ExternalString, 0, 0, "caf\xE9",
       "  c0    string        \"caf\xC3\xA9\""},
      {"control character", CharsetUtf8, ConstantType::ExternalString, 0, 0, std::string("a\x01", 2),
       "  c0    string        \"a\\u0001\""},
      {"empty", CharsetUtf8, ConstantType::EmptyString, 0, 0, "", "  c0    empty-string  \"\""},
  };
  for (const Case &row : cases) {
    SCOPED_TRACE(row.name);
    HandUnit hand;
    hand.unit.characterSet = row.characterSet;
    hand.addConstant(row.type, row.integer, row.floating, row.bytes);
    EXPECT_EQ(linesFrom(hand.list(), "constants:", 2),
              (std::vector<std::string>{"constants: 1", row.line}));
  }
}

TEST(ListingPools, PragmasInWords) {
  HandUnit hand;
  hand.addString(ConstantType::ExternalString, "example.com");
  hand.addString(ConstantType::ExternalString, "/cards");
  hand.addString(ConstantType::ExternalString, "x-lang");
  hand.addString(ConstantType::ExternalString, "en");
  auto pragma = [](PragmaType type, std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    return Pragma{.type = type, .constants = {a, b, c}, .offset = 0};
  };
  hand.unit.pragmas = {pragma(PragmaType::AccessDomain, 0, 0, 0),
                       pragma(PragmaType::AccessPath, 1, 0, 0),
                       pragma(PragmaType::UserAgentProperty, 2, 3, 0),
                       pragma(PragmaType::UserAgentPropertyScheme, 2, 3, 1)};
  EXPECT_EQ(linesFrom(hand.list(), "pragmas:", 5),
            (std::vector<std::string>{
                "pragmas: 4",
                "  p0    access domain \"example.com\"",
                "  p1    access path \"/cards\"",
                "  p2    meta user agent \"x-lang\" \"en\"",
                "  p3    meta user agent \"x-lang\" \"en\" \"/cards\"",
            }));
}

TEST(ListingHeader, VersionSizeAndCharacterSet) {
  HandUnit hand;
  hand.unit.fileSize = 58;
  EXPECT_EQ(linesOf(hand.list()).front(), "unit version 0x01, 58 bytes, character set 106 (UTF-8)");
  hand.unit.characterSet = CharsetLatin1;
  hand.unit.fileSize = 1;
  EXPECT_EQ(linesOf(hand.list()).front(), "unit version 0x01, 1 byte, character set 4 (ISO-8859-1)");
}

// The stream form writes the same text as the string form, in pieces.
TEST(ListingStream, SameTextAsTheStringForm) {
  HandUnit hand = unitWithEveryOperandTarget();
  hand.addFunction(0, 0);
  for (int i = 0; i < 50000; ++i)
    hand.add({0x50}, Operation::LoadConstS, {0});
  std::string expected = hand.list();
  ASSERT_GT(expected.size(), std::size_t{1} << 21);  // crosses the flush size
  std::FILE *stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(writeListing(ListingInput{hand.unit, hand.bytes}, stream));
  std::rewind(stream);
  std::string written(expected.size() + 1, '\0');
  written.resize(std::fread(written.data(), 1, written.size(), stream));
  std::fclose(stream);
  EXPECT_EQ(written, expected);
}
