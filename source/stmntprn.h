// The intermediate-code dump (-d): a function's blocks in list order with
// their statements, sequence numbers, source lines, jump targets and trees.
// Blocks are numbered in order of first mention.
#pragma once

struct BasicBlock;
struct BlockListNode;
struct IdentifierRecord;

// Prints only when the dump option is on.
void dumpFunctionBlocks(BlockListNode *head, const IdentifierRecord *function);
int getBlockNumber(BasicBlock *block);
