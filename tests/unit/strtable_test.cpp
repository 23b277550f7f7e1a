// The symbol table where whole compilations do not reach: name-table growth,
// both sides of each variable limit, error identifiers across functions,
// names shared by the three name spaces, dump order within a hash chain, the
// name count of the debug file and the function limit.
#include "strtable.h"

#include "codegen.h"
#include "errorhlr.h"
#include "exprsion.h"
#include "identexp.h"
#include "mempool.h"
#include "wmllex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

template <class Body> std::string stderrOf(Body body) {
  testing::internal::CaptureStderr();
  body();
  return testing::internal::GetCapturedStderr();
}

std::string errorLine(ErrorCode code) {
  return " (" + std::to_string(getLineNumber()) + ") Error: " + errorMessageText(code) + "\n";
}

// Counts the pending error, as the parser's error rule would, hiding what it prints.
void countPendingError() {
  stderrOf([] { reportSyntaxError(SyntaxErrorInStatement); });
}

// Ends the current function, whatever an earlier test left open.
void endFunction() {
  setErrorLimit(1000);
  if (isErrorPending())
    countPendingError();
  dropFunctionVariables();
  resetVariableCounter();
}

IdentifierKey variable(const std::string &text) { return {internName(text.c_str()), FL_VARIABLE}; }
IdentifierKey function(const std::string &text) { return {internName(text.c_str()), FL_FUNCTION}; }

// For facts that need the whole table to themselves: the child re-runs this
// test alone, and a broken `require` ends it with its reason.
void inFreshProcess(void (*body)()) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT({ body(); std::exit(0); }, testing::ExitedWithCode(0), "");
}

void require(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "broken: %s\n", what);
    std::exit(1);
  }
}

// Texts must survive the character area's growth (several 512-byte steps at
// once for the long name); a temporary takes an id from the same counter.
TEST(NameTable, IdsAndTextsSurviveGrowthAndTemporariesHaveNoText) {
  const int count = numberOfInternedNames();
  const std::string longName(1500, 'q');
  const NameId longId = internName(longName.c_str());
  const NameId temporary = newTemporaryNameId();
  for (int i = 0; i < 3000; ++i)
    ASSERT_EQ(internName(("nt_" + std::to_string(i)).c_str()), longId + 2 + i);
  EXPECT_EQ(numberOfInternedNames(), count + 3001);
  EXPECT_EQ(getNameText(longId), longName);
  EXPECT_EQ(getNameText(temporary), nullptr);
  for (int i = 0; i < 3000; ++i) {
    ASSERT_EQ(getNameText(longId + 2 + i), "nt_" + std::to_string(i));
    ASSERT_EQ(internName(("nt_" + std::to_string(i)).c_str()), longId + 2 + i);
  }
  testing::internal::CaptureStdout();
  printName(temporary);
  printName(longId + 2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "tmp_mn_" + std::to_string(temporary) + "__ nt_0");
}

// Interning compares texts only when their hash and length agree, and texts
// of up to eight bytes not even then: texts of one hash and one length, and
// texts that begin one another, each keep an id of their own, also when
// given without their NUL.
TEST(NameTable, TextsOfOneHashOrOneBeginningKeepTheirOwnIds) {
  const std::vector<std::vector<std::string>> groups = {
      {"a1234567b", "b1234567a", "p1234567s", "s1234567p"},
      {"hs_a", "hs_ab", "hs_abc", "hs_"},
      {"hs_12345", "hs_123456", "hs_1234567", "hs_1234"},
  };
  for (const auto &group : groups) {
    SCOPED_TRACE(group.front());
    std::vector<NameId> ids;
    for (const std::string &text : group)
      ids.push_back(internName(text.c_str()));
    for (std::size_t i = 0; i < group.size(); ++i) {
      EXPECT_EQ(getNameText(ids[i]), group[i]);
      const std::string padded = group[i] + "tail";
      EXPECT_EQ(internNameText(std::string_view(padded).substr(0, group[i].size()), nameHashOf(group[i])),
                ids[i]);
      for (std::size_t j = 0; j < i; ++j)
        EXPECT_NE(ids[i], ids[j]) << group[j];
    }
  }
  // Past eight bytes the first byte comes round again onto the ninth.
  EXPECT_EQ(nameHashOf("a1234567b"), nameHashOf("b1234567a"));
  EXPECT_EQ(nameHashOf("a1234567b"), nameHashOf("p1234567s"));
}

// Names are found by id directly; the temporaries in between have no text,
// wherever the id table grows.
TEST(NameTable, TemporariesBetweenNamesHaveNoText) {
  std::vector<std::pair<NameId, NameId>> pairs;
  for (int i = 0; i < 2500; ++i) {
    const NameId temporary = newTemporaryNameId();
    pairs.emplace_back(temporary, internName(("gap_" + std::to_string(i)).c_str()));
  }
  for (int i = 0; i < 2500; ++i) {
    ASSERT_EQ(getNameText(pairs[i].first), nullptr) << i;
    ASSERT_EQ(getNameText(pairs[i].second), "gap_" + std::to_string(i)) << i;
    ASSERT_EQ(findIdentifier({pairs[i].first, FL_VARIABLE}), nullptr);
  }
  EXPECT_EQ(getNameText(newTemporaryNameId() + 100000), nullptr);
}

// The generation stays while names and temporaries are added, and moves on
// with every destruction, when the same ids come back for other texts.
TEST(NameTable, GenerationMovesOnOnlyWhenIdsAreHandedOutAfresh) {
  destroySymbolTable();
  const std::uint32_t first = nameTableGeneration();
  const NameId alpha = internName("alpha");
  newTemporaryNameId();
  internName("beta");
  EXPECT_EQ(nameTableGeneration(), first);
  destroySymbolTable();
  const std::uint32_t second = nameTableGeneration();
  EXPECT_NE(second, first);
  EXPECT_EQ(internName("gamma"), alpha);
  EXPECT_EQ(nameTableGeneration(), second);
  destroySymbolTable();
  EXPECT_NE(nameTableGeneration(), second);
  EXPECT_NE(nameTableGeneration(), first);
}

// One function: its parameters, declared before its definition opens, then
// its locals. Only the last declaration may break a limit; after the first
// excess the rest of the function goes unchecked.
TEST(VariableLimits, AtAndPastEachLimitOncePerFunction) {
  struct LimitCase { int parameters, locals; bool lastRefused; ErrorCode error; };
  const LimitCase limitCases[] = {
      {255, 0, false, {}}, {256, 0, true, TooManyParameters}, {255, 1, false, {}},
      {255, 2, true, TooManyVariables}, {0, 255, false, {}}, {0, 256, true, TooManyLocals},
      {1, 255, false, {}}, {1, 256, true, TooManyLocals}, {2, 255, true, TooManyVariables},
  };
  IdentifierRecord *definition = findIdentifier(function("vl_function"));
  if (!definition)
    definition = declareIdentifier(function("vl_function"));
  for (const LimitCase &c : limitCases) {
    SCOPED_TRACE(std::to_string(c.parameters) + " parameters, " + std::to_string(c.locals) + " locals");
    endFunction();
    const int total = c.parameters + c.locals;
    for (int i = 0; i < total; ++i) {
      if (i == c.parameters) {
        definition->subSpaceData.parameterCount = c.parameters;
        setOpenFunction(definition);
      }
      IdentifierRecord *record = nullptr;
      const std::string messages = stderrOf([&] { record = declareIdentifier(variable("vl_" + std::to_string(i))); });
      const bool refused = i == total - 1 && c.lastRefused;
      ASSERT_EQ(record == nullptr, refused) << i;
      ASSERT_EQ(messages, refused ? errorLine(c.error) : "") << i;
    }
    EXPECT_EQ(numberOfFunctionVariables(), total);  // the refused variable is still known
    if (c.lastRefused) {
      countPendingError();
      EXPECT_EQ(stderrOf([] { EXPECT_NE(declareIdentifier(variable("vl_more")), nullptr); }), "");
    }
  }
  endFunction();
}

TEST(ErrorIdentifiers, AnUndeclaredNameIsReportedOncePerFunctionAndMayNotBeDeclaredLate) {
  endFunction();
  const NameId name = internName("ie_undeclared");
  EXPECT_EQ(stderrOf([&] { EXPECT_EQ(makeVariableExpression(name), nullptr); }), errorLine(IdentifierNotDeclared));
  IdentifierRecord *record = findIdentifier({name, FL_VARIABLE});
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->state, errorIdentifier);
  EXPECT_EQ(numberOfFunctionVariables(), 1);  // it takes an index like any variable
  countPendingError();

  // A second use and a late declaration fail too; each is counted without a message.
  const int errors = errorCountSoFar();
  EXPECT_EQ(stderrOf([&] {
              EXPECT_EQ(makeVariableExpression(name), nullptr);
              reportSyntaxError(SyntaxErrorInStatement);
              EXPECT_EQ(declareIdentifier({name, FL_VARIABLE}), nullptr);
              reportSyntaxError(SyntaxErrorInVariableDeclaration);
            }),
            "");
  EXPECT_EQ(errorCountSoFar(), errors + 2);
  // From then on the name is an ordinary variable of this function.
  Expression *leaf = makeVariableExpression(name);
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(leaf->identifier.record, record);
  releaseExpression(leaf);
  endFunction();
  EXPECT_EQ(stderrOf([&] { EXPECT_EQ(makeVariableExpression(name), nullptr); }), errorLine(IdentifierNotDeclared));
  endFunction();
}

TEST(NameSpaces, ANameIsDeclaredOncePerSpaceAndARefusedVariableTakesNoIndex) {
  endFunction();
  IdentifierRecord *fn = declareIdentifier(function("ns_shared"));
  IdentifierRecord *url = declareIdentifier({internName("ns_shared"), FL_PRAGMA});
  ASSERT_TRUE(fn && url && declareIdentifier(variable("ns_shared")));
  for (std::uint32_t space : {FL_VARIABLE, FL_FUNCTION, FL_PRAGMA}) {
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(declareIdentifier({internName("ns_shared"), space}), nullptr); }),
              errorLine(IdentifierRedeclared));
    countPendingError();
  }
  EXPECT_EQ(numberOfFunctionVariables(), 1);
  endFunction();
  EXPECT_EQ(findIdentifier(function("ns_shared")), fn);
  EXPECT_EQ(findIdentifier({internName("ns_shared"), FL_PRAGMA}), url);
  EXPECT_EQ(findIdentifier(variable("ns_shared")), nullptr);
}

unsigned bucketOf(const std::string &text) { return hashBytes(text.data(), text.size()) % 1021; }

TEST(SymbolTableDump, NewestRecordFirstAndNamesOfABucketInDescendingOrder) {
  endFunction();
  std::string low = "sd_0", high;
  for (int i = 1; high.empty(); ++i)
    if (bucketOf("sd_" + std::to_string(i)) == bucketOf(low))
      high = "sd_" + std::to_string(i);
  ASSERT_LT(low, high);
  declareIdentifier(function(low));
  declareIdentifier(variable(low));
  declareIdentifier(variable(high));
  declareIdentifier({newTemporaryNameId(), FL_FUNCTION});
  testing::internal::CaptureStdout();
  printSymbolTable();
  const std::string dump = testing::internal::GetCapturedStdout();
  EXPECT_EQ(dump.find("tmp_mn_"), std::string::npos);  // placeholders are never dumped
  const std::string lines = high + " Local Variable \n" + low + " Local Variable \n" + low + " Function \n";
  EXPECT_NE(dump.find(lines), std::string::npos) << dump;
  endFunction();
}

std::vector<std::uint8_t> writtenNameTable() {
  discardByteBuffer();
  writeNameTable();
  ByteBuffer *buffer = takeByteBuffer();
  std::vector<std::uint8_t> bytes(buffer->bytes, buffer->bytes + buffer->size);
  freeByteBuffer(buffer);
  return bytes;
}

TEST(NameTableOutput, CountThenEveryTextWithItsNulInIdOrder) {
  inFreshProcess([] {
    internName("a");
    newTemporaryNameId();  // takes an id, writes nothing
    internName("bc");
    require(writtenNameTable() == std::vector<std::uint8_t>{0x02, 'a', 0, 'b', 'c', 0}, "two names");
    for (int i = 2; i < 127; ++i)
      internName(("n" + std::to_string(i)).c_str());
    require(writtenNameTable()[0] == 127, "127 names: one byte");
    internName("n127");
    const std::vector<std::uint8_t> bytes = writtenNameTable();
    require(bytes[0] == 0x81 && bytes[1] == 0x00 && bytes[2] == 'a', "128 names: two bytes");
  });
}

// A call holds the function index in one byte: the 257th function name is
// refused, but a placeholder for a broken header never is.
TEST(FunctionLimit, TheIndexStopsAt255ButPlaceholdersAreAlwaysDeclared) {
  inFreshProcess([] {
    while (numberOfDeclaredFunctions() < 256)
      declareIdentifier(function("fl_" + std::to_string(numberOfDeclaredFunctions())));
    require(!declareIdentifier(function("fl_one_too_many")), "257th name refused");
    require(declareIdentifier({newTemporaryNameId(), FL_FUNCTION}), "placeholder declared");
  });
}

} // namespace
