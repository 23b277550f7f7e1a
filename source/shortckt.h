// A patch list holds jumps whose target block does not exist yet; backpatch
// fills them in at once when the target is known. A condition in its
// control-flow form is a pair of patch lists: the jumps taken when it is
// true and those taken when it is false.
#pragma once

#include <type_traits>

struct Statement;
struct BasicBlock;

struct PatchEntry {
  int branchSelector;  // conditional: 1 the true target, 0 the false target
  Statement *statementPtr;  // a ConditionalStat or a GotoStat
  PatchEntry *nextEntry;
};
static_assert(std::is_trivially_copyable_v<PatchEntry>);

struct BooleanLists {
  PatchEntry *trueList;
  PatchEntry *falseList;
};
static_assert(std::is_trivially_copyable_v<BooleanLists>);

// A one-entry list.
PatchEntry *createPatchEntry(Statement *statementPtr, int branchSelector);
// Every entry of a and of b in one list (b when a is empty, a when b is);
// the lists' entries now belong to the result. Costs the shorter list's length.
PatchEntry *mergePatchLists(PatchEntry *a, PatchEntry *b);
PatchEntry *copyPatchList(const PatchEntry *list);
// Sets every listed target to block; the list is unchanged and still the caller's.
void backpatch(const PatchEntry *list, BasicBlock *block);
// Returns the entries; the statements are not touched.
void releasePatchList(PatchEntry *list);

BooleanLists *createBooleanLists();
void releaseBooleanLists(BooleanLists *lists);
