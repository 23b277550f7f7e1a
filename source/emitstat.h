// Statement emission: the grammar's actions call these at fixed points of
// every statement and function definition, and structured control flow is
// lowered into basic blocks while the source is parsed. Pending jumps to the
// next code to be laid out wait in the forward reference list; every
// emitting operation resolves it first.
#pragma once

struct Expression;
struct IdentifierRecord;
struct PatchEntry;

void emitVariableInitialisation(IdentifierRecord *variable, Expression *initialiser);
void emitBeginIf(Expression *condition);
void emitBeginElse();
void emitEndIf();
void emitLoopTest(Expression *condition);
void emitEndLoop();
// Each of the three may be null.
void emitBeginFor(Expression *initial, Expression *condition, Expression *increment);
void emitContinue();
void emitBreak();
void emitReturn(Expression *value);  // value may be null

// The loop depth as the grammar counts it: break and continue are accepted
// only inside a loop.
void enterLoop();
void leaveLoop();
bool isInsideLoop();

void beginFunctionDefinition(IdentifierRecord *function);
void endFunctionDefinition();
// Called by the statement layer.
void emitFunctionStart();
void emitFunctionEnd();
void discardEmitterState();

// Used by expression emission around an expression statement.
bool isEmitDisabled();
// Takes the forward reference list, leaving it empty.
PatchEntry *takeForwardReferences();
// Starts a new block and backpatches the pending jumps to it, if any.
void resolvePendingJumps();
void setEmittingStatement(bool emitting);
