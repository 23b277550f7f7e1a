#include "binopexp.h"

#include "constpool.h"
#include "errorhlr.h"
#include "tavokassert.h"

#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <span>

namespace {

struct CallBuilderState {
  bool externFlag;  // the function header being parsed began with `extern`
};

// 255: the argument count of a call instruction is one byte.
constexpr int maximumParameters = 255;

// The sign bit of an IEEE single-precision value.
constexpr std::uint32_t floatSignBit = 0x80000000u;

// ---------------------------------------------------------------- the standard library

// One row per library function. Each table is sorted byte-wise by name for
// the halving search; the function index is what the call instruction carries.
struct LibraryFunction {
  const char *functionName;
  int functionIndex;
  int parameterCount;
};

struct Library {
  const char *libraryName;
  int libraryIndex;
  std::span<const LibraryFunction> functions;
};

constexpr LibraryFunction langFunctions[] = {
    {"abort", 11, 1},       {"abs", 0, 1},         {"characterSet", 14, 0}, {"exit", 10, 1},
    {"float", 9, 0},        {"isFloat", 6, 1},     {"isInt", 5, 1},         {"max", 2, 2},
    {"maxInt", 7, 0},       {"min", 1, 2},         {"minInt", 8, 0},        {"parseFloat", 4, 1},
    {"parseInt", 3, 1},     {"random", 12, 1},     {"seed", 13, 1},
};

constexpr LibraryFunction floatFunctions[] = {
    {"ceil", 2, 1},     {"floor", 1, 1}, {"int", 0, 1},   {"maxFloat", 6, 0},
    {"minFloat", 7, 0}, {"pow", 3, 2},   {"round", 4, 1}, {"sqrt", 5, 1},
};

constexpr LibraryFunction stringFunctions[] = {
    {"charAt", 2, 2},    {"compare", 13, 2},  {"elementAt", 7, 3}, {"elements", 6, 2},
    {"find", 4, 2},      {"format", 15, 2},   {"insertAt", 10, 4}, {"isEmpty", 1, 1},
    {"length", 0, 1},    {"removeAt", 8, 3},  {"replace", 5, 3},   {"replaceAt", 9, 4},
    {"squeeze", 11, 1},  {"subString", 3, 3}, {"toString", 14, 1}, {"trim", 12, 1},
};

constexpr LibraryFunction urlFunctions[] = {
    {"escapeString", 11, 1}, {"getBase", 8, 0},        {"getFragment", 7, 1},
    {"getHost", 2, 1},       {"getParameters", 5, 1},  {"getPath", 4, 1},
    {"getPort", 3, 1},       {"getQuery", 6, 1},       {"getReferer", 9, 0},
    {"getScheme", 1, 1},     {"isValid", 0, 1},        {"loadString", 13, 2},
    {"resolve", 10, 2},      {"unescapeString", 12, 1},
};

constexpr LibraryFunction wmlBrowserFunctions[] = {
    {"getCurrentCard", 5, 0}, {"getVar", 0, 1},  {"go", 2, 1},     {"newContext", 4, 0},
    {"prev", 3, 0},           {"refresh", 6, 0}, {"setVar", 1, 2},
};

constexpr LibraryFunction dialogsFunctions[] = {
    {"alert", 2, 1},
    {"confirm", 1, 3},
    {"prompt", 0, 2},
};

constexpr LibraryFunction wmlsDebugFunctions[] = {
    {"logString", 2, 1},
    {"logType", 1, 1},
    {"logVal", 0, 1},
};

constexpr LibraryFunction wmlsExtensionFunctions[] = {
    {"setAtt", 0, 2},
};

constexpr Library libraries[] = {
    {"Dialogs", 5, dialogsFunctions},
    {"Float", 1, floatFunctions},
    {"Lang", 0, langFunctions},
    {"String", 2, stringFunctions},
    {"URL", 3, urlFunctions},
    {"WMLBrowser", 4, wmlBrowserFunctions},
    {"WMLSDebug", 65535, wmlsDebugFunctions},
    {"WMLSExtension", 65534, wmlsExtensionFunctions},
};

// Byte-wise, as unsigned bytes: the order the tables are sorted in.
constexpr int compareNames(const char *left, const char *right) {
  while (*left && *left == *right) {
    ++left;
    ++right;
  }
  return static_cast<int>(static_cast<unsigned char>(*left)) -
         static_cast<int>(static_cast<unsigned char>(*right));
}

template <class Row, std::size_t size, class NameOf>
constexpr bool isSortedByName(const Row (&rows)[size], NameOf nameOf) {
  for (std::size_t row = 1; row < size; ++row)
    if (compareNames(nameOf(rows[row - 1]), nameOf(rows[row])) >= 0)
      return false;
  return true;
}

// The function indices of a library are 0 to n-1, each once.
template <std::size_t size>
constexpr bool indicesAreDense(const LibraryFunction (&rows)[size]) {
  for (std::size_t index = 0; index < size; ++index) {
    int occurrences = 0;
    for (const LibraryFunction &row : rows)
      occurrences += row.functionIndex == static_cast<int>(index) ? 1 : 0;
    if (occurrences != 1)
      return false;
  }
  return true;
}

template <std::size_t size>
constexpr bool isWellFormed(const LibraryFunction (&rows)[size]) {
  return isSortedByName(rows, [](const LibraryFunction &row) { return row.functionName; }) &&
         indicesAreDense(rows);
}

static_assert(isSortedByName(libraries, [](const Library &row) { return row.libraryName; }));
static_assert(std::size(libraries) == 8);
static_assert(std::size(langFunctions) == 15 && isWellFormed(langFunctions));
static_assert(std::size(floatFunctions) == 8 && isWellFormed(floatFunctions));
static_assert(std::size(stringFunctions) == 16 && isWellFormed(stringFunctions));
static_assert(std::size(urlFunctions) == 14 && isWellFormed(urlFunctions));
static_assert(std::size(wmlBrowserFunctions) == 7 && isWellFormed(wmlBrowserFunctions));
static_assert(std::size(dialogsFunctions) == 3 && isWellFormed(dialogsFunctions));
static_assert(std::size(wmlsDebugFunctions) == 3 && isWellFormed(wmlsDebugFunctions));
static_assert(std::size(wmlsExtensionFunctions) == 1 && isWellFormed(wmlsExtensionFunctions));

} // namespace

static constinit CallBuilderState callBuilder{};

// ---------------------------------------------------------------- range checks

// An odd parity is 2147483648 under an even number of minus signs.
static bool isInIntegerRange(const Expression *expression) {
  return !expression || expression->exprOperator != ConstantLeaf || expression->constant.valueType != IntegerType ||
         expression->constant.signParity % 2 == 0;
}

bool checkIntegerRange(const Expression *expression) {
  if (isInIntegerRange(expression))
    return true;
  reportError(IntegerOutOfRange);
  return false;
}

Expression *checkedExpression(Expression *expression) {
  if (checkIntegerRange(expression))
    return expression;
  releaseExpression(expression);
  return nullptr;
}

// ---------------------------------------------------------------- unary operators

static Expression *directConstant(ValueType type, std::uint32_t value, std::int32_t signParity) {
  Expression *leaf = createExpression();
  leaf->exprOperator = ConstantLeaf;
  leaf->constant = ConstantDescriptor{.signParity = signParity, .valueType = type,
                                      .constantType = ImmediateConstant, .value = value};
  return leaf;
}

// The constant that +c or -c stands for, or null when the sign cannot be
// applied at compile time: strings and invalid keep their operator, and so
// would a constant already placed in the pool (the parser never makes one).
static Expression *signedConstant(ExpressionOperator op, const ConstantDescriptor &operand) {
  const bool negate = op == UnaryMinus;
  switch (static_cast<ValueType>(operand.valueType)) {
  case BooleanType: {
    const bool isTrue = operand.value == static_cast<std::uint32_t>(ImmediateCode::True);
    const std::int32_t number = isTrue ? (negate ? -1 : 1) : 0;
    return directConstant(IntegerType, static_cast<std::uint32_t>(number), 0);
  }
  case IntegerType: {
    if (operand.constantType != ImmediateConstant)
      return nullptr;
    if (!negate)
      return directConstant(IntegerType, operand.value, operand.signParity);
    // Two's-complement negation: -(-2147483648) keeps its bits, and only the
    // parity tells whether the literal 2147483648 ended up in range.
    const std::int32_t parity = operand.signParity >= 1 ? operand.signParity + 1 : 0;
    return directConstant(IntegerType, 0u - operand.value, parity);
  }
  case FloatType:
    if (operand.constantType != ImmediateConstant)
      return nullptr;
    return directConstant(FloatType, negate ? operand.value ^ floatSignBit : operand.value, 0);
  case StringType:
  case InvalidType:
    return nullptr;
  }
  return nullptr;
}

// node is +operand or -operand with its single operand appended.
static Expression *foldSign(Expression *node) {
  const Expression *operand = firstOperand(node);
  if (operand->exprOperator != ConstantLeaf)
    return node;
  Expression *folded = signedConstant(node->exprOperator, operand->constant);
  if (!folded)
    return node;
  releaseExpression(node);
  return folded;
}

static Expression *linkOperands(ExpressionOperator op, std::initializer_list<Expression *> operands) {
  return createOperatorWithOperands(op, std::span<Expression *const>(operands.begin(), operands.size()));
}

Expression *buildUnaryExpression(ExpressionOperator op, Expression *operand) {
  Expression *node = createUnaryOperator(op, operand);
  switch (op) {
  case UnaryPlus:
  case UnaryMinus:
    return foldSign(node);
  case PostIncrement:
  case PostDecrement:
  case PreIncrement:
  case PreDecrement:
    ASSERT(operand->exprOperator == IdentifierLeaf);
    return node;
  case IsValid:
  case TypeOf:
  case LogicalNot:
  case ComplementOf:
    if (checkIntegerRange(operand))
      return node;
    releaseExpression(node);
    return nullptr;
  default:
    break;
  }
  ASSERT(!"buildUnaryExpression is given a unary operator");
  return nullptr;
}

// ---------------------------------------------------------------- binary, assignment, conditional


static void releaseAll(std::initializer_list<Expression *> expressions) {
  for (Expression *expression : expressions)
    releaseExpression(expression);
}

// Once the left operand has failed the right one is not checked: one
// message per statement.
Expression *buildBinaryExpression(ExpressionOperator op, Expression *left, Expression *right) {
  ASSERT(!isLeafOperator(op));
  if (checkIntegerRange(left) && checkIntegerRange(right))
    return createBinaryOperator(op, left, right);
  releaseAll({left, right});
  return nullptr;
}

Expression *buildAssignment(ExpressionOperator op, Expression *target, Expression *value) {
  ASSERT(op >= Assign && op <= BitOrAssign);
  ASSERT(target->exprOperator == IdentifierLeaf);
  if (checkIntegerRange(value))
    return createBinaryOperator(op, target, value);
  releaseAll({target, value});
  return nullptr;
}

Expression *buildConditional(Expression *condition, Expression *thenValue, Expression *elseValue) {
  if (checkIntegerRange(condition) && checkIntegerRange(thenValue) && checkIntegerRange(elseValue))
    return linkOperands(Conditional, {condition, thenValue, elseValue});
  releaseAll({condition, thenValue, elseValue});
  return nullptr;
}

// ---------------------------------------------------------------- function bookkeeping

bool checkParameterCount(IdentifierRecord *function, int count) {
  ASSERT(function->key.nameSpace == FL_FUNCTION);
  if (count > maximumParameters) {
    reportError(TooManyParameters);
    return false;
  }
  std::int32_t &parameterCount = function->subSpaceData.parameterCount;
  if (parameterCount == -1)
    parameterCount = count;  // the first call or the definition fixes it
  if (parameterCount == count)
    return true;
  reportError(ArgumentCountMismatch);
  return false;
}

bool defineFunction(IdentifierRecord *function, int count) {
  ASSERT(function->key.nameSpace == FL_FUNCTION);
  if (function->defined) {
    reportError(FunctionRedefined);
    return false;
  }
  function->defined = 1;
  function->state = callBuilder.externFlag ? 1 : 0;
  return checkParameterCount(function, count);
}

void setExternFlag() { callBuilder.externFlag = true; }

void clearExternFlag() { callBuilder.externFlag = false; }

bool isExternFlagSet() { return callBuilder.externFlag; }

IdentifierRecord *definePlaceholderFunction() {
  IdentifierRecord *function = declareIdentifier({.name = newTemporaryNameId(), .nameSpace = FL_FUNCTION});
  ASSERT(function);
  const bool defined = defineFunction(function, 0);
  ASSERT(defined);
  return function;
}

// ---------------------------------------------------------------- calls

// The arguments follow the leading operands that name the callee. On a
// failing argument the list goes first: it still points at the arguments
// already appended, which the release of the call node then frees.
// An argument out of range is reported when the arguments before it are
// already the call's operands, and the call is released with them.
static Expression *appendArgumentsUpToOutOfRange(Expression *call, ParameterList *arguments) {
  for (ParameterList *argument = arguments; argument; argument = argument->next) {
    if (!checkIntegerRange(argument->expression)) {
      freeParameterList(arguments);
      releaseExpression(call);
      return nullptr;
    }
    appendOperand(call, argument->expression);
  }
  freeParameterList(arguments);
  return call;
}

// A call of op over the callee's leaves and the arguments.
static Expression *buildCall(ExpressionOperator op, std::initializer_list<Expression *> callee,
                             ParameterList *arguments) {
  for (const ParameterList *argument = arguments; argument; argument = argument->next)
    if (!isInIntegerRange(argument->expression))
      return appendArgumentsUpToOutOfRange(linkOperands(op, callee), arguments);
  return createCallWithArguments(op, std::span<Expression *const>(callee.begin(), callee.size()), arguments);
}

Expression *buildFunctionCall(Expression *callee, ParameterList *arguments) {
  ASSERT(callee->exprOperator == IdentifierLeaf);
  if (!checkParameterCount(callee->identifier.record, parameterListLength(arguments))) {
    releaseExpression(callee);
    freeParameterList(arguments);
    return nullptr;
  }
  return buildCall(FunctionCall, {callee}, arguments);
}

// The function name travels as a string constant; the unit it lives in is
// named by the url pragma's string.
Expression *buildExternalCall(NameId urlName, NameId functionName, ParameterList *arguments) {
  const IdentifierRecord *url = findIdentifier({.name = urlName, .nameSpace = FL_PRAGMA});
  if (!url) {
    reportError(InvalidExternalPragma);
    freeParameterList(arguments);
    return nullptr;
  }
  Expression *urlLeaf = pragmaIndexLeaf(getIdentifierIndex(url));
  const char *functionText = getNameText(functionName);
  ASSERT(functionText);
  Expression *functionLeaf = constantIndexLeaf(addConstant(functionText, StringConstant));
  if (!urlLeaf || !functionLeaf) {
    if (urlLeaf)
      releaseExpression(urlLeaf);
    if (functionLeaf)
      releaseExpression(functionLeaf);
    freeParameterList(arguments);
    return nullptr;
  }
  functionLeaf->constant.valueType = StringType;
  return buildCall(ExternalFunctionCall, {urlLeaf, functionLeaf}, arguments);
}

static const Library *libraryWithIndex(int libraryIndex) {
  for (const Library &library : libraries)
    if (library.libraryIndex == libraryIndex)
      return &library;
  return nullptr;
}

// The halving search over a table sorted by name; the row, or null.
template <class Row, class NameOf>
static const Row *searchByName(std::span<const Row> rows, const char *name, NameOf nameOf) {
  int low = 0;
  int high = static_cast<int>(rows.size()) - 1;
  while (low <= high) {
    const int middle = (low + high) / 2;
    const int order = compareNames(name, nameOf(rows[middle]));
    if (order < 0)
      high = middle - 1;
    else if (order > 0)
      low = middle + 1;
    else
      return &rows[middle];
  }
  return nullptr;
}

static const Library *findLibraryRow(const char *name) {
  return searchByName(std::span<const Library>(libraries), name,
                      [](const Library &row) { return row.libraryName; });
}

static const LibraryFunction *findFunctionRow(const Library &library, const char *name) {
  return searchByName(library.functions, name, [](const LibraryFunction &row) { return row.functionName; });
}

int findLibrary(const char *name) {
  const Library *library = findLibraryRow(name);
  return library ? library->libraryIndex : -1;
}

int findLibraryFunction(int libraryIndex, const char *name) {
  const Library *library = libraryWithIndex(libraryIndex);
  if (!library)
    return -1;
  const LibraryFunction *function = findFunctionRow(*library, name);
  return function ? function->functionIndex : -1;
}

int libraryParameterCount(int libraryIndex, int functionIndex) {
  const Library *library = libraryWithIndex(libraryIndex);
  ASSERT(library);
  for (const LibraryFunction &function : library->functions)
    if (function.functionIndex == functionIndex)
      return function.parameterCount;
  ASSERT(!"libraryParameterCount is given a function of the library");
  return -1;
}

// A program calls a few library functions over and over: the rows a pair
// of names resolved to are remembered by the names' ids, in a slot chosen by
// the function name's id, together with the name table's generation, since
// ids are handed out afresh when the symbol table is destroyed.
struct RememberedLibraryCall {
  NameId libraryName;
  NameId functionName;
  std::uint32_t nameGeneration;
  const Library *library;          // null: the slot is empty
  const LibraryFunction *function;
};
constexpr std::size_t rememberedLibraryCallSlots = 64;
static constinit RememberedLibraryCall rememberedLibraryCalls[rememberedLibraryCallSlots]{};

static RememberedLibraryCall &rememberedSlotOf(NameId functionName) {
  return rememberedLibraryCalls[functionName % rememberedLibraryCallSlots];
}

static bool remembersLibraryCall(const RememberedLibraryCall &slot, NameId libraryName, NameId functionName,
                                 std::uint32_t generation) {
  return slot.library && slot.libraryName == libraryName && slot.functionName == functionName &&
         slot.nameGeneration == generation;
}

// The library and function are resolved now; the call instruction carries
// both indices. The names' texts are read only when the pair is not
// remembered.
Expression *buildLibraryCall(NameId libraryName, NameId functionName, ParameterList *arguments) {
  RememberedLibraryCall &slot = rememberedSlotOf(functionName);
  const std::uint32_t generation = nameTableGeneration();
  if (!remembersLibraryCall(slot, libraryName, functionName, generation)) {
    const char *libraryText = getNameText(libraryName);
    const char *functionText = getNameText(functionName);
    ASSERT(libraryText && functionText);
    const Library *library = findLibraryRow(libraryText);
    if (!library) {
      reportError(InvalidLibrary);
      freeParameterList(arguments);
      return nullptr;
    }
    const LibraryFunction *function = findFunctionRow(*library, functionText);
    if (!function) {
      reportError(InvalidLibraryFunction);
      freeParameterList(arguments);
      return nullptr;
    }
    slot = RememberedLibraryCall{.libraryName = libraryName,
                                 .functionName = functionName,
                                 .nameGeneration = generation,
                                 .library = library,
                                 .function = function};
  }
  const int libraryIndex = slot.library->libraryIndex;
  const int functionIndex = slot.function->functionIndex;
  if (parameterListLength(arguments) != slot.function->parameterCount) {
    reportError(LibraryCallArgumentCount);
    freeParameterList(arguments);
    return nullptr;
  }
  Expression *libraryLeaf = libraryIndexLeaf(static_cast<std::uint32_t>(libraryIndex));
  Expression *functionLeaf = libraryFunctionIndexLeaf(static_cast<std::uint32_t>(functionIndex));
  if (!libraryLeaf || !functionLeaf) {
    if (libraryLeaf)
      releaseExpression(libraryLeaf);
    if (functionLeaf)
      releaseExpression(functionLeaf);
    freeParameterList(arguments);
    return nullptr;
  }
  return buildCall(LibraryFunctionCall, {libraryLeaf, functionLeaf}, arguments);
}
