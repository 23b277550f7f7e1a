#include "evaluated.h"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Values and the language's rules for them
// ---------------------------------------------------------------------------

enum class Type { Integer, String, Boolean, Invalid };

struct Value {
  Type type = Type::String;  // a declared variable starts as ""
  std::int32_t integer = 0;  // the integer, or 1 and 0 for true and false
  std::string text;
};

constexpr std::int64_t smallestInteger = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t largestInteger = std::numeric_limits<std::int32_t>::max();

// A tree that leaves what the evaluator models (a float, too long a run or
// too long a string) is dropped and another drawn.
struct OutOfModel {};

Value invalidValue() { return Value{.type = Type::Invalid, .integer = 0, .text = {}}; }
Value stringValue(std::string text) { return Value{.type = Type::String, .integer = 0, .text = std::move(text)}; }
Value booleanValue(bool b) { return Value{.type = Type::Boolean, .integer = b ? 1 : 0, .text = {}}; }
// Out of the 32-bit range is an overflow: invalid.
Value integerValue(std::int64_t n) {
  if (n < smallestInteger || n > largestInteger)
    return invalidValue();
  return Value{.type = Type::Integer, .integer = static_cast<std::int32_t>(n), .text = {}};
}

enum class Truth { False, True, Invalid };

Truth toBoolean(const Value &value) {
  switch (value.type) {
  case Type::Integer:
  case Type::Boolean: return value.integer != 0 ? Truth::True : Truth::False;
  case Type::String: return value.text.empty() ? Truth::False : Truth::True;
  case Type::Invalid: return Truth::Invalid;
  }
  return Truth::Invalid;
}

// A whole string of an optional sign and decimal digits; nothing otherwise.
// Such a string beyond the integer range would be read as a float.
std::optional<std::int32_t> wholeInteger(const std::string &text) {
  std::size_t at = 0;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-'))
    negative = text[at++] == '-';
  if (at == text.size())
    return std::nullopt;
  std::int64_t magnitude = 0;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9')
      return std::nullopt;
    magnitude = magnitude * 10 + (text[at] - '0');
    if (magnitude > largestInteger + 1)
      throw OutOfModel{};
  }
  const std::int64_t n = negative ? -magnitude : magnitude;
  if (n > largestInteger)
    throw OutOfModel{};
  return static_cast<std::int32_t>(n);
}

// A string that might read as a float but not as an integer: its characters
// are all of a decimal float's and it has a point or an exponent.
bool mayBeFloatText(const std::string &text) {
  if (text.find_first_of(".eE") == std::string::npos)
    return false;
  return text.find_first_not_of("+-0123456789.eE") == std::string::npos;
}

// The conversion of operators that take integers only (div, %): a string
// converts when it is a whole integer, a boolean gives 1 or 0.
Value toInteger(const Value &value) {
  switch (value.type) {
  case Type::Integer: return value;
  case Type::Boolean: return integerValue(value.integer);
  case Type::String: {
    const std::optional<std::int32_t> n = wholeInteger(value.text);
    return n ? integerValue(*n) : invalidValue();
  }
  case Type::Invalid: return value;
  }
  return invalidValue();
}

// The conversion of operators that take integers or floats.
Value toNumber(const Value &value) {
  if (value.type == Type::String && mayBeFloatText(value.text))
    throw OutOfModel{};
  return toInteger(value);
}

std::optional<std::string> toText(const Value &value) {
  switch (value.type) {
  case Type::Integer: return std::to_string(value.integer);
  case Type::Boolean: return value.integer != 0 ? "true" : "false";
  case Type::String: return value.text;
  case Type::Invalid: return std::nullopt;
  }
  return std::nullopt;
}

bool eitherInvalid(const Value &a, const Value &b) { return a.type == Type::Invalid || b.type == Type::Invalid; }
bool eitherString(const Value &a, const Value &b) { return a.type == Type::String || b.type == Type::String; }

constexpr std::size_t longestString = 600;

Value add(const Value &a, const Value &b) {
  if (eitherInvalid(a, b))
    return invalidValue();
  if (eitherString(a, b)) {
    std::string text = *toText(a) + *toText(b);
    if (text.size() > longestString)
      throw OutOfModel{};
    return stringValue(std::move(text));
  }
  const Value x = toNumber(a), y = toNumber(b);
  return integerValue(std::int64_t{x.integer} + y.integer);
}

Value subtract(const Value &a, const Value &b) {
  const Value x = toNumber(a), y = toNumber(b);
  if (eitherInvalid(x, y))
    return invalidValue();
  return integerValue(std::int64_t{x.integer} - y.integer);
}

Value multiply(const Value &a, const Value &b) {
  const Value x = toNumber(a), y = toNumber(b);
  if (eitherInvalid(x, y))
    return invalidValue();
  return integerValue(std::int64_t{x.integer} * y.integer);
}

// div truncates toward zero; -2147483648 div -1 overflows.
Value integerDivide(const Value &a, const Value &b) {
  const Value x = toInteger(a), y = toInteger(b);
  if (eitherInvalid(x, y) || y.integer == 0)
    return invalidValue();
  return integerValue(std::int64_t{x.integer} / y.integer);
}

// The remainder has the dividend's sign.
Value remainder(const Value &a, const Value &b) {
  const Value x = toInteger(a), y = toInteger(b);
  if (eitherInvalid(x, y) || y.integer == 0)
    return invalidValue();
  return integerValue(std::int64_t{x.integer} % y.integer);
}

// -1, 0 or 1; strings by character codes when either side is a string.
std::optional<int> compare(const Value &a, const Value &b) {
  if (eitherInvalid(a, b))
    return std::nullopt;
  if (eitherString(a, b)) {
    const int order = toText(a)->compare(*toText(b));  // char_traits<char> compares as unsigned
    return order < 0 ? -1 : order > 0 ? 1 : 0;
  }
  const Value x = toNumber(a), y = toNumber(b);
  return x.integer < y.integer ? -1 : x.integer > y.integer ? 1 : 0;
}

Value negate(const Value &a) {
  const Value x = toNumber(a);
  if (x.type == Type::Invalid)
    return x;
  return integerValue(-std::int64_t{x.integer});
}

Value logicalNot(const Value &a) {
  const Truth truth = toBoolean(a);
  if (truth == Truth::Invalid)
    return invalidValue();
  return booleanValue(truth == Truth::False);
}

Value typeOf(const Value &a) {
  switch (a.type) {
  case Type::Integer: return integerValue(0);
  case Type::String: return integerValue(2);
  case Type::Boolean: return integerValue(3);
  case Type::Invalid: return integerValue(4);
  }
  return integerValue(4);
}

Value truthValue(Truth truth) { return truth == Truth::Invalid ? invalidValue() : booleanValue(truth == Truth::True); }

// As the machine prints a result: strings quoted with \" \\ \n \t escaped
// and other control characters as \u00XX.
std::string literalOf(const Value &value) {
  switch (value.type) {
  case Type::Integer: return std::to_string(value.integer);
  case Type::Boolean: return value.integer != 0 ? "true" : "false";
  case Type::Invalid: return "invalid";
  case Type::String: break;
  }
  std::string out = "\"";
  for (const char c : value.text) {
    const auto code = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (code < 0x20 || code == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", code);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// ---------------------------------------------------------------------------
// The program tree
// ---------------------------------------------------------------------------

enum class Op {
  Literal, Variable, Negate, Not, TypeOf, IsValid,
  Add, Subtract, Multiply, IntegerDivide, Remainder,
  Less, LessOrEqual, Greater, GreaterOrEqual, Equal, NotEqual,
  And, Or, Conditional,
  Assign, AddAssign, SubtractAssign, MultiplyAssign,
  PreIncrement, PreDecrement, PostIncrement, PostDecrement,
  Call
};

struct Expression {
  Op op;
  Value literal;            // Literal
  std::string literalText;  // Literal: as written in the source
  int variable = -1;        // Variable, the assignments and increments: the frame slot
  int function = -1;        // Call
  std::vector<std::unique_ptr<Expression>> operands;
};
using ExpressionPtr = std::unique_ptr<Expression>;

enum class StatementKind { Declaration, Evaluate, If, While, For, Break, Continue, Return, Block };

struct Statement {
  StatementKind kind;
  int variable = -1;           // Declaration; For declaring its counter in the header
  ExpressionPtr value;         // initialiser, expression, condition, returned value (each optional where the form allows)
  ExpressionPtr start, step;   // For: the first and third header parts (optional)
  std::unique_ptr<Statement> body, otherwise;  // If's branches, a loop's body
  std::vector<std::unique_ptr<Statement>> statements;  // Block
};
using StatementPtr = std::unique_ptr<Statement>;

struct Function {
  std::string name;
  bool isExtern = false;
  int parameterCount = 0;
  std::vector<std::string> variableNames;  // parameters first, then every declared variable
  std::vector<StatementPtr> body;
};

ExpressionPtr makeExpression(Op op, ExpressionPtr a = nullptr, ExpressionPtr b = nullptr, ExpressionPtr c = nullptr) {
  auto e = std::make_unique<Expression>();
  e->op = op;
  for (ExpressionPtr *operand : {&a, &b, &c})
    if (*operand)
      e->operands.push_back(std::move(*operand));
  return e;
}

ExpressionPtr makeVariable(Op op, int variable, ExpressionPtr value = nullptr) {
  ExpressionPtr e = makeExpression(op, std::move(value));
  e->variable = variable;
  return e;
}

ExpressionPtr makeLiteral(Value value, std::string text) {
  ExpressionPtr e = makeExpression(Op::Literal);
  e->literal = std::move(value);
  e->literalText = std::move(text);
  return e;
}

ExpressionPtr makeInteger(std::int32_t n) {
  return makeLiteral(integerValue(n), n < 0 ? "(" + std::to_string(n) + ")" : std::to_string(n));
}

StatementPtr makeStatement(StatementKind kind, ExpressionPtr value = nullptr) {
  auto s = std::make_unique<Statement>();
  s->kind = kind;
  s->value = std::move(value);
  return s;
}

// ---------------------------------------------------------------------------
// Printing
// ---------------------------------------------------------------------------

const char *operatorText(Op op) {
  switch (op) {
  case Op::Negate: return "-";
  case Op::Not: return "!";
  case Op::TypeOf: return "typeof ";
  case Op::IsValid: return "isvalid ";
  case Op::Add: return "+";
  case Op::Subtract: return "-";
  case Op::Multiply: return "*";
  case Op::IntegerDivide: return "div";
  case Op::Remainder: return "%";
  case Op::Less: return "<";
  case Op::LessOrEqual: return "<=";
  case Op::Greater: return ">";
  case Op::GreaterOrEqual: return ">=";
  case Op::Equal: return "==";
  case Op::NotEqual: return "!=";
  case Op::And: return "&&";
  case Op::Or: return "||";
  case Op::Assign: return "=";
  case Op::AddAssign: return "+=";
  case Op::SubtractAssign: return "-=";
  case Op::MultiplyAssign: return "*=";
  case Op::PreIncrement:
  case Op::PostIncrement: return "++";
  case Op::PreDecrement:
  case Op::PostDecrement: return "--";
  case Op::Literal:
  case Op::Variable:
  case Op::Conditional:
  case Op::Call: break;
  }
  return "?";
}

class Printer {
public:
  explicit Printer(const std::vector<Function> &functions) : functions(functions) {}

  std::string unit() {
    for (const Function &f : functions)
      function(f);
    return out;
  }

private:
  const std::vector<Function> &functions;
  const Function *current = nullptr;
  std::string out;

  void function(const Function &f) {
    current = &f;
    out += f.isExtern ? "extern function " : "function ";
    out += f.name + "(";
    for (int i = 0; i < f.parameterCount; ++i)
      out += (i > 0 ? ", " : "") + f.variableNames[static_cast<std::size_t>(i)];
    out += ") {\n";
    for (const StatementPtr &s : f.body)
      statement(*s, 1);
    out += "}\n\n";
  }

  const std::string &name(int variable) const { return current->variableNames[static_cast<std::size_t>(variable)]; }

  void indent(int depth) { out.append(static_cast<std::size_t>(depth) * 2, ' '); }

  // A branch or loop body on its own lines.
  void nested(const Statement &s, int depth) {
    if (s.kind == StatementKind::Block) {
      out += " ";
      block(s, depth);
      out += "\n";
    } else {
      out += "\n";
      statement(s, depth + 1);
    }
  }

  void block(const Statement &s, int depth) {
    out += "{\n";
    for (const StatementPtr &inner : s.statements)
      statement(*inner, depth + 1);
    indent(depth);
    out += "}";
  }

  void statement(const Statement &s, int depth) {
    indent(depth);
    switch (s.kind) {
    case StatementKind::Declaration:
      out += "var " + name(s.variable);
      if (s.value)
        out += " = " + expression(*s.value);
      out += ";\n";
      return;
    case StatementKind::Evaluate: out += expression(*s.value) + ";\n"; return;
    case StatementKind::If:
      out += "if (" + expression(*s.value) + ")";
      // An else belongs to the nearest open if: a then-branch that itself
      // ends in an if (of a loop body, say) is put between braces.
      if (s.otherwise && s.body->kind != StatementKind::Block) {
        out += " {\n";
        statement(*s.body, depth + 1);
        indent(depth);
        out += "}\n";
      } else {
        nested(*s.body, depth);
      }
      if (s.otherwise) {
        indent(depth);
        out += "else";
        nested(*s.otherwise, depth);
      }
      return;
    case StatementKind::While:
      out += "while (" + expression(*s.value) + ")";
      nested(*s.body, depth);
      return;
    case StatementKind::For:
      out += "for (";
      if (s.variable >= 0)
        out += "var " + name(s.variable) + " = ";
      if (s.start)
        out += expression(*s.start);
      out += "; ";
      if (s.value)
        out += expression(*s.value);
      out += "; ";
      if (s.step)
        out += expression(*s.step);
      out += ")";
      nested(*s.body, depth);
      return;
    case StatementKind::Break: out += "break;\n"; return;
    case StatementKind::Continue: out += "continue;\n"; return;
    case StatementKind::Return: out += s.value ? "return " + expression(*s.value) + ";\n" : "return;\n"; return;
    case StatementKind::Block:
      block(s, depth);
      out += "\n";
      return;
    }
  }

  std::string expression(const Expression &e) {
    const auto operand = [&](std::size_t i) { return expression(*e.operands[i]); };
    switch (e.op) {
    case Op::Literal: return e.literalText;
    case Op::Variable: return name(e.variable);
    case Op::Negate:
    case Op::Not:
    case Op::TypeOf:
    case Op::IsValid: return std::string("(") + operatorText(e.op) + operand(0) + ")";
    case Op::Add:
    case Op::Subtract:
    case Op::Multiply:
    case Op::IntegerDivide:
    case Op::Remainder:
    case Op::Less:
    case Op::LessOrEqual:
    case Op::Greater:
    case Op::GreaterOrEqual:
    case Op::Equal:
    case Op::NotEqual:
    case Op::And:
    case Op::Or: return "(" + operand(0) + " " + operatorText(e.op) + " " + operand(1) + ")";
    case Op::Conditional: return "(" + operand(0) + " ? " + operand(1) + " : " + operand(2) + ")";
    case Op::Assign:
    case Op::AddAssign:
    case Op::SubtractAssign:
    case Op::MultiplyAssign: return "(" + name(e.variable) + " " + operatorText(e.op) + " " + operand(0) + ")";
    case Op::PreIncrement:
    case Op::PreDecrement: return std::string("(") + operatorText(e.op) + name(e.variable) + ")";
    case Op::PostIncrement:
    case Op::PostDecrement: return "(" + name(e.variable) + operatorText(e.op) + ")";
    case Op::Call: {
      std::string text = functions[static_cast<std::size_t>(e.function)].name + "(";
      for (std::size_t i = 0; i < e.operands.size(); ++i)
        text += (i > 0 ? ", " : "") + operand(i);
      return text + ")";
    }
    }
    return "?";
  }
};

// ---------------------------------------------------------------------------
// Evaluation of the tree
// ---------------------------------------------------------------------------

class Evaluator {
public:
  explicit Evaluator(const std::vector<Function> &functions) : functions(functions) {}

  Value call(int function, std::vector<Value> arguments) {
    const Function &f = functions[static_cast<std::size_t>(function)];
    Frame frame{.variables = std::move(arguments), .result = stringValue("")};
    frame.variables.resize(f.variableNames.size(), stringValue(""));
    for (const StatementPtr &s : f.body)
      if (run(*s, frame) == Flow::Return)
        break;
    return frame.result;  // "" when the function ends without return
  }

private:
  static constexpr long stepBudget = 100000;

  struct Frame {
    std::vector<Value> variables;
    Value result;
  };
  enum class Flow { Normal, Break, Continue, Return };

  const std::vector<Function> &functions;
  long steps = 0;

  void count() {
    if (++steps > stepBudget)
      throw OutOfModel{};
  }

  Value &slot(Frame &frame, int variable) { return frame.variables[static_cast<std::size_t>(variable)]; }

  // Conditions take the false branch when the value is false or invalid.
  bool holds(const Expression &condition, Frame &frame) { return toBoolean(evaluate(condition, frame)) == Truth::True; }

  Flow run(const Statement &s, Frame &frame) {
    count();
    switch (s.kind) {
    case StatementKind::Declaration:
      // A declaration without initialiser leaves the variable as it is.
      if (s.value)
        slot(frame, s.variable) = evaluate(*s.value, frame);
      return Flow::Normal;
    case StatementKind::Evaluate: evaluate(*s.value, frame); return Flow::Normal;
    case StatementKind::If: {
      const Value condition = evaluate(*s.value, frame);
      if (condition.type == Type::Invalid && isComparison(s.value->op) && !beginsWithCode(*s.body))
        throw OutOfModel{};  // the compiler's negated test, see beginsWithCode
      if (toBoolean(condition) == Truth::True)
        return run(*s.body, frame);
      return s.otherwise ? run(*s.otherwise, frame) : Flow::Normal;
    }
    case StatementKind::While:
      while (holds(*s.value, frame)) {
        const Flow flow = run(*s.body, frame);
        if (flow == Flow::Break)
          break;
        if (flow == Flow::Return)
          return flow;
      }
      return Flow::Normal;
    case StatementKind::For:
      if (s.start) {
        Value first = evaluate(*s.start, frame);
        if (s.variable >= 0)
          slot(frame, s.variable) = std::move(first);
      }
      for (;;) {
        count();
        if (s.value && !holds(*s.value, frame))
          break;
        const Flow flow = run(*s.body, frame);
        if (flow == Flow::Break)
          break;
        if (flow == Flow::Return)
          return flow;
        if (s.step)
          evaluate(*s.step, frame);
      }
      return Flow::Normal;
    case StatementKind::Break: return Flow::Break;
    case StatementKind::Continue: return Flow::Continue;
    case StatementKind::Return:
      frame.result = s.value ? evaluate(*s.value, frame) : stringValue("");
      return Flow::Return;
    case StatementKind::Block:
      for (const StatementPtr &inner : s.statements) {
        const Flow flow = run(*inner, frame);
        if (flow != Flow::Normal)
          return flow;
      }
      return Flow::Normal;
    }
    return Flow::Normal;
  }

  Value evaluate(const Expression &e, Frame &frame) {
    count();
    const auto operand = [&](std::size_t i) { return evaluate(*e.operands[i], frame); };
    switch (e.op) {
    case Op::Literal: return e.literal;
    case Op::Variable: return slot(frame, e.variable);
    case Op::Negate: return negate(operand(0));
    case Op::Not: return logicalNot(operand(0));
    case Op::TypeOf: return typeOf(operand(0));
    case Op::IsValid: return booleanValue(operand(0).type != Type::Invalid);
    case Op::Add:
    case Op::Subtract:
    case Op::Multiply:
    case Op::IntegerDivide:
    case Op::Remainder: {
      const Value a = operand(0);
      return arithmetic(e.op, a, operand(1));
    }
    case Op::Less:
    case Op::LessOrEqual:
    case Op::Greater:
    case Op::GreaterOrEqual:
    case Op::Equal:
    case Op::NotEqual: {
      const Value a = operand(0);
      const std::optional<int> order = compare(a, operand(1));
      if (!order)
        return invalidValue();
      return booleanValue(comparisonHolds(e.op, *order));
    }
    case Op::And: {
      const Truth left = toBoolean(operand(0));
      if (left != Truth::True)
        return truthValue(left);  // false, or invalid without the right side
      return truthValue(toBoolean(operand(1)));
    }
    case Op::Or: {
      const Truth left = toBoolean(operand(0));
      if (left != Truth::False)
        return truthValue(left);  // true, or invalid without the right side
      return truthValue(toBoolean(operand(1)));
    }
    case Op::Conditional: return toBoolean(operand(0)) == Truth::True ? operand(1) : operand(2);
    case Op::Assign: return slot(frame, e.variable) = operand(0);
    case Op::AddAssign:
    case Op::SubtractAssign:
    case Op::MultiplyAssign: {
      // The generator keeps the target out of the value, so the order in
      // which the two are read does not matter.
      const Value value = operand(0);
      Value &target = slot(frame, e.variable);
      const Op op = e.op == Op::AddAssign ? Op::Add : e.op == Op::SubtractAssign ? Op::Subtract : Op::Multiply;
      return target = arithmetic(op, target, value);
    }
    case Op::PreIncrement:
    case Op::PreDecrement: {
      Value &target = slot(frame, e.variable);
      return target = add(toNumberOrInvalid(target), integerValue(e.op == Op::PreIncrement ? 1 : -1));
    }
    case Op::PostIncrement:
    case Op::PostDecrement: {
      Value &target = slot(frame, e.variable);
      Value old = target;  // the old value unconverted
      target = add(toNumberOrInvalid(target), integerValue(e.op == Op::PostIncrement ? 1 : -1));
      return old;
    }
    case Op::Call: {
      std::vector<Value> arguments;
      for (std::size_t i = 0; i < e.operands.size(); ++i)
        arguments.push_back(operand(i));
      return call(e.function, std::move(arguments));
    }
    }
    return invalidValue();
  }

  static bool isComparison(Op op) {
    return op == Op::Less || op == Op::LessOrEqual || op == Op::Greater || op == Op::GreaterOrEqual ||
           op == Op::Equal || op == Op::NotEqual;
  }

  // Known compiler fault, left out: without -g, an if whose then-branch
  // starts with a jump (`if (a == b) break;`) is compiled as the negated
  // comparison jumping to that target, and the conditional jump is also
  // taken on invalid, so `if (invalid == 1) break;` breaks. The evaluator
  // drops a program that would meet an invalid comparison there: true when
  // the branch surely emits code before any jump, conservatively.
  static bool beginsWithCode(const Statement &s) {
    switch (s.kind) {
    case StatementKind::Declaration: return s.value != nullptr;
    case StatementKind::Evaluate: return emitsCode(*s.value);
    case StatementKind::Return: return true;
    case StatementKind::If: return s.value->op != Op::Literal;
    case StatementKind::While:
    case StatementKind::For:
    case StatementKind::Break:
    case StatementKind::Continue: return false;
    case StatementKind::Block:
      for (const StatementPtr &inner : s.statements) {
        if (beginsWithCode(*inner))
          return true;
        if (!emitsNothing(*inner))
          return false;
      }
      return false;
    }
    return false;
  }

  // A declaration without initialiser or an expression statement without
  // side effect: the compiler emits nothing for it.
  static bool emitsNothing(const Statement &s) {
    return (s.kind == StatementKind::Declaration && !s.value) ||
           (s.kind == StatementKind::Evaluate && !emitsCode(*s.value));
  }

  // An expression statement keeps only assignments, increments, calls,
  // &&, || and ?: (with what they hold); other operators only pass on
  // their operands' effects.
  static bool emitsCode(const Expression &e) {
    switch (e.op) {
    case Op::Literal:
    case Op::Variable: return false;
    case Op::Negate:
    case Op::Not:
    case Op::TypeOf:
    case Op::IsValid:
    case Op::Add:
    case Op::Subtract:
    case Op::Multiply:
    case Op::IntegerDivide:
    case Op::Remainder:
    case Op::Less:
    case Op::LessOrEqual:
    case Op::Greater:
    case Op::GreaterOrEqual:
    case Op::Equal:
    case Op::NotEqual:
      for (const ExpressionPtr &operand : e.operands)
        if (emitsCode(*operand))
          return true;
      return false;
    default: return true;
    }
  }

  static Value toNumberOrInvalid(const Value &v) { return v.type == Type::Invalid ? v : toNumber(v); }

  static Value arithmetic(Op op, const Value &a, const Value &b) {
    switch (op) {
    case Op::Add: return add(a, b);
    case Op::Subtract: return subtract(a, b);
    case Op::Multiply: return multiply(a, b);
    case Op::IntegerDivide: return integerDivide(a, b);
    default: return remainder(a, b);
    }
  }

  static bool comparisonHolds(Op op, int order) {
    switch (op) {
    case Op::Less: return order < 0;
    case Op::LessOrEqual: return order <= 0;
    case Op::Greater: return order > 0;
    case Op::GreaterOrEqual: return order >= 0;
    case Op::Equal: return order == 0;
    default: return order != 0;
    }
  }
};

// ---------------------------------------------------------------------------
// Generation
// ---------------------------------------------------------------------------

struct StringLiteral {
  const char *value;
  const char *text;  // as written in the source
};

// No '.', 'e' or 'E': concatenations never spell a float.
const StringLiteral stringLiterals[] = {
    {"", "\"\""},          {"", "''"},            {"a", "\"a\""},          {"ab", "'ab'"},
    {"abc", "\"abc\""},    {"Z", "\"Z\""},        {"xyz", "\"xyz\""},      {"B", "\"B\""},
    {"ba", "\"ba\""},      {"0", "\"0\""},        {"1", "\"1\""},          {"12", "\"12\""},
    {"-3", "\"-3\""},      {"+4", "'+4'"},        {"007", "\"007\""},      {"10", "\"10\""},
    {"2147483647", "\"2147483647\""}, {"-2147483648", "\"-2147483648\""},  {" 5", "\" 5\""},
    {"5 ", "\"5 \""},      {"-", "\"-\""},        {"x1", "\"x1\""},        {"true", "\"true\""},
    {"a\"q", "\"a\\\"q\""}, {"it's", "'it\\'s'"}, {"b\\s", "\"b\\\\s\""},  {"t\tab", "\"t\\tab\""},
    {"n\nl", "\"n\\nl\""}, {"\x01", "\"\\x01\""}, {"z\x7F", "\"z\\x7f\""}, {"A", "\"\\x41\""},
    {"q", "\"\\u0071\""},  {"@", "\"\\100\""},
};

// A modest integer mostly; now and then one near an overflow.
const std::int32_t largeIntegers[] = {100, 255, 1000, 65536, 46340, 46341, 99999, 2147483647,
                                      -2147483647, static_cast<std::int32_t>(smallestInteger)};

class Generator {
public:
  explicit Generator(std::uint64_t seed) : random(seed) {}

  std::vector<Function> program() {
    std::vector<Function> functions;
    // A large program now and then: more than eight functions, over 32
    // variables and loop bodies long enough for jumps past 255 bytes.
    large = chance(12);
    const int helperCount = large ? 6 + below(6) : below(4);
    for (int i = 0; i < helperCount; ++i)
      functions.push_back(function("f" + std::to_string(i), i, false, 1 + below(3)));
    functions.push_back(function("main", helperCount, true, 0));
    return functions;
  }

  std::vector<int> parameterCounts;

private:
  struct VariableInfo {
    bool assignable;  // loop counters are only read
  };

  std::mt19937_64 random;
  // Of the function being built.
  Function *current = nullptr;
  std::vector<VariableInfo> variables;
  std::vector<int> protectedVariables;  // targets of compound assignments being built
  int callableCount = 0;                // functions defined before this one
  int loopDepth = 0;
  int localCount = 0;
  int counterCount = 0;
  bool large = false;

  int below(int n) { return static_cast<int>(random() % static_cast<std::uint64_t>(n)); }
  bool chance(int percent) { return below(100) < percent; }

  Function function(const std::string &name, int index, bool isExtern, int statementCount) {
    Function f;
    f.name = name;
    f.isExtern = isExtern;
    f.parameterCount = isExtern ? 0 : below(4);
    parameterCounts.push_back(f.parameterCount);
    current = &f;
    variables.clear();
    callableCount = index;
    loopDepth = localCount = counterCount = 0;
    for (int i = 0; i < f.parameterCount; ++i)
      addVariable("p" + std::to_string(i), true);
    const int count = isExtern ? (large ? 25 + below(20) : 5 + below(8)) : statementCount + below(4);
    for (int i = 0; i < count; ++i)
      f.body.push_back(statement(0));
    if (isExtern)
      f.body.push_back(finalReturn());
    else if (chance(80))
      f.body.push_back(makeStatement(StatementKind::Return, expression(3)));
    current = nullptr;
    return f;
  }

  int addVariable(const std::string &name, bool assignable) {
    current->variableNames.push_back(name);
    variables.push_back(VariableInfo{.assignable = assignable});
    return static_cast<int>(variables.size()) - 1;
  }

  int newLocal() { return addVariable("v" + std::to_string(localCount++), true); }
  int newCounter() { return addVariable("c" + std::to_string(counterCount++), false); }

  // main's result: most often every local's final value in one string, so
  // the whole run is checked, not only its last step.
  StatementPtr finalReturn() {
    const int kind = below(30);
    if (kind == 0)
      return makeStatement(StatementKind::Return);
    if (kind < 9)
      return makeStatement(StatementKind::Return, expression(3));
    ExpressionPtr summary = makeLiteral(stringValue(""), "\"\"");
    for (int v = 0; v < static_cast<int>(variables.size()); ++v) {
      if (!variables[static_cast<std::size_t>(v)].assignable)
        continue;
      ExpressionPtr shown = makeExpression(Op::Conditional, makeExpression(Op::IsValid, makeVariable(Op::Variable, v)),
                                           makeVariable(Op::Variable, v), makeLiteral(stringValue("?"), "\"?\""));
      summary = makeExpression(Op::Add, std::move(summary), std::move(shown));
      summary = makeExpression(Op::Add, std::move(summary), makeLiteral(stringValue(","), "\",\""));
    }
    return makeStatement(StatementKind::Return, std::move(summary));
  }

  // --- statements ---

  StatementPtr statement(int depth) {
    const bool inLoop = loopDepth > 0;
    const bool mayNest = depth < 3;
    switch (below(20)) {
    case 0:
    case 1:
    case 2:
    case 3:
      if (localCount < (large ? 40 : 14))
        return declaration();
      [[fallthrough]];
    case 4:
    case 5:
    case 6:
    case 7:
    case 8: return makeStatement(StatementKind::Evaluate, effect());
    case 9:
    case 10:
    case 11:
      if (mayNest)
        return ifStatement(depth);
      return makeStatement(StatementKind::Evaluate, effect());
    case 12:
    case 13:
      if (mayNest && loopDepth < 2)
        return loop(depth);
      return makeStatement(StatementKind::Evaluate, effect());
    case 14:
    case 15:
      if (inLoop)
        return leaveLoop(depth);
      return makeStatement(StatementKind::Evaluate, effect());
    case 16:
      if (mayNest)
        return block(depth, blockLength());
      return makeStatement(StatementKind::Evaluate, effect());
    case 17:
      if (mayNest)
        return constantTest(depth);
      return makeStatement(StatementKind::Evaluate, effect());
    case 18: {
      // An early return, under a condition so that the rest may still run;
      // rarer in main, whose last return shows every variable.
      if (current->isExtern && chance(60))
        return makeStatement(StatementKind::Evaluate, effect());
      auto s = makeStatement(StatementKind::If, expression(2));
      s->body = makeStatement(StatementKind::Return, chance(80) ? expression(2) : nullptr);
      return s;
    }
    default: return makeStatement(StatementKind::Evaluate, expression(3));
    }
  }

  StatementPtr declaration() {
    if (chance(10)) {
      auto s = makeStatement(StatementKind::Declaration);
      s->variable = newLocal();
      return s;
    }
    // The initialiser cannot name the variable it declares.
    ExpressionPtr value = expression(3);
    auto s = makeStatement(StatementKind::Declaration, std::move(value));
    s->variable = newLocal();
    return s;
  }

  // An expression statement with a side effect.
  ExpressionPtr effect() {
    switch (below(4)) {
    case 0:
    case 1:
      if (ExpressionPtr a = assignment(3))
        return a;
      break;
    case 2:
      if (ExpressionPtr i = increment())
        return i;
      break;
    default:
      if (callableCount > 0)
        return call(3);
    }
    return expression(3);
  }

  StatementPtr block(int depth, int count) {
    auto s = makeStatement(StatementKind::Block);
    for (int i = 0; i < count; ++i)
      s->statements.push_back(statement(depth + 1));
    return s;
  }

  int blockLength() { return large ? 2 + below(6) : 1 + below(3); }

  StatementPtr branch(int depth) { return chance(60) ? block(depth, blockLength()) : statement(depth + 1); }

  StatementPtr ifStatement(int depth) {
    auto s = makeStatement(StatementKind::If, expression(3));
    s->body = branch(depth);
    if (chance(50))
      s->otherwise = branch(depth);
    return s;
  }

  // if, while or for on a literal: the compiler drops the test (and the
  // dead side) unless -g keeps them.
  StatementPtr constantTest(int depth) {
    static const char *const texts[] = {"true", "false", "1", "0", "7", "\"\"", "\"a\"", "invalid"};
    const int which = below(8);
    const auto literal = [&] {
      static const Value values[] = {booleanValue(true), booleanValue(false), integerValue(1), integerValue(0),
                                     integerValue(7),    stringValue(""),     stringValue("a"), invalidValue()};
      return makeLiteral(values[which], texts[which]);
    };
    const bool holds = which == 0 || which == 2 || which == 4 || which == 6;
    if (holds || chance(60)) {
      auto s = makeStatement(StatementKind::If, literal());
      s->body = branch(depth);
      if (chance(50))
        s->otherwise = branch(depth);
      return s;
    }
    // A loop whose test is false from the start: its body never runs.
    ++loopDepth;
    StatementPtr body = branch(depth);
    --loopDepth;
    if (chance(50)) {
      auto s = makeStatement(StatementKind::While, literal());
      s->body = std::move(body);
      return s;
    }
    auto s = makeStatement(StatementKind::For, literal());
    s->body = std::move(body);
    return s;
  }

  // break or continue, mostly under a condition; a bare one sometimes has
  // a statement after it that never runs.
  StatementPtr leaveLoop(int depth) {
    const StatementKind kind = chance(50) ? StatementKind::Break : StatementKind::Continue;
    if (chance(70)) {
      auto s = makeStatement(StatementKind::If, expression(2));
      s->body = makeStatement(kind);
      return s;
    }
    auto s = makeStatement(StatementKind::Block);
    s->statements.push_back(makeStatement(kind));
    if (chance(60))
      s->statements.push_back(statement(depth + 1));
    return s;
  }

  ExpressionPtr counterTest(Op op, int counter, int bound) {
    return makeExpression(op, makeVariable(Op::Variable, counter), makeInteger(bound));
  }

  // The counter's test, sometimes with a condition of any value after &&:
  // the loop still ends when the counter reaches its bound, and an invalid
  // or false right side ends it earlier.
  ExpressionPtr loopTest(Op op, int counter, int bound) {
    ExpressionPtr test = counterTest(op, counter, bound);
    if (chance(70))
      return test;
    return makeExpression(Op::And, std::move(test), expression(2));
  }

  // A counted loop: the counter goes from a small start up to a small bound
  // and the body never assigns it, so it ends.
  StatementPtr loop(int depth) {
    const int first = below(3);
    const int bound = first + below(5);
    const int counter = newCounter();
    ++loopDepth;
    auto body = [&] { return branch(depth); };
    StatementPtr s;
    auto declareCounter = [&] {
      auto d = makeStatement(StatementKind::Declaration, makeInteger(first));
      d->variable = counter;
      return d;
    };
    auto before = makeStatement(StatementKind::Block);  // statements printed ahead of the loop
    switch (below(5)) {
    case 0: {  // for (var c = first; c < bound; c++)
      s = makeStatement(StatementKind::For, loopTest(Op::Less, counter, bound));
      s->variable = counter;
      s->start = makeInteger(first);
      s->step = makeVariable(chance(50) ? Op::PostIncrement : Op::PreIncrement, counter);
      s->body = body();
      break;
    }
    case 1: {  // var c = first; for (; c <= bound - 1; c += 1)
      before->statements.push_back(declareCounter());
      s = makeStatement(StatementKind::For, counterTest(Op::LessOrEqual, counter, bound - 1));
      s->step = makeVariable(Op::AddAssign, counter, makeInteger(1));
      s->body = body();
      break;
    }
    case 2: {  // var c = first; while (c < bound) { c++; ... }
      before->statements.push_back(declareCounter());
      s = makeStatement(StatementKind::While, loopTest(Op::Less, counter, bound));
      auto inner = makeStatement(StatementKind::Block);
      inner->statements.push_back(makeStatement(StatementKind::Evaluate, makeVariable(Op::PostIncrement, counter)));
      for (int i = below(3); i >= 0; --i)
        inner->statements.push_back(statement(depth + 1));
      s->body = std::move(inner);
      break;
    }
    case 3: {  // var c = first; while (true) { if (c >= bound) break; c++; ... }
      before->statements.push_back(declareCounter());
      s = makeStatement(StatementKind::While, makeLiteral(booleanValue(true), "true"));
      auto inner = makeStatement(StatementKind::Block);
      auto exit = makeStatement(StatementKind::If, counterTest(Op::GreaterOrEqual, counter, bound));
      exit->body = makeStatement(StatementKind::Break);
      inner->statements.push_back(std::move(exit));
      inner->statements.push_back(makeStatement(StatementKind::Evaluate, makeVariable(Op::PreIncrement, counter)));
      for (int i = below(3); i >= 0; --i)
        inner->statements.push_back(statement(depth + 1));
      s->body = std::move(inner);
      break;
    }
    default: {  // for (var c = first; ; ++c) { if (c >= bound) break; ... }
      s = makeStatement(StatementKind::For);
      s->variable = counter;
      s->start = makeInteger(first);
      s->step = makeVariable(Op::PreIncrement, counter);
      auto inner = makeStatement(StatementKind::Block);
      auto exit = makeStatement(StatementKind::If, counterTest(chance(50) ? Op::GreaterOrEqual : Op::Equal, counter, bound));
      exit->body = makeStatement(StatementKind::Break);
      inner->statements.push_back(std::move(exit));
      for (int i = below(3); i >= 0; --i)
        inner->statements.push_back(statement(depth + 1));
      s->body = std::move(inner);
    }
    }
    --loopDepth;
    if (before->statements.empty())
      return s;
    before->statements.push_back(std::move(s));
    return before;
  }

  // --- expressions ---

  int anyVariable() { return below(static_cast<int>(variables.size())); }

  // An assignable variable that is no compound assignment's target being
  // built; -1 when there is none.
  int assignableVariable() {
    std::vector<int> candidates;
    for (int v = 0; v < static_cast<int>(variables.size()); ++v) {
      if (!variables[static_cast<std::size_t>(v)].assignable)
        continue;
      bool isProtected = false;
      for (int p : protectedVariables)
        isProtected = isProtected || p == v;
      if (!isProtected)
        candidates.push_back(v);
    }
    if (candidates.empty())
      return -1;
    return candidates[static_cast<std::size_t>(below(static_cast<int>(candidates.size())))];
  }

  ExpressionPtr literal() {
    const int kind = below(100);
    if (kind < 50) {
      const std::int32_t n = below(21);
      if (n >= 8 && chance(15)) {
        char text[16];
        std::snprintf(text, sizeof text, chance(50) ? "0x%X" : "0%o", static_cast<unsigned>(n));
        return makeLiteral(integerValue(n), text);
      }
      return makeInteger(chance(15) ? -n : n);
    }
    if (kind < 60)
      return makeInteger(largeIntegers[below(static_cast<int>(std::size(largeIntegers)))]);
    if (kind < 85) {
      const StringLiteral &s = stringLiterals[below(static_cast<int>(std::size(stringLiterals)))];
      return makeLiteral(stringValue(s.value), s.text);
    }
    if (kind < 98) {
      const bool b = chance(50);
      return makeLiteral(booleanValue(b), b ? "true" : "false");
    }
    return makeLiteral(invalidValue(), "invalid");
  }

  ExpressionPtr leaf() {
    if (variables.empty() || chance(45))
      return literal();
    return makeVariable(Op::Variable, anyVariable());
  }

  ExpressionPtr assignment(int depth) {
    const int target = assignableVariable();
    if (target < 0)
      return nullptr;
    static const Op ops[] = {Op::Assign, Op::Assign, Op::AddAssign, Op::AddAssign, Op::SubtractAssign, Op::MultiplyAssign};
    const Op op = ops[below(6)];
    // The value of a compound assignment leaves its target alone: the
    // machine reads the target after the value for += and -= but before it
    // for *=, and the generated programs stay clear of the difference.
    if (op != Op::Assign)
      protectedVariables.push_back(target);
    ExpressionPtr value = expression(depth - 1);
    if (op != Op::Assign)
      protectedVariables.pop_back();
    return makeVariable(op, target, std::move(value));
  }

  ExpressionPtr increment() {
    const int target = assignableVariable();
    if (target < 0)
      return nullptr;
    static const Op ops[] = {Op::PreIncrement, Op::PreDecrement, Op::PostIncrement, Op::PostDecrement};
    return makeVariable(ops[below(4)], target);
  }

  ExpressionPtr call(int depth) {
    const int callee = below(callableCount);
    ExpressionPtr e = makeExpression(Op::Call);
    e->function = callee;
    for (int i = 0; i < parameterCounts[static_cast<std::size_t>(callee)]; ++i)
      e->operands.push_back(expression(depth - 1));
    return e;
  }

  // A right operand of div or %: a small non-zero literal mostly.
  ExpressionPtr divisor(int depth) {
    if (chance(70)) {
      const std::int32_t n = 1 + below(9);
      return makeInteger(chance(25) ? -n : n);
    }
    return expression(depth - 1);
  }

  ExpressionPtr expression(int depth) {
    if (depth <= 0)
      return leaf();
    switch (below(40)) {
    case 0:
    case 1:
    case 2:
    case 3: return literal();
    case 4:
    case 5:
    case 6:
    case 7: return leaf();
    case 8:
    case 9: {
      static const Op unary[] = {Op::Negate, Op::Not, Op::TypeOf, Op::IsValid};
      const Op op = unary[below(4)];
      ExpressionPtr operand = expression(depth - 1);
      // -(-2147483648) written out is out of range for the compiler.
      if (op == Op::Negate && operand->op == Op::Literal && operand->literal.type == Type::Integer &&
          operand->literal.integer == smallestInteger)
        return operand;
      return makeExpression(op, std::move(operand));
    }
    case 10:
    case 11:
    case 12:
    case 13:
    case 14:
    case 15: {
      ExpressionPtr left = expression(depth - 1);
      return makeExpression(Op::Add, std::move(left), expression(depth - 1));
    }
    case 16:
    case 17:
    case 18: {
      const Op op = chance(50) ? Op::Subtract : Op::Multiply;
      ExpressionPtr left = expression(depth - 1);
      return makeExpression(op, std::move(left), expression(depth - 1));
    }
    case 19:
    case 20: {
      const Op op = chance(50) ? Op::IntegerDivide : Op::Remainder;
      ExpressionPtr left = expression(depth - 1);
      return makeExpression(op, std::move(left), divisor(depth));
    }
    case 21:
    case 22:
    case 23:
    case 24: {
      static const Op comparisons[] = {Op::Less, Op::LessOrEqual, Op::Greater, Op::GreaterOrEqual, Op::Equal, Op::NotEqual};
      const Op op = comparisons[below(6)];
      ExpressionPtr left = expression(depth - 1);
      return makeExpression(op, std::move(left), expression(depth - 1));
    }
    case 25:
    case 26:
    case 27: {
      const Op op = chance(50) ? Op::And : Op::Or;
      ExpressionPtr left = expression(depth - 1);
      return makeExpression(op, std::move(left), expression(depth - 1));
    }
    case 28:
    case 29: {
      ExpressionPtr condition = expression(depth - 1);
      ExpressionPtr then = expression(depth - 1);
      return makeExpression(Op::Conditional, std::move(condition), std::move(then), expression(depth - 1));
    }
    case 30:
    case 31:
    case 32:
      if (ExpressionPtr a = assignment(depth))
        return a;
      return leaf();
    case 33:
    case 34:
      if (ExpressionPtr i = increment())
        return i;
      return leaf();
    default:
      if (callableCount > 0)
        return call(depth);
      return leaf();
    }
  }
};

} // namespace

EvaluatedProgram generateEvaluatedProgram(std::uint64_t seed) {
  // One stream per seed: a dropped tree is followed by the next one drawn
  // from it, so the seed still decides the program.
  std::mt19937_64 seeds(seed);
  for (;;) {
    Generator generator(seeds());
    std::vector<Function> functions = generator.program();
    try {
      Evaluator evaluator(functions);
      const Value result = evaluator.call(static_cast<int>(functions.size()) - 1, {});
      return EvaluatedProgram{.source = Printer(functions).unit(), .expected = literalOf(result)};
    } catch (const OutOfModel &) {
      continue;
    }
  }
}

namespace {

// One operator on literal operands and the value the language gives.
struct RuleRow {
  Op op;
  Value left, right;  // right unused by the unary operators
  const char *expected;
};

Value I(std::int64_t n) { return integerValue(n); }
Value S(const char *text) { return stringValue(text); }
Value B(bool b) { return booleanValue(b); }
const Value none = invalidValue();

bool isUnary(Op op) { return op == Op::Negate || op == Op::Not || op == Op::TypeOf || op == Op::IsValid; }

} // namespace

int countEvaluatorRuleFailures() {
  const RuleRow rows[] = {
      // + concatenates when either side is a string, else adds integers.
      {Op::Add, S("12"), I(3), "\"123\""},
      {Op::Add, B(true), S("x"), "\"truex\""},
      {Op::Add, I(-4), S(""), "\"-4\""},
      {Op::Add, B(true), I(1), "2"},
      {Op::Add, I(2147483647), I(1), "invalid"},
      {Op::Add, I(smallestInteger), I(-1), "invalid"},
      {Op::Add, none, S("a"), "invalid"},
      // - and * convert strings and booleans to numbers.
      {Op::Subtract, S("5"), I(2), "3"},
      {Op::Subtract, S("+5"), B(true), "4"},
      {Op::Subtract, S("abc"), I(1), "invalid"},
      {Op::Subtract, S(" 7"), I(0), "invalid"},
      {Op::Subtract, I(smallestInteger), I(1), "invalid"},
      {Op::Multiply, I(65536), I(32768), "invalid"},
      {Op::Multiply, I(-65536), I(32768), "-2147483648"},
      {Op::Multiply, S("-007"), I(3), "-21"},
      // div truncates toward zero; % has the dividend's sign; zero is invalid.
      {Op::IntegerDivide, I(-7), I(2), "-3"},
      {Op::IntegerDivide, S("010"), I(3), "3"},
      {Op::IntegerDivide, I(1), I(0), "invalid"},
      {Op::IntegerDivide, I(smallestInteger), I(-1), "invalid"},
      {Op::IntegerDivide, S("1.0"), I(1), "invalid"},
      {Op::Remainder, I(-7), I(2), "-1"},
      {Op::Remainder, I(7), I(-2), "1"},
      {Op::Remainder, B(true), I(0), "invalid"},
      // Comparisons: strings by character codes when either side is one.
      {Op::Less, S("12"), I(3), "true"},
      {Op::Less, S("THREE"), S("four"), "true"},
      {Op::Less, S("six"), S("sixteen"), "true"},
      {Op::Greater, B(true), B(false), "true"},
      {Op::Equal, B(true), I(1), "true"},
      {Op::Equal, B(true), S("1"), "false"},
      {Op::LessOrEqual, S(""), S(""), "true"},
      {Op::Less, S("z\x7F"), S("z"), "false"},
      {Op::NotEqual, none, none, "invalid"},
      // && and || give booleans; an invalid left side gives invalid.
      {Op::Or, I(0), S("x"), "true"},
      {Op::And, I(1), S(""), "false"},
      {Op::And, I(0), none, "false"},
      {Op::Or, I(7), none, "true"},
      {Op::And, none, B(true), "invalid"},
      {Op::Or, none, B(true), "invalid"},
      {Op::And, S("a"), none, "invalid"},
      // The unary operators.
      {Op::Not, none, none, "invalid"},
      {Op::Not, S(""), none, "true"},
      {Op::Negate, I(smallestInteger), none, "invalid"},
      {Op::Negate, S("-7"), none, "7"},
      {Op::Negate, B(true), none, "-1"},
      {Op::TypeOf, S(""), none, "2"},
      {Op::TypeOf, none, none, "4"},
      {Op::TypeOf, B(false), none, "3"},
      {Op::IsValid, none, none, "false"},
      // ?: takes the else side on invalid.
      {Op::Conditional, none, none, "\"else\""},
      {Op::Conditional, S("0"), none, "\"then\""},
      {Op::Conditional, I(0), none, "\"else\""},
      // Results print as literals.
      {Op::Add, S("q\"b\\"), S("\n\t\x01\x7F"), "\"q\\\"b\\\\\\n\\t\\u0001\\u007F\""},
  };
  int failures = 0;
  for (const RuleRow &row : rows) {
    ExpressionPtr tree;
    if (row.op == Op::Conditional)
      tree = makeExpression(Op::Conditional, makeLiteral(row.left, ""), makeLiteral(S("then"), ""),
                            makeLiteral(S("else"), ""));
    else if (isUnary(row.op))
      tree = makeExpression(row.op, makeLiteral(row.left, ""));
    else
      tree = makeExpression(row.op, makeLiteral(row.left, ""), makeLiteral(row.right, ""));
    std::vector<Function> functions(1);
    functions[0].body.push_back(makeStatement(StatementKind::Return, std::move(tree)));
    const std::string got = literalOf(Evaluator(functions).call(0, {}));
    if (got != row.expected) {
      std::fprintf(stderr, "rule %s on %s, %s: %s, expected %s\n", operatorText(row.op), literalOf(row.left).c_str(),
                   literalOf(row.right).c_str(), got.c_str(), row.expected);
      ++failures;
    }
  }
  return failures;
}
