// URL: components of absolute and relative URLs (never resolved), the
// running unit's base and referer, resolution, escapes and loadString.
// Nothing is fetched from the network: loadString reads the files that
// --load maps URLs to, or the file a file: URL names.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "browser.h"
#include "libsupport.h"
#include "url.h"

namespace tavokrt {

namespace {

// What loadString returns when it cannot load: nothing is at the URL (a
// missing or unreadable file, a URL no --load names and that is not a
// file: URL), or the content is not of the requested type.
constexpr std::int32_t notFound = 404;
constexpr std::int32_t unsupportedMediaType = 415;
constexpr std::string_view defaultContentType = "text/plain";

// A URL argument as bytes; nullopt when the argument is invalid.
std::optional<std::string> urlArgument(const Value &argument) {
  TextArgument text(argument);
  if (!text)
    return std::nullopt;
  return encodeUtf8(*text);
}

Value textValue(std::string_view bytes) { return Value::string(decodeUtf8(bytes)); }

// The components of a URL argument; nullopt for an invalid argument or a
// malformed URL.
std::optional<UrlParts> partsArgument(const Value &argument) {
  std::optional<std::string> url = urlArgument(argument);
  if (!url)
    return std::nullopt;
  return parseUrl(*url);
}

template <std::string UrlParts::*component>
Value componentOf(LibraryContext &, const Value *arguments) {
  std::optional<UrlParts> parts = partsArgument(arguments[0]);
  if (!parts)
    return Value::invalid();
  return textValue((*parts).*component);
}

Value isValid(LibraryContext &, const Value *arguments) {
  std::optional<std::string> url = urlArgument(arguments[0]);
  if (!url)
    return Value::invalid();
  return Value::boolean(isValidUrl(*url));
}

// The running unit's URL without its fragment; invalid when the run gives
// the unit no URL.
std::optional<std::string> baseOf(const LibraryContext &context) {
  if (context.baseUrl.empty())
    return std::nullopt;
  return urlWithoutFragment(context.baseUrl);
}

Value getBase(LibraryContext &context, const Value *) {
  std::optional<std::string> base = baseOf(context);
  return base ? textValue(*base) : Value::invalid();
}

Value getReferer(LibraryContext &context, const Value *) {
  if (context.refererUrl.empty())
    return Value::emptyString();
  std::optional<std::string> base = baseOf(context);
  return textValue(base ? relativeUrl(*base, context.refererUrl) : context.refererUrl);
}

Value resolve(LibraryContext &, const Value *arguments) {
  std::optional<std::string> base = urlArgument(arguments[0]);
  std::optional<std::string> relative = urlArgument(arguments[1]);
  if (!base || !relative)
    return Value::invalid();
  std::optional<std::string> resolved = resolveUrl(*base, *relative);
  return resolved ? textValue(*resolved) : Value::invalid();
}

// Each escape turns one character into three: a long argument could
// triple past the memory budget before the machine sees the result.
bool escapesFit(LibraryContext &context, const Text &text) {
  std::size_t escapes = 0;
  for (char32_t c : text)
    escapes += isUnreservedUrlCharacter(c) ? 0 : 1;
  std::size_t room = context.maxStringLength > text.size() ? context.maxStringLength - text.size() : 0;
  if (escapes <= room / 2)
    return true;
  context.stop = LibraryContext::Stop::Fatal;
  context.fatalMessage = "out of memory: the result would pass " +
                         std::to_string(context.maxStringLength) + " characters";
  return false;
}

Value escapeString(LibraryContext &context, const Value *arguments) {
  TextArgument text(arguments[0]);
  if (!text || !escapesFit(context, *text))
    return Value::invalid();
  std::optional<Text> escaped = escapeUrlText(*text);
  return escaped ? Value::string(std::move(*escaped)) : Value::invalid();
}

Value unescapeString(LibraryContext &, const Value *arguments) {
  TextArgument text(arguments[0]);
  if (!text)
    return Value::invalid();
  std::optional<Text> plain = unescapeUrlText(*text);
  return plain ? Value::string(std::move(*plain)) : Value::invalid();
}

// ---------------------------------------------------------------------------
// loadString

std::string asciiLowerCase(std::string_view text) {
  std::string lowered(text);
  for (char &c : lowered)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return lowered;
}

// One media type "text/SUBTYPE", SUBTYPE a token (no blank, no parameter,
// no list), lower-cased because media types compare without case.
std::optional<std::string> textContentType(std::string_view type) {
  constexpr std::string_view prefix = "text/";
  std::string lowered = asciiLowerCase(type);
  if (!lowered.starts_with(prefix) || lowered.size() == prefix.size())
    return std::nullopt;
  for (char c : std::string_view(lowered).substr(prefix.size())) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || std::string_view("()<>@,;:\\\"/[]?=").find(c) != std::string_view::npos)
      return std::nullopt;
  }
  return lowered;
}

// Where a URL's content comes from: the file and its type.
struct Source {
  std::string file;
  std::string contentType;
};

// The URL a --load option names: fragment left out, and a relative one
// resolved against the current directory, as --card is.
std::string mappedUrl(const std::string &key) {
  std::optional<UrlParts> parts = parseUrl(key);
  if (parts && !parts->isAbsolute()) {
    std::error_code failed;
    std::filesystem::path here = std::filesystem::current_path(failed);
    std::string directory = pathToFileUrl(failed ? "/" : here.string());
    if (!directory.ends_with('/'))
      directory += '/';
    if (std::optional<std::string> resolved = resolveUrl(directory, key))
      return urlWithoutFragment(*resolved);
  }
  return urlWithoutFragment(key);
}

// A --load mapping names the URL exactly (after resolution, fragments
// left out); else a file: URL names its own file, as text/plain.
std::optional<Source> sourceOf(const LibraryContext &context, const std::string &url) {
  if (context.browser) {
    for (const auto &[key, resource] : context.browser->resources) {
      if (mappedUrl(key) != url)
        continue;
      return Source{resource.file, resource.contentType.empty()
                                       ? std::string(defaultContentType)
                                       : asciiLowerCase(resource.contentType)};
    }
  }
  std::optional<std::string> path = fileUrlToPath(url);
  if (!path)
    return std::nullopt;
  return Source{*path, std::string(defaultContentType)};
}

Value loadString(LibraryContext &context, const Value *arguments) {
  std::optional<std::string> url = urlArgument(arguments[0]);
  std::optional<std::string> type = urlArgument(arguments[1]);
  if (!url || !type)
    return Value::invalid();
  std::optional<std::string> contentType = textContentType(*type);
  if (!contentType || !isValidUrl(*url))
    return Value::invalid();
  std::optional<std::string> resolved =
      context.baseUrl.empty() ? std::optional<std::string>(*url) : resolveUrl(context.baseUrl, *url);
  if (!resolved)
    return Value::integer(notFound);

  std::optional<Source> source = sourceOf(context, urlWithoutFragment(*resolved));
  if (!source)
    return Value::integer(notFound);
  // A device or pipe could never end; only a regular file has content.
  std::error_code failed;
  if (!std::filesystem::is_regular_file(source->file, failed))
    return Value::integer(notFound);
  if (source->contentType != *contentType)
    return Value::integer(unsupportedMediaType);
  std::uintmax_t size = std::filesystem::file_size(source->file, failed);
  if (failed)
    return Value::integer(notFound);
  if (size > context.maxStringLength) {
    context.stop = LibraryContext::Stop::Fatal;
    context.fatalMessage = "out of memory: " + *resolved + " holds " + std::to_string(size) +
                           " bytes, beyond " + std::to_string(context.maxStringLength);
    return Value::invalid();
  }
  std::ifstream in(source->file, std::ios::binary);
  if (!in)
    return Value::integer(notFound);
  std::string content(static_cast<std::size_t>(size), '\0');
  in.read(content.data(), static_cast<std::streamsize>(size));
  content.resize(static_cast<std::size_t>(in.gcount()));
  return textValue(content);
}

constexpr LibraryEntry urlFunctions[] = {
    {"isValid", 1, isValid},
    {"getScheme", 1, componentOf<&UrlParts::scheme>},
    {"getHost", 1, componentOf<&UrlParts::host>},
    {"getPort", 1, componentOf<&UrlParts::port>},
    {"getPath", 1, componentOf<&UrlParts::path>},
    {"getParameters", 1, componentOf<&UrlParts::parameters>},
    {"getQuery", 1, componentOf<&UrlParts::query>},
    {"getFragment", 1, componentOf<&UrlParts::fragment>},
    {"getBase", 0, getBase},
    {"getReferer", 0, getReferer},
    {"resolve", 2, resolve},
    {"escapeString", 1, escapeString},
    {"unescapeString", 1, unescapeString},
    {"loadString", 2, loadString},
};

} // namespace

std::span<const LibraryEntry> urlLibrary() { return urlFunctions; }

} // namespace tavokrt
