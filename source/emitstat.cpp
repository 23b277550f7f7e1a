#include "emitstat.h"

#include "binopexp.h"
#include "constpool.h"
#include "emitcode.h"
#include "exprir.h"
#include "exprsion.h"
#include "mempool.h"
#include "shortckt.h"
#include "stack.h"
#include "stmntir.h"
#include "strtable.h"
#include "tavokassert.h"
#include "wrapper.h"

#include <type_traits>

namespace {

// One per open loop.
struct LoopRecord {
  // Where continue and the end of the body go: the condition's block, or
  // the increment's block of a for loop with an increment.
  BasicBlock *loopHeadBlock;
  PatchEntry *breakList;     // the condition's false exits and every break
  PatchEntry *continueList;  // every continue
};
static_assert(std::is_trivially_copyable_v<LoopRecord>);

// The nesting kinds are bits: 1 for a loop. The stack grows and shrinks by
// whole words.
constexpr unsigned nestingKindChunk = 32;
constexpr int loopNestingKind = 1;

struct EmitterState {
  bool emitDisabled;               // first counted error; never cleared
  bool emittingStatement;          // an emitting operation is running
  bool enteredFunctionDefinition;  // a body is open in the statement layer
  IdentifierRecord *currentFnDefinition;
  PatchEntry *forwardReferenceList;  // non-empty: the next code is reached only by these
  Stack *decisionStack;              // one patch list per open if
  Stack *loopStack;                  // one loop record per open loop
  MemPool *loopRecordPool;
  BitSet nestingKinds;
  unsigned nestingKindCapacity;  // bits
  unsigned currentStackHeight;
  unsigned loopNestingDepth;  // as counted by the grammar
  FunctionBodyInspector functionBodyInspector;
};

} // namespace

static constinit EmitterState emitter{};

// ---- Helpers shared with expression emission ----

bool isEmitDisabled() { return emitter.emitDisabled; }

void setEmittingStatement(bool emitting) { emitter.emittingStatement = emitting; }

bool isEmittingStatement() { return emitter.emittingStatement; }

PatchEntry *takeForwardReferences() {
  PatchEntry *list = emitter.forwardReferenceList;
  emitter.forwardReferenceList = nullptr;
  return list;
}

void resolvePendingJumps() {
  PatchEntry *pending = takeForwardReferences();
  if (!pending)
    return;
  backpatch(pending, startNewBlock());
  releasePatchList(pending);
}

void setFunctionBodyInspector(FunctionBodyInspector inspector) {
  emitter.functionBodyInspector = inspector;
}

// Pending jumps are only ever resolved or handed on whole, never overwritten.
static void setForwardReferences(PatchEntry *list) {
  ASSERT(!emitter.forwardReferenceList);
  emitter.forwardReferenceList = list;
}

// ---- The recurring steps ----

enum class GotoLine {
  Creation,       // the lexical analyser's line when the goto is made
  LastStatement,  // the line of the statement before it
};

static Statement *appendGoto(GotoLine lineRule) {
  unsigned lastLine = getLastStatementLine();
  Statement *jump = createGotoStatement();
  if (lineRule == GotoLine::LastStatement)
    jump->sourceLineNumber = lastLine;
  appendStatement(jump);
  return jump;
}

// The jumps that leave the current point: the pending ones, which then
// need no goto of their own, or else a goto closing the current block.
static PatchEntry *closeTheFlow(GotoLine lineRule = GotoLine::Creation) {
  PatchEntry *exits = takeForwardReferences();
  if (exits)
    return exits;
  return createPatchEntry(appendGoto(lineRule), 0);
}

// ---- The nesting-kind stack ----

static void pushNestingKind(int kind) {
  if (emitter.currentStackHeight == emitter.nestingKindCapacity) {
    unsigned grown = emitter.nestingKindCapacity + nestingKindChunk;
    emitter.nestingKinds = emitter.nestingKinds
                               ? resizeBitSet(emitter.nestingKinds, emitter.nestingKindCapacity, grown)
                               : createBitSet(grown);
    emitter.nestingKindCapacity = grown;
  }
  setBit(emitter.nestingKinds, emitter.currentStackHeight, kind);
  emitter.currentStackHeight += 1;
}

static int popNestingKind() {
  ASSERT(emitter.currentStackHeight > 0);
  emitter.currentStackHeight -= 1;
  int kind = testBit(emitter.nestingKinds, emitter.currentStackHeight);
  unsigned shrunk = emitter.nestingKindCapacity - nestingKindChunk;
  if (emitter.currentStackHeight > 0 && emitter.currentStackHeight == shrunk) {
    emitter.nestingKinds = resizeBitSet(emitter.nestingKinds, emitter.nestingKindCapacity, shrunk);
    emitter.nestingKindCapacity = shrunk;
  }
  return kind;
}

static void releaseNestingKinds() {
  if (emitter.nestingKinds)
    deleteBitSet(emitter.nestingKinds);
  emitter.nestingKinds = nullptr;
  emitter.nestingKindCapacity = 0;
  emitter.currentStackHeight = 0;
}

// ---- Decision and loop stacks ----

static void releaseJumps(PatchEntry *list) {
  if (list)
    releasePatchList(list);
}

static void deleteDecisionEntry(Word data) { releaseJumps(fromWord<PatchEntry *>(data)); }

static void releaseLoopRecord(LoopRecord *loop) {
  releaseJumps(loop->breakList);
  releaseJumps(loop->continueList);
  freeToMemPool(emitter.loopRecordPool, loop);
}

static void deleteLoopEntry(Word data) { releaseLoopRecord(fromWord<LoopRecord *>(data)); }

static void pushDecision(PatchEntry *list) {
  if (!emitter.decisionStack)
    emitter.decisionStack = createStack(deleteDecisionEntry);
  pushOnStack(emitter.decisionStack, toWord(list));
}

static PatchEntry *popDecision() {
  if (!emitter.decisionStack)
    return nullptr;
  return fromWord<PatchEntry *>(popFromStack(emitter.decisionStack));
}

static LoopRecord *takeLoopRecord() {
  if (!emitter.loopStack) {
    emitter.loopStack = createStack(deleteLoopEntry);
    emitter.loopRecordPool = createMemPool(1024, sizeof(LoopRecord));
  }
  auto *loop = static_cast<LoopRecord *>(allocateFromMemPool(emitter.loopRecordPool));
  *loop = LoopRecord{.loopHeadBlock = nullptr, .breakList = nullptr, .continueList = nullptr};
  return loop;
}

static LoopRecord *innermostLoop() {
  if (!emitter.loopStack)
    return nullptr;
  return fromWord<LoopRecord *>(topOfStack(emitter.loopStack));
}

// The head must begin a block: code that falls into it from the current
// block gets a goto, so the loop's back edges can target the head alone.
static LoopRecord *openLoopHead() {
  PatchEntry *entries = takeForwardReferences();
  if (!entries && currentBlockHasStatements())
    entries = createPatchEntry(appendGoto(GotoLine::Creation), 0);
  BasicBlock *head;
  if (entries) {
    head = startNewBlock();
    backpatch(entries, head);
    releasePatchList(entries);
  } else {
    head = getCurrentBlock();
  }
  LoopRecord *loop = takeLoopRecord();
  loop->loopHeadBlock = head;
  pushOnStack(emitter.loopStack, toWord(loop));
  pushNestingKind(loopNestingKind);
  return loop;
}

// ---- Statements ----

namespace {
// Whether a statement's expressions are released as they are emitted.
enum class Disposal : bool { Keep, Release };
} // namespace

static void releaseUnlessNull(Expression *expression) {
  if (expression)
    releaseExpression(expression);
}

static BooleanLists lowerTest(Expression *condition, Disposal disposal) {
  return disposal == Disposal::Release ? lowerAndReleaseCondition(condition) : lowerCondition(condition);
}

void emitVariableInitialisation(IdentifierRecord *variable, Expression *initialiser) {
  if (emitter.emitDisabled) {
    releaseExpression(initialiser);
    return;
  }
  ASSERT(variable->subSpace == ObjectSubSpace);
  Expression *target = createOperatorExpression(IdentifierLeaf);
  target->identifier = IdentifierLeafData{.index = variable->index, .record = variable};
  // The builder checks the initialiser; when it fails it has reported the
  // error and released both operands.
  Expression *assignment = buildAssignment(Assign, target, initialiser);
  if (!assignment)
    return;
  emitAndReleaseExpressionStatement(assignment);
}

static void beginIf(Expression *condition, Disposal disposal) {
  if (emitter.emitDisabled) {
    if (disposal == Disposal::Release)
      releaseExpression(condition);
    return;
  }
  setEmittingStatement(true);
  resolvePendingJumps();
  BooleanLists exits = lowerTest(condition, disposal);
  advanceSequenceNumber();
  pushDecision(exits.falseList);
  setForwardReferences(exits.trueList);
  setEmittingStatement(false);
}

void emitBeginIf(Expression *condition) { beginIf(condition, Disposal::Keep); }

void emitBeginIfAndRelease(Expression *condition) { beginIf(condition, Disposal::Release); }

void emitBeginElse() {
  if (emitter.emitDisabled)
    return;
  setEmittingStatement(true);
  PatchEntry *falseList = popDecision();
  ASSERT(falseList);
  // A goto made here closes the then-branch: it takes that branch's last
  // line, not the line the lexical analyser has reached after the else.
  PatchEntry *thenExits = closeTheFlow(GotoLine::LastStatement);
  pushDecision(thenExits);
  setForwardReferences(falseList);
  setEmittingStatement(false);
}

void emitEndIf() {
  if (emitter.emitDisabled)
    return;
  setEmittingStatement(true);
  PatchEntry *branchExits = closeTheFlow();
  PatchEntry *endOfDecisionList = popDecision();
  ASSERT(endOfDecisionList);
  // Without else the false exits, with else the then-branch's exits: either
  // way they continue after the if, as does the last branch.
  setForwardReferences(mergePatchLists(endOfDecisionList, branchExits));
  setEmittingStatement(false);
}

static void loopTest(Expression *condition, Disposal disposal) {
  if (emitter.emitDisabled) {
    if (disposal == Disposal::Release)
      releaseExpression(condition);
    return;
  }
  setEmittingStatement(true);
  LoopRecord *loop = openLoopHead();
  BooleanLists exits = lowerTest(condition, disposal);
  advanceSequenceNumber();
  loop->breakList = exits.falseList;
  setForwardReferences(exits.trueList);
  setEmittingStatement(false);
}

void emitLoopTest(Expression *condition) { loopTest(condition, Disposal::Keep); }

void emitLoopTestAndRelease(Expression *condition) { loopTest(condition, Disposal::Release); }

// The increment gets a block of its own between the condition and the body,
// ending in a goto back to the condition; the loop's head moves to it, so
// that continue and the end of the body run the increment first.
static void emitForIncrement(LoopRecord *loop, Expression *increment, Disposal disposal) {
  BasicBlock *incrementBlock = startNewBlock();
  if (disposal == Disposal::Release)
    emitAndReleaseForEffect(increment);
  else
    emitExpressionForEffect(increment);
  Statement *backToCondition = createGotoStatement();
  backToCondition->targetBlock = loop->loopHeadBlock;
  appendStatement(backToCondition);
  loop->loopHeadBlock = incrementBlock;
  advanceSequenceNumber();
}

static void beginFor(Expression *initial, Expression *condition, Expression *increment, Disposal disposal) {
  if (emitter.emitDisabled) {
    if (disposal == Disposal::Release) {
      releaseUnlessNull(initial);
      releaseUnlessNull(condition);
      releaseUnlessNull(increment);
    }
    return;
  }
  setEmittingStatement(true);
  if (initial) {
    if (disposal == Disposal::Release)
      emitAndReleaseExpressionStatement(initial);
    else
      emitExpressionStatement(initial);
    setEmittingStatement(true);  // the expression statement cleared it
  }
  LoopRecord *loop = openLoopHead();
  BooleanLists exits;
  if (condition) {
    exits = lowerTest(condition, disposal);
    advanceSequenceNumber();
  } else {
    // No condition loops for ever: the test of the constant 1 keeps the
    // head's shape, a conditional with a true and a false exit.
    Expression *tempExpression = immediateConstant(ImmediateCode::One);
    ASSERT(tempExpression);
    exits = lowerAndReleaseCondition(tempExpression);
  }
  if (increment)
    emitForIncrement(loop, increment, disposal);
  loop->breakList = exits.falseList;
  setForwardReferences(exits.trueList);
  setEmittingStatement(false);
}

void emitBeginFor(Expression *initial, Expression *condition, Expression *increment) {
  beginFor(initial, condition, increment, Disposal::Keep);
}

void emitBeginForAndRelease(Expression *initial, Expression *condition, Expression *increment) {
  beginFor(initial, condition, increment, Disposal::Release);
}

void emitEndLoop() {
  if (emitter.emitDisabled)
    return;
  setEmittingStatement(true);
  auto *loopPtr = emitter.loopStack ? fromWord<LoopRecord *>(popFromStack(emitter.loopStack)) : nullptr;
  ASSERT(loopPtr);
  // The end of the body goes back to the head, as every continue does.
  loopPtr->continueList = mergePatchLists(loopPtr->continueList, closeTheFlow());
  backpatch(loopPtr->continueList, loopPtr->loopHeadBlock);
  ASSERT(loopPtr->breakList);
  PatchEntry *loopExits = loopPtr->breakList;
  loopPtr->breakList = nullptr;
  releaseLoopRecord(loopPtr);
  int kind = popNestingKind();
  ASSERT(kind == loopNestingKind);
  setForwardReferences(loopExits);
  setEmittingStatement(false);
}

// The loop's jumps are resolved when the loop ends; the code after a
// continue or a break starts a block that nothing reaches so far.
void emitContinue() {
  if (emitter.emitDisabled)
    return;
  setEmittingStatement(true);
  LoopRecord *loopPtr = innermostLoop();
  ASSERT(loopPtr);
  loopPtr->continueList = mergePatchLists(loopPtr->continueList, closeTheFlow());
  startNewBlock();
  setEmittingStatement(false);
}

void emitBreak() {
  if (emitter.emitDisabled)
    return;
  setEmittingStatement(true);
  LoopRecord *loopPtr = innermostLoop();
  ASSERT(loopPtr);
  loopPtr->breakList = mergePatchLists(loopPtr->breakList, closeTheFlow());
  startNewBlock();
  setEmittingStatement(false);
}

static void emitReturnStatement(AbstractTree *tree) {
  appendStatement(createReturnStatement(tree));
  startNewBlock();
  setEmittingStatement(false);
}

void emitReturn(Expression *value) {
  if (emitter.emitDisabled)
    return;
  setEmittingStatement(true);
  resolvePendingJumps();
  AbstractTree *tree = nullptr;
  if (value) {
    irData *lowered = lowerExpression(value);
    // The extra reference survives freeIrData and becomes the statement's.
    tree = addTreeReference(abstractTreeOf(lowered));
    freeIrData(lowered);
  }
  emitReturnStatement(tree);
}

// The bare tree the lowering hands back is unreferenced: the statement's.
void emitReturnAndRelease(Expression *value) {
  if (emitter.emitDisabled) {
    releaseUnlessNull(value);
    return;
  }
  setEmittingStatement(true);
  resolvePendingJumps();
  emitReturnStatement(value ? lowerAndReleaseExpression(value) : nullptr);
}

// ---- The grammar's loop counter ----

void enterLoop() { emitter.loopNestingDepth += 1; }

void leaveLoop() {
  ASSERT(emitter.loopNestingDepth);
  emitter.loopNestingDepth -= 1;
}

bool isInsideLoop() { return emitter.loopNestingDepth > 0; }

// ---- Function definitions ----

// After the first counted error the statement layer builds nothing, and
// error recovery may abandon a definition half way; the bookkeeping then
// simply starts over with the next definition.
static bool isCodeBuildingStopped() { return emitter.emitDisabled || isStatementBuildingStopped(); }

void beginFunctionDefinition(IdentifierRecord *function) {
  ASSERT(!emitter.currentFnDefinition || isCodeBuildingStopped());
  emitter.currentFnDefinition = function;
  // The symbol table's variable limits count parameters from here on.
  setOpenFunction(function);
  if (!isCodeBuildingStopped())
    beginFunctionStatements();
}

void endFunctionDefinition() {
  ASSERT(emitter.currentFnDefinition || isCodeBuildingStopped());
  if (!isCodeBuildingStopped()) {
    finishFunctionStatements();
    if (emitter.functionBodyInspector)
      emitter.functionBodyInspector(getCurrentBlock());
    compileFunctionStatements(emitter.currentFnDefinition);
  }
  emitter.currentFnDefinition = nullptr;
  // Compiling resets the per-function counters; with code building stopped
  // nothing is compiled, and the checks of the next function must still
  // start from zero.
  resetVariableCounter();
  setOpenFunction(nullptr);
  if (isDumpEnabled())
    printSymbolTable();
  dropFunctionVariables();
}

void emitFunctionStart() {
  if (emitter.emitDisabled)
    return;
  ASSERT(!emitter.enteredFunctionDefinition);
  emitter.enteredFunctionDefinition = true;
  startNewBlock();
}

void emitFunctionEnd() {
  if (emitter.emitDisabled)
    return;
  ASSERT(emitter.enteredFunctionDefinition);
  setEmittingStatement(true);
  resolvePendingJumps();
  // Every function ends in a return of no value, reachable or not. It
  // belongs to the closing brace, whose line was remembered: by now the
  // parser may have read ahead past it.
  Statement *finalReturn = createReturnStatement(nullptr);
  unsigned endLine = getRememberedLine();
  if (endLine < finalReturn->sourceLineNumber)
    finalReturn->sourceLineNumber = endLine;
  appendStatement(finalReturn);
  emitter.enteredFunctionDefinition = false;
  setEmittingStatement(false);
}

void discardEmitterState() {
  emitter.enteredFunctionDefinition = false;
  releaseJumps(takeForwardReferences());
  releaseNestingKinds();
  if (emitter.decisionStack)
    deleteStack(emitter.decisionStack);
  emitter.decisionStack = nullptr;
  if (emitter.loopStack)
    deleteStack(emitter.loopStack);
  emitter.loopStack = nullptr;
  if (emitter.loopRecordPool)
    deleteMemPool(emitter.loopRecordPool);
  emitter.loopRecordPool = nullptr;
  emitter.emittingStatement = false;
  emitter.emitDisabled = true;
}
