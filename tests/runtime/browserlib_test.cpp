// WMLBrowser, Dialogs and WMLSExtension over a simulated browser: variable
// names, deferred navigation (the last call wins, go("") takes it back),
// newContext, the current card relative to the unit, and dialogs answered
// from an input made in memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "browser.h"
#include "library_calls.h"

namespace tavokrt {
namespace {

using testing::callLibrary;

constexpr std::uint32_t browserIndex = 4, dialogsIndex = 5, extensionIndex = 65534;

// A context with a browser of its own.
struct Session {
  Browser browser;
  LibraryContext context;
  Session() { context.browser = &browser; }
  std::string call(std::uint32_t library, const char *text) {
    return formatLiteral(callLibrary(context, library, text));
  }
};

TEST(BrowserVariables, NamesAreCheckedBeforeAnythingIsReadOrSet) {
  const struct {
    const char *call;
    const char *result;
  } rows[] = {
      {R"(setVar("a", "1"))", "true"},
      {R"(setVar("_x9", 42))", "true"},       // a number is set as its string
      {R"(setVar("B_", true))", "true"},
      {R"(setVar("", "v"))", "invalid"},
      {R"(setVar("9a", "v"))", "invalid"},
      {R"(setVar("a-b", "v"))", "invalid"},
      {R"(setVar("a b", "v"))", "invalid"},
      {R"(setVar("\u00e9t\u00e9", "v"))", "invalid"},  // letters are ASCII letters
      {R"(setVar(12, "v"))", "invalid"},      // "12" begins with a digit
      {R"(setVar(invalid, "v"))", "invalid"},
      {R"(setVar("c", invalid))", "invalid"},
      {R"(getVar("_x9"))", "\"42\""},
      {R"(getVar("B_"))", "\"true\""},
      {R"(getVar("a"))", "\"1\""},
      {R"(getVar("A"))", "\"\""},             // names keep their case
      {R"(getVar("unset"))", "\"\""},
      {R"(getVar(""))", "invalid"},
      {R"(getVar("1"))", "invalid"},
      {R"(getVar(invalid))", "invalid"},
      {R"(getVar("c"))", "\"\""},             // the refused setVar had no effect
  };
  Session session;
  for (const auto &row : rows) {
    SCOPED_TRACE(row.call);
    EXPECT_EQ(session.call(browserIndex, row.call), row.result);
  }
  EXPECT_EQ(session.browser.variables,
            (std::map<std::string, std::string>{{"B_", "true"}, {"_x9", "42"}, {"a", "1"}}));
}

// Variables are held to the memory budget: replacing one frees its bytes,
// newContext frees them all.
TEST(BrowserVariables, TheirBytesMeetTheMemoryBudget) {
  Session session;
  session.context.maxStringLength = 10;
  EXPECT_EQ(session.call(browserIndex, R"(setVar("a", "12345"))"), "true");     // 6 bytes
  EXPECT_EQ(session.call(browserIndex, R"(setVar("a", "1234567"))"), "true");   // 8
  EXPECT_EQ(session.call(browserIndex, R"(setVar("b", "1"))"), "true");         // 10
  EXPECT_EQ(session.context.stop, LibraryContext::Stop::None);
  EXPECT_EQ(session.call(browserIndex, R"(setVar("c", ""))"), "invalid");       // 11
  EXPECT_EQ(session.context.stop, LibraryContext::Stop::Fatal);
  EXPECT_EQ(session.context.fatalMessage, "out of memory: browser variables beyond 10 bytes");
  EXPECT_EQ(session.browser.variables.count("c"), 0u);
  session.context.stop = LibraryContext::Stop::None;
  EXPECT_EQ(session.call(browserIndex, "newContext()"), "\"\"");
  EXPECT_EQ(session.call(browserIndex, R"(setVar("d", "123456789"))"), "true");
}

// A sequence of calls and what is left pending at the end.
TEST(BrowserNavigation, TheLastCallWinsAndGoEmptyTakesItBack) {
  using Nav = Browser::Navigation;
  const struct {
    const char *name;
    std::vector<const char *> calls;
    Nav navigation;
    const char *url;
  } rows[] = {
      {"nothing asked", {}, Nav::None, ""},
      {"one go", {R"(go("next.wml"))"}, Nav::Go, "next.wml"},
      {"go then prev", {R"(go("next.wml"))", "prev()"}, Nav::Prev, ""},
      {"prev then go", {"prev()", R"(go("a#b"))"}, Nav::Go, "a#b"},
      {"two gos", {R"(go("a"))", R"(go("b"))"}, Nav::Go, "b"},
      {"go cancelled", {R"(go("a"))", R"(go(""))"}, Nav::None, ""},
      {"prev cancelled", {"prev()", R"(go(""))"}, Nav::None, ""},
      {"cancelled, then go again", {R"(go("a"))", R"(go(""))", R"(go("c"))"}, Nav::Go, "c"},
      {"invalid go changes nothing", {R"(go("a"))", "go(invalid)"}, Nav::Go, "a"},
      {"a number is a URL", {"go(12)"}, Nav::Go, "12"},
      {"newContext drops prev", {"prev()", "newContext()"}, Nav::None, ""},
      {"newContext keeps go", {R"(go("a"))", "newContext()"}, Nav::Go, "a"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    Session session;
    for (const char *call : row.calls) {
      std::string result = session.call(browserIndex, call);
      EXPECT_TRUE(result == "\"\"" || result == "invalid") << call << " gave " << result;
    }
    EXPECT_EQ(session.browser.navigation, row.navigation);
    EXPECT_EQ(session.browser.goUrl, row.url);
    EXPECT_FALSE(session.browser.refreshRequested);
  }
}

TEST(BrowserContext, NewContextClearsVariablesAndRefreshIsRecorded) {
  Session session;
  session.browser.variables = {{"a", "1"}, {"b", "2"}};
  EXPECT_EQ(session.call(browserIndex, "newContext()"), "\"\"");
  EXPECT_TRUE(session.browser.variables.empty());
  EXPECT_EQ(session.call(browserIndex, R"(getVar("a"))"), "\"\"");
  EXPECT_EQ(session.call(browserIndex, "refresh()"), "\"\"");
  EXPECT_TRUE(session.browser.refreshRequested);
  EXPECT_EQ(session.browser.navigation, Browser::Navigation::None);
}

TEST(BrowserContext, CurrentCardIsRelativeToTheUnitWhenItCanBe) {
  const struct {
    const char *base, *card, *result;
  } rows[] = {
      {"http://h/app/u.wmlsc", "http://h/app/deck.wml#c", "\"deck.wml#c\""},
      {"http://h/app/u.wmlsc", "http://h/other/deck.wml", "\"/other/deck.wml\""},
      {"http://h/app/u.wmlsc", "https://h/app/deck.wml", "\"https://h/app/deck.wml\""},
      {"file:///d/u.wmlsc", "file:///d/", "\".\""},
      {"", "http://h/deck.wml", "\"http://h/deck.wml\""},  // no base: as it is
      {"http://h/app/u.wmlsc", "", "invalid"},              // no card
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.card);
    Session session;
    session.context.baseUrl = row.base;
    session.browser.currentCard = row.card;
    EXPECT_EQ(session.call(browserIndex, "getCurrentCard()"), row.result);
  }
}

TEST(BrowserContext, WithoutABrowserEveryFunctionGivesInvalid) {
  LibraryContext context;
  for (const char *call : {R"(getVar("a"))", R"(setVar("a", "1"))", R"(go("x"))", "prev()",
                           "newContext()", "getCurrentCard()", "refresh()"}) {
    SCOPED_TRACE(call);
    EXPECT_EQ(formatLiteral(callLibrary(context, browserIndex, call)), "invalid");
  }
}

// ---------------------------------------------------------------------------
// Dialogs: input from memory, the error stream into a temporary file.

struct DialogSession : Session {
  std::string inputText;
  std::FILE *errors = std::tmpfile();
  explicit DialogSession(std::string input) : inputText(std::move(input)) {
    // fmemopen refuses an empty buffer.
    browser.input = inputText.empty() ? std::fopen("/dev/null", "r")
                                      : fmemopen(inputText.data(), inputText.size(), "r");
    context.errorStream = errors;
  }
  ~DialogSession() {
    if (browser.input) std::fclose(browser.input);
    if (errors) std::fclose(errors);
  }
  std::string written() {
    std::rewind(errors);
    std::string text;
    for (int c; (c = std::fgetc(errors)) != EOF;) text += static_cast<char>(c);
    return text;
  }
};

TEST(Dialogs, PromptTakesALineAndTheDefaultForAnEmptyOneOrNone) {
  DialogSession session("Ann\n\n  spaced \r\nlast");
  const char *expected[] = {"\"Ann\"", "\"dflt\"", "\"  spaced \"", "\"last\"", "\"dflt\"",
                            "\"dflt\""};
  for (const char *result : expected)
    EXPECT_EQ(session.call(dialogsIndex, R"(prompt("Name?", "dflt"))"), result);
  EXPECT_EQ(session.call(dialogsIndex, R"(prompt(12, 3))"), "\"3\"");
  EXPECT_EQ(session.call(dialogsIndex, R"(prompt(invalid, "d"))"), "invalid");
  std::string line = "prompt: Name? [dflt]\n";
  EXPECT_EQ(session.written(), line + line + line + line + line + line + "prompt: 12 [3]\n");
}

TEST(Dialogs, ConfirmReadsYesNoOrAButtonAndAsksAgainOtherwise) {
  const struct {
    const char *input;
    const char *result;
    int questions;  // times the question was written
  } rows[] = {
      {"y\n", "true", 1},
      {"Yes please\n", "true", 1},
      {"n\n", "false", 1},
      {"NO\n", "false", 1},
      {"\n", "true", 1},           // an empty answer takes the first button
      {"", "true", 1},             // no input at all: the first button
      {"  Drop  \n", "false", 1},  // the cancel button's own word
      {"keep\n", "true", 1},       // the ok button's own word
      {"what?\n\n", "true", 2},
      {"maybe\nperhaps\nn\n", "false", 3},
      {"maybe\n", "true", 2},      // asked again, then the input ran out
      {"?\n?\n?\n?\n?\n?\n?\n?\n?\n?\nn\n", "true", 10},  // ten questions at most
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.input);
    DialogSession session(row.input);
    EXPECT_EQ(session.call(dialogsIndex, R"(confirm("Sure?", "Keep", "Drop"))"), row.result);
    std::string expected;
    for (int i = 0; i < row.questions; ++i) expected += "confirm: Sure? [Keep/Drop]\n";
    EXPECT_EQ(session.written(), expected);
  }
}

TEST(Dialogs, AlertReadsNothingAndSetAttWritesItsArguments) {
  DialogSession session("answer\n");
  EXPECT_EQ(session.call(dialogsIndex, R"(alert("Done"))"), "\"\"");
  EXPECT_EQ(session.call(dialogsIndex, R"(alert(invalid))"), "invalid");
  EXPECT_EQ(session.call(extensionIndex, R"(setAtt("size", 12))"), "\"\"");
  EXPECT_EQ(session.call(extensionIndex, R"(setAtt(invalid, "a\"b"))"), "\"\"");
  EXPECT_EQ(session.call(dialogsIndex, R"(prompt("Next?", ""))"), "\"answer\"");
  EXPECT_EQ(session.written(),
            "alert: Done\nsetAtt: \"size\" 12\nsetAtt: invalid \"a\\\"b\"\nprompt: Next? []\n");
}

// /dev/zero never ends a line: each answer is cut, confirm gives up.
TEST(Dialogs, AnInputWithoutLineEndsIsReadInBoundedPieces) {
  Session session;
  session.browser.input = std::fopen("/dev/zero", "r");
  ASSERT_NE(session.browser.input, nullptr);
  session.context.errorStream = nullptr;
  Value answer = testing::callLibrary(session.context, dialogsIndex, R"(prompt("a", "b"))");
  ASSERT_TRUE(answer.isString());
  EXPECT_EQ(answer.asText().size(), 65536u);
  EXPECT_EQ(session.call(dialogsIndex, R"(confirm("a", "b", "c"))"), "true");
  std::fclose(session.browser.input);
}

TEST(Dialogs, BatchModeMakesEveryDialogFatalBeforeItIsShown) {
  for (const char *call : {R"(prompt("a", "b"))", R"(confirm("a", "b", "c"))", R"(alert("a"))",
                           R"(alert(invalid))"}) {
    SCOPED_TRACE(call);
    DialogSession session("y\n");
    session.browser.batch = true;
    EXPECT_EQ(session.call(dialogsIndex, call), "invalid");
    EXPECT_EQ(session.context.stop, LibraryContext::Stop::Fatal);
    EXPECT_EQ(session.context.fatalMessage, "a dialog in --batch mode");
    EXPECT_EQ(session.written(), "");
    EXPECT_EQ(std::fgetc(session.browser.input), 'y');  // nothing was read
  }
}

TEST(Dialogs, WithoutABrowserTheDefaultsAnswer) {
  LibraryContext context;
  context.errorStream = nullptr;
  EXPECT_EQ(formatLiteral(callLibrary(context, dialogsIndex, R"(prompt("a", "b"))")), "\"b\"");
  EXPECT_EQ(formatLiteral(callLibrary(context, dialogsIndex, R"(confirm("a", "b", "c"))")), "true");
  EXPECT_EQ(formatLiteral(callLibrary(context, dialogsIndex, R"(alert("a"))")), "\"\"");
}

} // namespace
} // namespace tavokrt
