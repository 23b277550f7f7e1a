// Runs of bytes appended to the output buffer in one step: wherever a run
// starts and however long it is, the buffer holds what the same bytes
// appended one at a time would give, and an empty run writes nothing.
#include "codegen.h"
#include "constpool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes takenBytes() {
  ByteBuffer *buffer = takeByteBuffer();
  Bytes bytes = buffer ? Bytes(buffer->bytes, buffer->bytes + buffer->size) : Bytes{};
  freeByteBuffer(buffer);
  return bytes;
}

Bytes pattern(std::size_t length, unsigned seed) {
  Bytes bytes;
  for (std::size_t i = 0; i < length; ++i)
    bytes.push_back(static_cast<std::uint8_t>(i * 13 + seed));
  return bytes;
}

TEST(ByteRuns, MatchBytesAppendedOneAtATimeAtEveryGrowthStep) {
  for (std::size_t before : {0u, 1u, 511u, 512u, 1000u})
    for (std::size_t run : {0u, 1u, 2u, 511u, 512u, 513u, 1536u, 5000u}) {
      SCOPED_TRACE(testing::Message() << before << " then " << run);
      const Bytes head = pattern(before, 1);
      const Bytes body = pattern(run, 2);
      discardByteBuffer();
      for (std::uint8_t byte : head)
        emitByte(byte);
      emitBytes(body.data(), body.size());
      emitByte(0x5A);  // the byte after a run lands right behind it
      Bytes expected = head;
      expected.insert(expected.end(), body.begin(), body.end());
      expected.push_back(0x5A);
      EXPECT_EQ(takenBytes(), expected);
    }
}

TEST(ByteRuns, AnEmptyRunStartsNoBuffer) {
  discardByteBuffer();
  const std::uint8_t unused = 0;
  emitBytes(&unused, 0);
  EXPECT_EQ(emitRoom(0), nullptr);
  EXPECT_EQ(takeByteBuffer(), nullptr);
}

// Room taken across a growth step is written in place, between bytes
// emitted before and after it.
TEST(ByteRuns, RoomIsWrittenInPlace) {
  for (std::size_t before : {0u, 100u, 511u}) {
    SCOPED_TRACE(before);
    discardByteBuffer();
    const Bytes head = pattern(before, 3);
    emitBytes(head.data(), head.size());
    const Bytes body = pattern(700, 4);
    std::uint8_t *room = emitRoom(body.size());
    ASSERT_NE(room, nullptr);
    std::copy(body.begin(), body.end(), room);
    emitByte(0xA5);
    Bytes expected = head;
    expected.insert(expected.end(), body.begin(), body.end());
    expected.push_back(0xA5);
    EXPECT_EQ(takenBytes(), expected);
  }
}

} // namespace
