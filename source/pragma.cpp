#include "pragma.h"

#include "codegen.h"
#include "constpool.h"
#include "errorhlr.h"
#include "mempool.h"

#include <cstdint>
#include <cstdio>
#include <type_traits>

namespace {
// Which access control pragma the unit has; the values are those the pool
// encoding and the printout distinguish.
enum AccessState : std::uint32_t {
  AccessPathOnly = 0,
  AccessDomainOnly = 1,
  AccessDomainAndPath = 2,
  NoAccessControl = 3,
};

enum UserAgentKind : std::uint32_t {
  PropertyWithoutScheme = 0,
  PropertyWithScheme = 1,
};

struct UserAgentPragma {
  std::uint32_t kind;  // UserAgentKind
  std::uint32_t propertyIndex;
  std::uint32_t contentIndex;
  std::uint32_t schemeIndex;  // PropertyWithScheme only
  UserAgentPragma *next;
};

struct PragmaState {
  std::uint32_t accessState;  // AccessState
  std::uint32_t accessDomainIndex;
  std::uint32_t accessPathIndex;
  std::uint32_t pendingDomainIndex;  // the domain of `domain ... path ...` while its path is read
  std::uint32_t pragmaCount;
  MemPool *userAgentPool;  // created with the first user-agent pragma
  UserAgentPragma *userAgentHead;  // in source order
  UserAgentPragma *userAgentTail;
};
} // namespace

static_assert(std::is_trivially_copyable_v<UserAgentPragma>);

static constinit PragmaState pragmas{.accessState = NoAccessControl,
                                     .accessDomainIndex = 0,
                                     .accessPathIndex = 0,
                                     .pendingDomainIndex = 0,
                                     .pragmaCount = 0,
                                     .userAgentPool = nullptr,
                                     .userAgentHead = nullptr,
                                     .userAgentTail = nullptr};

// Pragma type bytes of the pool.
enum PragmaPoolType : std::uint8_t {
  AccessDomainPragma = 0,
  AccessPathPragma = 1,
  UserAgentPropertyPragma = 2,
  UserAgentPropertyAndSchemePragma = 3,
};

// 65535: the pool's pragma indices are 16 bits wide.
constexpr std::uint32_t maximumPragmaCount = 65535;

void initPragmas() {
  pragmas.accessState = NoAccessControl;
  pragmas.accessDomainIndex = 0;
  pragmas.accessPathIndex = 0;
  pragmas.pendingDomainIndex = 0;
  pragmas.pragmaCount = 0;
}

// The 65536th pragma is reported; later ones fail without a second message.
static int countPragma() {
  ++pragmas.pragmaCount;
  if (pragmas.pragmaCount > maximumPragmaCount + 1)
    return 0;
  if (pragmas.pragmaCount == maximumPragmaCount + 1) {
    reportError(TooManyPragmas);
    return 0;
  }
  return 1;
}

int numberOfPragmas() { return static_cast<int>(pragmas.pragmaCount); }

// A unit has one access control pragma; a second leaves the first in force.
static bool accessControlStillOpen() {
  if (pragmas.accessState == NoAccessControl)
    return true;
  reportError(AccessControlRedefined);
  return false;
}

int setAccessDomain(std::uint32_t domainIndex) {
  if (!accessControlStillOpen())
    return 0;
  pragmas.accessDomainIndex = domainIndex;
  pragmas.accessState = AccessDomainOnly;
  return countPragma();
}

int setAccessPath(std::uint32_t pathIndex) {
  if (!accessControlStillOpen())
    return 0;
  pragmas.accessPathIndex = pathIndex;
  pragmas.accessState = AccessPathOnly;
  return countPragma();
}

int setAccessDomainAndPath(std::uint32_t domainIndex, std::uint32_t pathIndex) {
  if (!accessControlStillOpen())
    return 0;
  pragmas.accessDomainIndex = domainIndex;
  pragmas.accessPathIndex = pathIndex;
  pragmas.accessState = AccessDomainAndPath;
  // Two pool entries: both are counted, and the second count decides.
  countPragma();
  return countPragma();
}

void rememberAccessDomain(std::uint32_t domainIndex) { pragmas.pendingDomainIndex = domainIndex; }

std::uint32_t getRememberedAccessDomain() { return pragmas.pendingDomainIndex; }

static void appendUserAgentPragma(UserAgentPragma pragma) {
  if (!pragmas.userAgentPool)
    pragmas.userAgentPool = createMemPool(1024, sizeof(UserAgentPragma));
  auto *record = static_cast<UserAgentPragma *>(allocateFromMemPool(pragmas.userAgentPool));
  *record = pragma;
  if (pragmas.userAgentTail)
    pragmas.userAgentTail->next = record;
  else
    pragmas.userAgentHead = record;
  pragmas.userAgentTail = record;
}

int addUserAgentProperty(std::uint32_t propertyIndex, std::uint32_t contentIndex) {
  appendUserAgentPragma(UserAgentPragma{.kind = PropertyWithoutScheme,
                                        .propertyIndex = propertyIndex,
                                        .contentIndex = contentIndex,
                                        .schemeIndex = 0,
                                        .next = nullptr});
  return countPragma();
}

int addUserAgentPropertyWithScheme(std::uint32_t propertyIndex, std::uint32_t contentIndex,
                                   std::uint32_t schemeIndex) {
  appendUserAgentPragma(UserAgentPragma{.kind = PropertyWithScheme,
                                        .propertyIndex = propertyIndex,
                                        .contentIndex = contentIndex,
                                        .schemeIndex = schemeIndex,
                                        .next = nullptr});
  return countPragma();
}

static bool hasAccessDomain() {
  return pragmas.accessState == AccessDomainOnly || pragmas.accessState == AccessDomainAndPath;
}

static bool hasAccessPath() {
  return pragmas.accessState == AccessPathOnly || pragmas.accessState == AccessDomainAndPath;
}

void writePragmaPool() {
  emitMbUInt32(pragmas.pragmaCount);
  if (hasAccessDomain()) {
    emitByte(AccessDomainPragma);
    emitMbUInt32(pragmas.accessDomainIndex);
  }
  if (hasAccessPath()) {
    emitByte(AccessPathPragma);
    emitMbUInt32(pragmas.accessPathIndex);
  }
  for (const UserAgentPragma *pragma = pragmas.userAgentHead; pragma; pragma = pragma->next) {
    const bool withScheme = pragma->kind == PropertyWithScheme;
    emitByte(withScheme ? UserAgentPropertyAndSchemePragma : UserAgentPropertyPragma);
    emitMbUInt32(pragma->propertyIndex);
    emitMbUInt32(pragma->contentIndex);
    if (withScheme)
      emitMbUInt32(pragma->schemeIndex);
  }
  savePragmaPoolBytes();
}

void printPragmaPool() {
  std::printf("%s\n", " PRAGMA POOL ");
  std::printf("%s  %d\n", "Number Of Pragmas:", static_cast<int>(pragmas.pragmaCount));
  if (hasAccessDomain()) {
    std::printf("%s  ", "Access Domain:");
    std::printf("%d\n", static_cast<int>(pragmas.accessDomainIndex));
  }
  if (hasAccessPath()) {
    std::printf("%s  ", "Access Path:");
    std::printf("%d\n", static_cast<int>(pragmas.accessPathIndex));
  }
  for (const UserAgentPragma *pragma = pragmas.userAgentHead; pragma; pragma = pragma->next) {
    if (pragma->kind == PropertyWithScheme) {
      std::printf("%s  ", "User Agent Property and Scheme:");
      std::printf("%d  %d", static_cast<int>(pragma->propertyIndex),
                  static_cast<int>(pragma->contentIndex));
      std::printf("  %d  \n", static_cast<int>(pragma->schemeIndex));
    } else {
      std::printf("%s  ", "User Agent Property:");
      std::printf("%d  %d\n", static_cast<int>(pragma->propertyIndex),
                  static_cast<int>(pragma->contentIndex));
    }
  }
  std::printf("%s\n", "");
}

// Every record goes back to its pool and the state is that of a unit
// without pragmas, ready for another compilation.
void destroyPragmas() {
  UserAgentPragma *pragma = pragmas.userAgentHead;
  while (pragma) {
    UserAgentPragma *next = pragma->next;
    freeToMemPool(pragmas.userAgentPool, pragma);
    pragma = next;
  }
  pragmas.userAgentHead = nullptr;
  pragmas.userAgentTail = nullptr;
  initPragmas();
}
