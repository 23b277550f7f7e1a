// Dialogs, and WMLSExtension.setAtt. A dialog writes one line to the error
// stream and reads its answer, a line, from the browser's input:
//   prompt: MESSAGE [DEFAULT]     the line typed; an empty one takes DEFAULT
//   confirm: MESSAGE [OK/CANCEL]  y... or OK → true, n... or CANCEL → false,
//                                 an empty line → true; anything else asks
//                                 again, ten questions at most, then true
//   alert: MESSAGE                reads nothing
// When the input has run out, prompt takes its default and confirm its
// first button (true). In batch mode any dialog is a fatal error: a test
// must not wait for an answer no one will type. Without a browser the
// dialogs are written and answered as if the input had run out.
#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "browser.h"
#include "libsupport.h"

namespace tavokrt {

namespace {

void writeLine(LibraryContext &context, const std::string &line) {
  if (!context.errorStream)
    return;
  std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), context.errorStream);
  std::fflush(context.errorStream);  // shown before the answer is read
}

// True when the run refuses dialogs; the machine then stops with the
// function's name before the message.
bool refusedInBatch(LibraryContext &context) {
  if (!context.browser || !context.browser->batch)
    return false;
  context.stop = LibraryContext::Stop::Fatal;
  context.fatalMessage = "a dialog in --batch mode";
  return true;
}

// The longest answer read at once: an input without line ends (a device
// such as /dev/zero) must not be read for ever.
constexpr std::size_t longestAnswer = 65536;
// Answers confirm does not understand before it takes its first button.
constexpr int confirmQuestions = 10;

// One line of input without its line end; nothing when the input has run
// out. A longer line is cut after longestAnswer bytes (or the memory
// budget's string length), and its rest is the next answer.
std::optional<std::string> readAnswer(LibraryContext &context) {
  std::FILE *input = context.browser ? context.browser->input : nullptr;
  if (!input)
    return std::nullopt;
  std::size_t limit = std::min(longestAnswer, context.maxStringLength);
  std::string line;
  int c;
  bool any = false;
  while (line.size() < limit && (c = std::fgetc(input)) != EOF) {
    any = true;
    if (c == '\n')
      break;
    line += static_cast<char>(c);
  }
  if (!any)
    return std::nullopt;
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  return line;
}

std::string trimmed(const std::string &text) {
  std::size_t first = 0, last = text.size();
  while (first < last && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
  while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
  return text.substr(first, last - first);
}

bool equalWithoutCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

Value prompt(LibraryContext &context, const Value *arguments) {
  if (refusedInBatch(context))
    return Value::invalid();
  TextArgument message(arguments[0]), defaultText(arguments[1]);
  if (!message || !defaultText)
    return Value::invalid();
  writeLine(context, "prompt: " + encodeUtf8(*message) + " [" + encodeUtf8(*defaultText) + "]");
  std::optional<std::string> answer = readAnswer(context);
  if (!answer || answer->empty())
    return Value::string(*defaultText);
  return Value::string(decodeUtf8(*answer));
}

Value confirm(LibraryContext &context, const Value *arguments) {
  if (refusedInBatch(context))
    return Value::invalid();
  TextArgument message(arguments[0]), ok(arguments[1]), cancel(arguments[2]);
  if (!message || !ok || !cancel)
    return Value::invalid();
  std::string okText = encodeUtf8(*ok), cancelText = encodeUtf8(*cancel);
  std::string question = "confirm: " + encodeUtf8(*message) + " [" + okText + "/" + cancelText + "]";
  for (int asked = 0; asked < confirmQuestions; ++asked) {
    writeLine(context, question);
    std::optional<std::string> answer = readAnswer(context);
    if (!answer)
      return Value::boolean(true);
    std::string word = trimmed(*answer);
    // The buttons' own words first, so a button called "No" is not taken
    // for a no when it is the ok button.
    if (word.empty() || equalWithoutCase(word, trimmed(okText)))
      return Value::boolean(true);
    if (equalWithoutCase(word, trimmed(cancelText)))
      return Value::boolean(false);
    if (word[0] == 'y' || word[0] == 'Y')
      return Value::boolean(true);
    if (word[0] == 'n' || word[0] == 'N')
      return Value::boolean(false);
  }
  return Value::boolean(true);
}

Value alert(LibraryContext &context, const Value *arguments) {
  if (refusedInBatch(context))
    return Value::invalid();
  TextArgument message(arguments[0]);
  if (!message)
    return Value::invalid();
  writeLine(context, "alert: " + encodeUtf8(*message));
  return Value::emptyString();
}

// Not among the standard libraries; ours: one line naming the attribute
// and its value as WMLScript literals, and "".
Value setAtt(LibraryContext &context, const Value *arguments) {
  writeLine(context, "setAtt: " + formatLiteral(arguments[0]) + " " + formatLiteral(arguments[1]));
  return Value::emptyString();
}

constexpr LibraryEntry dialogsFunctions[] = {
    {"prompt", 2, prompt},
    {"confirm", 3, confirm},
    {"alert", 1, alert},
};

constexpr LibraryEntry extensionFunctions[] = {
    {"setAtt", 2, setAtt},
};

} // namespace

std::span<const LibraryEntry> dialogsLibrary() { return dialogsFunctions; }
std::span<const LibraryEntry> extensionLibrary() { return extensionFunctions; }

} // namespace tavokrt
