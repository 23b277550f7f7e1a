#include "emitcode.h"

#include "emitop.h"
#include "emitstat.h"
#include "exprir.h"
#include "exprsion.h"
#include "mempool.h"
#include "shortckt.h"
#include "stmntir.h"
#include "tavokassert.h"

namespace {

constexpr unsigned requestedPoolUnits = 1024;
// A full free list (128) is trimmed until 63 remain, then takes the record.
constexpr int irDataFreeListLimit = 128;
constexpr int irDataFreeListKeep = 64;

// Records carry one expression at a time from its lowering to its consumer,
// so a short free list in front of the pool serves nearly every request.
struct IrDataState {
  MemPool *irDataPool;  // created on the first record
  irData *freeIrDataList;  // linked through data
  int freeIrDataCount;
};

} // namespace

static constinit IrDataState state{};

static irData *takeIrData() {
  if (state.freeIrDataList) {
    ASSERT(state.freeIrDataCount > 0);
    irData *record = state.freeIrDataList;
    state.freeIrDataList = static_cast<irData *>(record->data);
    state.freeIrDataCount -= 1;
    return record;
  }
  ASSERT(state.freeIrDataCount == 0);
  if (!state.irDataPool)
    state.irDataPool = createMemPool(requestedPoolUnits, sizeof(irData));
  return static_cast<irData *>(allocateFromMemPool(state.irDataPool));
}

static void returnIrData(irData *record) {
  if (state.freeIrDataCount >= irDataFreeListLimit) {
    while (state.freeIrDataCount >= irDataFreeListKeep) {
      irData *surplus = state.freeIrDataList;
      ASSERT(surplus);
      state.freeIrDataList = static_cast<irData *>(surplus->data);
      state.freeIrDataCount -= 1;
      freeToMemPool(state.irDataPool, surplus);
    }
  }
  record->data = state.freeIrDataList;
  state.freeIrDataList = record;
  state.freeIrDataCount += 1;
}

irData *newIrData(AbstractTree *tree) {
  irData *record = takeIrData();
  *record = irData{.representationType = AbstractTreeRepresentation, .data = tree};
  return record;
}

void freeIrData(irData *record) {
  switch (record->representationType) {
  case AbstractTreeRepresentation:
    releaseTree(static_cast<AbstractTree *>(record->data));
    returnIrData(record);
    return;
  case ShortCircuitRepresentation:
    releaseBooleanLists(static_cast<BooleanLists *>(record->data));
    returnIrData(record);
    return;
  }
  ASSERT(!"an IR data record of no known representation");
}

AbstractTree *abstractTreeOf(const irData *record) {
  ASSERT(record->representationType == AbstractTreeRepresentation);
  return static_cast<AbstractTree *>(record->data);
}

// A condition lowered as a tree is tested by one conditional statement that
// ends the current block; its two targets are the exits.
static BooleanLists testInConditionalStatement(AbstractTree *tree) {
  Statement *test = createConditionalStatement(tree);
  const BooleanLists exits{.trueList = createPatchEntry(test, 1), .falseList = createPatchEntry(test, 0)};
  appendStatement(test);
  startNewBlock();
  return exits;
}

static void convertToShortCircuitLists(irData *originalIrData) {
  ASSERT(originalIrData->representationType == AbstractTreeRepresentation);
  BooleanLists *lists = createBooleanLists();
  *lists = testInConditionalStatement(static_cast<AbstractTree *>(originalIrData->data));
  // The tree now belongs to the statement.
  *originalIrData = irData{.representationType = ShortCircuitRepresentation, .data = lists};
}

BooleanLists *shortCircuitListsOf(irData *record) {
  if (record->representationType == AbstractTreeRepresentation)
    convertToShortCircuitLists(record);
  ASSERT(record->representationType == ShortCircuitRepresentation);
  return static_cast<BooleanLists *>(record->data);
}

// The same statement and exits as lowerExpression, shortCircuitListsOf and
// taking the lists out of the pair, without the record and the pair.
BooleanLists lowerCondition(Expression *condition) {
  return testInConditionalStatement(runEmissionWalk(EmissionGoal::Value, condition, Disposal::Keep));
}

BooleanLists lowerAndReleaseCondition(Expression *condition) {
  return testInConditionalStatement(runEmissionWalk(EmissionGoal::Value, condition, Disposal::Release));
}

void emitExpressionStatement(Expression *expression) {
  if (isEmitDisabled())
    return;
  setEmittingStatement(true);
  resolvePendingJumps();
  emitExpressionForEffect(expression);
  advanceSequenceNumber();
  setEmittingStatement(false);
}

void emitAndReleaseExpressionStatement(Expression *expression) {
  if (isEmitDisabled()) {
    releaseExpression(expression);
    return;
  }
  setEmittingStatement(true);
  resolvePendingJumps();
  emitAndReleaseForEffect(expression);
  advanceSequenceNumber();
  setEmittingStatement(false);
}

int irDataFreeListCount() { return state.freeIrDataCount; }
