// randomwmls: writes a random WMLScript compilation unit on the standard
// output, the same one for the same seed.
//
//   randomwmls SEED            a unit that must compile: pragmas, functions
//                              calling each other and the libraries, every
//                              statement and operator, literals of every kind
//   randomwmls SEED mutate     the same unit with tokens deleted, repeated,
//                              swapped and inserted, for the error paths
//   randomwmls --evaluated SEED
//                              a terminating program whose extern main()
//                              returns a value the generator computed
//                              itself, given on the last line as
//                              "// expect: LITERAL"
//   randomwmls --evaluator-rules
//                              checks that evaluator against a table of
//                              the language's operator rules
//
// Whole-program fuzzing by grammar reaches the checks and the back end with
// inputs that byte mutation rarely builds.
#include "evaluated.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

struct LibraryFunction {
  const char *name;
  int parameterCount;
};

const LibraryFunction libraryFunctions[] = {
    {"Lang.abs", 1},          {"Lang.min", 2},          {"Lang.max", 2},
    {"Lang.parseInt", 1},     {"Lang.parseFloat", 1},   {"Lang.isInt", 1},
    {"Lang.isFloat", 1},      {"Lang.maxInt", 0},       {"Lang.minInt", 0},
    {"Lang.float", 0},        {"Lang.exit", 1},         {"Lang.abort", 1},
    {"Lang.random", 1},       {"Lang.seed", 1},         {"Lang.characterSet", 0},
    {"Float.int", 1},         {"Float.floor", 1},       {"Float.ceil", 1},
    {"Float.pow", 2},         {"Float.round", 1},       {"Float.sqrt", 1},
    {"Float.maxFloat", 0},    {"Float.minFloat", 0},    {"String.length", 1},
    {"String.isEmpty", 1},    {"String.charAt", 2},     {"String.subString", 3},
    {"String.find", 2},       {"String.replace", 3},    {"String.elements", 2},
    {"String.elementAt", 3},  {"String.removeAt", 3},   {"String.replaceAt", 4},
    {"String.insertAt", 4},   {"String.squeeze", 1},    {"String.trim", 1},
    {"String.compare", 2},    {"String.toString", 1},   {"String.format", 2},
    {"URL.isValid", 1},       {"URL.getScheme", 1},     {"URL.getHost", 1},
    {"URL.getPort", 1},       {"URL.getPath", 1},       {"URL.getParameters", 1},
    {"URL.getQuery", 1},      {"URL.getFragment", 1},   {"URL.getBase", 0},
    {"URL.getReferer", 0},    {"URL.resolve", 2},       {"URL.escapeString", 1},
    {"URL.unescapeString", 1}, {"URL.loadString", 2},   {"WMLBrowser.getVar", 1},
    {"WMLBrowser.setVar", 2}, {"WMLBrowser.go", 1},     {"WMLBrowser.prev", 0},
    {"WMLBrowser.newContext", 0}, {"WMLBrowser.getCurrentCard", 0},
    {"WMLBrowser.refresh", 0}, {"Dialogs.prompt", 2},   {"Dialogs.confirm", 3},
    {"Dialogs.alert", 1},     {"WMLSExtension.setAtt", 2}, {"WMLSDebug.logVal", 1},
    {"WMLSDebug.logType", 1}, {"WMLSDebug.logString", 1},
};

const char *const binaryOperators[] = {"*", "/", "div", "%", "+", "-", "<<", ">>", ">>>", "<", ">",
                                       "<=", ">=", "==", "!=", "&", "^", "|", "&&", "||"};
const char *const assignmentOperators[] = {"=", "+=", "-=", "*=", "/=", "div=", "%=", "<<=",
                                           ">>=", ">>>=", "&=", "^=", "|="};
const char *const literals[] = {
    "0", "1", "-1", "7", "127", "128", "-129", "32767", "40000", "2147483647",
    "0x7F", "0XffFF", "017", "0777", "1.5", ".25", "3.", "1e3", "2.5E-3", "3.4028234e38",
    "1.2e-38", "0.0", "\"\"", "''", "\"text\"", "'it\\'s'", "\"tab\\tnew\\nline\"",
    "'\\x41\\u00e9\\101'", "\"quote\\\"s\"", "'\\'\\\\\\/'", "true", "false", "invalid"};
// What a mutation may insert: tokens of every kind, and a few broken ones.
const char *const strayTokens[] = {
    "(", ")", "{", "}", ";", ",", "?", ":", "=", "+", "++", "--", "!", "#", ".", "var", "if",
    "else", "while", "for", "break", "continue", "return", "function", "extern", "use", "url",
    "access", "meta", "domain", "path", "http", "equiv", "user", "agent", "name", "typeof",
    "isvalid", "header", "public", "class", "enum", "09", "1e", "1e+", "0x", "4294967296", "-2147483648",
    "2147483648", "3.5e38", "1e-50", "\"\\q\"", "'\\400'", "\"\\x4\"", "\"open", "@", "$", "`",
    "/*", "*/", "//", "v0", "p0", "f0", "ext0", "Lang.abs", "Lang.nothing", "Nothing.abs"};

template <class T, std::size_t N> constexpr std::size_t countOf(T (&)[N]) { return N; }

class Generator {
public:
  explicit Generator(std::uint64_t seed) : random(seed) {}

  std::vector<std::string> unit() {
    tokens.clear();
    pragmas();
    const int functionCount = 1 + below(6);
    for (int i = 0; i < functionCount; ++i)
      parameterCounts.push_back(below(4));
    for (int i = 0; i < functionCount; ++i)
      function(i);
    return tokens;
  }

  // Deletes, repeats, swaps and inserts tokens.
  std::vector<std::string> mutated(std::vector<std::string> text) {
    const int edits = 1 + below(4);
    for (int i = 0; i < edits && !text.empty(); ++i) {
      const std::size_t at = static_cast<std::size_t>(below(static_cast<int>(text.size())));
      switch (below(4)) {
      case 0:
        text.erase(text.begin() + static_cast<std::ptrdiff_t>(at),
                   text.begin() + static_cast<std::ptrdiff_t>(std::min(text.size(), at + 1 + below(3))));
        break;
      case 1:
        text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), text[at]);
        break;
      case 2:
        if (at + 1 < text.size())
          std::swap(text[at], text[at + 1]);
        break;
      default:
        text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), pick(strayTokens));
      }
    }
    return text;
  }

  bool chance(int percent) { return below(100) < percent; }

private:
  std::mt19937_64 random;
  std::vector<std::string> tokens;
  std::vector<int> parameterCounts;
  std::vector<std::string> externalUnits;
  std::vector<std::string> variables;  // of the current function, in declaration order
  int localCount = 0;
  int loopDepth = 0;

  int below(int n) { return static_cast<int>(random() % static_cast<std::uint64_t>(n)); }
  template <class T, std::size_t N> const char *pick(T (&table)[N]) { return table[below(static_cast<int>(N))]; }
  void put(const std::string &token) { tokens.push_back(token); }
  void put(std::initializer_list<const char *> list) {
    for (const char *token : list)
      put(token);
  }

  void pragmas() {
    if (chance(40)) {
      put({"use", "access"});
      if (chance(50))
        put({"domain", "\"example.com\""});
      if (chance(50) || tokens.back() == "access")
        put({"path", "\"/scripts\""});
      put(";");
    }
    for (int i = below(3); i > 0; --i) {
      const std::string name = "ext" + std::to_string(externalUnits.size());
      externalUnits.push_back(name);
      put({"use", "url"});
      put(name);
      put("\"http://example.com/" + name + ".wmlsc\"");
      put(";");
    }
    for (int i = below(3); i > 0; --i) {
      switch (below(3)) {
      case 0: put({"use", "meta", "name", "\"author\"", "\"someone\"", ";"}); break;
      case 1: put({"use", "meta", "http", "equiv", "\"Keywords\"", "\"script\"", "\"scheme\"", ";"}); break;
      default: put({"use", "meta", "user", "agent", "\"Type\"", "\"Test\"", ";"});
      }
    }
  }

  void function(int index) {
    variables.clear();
    localCount = 0;
    loopDepth = 0;
    if (chance(50))
      put("extern");
    put("function");
    put("f" + std::to_string(index));
    put("(");
    for (int i = 0; i < parameterCounts[static_cast<std::size_t>(index)]; ++i) {
      if (i > 0)
        put(",");
      variables.push_back("p" + std::to_string(i));
      put(variables.back());
    }
    put(")");
    put("{");
    // Expressions need a variable to name.
    if (variables.empty())
      put({"var", newVariable().c_str(), "=", "1", ";"});
    for (int i = 1 + below(8); i > 0; --i)
      statement(0);
    put("}");
    if (chance(20))
      put(";");
  }

  std::string newVariable() {
    variables.push_back("v" + std::to_string(localCount++));
    return variables.back();
  }

  std::string variable() { return variables[static_cast<std::size_t>(below(static_cast<int>(variables.size())))]; }

  void statement(int depth) {
    const int kind = depth > 3 ? below(4) : below(12);
    switch (kind) {
    case 0:
      if (localCount < 40) {
        put("var");
        const int count = 1 + below(2);
        for (int i = 0; i < count; ++i) {
          if (i > 0)
            put(",");
          // The initialiser cannot name the variable it declares.
          if (chance(70)) {
            std::vector<std::string> initialiser = expressionTokens(2);
            put(newVariable());
            put("=");
            tokens.insert(tokens.end(), initialiser.begin(), initialiser.end());
          } else {
            put(newVariable());
          }
        }
        put(";");
        return;
      }
      [[fallthrough]];
    case 1:
    case 2:
      expression(3);
      put(";");
      return;
    case 3:
      if (loopDepth > 0 && chance(50)) {
        put(chance(50) ? "break" : "continue");
        put(";");
        return;
      }
      put("return");
      if (chance(70))
        expression(2);
      put(";");
      return;
    case 4:
    case 5:
      put({"if", "("});
      expression(3);
      put(")");
      statement(depth + 1);
      if (chance(50)) {
        put("else");
        statement(depth + 1);
      }
      return;
    case 6:
      put({"while", "("});
      expression(2);
      put(")");
      loop(depth);
      return;
    case 7:
      put({"for", "("});
      if (chance(30) && localCount < 40) {
        put("var");
        std::vector<std::string> initialiser = expressionTokens(1);
        put(newVariable());
        put("=");
        tokens.insert(tokens.end(), initialiser.begin(), initialiser.end());
      } else if (chance(70)) {
        expression(1);
      }
      put(";");
      if (chance(80))
        expression(2);
      put(";");
      if (chance(80))
        expression(1);
      put(")");
      loop(depth);
      return;
    case 8:
    case 9:
      put("{");
      for (int i = below(4); i > 0; --i)
        statement(depth + 1);
      put("}");
      return;
    case 10:
      put(";");
      return;
    default:
      put(variable());
      put(chance(50) ? "++" : "--");
      put(";");
    }
  }

  void loop(int depth) {
    ++loopDepth;
    statement(depth + 1);
    --loopDepth;
  }

  std::vector<std::string> expressionTokens(int depth) {
    std::vector<std::string> saved;
    saved.swap(tokens);
    expression(depth);
    saved.swap(tokens);
    return saved;
  }

  void arguments(int count, int depth) {
    put("(");
    for (int i = 0; i < count; ++i) {
      if (i > 0)
        put(",");
      expression(depth - 1);
    }
    put(")");
  }

  void expression(int depth) {
    if (depth <= 0) {
      if (chance(50))
        put(variable());
      else
        put(pick(literals));
      return;
    }
    switch (below(11)) {
    case 0:
      put(variable());
      return;
    case 1:
      put(pick(literals));
      return;
    case 2: {
      static const char *const unary[] = {"typeof", "isvalid", "-", "+", "~", "!"};
      put("(");
      put(pick(unary));
      expression(depth - 1);
      put(")");
      return;
    }
    case 3:
      put(chance(50) ? "++" : "--");
      put(variable());
      return;
    case 4:
    case 5:
      put("(");
      expression(depth - 1);
      put(pick(binaryOperators));
      expression(depth - 1);
      put(")");
      return;
    case 6:
      put("(");
      expression(depth - 1);
      put("?");
      expression(depth - 1);
      put(":");
      expression(depth - 1);
      put(")");
      return;
    case 7:
      put("(");
      put(variable());
      put(pick(assignmentOperators));
      expression(depth - 1);
      put(")");
      return;
    case 8: {
      const int callee = below(static_cast<int>(parameterCounts.size()));
      put("f" + std::to_string(callee));
      arguments(parameterCounts[static_cast<std::size_t>(callee)], depth);
      return;
    }
    case 9: {
      const LibraryFunction &library = libraryFunctions[below(static_cast<int>(countOf(libraryFunctions)))];
      put(library.name);
      arguments(library.parameterCount, depth);
      return;
    }
    default:
      if (!externalUnits.empty()) {
        put(externalUnits[static_cast<std::size_t>(below(static_cast<int>(externalUnits.size())))] +
            "#g" + std::to_string(below(3)));
        arguments(below(3), depth);
      } else {
        put("(");
        expression(depth - 1);
        put(",");
        expression(depth - 1);
        put(")");
      }
    }
  }
};

} // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::string(argv[1]) == "--evaluator-rules") {
    const int failures = countEvaluatorRuleFailures();
    std::printf("evaluator rules: %d failed\n", failures);
    return failures == 0 ? 0 : 1;
  }
  if (argc == 3 && std::string(argv[1]) == "--evaluated") {
    const EvaluatedProgram program = generateEvaluatedProgram(std::strtoull(argv[2], nullptr, 10));
    const std::string text = program.source + "// expect: " + program.expected + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }
  if (argc < 2 || argc > 3) {
    std::fputs("usage: randomwmls SEED [mutate] | randomwmls --evaluated SEED\n", stderr);
    return 2;
  }
  Generator generator(std::strtoull(argv[1], nullptr, 10));
  std::vector<std::string> tokens = generator.unit();
  if (argc == 3)
    tokens = generator.mutated(tokens);
  std::string text;
  for (const std::string &token : tokens) {
    text += token;
    text += token == ";" || token == "{" || token == "}" ? "\n" : " ";
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}
