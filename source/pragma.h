// Pragmas: the access control state and the user-agent properties of the
// unit, counted and written as the pragma pool. Every string they name is
// already in the constant pool; pragmas hold only its indices. `use url`
// names live in the symbol table instead.
#pragma once

#include <cstdint>

// Before parsing: no access control defined yet.
void initPragmas();

// Each returns 0 when the pragma is refused (a second access pragma, the
// 65536th pragma), which fails the parse action.
int setAccessDomain(std::uint32_t domainIndex);
int setAccessPath(std::uint32_t pathIndex);
int setAccessDomainAndPath(std::uint32_t domainIndex, std::uint32_t pathIndex);
// The domain index of the combined form, kept until its path is parsed.
void rememberAccessDomain(std::uint32_t domainIndex);
std::uint32_t getRememberedAccessDomain();
int addUserAgentProperty(std::uint32_t propertyIndex, std::uint32_t contentIndex);
int addUserAgentPropertyWithScheme(std::uint32_t propertyIndex, std::uint32_t contentIndex,
                                   std::uint32_t schemeIndex);
int numberOfPragmas();

// Encodes the pool into the output buffer and hands it to the unit writer.
void writePragmaPool();
// The PRAGMA POOL dump on the standard output (-d).
void printPragmaPool();
// Releases every pragma record at the end of the run.
void destroyPragmas();
