// The virtual machine: runs the functions of verified units. One dispatch
// loop over the decoded instructions of the running function, one operand
// stack shared by every frame and one vector of frames, so a WMLScript call
// never recurses on the C++ stack and runaway recursion meets the depth
// budget, not the end of the process's stack.
//
// Everything the loader verified (operand indices, jump targets, library
// arities, stack depths within Function::maxStackDepth) is trusted here and
// never checked again.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "library.h"
#include "unit.h"
#include "value.h"

namespace tavokrt {

// The limits of one run; reaching one is a fatal error like any other.
struct Budgets {
  // Instructions executed; an instruction that reads or builds strings also
  // counts one step per 16 of their characters.
  std::uint64_t maxSteps = 100'000'000;
  std::uint32_t maxDepth = 1'000;         // frames on the call stack
  std::size_t maxMemory = 16'000'000;     // characters of all live strings
  std::size_t maxStackValues = 4'000'000; // variables and operands of all frames
};

// A unit ready to run: the verified unit, its debug information when a
// debug file was found, and its constants as values.
struct Module {
  std::string path;  // the file it came from; empty for a unit from memory
  // Its absolute URL: the file: URL of path, or the URL an external call
  // or a --unit mapping named it by; empty for a unit from memory.
  std::string url;
  std::shared_ptr<const Unit> unit;
  std::shared_ptr<const DebugInfo> debug;  // null without a debug file
  std::vector<Value> constants;            // by constant index

  // The name messages use: the extern name, else the debug file's name,
  // else "#index".
  std::string functionName(std::uint32_t functionIndex) const;
};

// Builds a module from a loaded unit (and its debug information, or null);
// its URL is the file: URL of path.
std::shared_ptr<Module> makeModule(std::string path, std::shared_ptr<const Unit> unit,
                                   std::shared_ptr<const DebugInfo> debug);

// Where a frame stood when a run stopped.
struct FrameLocation {
  const Module *module;
  std::uint32_t functionIndex;
  std::uint32_t offset;  // of the instruction within the function's code
};

struct RunResult {
  enum class Status : std::uint8_t { Returned, Exited, Fatal };
  Status status = Status::Returned;
  Value value;          // Returned and Exited: the result
  std::string message;  // Fatal: what went wrong ("stack overflow ...")
  // Fatal: the frames at the fault, innermost first.
  std::vector<FrameLocation> frames;
};

class Machine {
public:
  explicit Machine(Budgets budgets = {});
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  // What the library functions see (the generator, the error stream, the
  // browser). The caller of call() sets refererUrl; call() sets baseUrl to
  // the called module's URL and external calls switch both.
  LibraryContext &libraryContext() { return library_; }
  // Each instruction is written here before it runs; null: no trace.
  void setTrace(std::FILE *stream) { trace_ = stream; }
  // Instructions executed by every run so far.
  std::uint64_t steps() const { return steps_; }

  // Calls function functionIndex of module with the arguments (as many as
  // it has parameters: the caller checks) and runs until it returns, the
  // run exits, or a fatal error stops it. Each call has the whole of every
  // budget. The module must outlive the call.
  RunResult call(const Module &module, std::uint32_t functionIndex,
                 const std::vector<Value> &arguments);

private:
  struct Frame;
  struct Fault;
  template <bool Traced> void execute(std::size_t entryDepth);
  void pushFrame(const Module &module, std::uint32_t functionIndex, std::size_t argumentBase);
  const Module &externalModule(const Module &caller, const std::string &url);
  void callExternal(const Module &caller, const Instruction &instruction, std::size_t &top);
  void checkAccess(const Module &caller, const Module &callee, const std::string &url);
  void leaveUnit();  // back to the URLs of the unit an external call left
  std::uint64_t callLibrary(const Instruction &instruction, std::size_t &top);  // string work
  void traceInstruction(const Frame &frame, const Instruction &instruction, std::size_t top);
  [[noreturn]] void fail(std::string message);

  Budgets budgets_;
  LibraryContext library_;
  std::FILE *trace_ = nullptr;
  std::uint64_t steps_ = 0;
  std::uint64_t stepLimit_ = 0;  // steps_ at which the running call stops
  std::vector<Value> stack_;
  std::vector<Frame> frames_;
  Value empty_;          // "": every local starts as it
  Value result_;         // what the outermost frame of a run returned
  bool exited_ = false;  // the run ended by Lang.exit
  // Units reached by external calls, loaded once per machine, by absolute
  // URL without fragment.
  std::map<std::string, std::shared_ptr<Module>> externalModules_;
  // The base and referer URLs of each unit an external call left.
  std::vector<std::pair<std::string, std::string>> savedUrls_;
};

// Where the unit an external call names lies: url resolved against the
// calling unit's URL, without fragment (into absoluteUrl), then looked up in
// mappings (URL to file; may be null), else the file of a file: URL.
// Nothing for a URL that does not resolve, or that names no mapped unit and
// no file (another scheme, another host: nothing is fetched).
std::optional<std::string> locateUnit(const std::string &callerUrl, const std::string &url,
                                      const std::map<std::string, std::string> *mappings,
                                      std::string &absoluteUrl);

// Empty when callee's `use access` pragmas admit a caller at callerUrl (or
// it has none); else the fatal "access violation: ..." message, naming the
// unit as calledAs.
std::string accessRefusal(const Module &callee, const std::string &calledAs,
                          const std::string &callerUrl);

// The chain a fatal error prints: one "  at line N in function NAME" line
// per frame, innermost first ("at offset 0x..." where a frame's unit has no
// debug file; " (FILE)" after frames of a unit other than the first). A run
// of equal lines is written once with its count; of a chain longer than 20
// lines the first and last ten are kept.
std::string describeFrames(const std::vector<FrameLocation> &frames);

} // namespace tavokrt
