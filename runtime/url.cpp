// URLs by the generic syntax: components, resolution, relative forms,
// escapes, file: URLs and the access check.
#include "url.h"

#include <algorithm>
#include <filesystem>
#include <vector>

namespace tavokrt {

namespace {

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool isSchemeCharacter(char c) {
  return isAsciiLetter(c) || isAsciiDigit(c) || c == '+' || c == '-' || c == '.';
}

bool isScheme(std::string_view text) {
  return !text.empty() && isAsciiLetter(text[0]) &&
         std::all_of(text.begin(), text.end(), isSchemeCharacter);
}

std::string lowerCase(std::string_view text) {
  std::string lowered(text);
  for (char &c : lowered)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return lowered;
}

bool hasForbiddenCharacter(std::string_view url) {
  return std::any_of(url.begin(), url.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7F;
  });
}

// A "://" names a scheme before it: the scheme characters just before it
// must form one ("experimental?://host" has none, "1x://host" a bad one).
// A "://" inside a query stays legal when it follows a scheme-like word
// ("?u=http://host").
bool everySchemeSeparatorFollowsScheme(std::string_view url) {
  for (std::size_t at = url.find("://"); at != std::string_view::npos; at = url.find("://", at + 1)) {
    std::size_t start = at;
    while (start > 0 && isSchemeCharacter(url[start - 1]))
      --start;
    if (!isScheme(url.substr(start, at - start)))
      return false;
  }
  return true;
}

bool isAllDigits(std::string_view text) { return std::all_of(text.begin(), text.end(), isAsciiDigit); }

// [userinfo@]host[:port]; a bracketed IPv6 host keeps its colons.
bool splitAuthority(UrlParts &parts) {
  std::string_view hostPort = parts.authority;
  std::size_t at = hostPort.rfind('@');
  if (at != std::string_view::npos)
    hostPort.remove_prefix(at + 1);
  std::size_t colon;
  if (hostPort.starts_with('[')) {
    std::size_t close = hostPort.find(']');
    if (close == std::string_view::npos)
      return false;
    colon = close + 1;
    if (colon < hostPort.size() && hostPort[colon] != ':')
      return false;
  } else {
    colon = hostPort.find(':');
  }
  parts.host = std::string(hostPort.substr(0, colon));
  if (colon < hostPort.size()) {
    parts.port = std::string(hostPort.substr(colon + 1));
    if (!isAllDigits(parts.port))
      return false;
  }
  return true;
}

int hexValue(char32_t c) {
  if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
  if (c >= U'a' && c <= U'f') return static_cast<int>(c - U'a' + 10);
  if (c >= U'A' && c <= U'F') return static_cast<int>(c - U'A' + 10);
  return -1;
}

constexpr char lowerHexDigits[] = "0123456789abcdef";

// Letters, digits and the marks RFC 2396 calls unreserved.
bool isUnreservedCharacter(char32_t c) {
  return (c < 0x80 && (isAsciiLetter(static_cast<char>(c)) || isAsciiDigit(static_cast<char>(c)))) ||
         std::u32string_view(U"-_.!~*'()").find(c) != std::u32string_view::npos;
}

// ---------------------------------------------------------------------------
// Resolution

// The path of relative merged into base's directory (all of base's path up
// to its last '/'); a base with an authority and no '/' in its path
// ("http://h", "http://h;p") has "/" as its directory.
std::string mergePaths(const UrlParts &base, std::string_view relative) {
  std::string basePath = base.pathWithParameters();
  std::size_t slash = basePath.rfind('/');
  if (slash == std::string::npos)
    return (base.hasAuthority ? "/" : "") + std::string(relative);
  return basePath.substr(0, slash + 1) + std::string(relative);
}

std::vector<std::string> splitSegments(std::string_view path) {
  std::vector<std::string> segments;
  std::size_t start = 0;
  while (true) {
    std::size_t slash = path.find('/', start);
    segments.emplace_back(path.substr(start, slash - start));
    if (slash == std::string_view::npos)
      return segments;
    start = slash + 1;
  }
}

// "." segments go; "seg/.." pairs go where seg is not ".."; a ".." that
// climbs above the root stays ("/../g"), as RFC 2396 keeps it. A path ending
// in "." or ".." keeps its trailing '/'.
std::string removeDotSegments(std::string_view path) {
  bool rooted = path.starts_with('/');
  if (rooted)
    path.remove_prefix(1);
  std::vector<std::string> segments = splitSegments(path);
  std::vector<std::string> kept;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    bool last = i + 1 == segments.size();
    const std::string &segment = segments[i];
    if (segment == ".") {
      if (last)
        kept.emplace_back();
    } else if (segment == ".." && !kept.empty() && kept.back() != "..") {
      kept.pop_back();
      if (last)
        kept.emplace_back();
    } else {
      kept.push_back(segment);
    }
  }
  std::string result = rooted ? "/" : "";
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i > 0)
      result += '/';
    result += kept[i];
  }
  return result;
}

// ---------------------------------------------------------------------------
// Relative forms

// The path of target relative to base's directory: "g", "../g", ".", "..";
// empty when the two paths are not both rooted.
std::string relativePath(std::string_view basePath, std::string_view targetPath) {
  if (!basePath.starts_with('/') || !targetPath.starts_with('/'))
    return "";
  std::vector<std::string> baseDirectory =
      splitSegments(basePath.substr(1, basePath.rfind('/')));  // ends with ""
  baseDirectory.pop_back();
  std::vector<std::string> target = splitSegments(targetPath.substr(1));
  std::size_t common = 0;
  while (common < baseDirectory.size() && common + 1 < target.size() &&
         baseDirectory[common] == target[common])
    ++common;
  std::size_t ups = baseDirectory.size() - common;
  std::string rest;
  for (std::size_t i = common; i < target.size(); ++i) {
    if (i > common)
      rest += '/';
    rest += target[i];
  }
  std::string result;
  for (std::size_t i = 0; i < ups; ++i)
    result += "../";
  if (rest.empty())
    return result.empty() ? "." : result.substr(0, result.size() - 1);
  // A first segment with ':' would read as a scheme, one that is empty as
  // an absolute path.
  std::string_view first = std::string_view(rest).substr(0, rest.find('/'));
  if (result.empty() && (first.empty() || first.find(':') != std::string_view::npos))
    result = "./";
  return result + rest;
}

} // namespace

bool isUnreservedUrlCharacter(char32_t c) { return isUnreservedCharacter(c); }

std::string UrlParts::pathWithParameters() const {
  return hasParameters ? path + ";" + parameters : path;
}

std::optional<UrlParts> parseUrl(std::string_view url) {
  if (hasForbiddenCharacter(url) || !everySchemeSeparatorFollowsScheme(url))
    return std::nullopt;
  UrlParts parts;
  std::string_view rest = url;
  if (std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
    parts.fragment = std::string(rest.substr(hash + 1));
    parts.hasFragment = true;
    rest = rest.substr(0, hash);
  }
  if (std::size_t question = rest.find('?'); question != std::string_view::npos) {
    parts.query = std::string(rest.substr(question + 1));
    parts.hasQuery = true;
    rest = rest.substr(0, question);
  }
  // A ':' before any '/' ends a scheme ("a:b" has one, "./a:b" none).
  std::size_t colon = rest.find(':');
  if (colon != std::string_view::npos && colon < rest.find('/')) {
    if (!isScheme(rest.substr(0, colon)))
      return std::nullopt;
    parts.scheme = std::string(rest.substr(0, colon));
    parts.hasScheme = true;
    rest.remove_prefix(colon + 1);
  }
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    std::size_t end = rest.find_first_of("/;");
    parts.authority = std::string(rest.substr(0, end));
    parts.hasAuthority = true;
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    if (!splitAuthority(parts))
      return std::nullopt;
  }
  std::size_t semicolon = rest.find(';');
  parts.path = std::string(rest.substr(0, semicolon));
  if (semicolon != std::string_view::npos) {
    parts.parameters = std::string(rest.substr(semicolon + 1));
    parts.hasParameters = true;
  }
  return parts;
}

std::string composeUrl(const UrlParts &parts) {
  std::string url;
  if (parts.hasScheme)
    url += parts.scheme + ":";
  if (parts.hasAuthority)
    url += "//" + parts.authority;
  url += parts.pathWithParameters();
  if (parts.hasQuery)
    url += "?" + parts.query;
  if (parts.hasFragment)
    url += "#" + parts.fragment;
  return url;
}

std::string urlWithoutFragment(std::string_view url) {
  std::optional<UrlParts> parts = parseUrl(url);
  if (!parts)
    return std::string(url);
  parts->hasFragment = false;
  parts->fragment.clear();
  return composeUrl(*parts);
}

std::optional<std::string> resolveUrl(std::string_view base, std::string_view relative) {
  std::optional<UrlParts> ref = parseUrl(relative);
  std::optional<UrlParts> from = parseUrl(base);
  if (!ref || !from)
    return std::nullopt;
  if (ref->hasScheme)
    return std::string(relative);
  if (!from->hasScheme)
    return std::nullopt;

  UrlParts result;
  result.scheme = from->scheme;
  result.hasScheme = true;
  result.fragment = ref->fragment;
  result.hasFragment = ref->hasFragment;
  std::string refPath = ref->pathWithParameters();
  if (refPath.empty() && !ref->hasAuthority && !ref->hasQuery) {
    // "" or "#f": the base document itself.
    result.authority = from->authority;
    result.hasAuthority = from->hasAuthority;
    result.path = from->pathWithParameters();
    result.query = from->query;
    result.hasQuery = from->hasQuery;
    return composeUrl(result);
  }
  result.query = ref->query;
  result.hasQuery = ref->hasQuery;
  if (ref->hasAuthority) {
    result.authority = ref->authority;
    result.hasAuthority = true;
    result.path = refPath;
  } else {
    result.authority = from->authority;
    result.hasAuthority = from->hasAuthority;
    result.path = refPath.starts_with('/') ? refPath : removeDotSegments(mergePaths(*from, refPath));
  }
  // Merging can put a "://" after something that is no scheme
  // ("x:..:/./b" and ".//c" give "x:..://c").
  std::string resolved = composeUrl(result);
  if (!isValidUrl(resolved))
    return std::nullopt;
  return resolved;
}

std::string relativeUrl(std::string_view base, std::string_view target) {
  std::optional<UrlParts> from = parseUrl(base);
  std::optional<UrlParts> to = parseUrl(target);
  if (!from || !to || !from->hasScheme || !to->hasScheme ||
      lowerCase(from->scheme) != lowerCase(to->scheme))
    return std::string(target);

  std::string tail;
  if (to->hasQuery)
    tail += "?" + to->query;
  if (to->hasFragment)
    tail += "#" + to->fragment;
  std::string targetPath = to->pathWithParameters();

  // Candidates from the shortest kind to the longest; the shortest that
  // resolves back to target exactly wins.
  std::vector<std::string> candidates;
  candidates.push_back(to->hasFragment ? "#" + to->fragment : "");
  if (to->hasQuery && targetPath.empty())
    candidates.push_back(tail);
  if (std::string path = relativePath(from->pathWithParameters(), targetPath); !path.empty()) {
    candidates.push_back(path + tail);
    if (tail.starts_with('?') && path == ".")
      candidates.push_back(tail);  // "?y" resolves in base's directory
  }
  if (targetPath.starts_with('/') && !targetPath.starts_with("//"))
    candidates.push_back(targetPath + tail);
  if (to->hasAuthority)
    candidates.push_back("//" + to->authority + targetPath + tail);

  std::string best(target);
  for (const std::string &candidate : candidates) {
    if (candidate.size() >= best.size())
      continue;
    std::optional<std::string> back = resolveUrl(base, candidate);
    if (back && *back == target)
      best = candidate;
  }
  return best;
}

std::optional<std::u32string> escapeUrlText(const std::u32string &text) {
  std::u32string escaped;
  escaped.reserve(text.size());
  for (char32_t c : text) {
    if (c > 0x7F)
      return std::nullopt;
    if (isUnreservedCharacter(c)) {
      escaped += c;
      continue;
    }
    escaped += U'%';
    escaped += static_cast<char32_t>(lowerHexDigits[c >> 4]);
    escaped += static_cast<char32_t>(lowerHexDigits[c & 0xF]);
  }
  return escaped;
}

std::optional<std::u32string> unescapeUrlText(const std::u32string &text) {
  std::u32string plain;
  plain.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != U'%') {
      plain += text[i];
      continue;
    }
    if (i + 2 >= text.size())
      return std::nullopt;
    int high = hexValue(text[i + 1]);
    int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0 || high > 7)
      return std::nullopt;
    plain += static_cast<char32_t>(high * 16 + low);
    i += 2;
  }
  return plain;
}

bool accessAllowed(std::string_view unitUrl, std::string_view domain, std::string_view path,
                   std::string_view callerUrl) {
  std::optional<UrlParts> caller = parseUrl(callerUrl);
  if (!caller)
    return false;
  std::optional<UrlParts> unit = parseUrl(unitUrl);

  std::string wantedDomain = lowerCase(domain.empty() ? (unit ? unit->host : "") : domain);
  std::string callerHost = lowerCase(caller->host);
  bool domainAdmits = callerHost == wantedDomain ||
                      (!wantedDomain.empty() && callerHost.ends_with("." + wantedDomain));

  std::string wantedPath = path.empty() ? "/" : std::string(path);
  if (!wantedPath.starts_with('/')) {
    std::optional<std::string> resolved = resolveUrl(unitUrl, wantedPath);
    std::optional<UrlParts> resolvedParts = resolved ? parseUrl(*resolved) : std::nullopt;
    if (!resolvedParts || !resolvedParts->path.starts_with('/'))
      return false;
    wantedPath = resolvedParts->path;
  }
  std::string callerPath = caller->path.empty() ? "/" : caller->path;
  std::string below = wantedPath.ends_with('/') ? wantedPath : wantedPath + "/";
  bool pathAdmits = callerPath == wantedPath || callerPath.starts_with(below);
  return domainAdmits && pathAdmits;
}

std::optional<std::string> fileUrlToPath(std::string_view url) {
  std::optional<UrlParts> parts = parseUrl(url);
  if (!parts || lowerCase(parts->scheme) != "file")
    return std::nullopt;
  if (parts->hasAuthority &&
      (parts->authority != parts->host || (!parts->host.empty() && lowerCase(parts->host) != "localhost")))
    return std::nullopt;
  std::string encoded = parts->pathWithParameters();
  if (encoded.empty())
    return std::nullopt;
  std::string path;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] != '%') {
      path += encoded[i];
      continue;
    }
    if (i + 2 >= encoded.size())
      return std::nullopt;
    int high = hexValue(static_cast<unsigned char>(encoded[i + 1]));
    int low = hexValue(static_cast<unsigned char>(encoded[i + 2]));
    if (high < 0 || low < 0 || (high == 0 && low == 0))
      return std::nullopt;
    path += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return path;
}

std::string pathToFileUrl(std::string_view path) {
  std::error_code failed;
  std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(path), failed);
  std::string text = failed ? std::string(path) : absolute.string();
  std::string url = "file://";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80 && (isUnreservedCharacter(byte) || std::string_view("/:@&=+$,").find(c) != std::string_view::npos)) {
      url += c;
      continue;
    }
    url += '%';
    url += lowerHexDigits[byte >> 4];
    url += lowerHexDigits[byte & 0xF];
  }
  return url;
}

} // namespace tavokrt
