// Operator expressions and calls: folding of unary plus and minus over
// constants, the range rule of the literal 2147483648, the standard library
// tables, and the checks of local, external and library calls.
#include "binopexp.h"
#include "constpool.h"
#include "errorhlr.h"
#include "identexp.h"
#include "wmllex.h"

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// Counts whatever is pending, so that the next report prints its message.
void settlePendingError() {
  setErrorLimit(1000);
  if (isErrorPending()) {
    CaptureStderr();
    reportSyntaxError(SyntaxErrorInStatement);
    GetCapturedStderr();
  }
}

// What a build prints on the standard error stream.
std::string messagesOf(const std::function<void()> &build) {
  settlePendingError();
  setLineNumber(1);
  CaptureStderr();
  build();
  std::string printed = GetCapturedStderr();
  settlePendingError();
  return printed;
}

std::string errorLine(ErrorCode code) { return std::string(" (1) Error: ") + errorMessageText(code) + "\n"; }

Expression *integerConstant(std::int32_t value) {
  Expression *leaf = createExpression();
  leaf->exprOperator = ConstantLeaf;
  leaf->constant = ConstantDescriptor{.signParity = 0, .valueType = IntegerType,
                                      .constantType = ImmediateConstant,
                                      .value = static_cast<std::uint32_t>(value)};
  return leaf;
}

Expression *outOfRangeLiteral() { return integerLiteral("2147483648"); }

// A variable leaf without a symbol table entry: the builders only look at
// the operator.
Expression *variable() {
  Expression *leaf = createOperatorExpression(IdentifierLeaf);
  leaf->identifier = IdentifierLeafData{.index = 0, .record = nullptr};
  return leaf;
}

std::vector<Expression *> operandsOf(const Expression *node) {
  std::vector<Expression *> operands;
  for (ExpressionList *item = node->successorList; item; item = item->nextExpression)
    operands.push_back(item->expression);
  return operands;
}

// ---------------------------------------------------------------- folding

struct FoldCase {
  const char *source;
  ExpressionOperator op;
  std::function<Expression *()> operand;
  bool folds;
  ValueType type;
  std::uint32_t value;
  std::int32_t signParity;
};

TEST(Folding, UnaryPlusAndMinusOverConstants) {
  const FoldCase cases[] = {
      {"+true", UnaryPlus, [] { return immediateConstant(ImmediateCode::True); }, true, IntegerType, 1, 0},
      {"-true", UnaryMinus, [] { return immediateConstant(ImmediateCode::True); }, true, IntegerType,
       static_cast<std::uint32_t>(-1), 0},
      {"+false", UnaryPlus, [] { return immediateConstant(ImmediateCode::False); }, true, IntegerType, 0, 0},
      {"-false", UnaryMinus, [] { return immediateConstant(ImmediateCode::False); }, true, IntegerType, 0, 0},
      {"+7", UnaryPlus, [] { return integerConstant(7); }, true, IntegerType, 7, 0},
      {"-7", UnaryMinus, [] { return integerConstant(7); }, true, IntegerType, static_cast<std::uint32_t>(-7), 0},
      {"-0", UnaryMinus, [] { return integerConstant(0); }, true, IntegerType, 0, 0},
      {"+2147483648", UnaryPlus, outOfRangeLiteral, true, IntegerType, 0x80000000u, 1},
      {"-2147483648", UnaryMinus, outOfRangeLiteral, true, IntegerType, 0x80000000u, 2},
      {"-2.5", UnaryMinus, [] { return floatLiteral("2.5"); }, true, FloatType, std::bit_cast<std::uint32_t>(-2.5f), 0},
      {"+2.5", UnaryPlus, [] { return floatLiteral("2.5"); }, true, FloatType, std::bit_cast<std::uint32_t>(2.5f), 0},
      {"+\"abc\"", UnaryPlus, [] { return stringLiteral("abc"); }, false, StringType, 0, 0},
      {"-\"\"", UnaryMinus, [] { return stringLiteral(""); }, false, StringType, 0, 0},
      {"-invalid", UnaryMinus, [] { return immediateConstant(ImmediateCode::Invalid); }, false, InvalidType, 0, 0},
      {"-y", UnaryMinus, variable, false, IntegerType, 0, 0},
  };
  for (const FoldCase &c : cases) {
    SCOPED_TRACE(c.source);
    Expression *operand = c.operand();
    ASSERT_NE(operand, nullptr);
    Expression *result = buildUnaryExpression(c.op, operand);
    ASSERT_NE(result, nullptr);
    if (!c.folds) {
      EXPECT_EQ(result->exprOperator, c.op);
      EXPECT_EQ(operandsOf(result), std::vector<Expression *>{operand});
    } else {
      ASSERT_EQ(result->exprOperator, ConstantLeaf);
      EXPECT_EQ(result->constant.valueType, static_cast<std::uint32_t>(c.type));
      EXPECT_EQ(result->constant.constantType, static_cast<std::uint32_t>(ImmediateConstant));
      EXPECT_EQ(result->constant.value, c.value);
      if (c.type == IntegerType) {
        EXPECT_EQ(result->constant.signParity, c.signParity);
      }
      EXPECT_TRUE(isUnreferenced(result));
    }
    releaseExpression(result);
  }
}

TEST(Folding, NegatingTheMostNegativeIntegerIsRejected) {
  Expression *once = buildUnaryExpression(UnaryMinus, outOfRangeLiteral());
  Expression *twice = buildUnaryExpression(UnaryMinus, once);
  ASSERT_EQ(twice->exprOperator, ConstantLeaf);
  EXPECT_EQ(twice->constant.value, 0x80000000u);
  EXPECT_EQ(twice->constant.signParity, 3);
  EXPECT_EQ(messagesOf([&] { EXPECT_EQ(checkedExpression(twice), nullptr); }), errorLine(IntegerOutOfRange));
}

TEST(Folding, AssignmentOfANegatedVariableKeepsTheUnaryMinus) {
  Expression *negated = buildUnaryExpression(UnaryMinus, variable());
  Expression *assignment = buildAssignment(Assign, variable(), negated);
  ASSERT_NE(assignment, nullptr);
  EXPECT_EQ(assignment->exprOperator, Assign);
  std::vector<Expression *> operands = operandsOf(assignment);
  ASSERT_EQ(operands.size(), 2u);
  EXPECT_EQ(operands[0]->exprOperator, IdentifierLeaf);
  EXPECT_EQ(operands[1], negated);
  EXPECT_EQ(negated->exprOperator, UnaryMinus);
  releaseExpression(assignment);
}

// ---------------------------------------------------------------- range rule

TEST(IntegerRange, TheLiteral2147483648IsUsableOnlyNegated) {
  Expression *negated = buildUnaryExpression(UnaryMinus, outOfRangeLiteral());
  EXPECT_EQ(messagesOf([&] { EXPECT_EQ(checkedExpression(negated), negated); }), "");
  releaseExpression(negated);
  EXPECT_TRUE(checkIntegerRange(nullptr));
}

// Every failing build reports once, even when a later operand is out of
// range too, and yields nothing.
TEST(IntegerRange, EachBuilderReportsOnceAndDropsItsOperands) {
  const std::pair<const char *, std::function<Expression *()>> builds[] = {
      {"2147483648", [] { return checkedExpression(outOfRangeLiteral()); }},
      {"+2147483648", [] { return checkedExpression(buildUnaryExpression(UnaryPlus, outOfRangeLiteral())); }},
      {"a + 2147483648", [] { return buildBinaryExpression(Add, variable(), outOfRangeLiteral()); }},
      {"2147483648 + 2147483648",
       [] { return buildBinaryExpression(Add, outOfRangeLiteral(), outOfRangeLiteral()); }},
      {"!2147483648", [] { return buildUnaryExpression(LogicalNot, outOfRangeLiteral()); }},
      {"typeof 2147483648", [] { return buildUnaryExpression(TypeOf, outOfRangeLiteral()); }},
      {"a += 2147483648", [] { return buildAssignment(AddAssign, variable(), outOfRangeLiteral()); }},
      {"a ? b : 2147483648",
       [] { return buildConditional(variable(), variable(), outOfRangeLiteral()); }},
      {"2147483648 ? b : 2147483648",
       [] { return buildConditional(outOfRangeLiteral(), variable(), outOfRangeLiteral()); }},
  };
  for (const auto &[source, build] : builds) {
    SCOPED_TRACE(source);
    EXPECT_EQ(messagesOf([&] { EXPECT_EQ(build(), nullptr); }), errorLine(IntegerOutOfRange));
  }
}

// ---------------------------------------------------------------- standard library

struct LibraryFunctionRow {
  const char *library;
  int libraryIndex;
  const char *function;
  int functionIndex;
  int parameterCount;
};

// The first and the last name of every function table and of the library
// table, as the halving search meets them at its two ends.
const LibraryFunctionRow tableEnds[] = {
    {"Lang", 0, "abort", 11, 1},          {"Lang", 0, "seed", 13, 1},
    {"Float", 1, "ceil", 2, 1},           {"Float", 1, "sqrt", 5, 1},
    {"String", 2, "charAt", 2, 2},        {"String", 2, "trim", 12, 1},
    {"URL", 3, "escapeString", 11, 1},    {"URL", 3, "unescapeString", 12, 1},
    {"WMLBrowser", 4, "getCurrentCard", 5, 0}, {"WMLBrowser", 4, "setVar", 1, 2},
    {"Dialogs", 5, "alert", 2, 1},        {"Dialogs", 5, "prompt", 0, 2},
    {"WMLSExtension", 65534, "setAtt", 0, 2},
    {"WMLSDebug", 65535, "logString", 2, 1}, {"WMLSDebug", 65535, "logVal", 0, 1},
    // Some counts from the middle of the tables.
    {"Lang", 0, "float", 9, 0},           {"String", 2, "insertAt", 10, 4},
    {"String", 2, "subString", 3, 3},     {"Dialogs", 5, "confirm", 1, 3},
};

TEST(StandardLibrary, NamesAtBothEndsResolveWithTheirParameterCounts) {
  for (const LibraryFunctionRow &row : tableEnds) {
    SCOPED_TRACE(std::string(row.library) + "." + row.function);
    EXPECT_EQ(findLibrary(row.library), row.libraryIndex);
    EXPECT_EQ(findLibraryFunction(row.libraryIndex, row.function), row.functionIndex);
    EXPECT_EQ(libraryParameterCount(row.libraryIndex, row.functionIndex), row.parameterCount);
  }
}

TEST(StandardLibrary, UnknownNamesAreNotFound) {
  for (const char *name : {"string", "", "A", "Zzz", "Lang ", "Lan", "WMLSExtensions"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(findLibrary(name), -1);
  }
  EXPECT_EQ(findLibraryFunction(2, "size"), -1);
  EXPECT_EQ(findLibraryFunction(0, "Abs"), -1);
  EXPECT_EQ(findLibraryFunction(0, "aaa"), -1);  // before the first name
  EXPECT_EQ(findLibraryFunction(0, "zzz"), -1);  // after the last name
  EXPECT_EQ(findLibraryFunction(1, "abs"), -1);  // another library's function
  EXPECT_EQ(findLibraryFunction(6, "abs"), -1);  // no library has index 6
  EXPECT_EQ(findLibraryFunction(-1, "abs"), -1);
}

ParameterList *argumentsOf(std::vector<Expression *> arguments) {
  if (arguments.empty())
    return nullptr;
  ParameterList *list = createParameterList(arguments[0]);
  for (std::size_t i = 1; i < arguments.size(); ++i)
    list = appendParameter(list, arguments[i]);
  return list;
}

ParameterList *integerArguments(int count) {
  std::vector<Expression *> arguments;
  for (int i = 0; i < count; ++i)
    arguments.push_back(integerConstant(i));
  return argumentsOf(arguments);
}

Expression *libraryCall(const char *library, const char *function, ParameterList *arguments) {
  return buildLibraryCall(internName(library), internName(function), arguments);
}

TEST(LibraryCalls, CarryTheLibraryAndFunctionIndicesThenTheArguments) {
  struct Case {
    const char *library;
    const char *function;
    int argumentCount;
    std::uint32_t libraryIndex;
    std::uint32_t functionIndex;
  };
  const Case cases[] = {
      {"String", "length", 1, 2, 0},  {"WMLSDebug", "logVal", 1, 65535, 0},
      {"WMLSExtension", "setAtt", 2, 65534, 0}, {"Lang", "float", 0, 0, 9},
      {"Dialogs", "confirm", 3, 5, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.library) + "." + c.function);
    Expression *call = libraryCall(c.library, c.function, integerArguments(c.argumentCount));
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->exprOperator, LibraryFunctionCall);
    std::vector<Expression *> operands = operandsOf(call);
    ASSERT_EQ(operands.size(), 2u + c.argumentCount);
    EXPECT_EQ(operands[0]->constant.value, c.libraryIndex);
    EXPECT_EQ(operands[1]->constant.value, c.functionIndex);
    for (int i = 0; i < c.argumentCount; ++i) {
      EXPECT_EQ(operands[2 + i]->constant.value, static_cast<std::uint32_t>(i));
      EXPECT_EQ(operands[2 + i]->referenceCount, 1);
    }
    releaseExpression(call);
  }
}

TEST(LibraryCalls, ReportOneMessageForEachKindOfMistake) {
  struct Case {
    const char *source;
    const char *library;
    const char *function;
    std::function<ParameterList *()> arguments;
    ErrorCode error;
  };
  const Case cases[] = {
      {"string.length(s)", "string", "length", [] { return integerArguments(1); }, InvalidLibrary},
      {"String.size(s)", "String", "size", [] { return integerArguments(1); }, InvalidLibraryFunction},
      {"String.length()", "String", "length", [] { return nullptr; }, LibraryCallArgumentCount},
      {"String.length(a, b)", "String", "length", [] { return integerArguments(2); }, LibraryCallArgumentCount},
      {"String.charAt(a, 2147483648)", "String", "charAt",
       [] { return argumentsOf({integerConstant(0), outOfRangeLiteral()}); }, IntegerOutOfRange},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(messagesOf([&] { EXPECT_EQ(libraryCall(c.library, c.function, c.arguments()), nullptr); }),
              errorLine(c.error));
  }
}

// ---------------------------------------------------------------- local calls and definitions

IdentifierRecord *declareFunction(const char *name) {
  IdentifierRecord *function = declareIdentifier({.name = internName(name), .nameSpace = FL_FUNCTION});
  EXPECT_NE(function, nullptr);
  return function;
}

Expression *localCall(const char *name, ParameterList *arguments) {
  return buildFunctionCall(makeFunctionExpression(internName(name)), arguments);
}

TEST(LocalCalls, TheFirstCallFixesTheParameterCount) {
  IdentifierRecord *f = declareFunction("calledOnceWithOne");
  EXPECT_EQ(f->subSpaceData.parameterCount, -1);
  Expression *call = localCall("calledOnceWithOne", integerArguments(1));
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call->exprOperator, FunctionCall);
  std::vector<Expression *> operands = operandsOf(call);
  ASSERT_EQ(operands.size(), 2u);
  EXPECT_EQ(operands[0]->exprOperator, IdentifierLeaf);
  EXPECT_EQ(operands[0]->identifier.record, f);
  EXPECT_EQ(f->subSpaceData.parameterCount, 1);
  releaseExpression(call);

  EXPECT_EQ(messagesOf([] { EXPECT_EQ(localCall("calledOnceWithOne", integerArguments(2)), nullptr); }),
            errorLine(ArgumentCountMismatch));
  EXPECT_EQ(messagesOf([&] { EXPECT_TRUE(defineFunction(f, 1)); }), "");
}

TEST(LocalCalls, ADefinitionMustAgreeWithEarlierCalls) {
  IdentifierRecord *g = declareFunction("calledWithOneDefinedWithTwo");
  releaseExpression(localCall("calledWithOneDefinedWithTwo", integerArguments(1)));
  EXPECT_EQ(messagesOf([&] { EXPECT_FALSE(defineFunction(g, 2)); }), errorLine(ArgumentCountMismatch));
}

TEST(LocalCalls, AnOutOfRangeArgumentDropsTheCall) {
  declareFunction("takesOne");
  EXPECT_EQ(messagesOf([] {
              EXPECT_EQ(localCall("takesOne", argumentsOf({outOfRangeLiteral()})), nullptr);
            }),
            errorLine(IntegerOutOfRange));
}

TEST(Definitions, ASecondDefinitionIsRefused) {
  IdentifierRecord *h = declareFunction("definedTwice");
  EXPECT_TRUE(defineFunction(h, 0));
  EXPECT_EQ(h->defined, 1u);
  EXPECT_EQ(messagesOf([&] { EXPECT_FALSE(defineFunction(h, 0)); }), errorLine(FunctionRedefined));
}

TEST(Definitions, TheParameterLimitIs255) {
  IdentifierRecord *wide = declareFunction("takes255");
  EXPECT_TRUE(checkParameterCount(wide, 255));
  IdentifierRecord *wider = declareFunction("takes256");
  EXPECT_EQ(messagesOf([&] { EXPECT_FALSE(checkParameterCount(wider, 256)); }), errorLine(TooManyParameters));
  EXPECT_EQ(wider->subSpaceData.parameterCount, -1);
}

TEST(Definitions, TheExternFlagOfTheHeaderMarksTheFunction) {
  IdentifierRecord *exported = declareFunction("exported");
  IdentifierRecord *local = declareFunction("local");
  setExternFlag();
  EXPECT_TRUE(isExternFlagSet());
  EXPECT_TRUE(defineFunction(exported, 0));
  clearExternFlag();
  EXPECT_FALSE(isExternFlagSet());
  EXPECT_TRUE(defineFunction(local, 0));
  EXPECT_EQ(exported->state, 1u);
  EXPECT_EQ(local->state, 0u);
}

TEST(Definitions, APlaceholderIsANamelessDefinedFunctionWithoutParameters) {
  IdentifierRecord *first = definePlaceholderFunction();
  IdentifierRecord *second = definePlaceholderFunction();
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(getNameText(first->key.name), nullptr);
  EXPECT_EQ(first->key.nameSpace, FL_FUNCTION);
  EXPECT_EQ(first->defined, 1u);
  EXPECT_EQ(first->subSpaceData.parameterCount, 0);
  EXPECT_EQ(findIdentifier(first->key), first);
}

// ---------------------------------------------------------------- external calls

TEST(ExternalCalls, NameTheUnitsPragmaAndTheFunctionAsAString) {
  IdentifierRecord *url = declareIdentifier({.name = internName("otherUnit"), .nameSpace = FL_PRAGMA});
  ASSERT_NE(url, nullptr);
  setPragmaIndex(url, 3);
  for (int argumentCount : {0, 3}) {
    SCOPED_TRACE(argumentCount);
    Expression *call = buildExternalCall(internName("otherUnit"), internName("remoteFunction"),
                                         integerArguments(argumentCount));
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->exprOperator, ExternalFunctionCall);
    std::vector<Expression *> operands = operandsOf(call);
    ASSERT_EQ(operands.size(), 2u + argumentCount);
    EXPECT_EQ(operands[0]->constant.value, 3u);
    EXPECT_EQ(operands[1]->constant.constantType, static_cast<std::uint32_t>(IndirectConstant));
    EXPECT_EQ(operands[1]->constant.value, addConstant("remoteFunction", StringConstant));
    releaseExpression(call);
  }
}

TEST(ExternalCalls, AUnitWithoutUrlPragmaIsRefused) {
  EXPECT_EQ(messagesOf([] {
              EXPECT_EQ(buildExternalCall(internName("undeclaredUnit"), internName("f"), integerArguments(2)),
                        nullptr);
            }),
            errorLine(InvalidExternalPragma));
}

} // namespace
