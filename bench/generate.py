#!/usr/bin/env python3
"""Writes valid WMLScript compilation units of a requested size, for timing
the compiler.

    generate.py SHAPE (--size SIZE | --count N) [--seed S] [-o FILE]

SIZE is in bytes and may end in k or M (100k, 1M, 4M; k = 1000). The result
is within a few hundred bytes of SIZE. --count gives the number of
statements (shape `statements`) or terms (shape `chain`) instead.

Shapes:
  mixed        realistic code: declarations with initialisers, arithmetic,
               comparisons, if/else, while, for with break and continue,
               local, external and library calls, strings, ?:, && and ||,
               compound assignments, ++ and --; functions of about 16 kB
  constants    many distinct string and number constants (at most 58,000;
               past that, statements reuse earlier ones)
  longfunction one function of straight-line statements with small ifs
               (many short basic blocks, no jump longer than a few bytes)
  deep         deeply nested expressions whose depth grows with the size:
               operator chains, nested parentheses, nested calls, unary and
               assignment chains, comma lists, and ?:, && and || chains
               capped so that their jumps stay within 65535 bytes
  statements   one function of N statements `a = a + 1;`
  chain        one function returning an N-term sum `a + a + ... + a`

Every unit stays within the limits of the compiled format: at most 255
functions, at most 255 locals per function, fewer than 65535 constants, no
jump longer than 65535 bytes. The output depends only on the arguments.
"""

import argparse
import random
import sys

FUNCTION_BYTES = 16_000      # mixed and constants: source per function until 255 are used
MAX_FUNCTIONS = 255
MAX_DISTINCT_CONSTANTS = 58_000
# Constructs whose jumps span the whole construct: the outermost jump of a
# ?: chain and the exits of an && or || chain cross every term.
MAX_JUMPING_TERMS = 3_000

WORDS = ("alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo "
         "lima mike november oscar papa quebec romeo sierra tango uniform "
         "victor whiskey xray yankee zulu card deck wml script value total "
         "count index name title price item list next prev home menu").split()

# Library functions with their argument counts.
LIBRARY_FUNCTIONS = [
    ("Lang.abs", 1), ("Lang.min", 2), ("Lang.max", 2), ("Lang.parseInt", 1),
    ("Lang.isInt", 1), ("Lang.random", 1), ("Float.int", 1), ("Float.floor", 1),
    ("Float.pow", 2), ("Float.round", 1), ("String.length", 1), ("String.charAt", 2),
    ("String.subString", 3), ("String.find", 2), ("String.replace", 3),
    ("String.toString", 1), ("String.trim", 1), ("String.elementAt", 3),
    ("URL.isValid", 1), ("URL.escapeString", 1), ("WMLBrowser.getVar", 1),
]
STATEMENT_LIBRARY_CALLS = [("Dialogs.alert", 1), ("WMLBrowser.setVar", 2),
                           ("WMLSDebug.logVal", 1), ("WMLBrowser.go", 1)]
EXTERNAL_FUNCTIONS = [("helpers#format", 2), ("helpers#check", 1)]

PRAGMAS = (
    'use url helpers "http://example.com/bench/helpers.wmlsc";\n'
    'use access domain "example.com" path "/bench";\n'
    'use meta name "generator" "bench";\n\n'
)

BINARY_OPERATORS = ("+", "-", "*", "/", "div", "%", "<<", ">>", ">>>", "&", "|", "^")
COMPARISONS = ("==", "!=", "<", "<=", ">", ">=")
COMPOUND_OPERATORS = ("+=", "-=", "*=", "/=", "div=", "%=", "<<=", ">>=", "&=", "|=", "^=")


class Output:
    """Collects the text of a unit and counts its bytes."""

    def __init__(self):
        self.parts = []
        self.size = 0

    def write(self, text):
        self.parts.append(text)
        self.size += len(text)

    def text(self):
        return "".join(self.parts)


# ---------------------------------------------------------------- mixed

class MixedFunction:
    """Writes one function of realistic statements over its own variables."""

    def __init__(self, rng, out, functions, index):
        self.rng = rng
        self.out = out
        self.functions = functions          # (name, parameter count) of the unit
        name, parameter_count = functions[index]
        self.name = name
        self.variables = [f"p{i}" for i in range(parameter_count)]
        self.locals_declared = 0
        self.literal_strings = [f"{w} {v}" for w in WORDS for v in ("", "x", "!")]

    # Expressions ---------------------------------------------------------

    def literal(self):
        r = self.rng.random()
        if r < 0.45:
            return str(self.rng.randrange(0, 200))
        if r < 0.55:
            return str(self.rng.choice((1000, 4096, 65535, 100000, 2147483647)))
        if r < 0.65:
            return self.rng.choice(("0.5", "1.25", "3.75", "100.5", "2e3"))
        if r < 0.92:
            return '"' + self.rng.choice(self.literal_strings) + '"'
        return self.rng.choice(("true", "false", "invalid", '""'))

    def variable(self):
        return self.rng.choice(self.variables)

    def call(self, depth, library_only=False):
        r = self.rng.random()
        if library_only or r < 0.6:
            name, count = self.rng.choice(LIBRARY_FUNCTIONS)
        elif r < 0.7:
            name, count = self.rng.choice(EXTERNAL_FUNCTIONS)
        else:
            name, count = self.rng.choice(self.functions)
        return f"{name}({', '.join(self.expression(depth + 1) for _ in range(count))})"

    def expression(self, depth=0):
        rng = self.rng
        if depth >= 3 or rng.random() < 0.25 + 0.2 * depth:
            return self.variable() if rng.random() < 0.65 or not self.variables else self.literal()
        r = rng.random()
        if r < 0.40:
            return f"{self.expression(depth + 1)} {rng.choice(BINARY_OPERATORS)} {self.expression(depth + 1)}"
        if r < 0.55:
            return self.condition(depth + 1)
        if r < 0.63:
            return f"({self.expression(depth + 1)})"
        if r < 0.75:
            return self.call(depth)
        if r < 0.80:
            return f"{self.condition(depth + 1)} ? {self.expression(depth + 1)} : {self.expression(depth + 1)}"
        if r < 0.87:
            return f"{rng.choice(('-', '~', '!', 'typeof ', 'isvalid '))}{self.variable()}"
        if r < 0.93:
            v = self.variable()
            return rng.choice((f"{v}++", f"{v}--", f"++{v}", f"--{v}"))
        return f"({self.variable()} = {self.expression(depth + 1)})"

    def condition(self, depth=0):
        rng = self.rng
        comparison = f"{self.expression(depth + 1)} {rng.choice(COMPARISONS)} {self.expression(depth + 1)}"
        r = rng.random()
        if depth >= 2 or r < 0.6:
            return comparison
        if r < 0.8:
            return f"{comparison} {rng.choice(('&&', '||'))} {self.condition(depth + 1)}"
        return f"!({comparison})"

    # Statements ----------------------------------------------------------

    def declaration(self, indent):
        names = []
        parts = []
        for _ in range(self.rng.randrange(1, 4)):
            if self.locals_declared >= 60:
                break
            name = f"v{self.locals_declared}"
            self.locals_declared += 1
            if self.rng.random() < 0.8 and self.variables:
                parts.append(f"{name} = {self.expression(1)}")
            else:
                parts.append(name)
            names.append(name)
        if not parts:
            return self.simple_statement(indent)
        # The new names are usable from the next statement on.
        text = f"{indent}var {', '.join(parts)};\n"
        self.variables.extend(names)
        return text

    def simple_statement(self, indent):
        rng = self.rng
        if not self.variables:
            return self.declaration(indent)
        r = rng.random()
        if r < 0.35:
            return f"{indent}{self.variable()} = {self.expression()};\n"
        if r < 0.50:
            return f"{indent}{self.variable()} {rng.choice(COMPOUND_OPERATORS)} {self.expression(1)};\n"
        if r < 0.62:
            v = self.variable()
            return f"{indent}{rng.choice((f'{v}++', f'{v}--', f'++{v}', f'--{v}'))};\n"
        if r < 0.80:
            return f"{indent}{self.call(1)};\n"
        name, count = rng.choice(STATEMENT_LIBRARY_CALLS)
        return f"{indent}{name}({', '.join(self.expression(2) for _ in range(count))});\n"

    def block(self, indent, depth, in_loop):
        lines = [self.statement(indent + "  ", depth + 1, in_loop)
                 for _ in range(self.rng.randrange(1, 4))]
        return "{\n" + "".join(lines) + indent + "}"

    def statement(self, indent, depth, in_loop):
        rng = self.rng
        r = rng.random()
        if depth >= 3 or r < 0.55 or not self.variables:
            if in_loop and rng.random() < 0.12:
                jump = rng.choice(("break", "continue"))
                return f"{indent}if ({self.condition()}) {jump};\n"
            return self.simple_statement(indent)
        if r < 0.72:
            text = f"{indent}if ({self.condition()}) {self.block(indent, depth, in_loop)}"
            if rng.random() < 0.5:
                text += f" else {self.block(indent, depth, in_loop)}"
            return text + "\n"
        if r < 0.84:
            return f"{indent}while ({self.condition()}) {self.block(indent, depth, True)}\n"
        v = self.variable()
        header = rng.choice((f"{v} = 0; {v} < {rng.randrange(2, 50)}; {v}++",
                             f"; {self.condition()}; {v} += 2",
                             f"{v} = {self.expression(1)}; ; {v}--"))
        return f"{indent}for ({header}) {self.block(indent, depth, True)}\n"

    def write(self, budget):
        out = self.out
        start = out.size
        parameters = ", ".join(self.variables)
        prefix = "extern " if self.rng.random() < 0.3 or self.name == "main" else ""
        out.write(f"{prefix}function {self.name}({parameters}) {{\n")
        for _ in range(2):
            out.write(self.declaration("  "))
        while out.size - start < budget:
            if self.rng.random() < 0.12:
                out.write(self.declaration("  "))
            else:
                out.write(self.statement("  ", 0, False))
        out.write(f"  return {self.expression()};\n}}\n\n")


def function_plan(rng, size, per_function):
    count = max(1, min(MAX_FUNCTIONS, -(-size // per_function)))
    functions = [("main" if i == 0 else f"f{i}", rng.randrange(0, 5)) for i in range(count)]
    return functions, max(1, size // count - 40)


def generate_mixed(rng, size):
    out = Output()
    out.write(PRAGMAS)
    functions, budget = function_plan(rng, size - out.size, FUNCTION_BYTES)
    for index in range(len(functions)):
        MixedFunction(rng, out, functions, index).write(budget)
    return out.text()


# ---------------------------------------------------------------- constants

def distinct_constant(rng, index):
    kind = index % 8
    if kind < 5:
        return f'"{rng.choice(WORDS)} {index} {rng.choice(WORDS)}"'
    if kind < 7:
        return str(100_000 + index * 7)          # beyond the immediate and short forms
    return f"{index}.5"                           # exact in single precision


def generate_constants(rng, size):
    out = Output()
    out.write("extern function main() {\n  return f1();\n}\n\n")
    # main is one of the functions: the others share the size.
    functions, _ = function_plan(rng, size, FUNCTION_BYTES)
    functions.append((f"f{len(functions)}", 0))
    functions = functions[:MAX_FUNCTIONS]
    budget = max(1, (size - out.size) // (len(functions) - 1) - 40)
    used = []
    for index in range(1, len(functions)):
        start = out.size
        out.write(f"function f{index}() {{\n  var v0, v1, v2, v3, v4, v5, v6, v7;\n")
        while out.size - start < budget:
            if len(used) < MAX_DISTINCT_CONSTANTS:
                constant = distinct_constant(rng, len(used))
                used.append(constant)
            else:
                constant = rng.choice(used)
            target = f"v{rng.randrange(8)}"
            if rng.random() < 0.3:
                out.write(f"  {target} = v{rng.randrange(8)} + {constant};\n")
            else:
                out.write(f"  {target} = {constant};\n")
        out.write(f"  return {'f' + str(index + 1) + '()' if index + 1 < len(functions) else 'v0'};\n}}\n\n")
    return out.text()


# ---------------------------------------------------------------- longfunction

def generate_longfunction(rng, size):
    out = Output()
    out.write(PRAGMAS)
    out.write("extern function main(a, b, c) {\n")
    names = [f"x{i}" for i in range(200)]
    for first in range(0, len(names), 10):
        out.write("  var " + ", ".join(f"{n} = {i}" for i, n in
                                        enumerate(names[first:first + 10], first)) + ";\n")
    variables = names + ["a", "b", "c"]

    def operand():
        r = rng.random()
        if r < 0.75:
            return rng.choice(variables)
        if r < 0.9:
            return str(rng.randrange(0, 300))
        return '"' + rng.choice(WORDS) + '"'

    def arithmetic():
        return " ".join([operand()] + [f"{rng.choice(BINARY_OPERATORS)} {operand()}"
                                       for _ in range(rng.randrange(1, 4))])

    while out.size < size - 30:
        r = rng.random()
        target = rng.choice(variables)
        if r < 0.45:
            out.write(f"  {target} = {arithmetic()};\n")
        elif r < 0.60:
            out.write(f"  {target} {rng.choice(COMPOUND_OPERATORS)} {operand()};\n")
        elif r < 0.70:
            out.write(f"  {target}{rng.choice(('++', '--'))};\n")
        elif r < 0.80:
            name, count = rng.choice(LIBRARY_FUNCTIONS)
            out.write(f"  {target} = {name}({', '.join(operand() for _ in range(count))});\n")
        elif r < 0.95:
            out.write(f"  if ({operand()} {rng.choice(COMPARISONS)} {operand()}) "
                      f"{target} = {arithmetic()};\n")
        else:
            out.write(f"  if ({target} > {operand()}) {{ {target} = {operand()}; }} "
                      f"else {{ {target}++; }}\n")
    out.write("  return x0;\n}\n")
    return out.text()


# ---------------------------------------------------------------- deep

def deep_constructs():
    """Each construct: (name, text of one statement for n terms, bytes per term, cap on n)."""
    def operator_chain(n, rng):
        return "x = " + " ".join(["a"] + [f"{rng.choice(('+', '-', '*', '|'))} b" if i % 2 else
                                          f"{rng.choice(('+', '-', '*', '|'))} a"
                                          for i in range(n - 1)]) + ";"

    def nested_parentheses(n, rng):
        opens = "".join(f"(a {rng.choice(('+', '*', '-'))} " for _ in range(n))
        return f"x = {opens}b{')' * n};"

    def nested_calls(n, rng):
        return "x = " + "Lang.abs(" * n + "a" + ")" * n + ";"

    def unary_chain(n, rng):
        return "x = " + " ".join(rng.choice(("-", "~", "!", "typeof")) for _ in range(n)) + " a;"

    def assignment_chain(n, rng):
        return " = ".join("ab"[i % 2] for i in range(n)) + " = 1;"

    def comma_list(n, rng):
        return ", ".join(rng.choice(("a", "b", "a + b", "a++")) for _ in range(n)) + ";"

    def conditional_chain(n, rng):
        return "x = " + "".join(f"a > {i % 100} ? {i % 50} : " for i in range(n)) + "b;"

    def and_or_chain(n, rng):
        terms = [f"a {rng.choice(('<', '>', '=='))} {i % 100}" for i in range(n)]
        joined = terms[0] + "".join(f" {rng.choice(('&&', '||'))} {t}" for t in terms[1:])
        return f"if ({joined}) x = 1; else x = 2;"

    return [
        ("operator_chain", operator_chain, 4, None),
        ("nested_parentheses", nested_parentheses, 7, None),
        ("nested_calls", nested_calls, 10, None),
        ("unary_chain", unary_chain, 3, None),
        ("assignment_chain", assignment_chain, 4, None),
        ("comma_list", comma_list, 5, None),
        ("conditional_chain", conditional_chain, 17, MAX_JUMPING_TERMS),
        ("and_or_chain", and_or_chain, 13, MAX_JUMPING_TERMS),
    ]


def generate_deep(rng, size):
    out = Output()
    out.write("extern function main(a, b) {\n  var x = 0;\n")
    constructs = deep_constructs()
    for name, _, _, _ in constructs:
        out.write(f"  x += {name}(a, b);\n")
    out.write("  return x;\n}\n\n")
    share = max(1, (size - out.size) // len(constructs))
    for name, build, term_bytes, cap in constructs:
        start = out.size
        out.write(f"function {name}(a, b) {{\n  var x = 0;\n")
        terms = max(2, share // term_bytes)
        if cap:
            terms = min(terms, cap)
        while out.size - start < share - 40:
            remaining = (share - (out.size - start)) // term_bytes
            out.write("  " + build(max(2, min(terms, remaining)), rng) + "\n")
        out.write("  return x;\n}\n\n")
    return out.text()


# ---------------------------------------------------------------- statements and chain

STATEMENT_LINE = "  a = a + 1;\n"


def generate_statements(count):
    return ("extern function main(a) {\n" + STATEMENT_LINE * count + "  return a;\n}\n")


def generate_chain(count):
    return "extern function main(a) {\n  return a" + " + a" * (count - 1) + ";\n}\n"


# ---------------------------------------------------------------- command line

SHAPES = ("mixed", "constants", "longfunction", "deep", "statements", "chain")


def parse_size(text):
    text = text.strip()
    factor = 1
    if text[-1] in "kK":
        factor, text = 1000, text[:-1]
    elif text[-1] in "mM":
        factor, text = 1_000_000, text[:-1]
    return int(float(text) * factor)


def generate(shape, size=None, count=None, seed=1):
    """The text of one unit; `count` applies to `statements` and `chain` only."""
    if shape == "statements":
        return generate_statements(count if count else max(1, (size or 0) // len(STATEMENT_LINE)))
    if shape == "chain":
        return generate_chain(count if count else max(2, (size or 0) // 4))
    if size is None:
        raise ValueError(f"shape {shape} needs a size")
    rng = random.Random(f"{shape}:{seed}")
    return {"mixed": generate_mixed, "constants": generate_constants,
            "longfunction": generate_longfunction, "deep": generate_deep}[shape](rng, size)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("shape", choices=SHAPES)
    amount = parser.add_mutually_exclusive_group(required=True)
    amount.add_argument("--size", type=parse_size, help="approximate size in bytes (k, M suffixes)")
    amount.add_argument("--count", type=int, help="statements or terms (statements, chain)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("-o", "--output", help="file to write (default: standard output)")
    args = parser.parse_args()
    if args.count is not None and args.shape not in ("statements", "chain"):
        parser.error("--count applies to the statements and chain shapes only")
    text = generate(args.shape, args.size, args.count, args.seed)
    if args.output:
        with open(args.output, "w", encoding="ascii", newline="\n") as file:
            file.write(text)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main()
