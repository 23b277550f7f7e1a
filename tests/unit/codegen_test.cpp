// The byte buffers of the compiled file at their limits: growth, takes and
// joins with null and empty pieces, the 32-bit size of a join, the mb_u_int32
// encoding at every byte-count boundary.
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

ByteBuffer *bufferOf(const Bytes &bytes) {
  discardByteBuffer();
  for (std::uint8_t byte : bytes)
    emitByte(byte);
  return takeByteBuffer();
}

// An empty piece, as a function without instructions has; joins free their
// inputs with the C allocator.
ByteBuffer *emptyBuffer() { return static_cast<ByteBuffer *>(std::calloc(1, sizeof(ByteBuffer))); }

TEST(ByteBuffers, GrowAcrossEveryStepAndTakeStartsAfresh) {
  for (std::size_t length : {1u, 511u, 512u, 513u, 1024u, 1025u, 5000u}) {
    SCOPED_TRACE(length);
    Bytes expected;
    for (std::size_t i = 0; i < length; ++i)
      expected.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    emitByte(0xEE);  // a leftover, which the discard in bufferOf drops
    ByteBuffer *buffer = bufferOf(expected);
    EXPECT_EQ(contentsOf(buffer), expected);
    freeByteBuffer(buffer);
    EXPECT_EQ(takeByteBuffer(), nullptr);
  }
}

TEST(ByteBuffers, JoinsSkipNullAndEmptyPieces) {
  ByteBuffer *only = bufferOf({4, 5});
  EXPECT_EQ(joinByteBuffers(nullptr, only), only);
  EXPECT_EQ(joinByteBuffers(only, nullptr), only);
  EXPECT_EQ(joinByteBuffers(nullptr, nullptr), nullptr);
  ByteBuffer *joined = joinByteBuffers(emptyBuffer(), joinByteBuffers(only, emptyBuffer()));
  EXPECT_EQ(contentsOf(joined), (Bytes{4, 5}));
  joined = joinByteBuffers(joined, bufferOf(Bytes(600, 0xAB)));
  ASSERT_EQ(joined->size, 602u);
  EXPECT_EQ(joined->bytes[1], 5);
  EXPECT_EQ(joined->bytes[601], 0xAB);
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

TEST(MbUInt32, UsesTheFewestSevenBitGroups) {
  const struct {
    std::uint32_t value;
    Bytes bytes;
  } rows[] = {
      {0, {0x00}},
      {127, {0x7F}},
      {128, {0x81, 0x00}},
      {16383, {0xFF, 0x7F}},
      {16384, {0x81, 0x80, 0x00}},
      {2097151, {0xFF, 0xFF, 0x7F}},
      {2097152, {0x81, 0x80, 0x80, 0x00}},
      {268435455, {0xFF, 0xFF, 0xFF, 0x7F}},
      {268435456, {0x81, 0x80, 0x80, 0x80, 0x00}},
      {0xFFFFFFFFu, {0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.value);
    std::uint8_t bytes[maxMbUInt32Length];
    const int length = encodeMbUInt32(row.value, bytes);
    EXPECT_EQ(Bytes(bytes, bytes + length), row.bytes);
  }
}

} // namespace
