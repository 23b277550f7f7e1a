// The byte buffers of the compiled file at their limits: growth, takes and
// joins with null and empty pieces, the 32-bit size of a join, the mb_u_int32
// encoding at every byte-count boundary; and the name table of a unit with
// several extern functions.
#include "codegen.h"
#include "wrapper.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
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

// Functions are numbered at their first mention; only the extern ones are
// named, in that order, each with its number.
TEST(CompiledUnit, OnlyExternFunctionsAreNamedInIndexOrder) {
  std::string source = ::testing::TempDir() + "codegen_test_" + std::to_string(getpid()) + ".wmls";
  std::string output = source + "c";
  std::ofstream(source) << "function a() { return b() + cc(); }\n"
                           "extern function cc() { }\n"
                           "extern function b() { }\n";
  char program[] = "tavok", quiet[] = "-w";
  char *arguments[] = {program, quiet, source.data(), output.data(), nullptr};
  EXPECT_EXIT(std::exit(runCompilation(4, arguments)), ::testing::ExitedWithCode(0), "Compilation successful");
  std::ifstream unitFile(output, std::ios::binary);
  const Bytes unit{std::istreambuf_iterator<char>(unitFile), std::istreambuf_iterator<char>()};
  const Bytes expected = {0x03, 0x02,              // three functions, two names
                          0x01, 0x01, 'b',         // b
                          0x02, 0x02, 'c', 'c',    // cc
                          0x00, 0x00, 0x04,        // a: call_s 1, call_s 2, add, return
                          0x61, 0x62, 0x20, 0x3A,  //   (the final return_es is unreachable)
                          0x00, 0x00, 0x01, 0x3B,  // b
                          0x00, 0x00, 0x01, 0x3B}; // cc
  ASSERT_GE(unit.size(), expected.size());
  EXPECT_EQ(Bytes(unit.end() - static_cast<std::ptrdiff_t>(expected.size()), unit.end()), expected);
  std::remove(source.c_str());
  std::remove(output.c_str());
}

} // namespace
