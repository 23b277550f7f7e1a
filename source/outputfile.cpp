#include "outputfile.h"

#include "errorhlr.h"
#include "tavokassert.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

// The compiled unit and its debug file.
constexpr int maxStagedFiles = 2;
// New names tried beside a path before it is written in place instead.
constexpr int maxStagingAttempts = 100;

struct StagedFile {
  char *targetPath;     // the regular file to replace (a symbolic link's target)
  char *temporaryPath;  // beside it, complete; null once moved over the target
  OutputFileKind kind;
};

struct OutputFileState {
  int stagedCount;
  bool removalAtExitRegistered;
  StagedFile staged[maxStagedFiles];
};

} // namespace

static constinit OutputFileState outputs{};

static char *copyText(const char *text) {
  const std::size_t length = std::strlen(text);
  auto *copy = static_cast<char *>(checkedAllocate(length + 1, 1));
  std::memcpy(copy, text, length + 1);
  return copy;
}

// Whatever was staged and not committed goes when the run ends early.
static void removeStagedFiles() {
  for (int i = 0; i < outputs.stagedCount; ++i) {
    StagedFile &file = outputs.staged[i];
    if (file.temporaryPath)
      std::remove(file.temporaryPath);
    std::free(file.temporaryPath);
    std::free(file.targetPath);
  }
  outputs.stagedCount = 0;
}

[[noreturn]] static void failToOpen(const char *path, OutputFileKind kind) {
  // The debug file's message has always gone to the standard output stream.
  if (kind == DebugInformationFile)
    std::printf("Could not open debug output file \"%s\" for writing\n", path);
  else
    std::fprintf(stderr, "Could not open output file \"%s\" for writing\n", path);
  std::exit(1);
}

[[noreturn]] static void failToWrite(const char *path, OutputFileKind kind) {
  const char *fileKind = kind == DebugInformationFile ? "debug output file" : "output file";
  std::fprintf(stderr, "Could not write %s \"%s\"\n", fileKind, path);
  std::exit(1);
}

static bool writeAndClose(std::FILE *file, const std::uint8_t *bytes, std::size_t size) {
  const bool written = std::fwrite(bytes, 1, size, file) == size;
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}

// The regular file that path names, following a symbolic link, or an absent
// one; null for anything else (a device, a pipe, a directory, a dangling
// link), which is written in place. The text is the caller's to free.
static char *replaceableTarget(const char *path, bool *targetExists) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path target(path);
  if (fs::is_symlink(fs::symlink_status(target, error))) {
    target = fs::canonical(target, error);
    if (error)
      return nullptr;
  }
  const fs::file_type type = fs::status(target, error).type();
  if (type != fs::file_type::regular && type != fs::file_type::not_found)
    return nullptr;
  *targetExists = type == fs::file_type::regular;
  return copyText(target.c_str());
}

// A new file "<target>.partial<n>" beside the target, opened for writing;
// null when the directory takes no new file.
static std::FILE *createStagingFile(const char *target, char **temporaryPath) {
  const std::size_t length = std::strlen(target);
  auto *name = static_cast<char *>(checkedAllocate(length + 16, 1));
  for (int attempt = 0; attempt < maxStagingAttempts; ++attempt) {
    std::snprintf(name, length + 16, "%s.partial%d", target, attempt);
    errno = 0;
    if (std::FILE *file = std::fopen(name, "wbx")) {
      *temporaryPath = name;
      return file;
    }
    if (errno != EEXIST)
      break;
  }
  std::free(name);
  return nullptr;
}

// The new file gets the permissions of the one it replaces.
static void keepPermissions(const char *target, const char *temporaryPath) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::perms permissions = fs::status(target, error).permissions();
  if (!error)
    fs::permissions(temporaryPath, permissions, error);
}

// No staging possible: the path itself is written. A file this run created
// and could not fill is removed; anything else stays what the write left.
static void writeInPlace(const char *path, const std::uint8_t *bytes, std::size_t size,
                         OutputFileKind kind) {
  std::error_code error;
  const bool existed = std::filesystem::exists(std::filesystem::symlink_status(path, error));
  std::FILE *file = std::fopen(path, "wb");
  if (!file)
    failToOpen(path, kind);
  if (writeAndClose(file, bytes, size))
    return;
  if (!existed)
    std::remove(path);
  failToWrite(path, kind);
}

void stageOutputFile(const char *path, const std::uint8_t *bytes, std::size_t size,
                     OutputFileKind kind) {
  ASSERT(outputs.stagedCount < maxStagedFiles);
  if (!outputs.removalAtExitRegistered) {
    std::atexit(removeStagedFiles);
    setAssertionCleanup(removeStagedFiles);
    outputs.removalAtExitRegistered = true;
  }
  bool targetExists = false;
  char *target = replaceableTarget(path, &targetExists);
  char *temporaryPath = nullptr;
  std::FILE *file = target ? createStagingFile(target, &temporaryPath) : nullptr;
  if (!file) {
    std::free(target);
    writeInPlace(path, bytes, size, kind);
    return;
  }
  outputs.staged[outputs.stagedCount++] =
      StagedFile{.targetPath = target, .temporaryPath = temporaryPath, .kind = kind};
  if (!writeAndClose(file, bytes, size))
    failToWrite(path, kind);
  if (targetExists)
    keepPermissions(target, temporaryPath);
}

void commitOutputFiles() {
  for (int i = 0; i < outputs.stagedCount; ++i) {
    StagedFile &file = outputs.staged[i];
    if (std::rename(file.temporaryPath, file.targetPath) != 0)
      failToWrite(file.targetPath, file.kind);
    std::free(file.temporaryPath);
    file.temporaryPath = nullptr;
  }
  removeStagedFiles();
}

bool namesInputFile(const char *inputPath, const char *path) {
  std::error_code error;
  const bool same = std::filesystem::equivalent(inputPath, path, error);
  return same && !error;
}
