// URL: one row per call of the standard library's URL functions; the base,
// the referer and loadString in contexts built for them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "browser.h"
#include "library_calls.h"
#include "url.h"

namespace tavokrt {
namespace {

using testing::CallRow;
using testing::callLibrary;
using testing::expectCalls;

constexpr std::uint32_t urlLibraryIndex = 3;

const CallRow validityCalls[] = {
    {R"x(isValid("http://www.acme.com/script#func()"))x", "true"},
    {R"x(isValid("../common#test()"))x", "true"},
    {R"(isValid("experimental?://www.acme.com/pub"))", "false"},
    {R"(isValid("http://www.acme.com:8o/"))", "false"},
    {R"(isValid("http://www.acme.com/a b"))", "false"},
    {R"(isValid("http://www.acme.com/\n"))", "false"},
    {R"(isValid("1x://h/"))", "false"},
    {R"(isValid(""))", "true"},
    {"isValid(42)", "true"},  // the string "42", a relative path
    {"isValid(invalid)", "invalid"},
};

const CallRow componentCalls[] = {
    {R"(getScheme("http://w.a.com"))", R"("http")"},
    {R"(getScheme("w.a.com"))", R"("")"},
    {R"(getScheme("x y:z"))", "invalid"},
    {R"(getHost("http://www.acme.com/pub/index.html"))", R"("www.acme.com")"},
    {R"(getHost("path#frag"))", R"("")"},
    {R"(getHost("http://user@h:80/"))", R"("h")"},
    {R"(getPort("http://www.acme.com:80/path#frag"))", R"("80")"},
    {R"(getPort("http://www.acme.com/path#frag"))", R"("")"},
    {R"(getPort("http://www.acme.com:x/"))", "invalid"},
    {R"(getPath("http://w.a.com/home/sub/comp#frag"))", R"("/home/sub/comp")"},
    {R"(getPath("../home/sub/comp#frag"))", R"("../home/sub/comp")"},
    {R"(getPath("http://w.a.com/a;p"))", R"("/a")"},
    {R"(getPath("http://w.a.com"))", R"("")"},
    {R"(getParameters("http://w.a.c;x;y;z"))", R"("x;y;z")"},
    {R"(getParameters("http://www.inhand.net;x;y;z"))", R"("x;y;z")"},
    {R"(getParameters("http://w.a.c/a;x/b;y?q"))", R"("x/b;y")"},
    {R"(getParameters("http://w.a.c/a"))", R"("")"},
    {R"(getParameters("../a;"))", R"("")"},
    {R"(getQuery("http://w.a.c/company/pub.htm?id=w&v=1#f"))", R"("id=w&v=1")"},
    {R"(getQuery("http://w.a.c/a#f?x"))", R"("")"},
    {R"(getQuery("?"))", R"("")"},
    {R"(getFragment("http://w.a.c/cont#frag"))", R"("frag")"},
    {R"(getFragment("#"))", R"("")"},
    {R"(getFragment("http://w.a.c/cont"))", R"("")"},
    {R"(getFragment("x y#f"))", "invalid"},
    {"getHost(invalid)", "invalid"},
    {"getPath(12.5)", R"("12.5")"},
    {R"(getHost("http://www.\u00e9t\u00e9.fr/"))", "\"www.\xC3\xA9t\xC3\xA9.fr\""},
};

const CallRow resolveCalls[] = {
    {R"(resolve("http://foo.com/", "foo.vcf"))", R"("http://foo.com/foo.vcf")"},
    {R"(resolve("http://a/b/c/d;p?q", "?y"))", R"("http://a/b/c/?y")"},
    {R"(resolve("http://a/b/c/d;p?q", "#s"))", R"("http://a/b/c/d;p?q#s")"},
    {R"(resolve("http://a/b/c/d;p?q", "/g"))", R"("http://a/g")"},
    {R"(resolve("http://a/b/c/d;p?q", "../g"))", R"("http://a/b/g")"},
    {R"(resolve("http://a/b/c/d;p?q", "g:h"))", R"("g:h")"},
    {R"(resolve("http://a/b/c/d;p?q", ""))", R"("http://a/b/c/d;p?q")"},
    {R"(resolve("http://a/b", "x y"))", "invalid"},
    {R"(resolve("a/b", "c"))", "invalid"},  // a relative base
    {R"(resolve(invalid, "c"))", "invalid"},
    {R"(resolve("http://a/b", invalid))", "invalid"},
};

const CallRow escapeCalls[] = {
    {R"(escapeString("http://w.a.c/dck?x=\u0007#crd"))", R"("http%3a%2f%2fw.a.c%2fdck%3fx%3d%07%23crd")"},
    {R"(escapeString(";/?:@&=+$,"))", R"("%3b%2f%3f%3a%40%26%3d%2b%24%2c")"},
    {R"(escapeString("{}|\\^[]`"))", R"("%7b%7d%7c%5c%5e%5b%5d%60")"},
    {R"(escapeString("<>#%\" "))", R"("%3c%3e%23%25%22%20")"},
    {R"(escapeString("\u007f\u001f\t"))", R"("%7f%1f%09")"},
    {R"x(escapeString("aZ09-_.!~*'()"))x", R"x("aZ09-_.!~*'()")x"},
    {R"(escapeString("\u00e9"))", "invalid"},
    {R"(escapeString(""))", R"("")"},
    {"escapeString(-1.5)", R"("-1.5")"},
    {"escapeString(invalid)", "invalid"},
    {R"(unescapeString("http%3a%2f%2fw.a.c%2fdck%3fx%3d%07%23crd"))", R"("http://w.a.c/dck?x=\u0007#crd")"},
    {R"(unescapeString("%3B%2F"))", R"(";/")"},
    {R"(unescapeString("%7f"))", R"("\u007F")"},
    {R"(unescapeString("%80"))", "invalid"},
    {R"(unescapeString("%C3%A9"))", "invalid"},
    {R"(unescapeString("%"))", "invalid"},
    {R"(unescapeString("%2"))", "invalid"},
    {R"(unescapeString("%2g"))", "invalid"},
    {R"(unescapeString("%%"))", "invalid"},
    {R"(unescapeString("\u00e9"))", "\"\xC3\xA9\""},
    {"unescapeString(invalid)", "invalid"},
};

TEST(UrlLibrary, Validity) { expectCalls(urlLibraryIndex, validityCalls); }
TEST(UrlLibrary, Components) { expectCalls(urlLibraryIndex, componentCalls); }
TEST(UrlLibrary, Resolve) { expectCalls(urlLibraryIndex, resolveCalls); }
TEST(UrlLibrary, Escapes) { expectCalls(urlLibraryIndex, escapeCalls); }

std::string call(LibraryContext &context, std::string_view text) {
  return formatLiteral(callLibrary(context, urlLibraryIndex, text));
}

TEST(UrlLibrary, BaseIsTheUnitsUrlWithoutFragment) {
  LibraryContext context;
  EXPECT_EQ(call(context, "getBase()"), "invalid");  // a unit without a URL
  context.baseUrl = "http://www.acme.com/scripts/lib.wmlsc#f";
  EXPECT_EQ(call(context, "getBase()"), R"("http://www.acme.com/scripts/lib.wmlsc")");
}

TEST(UrlLibrary, RefererIsTheCallersSmallestRelativeForm) {
  struct Row {
    const char *base, *referer, *expected;
  } rows[] = {
      {"http://www.acme.com/scripts/lib.wmlsc", "", R"("")"},
      {"http://www.acme.com/scripts/lib.wmlsc", "http://www.acme.com/scripts/deck.wml#card1",
       R"("deck.wml#card1")"},
      {"http://www.acme.com/scripts/lib.wmlsc#frag", "http://www.acme.com/decks/a.wml",
       R"("/decks/a.wml")"},  // shorter than ../decks/a.wml
      {"http://www.acme.com/scripts/lib.wmlsc", "http://www.acme.com/scripts/lib.wmlsc", R"("")"},
      {"http://www.acme.com/scripts/lib.wmlsc", "http://other.com/a.wml", R"("//other.com/a.wml")"},
      {"file:///u/app/lib.wmlsc", "http://other.com/a.wml", R"("http://other.com/a.wml")"},
      {"", "http://other.com/a.wml", R"("http://other.com/a.wml")"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.base) + " <- " + row.referer);
    LibraryContext context;
    context.baseUrl = row.base;
    context.refererUrl = row.referer;
    EXPECT_EQ(call(context, "getReferer()"), row.expected);
  }
}

// loadString reads files: a directory of its own per test.
class LoadString : public ::testing::Test {
protected:
  void SetUp() override {
    directory_ = std::filesystem::temp_directory_path() /
                 ("tavok_urllib_" + std::to_string(::getpid()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(directory_);
    write("plain.txt", "h\xC3\xA9llo\n");
    write("empty.txt", "");
    write("card.vcf", "BEGIN:VCARD");
    write("bad utf8.txt", "a\xFF" "b");
    std::filesystem::create_directories(directory_ / "sub");
    context_.baseUrl = pathToFileUrl((directory_ / "main.wmlsc").string());
    browser_.resources["http://www.acme.com/motd"] = {(directory_ / "plain.txt").string(), ""};
    browser_.resources["http://www.acme.com/card"] = {(directory_ / "card.vcf").string(), "text/x-vCard"};
    browser_.resources["http://www.acme.com/gone"] = {(directory_ / "missing.txt").string(), ""};
    browser_.resources["http://www.acme.com/dir"] = {(directory_ / "sub").string(), ""};
    browser_.resources["http://www.acme.com/news#top"] = {(directory_ / "plain.txt").string(), ""};
    browser_.resources["here.txt"] = {(directory_ / "card.vcf").string(), ""};
    context_.browser = &browser_;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  void write(const std::string &name, const std::string &content) {
    std::ofstream(directory_ / name, std::ios::binary) << content;
  }
  std::string fileUrl(const std::string &name) { return pathToFileUrl((directory_ / name).string()); }

  std::filesystem::path directory_;
  Browser browser_;
  LibraryContext context_;
};

TEST_F(LoadString, CallsByUrlAndType) {
  struct Row {
    std::string call;
    const char *expected;
  } rows[] = {
      {R"(loadString("plain.txt", "text/plain"))", "\"h\xC3\xA9llo\\n\""},
      {R"(loadString("plain.txt#part", "text/plain"))", "\"h\xC3\xA9llo\\n\""},
      {R"(loadString("./sub/../plain.txt", "TEXT/Plain"))", "\"h\xC3\xA9llo\\n\""},
      {"loadString(\"" + fileUrl("plain.txt") + "\", \"text/plain\")", "\"h\xC3\xA9llo\\n\""},
      {R"(loadString("empty.txt", "text/plain"))", R"("")"},
      {R"(loadString("bad%20utf8.txt", "text/plain"))", "\"a\xFF" "b\""},  // a bad byte is kept
      {R"(loadString("missing.txt", "text/plain"))", "404"},
      {R"(loadString("sub", "text/plain"))", "404"},  // a directory has no content
      {R"(loadString("file:///dev/zero", "text/plain"))", "404"},
      {R"(loadString("plain.txt", "text/html"))", "415"},  // a file is text/plain
      {R"(loadString("http://www.acme.com/motd", "text/plain"))", "\"h\xC3\xA9llo\\n\""},
      {R"(loadString("http://www.acme.com/motd#x", "text/plain"))", "\"h\xC3\xA9llo\\n\""},
      {R"(loadString("http://www.acme.com/card", "text/x-vcard"))", R"("BEGIN:VCARD")"},
      {R"(loadString("http://www.acme.com/card", "text/plain"))", "415"},
      {R"(loadString("http://www.acme.com/gone", "text/plain"))", "404"},
      {R"(loadString("http://www.acme.com/dir", "text/plain"))", "404"},
      {R"(loadString("http://www.acme.com/other", "text/plain"))", "404"},  // never fetched
      {R"(loadString("http://www.acme.com/motd?x", "text/plain"))", "404"},  // exact match only
      {R"(loadString("http://www.acme.com/news", "text/plain"))", "\"h\xC3\xA9llo\\n\""},
      {"loadString(\"" + pathToFileUrl("here.txt") + "\", \"text/plain\")", R"("BEGIN:VCARD")"},
      {R"(loadString("plain.txt", "image/png"))", "invalid"},
      {R"(loadString("plain.txt", "text/"))", "invalid"},
      {R"(loadString("plain.txt", "text"))", "invalid"},
      {R"(loadString("plain.txt", ""))", "invalid"},
      {R"(loadString("plain.txt", "text/plain; charset=utf-8"))", "invalid"},
      {R"(loadString("plain.txt", "text/plain, text/html"))", "invalid"},
      {R"(loadString("plain.txt", "text/plain "))", "invalid"},
      {R"(loadString("a b", "text/plain"))", "invalid"},
      {R"(loadString(invalid, "text/plain"))", "invalid"},
      {R"(loadString("plain.txt", invalid))", "invalid"},
      {R"(loadString(42, "text/plain"))", "404"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.call);
    EXPECT_EQ(call(context_, row.call), row.expected);
    EXPECT_EQ(context_.stop, LibraryContext::Stop::None);
  }
}

TEST_F(LoadString, WithoutBrowserOnlyFileUrlsLoad) {
  context_.browser = nullptr;
  EXPECT_EQ(call(context_, R"(loadString("plain.txt", "text/plain"))"), "\"h\xC3\xA9llo\\n\"");
  EXPECT_EQ(call(context_, R"(loadString("http://www.acme.com/motd", "text/plain"))"), "404");
}

TEST_F(LoadString, WithoutBaseOnlyAbsoluteUrlsLoad) {
  context_.baseUrl.clear();
  EXPECT_EQ(call(context_, "loadString(\"" + fileUrl("plain.txt") + "\", \"text/plain\")"),
            "\"h\xC3\xA9llo\\n\"");
  EXPECT_EQ(call(context_, R"(loadString("plain.txt", "text/plain"))"), "404");
}

TEST_F(LoadString, ContentBeyondTheMemoryBudgetIsFatal) {
  context_.maxStringLength = 4;
  EXPECT_EQ(call(context_, R"(loadString("plain.txt", "text/plain"))"), "invalid");
  EXPECT_EQ(context_.stop, LibraryContext::Stop::Fatal);
  EXPECT_NE(context_.fatalMessage.find("out of memory"), std::string::npos);
}

TEST(UrlLibrary, EscapesBeyondTheMemoryBudgetAreFatal) {
  LibraryContext context;
  context.maxStringLength = 9;
  EXPECT_EQ(call(context, R"(escapeString("a b c d"))"), "invalid");  // 13 characters
  EXPECT_EQ(context.stop, LibraryContext::Stop::Fatal);
  LibraryContext roomy;
  roomy.maxStringLength = 13;
  EXPECT_EQ(call(roomy, R"(escapeString("a b c d"))"), R"("a%20b%20c%20d")");
  EXPECT_EQ(roomy.stop, LibraryContext::Stop::None);
}

} // namespace
} // namespace tavokrt
