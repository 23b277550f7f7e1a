// The constant pool. Every literal becomes either an immediate (one of seven
// values the instruction set loads without an operand) or an entry of the
// pool, which the compiled unit carries ahead of the pragma and function
// pools. Constants are keyed by kind and text, deduplicated, and numbered
// densely in the order in which they are first requested.
#pragma once

#include "exprsion.h"

#include <cstddef>
#include <cstdint>

// Kinds stored in the pool; they match ValueType 0 to 2.
enum ConstantKind : int {
  IntegerConstant = 0,
  FloatConstant = 1,
  StringConstant = 2,
};

// The index of the constant of this kind and key text, created if new.
std::uint32_t addConstant(const char *keyText, int kind);
int numberOfConstants();

// Literal texts from the lexical analyser to constant leaves. Each returns
// null after reporting the range or escape error.
Expression *integerLiteral(const char *text);
Expression *floatLiteral(const char *text);
// The bytes between the quotes with every escape decoded, NUL-terminated, in
// a heap block the caller gives back with releaseDecodedString (or frees);
// null after "Illegal escape sequence".
char *decodeStringLiteral(const char *text);
// Gives a decoded text back; its block may be used for the next literal.
void releaseDecodedString(char *decoded);
Expression *stringLiteral(const char *decoded);
// The pool index of a pragma's string; an empty one gets a warning. A string
// too long for the pool gets noConstantIndex after its error is reported.
inline constexpr std::uint32_t noConstantIndex = 0xFFFFFFFFu;
std::uint32_t pragmaString(const char *decoded);
Expression *immediateConstant(ImmediateCode code);

// Leaves whose value is an index; null after reporting an index beyond its limit.
Expression *constantIndexLeaf(std::uint32_t index);          // below 65535
Expression *pragmaIndexLeaf(std::uint32_t index);            // below 65536
Expression *libraryIndexLeaf(std::uint32_t index);           // up to 65536
Expression *libraryFunctionIndexLeaf(std::uint32_t index);   // up to 256

// Placement when a constant leaf is lowered: -1, 0 and 1 become immediates,
// other integers and every float enter the pool.
ConstantDescriptor placeConstant(ConstantDescriptor descriptor);

// Appends the mb_u_int32 encoding (7 bits per byte, most significant group
// first, high bit on every byte but the last) to the output buffer.
void emitMbUInt32(std::uint32_t value);
// Appends the low count bytes (1 to 4) of value, most significant first.
void emitBigEndian(std::uint32_t value, int count);
// Appends count bytes to the output buffer in one step, as count emitByte
// calls would (the buffer grows by the same rule).
void emitBytes(const std::uint8_t *bytes, std::size_t count);
// Appends count bytes that the caller writes at the address returned, before
// anything else is emitted; null when count is 0.
std::uint8_t *emitRoom(std::size_t count);

// Encodes the pool into the output buffer and hands it to the unit writer.
void writeConstantPool();
// The CONSTANT POOL dump on the standard output (-d).
void printConstantPool();
// Releases every record of the pool at the end of the run.
void freeConstantPool();
