// The dispatch loop and the calls. The loader has verified every unit that
// reaches this file: operand indices, jump targets, library arities and the
// operand stack's depth (never below the frame's operands, never above
// Function::maxStackDepth) are trusted, not checked again.
#include "interpreter.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <memory>
#include <new>

#include "browser.h"
#include "instructions.h"
#include "loader.h"
#include "operators.h"
#include "url.h"

namespace tavokrt {

namespace {

// A slot that holds no string has nothing to release: the new value is
// built in place, without the release step of an assignment.
[[gnu::always_inline]] inline void place(Value &slot, const Value &value) {
  std::construct_at(&slot, value);
}
[[gnu::always_inline]] inline void place(Value &slot, Value &&value) {
  std::construct_at(&slot, std::move(value));
}
[[gnu::always_inline]] inline void assign(Value &slot, Value &&value) {
  if (slot.isString())
    slot = std::move(value);
  else
    place(slot, std::move(value));
}

// What an instruction costs beyond its own step for a string it reads or
// builds: one step per 16 characters, about the time a plain instruction
// takes. A loop over huge strings then meets the step budget in about the
// time a loop of plain instructions would, instead of running for hours.
inline std::uint64_t stringWork(const Value &value) {
  return value.isString() ? value.asText().size() / 16 : 0;
}

} // namespace

// ---------------------------------------------------------------------------
// Modules

std::string Module::functionName(std::uint32_t functionIndex) const {
  const Function &function = unit->functions[functionIndex];
  if (function.isExtern) return function.externName;
  if (debug && functionIndex < debug->functions.size() &&
      !debug->functions[functionIndex].name.empty())
    return debug->functions[functionIndex].name;
  return "#" + std::to_string(functionIndex);
}

static Value constantValue(const Constant &constant, std::uint32_t characterSet) {
  switch (constant.type) {
  case ConstantType::Int8:
  case ConstantType::Int16:
  case ConstantType::Int32: return Value::integer(constant.integer);
  case ConstantType::Float32: return Value::floating(constant.floating);
  case ConstantType::Utf8String: return Value::string(decodeUtf8(constant.bytes));
  case ConstantType::EmptyString: return Value::emptyString();
  case ConstantType::ExternalString:
    return Value::string(characterSet == CharsetLatin1 ? decodeLatin1(constant.bytes)
                                                       : decodeUtf8(constant.bytes));
  }
  return Value::invalid();
}

std::shared_ptr<Module> makeModule(std::string path, std::shared_ptr<const Unit> unit,
                                   std::shared_ptr<const DebugInfo> debug) {
  auto module = std::make_shared<Module>();
  if (!path.empty()) module->url = pathToFileUrl(path);
  module->path = std::move(path);
  module->constants.reserve(unit->constants.size());
  for (const Constant &constant : unit->constants)
    module->constants.push_back(constantValue(constant, unit->characterSet));
  module->unit = std::move(unit);
  module->debug = std::move(debug);
  return module;
}

// ---------------------------------------------------------------------------
// External units

std::optional<std::string> locateUnit(const std::string &callerUrl, const std::string &url,
                                      const std::map<std::string, std::string> *mappings,
                                      std::string &absoluteUrl) {
  // "file:lib.wmlsc" from a file: unit is read as "lib.wmlsc", as RFC 2396
  // allows for a relative reference that repeats its base's scheme.
  std::string_view reference = url;
  if (reference.size() > 5 && (reference.substr(0, 5) == "file:" || reference.substr(0, 5) == "FILE:") &&
      reference.substr(5, 2) != "//" && reference[5] != '/' &&
      std::string_view(callerUrl).substr(0, 5) == "file:")
    reference.remove_prefix(5);
  std::optional<std::string> resolved = resolveUrl(callerUrl, reference);
  if (!resolved) return std::nullopt;
  absoluteUrl = urlWithoutFragment(*resolved);
  if (mappings) {
    auto mapped = mappings->find(absoluteUrl);
    if (mapped != mappings->end()) return mapped->second;
  }
  // Only file: URLs reach the file system; nothing goes to the network.
  std::optional<std::string> path = fileUrlToPath(absoluteUrl);
  if (!path || path->empty()) return std::nullopt;
  return path;
}

const Module &Machine::externalModule(const Module &caller, const std::string &url) {
  std::string absoluteUrl;
  std::optional<std::string> path =
      locateUnit(caller.url, url, library_.browser ? &library_.browser->units : nullptr, absoluteUrl);
  if (!path) fail("unable to load compilation unit \"" + url + "\"");
  auto known = externalModules_.find(absoluteUrl);
  if (known != externalModules_.end()) return *known->second;
  // A device such as /dev/zero would never end; a unit is a file.
  std::error_code notFound;
  if (!std::filesystem::is_regular_file(*path, notFound))
    fail("unable to load compilation unit \"" + url + "\"");
  LoadResult loaded = loadUnitFile(*path);
  if (!loaded) {
    if (!loaded.error.hasOffset) fail("unable to load compilation unit \"" + url + "\"");
    fail("verification failed: " + *path + ": " + loaded.error.describe());
  }
  std::shared_ptr<const DebugInfo> debug;
  std::error_code ignored;
  if (std::filesystem::is_regular_file(*path + ".dbg", ignored)) {
    DebugLoadResult debugLoaded = loadDebugFile(*path + ".dbg", *loaded.unit);
    debug = debugLoaded.debug;  // a debug file that does not fit is left out
  }
  auto module = makeModule(*path, loaded.unit, debug);
  module->url = absoluteUrl;
  return *externalModules_.emplace(absoluteUrl, std::move(module)).first->second;
}

std::string accessRefusal(const Module &callee, const std::string &calledAs,
                          const std::string &callerUrl) {
  std::string domain, path;
  bool restricted = false;
  for (const Pragma &pragma : callee.unit->pragmas) {
    if (pragma.type != PragmaType::AccessDomain && pragma.type != PragmaType::AccessPath) continue;
    restricted = true;
    std::string text = encodeUtf8(callee.constants[pragma.constants[0]].asText());
    (pragma.type == PragmaType::AccessDomain ? domain : path) = text;
  }
  if (!restricted || accessAllowed(callee.url, domain, path, callerUrl)) return "";
  // The message names what the check compared: the defaults filled in and
  // a relative path resolved against the unit.
  std::optional<UrlParts> own = parseUrl(callee.url);
  std::string shownDomain = !domain.empty() ? domain : own ? own->host : "";
  std::string shownPath = path.empty() ? "/" : path;
  if (!shownPath.starts_with("/")) {
    std::optional<std::string> resolved = resolveUrl(callee.url, shownPath);
    std::optional<UrlParts> parts = resolved ? parseUrl(*resolved) : std::nullopt;
    if (parts) shownPath = parts->path;
  }
  return "access violation: \"" + calledAs + "\" admits callers from domain \"" + shownDomain +
         "\" path \"" + shownPath + "\" only, not \"" + callerUrl + "\"";
}

void Machine::checkAccess(const Module &caller, const Module &callee, const std::string &url) {
  std::string refusal = accessRefusal(callee, url, caller.url);
  if (!refusal.empty()) fail(std::move(refusal));
}

// ---------------------------------------------------------------------------
// Frames

struct Machine::Frame {
  const Module *module;
  const Function *function;
  std::uint32_t functionIndex;
  std::uint32_t pc;    // index of the instruction running, or to resume at
  std::size_t base;    // stack_ index of variable 0
  std::size_t top;     // stack_ index one past the top operand, while a callee runs
  bool entersUnit;     // opened by an external call: its return restores the URLs
};

struct Machine::Fault {
  std::string message;
};

Machine::Machine(Budgets budgets) : budgets_(budgets), empty_(Value::emptyString()) {
  // A library function that builds a long string checks its result against
  // the same budget before building it.
  library_.maxStringLength = budgets_.maxMemory;
}
Machine::~Machine() = default;

void Machine::fail(std::string message) { throw Fault{std::move(message)}; }

// Opens a frame whose arguments already lie at stack_[argumentBase...].
void Machine::pushFrame(const Module &module, std::uint32_t functionIndex,
                        std::size_t argumentBase) {
  if (frames_.size() >= budgets_.maxDepth)
    fail("stack overflow: call depth beyond " + std::to_string(budgets_.maxDepth));
  const Function &function = module.unit->functions[functionIndex];
  std::size_t locals = argumentBase + function.argumentCount;
  std::size_t needed = locals + function.localCount + function.maxStackDepth;
  if (needed > budgets_.maxStackValues)
    fail("stack overflow: more than " + std::to_string(budgets_.maxStackValues) +
         " values on the stack");
  if (stack_.size() < needed)
    stack_.resize(std::min(std::max(needed, stack_.size() * 2), budgets_.maxStackValues));
  for (std::size_t i = 0; i < function.localCount; ++i) place(stack_[locals + i], empty_);
  frames_.push_back(Frame{&module, &function, functionIndex, 0, argumentBase,
                          locals + function.localCount, false});
}

// ---------------------------------------------------------------------------
// Calls that leave the unit

std::uint64_t Machine::callLibrary(const Instruction &instruction, std::size_t &top) {
  std::uint32_t library = instruction.operands[1], function = instruction.operands[0];
  const LibraryFunctionInfo *info = findLibraryFunction(library, function);
  std::string_view libraryText = libraryName(library);
  if (!info)  // the verifier lets a call of an unknown function through
    fail("unknown library function " +
         (libraryText.empty() ? std::to_string(library) : std::string(libraryText)) + "." +
         std::to_string(function));
  LibraryFunction implementation = findLibraryImplementation(library, function);
  if (!implementation)
    fail("library function " + std::string(libraryText) + "." + std::string(info->name) +
         " is not available");
  std::size_t first = top - info->parameterCount;
  Value result = implementation(library_, &stack_[first]);
  std::uint64_t work = stringWork(result);
  for (std::size_t i = first; i < top; ++i) {
    work += stringWork(stack_[i]);
    stack_[i] = Value();
  }
  stack_[first] = std::move(result);
  top = first + 1;
  if (library_.stop == LibraryContext::Stop::Fatal)
    fail(std::string(libraryName(library)) + "." + std::string(info->name) + ": " +
         library_.fatalMessage);
  if (liveStringCharacters() > budgets_.maxMemory)
    fail("out of memory: live strings beyond " + std::to_string(budgets_.maxMemory) +
         " characters");
  return work;
}

void Machine::callExternal(const Module &caller, const Instruction &instruction,
                           std::size_t &top) {
  std::string url = encodeUtf8(caller.constants[instruction.operands[0]].asText());
  std::string name = encodeUtf8(caller.constants[instruction.operands[1]].asText());
  std::uint32_t given = instruction.operands[2];
  const Module &callee = externalModule(caller, url);
  const Function *function = callee.unit->findExternFunction(name);
  if (!function) fail("external function " + name + " not found in \"" + url + "\"");
  if (function->argumentCount != given)
    fail("invalid function arguments: " + name + " in \"" + url + "\" takes " +
         std::to_string(function->argumentCount) + ", given " + std::to_string(given));
  checkAccess(caller, callee, url);
  auto index = static_cast<std::uint32_t>(function - callee.unit->functions.data());
  frames_.back().top = top;
  pushFrame(callee, index, top - given);
  // The called unit's functions see its own URL as the base and the
  // caller's as the referer until it returns.
  frames_.back().entersUnit = true;
  savedUrls_.push_back({std::move(library_.baseUrl), std::move(library_.refererUrl)});
  library_.baseUrl = urlWithoutFragment(callee.url);
  library_.refererUrl = caller.url;
}

void Machine::leaveUnit() {
  library_.baseUrl = std::move(savedUrls_.back().first);
  library_.refererUrl = std::move(savedUrls_.back().second);
  savedUrls_.pop_back();
}

// ---------------------------------------------------------------------------
// Trace

void Machine::traceInstruction(const Frame &frame, const Instruction &instruction,
                               std::size_t top) {
  const OperationInfo &info = operationInfo(instruction.operation);
  std::string line = frame.module->functionName(frame.functionIndex);
  char offset[16];
  std::snprintf(offset, sizeof offset, " 0x%04X ", instruction.offset);
  line += offset;
  line += info.mnemonic;
  int operandCount = static_cast<int>(info.operandWidths.size()) + (info.fieldMask ? 1 : 0);
  if (info.kind == OperandKind::ForwardJump || info.kind == OperandKind::BackwardJump) {
    std::snprintf(offset, sizeof offset, " 0x%04X",
                  frame.function->instructions[instruction.target].offset);
    line += offset;
  } else {
    for (int i = 0; i < operandCount && i < 3; ++i) line += " " + std::to_string(instruction.operands[i]);
  }
  std::size_t depth = top - (frame.base + frame.function->argumentCount + frame.function->localCount);
  line += "  [depth " + std::to_string(depth);
  if (depth > 0) {
    // A long string is cut to its first 40 characters before it is
    // formatted: the trace of a loop over a huge string stays cheap.
    const Value &value = stack_[top - 1];
    constexpr std::size_t shown = 40;
    if (value.isString() && value.asText().size() > shown) {
      std::string literal = formatLiteral(Value::string(value.asText().substr(0, shown)));
      line += ", top " + literal.substr(0, literal.size() - 1) + "...\"";
    } else {
      line += ", top " + formatLiteral(value);
    }
  }
  line += "]\n";
  std::fputs(line.c_str(), trace_);
}

// ---------------------------------------------------------------------------
// The loop

namespace {

// An operand slot above the top never holds a string, so that a popped
// string is freed at once and the memory budget sees only live ones.
inline void drop(Value &slot) {
  if (slot.isString()) slot = Value();
}

inline bool jumpsOn(const Value &condition) {
  if (condition.type() == ValueType::Boolean) return !condition.asBoolean();
  Value b = toBoolean(condition);
  return b.isInvalid() || !b.asBoolean();
}

inline bool addWithoutOverflow(std::int32_t a, std::int32_t b, std::int32_t &sum) {
  return !__builtin_add_overflow(a, b, &sum);
}

inline bool bothIntegers(const Value *sp) {
  return sp[-2].type() == ValueType::Integer && sp[-1].type() == ValueType::Integer;
}

} // namespace

template <bool Traced>
void Machine::execute(std::size_t entryDepth) {
  Frame *frame = &frames_.back();
  const Instruction *code = frame->function->instructions.data();
  const Instruction *ip = code + frame->pc;
  Value *vars = stack_.data() + frame->base;
  Value *sp = stack_.data() + frame->top;
  const Value *constants = frame->module->constants.data();
  const std::uint64_t stepLimit = stepLimit_;
  std::uint64_t steps = steps_;

  // After a call or a return: the frame on top may be another, and stack_
  // may have moved.
  auto enterTopFrame = [&] {
    frame = &frames_.back();
    code = frame->function->instructions.data();
    ip = code + frame->pc;
    vars = stack_.data() + frame->base;
    sp = stack_.data() + frame->top;
    constants = frame->module->constants.data();
  };
  auto topIndex = [&] { return static_cast<std::size_t>(sp - stack_.data()); };
  auto checkMemory = [&] {
    if (liveStringCharacters() > budgets_.maxMemory)
      fail("out of memory: live strings beyond " + std::to_string(budgets_.maxMemory) +
           " characters");
  };
  // Concatenation is checked before it allocates: string doubling meets the
  // budget without first building a string twice its size.
  auto checkConcatenation = [&](const Value &left, const Value &right) {
    if (!left.isString() && !right.isString()) return;
    steps += stringWork(left) + stringWork(right);
    std::size_t grow = (left.isString() ? left.asText().size() : 16) +
                       (right.isString() ? right.asText().size() : 16);
    if (liveStringCharacters() + grow > budgets_.maxMemory)
      fail("out of memory: live strings beyond " + std::to_string(budgets_.maxMemory) +
           " characters");
  };
  auto binary = [&](Value (*op)(const Value &, const Value &)) {
    steps += stringWork(sp[-2]) + stringWork(sp[-1]);
    sp[-2] = op(sp[-2], sp[-1]);
    drop(*--sp);
  };

  try {
    for (;;) {
      if (++steps > stepLimit) {
        steps = stepLimit;
        fail("step budget of " + std::to_string(budgets_.maxSteps) + " instructions exhausted");
      }
      if constexpr (Traced) traceInstruction(*frame, *ip, topIndex());
      switch (ip->operation) {
      case Operation::JumpFwS:
      case Operation::JumpFw:
      case Operation::JumpFwW:
      case Operation::JumpBwS:
      case Operation::JumpBw:
      case Operation::JumpBwW: ip = code + ip->target; continue;
      case Operation::TjumpFwS:
      case Operation::TjumpFw:
      case Operation::TjumpFwW:
      case Operation::TjumpBw:
      case Operation::TjumpBwW: {
        bool jump = jumpsOn(*--sp);
        drop(*sp);
        if (jump) {
          ip = code + ip->target;
          continue;
        }
        break;
      }

      case Operation::CallS:
      case Operation::Call: {
        const Function &callee = frame->module->unit->functions[ip->operands[0]];
        frame->pc = static_cast<std::uint32_t>(ip - code + 1);
        frame->top = topIndex();
        pushFrame(*frame->module, ip->operands[0], frame->top - callee.argumentCount);
        enterTopFrame();
        continue;
      }
      case Operation::CallLibS:
      case Operation::CallLib:
      case Operation::CallLibW: {
        std::size_t top = topIndex();
        frame->pc = static_cast<std::uint32_t>(ip - code);
        steps += callLibrary(*ip, top);
        sp = stack_.data() + top;
        if (library_.stop == LibraryContext::Stop::Exit) {
          result_ = library_.exitValue;
          exited_ = true;
          steps_ = std::min(steps, stepLimit);  // string work may overshoot
          return;
        }
        break;
      }
      case Operation::CallUrl:
      case Operation::CallUrlW: {
        std::size_t top = topIndex();
        frame->pc = static_cast<std::uint32_t>(ip - code + 1);
        callExternal(*frame->module, *ip, top);
        enterTopFrame();
        continue;
      }

      case Operation::LoadVarS:
      case Operation::LoadVar: place(*sp++, vars[ip->operands[0]]); break;
      case Operation::StoreVarS:
      case Operation::StoreVar: assign(vars[ip->operands[0]], std::move(*--sp)); break;
      case Operation::IncrVarS:
      case Operation::IncrVar: {
        Value &v = vars[ip->operands[0]];
        if (v.type() == ValueType::Integer && v.asInteger() != INT32_MAX)
          place(v, Value::integer(v.asInteger() + 1));
        else
          steps += stringWork(v), v = increment(v);
        break;
      }
      case Operation::DecrVar: {
        Value &v = vars[ip->operands[0]];
        if (v.type() == ValueType::Integer && v.asInteger() != INT32_MIN)
          place(v, Value::integer(v.asInteger() - 1));
        else
          steps += stringWork(v), v = decrement(v);
        break;
      }
      case Operation::AddAsg: {
        Value &v = vars[ip->operands[0]];
        Value &operand = *--sp;
        std::int32_t sum;
        if (v.type() == ValueType::Integer && operand.type() == ValueType::Integer &&
            addWithoutOverflow(v.asInteger(), operand.asInteger(), sum)) {
          place(v, Value::integer(sum));
        } else {
          checkConcatenation(v, operand);
          v = add(v, operand);
          drop(operand);
          checkMemory();
        }
        break;
      }
      case Operation::SubAsg: {
        Value &v = vars[ip->operands[0]];
        --sp;
        steps += stringWork(v) + stringWork(*sp);
        v = subtract(v, *sp);
        drop(*sp);
        break;
      }

      case Operation::LoadConstS:
      case Operation::LoadConst:
      case Operation::LoadConstW: place(*sp++, constants[ip->operands[0]]); break;
      case Operation::Const0: place(*sp++, Value::integer(0)); break;
      case Operation::Const1: place(*sp++, Value::integer(1)); break;
      case Operation::ConstM1: place(*sp++, Value::integer(-1)); break;
      case Operation::ConstEs: place(*sp++, empty_); break;
      case Operation::ConstInvalid: place(*sp++, Value::invalid()); break;
      case Operation::ConstTrue: place(*sp++, Value::boolean(true)); break;
      case Operation::ConstFalse: place(*sp++, Value::boolean(false)); break;

      case Operation::Incr: steps += stringWork(sp[-1]), sp[-1] = increment(sp[-1]); break;
      case Operation::Decr: steps += stringWork(sp[-1]), sp[-1] = decrement(sp[-1]); break;
      case Operation::Uminus: steps += stringWork(sp[-1]), sp[-1] = negate(sp[-1]); break;
      case Operation::Add: {
        std::int32_t sum;
        if (bothIntegers(sp) && addWithoutOverflow(sp[-2].asInteger(), sp[-1].asInteger(), sum)) {
          place(sp[-2], Value::integer(sum));
          --sp;
        } else {
          checkConcatenation(sp[-2], sp[-1]);
          sp[-2] = add(sp[-2], sp[-1]);
          drop(*--sp);
          checkMemory();
        }
        break;
      }
      case Operation::Sub: {
        std::int32_t difference;
        if (bothIntegers(sp) &&
            !__builtin_sub_overflow(sp[-2].asInteger(), sp[-1].asInteger(), &difference)) {
          place(sp[-2], Value::integer(difference));
          --sp;
        } else {
          binary(subtract);
        }
        break;
      }
      case Operation::Mul: binary(multiply); break;
      case Operation::Div: binary(divide); break;
      case Operation::Idiv: binary(integerDivide); break;
      case Operation::Rem: binary(remainder); break;
      case Operation::BAnd: binary(bitAnd); break;
      case Operation::BOr: binary(bitOr); break;
      case Operation::BXor: binary(bitXor); break;
      case Operation::BNot: steps += stringWork(sp[-1]), sp[-1] = bitNot(sp[-1]); break;
      case Operation::BLshift: binary(shiftLeft); break;
      case Operation::BRsshift: binary(shiftRightSigned); break;
      case Operation::BRszshift: binary(shiftRightUnsigned); break;
#define TAVOKRT_COMPARISON(op, function, symbol)                                  \
  case Operation::op:                                                             \
    if (bothIntegers(sp)) {                                                       \
      place(sp[-2], Value::boolean(sp[-2].asInteger() symbol sp[-1].asInteger()));\
      --sp;                                                                       \
    } else {                                                                      \
      binary(function);                                                           \
    }                                                                             \
    break;
      TAVOKRT_COMPARISON(Eq, equal, ==)
      TAVOKRT_COMPARISON(Ne, notEqual, !=)
      TAVOKRT_COMPARISON(Lt, less, <)
      TAVOKRT_COMPARISON(Le, lessOrEqual, <=)
      TAVOKRT_COMPARISON(Gt, greater, >)
      TAVOKRT_COMPARISON(Ge, greaterOrEqual, >=)
#undef TAVOKRT_COMPARISON
      case Operation::Not: sp[-1] = logicalNot(sp[-1]); break;
      case Operation::Tobool: sp[-1] = toBool(sp[-1]); break;
      // The boolean of the left operand decides: fall through to the right
      // operand on one value, or leave the result under a false that the
      // following tjump takes.
      case Operation::Scand:
      case Operation::Scor: {
        Value b = toBoolean(sp[-1]);
        bool evaluateRight = !b.isInvalid() && b.asBoolean() == (ip->operation == Operation::Scand);
        if (evaluateRight) {
          sp[-1] = Value::boolean(true);
        } else {
          sp[-1] = std::move(b);
          place(*sp++, Value::boolean(false));
        }
        break;
      }
      case Operation::Pop: drop(*--sp); break;
      case Operation::Typeof: sp[-1] = typeOf(sp[-1]); break;
      case Operation::Isvalid: sp[-1] = isValid(sp[-1]); break;

      case Operation::Return:
      case Operation::ReturnEs: {
        Value result = ip->operation == Operation::Return ? std::move(*--sp) : empty_;
        for (Value *slot = vars; slot < sp; ++slot) drop(*slot);
        std::size_t base = frame->base;
        if (frame->entersUnit) leaveUnit();
        frames_.pop_back();
        if (frames_.size() == entryDepth) {
          result_ = std::move(result);
          steps_ = std::min(steps, stepLimit);  // string work may overshoot
          return;
        }
        enterTopFrame();
        sp = stack_.data() + base;
        place(*sp++, std::move(result));
        continue;
      }
      case Operation::Debug: break;
      }
      ++ip;
    }
  } catch (...) {
    steps_ = std::min(steps, stepLimit);  // string work may overshoot
    // A failed call leaves its caller on top: the fault is at the call.
    frames_.back().pc = static_cast<std::uint32_t>(ip - code);
    throw;
  }
}

RunResult Machine::call(const Module &module, std::uint32_t functionIndex,
                        const std::vector<Value> &arguments) {
  RunResult outcome;
  std::size_t entryDepth = frames_.size();
  std::size_t base = entryDepth == 0 ? 0 : frames_.back().top;
  library_.stop = LibraryContext::Stop::None;
  exited_ = false;
  // The referer is whoever called: the caller of this function sets it.
  std::size_t savedDepth = savedUrls_.size();
  std::string entryBase = std::move(library_.baseUrl);
  library_.baseUrl = urlWithoutFragment(module.url);
  stepLimit_ = steps_ + budgets_.maxSteps;  // each call has the whole budget
  try {
    if (stack_.size() < base + arguments.size())
      stack_.resize(std::min(base + arguments.size(), budgets_.maxStackValues));
    if (base + arguments.size() > stack_.size())
      fail("stack overflow: more than " + std::to_string(budgets_.maxStackValues) +
           " values on the stack");
    std::copy(arguments.begin(), arguments.end(), stack_.begin() + static_cast<std::ptrdiff_t>(base));
    pushFrame(module, functionIndex, base);
    if (trace_)
      execute<true>(entryDepth);
    else
      execute<false>(entryDepth);
    outcome.status = exited_ ? RunResult::Status::Exited : RunResult::Status::Returned;
    outcome.value = std::move(result_);
  } catch (const Fault &fault) {
    outcome.status = RunResult::Status::Fatal;
    outcome.message = fault.message;
  } catch (const std::bad_alloc &) {
    outcome.status = RunResult::Status::Fatal;
    outcome.message = "out of memory";
  } catch (const std::length_error &) {
    outcome.status = RunResult::Status::Fatal;
    outcome.message = "out of memory";
  }
  if (outcome.status == RunResult::Status::Fatal) {
    // The innermost frame stands at the faulting instruction; each caller
    // already past its call.
    for (std::size_t i = frames_.size(); i > entryDepth; --i) {
      const Frame &frame = frames_[i - 1];
      std::uint32_t pc = i == frames_.size() ? frame.pc : frame.pc - 1;
      std::uint32_t offset = frame.function->instructions[pc].offset;
      outcome.frames.push_back(FrameLocation{frame.module, frame.functionIndex, offset});
    }
  }
  frames_.resize(entryDepth);
  while (savedUrls_.size() > savedDepth) leaveUnit();
  library_.baseUrl = std::move(entryBase);
  result_ = Value();
  library_.exitValue = Value();
  std::size_t keep = entryDepth == 0 ? 0 : frames_.back().top;
  for (std::size_t i = keep; i < stack_.size(); ++i) drop(stack_[i]);
  library_.stop = LibraryContext::Stop::None;
  return outcome;
}

// ---------------------------------------------------------------------------
// Reports

std::string describeFrames(const std::vector<FrameLocation> &frames) {
  std::vector<std::string> lines;
  const Module *first = frames.empty() ? nullptr : frames.back().module;
  for (const FrameLocation &frame : frames) {
    const Module &module = *frame.module;
    std::uint32_t line = 0;
    if (module.debug && frame.functionIndex < module.debug->functions.size())
      line = module.debug->functions[frame.functionIndex].lineAt(frame.offset);
    char where[48];
    if (line != 0)
      std::snprintf(where, sizeof where, "  at line %u", line);
    else
      std::snprintf(where, sizeof where, "  at offset 0x%04X", frame.offset);
    std::string text = where;
    text += " in function " + module.functionName(frame.functionIndex);
    if (&module != first) text += " (" + module.path + ")";
    lines.push_back(std::move(text));
  }
  // Runaway recursion leaves a thousand equal frames: each run of equal
  // lines is written once with its count, and a long chain keeps its ends.
  std::vector<std::string> collapsed;
  for (std::size_t i = 0; i < lines.size();) {
    std::size_t j = i + 1;
    while (j < lines.size() && lines[j] == lines[i]) ++j;
    collapsed.push_back(lines[i]);
    if (j - i > 1)
      collapsed.push_back("  ... " + std::to_string(j - i - 1) + " more frames like the one above");
    i = j;
  }
  constexpr std::size_t kept = 10;
  std::string text;
  for (std::size_t i = 0; i < collapsed.size(); ++i) {
    if (collapsed.size() > 2 * kept && i == kept) {
      text += "  ... " + std::to_string(collapsed.size() - 2 * kept) + " more lines\n";
      i = collapsed.size() - kept - 1;
      continue;
    }
    text += collapsed[i] + "\n";
  }
  return text;
}

} // namespace tavokrt
