// Jump selection: every jump between basic blocks gets its smallest form and
// its offset, and every block its final start offset. All jumps start at the
// widest size and shrink, round after round, until no size changes.
#pragma once

#include <cstdint>

struct BlockListNode;

struct BasicBlock;
// The settled sizes and offsets of one function's jumps and blocks.
struct JumpLayout;

// The blocks must have been laid out and selected (each with its CgBlockInfo,
// ids in list order); their abstract jumps become concrete ones, their lists'
// sizes become exact. Ends the run when a jump spans more than 65535 bytes.
void selectJumps(BlockListNode *basicBlockListPtr);

// selectJumps in steps, so that the assembly can finish each block on its
// own walk instead of one more walk over the blocks:
// The sizes settled for the blocks, which are not changed yet; as selectJumps
// ends the run on a jump of more than 65535 bytes.
JumpLayout *settleJumps(BlockListNode *basicBlockListPtr);
// settleJumps with the blocks added one at a time, each as soon as it is
// selected, while its records are still in the cache: an empty layout, a
// block added in list order (its id is the number of blocks added before
// it), and the settling once the last block is in.
JumpLayout *createJumpLayout();
void addBlockToJumpLayout(JumpLayout *layout, const BasicBlock *block);
// The same for a block whose code but its jumps is encoded already (its
// early code and its CgBlockInfo's encoded bytes, no instruction list): its
// jumps come as selection described them.
struct BlockJumps;
void addEncodedBlockToJumpLayout(JumpLayout *layout, const BasicBlock *block, const BlockJumps &jumps);
void settleJumpLayout(JumpLayout *layout);
// The block's start offset, its jumps' forms and offsets and its list's size
// made final, as selectJumps leaves them; blockId is its place in the list.
void finishBlockJumps(const JumpLayout *layout, std::uint32_t blockId, BasicBlock *block);
// For a block added by addEncodedBlockToJumpLayout: its start offset made
// final and its jumps, in their settled forms, encoded at bytes; returns
// their size.
std::uint32_t encodeBlockJumps(const JumpLayout *layout, std::uint32_t blockId, BasicBlock *block,
                               std::uint8_t *bytes);
// The bytes of the whole function's Code with every jump settled.
std::uint64_t jumpLayoutCodeSize(const JumpLayout *layout);
void releaseJumpLayout(JumpLayout *layout);
// 1, 2 or 3 bytes for a jump spanning offset bytes in either direction;
// beyond 65535 the run ends with "Jump offset exceeds limit" and status 1.
int jumpSizeForOffset(std::int64_t offset);
