// tavok-run: loads and verifies a unit (compiling a .wmls source first with
// the tavok beside this program or on the PATH), calls one extern function
// with the arguments of the command line and prints its result as one
// WMLScript literal. Status 0: a return or Lang.exit; 1: usage, load or
// verification error; 2: a fatal error at run time.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "command.h"
#include "interpreter.h"
#include "loader.h"
#include "url.h"

extern char **environ;

using namespace tavokrt;

namespace {

constexpr int StatusUsage = 1;
constexpr int StatusFatal = 2;

void complain(const std::string &message) {
  std::fprintf(stderr, "tavok-run: %s\n", message.c_str());
}

std::vector<std::uint8_t> readFile(const std::string &path, bool &ok) {
  std::ifstream in(path, std::ios::binary);
  ok = static_cast<bool>(in);
  return ok ? std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}) : std::vector<std::uint8_t>();
}

bool isExecutable(const std::string &path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The compiler: beside this program first, then on the PATH.
std::string findCompiler() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    std::string beside = (self.parent_path() / "tavok").string();
    if (isExecutable(beside)) return beside;
  }
  const char *path = std::getenv("PATH");
  std::string_view directories = path ? path : "";
  while (!directories.empty()) {
    std::size_t colon = directories.find(':');
    std::string directory(directories.substr(0, colon));
    directories = colon == std::string_view::npos ? "" : directories.substr(colon + 1);
    std::string candidate = (directory.empty() ? std::string(".") : directory) + "/tavok";
    if (isExecutable(candidate)) return candidate;
  }
  return "";
}

// A compiled unit and its debug file in memory; the temporary files are
// gone before the unit runs.
struct CompiledSource {
  std::vector<std::uint8_t> unit, debug;
};

// Runs `tavok -g SOURCE TMP/unit.wmlsc`. Its messages go to the standard
// error stream, all of them on failure and all but the closing
// "Compilation successful" otherwise.
bool compileSource(const std::string &source, CompiledSource &compiled) {
  std::string compiler = findCompiler();
  if (compiler.empty()) {
    complain(source + ": no tavok compiler beside tavok-run or on the PATH");
    return false;
  }
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tavok-run.XXXXXX";
  std::vector<char> directory(pattern.begin(), pattern.end());
  directory.push_back('\0');
  if (!::mkdtemp(directory.data())) {
    complain(std::string("cannot create a temporary directory: ") + std::strerror(errno));
    return false;
  }
  std::string unitPath = std::string(directory.data()) + "/unit.wmlsc";
  std::string messagesPath = std::string(directory.data()) + "/messages";
  int messages = ::open(messagesPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = messages >= 0;
  int status = -1;
  if (ok) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, messages, 1);
    posix_spawn_file_actions_adddup2(&actions, messages, 2);
    std::vector<std::string> words = {compiler, "-g", source, unitPath};
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child;
    ok = posix_spawn(&child, compiler.c_str(), &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!ok) complain("cannot run " + compiler);
    while (ok && ::waitpid(child, &status, 0) < 0)
      if (errno != EINTR) ok = false;
    ::close(messages);
  }
  bool read = false;
  std::vector<std::uint8_t> text = readFile(messagesPath, read);
  bool compiledOk = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::string shown(text.begin(), text.end());
  const std::string success = "Compilation successful\n";
  if (compiledOk && shown.ends_with(success)) shown.erase(shown.size() - success.size());
  std::fputs(shown.c_str(), stderr);
  if (compiledOk) {
    compiled.unit = readFile(unitPath, read);
    compiledOk = read;
    if (read) compiled.debug = readFile(unitPath + ".dbg", read);
  } else if (ok) {
    complain(source + ": compilation failed");
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory.data(), ignored);
  return compiledOk;
}

std::string hexOffset(std::uint32_t offset) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", offset);
  return text;
}

// The file: URL of the current directory, ending in '/' so that relative
// URLs resolve inside it.
std::string currentDirectoryUrl() {
  std::error_code error;
  std::filesystem::path here = std::filesystem::current_path(error);
  std::string url = pathToFileUrl(error ? "/" : here.string());
  return url.ends_with("/") ? url : url + "/";
}

// The browser of the run, from the options; the card relative to the
// current directory.
void fillBrowser(const RunCommand &command, Browser &browser) {
  browser.variables = command.variables;
  std::string directory = currentDirectoryUrl();
  std::optional<std::string> card = resolveUrl(directory, command.card.value_or(directory));
  browser.currentCard = card ? *card : command.card.value_or(directory);
  browser.resources = command.resources;
  browser.units = command.units;
  browser.batch = command.batch;
  browser.input = stdin;
}

// After the result line: a refresh asked for, the navigation left pending,
// and with --vars every variable in name order.
std::string browserReport(const Browser &browser, bool withVariables) {
  std::string text;
  if (browser.refreshRequested) text += "refresh\n";
  if (browser.navigation == Browser::Navigation::Go)
    text += "go " + formatLiteral(Value::string(decodeUtf8(browser.goUrl))) + "\n";
  else if (browser.navigation == Browser::Navigation::Prev)
    text += "prev\n";
  if (withVariables)
    for (const auto &[name, value] : browser.variables)
      text += name + "=" + formatLiteral(Value::string(decodeUtf8(value))) + "\n";
  return text;
}

int runCommand(const RunCommand &command) {
  auto started = std::chrono::steady_clock::now();
  // UNIT may be a URL that --unit maps to a file: the unit then has that URL.
  auto mapped = command.units.find(urlWithoutFragment(command.unitPath));
  bool byUrl = mapped != command.units.end();
  const std::string &path = byUrl ? mapped->second : command.unitPath;

  // Load and verify; a debug file that does not fit its unit is left out.
  LoadResult loaded;
  DebugLoadResult debugLoaded;
  bool haveDebugBytes = false;
  std::vector<std::uint8_t> debugBytes;
  if (path.size() > 5 && path.ends_with(".wmls")) {
    CompiledSource compiled;
    if (!compileSource(path, compiled)) return StatusUsage;
    loaded = loadUnit(compiled.unit);
    debugBytes = std::move(compiled.debug);
    haveDebugBytes = !debugBytes.empty();
  } else {
    // A file or a pipe; a device such as /dev/zero would never end.
    struct stat status;
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) &&
        !S_ISFIFO(status.st_mode) && !S_ISDIR(status.st_mode)) {
      complain(path + ": not a file");
      return StatusUsage;
    }
    loaded = loadUnitFile(path);
    std::error_code ignored;
    if (loaded && std::filesystem::is_regular_file(path + ".dbg", ignored))
      debugBytes = readFile(path + ".dbg", haveDebugBytes);
  }
  if (!loaded) {
    complain(path + ": " + loaded.error.describe());
    return StatusUsage;
  }
  std::shared_ptr<const DebugInfo> debug;
  if (haveDebugBytes) {
    debugLoaded = loadDebug(debugBytes, *loaded.unit);
    if (debugLoaded)
      debug = debugLoaded.debug;
    else
      complain(path + ".dbg: ignored: " + debugLoaded.error.describe());
  }
  std::shared_ptr<Module> module = makeModule(path, loaded.unit, debug);
  if (byUrl) module->url = urlWithoutFragment(command.unitPath);

  // The function and its arguments, before anything runs.
  const Function *function = loaded.unit->findExternFunction(command.functionName);
  if (!function) {
    bool local = false;
    for (std::size_t i = 0; debug && i < debug->functions.size(); ++i)
      local = local || debug->functions[i].name == command.functionName;
    complain(path + ": " + (local ? "function " + command.functionName + " is not extern"
                                  : "no extern function " + command.functionName));
    return StatusUsage;
  }
  if (function->argumentCount != command.arguments.size()) {
    complain(path + ": function " + command.functionName + " takes " +
             std::to_string(function->argumentCount) +
             (function->argumentCount == 1 ? " argument, " : " arguments, ") +
             std::to_string(command.arguments.size()) + " given");
    return StatusUsage;
  }
  std::vector<Value> arguments;
  for (const std::string &text : command.arguments) {
    Value value;
    std::string error;
    if (!parseArgumentLiteral(text, value, error)) {
      complain("argument " + error);
      return StatusUsage;
    }
    arguments.push_back(std::move(value));
  }

  // The card calls the function: the unit's access pragmas are checked
  // against it as against any other caller.
  Browser browser;
  fillBrowser(command, browser);
  std::string refusal = accessRefusal(*module, command.unitPath, browser.currentCard);
  if (!refusal.empty()) {
    complain(path + ": fatal: " + refusal);
    return StatusFatal;
  }

  Machine machine(command.budgets);
  machine.libraryContext().browser = &browser;
  machine.libraryContext().refererUrl = browser.currentCard;
  std::uint64_t seed = command.seed ? *command.seed : (std::uint64_t{std::random_device{}()} << 32) ^
                                                          static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  machine.libraryContext().random.seed(seed);
  if (command.trace) machine.setTrace(stderr);
  auto index = static_cast<std::uint32_t>(function - loaded.unit->functions.data());
  auto running = std::chrono::steady_clock::now();
  std::clock_t cpuRunning = std::clock();
  RunResult result = machine.call(*module, index, arguments);
  auto finished = std::chrono::steady_clock::now();
  std::fflush(stderr);

  if (command.stats) {
    // CPU time as well as wall-clock time: on a shared machine the first
    // says how fast the loop is, the second how long the user waited.
    double cpuSeconds = static_cast<double>(std::clock() - cpuRunning) / CLOCKS_PER_SEC;
    double runSeconds = std::chrono::duration<double>(finished - running).count();
    double totalSeconds = std::chrono::duration<double>(finished - started).count();
    double steps = static_cast<double>(machine.steps());
    std::fprintf(stderr,
                 "tavok-run: %.0f steps in %.6f s (%.1f million per second), "
                 "CPU %.6f s (%.1f million per second); %.6f s with start-up and load\n",
                 steps, runSeconds, runSeconds > 0 ? steps / runSeconds / 1e6 : 0.0, cpuSeconds,
                 cpuSeconds > 0 ? steps / cpuSeconds / 1e6 : 0.0, totalSeconds);
  }
  if (result.status == RunResult::Status::Fatal) {
    if (result.frames.empty()) {
      complain(path + ": fatal: " + result.message);
      return StatusFatal;
    }
    const FrameLocation &where = result.frames.front();
    complain(where.module->path + ": fatal: " + result.message + " in function " +
             where.module->functionName(where.functionIndex) + " at offset " +
             hexOffset(where.offset));
    bool anyDebug = false;
    for (const FrameLocation &frame : result.frames) anyDebug = anyDebug || frame.module->debug;
    if (anyDebug) std::fputs(describeFrames(result.frames).c_str(), stderr);
    return StatusFatal;
  }
  std::string line = formatLiteral(result.value) + "\n" +
                     browserReport(browser, command.printVariables);
  std::fwrite(line.data(), 1, line.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : StatusUsage;
}

} // namespace

int main(int argc, char **argv) {
  RunCommand command;
  std::string error;
  if (!parseRunCommand(argc, argv, command, error)) {
    complain(error);
    std::fputs(runUsage().c_str(), stderr);
    return StatusUsage;
  }
  if (command.help) {
    std::fputs(runUsage().c_str(), stdout);
    return 0;
  }
  return runCommand(command);
}
