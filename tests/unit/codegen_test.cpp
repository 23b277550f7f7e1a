// The byte buffers of the compiled file: growth, takes, joins, the mb_u_int32
// encoding, the debug line table and the function list.
#include "codegen.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes contentsOf(const ByteBuffer *buffer) {
  return buffer ? Bytes(buffer->bytes, buffer->bytes + buffer->size) : Bytes{};
}

// A buffer holding exactly these bytes, made through the shared buffer.
ByteBuffer *bufferOf(const Bytes &bytes) {
  discardByteBuffer();
  for (std::uint8_t byte : bytes)
    emitByte(byte);
  return takeByteBuffer();
}

TEST(ByteBuffers, NothingWrittenTakesNull) {
  discardByteBuffer();
  EXPECT_EQ(takeByteBuffer(), nullptr);
  EXPECT_EQ(takeByteBuffer(), nullptr);
}

TEST(ByteBuffers, GrowAcrossEveryStepKeepingTheBytes) {
  for (std::size_t length : {1u, 511u, 512u, 513u, 1024u, 1025u, 5000u}) {
    SCOPED_TRACE(length);
    Bytes expected;
    for (std::size_t i = 0; i < length; ++i)
      expected.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    ByteBuffer *buffer = bufferOf(expected);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->size, length);
    EXPECT_EQ(contentsOf(buffer), expected);
    freeByteBuffer(buffer);
  }
}

TEST(ByteBuffers, TakeStartsAFreshBuffer) {
  ByteBuffer *first = bufferOf({1, 2, 3});
  emitByte(9);
  ByteBuffer *second = takeByteBuffer();
  EXPECT_EQ(contentsOf(first), (Bytes{1, 2, 3}));
  EXPECT_EQ(contentsOf(second), (Bytes{9}));
  freeByteBuffer(first);
  freeByteBuffer(second);
}

TEST(ByteBuffers, DiscardDropsLeftoversOnly) {
  emitByte(1);
  emitByte(2);
  discardByteBuffer();
  emitByte(7);
  ByteBuffer *buffer = takeByteBuffer();
  EXPECT_EQ(contentsOf(buffer), (Bytes{7}));
  freeByteBuffer(buffer);
  discardByteBuffer();  // nothing written: nothing to do
  EXPECT_EQ(takeByteBuffer(), nullptr);
}

TEST(ByteBuffers, JoinWithNullReturnsTheOther) {
  ByteBuffer *only = bufferOf({4, 5});
  EXPECT_EQ(joinByteBuffers(nullptr, only), only);
  EXPECT_EQ(joinByteBuffers(only, nullptr), only);
  EXPECT_EQ(joinByteBuffers(nullptr, nullptr), nullptr);
  freeByteBuffer(only);
}

TEST(ByteBuffers, JoinPutsFirstBeforeSecond) {
  ByteBuffer *joined = joinByteBuffers(bufferOf({1, 2}), bufferOf({3}));
  EXPECT_EQ(contentsOf(joined), (Bytes{1, 2, 3}));
  // Joins chain: a later piece goes after everything joined so far.
  Bytes big(600, 0xAB);
  joined = joinByteBuffers(joined, bufferOf(big));
  ASSERT_EQ(joined->size, 603u);
  EXPECT_EQ(joined->bytes[2], 3);
  EXPECT_EQ(joined->bytes[602], 0xAB);
  freeByteBuffer(joined);
}

// An empty piece (a function without instructions has an empty Code).
ByteBuffer *emptyBuffer() {
  // The join frees its inputs with the C allocator, so they are made with it.
  return static_cast<ByteBuffer *>(std::calloc(1, sizeof(ByteBuffer)));
}

TEST(ByteBuffers, JoinWithAnEmptyPieceKeepsTheOtherBytes) {
  ByteBuffer *joined = joinByteBuffers(bufferOf({8}), emptyBuffer());
  EXPECT_EQ(contentsOf(joined), (Bytes{8}));
  joined = joinByteBuffers(emptyBuffer(), joined);
  EXPECT_EQ(contentsOf(joined), (Bytes{8}));
  freeByteBuffer(joined);
  ByteBuffer *nothing = joinByteBuffers(emptyBuffer(), emptyBuffer());
  ASSERT_NE(nothing, nullptr);
  EXPECT_EQ(nothing->size, 0u);
  freeByteBuffer(nothing);
}

TEST(ByteBuffersDeathTest, JoinBeyondFourGigabytesEndsTheRun) {
  EXPECT_EXIT(
      {
        // Only the sizes are read before the run ends, so no array is needed.
        ByteBuffer *first = emptyBuffer();
        ByteBuffer *second = emptyBuffer();
        first->size = 0x80000000u;
        second->size = 0x80000000u;
        joinByteBuffers(first, second);
      },
      ::testing::ExitedWithCode(1), "^Error: Bytecode size exceeds maximum limit\n$");
}

struct MbCase {
  std::uint32_t value;
  Bytes bytes;
};

const MbCase mbCases[] = {
    {0, {0x00}},
    {127, {0x7F}},
    {128, {0x81, 0x00}},
    {300, {0x82, 0x2C}},
    {16383, {0xFF, 0x7F}},
    {16384, {0x81, 0x80, 0x00}},
    {2097151, {0xFF, 0xFF, 0x7F}},
    {2097152, {0x81, 0x80, 0x80, 0x00}},
    {268435455, {0xFF, 0xFF, 0xFF, 0x7F}},
    {268435456, {0x81, 0x80, 0x80, 0x80, 0x00}},
    {0xFFFFFFFFu, {0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
};

TEST(MbUInt32, UsesTheFewestSevenBitGroups) {
  for (const MbCase &row : mbCases) {
    SCOPED_TRACE(row.value);
    std::uint8_t bytes[maxMbUInt32Length];
    const int length = encodeMbUInt32(row.value, bytes);
    EXPECT_EQ(Bytes(bytes, bytes + length), row.bytes);
  }
}

TEST(DebugLineBuffer, IsSeparateFromTheOutputBufferAndCountsEntries) {
  discardByteBuffer();
  freeByteBuffer(takeDebugLineBuffer());
  EXPECT_EQ(debugLineCount(), 0u);
  emitByte(0x55);
  emitDebugMbUInt32(300);
  countDebugLineEntry();
  emitDebugByte(0x01);
  countDebugLineEntry();
  EXPECT_EQ(debugLineCount(), 2u);
  ByteBuffer *lines = takeDebugLineBuffer();
  EXPECT_EQ(contentsOf(lines), (Bytes{0x82, 0x2C, 0x01}));
  EXPECT_EQ(debugLineCount(), 0u);
  EXPECT_EQ(takeDebugLineBuffer(), nullptr);
  ByteBuffer *output = takeByteBuffer();
  EXPECT_EQ(contentsOf(output), (Bytes{0x55}));
  freeByteBuffer(lines);
  freeByteBuffer(output);
}

TEST(SavedPieces, PoolBytesAreKeptUntilTaken) {
  freeByteBuffer(takeConstantPoolBytes());
  freeByteBuffer(takePragmaPoolBytes());
  discardByteBuffer();
  emitByte(0x01);
  emitByte(0x6A);
  saveConstantPoolBytes();
  emitByte(0x00);
  savePragmaPoolBytes();
  EXPECT_EQ(takeByteBuffer(), nullptr);  // each save took the buffer
  ByteBuffer *constants = takeConstantPoolBytes();
  ByteBuffer *pragmas = takePragmaPoolBytes();
  EXPECT_EQ(contentsOf(constants), (Bytes{0x01, 0x6A}));
  EXPECT_EQ(contentsOf(pragmas), (Bytes{0x00}));
  EXPECT_EQ(takeConstantPoolBytes(), nullptr);
  freeByteBuffer(constants);
  freeByteBuffer(pragmas);
}

TEST(FunctionRecords, AppendInIndexOrderWithNothingCompiled) {
  const int before = numberOfFunctionRecords();
  auto *f = reinterpret_cast<IdentifierRecord *>(0x1000);
  auto *g = reinterpret_cast<IdentifierRecord *>(0x2000);
  addFunctionRecord(f, before);
  addFunctionRecord(g, before + 1);
  EXPECT_EQ(numberOfFunctionRecords(), before + 2);
  FunctionRecord *record = functionList();
  ASSERT_NE(record, nullptr);
  for (int i = 0; i < before; ++i)
    record = record->next;
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->identifier, f);
  EXPECT_EQ(record->functionIndex, before);
  EXPECT_EQ(record->code, nullptr);
  EXPECT_EQ(record->debugRecord, nullptr);
  EXPECT_EQ(record->parameterNames, nullptr);
  EXPECT_EQ(record->localNames, nullptr);
  ASSERT_NE(record->next, nullptr);
  EXPECT_EQ(record->next->identifier, g);
  EXPECT_EQ(record->next->functionIndex, before + 1);
  EXPECT_EQ(record->next->next, nullptr);
}

} // namespace
