// The symbol table: interning, declarations per name space, the variable
// limits of a function, error identifiers, functions used before their
// declaration, the SYMBOL TABLE dump and the name table of the debug file.
#include "strtable.h"

#include "codegen.h"
#include "errorhlr.h"
#include "exprsion.h"
#include "identexp.h"
#include "mempool.h"
#include "wmllex.h"
#include "wrapper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

std::string errorLine(ErrorCode code) {
  return " (" + std::to_string(getLineNumber()) + ") Error: " + errorMessageText(code) + "\n";
}

// Counts the pending error, as the parser's error rule would, hiding what it prints.
void countPendingError() {
  CaptureStderr();
  reportSyntaxError(SyntaxErrorInStatement);
  GetCapturedStderr();
}

// Ends the current function, whatever an earlier test left open.
void endFunction() {
  setErrorLimit(1000);
  if (isErrorPending())
    countPendingError();
  dropFunctionVariables();
  resetVariableCounter();
  resetDebugLists();
}

IdentifierKey variable(const std::string &text) { return {internName(text.c_str()), FL_VARIABLE}; }
IdentifierKey function(const std::string &text) { return {internName(text.c_str()), FL_FUNCTION}; }

IdentifierRecord *declareCapturing(IdentifierKey key, std::string *messages) {
  CaptureStderr();
  IdentifierRecord *record = declareIdentifier(key);
  *messages = GetCapturedStderr();
  return record;
}

// For the facts that need the whole table to themselves or no error counted
// yet: the child re-runs this test alone, and a broken `require` ends it.
void inFreshProcess(void (*body)()) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        body();
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

void require(bool condition, const std::string &what) {
  if (condition)
    return;
  std::fprintf(stderr, "broken: %s\n", what.c_str());
  std::exit(1);
}

TEST(NameTable, TextsKeepTheirIdsAndNewTextsTakeTheNextOnes) {
  int count = numberOfInternedNames();
  std::string longName(1500, 'q');  // several 512-byte steps at once
  NameId longId = internName(longName.c_str());
  std::vector<NameId> ids;
  for (int i = 0; i < 3000; ++i)
    ids.push_back(internName(("nt_" + std::to_string(i)).c_str()));
  EXPECT_EQ(numberOfInternedNames(), count + 3001);
  EXPECT_EQ(getNameText(longId), longName);
  for (int i = 0; i < 3000; ++i) {
    ASSERT_EQ(ids[i], longId + 1 + i);
    ASSERT_EQ(getNameText(ids[i]), "nt_" + std::to_string(i));
    ASSERT_EQ(internName(("nt_" + std::to_string(i)).c_str()), ids[i]);
  }
}

TEST(NameTable, TemporariesTakeIdsButHaveNoTextAndAreNotCounted) {
  NameId before = internName("nt_before_temporary");
  int count = numberOfInternedNames();
  NameId temporary = newTemporaryNameId();
  NameId after = internName("nt_after_temporary");
  EXPECT_EQ(temporary, before + 1);
  EXPECT_EQ(after, temporary + 1);
  EXPECT_EQ(numberOfInternedNames(), count + 1);
  EXPECT_EQ(getNameText(temporary), nullptr);
  CaptureStdout();
  printName(temporary);
  printName(after);
  EXPECT_EQ(GetCapturedStdout(), "tmp_mn_" + std::to_string(temporary) + "__ nt_after_temporary");
}

TEST(Declarations, VariablesAreNumberedPerFunctionAndMayBeReusedByTheNext) {
  endFunction();
  IdentifierRecord *a = declareIdentifier(variable("dv_a"));
  IdentifierRecord *b = declareIdentifier(variable("dv_b"));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(getIdentifierIndex(b), 1u);
  EXPECT_EQ(b->state, declaredVariable);
  EXPECT_EQ(findIdentifier(variable("dv_b")), b);
  endFunction();
  EXPECT_EQ(findIdentifier(variable("dv_b")), nullptr);
  std::string messages;
  IdentifierRecord *again = declareCapturing(variable("dv_b"), &messages);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(getIdentifierIndex(again), 0u);
  EXPECT_EQ(messages, "");
  endFunction();
}

TEST(Declarations, AVarRedeclaringAParameterIsRefused) {
  endFunction();
  IdentifierRecord *parameter = declareIdentifier(variable("dr_param"));
  ASSERT_NE(parameter, nullptr);
  std::string messages;
  EXPECT_EQ(declareCapturing(variable("dr_param"), &messages), nullptr);
  EXPECT_EQ(messages, errorLine(IdentifierRedeclared));
  EXPECT_EQ(findIdentifier(variable("dr_param")), parameter);
  EXPECT_EQ(numberOfFunctionVariables(), 1);  // the refused one takes no index
  endFunction();
}

TEST(Declarations, AVariableAFunctionAndAUrlMayShareANameButEachOnce) {
  endFunction();
  IdentifierRecord *fn = declareIdentifier(function("ds_shared"));
  IdentifierRecord *var = declareIdentifier(variable("ds_shared"));
  IdentifierRecord *url = declareIdentifier({internName("ds_shared"), FL_PRAGMA});
  ASSERT_TRUE(fn && var && url);
  EXPECT_EQ(url->subSpace, PragmaSubSpace);
  EXPECT_EQ(findIdentifier(variable("ds_shared")), var);
  endFunction();
  EXPECT_EQ(findIdentifier(function("ds_shared")), fn);
  EXPECT_EQ(findIdentifier({internName("ds_shared"), FL_PRAGMA}), url);
  EXPECT_EQ(findIdentifier(variable("ds_shared")), nullptr);
  for (std::uint32_t space : {FL_FUNCTION, FL_PRAGMA}) {
    std::string messages;
    EXPECT_EQ(declareCapturing({internName("ds_shared"), space}, &messages), nullptr);
    EXPECT_EQ(messages, errorLine(IdentifierRedeclared));
    countPendingError();
  }
}

TEST(Declarations, ANewFunctionTakesTheNextIndexAndABackEndRecord) {
  int before = numberOfDeclaredFunctions();
  IdentifierRecord *f = declareIdentifier(function("df_named"));
  NameId temporary = newTemporaryNameId();
  IdentifierRecord *placeholder = declareIdentifier({temporary, FL_FUNCTION});
  ASSERT_TRUE(f && placeholder);
  EXPECT_EQ(getIdentifierIndex(f), static_cast<std::uint32_t>(before));
  EXPECT_EQ(getIdentifierIndex(placeholder), static_cast<std::uint32_t>(before + 1));
  for (IdentifierRecord *record : {f, placeholder}) {
    EXPECT_EQ(record->subSpace, FunctionSubSpace);
    EXPECT_EQ(record->subSpaceData.parameterCount, -1);
    EXPECT_EQ(record->state, 0u);
    EXPECT_EQ(record->defined, 0u);
    int kept = 0;
    for (const FunctionRecord *r = functionList(); r; r = r->next)
      kept += r->identifier == record && r->functionIndex == getIdentifierIndex(record);
    EXPECT_EQ(kept, 1);
  }
  EXPECT_EQ(findIdentifier({temporary, FL_FUNCTION}), placeholder);
  EXPECT_EQ(findIdentifier({temporary, FL_VARIABLE}), nullptr);
}

// A call holds the function index in one byte: the 257th function name is
// refused, once, and a placeholder for a broken header is never refused.
TEST(DeclarationsDeathTest, TheFunctionIndexStopsAt255) {
  EXPECT_EXIT(
      {
        while (numberOfDeclaredFunctions() < 256)
          declareIdentifier(function("fl_" + std::to_string(numberOfDeclaredFunctions())));
        std::fputs("256 declared\n", stderr);
        if (!declareIdentifier(function("fl_one_too_many")) &&
            declareIdentifier({newTemporaryNameId(), FL_FUNCTION}))
          std::exit(0);
        std::exit(1);
      },
      testing::ExitedWithCode(0),
      "256 declared\n \\([0-9]+\\) Error: Number of functions exceed maximum limit\n$");
}

// One function: its parameters, declared before its definition opens, then
// its locals. Only the last declaration may break a limit.
struct LimitCase {
  const char *name;
  int parameters;
  int locals;
  bool lastRefused;
  ErrorCode error;
};

const LimitCase limitCases[] = {
    {"255 parameters", 255, 0, false, {}},
    {"256 parameters", 256, 0, true, TooManyParameters},
    {"255 parameters and 1 local", 255, 1, false, {}},
    {"255 parameters and 2 locals", 255, 2, true, TooManyVariables},
    {"255 locals", 0, 255, false, {}},
    {"256 locals", 0, 256, true, TooManyLocals},
    {"1 parameter and 255 locals", 1, 255, false, {}},
    {"1 parameter and 256 locals", 1, 256, true, TooManyLocals},
    {"2 parameters and 255 locals", 2, 255, true, TooManyVariables},
};

TEST(VariableLimits, AtAndPastEachLimitOncePerFunction) {
  IdentifierRecord *definition = findIdentifier(function("vl_function"));
  if (!definition)
    definition = declareIdentifier(function("vl_function"));
  for (const LimitCase &c : limitCases) {
    SCOPED_TRACE(c.name);
    endFunction();
    int total = c.parameters + c.locals;
    std::string messages;
    for (int i = 0; i < total; ++i) {
      if (i == c.parameters) {
        definition->subSpaceData.parameterCount = c.parameters;
        setOpenFunction(definition);
      }
      std::string text = (i < c.parameters ? "vl_p" : "vl_l") + std::to_string(i);
      IdentifierRecord *record = declareCapturing(variable(text), &messages);
      if (i == total - 1 && c.lastRefused) {
        EXPECT_EQ(record, nullptr);
        EXPECT_EQ(messages, errorLine(c.error));
      } else {
        ASSERT_NE(record, nullptr) << text;
        ASSERT_EQ(messages, "") << text;
      }
    }
    // The refused variable is still known, and the rest of the function goes unchecked.
    EXPECT_EQ(numberOfFunctionVariables(), total);
    if (c.lastRefused) {
      countPendingError();
      EXPECT_NE(declareCapturing(variable("vl_more"), &messages), nullptr);
      EXPECT_EQ(messages, "");
    }
  }
  endFunction();
}

TEST(IdentifierExpressions, ADeclaredVariableBecomesALeafOnItsRecord) {
  endFunction();
  declareIdentifier(variable("ie_first"));
  IdentifierRecord *record = declareIdentifier(variable("ie_second"));
  Expression *leaf = makeVariableExpression(internName("ie_second"));
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(leaf->exprOperator, IdentifierLeaf);
  EXPECT_EQ(leaf->identifier.index, 1u);
  EXPECT_EQ(leaf->identifier.record, record);
  releaseExpression(leaf);
  endFunction();
}

TEST(IdentifierExpressions, AnUndeclaredNameIsReportedOncePerFunction) {
  endFunction();
  NameId name = internName("ie_undeclared");
  CaptureStderr();
  EXPECT_EQ(makeVariableExpression(name), nullptr);
  EXPECT_EQ(GetCapturedStderr(), errorLine(IdentifierNotDeclared));
  IdentifierRecord *record = findIdentifier({name, FL_VARIABLE});
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->state, errorIdentifier);
  EXPECT_EQ(numberOfFunctionVariables(), 1);  // it takes an index like any variable
  countPendingError();

  // A second use fails too; its error is counted without a message.
  int errors = errorCountSoFar();
  CaptureStderr();
  EXPECT_EQ(makeVariableExpression(name), nullptr);
  reportSyntaxError(SyntaxErrorInStatement);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(errorCountSoFar(), errors + 1);

  // A late declaration fails silently; the name is an ordinary variable from then on.
  CaptureStderr();
  EXPECT_EQ(declareIdentifier({name, FL_VARIABLE}), nullptr);
  reportSyntaxError(SyntaxErrorInVariableDeclaration);
  EXPECT_EQ(GetCapturedStderr(), "");
  Expression *leaf = makeVariableExpression(name);
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(leaf->identifier.record, record);
  releaseExpression(leaf);
  endFunction();

  CaptureStderr();
  EXPECT_EQ(makeVariableExpression(name), nullptr);
  EXPECT_EQ(GetCapturedStderr(), errorLine(IdentifierNotDeclared));
  endFunction();
}

TEST(IdentifierExpressions, AFunctionUsedBeforeItsDeclarationIsWarnedAboutOnce) {
  NameId name = internName("ie_called_early");
  int functions = numberOfDeclaredFunctions();
  CaptureStderr();
  Expression *first = makeFunctionExpression(name);
  Expression *second = makeFunctionExpression(name);
  EXPECT_EQ(GetCapturedStderr(), " (" + std::to_string(getLineNumber()) +
                                     ") Warning: Function is used before declaration\n");
  EXPECT_FALSE(isErrorPending());
  IdentifierRecord *record = findIdentifier({name, FL_FUNCTION});
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(getIdentifierIndex(record), static_cast<std::uint32_t>(functions));
  EXPECT_EQ(numberOfDeclaredFunctions(), functions + 1);
  for (Expression *leaf : {first, second}) {
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(leaf->exprOperator, IdentifierLeaf);
    EXPECT_EQ(leaf->identifier.record, record);
    EXPECT_EQ(leaf->identifier.index, getIdentifierIndex(record));
    releaseExpression(leaf);
  }
}

// The dump lines whose name is one of the given texts, in dump order.
std::vector<std::string> dumpLinesFor(const std::vector<std::string> &names) {
  CaptureStdout();
  printSymbolTable();
  std::string dump = GetCapturedStdout();
  EXPECT_EQ(dump.rfind("\n SYMBOL TABLE \n", 0), 0u);
  EXPECT_EQ(dump.find("tmp_mn_"), std::string::npos);
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < dump.size();) {
    std::size_t end = std::min(dump.find('\n', start), dump.size() - 1);
    std::string line = dump.substr(start, end - start + 1);
    start = end + 1;
    for (const std::string &name : names)
      if (line.rfind(name + " ", 0) == 0)
        lines.push_back(line);
  }
  return lines;
}

unsigned bucketOf(const std::string &text) { return hashBytes(text.data(), text.size()) % 1021; }

TEST(SymbolTableDump, ListsEachRecordNewestFirstAndVariablesOnlyInTheirFunction) {
  endFunction();
  if (!findIdentifier(function("sd_helper")))
    declareIdentifier(function("sd_helper"));
  declareIdentifier(variable("sd_helper"));
  declareIdentifier({newTemporaryNameId(), FL_FUNCTION});
  std::vector<std::string> expected = {"sd_helper Local Variable \n", "sd_helper Function \n"};
  EXPECT_EQ(dumpLinesFor({"sd_helper"}), expected);
  endFunction();
  expected = {"sd_helper Function \n"};
  EXPECT_EQ(dumpLinesFor({"sd_helper"}), expected);
}

TEST(SymbolTableDump, NamesSharingABucketAppearInDescendingTextOrder) {
  endFunction();
  std::string low = "sc_0", high;
  for (int i = 1; high.empty(); ++i)
    if (bucketOf("sc_" + std::to_string(i)) == bucketOf(low))
      high = "sc_" + std::to_string(i);
  ASSERT_LT(low, high);
  declareIdentifier(variable(low));
  declareIdentifier(variable(high));
  std::vector<std::string> expected = {high + " Local Variable \n", low + " Local Variable \n"};
  EXPECT_EQ(dumpLinesFor({low, high}), expected);
  endFunction();
}

TEST(SymbolTableDump, AFreshTableAfterDestructionHoldsOnlyItsOwnNames) {
  inFreshProcess([] {
    declareIdentifier({internName("before"), FL_VARIABLE});
    declareIdentifier({internName("before"), FL_FUNCTION});
    destroySymbolTable();
    require(numberOfInternedNames() == 0, "no names left");
    require(internName("a") == 0, "ids restart at 0");
    declareIdentifier({0, FL_VARIABLE});
    CaptureStdout();
    printSymbolTable();
    std::string dump = GetCapturedStdout();
    require(dump == "\n SYMBOL TABLE \na Local Variable \n", "dump: " + dump);
  });
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
    require(writtenNameTable() == std::vector<std::uint8_t>{0x02, 'a', 0, 'b', 'c', 0},
            "two names");
    for (int i = 2; i < 128; ++i)
      internName(("n" + std::to_string(i)).c_str());
    std::vector<std::uint8_t> bytes = writtenNameTable();
    require(bytes.size() > 4 && bytes[0] == 0x81 && bytes[1] == 0x00 && bytes[2] == 'a',
            "128 names: the count takes two bytes");
  });
}

TEST(DebugLists, KeepParametersAndLocalsApartInDeclarationOrderUntilAnError) {
  inFreshProcess([] {
    char program[] = "tavok", option[] = "-g", input[] = "/dev/null", output[] = "unused.wmlsc";
    char *arguments[] = {program, option, input, output};
    processCommandLine(4, arguments);
    require(isDebugInfoEnabled(), "-g is on");
    const char *texts[] = {"p0", "p1", "l0", "l1"};
    for (int i = 0; i < 4; ++i) {
      IdentifierRecord *record = declareIdentifier(variable(texts[i]));
      record->subSpaceData.objectData.variableType = i < 2 ? Parameter : LocalVariable;
      recordVariableDebugInfo(record);
    }
    const VariableDebugEntry *parameter = getParameterDebugList();
    const VariableDebugEntry *local = getLocalDebugList();
    require(parameter && parameter->name == internName("p0") && parameter->variableIndex == 0,
            "first parameter");
    require(parameter->next && parameter->next->variableIndex == 1 && !parameter->next->next,
            "second parameter ends the list");
    require(local && local->name == internName("l0") && local->variableIndex == 2, "first local");
    require(local->next && local->next->variableIndex == 3 && !local->next->next,
            "second local ends the list");
    resetDebugLists();
    require(!getParameterDebugList() && !getLocalDebugList(), "lists reset");

    markError();
    countPendingError();
    IdentifierRecord *late = declareIdentifier(variable("late"));
    recordVariableDebugInfo(late);
    require(!getLocalDebugList(), "no entry once an error was counted");
  });
}

} // namespace
