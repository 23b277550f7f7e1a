// Jump selection: every jump between basic blocks gets its smallest form and
// its offset, and every block its final start offset. All jumps start at the
// widest size and shrink, round after round, until no size changes.
#pragma once

#include <cstdint>

struct BlockListNode;

// The blocks must have been laid out and selected (each with its CgBlockInfo,
// ids in list order); their abstract jumps become concrete ones, their lists'
// sizes become exact. Ends the run when a jump spans more than 65535 bytes.
void selectJumps(BlockListNode *basicBlockListPtr);
// 1, 2 or 3 bytes for a jump spanning offset bytes in either direction;
// beyond 65535 the run ends with "Jump offset exceeds limit" and status 1.
int jumpSizeForOffset(std::int64_t offset);
