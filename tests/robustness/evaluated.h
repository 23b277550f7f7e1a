// Random terminating programs whose value is known before they run.
//
// The generator builds a tree of functions, statements and expressions,
// prints it as a WMLScript unit whose `extern function main()` takes no
// argument, and evaluates the same tree itself by the language's rules for
// integers, strings, booleans and invalid. The machine running the compiled
// unit must return exactly that value.
//
// Termination by construction: a function calls only functions defined
// before it, and every loop counts a counter that its body never assigns up
// to a small bound. Floats never arise: no float literal, no `/`, and no
// string literal holds `.`, `e` or `E`; a tree that would still reach a
// float (a numeric string out of the integer range), run too long or build
// too long a string is dropped and the next one drawn from the same seed.
#pragma once

#include <cstdint>
#include <string>

struct EvaluatedProgram {
  std::string source;    // the unit's text
  std::string expected;  // main's result as one literal: 12, "a\tb", true, invalid
};

// The same program for the same seed.
EvaluatedProgram generateEvaluatedProgram(std::uint64_t seed);

// Checks the evaluator's operators against the language's rules, a row per
// rule, reporting each row that fails on the standard error stream; the
// number of failures.
int countEvaluatorRuleFailures();
