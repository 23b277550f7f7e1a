// The pragma pool: access control states, user-agent records in source
// order, the pragma count and its limit, the pool's bytes and its printout.
#include "pragma.h"

#include "codegen.h"
#include "errorhlr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

using Bytes = std::vector<std::uint8_t>;

void settlePendingError() {
  if (!isErrorPending())
    return;
  CaptureStderr();
  reportSyntaxError(SyntaxErrorInPragma);
  GetCapturedStderr();
}

// A unit without pragmas, and nothing waiting in the output buffer.
void noPragmas() {
  setErrorLimit(1000);
  settlePendingError();
  destroyPragmas();
  initPragmas();
  discardByteBuffer();
  freeByteBuffer(takePragmaPoolBytes());
}

Bytes writtenPool() {
  writePragmaPool();
  ByteBuffer *buffer = takePragmaPoolBytes();
  Bytes bytes = buffer ? Bytes(buffer->bytes, buffer->bytes + buffer->size) : Bytes{};
  freeByteBuffer(buffer);
  return bytes;
}

std::string printout() {
  CaptureStdout();
  printPragmaPool();
  return GetCapturedStdout();
}

TEST(PragmaPool, WithoutPragmasIsTheSingleByteZero) {
  noPragmas();
  EXPECT_EQ(writtenPool(), (Bytes{0x00}));
  EXPECT_EQ(printout(), " PRAGMA POOL \nNumber Of Pragmas:  0\n\n");
}

TEST(PragmaPool, DomainAndPathCountTwoAndWriteDomainFirst) {
  noPragmas();
  rememberAccessDomain(3);
  EXPECT_EQ(setAccessDomainAndPath(getRememberedAccessDomain(), 200), 1);
  EXPECT_EQ(numberOfPragmas(), 2);
  EXPECT_EQ(writtenPool(), (Bytes{0x02, 0x00, 0x03, 0x01, 0x81, 0x48}));
  EXPECT_EQ(printout(),
            " PRAGMA POOL \n"
            "Number Of Pragmas:  2\n"
            "Access Domain:  3\n"
            "Access Path:  200\n"
            "\n");
}

TEST(PragmaPool, EachSingleAccessFormCountsOne) {
  noPragmas();
  EXPECT_EQ(setAccessPath(5), 1);
  EXPECT_EQ(writtenPool(), (Bytes{0x01, 0x01, 0x05}));
  EXPECT_EQ(printout(), " PRAGMA POOL \nNumber Of Pragmas:  1\nAccess Path:  5\n\n");
  noPragmas();
  EXPECT_EQ(setAccessDomain(6), 1);
  EXPECT_EQ(writtenPool(), (Bytes{0x01, 0x00, 0x06}));
  EXPECT_EQ(printout(), " PRAGMA POOL \nNumber Of Pragmas:  1\nAccess Domain:  6\n\n");
}

TEST(PragmaPool, UserAgentPropertiesFollowAccessInSourceOrder) {
  noPragmas();
  EXPECT_EQ(addUserAgentPropertyWithScheme(1, 2, 3), 1);
  EXPECT_EQ(addUserAgentProperty(4, 5), 1);
  EXPECT_EQ(setAccessDomain(0), 1);  // declared last, written first
  EXPECT_EQ(numberOfPragmas(), 3);
  EXPECT_EQ(writtenPool(),
            (Bytes{0x03, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03, 0x02, 0x04, 0x05}));
  EXPECT_EQ(printout(),
            " PRAGMA POOL \n"
            "Number Of Pragmas:  3\n"
            "Access Domain:  0\n"
            "User Agent Property and Scheme:  1  2  3  \n"
            "User Agent Property:  4  5\n"
            "\n");
}

TEST(AccessControl, ASecondAccessPragmaIsRefusedAndTheFirstStays) {
  const struct {
    const char *name;
    int (*second)();
  } secondForms[] = {
      {"domain", [] { return setAccessDomain(9); }},
      {"path", [] { return setAccessPath(9); }},
      {"domain and path", [] { return setAccessDomainAndPath(9, 9); }},
  };
  for (const auto &form : secondForms) {
    SCOPED_TRACE(form.name);
    noPragmas();
    EXPECT_EQ(setAccessPath(7), 1);
    CaptureStderr();
    EXPECT_EQ(form.second(), 0);
    const std::string messages = GetCapturedStderr();
    EXPECT_NE(messages.find("Access Control is already defined"), std::string::npos) << messages;
    settlePendingError();
    EXPECT_EQ(numberOfPragmas(), 1);
    EXPECT_EQ(writtenPool(), (Bytes{0x01, 0x01, 0x07}));
  }
}

TEST(PragmaCount, The65536thPragmaIsReportedOnceAndLaterOnesFailSilently) {
  noPragmas();
  for (int i = 0; i < 65534; ++i)
    ASSERT_EQ(addUserAgentProperty(0, 0), 1);
  EXPECT_EQ(setAccessPath(1), 1);  // the 65535th
  CaptureStderr();
  EXPECT_EQ(addUserAgentProperty(0, 0), 0);
  EXPECT_EQ(addUserAgentProperty(0, 0), 0);
  const std::string messages = GetCapturedStderr();
  settlePendingError();
  EXPECT_NE(messages.find("Number of pragms is out of range"), std::string::npos) << messages;
  EXPECT_EQ(messages.find("Number of pragms is out of range"),
            messages.rfind("Number of pragms is out of range"));
  noPragmas();
}

TEST(PragmaCount, TheCombinedFormAtTheLimitFailsOnItsSecondCount) {
  noPragmas();
  for (int i = 0; i < 65534; ++i)
    ASSERT_EQ(addUserAgentProperty(0, 0), 1);
  CaptureStderr();
  EXPECT_EQ(setAccessDomainAndPath(1, 2), 0);  // 65535 and 65536
  const std::string messages = GetCapturedStderr();
  settlePendingError();
  EXPECT_NE(messages.find("Number of pragms is out of range"), std::string::npos) << messages;
  noPragmas();
}

TEST(PragmaRecords, DestroyLeavesAUnitWithoutPragmas) {
  noPragmas();
  addUserAgentProperty(1, 1);
  setAccessDomain(2);
  destroyPragmas();
  EXPECT_EQ(numberOfPragmas(), 0);
  EXPECT_EQ(writtenPool(), (Bytes{0x00}));
  EXPECT_EQ(setAccessPath(3), 1);  // access control is open again
}

} // namespace
