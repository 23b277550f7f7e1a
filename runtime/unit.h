// A compiled unit as the loader hands it over: read-only, every field already
// checked by the verifier (indices in range, jumps on instruction boundaries,
// stack depths consistent). Nothing that uses a Unit checks these again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "instructions.h"

namespace tavokrt {

// Character sets a unit may declare (IANA MIBenum numbers).
inline constexpr std::uint32_t CharsetUtf8 = 106;
inline constexpr std::uint32_t CharsetLatin1 = 4;

enum class ConstantType : std::uint8_t {
  Int8 = 0,
  Int16 = 1,
  Int32 = 2,
  Float32 = 3,
  Utf8String = 4,      // UTF-8 whatever the unit's character set
  EmptyString = 5,     // no bytes follow the type
  ExternalString = 6,  // in the unit's own character set
};

struct Constant {
  ConstantType type;
  std::int32_t integer;  // Int8, Int16, Int32
  float floating;        // Float32
  std::string bytes;     // the string types: the raw bytes, as in the file
  std::uint32_t offset;  // of the type byte in the file
  bool isInteger() const { return type <= ConstantType::Int32; }
  bool isString() const { return type >= ConstantType::Utf8String; }
};

enum class PragmaType : std::uint8_t {
  AccessDomain = 0,             // domain string
  AccessPath = 1,               // path string
  UserAgentProperty = 2,        // property name, content
  UserAgentPropertyScheme = 3,  // property name, content, scheme
};

struct Pragma {
  PragmaType type;
  std::uint32_t constants[3];  // string-constant indices; unused ones 0
  std::uint32_t offset;        // of the type byte in the file
};

// One decoded instruction. operands[] hold the values as encoded, in the
// order of the opcode table (a short form's field first). For a jump,
// target is the index in Function::instructions of the instruction it lands on.
struct Instruction {
  Operation operation;
  std::uint8_t size;
  std::uint32_t offset;  // within the function's code
  std::uint32_t operands[3];
  std::uint32_t target;  // jumps only
};

struct Function {
  std::uint8_t argumentCount;
  std::uint8_t localCount;            // variable slots beyond the arguments
  std::uint32_t headerOffset;         // of the argument count in the file
  std::uint32_t codeOffset;           // of the first code byte in the file
  std::uint32_t codeSize;
  std::vector<Instruction> instructions;
  bool isExtern;
  std::string externName;             // empty unless isExtern
  std::uint32_t maxStackDepth;        // proved by the verifier
};

// Something the verifier accepts but a reader should know: a call of a
// library function this runtime does not know.
struct LoadWarning {
  std::uint32_t offset;
  std::string message;
};

struct Unit {
  std::uint8_t version;
  std::uint32_t characterSet;
  std::vector<Constant> constants;
  std::vector<Pragma> pragmas;
  std::vector<Function> functions;
  std::vector<LoadWarning> warnings;
  std::uint32_t fileSize;

  // The extern function of that name; null when there is none.
  const Function *findExternFunction(std::string_view name) const;
};

// What a debug file (UNIT.dbg, written by `tavok -g`) adds to a unit.
struct LineEntry {
  std::uint32_t codeOffset;
  std::uint32_t line;
};

struct FunctionDebug {
  std::string name;
  std::vector<std::string> argumentNames;  // by variable index
  std::vector<std::string> localNames;     // variable index argumentCount + i
  std::vector<LineEntry> lines;            // rising code offsets
  // The source line of the instruction at codeOffset; 0 when unknown.
  std::uint32_t lineAt(std::uint32_t codeOffset) const;
};

struct DebugInfo {
  std::vector<std::string> names;
  std::vector<FunctionDebug> functions;  // one per function of the unit
};

} // namespace tavokrt
