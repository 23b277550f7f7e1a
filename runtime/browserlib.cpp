// WMLBrowser: the variables of the browser context, the navigation a script
// asks for, and the current card, all held by the simulated browser
// (browser.h). Navigation is only recorded here: go and prev take effect
// when the script has ended, and the last one asked for wins.
//
// Without a browser (a machine run with none) every function returns
// invalid and has no effect: there is no context to read or change.
#include <algorithm>
#include <string>

#include "browser.h"
#include "libsupport.h"
#include "url.h"

namespace tavokrt {

bool isBrowserVariableName(std::string_view name) {
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  if (name.empty() || !letter(name[0]))
    return false;
  for (char c : name.substr(1))
    if (!letter(c) && !(c >= '0' && c <= '9'))
      return false;
  return true;
}

namespace {

Value textValue(const std::string &utf8) { return Value::string(decodeUtf8(utf8)); }

// The variable name an argument gives, or nothing when it is not a string,
// number or boolean, or not a valid name.
bool variableName(const Value &argument, std::string &name) {
  TextArgument text(argument);
  if (!text)
    return false;
  name = encodeUtf8(*text);
  return isBrowserVariableName(name);
}

Value getVar(LibraryContext &context, const Value *arguments) {
  std::string name;
  if (!context.browser || !variableName(arguments[0], name))
    return Value::invalid();
  auto found = context.browser->variables.find(name);
  return found == context.browser->variables.end() ? Value::emptyString() : textValue(found->second);
}

Value setVar(LibraryContext &context, const Value *arguments) {
  std::string name;
  TextArgument value(arguments[1]);
  if (!context.browser || !variableName(arguments[0], name) || !value)
    return Value::invalid();
  // The variables outlive every string of the run, so they are held to
  // the same budget: a loop setting ever new names meets it.
  Browser &browser = *context.browser;
  std::string text = encodeUtf8(*value);
  auto known = browser.variables.find(name);
  std::size_t released = known == browser.variables.end() ? 0 : name.size() + known->second.size();
  std::size_t total = browser.variableBytes - std::min(released, browser.variableBytes) +
                      name.size() + text.size();
  if (total > context.maxStringLength) {
    context.stop = LibraryContext::Stop::Fatal;
    context.fatalMessage = "out of memory: browser variables beyond " +
                           std::to_string(context.maxStringLength) + " bytes";
    return Value::invalid();
  }
  browser.variableBytes = total;
  browser.variables[name] = std::move(text);
  return Value::boolean(true);
}

// go("") takes back whatever go or prev asked for before.
Value go(LibraryContext &context, const Value *arguments) {
  TextArgument url(arguments[0]);
  if (!context.browser || !url)
    return Value::invalid();
  Browser &browser = *context.browser;
  if (url->empty()) {
    browser.navigation = Browser::Navigation::None;
    browser.goUrl.clear();
  } else {
    browser.navigation = Browser::Navigation::Go;
    browser.goUrl = encodeUtf8(*url);
  }
  return Value::emptyString();
}

Value prev(LibraryContext &context, const Value *) {
  if (!context.browser)
    return Value::invalid();
  context.browser->navigation = Browser::Navigation::Prev;
  context.browser->goUrl.clear();
  return Value::emptyString();
}

// The history goes with the variables, so a pending prev has nowhere left
// to go and is dropped; a pending go still leaves for its URL.
Value newContext(LibraryContext &context, const Value *) {
  if (!context.browser)
    return Value::invalid();
  Browser &browser = *context.browser;
  browser.variables.clear();
  browser.variableBytes = 0;
  if (browser.navigation == Browser::Navigation::Prev)
    browser.navigation = Browser::Navigation::None;
  return Value::emptyString();
}

Value getCurrentCard(LibraryContext &context, const Value *) {
  if (!context.browser || context.browser->currentCard.empty())
    return Value::invalid();
  const std::string &card = context.browser->currentCard;
  if (context.baseUrl.empty())
    return textValue(card);
  return textValue(relativeUrl(context.baseUrl, card));
}

Value refresh(LibraryContext &context, const Value *) {
  if (!context.browser)
    return Value::invalid();
  context.browser->refreshRequested = true;
  return Value::emptyString();
}

constexpr LibraryEntry browserFunctions[] = {
    {"getVar", 1, getVar},
    {"setVar", 2, setVar},
    {"go", 1, go},
    {"prev", 0, prev},
    {"newContext", 0, newContext},
    {"getCurrentCard", 0, getCurrentCard},
    {"refresh", 0, refresh},
};

} // namespace

std::span<const LibraryEntry> browserLibrary() { return browserFunctions; }

} // namespace tavokrt
