// tavok-dis: verifies a compiled unit and lists it.
//
//   tavok-dis [-g DEBUGFILE] [--raw] [--strict] UNIT
//
// Exit status 0 after a listing, 1 when the unit (or an explicit debug file)
// cannot be read or fails verification, 2 for a usage error. Messages go to
// the standard error stream as "tavok-dis: FILE: message", one line each.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "listing.h"
#include "loader.h"

namespace {

constexpr const char *programName = "tavok-dis";
constexpr const char *usageText = "usage: tavok-dis [-g DEBUGFILE] [--raw] [--strict] UNIT\n";

struct Arguments {
  std::string unitPath;
  std::optional<std::string> debugPath;  // given with -g
  tavokrt::ListingOptions listing;
  tavokrt::LoadOptions load;
};

void reportError(const std::string &file, const std::string &message) {
  std::fprintf(stderr, "%s: %s: %s\n", programName, file.c_str(), message.c_str());
}

void reportWarning(const std::string &file, const std::string &message) {
  std::fprintf(stderr, "%s: %s: warning: %s\n", programName, file.c_str(), message.c_str());
}

[[noreturn]] void usageError(const std::string &problem) {
  std::fprintf(stderr, "%s: %s\n%s", programName, problem.c_str(), usageText);
  std::exit(2);
}

// Options may stand before or after the unit; "--" ends them, so that a
// unit named "-x" can be listed.
Arguments parseArguments(int argc, char **argv) {
  Arguments arguments;
  bool haveUnit = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
      if (argument == "--") {
        optionsEnded = true;
      } else if (argument == "-h" || argument == "--help") {
        std::fputs(usageText, stdout);
        std::exit(0);
      } else if (argument == "--raw") {
        arguments.listing.raw = true;
      } else if (argument == "--strict") {
        arguments.load.strict = true;
      } else if (argument == "-g") {
        if (i + 1 >= argc)
          usageError("option -g needs a debug file");
        if (arguments.debugPath)
          usageError("option -g given twice");
        arguments.debugPath = argv[++i];
      } else {
        usageError("unknown option " + std::string(argument));
      }
      continue;
    }
    if (haveUnit)
      usageError("one unit at a time");
    arguments.unitPath = argument;
    haveUnit = true;
  }
  if (!haveUnit)
    usageError("no unit given");
  return arguments;
}

// The file's bytes, or the system's reason why they cannot be read. A unit
// and a debug file both say their own size in their first bytes (a version
// byte, then at most five bytes of size), so no more than that, and one byte
// to notice a longer file, is read: an endless device cannot make the run
// hang, and the loader reports the difference in size.
std::optional<std::vector<std::uint8_t>> readFileBytes(const std::string &path, std::string &reason) {
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (!file) {
    reason = std::string("cannot open: ") + std::strerror(errno);
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(6);
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
  std::uint64_t wanted = bytes.size();
  // A file that is no unit of version 0x01 is refused at its first byte.
  if (bytes.size() > 1 && bytes[0] == 0x01) {
    // version byte, then a size of 7 bits a byte, the top bit on every byte but the last
    std::uint64_t size = 0;
    std::size_t position = 1;
    while (position < bytes.size() && position <= 5) {
      size = size << 7 | (bytes[position] & 0x7F);
      if (!(bytes[position++] & 0x80))
        break;
    }
    wanted = position + size + 1;
  }
  while (!std::ferror(file) && !std::feof(file) && bytes.size() < wanted) {
    std::size_t had = bytes.size();
    std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(wanted - had, 1 << 20));
    bytes.resize(had + piece);
    bytes.resize(had + std::fread(bytes.data() + had, 1, piece, file));
  }
  bool failed = std::ferror(file);
  int error = errno;
  std::fclose(file);
  if (failed) {
    reason = std::string("cannot read: ") + std::strerror(error);
    return std::nullopt;
  }
  return bytes;
}

void reportLoadWarnings(const std::string &unitPath, const tavokrt::Unit &unit) {
  for (const tavokrt::LoadWarning &warning : unit.warnings) {
    tavokrt::LoadError located{.hasOffset = true, .offset = warning.offset, .message = warning.message};
    reportWarning(unitPath, located.describe());
  }
}

bool fileExists(const std::string &path) {
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (file)
    std::fclose(file);
  return file != nullptr || errno != ENOENT;
}

// The debug file named with -g must load, or the run fails; UNIT.dbg, looked
// for without being asked, is used when it loads and otherwise only warned
// about, since the listing is complete without it.
bool loadDebugInfo(const Arguments &arguments, const tavokrt::Unit &unit,
                   std::shared_ptr<const tavokrt::DebugInfo> &debug) {
  bool explicitFile = arguments.debugPath.has_value();
  std::string path = explicitFile ? *arguments.debugPath : arguments.unitPath + ".dbg";
  if (!explicitFile && !fileExists(path))
    return true;
  std::string problem;
  if (std::optional<std::vector<std::uint8_t>> bytes = readFileBytes(path, problem)) {
    tavokrt::DebugLoadResult result = tavokrt::loadDebug(*bytes, unit);
    if (result) {
      debug = result.debug;
      return true;
    }
    problem = result.error.describe();
  }
  if (explicitFile) {
    reportError(path, problem);
    return false;
  }
  reportWarning(path, problem + " (listed without it)");
  return true;
}

int disassemble(const Arguments &arguments) {
  std::string reason;
  std::optional<std::vector<std::uint8_t>> bytes = readFileBytes(arguments.unitPath, reason);
  if (!bytes) {
    reportError(arguments.unitPath, reason);
    return 1;
  }
  tavokrt::LoadResult loaded = tavokrt::loadUnit(*bytes, arguments.load);
  if (!loaded) {
    reportError(arguments.unitPath, loaded.error.describe());
    return 1;
  }
  reportLoadWarnings(arguments.unitPath, *loaded.unit);

  std::shared_ptr<const tavokrt::DebugInfo> debug;
  if (!arguments.listing.raw && !loadDebugInfo(arguments, *loaded.unit, debug))
    return 1;

  tavokrt::ListingInput input{*loaded.unit, *bytes, debug.get(), arguments.listing};
  if (!tavokrt::writeListing(input, stdout) || std::fflush(stdout) != 0) {
    reportError("standard output", std::strerror(errno));
    return 1;
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  Arguments arguments = parseArguments(argc, argv);
  try {
    return disassemble(arguments);
  } catch (const std::bad_alloc &) {
    // A header that announces gigabytes, or a listing of a unit near the
    // size limit on a small machine.
    std::fflush(stdout);
    reportError(arguments.unitPath, "out of memory");
    return 1;
  }
}
