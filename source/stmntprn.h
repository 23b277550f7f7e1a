// The intermediate-code dump (-d): a function's blocks in list order with
// their statements, sequence numbers, source lines, jump targets and trees.
// Blocks are numbered in order of first mention.
#pragma once

struct BasicBlock;
struct BlockListNode;
struct IdentifierRecord;

// Prints only when the dump option is on.
void dumpFunctionBlocks(BlockListNode *head, const IdentifierRecord *function);
// The dump itself, whatever the option says.
void printFunctionBlocks(BlockListNode *head, const IdentifierRecord *function);
// Valid only during a dump: the block's number, the next one on its first mention.
int getBlockNumber(BasicBlock *block);
