// Jump selection: every jump between basic blocks gets its smallest form and
// its offset, and every block its final start offset. All jumps start at the
// widest size and shrink, round after round, until no size changes.
#pragma once

struct BlockListNode;

void selectJumps(BlockListNode *basicBlockListPtr);
// 1, 2 or 3 bytes; beyond 65535 the run ends with "Jump offset exceeds limit".
int jumpSizeForOffset(int offset);
