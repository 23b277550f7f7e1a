// tavok-run's command line: the argument literals, one row per literal form
// and per refusal, and the options with their values and misuses.
#include "command.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace tavokrt;

namespace {

TEST(ArgumentLiterals, EachFormGivesItsValue) {
  struct Row {
    const char *text;
    const char *literal;  // formatLiteral of the value
  } rows[] = {
      {"12", "12"},
      {"-3", "-3"},
      {"+4", "4"},
      {"0", "0"},
      {"2147483647", "2147483647"},
      {"-2147483648", "-2147483648"},
      {"0x1F", "31"},
      {"-0X10", "-16"},
      {"017", "15"},
      {"1.5e3", "1500.0"},
      {"1.5", "1.5"},
      {".5", "0.5"},
      {"3.", "3.0"},
      {"-2e0", "-2.0"},
      {"1e-50", "0.0"},  // underflow
      {"true", "true"},
      {"false", "false"},
      {"invalid", "invalid"},
      {"\"text\"", "\"text\""},
      {"'text'", "\"text\""},
      {"\"\"", "\"\""},
      {"'it\\'s'", "\"it's\""},
      {"\"a\\\"b\"", "\"a\\\"b\""},
      {"\"\\\\\"", "\"\\\\\""},
      {"\"\\/\\b\\f\\n\\r\\t\"", "\"/\\u0008\\u000C\\n\\u000D\\t\""},
      {"\"\\x41\\101\\u00e9\"", "\"AAé\""},
      {"\"\\0\"", "\"\\u0000\""},
      {"word", "\"word\""},
      {"hello world", "\"hello world\""},
      {"08", "\"08\""},         // neither octal nor decimal
      {"0x", "\"0x\""},
      {"1.5e", "\"1.5e\""},
      {"-", "\"-\""},
      {"True", "\"True\""},
      {"", "\"\""},
      {"caf\xC3\xA9", "\"café\""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    Value value;
    std::string error;
    ASSERT_TRUE(parseArgumentLiteral(row.text, value, error)) << error;
    EXPECT_EQ(formatLiteral(value), row.literal);
  }
}

TEST(ArgumentLiterals, RefusalsSayWhy) {
  struct Row {
    const char *text;
    const char *error;
  } rows[] = {
      {"2147483648", "integer 2147483648 is out of range"},
      {"-2147483649", "integer -2147483649 is out of range"},
      {"0x100000000", "integer 0x100000000 is out of range"},
      {"1e39", "float 1e39 is out of range"},
      {"\"open", "string \"open is not closed"},
      {"\"", "string \" is not closed"},
      {"'mixed\"", "string 'mixed\" is not closed"},
      {"\"ends\\\"", "string \"ends\\\" is not closed"},
      {"\"\\q\"", "string \"\\q\": illegal escape \\q"},
      {"\"\\x4\"", "string \"\\x4\": too few digits after \\x"},
      {"\"\\x4g\"", "string \"\\x4g\": bad digit after \\x"},
      {"\"\\u12\"", "string \"\\u12\": too few digits after \\u"},
      {"\"\\400\"", "string \"\\400\": octal escape above 255"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    Value value;
    std::string error;
    EXPECT_FALSE(parseArgumentLiteral(row.text, value, error));
    EXPECT_EQ(error, row.error);
  }
}

RunCommand parse(std::vector<const char *> words, std::string &error, bool &ok) {
  words.insert(words.begin(), "tavok-run");
  RunCommand command;
  ok = parseRunCommand(static_cast<int>(words.size()), words.data(), command, error);
  return command;
}

TEST(Options, ValuesAndPositionalArguments) {
  std::string error;
  bool ok;
  RunCommand c = parse({"--seed", "7", "--max-steps=500", "--max-depth", "9", "--max-memory=100",
                        "--trace", "--stats", "u.wmlsc", "f", "-3", "--trace", "x"},
                       error, ok);
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(c.seed, 7u);
  EXPECT_EQ(c.budgets.maxSteps, 500u);
  EXPECT_EQ(c.budgets.maxDepth, 9u);
  EXPECT_EQ(c.budgets.maxMemory, 100u);
  EXPECT_TRUE(c.trace);
  EXPECT_TRUE(c.stats);
  EXPECT_EQ(c.unitPath, "u.wmlsc");
  EXPECT_EQ(c.functionName, "f");
  EXPECT_EQ(c.arguments, (std::vector<std::string>{"-3", "--trace", "x"}));

  c = parse({"--", "-odd.wmlsc", "f"}, error, ok);
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(c.unitPath, "-odd.wmlsc");
  EXPECT_FALSE(c.seed.has_value());
  EXPECT_EQ(c.budgets.maxSteps, Budgets{}.maxSteps);

  c = parse({"--help"}, error, ok);
  EXPECT_TRUE(ok && c.help);
}

TEST(Options, BrowserOptions) {
  std::string error;
  bool ok;
  RunCommand c = parse({"--var", "a=1", "--var=_b2=x=y", "--var", "a=", "--card", "deck.wml#c",
                        "--unit", "http://h/u.wmlsc#f=/d/u.wmlsc", "--unit=http://h/q?a=b=/d/q",
                        "--batch", "--vars", "u", "f"},
                       error, ok);
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(c.variables, (std::map<std::string, std::string>{{"a", ""}, {"_b2", "x=y"}}));
  EXPECT_EQ(c.card, "deck.wml#c");
  // Keys are matched against resolved URLs, which have no fragment; a
  // query's '=' stays in the URL.
  EXPECT_EQ(c.units, (std::map<std::string, std::string>{{"http://h/u.wmlsc", "/d/u.wmlsc"},
                                                         {"http://h/q?a=b", "/d/q"}}));
  EXPECT_TRUE(c.batch);
  EXPECT_TRUE(c.printVariables);

  // --load: TYPE split off only when it looks like one; FILE may hold ':'.
  struct Row {
    const char *value, *url, *file, *type;
  } rows[] = {
      {"http://h/a=/d/a.txt", "http://h/a", "/d/a.txt", "text/plain"},
      {"http://h/a=/d/a.txt:text/html", "http://h/a", "/d/a.txt", "text/html"},
      {"http://h/a=C:/x.txt", "http://h/a", "C:/x.txt", "text/plain"},
      {"http://h/a=x:y.txt:image/png", "http://h/a", "x:y.txt", "image/png"},
      {"http://h/a=/d/a:b", "http://h/a", "/d/a:b", "text/plain"},
      {"http://h/?q=1=/d/a", "http://h/?q=1", "/d/a", "text/plain"},
      {"data.txt=/d/a", "data.txt", "/d/a", "text/plain"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.value);
    c = parse({"--load", row.value, "u", "f"}, error, ok);
    ASSERT_TRUE(ok) << error;
    ASSERT_EQ(c.resources.size(), 1u);
    EXPECT_EQ(c.resources.begin()->first, row.url);
    EXPECT_EQ(c.resources.begin()->second.file, row.file);
    EXPECT_EQ(c.resources.begin()->second.contentType, row.type);
  }
}

TEST(Options, MisuseIsRefused) {
  struct Row {
    std::vector<const char *> words;
    const char *error;
  } rows[] = {
      {{}, "no unit given"},
      {{"u.wmlsc"}, "no function given"},
      {{"--frob", "u", "f"}, "unknown option --frob"},
      {{"--max-steps"}, "option --max-steps needs a number"},
      {{"--max-steps", "0", "u", "f"}, "option --max-steps: bad number \"0\""},
      {{"--max-depth=-1", "u", "f"}, "option --max-depth: bad number \"-1\""},
      {{"--max-memory", "1k", "u", "f"}, "option --max-memory: bad number \"1k\""},
      {{"--seed", "99999999999999999999", "u", "f"}, "option --seed: bad number \"99999999999999999999\""},
      {{"--trace=1", "u", "f"}, "option --trace takes no value"},
      {{"--batch=yes", "u", "f"}, "option --batch takes no value"},
      {{"--var"}, "option --var needs a value"},
      {{"--var", "x", "u", "f"}, "option --var needs NAME=VALUE, not \"x\""},
      {{"--var", "=v", "u", "f"}, "option --var: bad variable name \"\""},
      {{"--var", "1x=v", "u", "f"}, "option --var: bad variable name \"1x\""},
      {{"--var", "a-b=v", "u", "f"}, "option --var: bad variable name \"a-b\""},
      {{"--card", "", "u", "f"}, "option --card: bad URL \"\""},
      {{"--card", "a b", "u", "f"}, "option --card: bad URL \"a b\""},
      {{"--unit", "http://h/u", "u", "f"}, "option --unit needs URL=FILE, not \"http://h/u\""},
      {{"--unit", "http://h/u=", "u", "f"}, "option --unit needs URL=FILE, not \"http://h/u=\""},
      {{"--unit", "=f", "u", "f"}, "option --unit needs URL=FILE, not \"=f\""},
      {{"--unit", "rel/u.wmlsc=f", "u", "f"}, "option --unit: bad URL \"rel/u.wmlsc\" (not absolute)"},
      {{"--unit", "1http://h=f", "u", "f"}, "option --unit: bad URL \"1http://h\""},
      {{"--load", "file.txt:text/plain", "u", "f"},
       "option --load needs URL=FILE, not \"file.txt:text/plain\""},
  };
  for (const Row &row : rows) {
    std::string error;
    bool ok;
    parse(row.words, error, ok);
    SCOPED_TRACE(row.error);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, row.error);
  }
}

} // namespace
