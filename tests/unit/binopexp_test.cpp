// Operator expressions and calls: folding of unary plus and minus, the range
// rule of the literal 2147483648 in every builder, the library tables at both
// ends of their halving search, and the call checks no whole compilation meets.
#include "binopexp.h"
#include "constpool.h"
#include "errorhlr.h"
#include "identexp.h"
#include "wmllex.h"

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

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

Expression *outOfRangeLiteral() { return integerLiteral("2147483648"); }
Expression *mostNegative() { return buildUnaryExpression(UnaryMinus, outOfRangeLiteral()); }

// A variable leaf without a symbol table entry: the builders only look at the operator.
Expression *variable() {
  Expression *leaf = createOperatorExpression(IdentifierLeaf);
  leaf->identifier = IdentifierLeafData{.index = 0, .record = nullptr};
  return leaf;
}

ParameterList *argumentsOf(std::vector<Expression *> arguments) {
  ParameterList *list = createParameterList(arguments[0]);
  for (std::size_t i = 1; i < arguments.size(); ++i)
    list = appendParameter(list, arguments[i]);
  return list;
}

std::optional<ConstantDescriptor> folded(ValueType type, std::uint32_t value, std::int32_t signParity = 0) {
  return ConstantDescriptor{.signParity = signParity, .valueType = type, .constantType = ImmediateConstant,
                            .value = value};
}

auto fieldsOf(const ConstantDescriptor &d) { return std::tuple(d.signParity, d.valueType, d.constantType, d.value); }

Expression *localCall(const char *name, ParameterList *arguments) {
  return buildFunctionCall(makeFunctionExpression(internName(name)), arguments);
}

Expression *libraryCall(const char *library, const char *function, ParameterList *arguments) {
  return buildLibraryCall(internName(library), internName(function), arguments);
}

// Booleans and numbers fold to direct leaves; the sign parity marks 2147483648.
TEST(Folding, UnaryPlusAndMinusOverConstants) {
  const auto bits = [](float value) { return std::bit_cast<std::uint32_t>(value); };
  const auto trueLeaf = [] { return immediateConstant(ImmediateCode::True); };
  const struct {
    const char *source;
    ExpressionOperator op;
    std::function<Expression *()> operand;
    std::optional<ConstantDescriptor> expected;  // none: the unary node stays
  } cases[] = {
      {"+true", UnaryPlus, trueLeaf, folded(IntegerType, 1)},
      {"-true", UnaryMinus, trueLeaf, folded(IntegerType, 0xFFFFFFFFu)},
      {"-false", UnaryMinus, [] { return immediateConstant(ImmediateCode::False); }, folded(IntegerType, 0)},
      {"-7", UnaryMinus, [] { return integerLiteral("7"); }, folded(IntegerType, static_cast<std::uint32_t>(-7))},
      {"+2147483648", UnaryPlus, outOfRangeLiteral, folded(IntegerType, 0x80000000u, 1)},
      {"-2147483648", UnaryMinus, outOfRangeLiteral, folded(IntegerType, 0x80000000u, 2)},
      {"-(-2147483648)", UnaryMinus, mostNegative, folded(IntegerType, 0x80000000u, 3)},
      {"+2.5", UnaryPlus, [] { return floatLiteral("2.5"); }, folded(FloatType, bits(2.5f))},
      {"-0.0", UnaryMinus, [] { return floatLiteral("0.0"); }, folded(FloatType, bits(-0.0f))},
      {"+\"abc\"", UnaryPlus, [] { return stringLiteral("abc"); }, std::nullopt},
      {"-\"\"", UnaryMinus, [] { return stringLiteral(""); }, std::nullopt},
      {"-invalid", UnaryMinus, [] { return immediateConstant(ImmediateCode::Invalid); }, std::nullopt},
      {"-y", UnaryMinus, variable, std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.source);
    Expression *operand = c.operand();
    Expression *result = buildUnaryExpression(c.op, operand);
    ASSERT_NE(result, nullptr);
    if (c.expected) {
      ASSERT_EQ(result->exprOperator, ConstantLeaf);
      EXPECT_EQ(fieldsOf(result->constant), fieldsOf(*c.expected));
    } else {
      EXPECT_EQ(result->exprOperator, c.op);
      EXPECT_EQ(result->successorList->expression, operand);
    }
    releaseExpression(result);
  }
}

// Each failing build reports once, even when a later operand is out of range
// too, and yields nothing.
TEST(IntegerRange, EachBuilderReportsOnceAndDropsItsOperands) {
  const std::pair<const char *, std::function<Expression *()>> builds[] = {
      {"+2147483648", [] { return checkedExpression(buildUnaryExpression(UnaryPlus, outOfRangeLiteral())); }},
      {"-(-2147483648)", [] { return checkedExpression(buildUnaryExpression(UnaryMinus, mostNegative())); }},
      {"a + 2147483648", [] { return buildBinaryExpression(Add, variable(), outOfRangeLiteral()); }},
      {"2147483648 + 2147483648", [] { return buildBinaryExpression(Add, outOfRangeLiteral(), outOfRangeLiteral()); }},
      {"!2147483648", [] { return buildUnaryExpression(LogicalNot, outOfRangeLiteral()); }},
      {"typeof 2147483648", [] { return buildUnaryExpression(TypeOf, outOfRangeLiteral()); }},
      {"a += 2147483648", [] { return buildAssignment(AddAssign, variable(), outOfRangeLiteral()); }},
      {"a ? b : 2147483648", [] { return buildConditional(variable(), variable(), outOfRangeLiteral()); }},
      {"2147483648 ? b : 2147483648",
       [] { return buildConditional(outOfRangeLiteral(), variable(), outOfRangeLiteral()); }},
      {"String.charAt(a, 2147483648)",
       [] { return libraryCall("String", "charAt", argumentsOf({variable(), outOfRangeLiteral()})); }},
      {"f(2147483648)", [] { return localCall("f", argumentsOf({outOfRangeLiteral()})); }},
  };
  declareIdentifier({.name = internName("f"), .nameSpace = FL_FUNCTION});
  for (const auto &[source, build] : builds) {
    SCOPED_TRACE(source);
    EXPECT_EQ(messagesOf([&] { EXPECT_EQ(build(), nullptr); }), errorLine(IntegerOutOfRange));
  }
}

// The first and the last name of every table, where the halving search ends.
TEST(StandardLibrary, NamesAtBothEndsOfEachTable) {
  const std::tuple<const char *, int, const char *, int> found[] = {
      {"Lang", 0, "abort", 11},         {"Lang", 0, "seed", 13},           {"Float", 1, "ceil", 2},
      {"Float", 1, "sqrt", 5},          {"String", 2, "charAt", 2},        {"String", 2, "trim", 12},
      {"URL", 3, "escapeString", 11},   {"URL", 3, "unescapeString", 12},  {"WMLBrowser", 4, "getCurrentCard", 5},
      {"WMLBrowser", 4, "setVar", 1},   {"Dialogs", 5, "alert", 2},        {"Dialogs", 5, "prompt", 0},
      {"WMLSExtension", 65534, "setAtt", 0}, {"WMLSDebug", 65535, "logString", 2}, {"WMLSDebug", 65535, "logVal", 0},
  };
  for (const auto &[library, libraryIndex, function, functionIndex] : found) {
    EXPECT_EQ(findLibrary(library), libraryIndex) << library;
    EXPECT_EQ(findLibraryFunction(libraryIndex, function), functionIndex) << function;
  }
  for (const char *name : {"", "A", "Zzz", "Lang ", "Lan", "WMLSExtensions"})
    EXPECT_EQ(findLibrary(name), -1) << name;
  const std::pair<int, const char *> unknown[] = {{0, "Abs"}, {0, "a"}, {0, "z"}, {1, "abs"}, {6, "abs"}, {-1, "abs"}};
  for (const auto &[library, name] : unknown)
    EXPECT_EQ(findLibraryFunction(library, name), -1) << library << " " << name;
}

TEST(Calls, ADefinitionMustAgreeWithEarlierCallsAndLibraryCountsAreExact) {
  IdentifierRecord *g = declareIdentifier({.name = internName("g"), .nameSpace = FL_FUNCTION});
  releaseExpression(localCall("g", argumentsOf({integerLiteral("7")})));  // g(7), then function g(a, b)
  EXPECT_EQ(messagesOf([&] { EXPECT_FALSE(defineFunction(g, 2)); }), errorLine(ArgumentCountMismatch));
  ParameterList *two = argumentsOf({integerLiteral("7"), integerLiteral("7")});
  EXPECT_EQ(messagesOf([&] { EXPECT_EQ(libraryCall("String", "length", two), nullptr); }),
            errorLine(LibraryCallArgumentCount));
}

// A header too broken to name its function still opens a function: each is
// its own nameless record.
TEST(Calls, PlaceholdersAreDistinctDefinedFunctions) {
  IdentifierRecord *first = definePlaceholderFunction();
  IdentifierRecord *second = definePlaceholderFunction();
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(getNameText(first->key.name), nullptr);
  EXPECT_EQ(first->defined, 1u);
  EXPECT_EQ(findIdentifier(first->key), first);
  EXPECT_EQ(findIdentifier(second->key), second);
}

// A library call is resolved again from its texts whenever the ids of its
// names may mean other texts: repeated calls give the same indices, and after
// the symbol table starts afresh the same ids name other functions, or none.
TEST(Calls, RepeatedLibraryCallsResolveByTheirTextsAcrossFreshSymbolTables) {
  struct Round {
    const char *library;
    const char *function;
    int arguments;
    int libraryIndex;   // -1: the message below instead of a call
    int functionIndex;
    ErrorCode error;
  };
  // Each round starts a fresh table and interns its two names first, so the
  // ids repeat from round to round.
  const Round rounds[] = {
      {"Lang", "abs", 1, 0, 0, ErrorCode{}},
      {"Lang", "abs", 1, 0, 0, ErrorCode{}},
      {"Float", "abs", 1, -1, 0, InvalidLibraryFunction},
      {"String", "length", 1, 2, 0, ErrorCode{}},
      {"String", "length", 2, -1, 0, LibraryCallArgumentCount},
      {"Lang", "nosuch", 1, -1, 0, InvalidLibraryFunction},
      {"Lung", "abs", 1, -1, 0, InvalidLibrary},
      {"URL", "escapeString", 1, 3, 11, ErrorCode{}},
      {"Lang", "abs", 1, 0, 0, ErrorCode{}},
  };
  for (const Round &round : rounds) {
    SCOPED_TRACE(std::string(round.library) + "." + round.function);
    destroySymbolTable();
    const NameId library = internName(round.library);
    const NameId function = internName(round.function);
    for (int repeat = 0; repeat < 2; ++repeat) {
      std::vector<Expression *> arguments;
      for (int i = 0; i < round.arguments; ++i)
        arguments.push_back(integerLiteral("7"));
      Expression *call = nullptr;
      const std::string messages =
          messagesOf([&] { call = buildLibraryCall(library, function, argumentsOf(arguments)); });
      if (round.libraryIndex < 0) {
        EXPECT_EQ(call, nullptr);
        EXPECT_EQ(messages, errorLine(round.error));
        continue;
      }
      ASSERT_NE(call, nullptr);
      EXPECT_EQ(messages, "");
      const ExpressionList *operands = call->successorList;
      EXPECT_EQ(operands->expression->constant.value, static_cast<std::uint32_t>(round.libraryIndex));
      EXPECT_EQ(operands->nextExpression->expression->constant.value,
                static_cast<std::uint32_t>(round.functionIndex));
      releaseExpression(call);
    }
  }
  destroySymbolTable();
}

} // namespace
