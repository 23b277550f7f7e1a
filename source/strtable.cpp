#include "strtable.h"

#include "codegen.h"
#include "constpool.h"
#include "errorhlr.h"
#include "hashtabl.h"
#include "mempool.h"
#include "tavokassert.h"
#include "wrapper.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One identifier record of a name, newest first; also the temporary list.
struct IdentifierListNode {
  IdentifierRecord *record;
  IdentifierListNode *next;
};

// One per distinct identifier text, which sits in the character area at
// textOffset (the area moves when it grows).
struct NameEntry {
  NameId nameId;
  std::uint32_t textOffset;
  std::uint32_t nameSpaceMask;  // FL_* bits of the spaces the name is declared in
  std::uint32_t textHash;       // hashBytes of the text
  IdentifierListNode *identifiers;  // the variable record is in variableIndex too
};

struct SymbolTableState {
  // The name table. Interning looks texts up in the index (nameIndex) and
  // ids index entriesById directly (temporary ids hold null there); the
  // by-text hash table only keeps the order of the SYMBOL TABLE dump.
  HashTable *namesByText;
  NameEntry *emptyTextEntry;  // the empty text has no slot; null until interned
  NameEntry **entriesById;
  std::uint32_t entriesByIdCapacity;
  MemPool *entryPool;
  char *characterArea;  // every text with its NUL, in id order
  std::uint32_t areaSize;
  std::uint32_t areaCapacity;
  NameId nextNameId;  // shared by interned names and temporaries
  std::uint32_t internedNameCount;

  // The identifier layer.
  MemPool *recordPool;
  MemPool *listNodePool;
  IdentifierListNode *temporaryListHead;  // function records of temporary ids, newest last
  IdentifierListNode *temporaryListTail;

  // The names that carry a variable of the current function, so that the end
  // of a function touches those alone and not every name of the unit.
  NameEntry **variableNames;
  std::uint32_t variableNameCount;
  std::uint32_t variableNameCapacity;

  std::uint32_t variableCount;  // variables of the current function, parameters included
  bool variableLimitReached;    // reported once; later declarations go unchecked
  const IdentifierRecord *openFunction;
  std::uint32_t functionCount;  // next function index
  int functionDefinitionCount;

  MemPool *debugEntryPool;
  VariableDebugEntry *localDebugHead;
  VariableDebugEntry *localDebugTail;
  VariableDebugEntry *parameterDebugHead;
  VariableDebugEntry *parameterDebugTail;
};

} // namespace

static constinit SymbolTableState table{};
// Outside the table: destroying the table must not reset it.
static constinit std::uint32_t nameGeneration = 0;

// Before the first name and after the table is destroyed, the index is one
// free slot, so that a lookup needs no test for a missing index.
static constinit NameSlot noNameSlots[1]{};
constinit NameIndex nameIndex{.slots = noNameSlots, .slotMask = 0};
constinit VariableIndex variableIndex{};

// A character area grows in steps of this many bytes.
constexpr std::uint32_t areaGrowthStep = 512;

// A function has at most 255 parameters and 255 locals (each count is one
// byte of the function header) and at most 256 variables in all (the
// variable index of an instruction is one byte).
constexpr std::uint32_t maximumParameters = 255;
constexpr std::uint32_t maximumLocals = 255;
constexpr std::uint32_t maximumVariables = 256;

// ---- The name table ----

// The interning slots start at this many and double when half full.
constexpr std::uint32_t firstNameSlotCount = 1024;

static const char *entryText(const NameEntry *entry) {
  return table.characterArea + entry->textOffset;
}

static int compareEntryTexts(Word storedKey, Word soughtKey) {
  return std::strcmp(entryText(fromWord<const NameEntry *>(storedKey)),
                     entryText(fromWord<const NameEntry *>(soughtKey)));
}

static unsigned hashEntryText(Word key) { return fromWord<const NameEntry *>(key)->textHash; }

static NameSlot *allocateNameSlots(std::uint32_t count) {
  static_assert(sizeof(NameSlot) == 16);
  auto *slots = static_cast<NameSlot *>(std::calloc(count, sizeof(NameSlot)));
  if (!slots)
    fatalError(noMemorySpace);
  return slots;
}

static void createNameTable() {
  table.namesByText = createHashTable(compareEntryTexts, nullptr, hashEntryText);
  table.entryPool = createMemPool(1024, sizeof(NameEntry));
  nameIndex = NameIndex{.slots = allocateNameSlots(firstNameSlotCount),
                        .slotMask = firstNameSlotCount - 1};
}

// The free slot where a text that is not interned belongs.
static NameSlot *freeNameSlot(NameHash nameHash) {
  std::uint32_t index = homeNameSlot(nameHash);
  while (nameIndex.slots[index].length != 0)
    index = (index + 1) & nameIndex.slotMask;
  return &nameIndex.slots[index];
}

static void doubleNameSlots() {
  const NameSlot *old = nameIndex.slots;
  const std::uint32_t oldCount = nameIndex.slotMask + 1;
  if (oldCount > UINT32_MAX / 2)
    fatalError(noMemorySpace);
  nameIndex = NameIndex{.slots = allocateNameSlots(oldCount * 2), .slotMask = oldCount * 2 - 1};
  for (std::uint32_t index = 0; index < oldCount; ++index)
    if (old[index].length != 0)
      *freeNameSlot(old[index].nameHash) = old[index];
  std::free(const_cast<NameSlot *>(old));
}

static NameEntry *findEntryById(NameId name) {
  return name < table.entriesByIdCapacity ? table.entriesById[name] : nullptr;
}

// The variable index grows with the entries by id, so that every interned
// name has a place in both.
static void recordEntryById(NameEntry *entry) {
  const NameId name = entry->nameId;
  if (name >= table.entriesByIdCapacity) {
    if (name >= UINT32_MAX / 2)
      fatalError(noMemorySpace);
    std::uint32_t capacity = table.entriesByIdCapacity ? table.entriesByIdCapacity : 1024;
    while (capacity <= name)
      capacity *= 2;
    auto *entries = static_cast<NameEntry **>(
        std::realloc(table.entriesById, std::size_t{capacity} * sizeof(NameEntry *)));
    if (!entries)
      fatalError(noMemorySpace);
    auto *variables = static_cast<IdentifierRecord **>(
        std::realloc(variableIndex.records, std::size_t{capacity} * sizeof(IdentifierRecord *)));
    if (!variables)
      fatalError(noMemorySpace);
    // Temporary ids in between have no entry.
    std::fill(entries + table.entriesByIdCapacity, entries + capacity, nullptr);
    std::fill(variables + table.entriesByIdCapacity, variables + capacity, nullptr);
    table.entriesById = entries;
    table.entriesByIdCapacity = capacity;
    variableIndex = VariableIndex{.records = variables, .capacity = capacity};
  }
  table.entriesById[name] = entry;
}

static void reserveCharacterArea(std::size_t needed) {
  if (needed <= table.areaCapacity)
    return;
  if (needed > UINT32_MAX - areaGrowthStep)
    fatalError(noMemorySpace);
  auto capacity = static_cast<std::uint32_t>((needed + areaGrowthStep - 1) / areaGrowthStep *
                                             areaGrowthStep);
  auto *area = static_cast<char *>(std::realloc(table.characterArea, capacity));
  if (!area)
    fatalError(noMemorySpace);
  table.characterArea = area;
  table.areaCapacity = capacity;
}

// Copies the text with its NUL to the end of the character area and gives it
// the next id.
static NameEntry *addNameEntry(std::string_view text) {
  reserveCharacterArea(std::size_t{table.areaSize} + text.size() + 1);
  std::memcpy(table.characterArea + table.areaSize, text.data(), text.size());
  table.characterArea[table.areaSize + text.size()] = '\0';

  auto *entry = static_cast<NameEntry *>(allocateFromMemPool(table.entryPool));
  *entry = NameEntry{.nameId = table.nextNameId++, .textOffset = table.areaSize,
                     .nameSpaceMask = 0, .textHash = hashBytes(text.data(), text.size()),
                     .identifiers = nullptr};
  insertInHashTable(table.namesByText, toWord(entry), toWord(entry));
  recordEntryById(entry);
  table.areaSize += static_cast<std::uint32_t>(text.size() + 1);
  ++table.internedNameCount;
  return entry;
}

static std::uint64_t eightBytesAt(const char *bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// Only names longer than the hash tells apart are compared, eight bytes at
// a time; the last eight bytes are compared whole, overlapping the ones
// before them, so that no byte past either text is read.
static bool hasNameText(NameId name, std::string_view text) {
  ASSERT(text.size() >= sizeof(std::uint64_t));
  const char *stored = entryText(table.entriesById[name]);
  const std::size_t last = text.size() - sizeof(std::uint64_t);
  for (std::size_t at = 0; at < last; at += sizeof(std::uint64_t))
    if (eightBytesAt(stored + at) != eightBytesAt(text.data() + at))
      return false;
  return eightBytesAt(stored + last) == eightBytesAt(text.data() + last);
}

bool findLongName(std::string_view text, NameHash nameHash, NameId &name) {
  ASSERT(text.size() > nameHashExactLength);
  for (std::uint32_t index = homeNameSlot(nameHash);; index = (index + 1) & nameIndex.slotMask) {
    const NameSlot &slot = nameIndex.slots[index];
    if (slot.length == 0)
      return false;
    if (slot.nameHash == nameHash && slot.length == text.size() && hasNameText(slot.nameId, text)) {
      name = slot.nameId;
      return true;
    }
  }
}

// The id of an interned text of any length, or noNameId.
static NameId findName(std::string_view text, NameHash nameHash) {
  NameId name = noNameId;
  if (text.size() > nameHashExactLength)
    findLongName(text, nameHash, name);
  else if (!text.empty())
    findShortName(nameHash, text.size(), name);
  return name;
}

// The empty text, which no identifier has, is interned apart so that a slot
// of length 0 can mark a free one.
static NameId internEmptyText() {
  if (!table.emptyTextEntry)
    table.emptyTextEntry = addNameEntry("");
  return table.emptyTextEntry->nameId;
}

// The text is not interned yet; the tables may not exist yet either.
static NameId internNewName(std::string_view text, NameHash nameHash) {
  if (!table.namesByText)
    createNameTable();
  if (text.empty())
    return internEmptyText();
  NameSlot *slot = freeNameSlot(nameHash);
  const NameEntry *entry = addNameEntry(text);
  *slot = NameSlot{.nameHash = nameHash, .length = static_cast<std::uint32_t>(text.size()),
                   .nameId = entry->nameId};
  if (table.internedNameCount > (nameIndex.slotMask + 1) / 2)
    doubleNameSlots();
  return entry->nameId;
}

NameId internNameText(std::string_view text, NameHash nameHash) {
  const NameId known = findName(text, nameHash);
  return known != noNameId ? known : internNewName(text, nameHash);
}

NameId internName(const char *text) {
  const std::string_view whole(text);
  return internNameText(whole, nameHashOf(whole));
}

const char *getNameText(NameId name) {
  NameEntry *entry = findEntryById(name);
  return entry ? entryText(entry) : nullptr;
}

void printName(NameId name) {
  if (const char *text = getNameText(name))
    std::printf("%s", text);
  else
    std::printf("tmp_mn_%lu__ ", static_cast<unsigned long>(name));
}

NameId newTemporaryNameId() { return table.nextNameId++; }

std::uint32_t nameTableGeneration() { return nameGeneration; }

int numberOfInternedNames() { return static_cast<int>(table.internedNameCount); }

// ---- Identifier records ----

static IdentifierListNode *newListNode(IdentifierRecord *record, IdentifierListNode *next) {
  if (!table.listNodePool)
    table.listNodePool = createMemPool(1024, sizeof(IdentifierListNode));
  auto *node = static_cast<IdentifierListNode *>(allocateFromMemPool(table.listNodePool));
  *node = IdentifierListNode{.record = record, .next = next};
  return node;
}

static IdentifierRecord *newRecord(IdentifierKey key) {
  if (!table.recordPool)
    table.recordPool = createMemPool(1024, sizeof(IdentifierRecord));
  auto *record = static_cast<IdentifierRecord *>(allocateFromMemPool(table.recordPool));
  *record = IdentifierRecord{.key = key, .subSpace = ObjectSubSpace, .index = 0, .state = 0,
                             .subSpaceData = {.objectData = {.variableType = LocalVariable}},
                             .defined = 0};
  return record;
}

static IdentifierRecord *findTemporaryIdentifier(IdentifierKey key) {
  for (IdentifierListNode *node = table.temporaryListHead; node; node = node->next)
    if (node->record->key.name == key.name && node->record->key.nameSpace == key.nameSpace)
      return node->record;
  return nullptr;
}

static IdentifierRecord *findInEntry(const NameEntry *entry, std::uint32_t nameSpace) {
  if (!(entry->nameSpaceMask & nameSpace))
    return nullptr;
  for (IdentifierListNode *node = entry->identifiers; node; node = node->next)
    if (node->record->key.nameSpace == nameSpace)
      return node->record;
  return nullptr;
}

IdentifierRecord *findNonVariableIdentifier(IdentifierKey key) {
  ASSERT(key.nameSpace != FL_VARIABLE);
  NameEntry *entry = findEntryById(key.name);
  if (!entry)
    return findTemporaryIdentifier(key);
  return findInEntry(entry, key.nameSpace);
}

// A new function is unknown in every respect until it is called or defined;
// the back end keeps a record for it from now on, so that a function that is
// only called is still reported as undefined.
static void makeFunctionRecord(IdentifierRecord *record) {
  record->subSpace = FunctionSubSpace;
  record->index = table.functionCount++;
  record->state = 0;  // not extern
  record->subSpaceData.parameterCount = -1;
  record->defined = 0;
  addFunctionRecord(record, record->index);
}

static IdentifierRecord *declareTemporaryFunction(IdentifierKey key) {
  ASSERT(key.nameSpace == FL_FUNCTION);
  IdentifierRecord *record = newRecord(key);
  makeFunctionRecord(record);
  IdentifierListNode *node = newListNode(record, nullptr);
  if (table.temporaryListTail)
    table.temporaryListTail->next = node;
  else
    table.temporaryListHead = node;
  table.temporaryListTail = node;
  return record;
}

static void rememberVariableName(NameEntry *entry) {
  if (table.variableNameCount == table.variableNameCapacity) {
    std::uint32_t capacity = table.variableNameCapacity ? 2 * table.variableNameCapacity : 64;
    auto *names = static_cast<NameEntry **>(
        std::realloc(table.variableNames, capacity * sizeof(NameEntry *)));
    if (!names)
      fatalError(noMemorySpace);
    table.variableNames = names;
    table.variableNameCapacity = capacity;
  }
  table.variableNames[table.variableNameCount++] = entry;
}

// A variable takes the next index even when it breaks a limit: the record
// stays linked so that the name is not reported again as undeclared.
static bool makeVariableRecord(IdentifierRecord *record) {
  record->subSpace = ObjectSubSpace;
  record->state = declaredVariable;
  record->index = table.variableCount++;
  if (table.variableLimitReached)
    return true;
  return checkVariableLimits() != 0;
}

// A redeclaration fails; a name that was used undeclared (and reported then)
// fails silently, since its one error already has its message.
static IdentifierRecord *refuseRedeclaration(NameEntry *entry, IdentifierKey key) {
  IdentifierRecord *existing = findInEntry(entry, key.nameSpace);
  ASSERT(existing);
  if (key.nameSpace == FL_VARIABLE && existing->state == errorIdentifier) {
    existing->state = declaredVariable;
    suppressErrorMessage();
    return nullptr;
  }
  reportError(IdentifierRedeclared);
  return nullptr;
}

IdentifierRecord *declareIdentifier(IdentifierKey key) {
  ASSERT(key.nameSpace == FL_VARIABLE || key.nameSpace == FL_FUNCTION ||
         key.nameSpace == FL_PRAGMA);
  NameEntry *entry = findEntryById(key.name);
  if (!entry)
    return declareTemporaryFunction(key);
  if (entry->nameSpaceMask & key.nameSpace)
    return refuseRedeclaration(entry, key);

  // 256 names take function indices 0 to 255; the next one could not be
  // called, since a call instruction holds the index in one byte.
  if (key.nameSpace == FL_FUNCTION && table.functionCount >= 256) {
    reportError(TooManyFunctions);
    return nullptr;
  }
  entry->nameSpaceMask |= key.nameSpace;
  IdentifierRecord *record = newRecord(key);
  entry->identifiers = newListNode(record, entry->identifiers);
  switch (key.nameSpace) {
  case FL_VARIABLE:
    variableIndex.records[key.name] = record;
    rememberVariableName(entry);
    return makeVariableRecord(record) ? record : nullptr;
  case FL_FUNCTION:
    makeFunctionRecord(record);
    return record;
  case FL_PRAGMA:
    record->subSpace = PragmaSubSpace;  // the url's pool index comes from the pragma action
    return record;
  }
  ASSERT(!"name space");
  return nullptr;
}

// ---- Variable limits ----

void setOpenFunction(const IdentifierRecord *function) {
  ASSERT(!function || function->key.nameSpace == FL_FUNCTION);
  table.openFunction = function;
}

const IdentifierRecord *openFunction() { return table.openFunction; }

static bool failLimit(ErrorCode code) {
  reportError(code);
  table.variableLimitReached = true;
  return false;
}

// Parameters are declared before their function's definition opens, so with
// no open function every variable so far is a parameter.
static bool variablesWithinLimits() {
  std::uint32_t parameterCount = table.variableCount;
  if (!table.openFunction) {
    if (table.variableCount > maximumParameters)
      return failLimit(TooManyParameters);
  } else {
    // A function opened by error recovery may have no parameter count yet.
    std::int32_t known = table.openFunction->subSpaceData.parameterCount;
    parameterCount = known > 0 ? static_cast<std::uint32_t>(known) : 0;
  }
  std::uint32_t localCount =
      table.variableCount > parameterCount ? table.variableCount - parameterCount : 0;
  if (localCount > maximumLocals)
    return failLimit(TooManyLocals);
  if (table.variableCount > maximumVariables)
    return failLimit(TooManyVariables);
  return true;
}

int checkVariableLimits() { return variablesWithinLimits() ? 1 : 0; }

void resetVariableCounter() {
  table.variableCount = 0;
  table.variableLimitReached = false;
  table.openFunction = nullptr;
}

int numberOfFunctionVariables() { return static_cast<int>(table.variableCount); }

static void dropVariableOf(NameEntry *entry) {
  ASSERT(entry->nameSpaceMask & FL_VARIABLE);
  for (IdentifierListNode **link = &entry->identifiers; *link; link = &(*link)->next) {
    IdentifierListNode *node = *link;
    if (node->record->key.nameSpace != FL_VARIABLE)
      continue;
    *link = node->next;
    freeToMemPool(table.recordPool, node->record);
    freeToMemPool(table.listNodePool, node);
    break;
  }
  variableIndex.records[entry->nameId] = nullptr;
  entry->nameSpaceMask &= ~FL_VARIABLE;
}

void dropFunctionVariables() {
  for (std::uint32_t i = 0; i < table.variableNameCount; ++i)
    dropVariableOf(table.variableNames[i]);
  table.variableNameCount = 0;
}

// ---- Functions of the unit ----

int numberOfDeclaredFunctions() { return static_cast<int>(table.functionCount); }

int countFunctionDefinition() { return ++table.functionDefinitionCount; }

// ---- Debug lists ----

static void appendDebugEntry(VariableDebugEntry **head, VariableDebugEntry **tail,
                             const IdentifierRecord *variable) {
  if (!table.debugEntryPool)
    table.debugEntryPool = createMemPool(1024, sizeof(VariableDebugEntry));
  auto *entry = static_cast<VariableDebugEntry *>(allocateFromMemPool(table.debugEntryPool));
  *entry = VariableDebugEntry{.name = variable->key.name,
                              .variableIndex = static_cast<std::uint8_t>(variable->index),
                              .next = nullptr};
  if (*tail)
    (*tail)->next = entry;
  else
    *head = entry;
  *tail = entry;
}

void recordVariableDebugInfo(const IdentifierRecord *variable) {
  if (!isDebugInfoEnabled() || hasErrors())
    return;
  ASSERT(variable->key.nameSpace == FL_VARIABLE);
  std::uint32_t type = variable->subSpaceData.objectData.variableType;
  ASSERT(type == LocalVariable || type == Parameter);
  if (type == Parameter)
    appendDebugEntry(&table.parameterDebugHead, &table.parameterDebugTail, variable);
  else
    appendDebugEntry(&table.localDebugHead, &table.localDebugTail, variable);
}

VariableDebugEntry *getLocalDebugList() { return table.localDebugHead; }

VariableDebugEntry *getParameterDebugList() { return table.parameterDebugHead; }

static void releaseDebugList(VariableDebugEntry *entry) {
  while (entry) {
    VariableDebugEntry *next = entry->next;
    freeToMemPool(table.debugEntryPool, entry);
    entry = next;
  }
}

void resetDebugLists() {
  releaseDebugList(table.localDebugHead);
  releaseDebugList(table.parameterDebugHead);
  table.localDebugHead = table.localDebugTail = nullptr;
  table.parameterDebugHead = table.parameterDebugTail = nullptr;
}

// ---- Index accessors ----

void setVariableIndex(IdentifierRecord *record, std::uint32_t index) {
  ASSERT(record->key.nameSpace == FL_VARIABLE);
  record->index = index;
}

void setFunctionIndex(IdentifierRecord *record, std::uint32_t index) {
  ASSERT(record->key.nameSpace == FL_FUNCTION);
  record->index = index;
}

void setPragmaIndex(IdentifierRecord *record, std::uint32_t index) {
  ASSERT(record->key.nameSpace == FL_PRAGMA);
  record->index = index;
}

// ---- Output ----

void writeNameTable() {
  emitMbUInt32(table.internedNameCount);
  for (std::uint32_t i = 0; i < table.areaSize; ++i)
    emitByte(static_cast<std::uint8_t>(table.characterArea[i]));
}

static const char *nameSpaceLabel(std::uint32_t nameSpace) {
  switch (nameSpace) {
  case FL_VARIABLE:
    return "Local Variable \n";
  case FL_FUNCTION:
    return "Function \n";
  case FL_PRAGMA:
    return "Pragma \n";
  }
  ASSERT(!"name space");
  return "";
}

static int printNameEntry(Word, Word, Word data) {
  const auto *entry = fromWord<const NameEntry *>(data);
  for (IdentifierListNode *node = entry->identifiers; node; node = node->next)
    std::printf("%s %s", entryText(entry), nameSpaceLabel(node->record->key.nameSpace));
  return 1;
}

void printSymbolTable() {
  std::printf("%s", "\n SYMBOL TABLE \n");
  if (table.namesByText)
    traverseHashTable(table.namesByText, 0, printNameEntry);
}

// The function records handed to the back end point into the record pool,
// so this runs only at the end of the run. The table starts afresh afterwards.
void destroySymbolTable() {
  if (table.namesByText)
    deleteHashTable(table.namesByText);
  if (table.entryPool)
    deleteMemPool(table.entryPool);
  if (table.recordPool)
    deleteMemPool(table.recordPool);
  if (table.listNodePool)
    deleteMemPool(table.listNodePool);
  if (table.debugEntryPool)
    deleteMemPool(table.debugEntryPool);
  std::free(table.characterArea);
  if (nameIndex.slots != noNameSlots)
    std::free(nameIndex.slots);
  nameIndex = NameIndex{.slots = noNameSlots, .slotMask = 0};
  std::free(table.entriesById);
  std::free(variableIndex.records);
  variableIndex = VariableIndex{};
  std::free(table.variableNames);
  table = SymbolTableState{};
  nameGeneration += 1;
}
