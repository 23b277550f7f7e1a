// URLs: components and validity, RFC 2396 resolution with its normal and
// abnormal examples, the smallest relative form, escapes, file: URLs and
// the access check of `use access`.
#include <gtest/gtest.h>

#include <span>
#include <string>

#include "url.h"

namespace tavokrt {
namespace {

// ---------------------------------------------------------------------------
// Components

struct ComponentRow {
  const char *url;
  const char *scheme, *host, *port, *path, *parameters, *query, *fragment;
};

const ComponentRow componentRows[] = {
    {"http://www.acme.com:8080/pub/index.wml;x?a=1#card", "http", "www.acme.com", "8080",
     "/pub/index.wml", "x", "a=1", "card"},
    {"http://www.inhand.net;x;y;z", "http", "www.inhand.net", "", "", "x;y;z", "", ""},
    {"http://a/b;p/c;q?x#y", "http", "a", "", "/b", "p/c;q", "x", "y"},
    {"HTTP://WWW.Acme.COM/", "HTTP", "WWW.Acme.COM", "", "/", "", "", ""},
    {"http://user:pw@host:80/p", "http", "host", "80", "/p", "", "", ""},
    {"http://[::1]:8080/p", "http", "[::1]", "8080", "/p", "", "", ""},
    {"http://host:/p", "http", "host", "", "/p", "", "", ""},
    {"http://host", "http", "host", "", "", "", "", ""},
    {"file:///usr/share/a.txt", "file", "", "", "/usr/share/a.txt", "", "", ""},
    {"mailto:joe@acme.com", "mailto", "", "", "joe@acme.com", "", "", ""},
    {"a+b.c-d:x", "a+b.c-d", "", "", "x", "", "", ""},
    {"//host/p", "", "host", "", "/p", "", "", ""},
    {"/abs/path?q", "", "", "", "/abs/path", "", "q", ""},
    {"g;x?y#s", "", "", "", "g", "x", "y", "s"},
    {"./a:b", "", "", "", "./a:b", "", "", ""},
    {"#f?notquery", "", "", "", "", "", "", "f?notquery"},
    {"?q#f", "", "", "", "", "", "q", "f"},
    {"", "", "", "", "", "", "", ""},
    {"http://a/?u=http://b/c", "http", "a", "", "/", "", "u=http://b/c", ""},
    {"http://a/%zz", "http", "a", "", "/%zz", "", "", ""},  // escapes are not checked
};

TEST(UrlComponents, SplitByTheGenericSyntax) {
  for (const ComponentRow &row : componentRows) {
    SCOPED_TRACE(row.url);
    std::optional<UrlParts> parts = parseUrl(row.url);
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(parts->scheme, row.scheme);
    EXPECT_EQ(parts->host, row.host);
    EXPECT_EQ(parts->port, row.port);
    EXPECT_EQ(parts->path, row.path);
    EXPECT_EQ(parts->parameters, row.parameters);
    EXPECT_EQ(parts->query, row.query);
    EXPECT_EQ(parts->fragment, row.fragment);
    EXPECT_EQ(composeUrl(*parts), row.url);  // nothing lost
  }
}

TEST(UrlComponents, PresentButEmptyPartsAreKept) {
  std::optional<UrlParts> parts = parseUrl("http://h/p;?#");
  ASSERT_TRUE(parts.has_value());
  EXPECT_TRUE(parts->hasParameters);
  EXPECT_TRUE(parts->hasQuery);
  EXPECT_TRUE(parts->hasFragment);
  EXPECT_EQ(composeUrl(*parts), "http://h/p;?#");
}

TEST(UrlValidity, MalformedUrlsAreRefused) {
  const char *malformed[] = {
      "experimental?://www.acme.com/pub",  // "://" after no scheme
      "://host/p",
      "1http://host/",                     // a scheme begins with a letter
      "ht_tp://host/",
      ":path",                             // an empty scheme
      "http://host:8o/",                   // a port of digits only
      "http://host:80:90/",
      "http://host:-1/",
      "http://[::1/",                      // an unclosed bracket
      "http://[::1]x/",
      "http://www.acme.com/a b",           // space
      "http://www.acme.com/\t",
      "http://www.acme.com/\x7F",
      "http://www.acme.com/\x01",
      "?x=a b",
      "/p#\n",
  };
  for (const char *url : malformed) {
    SCOPED_TRACE(url);
    EXPECT_FALSE(isValidUrl(url));
  }
  const char *wellFormed[] = {
      "http://www.acme.com/pub", "www.acme.com", "", "#", "?", ";", "a/b:c",
      "http://a/?u=http://b", "x-y.z+1://h/", "http://h/\xC3\xA9",
  };
  for (const char *url : wellFormed) {
    SCOPED_TRACE(url);
    EXPECT_TRUE(isValidUrl(url));
  }
}

TEST(UrlValidity, FragmentRemovalKeepsTheRest) {
  EXPECT_EQ(urlWithoutFragment("http://a/b?q#f"), "http://a/b?q");
  EXPECT_EQ(urlWithoutFragment("http://a/b#"), "http://a/b");
  EXPECT_EQ(urlWithoutFragment("http://a/b"), "http://a/b");
  EXPECT_EQ(urlWithoutFragment(""), "");
}

// ---------------------------------------------------------------------------
// Resolution: RFC 2396, appendix C, against its base.

struct ResolutionRow {
  const char *relative;
  const char *expected;
};

constexpr const char *rfcBase = "http://a/b/c/d;p?q";

const ResolutionRow normalExamples[] = {
    {"g:h", "g:h"},
    {"g", "http://a/b/c/g"},
    {"./g", "http://a/b/c/g"},
    {"g/", "http://a/b/c/g/"},
    {"/g", "http://a/g"},
    {"//g", "http://g"},
    {"?y", "http://a/b/c/?y"},
    {"g?y", "http://a/b/c/g?y"},
    {"#s", "http://a/b/c/d;p?q#s"},
    {"g#s", "http://a/b/c/g#s"},
    {"g?y#s", "http://a/b/c/g?y#s"},
    {";x", "http://a/b/c/;x"},
    {"g;x", "http://a/b/c/g;x"},
    {"g;x?y#s", "http://a/b/c/g;x?y#s"},
    {".", "http://a/b/c/"},
    {"./", "http://a/b/c/"},
    {"..", "http://a/b/"},
    {"../", "http://a/b/"},
    {"../g", "http://a/b/g"},
    {"../..", "http://a/"},
    {"../../", "http://a/"},
    {"../../g", "http://a/g"},
};

const ResolutionRow abnormalExamples[] = {
    {"", "http://a/b/c/d;p?q"},
    {"../../../g", "http://a/../g"},
    {"../../../../g", "http://a/../../g"},
    {"/./g", "http://a/./g"},
    {"/../g", "http://a/../g"},
    {"g.", "http://a/b/c/g."},
    {".g", "http://a/b/c/.g"},
    {"g..", "http://a/b/c/g.."},
    {"..g", "http://a/b/c/..g"},
    {"./../g", "http://a/b/g"},
    {"./g/.", "http://a/b/c/g/"},
    {"g/./h", "http://a/b/c/g/h"},
    {"g/../h", "http://a/b/c/h"},
    {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
    {"g;x=1/../y", "http://a/b/c/y"},
    {"g?y/./x", "http://a/b/c/g?y/./x"},
    {"g?y/../x", "http://a/b/c/g?y/../x"},
    {"g#s/./x", "http://a/b/c/g#s/./x"},
    {"g#s/../x", "http://a/b/c/g#s/../x"},
    {"http:g", "http:g"},  // a scheme makes it absolute
};

void expectResolutions(const char *base, std::span<const ResolutionRow> rows) {
  for (const ResolutionRow &row : rows) {
    SCOPED_TRACE(std::string(base) + " + \"" + row.relative + "\"");
    std::optional<std::string> resolved = resolveUrl(base, row.relative);
    ASSERT_TRUE(resolved.has_value());
    EXPECT_EQ(*resolved, row.expected);
  }
}

TEST(UrlResolution, NormalExamplesOfRfc2396) { expectResolutions(rfcBase, normalExamples); }
TEST(UrlResolution, AbnormalExamplesOfRfc2396) { expectResolutions(rfcBase, abnormalExamples); }

TEST(UrlResolution, OtherBases) {
  struct Row {
    const char *base, *relative, *expected;
  } rows[] = {
      {"http://a", "g", "http://a/g"},  // no path: "/" is the directory
      {"http://a", "", "http://a"},
      {"http://a", "?y", "http://a/?y"},
      {"http://a;p", "g", "http://a/g"},
      {"http://a/b#frag", "", "http://a/b"},
      {"http://a/b#frag", "#s", "http://a/b#s"},
      {"file:///home/u/app/main.wmlsc", "lib.wmlsc", "file:///home/u/app/lib.wmlsc"},
      {"file:///home/u/app/main.wmlsc", "../lib/x.wmlsc", "file:///home/u/lib/x.wmlsc"},
      {"file:///home/u/app/main.wmlsc", "/etc/x", "file:///etc/x"},
      {"file:///home/u/app/main.wmlsc", "http://h/x", "http://h/x"},
      {"mailto:a@b", "c", "mailto:c"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.base) + " + \"" + row.relative + "\"");
    EXPECT_EQ(resolveUrl(row.base, row.relative).value_or("<none>"), row.expected);
  }
}

TEST(UrlResolution, MalformedOrRelativeBasesGiveNothing) {
  EXPECT_FALSE(resolveUrl("http://a/b", "x y").has_value());
  EXPECT_FALSE(resolveUrl("http://a b/", "g").has_value());
  EXPECT_FALSE(resolveUrl("a/b", "g").has_value());   // a relative base
  EXPECT_FALSE(resolveUrl("x:..:/./b", ".//c").has_value());  // would give "x:..://c"
  EXPECT_EQ(resolveUrl("a/b", "http://x/").value_or(""), "http://x/");
}

// ---------------------------------------------------------------------------
// Relative forms

struct RelativeRow {
  const char *base;
  const char *target;
  const char *expected;
};

const RelativeRow relativeRows[] = {
    {"http://a/b/c/d;p?q", "http://a/b/c/d;p?q", ""},
    {"http://a/b/c/d;p?q", "http://a/b/c/d;p?q#s", "#s"},
    {"http://a/b/c/d;p?q", "http://a/b/c/g", "g"},
    {"http://a/b/c/d;p?q", "http://a/b/c/d;p?y", "d;p?y"},  // "?y" would lose d;p
    {"http://a/b/c/d;p?q", "http://a/b/c/d;p", "d;p"},
    {"http://a/b/c/d", "http://a/b/c/", "."},
    {"http://a/b/c/d", "http://a/b/", ".."},
    {"http://a/b/c/d", "http://a/b/g", "../g"},
    {"http://a/b/c/d", "http://a/g", "/g"},              // shorter than ../../g
    {"http://a/b/c/d", "http://a/b/x/y", "../x/y"},
    {"http://a/b/c/d", "http://a/b/c/g:h", "./g:h"},     // would read as a scheme
    {"http://a/b/c/d", "http://a/b/c//x", ".//x"},
    {"http://a/b/c/", "http://a/b/c/?y", "?y"},
    {"http://a/b/c/d", "http://other/b/c/d", "//other/b/c/d"},
    {"http://a/b/c/d", "https://a/b/c/d", "https://a/b/c/d"},
    {"http://a/b/c/d", "mailto:x@y", "mailto:x@y"},
    {"file:///home/u/app/main.wmlsc", "file:///home/u/app/deck.wml#card2", "deck.wml#card2"},
    {"file:///home/u/app/main.wmlsc", "file:///home/u/cards.wml", "../cards.wml"},
    {"http://a/b", "not a url", "not a url"},
    {"relative/base", "http://a/b", "http://a/b"},
};

TEST(UrlRelativeForm, ShortestReferenceThatResolvesBack) {
  for (const RelativeRow &row : relativeRows) {
    SCOPED_TRACE(std::string(row.base) + " -> " + row.target);
    EXPECT_EQ(relativeUrl(row.base, row.target), row.expected);
  }
}

TEST(UrlRelativeForm, EveryRfcExampleRoundTrips) {
  for (auto rows : {std::span<const ResolutionRow>(normalExamples),
                    std::span<const ResolutionRow>(abnormalExamples)}) {
    for (const ResolutionRow &row : rows) {
      SCOPED_TRACE(row.expected);
      std::string relative = relativeUrl(rfcBase, row.expected);
      EXPECT_LE(relative.size(), std::string(row.expected).size());
      EXPECT_EQ(resolveUrl(rfcBase, relative).value_or("<none>"), row.expected);
    }
  }
}

// Generated URLs over the characters that matter to the syntax: the
// relative form always resolves back and is never longer, and resolving
// keeps a URL well formed.
TEST(UrlRelativeForm, GeneratedUrlsRoundTrip) {
  const char alphabet[] = "ab/./;?#:.%";
  const char *prefixes[] = {"http://h", "http://h/", "http://g/x/", "file://", "file:///a/", "x:"};
  std::uint32_t state = 12345;
  auto next = [&state](std::uint32_t limit) {
    state = state * 1103515245u + 12345u;
    return (state >> 16) % limit;
  };
  auto generate = [&] {
    std::string url = prefixes[next(std::size(prefixes))];
    for (std::uint32_t length = next(12); length > 0; --length)
      url += alphabet[next(sizeof alphabet - 1)];
    return url;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string base = generate();
    std::string target = generate();
    if (!isValidUrl(base) || !isValidUrl(target))
      continue;
    SCOPED_TRACE(base + " -> " + target);
    std::string relative = relativeUrl(base, target);
    EXPECT_LE(relative.size(), target.size());
    EXPECT_EQ(resolveUrl(base, relative).value_or("<none>"), target);
    std::optional<std::string> resolved = resolveUrl(base, target.substr(target.find(':') + 1));
    if (resolved)
      EXPECT_TRUE(isValidUrl(*resolved));
  }
}

// ---------------------------------------------------------------------------
// Escapes

TEST(UrlEscapes, EveryCharacterOutsideTheUnreservedSetIsEscaped) {
  for (char32_t c = 0; c <= 0x7F; ++c) {
    SCOPED_TRACE(static_cast<int>(c));
    std::optional<std::u32string> escaped = escapeUrlText(std::u32string(1, c));
    ASSERT_TRUE(escaped.has_value());
    bool unreserved = (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') ||
                      (c >= U'0' && c <= U'9') ||
                      std::u32string_view(U"-_.!~*'()").find(c) != std::u32string_view::npos;
    if (unreserved) {
      EXPECT_EQ(*escaped, std::u32string(1, c));
    } else {
      const char hex[] = "0123456789abcdef";
      EXPECT_EQ(*escaped, (std::u32string{U'%', static_cast<char32_t>(hex[c >> 4]),
                                          static_cast<char32_t>(hex[c & 15])}));
    }
    EXPECT_EQ(unescapeUrlText(*escaped).value_or(U"?!"), std::u32string(1, c));
  }
}

TEST(UrlEscapes, NamedReservedAndUnwiseCharacters) {
  EXPECT_EQ(escapeUrlText(U";/?:@&=+$,").value(), U"%3b%2f%3f%3a%40%26%3d%2b%24%2c");
  EXPECT_EQ(escapeUrlText(U"{}|\\^[]`").value(), U"%7b%7d%7c%5c%5e%5b%5d%60");
  EXPECT_EQ(escapeUrlText(U"<>#%\" ").value(), U"%3c%3e%23%25%22%20");
  EXPECT_EQ(escapeUrlText(U"a\u00E9").has_value(), false);  // above U+007F
  EXPECT_EQ(escapeUrlText(U"").value(), U"");
}

TEST(UrlEscapes, UnescapeRefusesMalformedAndHighEscapes) {
  using namespace std::string_literals;
  const std::optional<std::u32string> refused;
  struct Row {
    std::u32string text;
    std::optional<std::u32string> expected;
  } rows[] = {
      {U"a%20b", U"a b"},   {U"%41%4a%4A", U"AJJ"}, {U"%7F", U"\x7F"},
      {U"%00", U"\0"s},     {U"100%", refused},     {U"%4", refused},
      {U"%", refused},      {U"%g1", refused},      {U"%1g", refused},
      {U"%80", refused},    {U"%FF", refused},      {U"%%41", refused},
      {U"plain", U"plain"}, {U"\u00E9", U"\u00E9"}, {U"", U""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.text.size()) + " characters, first " +
                 ::testing::PrintToString(row.text.empty() ? 0 : static_cast<int>(row.text[0])));
    EXPECT_EQ(unescapeUrlText(row.text), row.expected);
  }
}

// ---------------------------------------------------------------------------
// Access control

struct AccessRow {
  const char *unit;
  const char *domain;
  const char *path;
  const char *caller;
  bool allowed;
};

const AccessRow accessRows[] = {
    // Domain suffix on whole labels, without case.
    {"http://wapforum.org/lib.wmlsc", "wapforum.org", "", "http://www.wapforum.org/x", true},
    {"http://wapforum.org/lib.wmlsc", "wapforum.org", "", "http://wapforum.org/x", true},
    {"http://wapforum.org/lib.wmlsc", "forum.org", "", "http://www.wapforum.org/x", false},
    {"http://wapforum.org/lib.wmlsc", "WapForum.ORG", "", "http://WWW.wapforum.org/x", true},
    {"http://wapforum.org/lib.wmlsc", "www.wapforum.org", "", "http://wapforum.org/x", false},
    {"http://wapforum.org/lib.wmlsc", "org", "", "http://a.b.org/", true},
    // Path prefix on whole segments, with case.
    {"http://h/lib", "", "/X", "http://h/X/Y", true},
    {"http://h/lib", "", "/X", "http://h/X", true},
    {"http://h/lib", "", "/X", "http://h/XZ", false},
    {"http://h/lib", "", "/X", "http://h/x/Y", false},
    {"http://h/lib", "", "/X/", "http://h/X/Y", true},
    {"http://h/lib", "", "/X/Y", "http://h/X", false},
    {"http://h/lib", "", "/X", "http://h/X;p?q#f", true},  // parameters, query: not the path
    // Defaults: the unit's own host, and "/".
    {"http://h/lib", "", "", "http://h/anything", true},
    {"http://h/lib", "", "", "http://H/", true},
    {"http://h/lib", "", "", "http://h", true},
    {"http://h/lib", "", "", "http://other/anything", false},
    {"http://h/lib", "", "", "http://www.h/x", true},
    // A relative path is resolved against the unit's URL.
    {"http://h/app/lib.wmlsc", "", "cards", "http://h/app/cards/deck.wml", true},
    {"http://h/app/lib.wmlsc", "", "cards", "http://h/cards/deck.wml", false},
    {"http://h/app/lib.wmlsc", "", "../other", "http://h/other/deck.wml", true},
    // file: URLs have no host.
    {"file:///u/app/lib.wmlsc", "", "/u/app", "file:///u/app/main.wmlsc", true},
    {"file:///u/app/lib.wmlsc", "", "/u/app", "file:///u/other/main.wmlsc", false},
    {"file:///u/app/lib.wmlsc", "acme.com", "", "file:///u/app/main.wmlsc", false},
    {"file:///u/app/lib.wmlsc", "", "", "file:///anything", true},
    // A malformed caller is refused.
    {"http://h/lib", "", "", "http://h/a b", false},
    {"http://h/lib", "", "", "", false},
};

TEST(UrlAccess, DomainByLabelsPathBySegments) {
  for (const AccessRow &row : accessRows) {
    SCOPED_TRACE(std::string(row.unit) + " domain \"" + row.domain + "\" path \"" + row.path +
                 "\" from " + row.caller);
    EXPECT_EQ(accessAllowed(row.unit, row.domain, row.path, row.caller), row.allowed);
  }
}

// ---------------------------------------------------------------------------
// file: URLs

TEST(UrlFiles, FileUrlsToPaths) {
  struct Row {
    const char *url;
    const char *path;  // null: not a local file
  } rows[] = {
      {"file:///abs/path", "/abs/path"},
      {"file://localhost/abs/path", "/abs/path"},
      {"FILE://LocalHost/abs", "/abs"},
      {"file:/abs/path", "/abs/path"},
      {"file:///a%20b/c%3Bd", "/a b/c;d"},
      {"file:///a;b", "/a;b"},
      {"file:///a?q#f", "/a"},
      {"file:///caf%C3%A9", "/caf\xC3\xA9"},
      {"file:///a%00b", nullptr},
      {"file:///a%4", nullptr},
      {"file://otherhost/a", nullptr},
      {"file://user@localhost/a", nullptr},
      {"file://", nullptr},
      {"http://h/a", nullptr},
      {"/abs/path", nullptr},
      {"file:///a b", nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.url);
    std::optional<std::string> path = fileUrlToPath(row.url);
    if (!row.path) {
      EXPECT_FALSE(path.has_value());
      continue;
    }
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(*path, row.path);
  }
}

TEST(UrlFiles, PathsToFileUrlsAndBack) {
  EXPECT_EQ(pathToFileUrl("/abs/path"), "file:///abs/path");
  EXPECT_EQ(pathToFileUrl("/a b/c;d#e?f%"), "file:///a%20b/c%3bd%23e%3ff%25");
  EXPECT_EQ(pathToFileUrl("/dir/"), "file:///dir/");
  for (const char *path : {"/a b/c;d#e?f%", "/caf\xC3\xA9/x", "/x/:@&=+$,/~"}) {
    SCOPED_TRACE(path);
    std::string url = pathToFileUrl(path);
    EXPECT_TRUE(isValidUrl(url));
    EXPECT_EQ(fileUrlToPath(url).value_or("<none>"), path);
  }
  std::string relative = pathToFileUrl("some/file");
  EXPECT_TRUE(relative.starts_with("file:///"));
  EXPECT_TRUE(relative.ends_with("/some/file"));
}

} // namespace
} // namespace tavokrt
