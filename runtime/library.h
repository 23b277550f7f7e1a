// The standard libraries as the machine calls them: one implementation per
// (library index, function index), each taking exactly the parameter count
// of instructions.h's library table and returning its value. Arguments of
// the wrong type give invalid, never a fatal error (the WMLScript standard's
// non-fatal rule); a function that must end the run says so in the context.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "value.h"

namespace tavokrt {

// The generator behind Lang.random and Lang.seed (our own: splitmix64).
// The same seed gives the same sequence on every machine.
struct RandomGenerator {
  std::uint64_t state = 0x853C49E6748FEA9BULL;
  void seed(std::uint64_t value) { state = value; }
  std::uint64_t next();
  // Uniform in 0..limit inclusive.
  std::uint32_t upTo(std::uint32_t limit);
};

// What a library function may touch of the running machine.
struct LibraryContext {
  RandomGenerator random;
  std::FILE *errorStream = stderr;      // WMLSDebug and, later, the dialogs
  std::uint32_t characterSet = 106;     // what Lang.characterSet reports
  // The longest string a library function may build (the machine sets its
  // memory budget here): String.replace multiplies lengths, and a longer
  // result is the fatal "out of memory" before it is allocated.
  std::size_t maxStringLength = 16'000'000;

  // The browser around the machine (URL, WMLBrowser, Dialogs): the running
  // unit's absolute URL without fragment (URL.getBase), the URL of whoever
  // called it (URL.getReferer: the card, or the calling unit), and the
  // simulated browser (browser.h); null when the run has none.
  std::string baseUrl;
  std::string refererUrl;
  struct Browser *browser = nullptr;

  // A function that ends the run sets stop; the machine stops after the
  // call returns. Exit: Lang.exit, the run ends normally with exitValue.
  // Fatal: Lang.abort or a fatal library error, with fatalMessage.
  enum class Stop : std::uint8_t { None, Exit, Fatal };
  Stop stop = Stop::None;
  Value exitValue;
  std::string fatalMessage;
};

using LibraryFunction = Value (*)(LibraryContext &context, const Value *arguments);

// Null when this runtime has no implementation of the function (the
// machine reports that as a fatal error when the call is reached).
LibraryFunction findLibraryImplementation(std::uint32_t library, std::uint32_t function);

} // namespace tavokrt
