// Statements and basic blocks: the intermediate code of one function. A
// block is a chain of sequential statements ended by exactly one control
// statement (conditional, goto or return). The blocks of the function being
// compiled form a list in the order in which they were opened, which is the
// order in which their code is laid out. The first counted error stops all
// building of intermediate code for the rest of the run.
#pragma once

#include "words.h"

#include <cstdint>
#include <type_traits>

struct AbstractTree;
struct BasicBlock;
struct IdentifierRecord;

enum StatementType : std::uint32_t {
  SequentialStat = 0,
  ConditionalStat = 1,
  GotoStat = 2,
  ReturnStat = 3,
};

struct Statement {
  std::uint32_t sourceLineNumber;
  StatementType statementType;
  std::uint32_t sequenceNumber;  // the source-level step the statement belongs to
  // Sequential: selected early, it met an expression jump of more than 65535
  // bytes, and its tree went with that selection. Selecting it again (only
  // a block that is reached is) ends the run on that jump.
  std::uint32_t expressionJumpTooLong;
  Statement *previousStatementPtr;
  union {
    AbstractTree *abstractTreePtr;  // sequential, conditional; return (may be null)
    BasicBlock *targetBlock;        // goto
  };
  union {
    Statement *nextStatementPtr;  // sequential: never null
    BasicBlock *trueBlock;        // conditional
  };
  BasicBlock *falseBlock;  // conditional
};
static_assert(std::is_trivially_copyable_v<Statement>);

struct CgBlockInfo;

// In a compilation run the leading sequential statements of a block are
// selected and encoded as they are appended (codegen_misc.h, early code):
// their bytes wait in the function's early code and the statements go at
// once, so the chain holds only what follows them.
struct BasicBlock {
  CgBlockInfo *cgBlockInfoPtr;  // the back end's per-block record
  Statement *firstStatement;
  Statement *lastStatement;
  std::uint32_t earlyCodeStart;  // offset of the block's bytes in the function's early code
  std::uint32_t earlyCodeSize;   // 0: no statement of the block was selected early
};
static_assert(std::is_trivially_copyable_v<BasicBlock>);

struct BlockListNode {
  BasicBlock *blockPtr;
  BlockListNode *previousBlock;
  BlockListNode *nextBlock;
};
static_assert(std::is_trivially_copyable_v<BlockListNode>);

// Each statement holds one reference to its tree and releases it with itself.
Statement *createSequentialStatement(AbstractTree *tree);
Statement *createConditionalStatement(AbstractTree *tree);
Statement *createGotoStatement();
Statement *createReturnStatement(AbstractTree *tree);  // tree may be null
// A sequential statement that can be selected at once (see BasicBlock) is
// encoded into the block's early code and released instead of linked.
void appendStatement(Statement *statement);
// Once its instructions are selected, a statement's tree is released and
// its pointer cleared (a goto has none); the statement keeps its kind, line
// and links. A function's trees thus go one statement at a time while its
// instructions are made, not all at its end.
void releaseStatementTree(Statement *statement);

// The block that receives the next statement: the current one while it is
// empty, else a new one after it.
BasicBlock *startNewBlock();
BasicBlock *getCurrentBlock();
// Early code counts as statements.
int currentBlockHasStatements();
// The node of the current block, null outside a function; after
// finishFunctionStatements the head of the list that is handed over.
BlockListNode *currentBlockListNode();

// Statements appended between two advances share a number: the source-level
// step they belong to.
void advanceSequenceNumber();
unsigned currentSequenceNumber();

// A new statement takes the lexical analyser's current line.
unsigned getLastStatementLine();
// The line of the implicit return at a function's end.
void rememberStatementLine();
unsigned getRememberedLine();
unsigned getStatementSourceLine(const Statement *statement);

// The life of one function's intermediate code. finishFunctionStatements
// appends the final return and, unless debug information is on, removes the
// blocks nothing can reach. compileFunctionStatements dumps the blocks, hands
// them to code generation and releases them with their trees.
void beginFunctionStatements();
void finishFunctionStatements();
void compileFunctionStatements(IdentifierRecord *function);
// From the first counted error on, no intermediate code is built for the rest
// of the run; parsing and checking go on.
void abandonStatements();
bool isStatementBuildingStopped();

// Visitors return 0 to stop; the result is 0 then, else the last result (1 for none).
using BlockVisitFunction = int (*)(Word argument, BasicBlock *block);
using StatementVisitFunction = int (*)(Word argument, Statement *statement);
int traverseBlockList(BlockListNode *head, Word argument, BlockVisitFunction visitor);
// The statements from the first up to and including the first control statement.
int traverseBlockStatements(BasicBlock *block, Word argument, StatementVisitFunction visitor);
