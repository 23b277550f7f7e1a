// Statement emission: the grammar's actions call these at fixed points of
// every statement and function definition, and structured control flow is
// lowered into basic blocks while the source is parsed. Pending jumps to the
// next code to be laid out wait in the forward reference list; every
// emitting operation resolves it first. From the first counted error on,
// every emitting operation does nothing; only the function bookkeeping and
// the grammar's loop counter keep working.
#pragma once

struct BasicBlock;
struct Expression;
struct IdentifierRecord;
struct PatchEntry;

// variable = initialiser as one expression statement. The initialiser is
// consumed: it belongs to the assignment built here, which is released
// after emission (or it is released at once when nothing is emitted).
void emitVariableInitialisation(IdentifierRecord *variable, Expression *initialiser);

// The conditions and expressions below stay the caller's to release.
void emitBeginIf(Expression *condition);
void emitBeginElse();
void emitEndIf();
void emitLoopTest(Expression *condition);
void emitEndLoop();
// Each of the three may be null; a missing condition loops for ever.
void emitBeginFor(Expression *initial, Expression *condition, Expression *increment);
void emitContinue();
void emitBreak();
void emitReturn(Expression *value);  // value may be null

// The same four, each releasing its expressions as they are emitted (at once
// when nothing is emitted): for a caller that would release them right after.
void emitBeginIfAndRelease(Expression *condition);
void emitLoopTestAndRelease(Expression *condition);
void emitBeginForAndRelease(Expression *initial, Expression *condition, Expression *increment);
void emitReturnAndRelease(Expression *value);

// The loop depth as the grammar counts it: break and continue are accepted
// only inside a loop.
void enterLoop();
void leaveLoop();
bool isInsideLoop();

// The definition of one function: its body is emitted between the two, and
// the end hands it to code generation and drops its variables.
void beginFunctionDefinition(IdentifierRecord *function);
void endFunctionDefinition();
// Called by the statement layer: the first block, and the final return.
void emitFunctionStart();
void emitFunctionEnd();
// Called by the statement layer when the first error is counted.
void discardEmitterState();

// Used by expression emission around an expression statement.
bool isEmitDisabled();
// Takes the forward reference list, leaving it empty.
PatchEntry *takeForwardReferences();
// Starts a new block and backpatches the pending jumps to it, if any.
void resolvePendingJumps();
void setEmittingStatement(bool emitting);
bool isEmittingStatement();

// Test hook: called with the function's first block after its body has been
// closed (and pruned) and before it is compiled and released. Null for none.
using FunctionBodyInspector = void (*)(BasicBlock *firstBlock);
void setFunctionBodyInspector(FunctionBodyInspector inspector);
