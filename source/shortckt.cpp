#include "shortckt.h"

#include "freelist.h"
#include "stmntir.h"
#include "tavokassert.h"

namespace {
struct ShortCircuitState {
  RecyclingFreeList<PatchEntry> patchEntries;
  RecyclingFreeList<BooleanLists> booleanLists;
};
} // namespace

static constinit ShortCircuitState shortCircuit{};

static PatchEntry *allocatePatchEntry() {
  return shortCircuit.patchEntries.take();
}

PatchEntry *createPatchEntry(Statement *statementPtr, int branchSelector) {
  ASSERT((statementPtr->statementType == ConditionalStat) ||
         (statementPtr->statementType == GotoStat));
  PatchEntry *entry = allocatePatchEntry();
  *entry = PatchEntry{
      .branchSelector = branchSelector, .statementPtr = statementPtr, .nextEntry = nullptr};
  return entry;
}

// The shorter list is walked and the longer one linked behind it, so that a
// loop gathering one more break at a time stays linear: the order of the
// entries means nothing, backpatching sets every target alike.
PatchEntry *mergePatchLists(PatchEntry *a, PatchEntry *b) {
  if (!a)
    return b;
  if (!b)
    return a;
  PatchEntry *lastOfA = a;
  PatchEntry *lastOfB = b;
  while (lastOfA->nextEntry && lastOfB->nextEntry) {
    lastOfA = lastOfA->nextEntry;
    lastOfB = lastOfB->nextEntry;
  }
  if (!lastOfA->nextEntry) {
    lastOfA->nextEntry = b;
    return a;
  }
  lastOfB->nextEntry = a;
  return b;
}

PatchEntry *copyPatchList(const PatchEntry *list) {
  PatchEntry *head = nullptr;
  PatchEntry *tail = nullptr;
  for (const PatchEntry *entry = list; entry; entry = entry->nextEntry) {
    PatchEntry *copy = createPatchEntry(entry->statementPtr, entry->branchSelector);
    if (tail)
      tail->nextEntry = copy;
    else
      head = copy;
    tail = copy;
  }
  return head;
}

static void patchTarget(Statement *statement, int branchSelector, BasicBlock *block) {
  switch (statement->statementType) {
  case ConditionalStat:
    if (branchSelector)
      statement->trueBlock = block;
    else
      statement->falseBlock = block;
    return;
  case GotoStat:
    statement->targetBlock = block;
    return;
  case SequentialStat:
  case ReturnStat:
    break;
  }
  ASSERT(!"a patched statement is a conditional or a goto");
}

void backpatch(const PatchEntry *list, BasicBlock *block) {
  for (const PatchEntry *entry = list; entry; entry = entry->nextEntry)
    patchTarget(entry->statementPtr, entry->branchSelector, block);
}

void releasePatchList(PatchEntry *list) {
  while (list) {
    PatchEntry *next = list->nextEntry;
    shortCircuit.patchEntries.release(list);
    list = next;
  }
}

BooleanLists *createBooleanLists() {
  BooleanLists *lists = shortCircuit.booleanLists.take();
  *lists = BooleanLists{.trueList = nullptr, .falseList = nullptr};
  return lists;
}

void releaseBooleanLists(BooleanLists *lists) {
  if (lists->trueList)
    releasePatchList(lists->trueList);
  if (lists->falseList)
    releasePatchList(lists->falseList);
  shortCircuit.booleanLists.release(lists);
}
