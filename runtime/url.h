// URLs by the generic syntax scheme://host:port/path;parameters?query#fragment:
// splitting into components, validity, resolution of relative URLs, the
// smallest relative form, escapes, file: URLs and the access check of
// `use access`. URLs are byte strings (UTF-8); nothing here touches the
// network.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavokrt {

// The components of a URL; an absent component is empty and its has* flag
// false ("http://h?" has an empty but present query).
struct UrlParts {
  std::string scheme;      // without ':'
  std::string authority;   // [userinfo@]host[:port], without "//"
  std::string host;        // without userinfo and port
  std::string port;        // digits only
  std::string path;        // up to the first ';' after the host
  std::string parameters;  // after that ';', up to '?' or '#'
  std::string query;       // without '?'
  std::string fragment;    // without '#'
  bool hasScheme = false;
  bool hasAuthority = false;  // "//" was present
  bool hasParameters = false;
  bool hasQuery = false;
  bool hasFragment = false;

  bool isAbsolute() const { return hasScheme; }
  // The path with its parameters, as relative resolution sees it.
  std::string pathWithParameters() const;
};

// The components of url; nullopt when it is malformed: a scheme that is not
// a letter followed by letters, digits, '+', '-', '.'; a "://" not preceded
// by such a scheme; a port that is not all digits; a control character or
// space anywhere.
std::optional<UrlParts> parseUrl(std::string_view url);
inline bool isValidUrl(std::string_view url) { return parseUrl(url).has_value(); }

// The URL written back from its components.
std::string composeUrl(const UrlParts &parts);

// url without its fragment ("" stays ""); a malformed URL is returned as is.
std::string urlWithoutFragment(std::string_view url);

// relative resolved against base by RFC 2396: a URL with a scheme is
// absolute; "" and "#f" name base's document; "//h" keeps base's scheme;
// "/p" replaces the path; else base's last segment is replaced, then "."
// and "seg/.." segments are removed. nullopt when either is malformed,
// base has no scheme while relative needs one, or the result would be
// malformed.
std::optional<std::string> resolveUrl(std::string_view base, std::string_view relative);

// The shortest reference that resolveUrl(base, ·) turns back into target:
// "", "#f", "g", "../g", "//h/p", or target itself when nothing shorter
// works (another scheme, a malformed URL).
std::string relativeUrl(std::string_view base, std::string_view target);

// Letters, digits and - _ . ! ~ * ' ( ): what escaping leaves alone.
bool isUnreservedUrlCharacter(char32_t c);
// Every character other than letters, digits and - _ . ! ~ * ' ( ) as
// %hh (lower-case hex). nullopt for a character above U+007F.
std::optional<std::u32string> escapeUrlText(const std::u32string &text);
// Every %hh back to its character; nullopt for a malformed escape or one
// above %7F.
std::optional<std::u32string> unescapeUrlText(const std::u32string &text);

// Whether `use access domain D path P` of the unit at unitUrl admits a
// caller at callerUrl. An empty domain or path stands for an absent one:
// the domain defaults to the unit's host, the path to "/". The caller's
// host must equal the domain or end with "." + domain (whole labels,
// without case); its path must equal the access path or lie below it
// (whole segments, with case). A relative access path is resolved against
// unitUrl first. A malformed caller URL is refused.
bool accessAllowed(std::string_view unitUrl, std::string_view domain, std::string_view path,
                   std::string_view callerUrl);

// The file a file: URL names: host empty or "localhost", path
// percent-decoded (query and fragment ignored). nullopt for another
// scheme, another host, a malformed URL or an escape of NUL.
std::optional<std::string> fileUrlToPath(std::string_view url);
// The file: URL of a path ("file:///abs/path"), made absolute against the
// current directory; bytes other than unreserved ones and '/' are escaped.
std::string pathToFileUrl(std::string_view path);

} // namespace tavokrt
