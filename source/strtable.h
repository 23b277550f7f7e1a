// The symbol table. The name table interns every identifier text and gives
// it a name id; on each name hangs one identifier record per name space in
// which it is declared: a variable of the function being compiled, a
// function of the unit, or an external unit named by a `use url` pragma.
// Variables are dropped at the end of their function, so there is no block
// scope inside a function.
#pragma once

#include "tavokassert.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

using NameId = std::uint32_t;

// Name spaces, as bits of a name's mask.
constexpr unsigned FL_VARIABLE = 1;
constexpr unsigned FL_FUNCTION = 2;
constexpr unsigned FL_PRAGMA = 4;

enum SubSpace : std::uint32_t {
  ObjectSubSpace = 0,    // variables
  FunctionSubSpace = 1,  // functions
  PragmaSubSpace = 2,    // url names
};

enum VariableType : std::uint32_t {
  LocalVariable = 0,
  Parameter = 1,
};

// State word of a variable record.
constexpr std::uint32_t declaredVariable = 1;
constexpr std::uint32_t errorIdentifier = 2;  // used undeclared and reported

struct IdentifierKey {
  NameId name;
  std::uint32_t nameSpace;  // FL_VARIABLE, FL_FUNCTION or FL_PRAGMA
};

struct IdentifierRecord {
  IdentifierKey key;
  std::uint32_t subSpace;  // SubSpace, follows the name space
  // Variable: index in its function (parameters first). Function: function
  // index, in order of first appearance. Url name: constant-pool index of
  // the url string.
  std::uint32_t index;
  // Variable: declaredVariable or errorIdentifier. Function: the extern flag.
  std::uint32_t state;
  union {
    struct {
      std::uint32_t variableType;  // VariableType
    } objectData;
    std::int32_t parameterCount;  // function: -1 while unknown, else 0..255
  } subSpaceData;
  std::uint32_t defined;  // function: a definition was seen
};
static_assert(std::is_trivially_copyable_v<IdentifierRecord>);

// One entry of a debug list: a variable's name and index, in declaration order.
struct VariableDebugEntry {
  NameId name;
  std::uint8_t variableIndex;
  VariableDebugEntry *next;
};

// The hash interning finds a text by, defined one byte at a time; a text of
// up to eight bytes hashes to those bytes read as a big-endian number, so
// the lexical analyser computes it from whole words where an identifier
// lies. Cheaper than hashBytes, which orders the SYMBOL TABLE dump and is
// computed for new names only. Every byte is shifted in whole, so two texts
// of at most nameHashExactLength bytes with the same hash and length are the
// same text.
using NameHash = std::uint64_t;
inline constexpr std::size_t nameHashExactLength = 8;
constexpr NameHash nameHashStep(NameHash hash, unsigned char byte) { return std::rotl(hash, 8) ^ byte; }
constexpr NameHash nameHashOf(std::string_view text) {
  NameHash hash = 0;
  for (char c : text)
    hash = nameHashStep(hash, static_cast<unsigned char>(c));
  return hash;
}

// The interning index: open-addressed slots, placed by the name hash, that
// lead from a text to its name id. A short text is found inline by its hash
// and length alone, since the lexical analyser interns every identifier it
// reads and nearly every one is known and short.
struct NameSlot {
  NameHash nameHash;
  std::uint32_t length;  // 0 for a free slot: the empty text is interned apart
  NameId nameId;
};
struct NameIndex {
  NameSlot *slots;         // one free slot until the first name
  std::uint32_t slotMask;  // slot count minus one; the count is a power of two
};
extern NameIndex nameIndex;

// Name ids stay below 2^31 (interning fails beyond), so this is no name.
inline constexpr NameId noNameId = 0xFFFFFFFFu;

// A multiplicative scramble of the name hash, whose high bits depend on
// every byte (the low bits of the hash are the last characters). The lexical
// analyser places its keywords by the top eight bits of the same scramble,
// so that one multiplication serves both look-ups of a word.
constexpr std::uint64_t scrambledNameHash(NameHash nameHash) { return nameHash * 0x939EF122ADD31ECDu; }

inline std::uint32_t homeNameSlot(NameHash nameHash) {
  return static_cast<std::uint32_t>(scrambledNameHash(nameHash) >> 32) & nameIndex.slotMask;
}

// Finds the name id of a text of 1 to nameHashExactLength bytes by its
// nameHash and length; false when the text is not interned.
inline bool findShortName(NameHash nameHash, std::size_t length, NameId &name) {
  for (std::uint32_t index = homeNameSlot(nameHash);; index = (index + 1) & nameIndex.slotMask) {
    const NameSlot &slot = nameIndex.slots[index];
    if (slot.nameHash == nameHash && slot.length == length) {
      name = slot.nameId;
      return true;
    }
    if (slot.length == 0)
      return false;
  }
}

// The same for a longer text; the texts are compared only where the hash and
// the length agree.
bool findLongName(std::string_view text, NameHash nameHash, NameId &name);

// The name table.
NameId internName(const char *text);
// The same for a text that need not end with a NUL, whose nameHash the caller
// has computed while reading it.
NameId internNameText(std::string_view text, NameHash nameHash);
// The text of a name, or null for a temporary id.
const char *getNameText(NameId name);
// Prints the text, or "tmp_mn_<id>__ " for a temporary id, on the standard output.
void printName(NameId name);
// A fresh id with no text; it takes the next id from the same counter.
NameId newTemporaryNameId();
int numberOfInternedNames();
// Which name table the ids belong to: it changes whenever the table is
// destroyed, since ids are then handed out afresh, so an id kept together
// with the generation it was read in still names the same text while the
// generation is unchanged.
std::uint32_t nameTableGeneration();

// The variable records of the current function by name id, read inline:
// every use of a variable in an expression looks its record up.
struct VariableIndex {
  IdentifierRecord **records;  // null where the name has no variable, and for temporary ids
  std::uint32_t capacity;
};
extern VariableIndex variableIndex;

// findIdentifier for the name spaces of functions and url names.
IdentifierRecord *findNonVariableIdentifier(IdentifierKey key);

// Null when the name is not declared in that name space.
inline IdentifierRecord *findIdentifier(IdentifierKey key) {
  if (key.nameSpace != FL_VARIABLE)
    return findNonVariableIdentifier(key);
  return key.name < variableIndex.capacity ? variableIndex.records[key.name] : nullptr;
}
// Null on failure, which is reported ("Identifier Redeclared", a variable
// limit) or, for an error identifier now being declared, made silent.
IdentifierRecord *declareIdentifier(IdentifierKey key);

// The variable limits of the current function: at most 255 parameters, 255
// locals and 256 variables in all. Reports the first excess once per function.
int checkVariableLimits();
// At the end of each function: the variable counter, the limit flag and the
// open function.
void resetVariableCounter();
int numberOfFunctionVariables();
// At the end of each function: every variable record leaves the table.
void dropFunctionVariables();

// Functions of the unit.
int numberOfDeclaredFunctions();
// Definitions counted by the parse actions, checked there against 255.
int countFunctionDefinition();

// The function whose definition is open, null while its parameters are
// still being declared. Set by the statement emitter; the variable limits
// read its parameter count. resetVariableCounter closes it too.
void setOpenFunction(const IdentifierRecord *function);
const IdentifierRecord *openFunction();

// Debug bookkeeping, kept only with -g and while no error has been counted.
// The list nodes stay the symbol table's: resetDebugLists returns them to its
// pool, so a caller that keeps a list must not walk it after the reset.
void recordVariableDebugInfo(const IdentifierRecord *variable);
VariableDebugEntry *getLocalDebugList();
VariableDebugEntry *getParameterDebugList();
void resetDebugLists();

// Index accessors; each asserts the record's name space. Every identifier
// expression reads its record's index, hence the first one inline.
inline std::uint32_t getIdentifierIndex(const IdentifierRecord *record) {
  ASSERT(record->key.nameSpace == FL_VARIABLE || record->key.nameSpace == FL_FUNCTION ||
         record->key.nameSpace == FL_PRAGMA);
  return record->index;
}
void setVariableIndex(IdentifierRecord *record, std::uint32_t index);
void setFunctionIndex(IdentifierRecord *record, std::uint32_t index);
void setPragmaIndex(IdentifierRecord *record, std::uint32_t index);

// The names for the debug file: their count as mb_u_int32, then every text
// with its NUL, in id order, through the output byte buffer.
void writeNameTable();

// The SYMBOL TABLE dump on the standard output.
void printSymbolTable();
// Releases the name table and every identifier record at the end of the run.
void destroySymbolTable();
