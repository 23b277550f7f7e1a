// Output files are replaced whole or not at all: staged beside their path and
// moved over it only when the run commits; a run that ends first leaves the
// old file and no staged file behind. Paths that are no regular file are
// written in place and never removed. Every case runs in a process of its own.
#include "outputfile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

// A directory of its own per test, removed at the end.
struct Scratch {
  fs::path directory;
  Scratch() {
    directory = fs::path(::testing::TempDir()) /
                ("outputfile_" + std::to_string(getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory);
    fs::create_directories(directory);
  }
  ~Scratch() { fs::remove_all(directory); }
  std::string path(const std::string &name) const { return (directory / name).string(); }
  int entryCount() const {
    return static_cast<int>(std::distance(fs::directory_iterator(directory), fs::directory_iterator()));
  }
};

void writeText(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string textOf(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void stageText(const std::string &path, const std::string &text, OutputFileKind kind = CompiledUnitFile) {
  stageOutputFile(path.c_str(), reinterpret_cast<const std::uint8_t *>(text.data()), text.size(), kind);
}

// Ends the process with status 0 after the body; for use inside EXPECT_EXIT.
template <class Body> [[noreturn]] void runAndExit(Body body) {
  body();
  std::fflush(stdout);
  std::exit(0);
}

TEST(OutputFile, CommitReplacesAnExistingFileAndKeepsItsPermissions) {
  Scratch scratch;
  const std::string unit = scratch.path("unit"), debug = scratch.path("unit.dbg");
  writeText(unit, "old unit");
  chmod(unit.c_str(), 0640);
  EXPECT_EXIT(runAndExit([&] {
                stageText(unit, "new unit");
                stageText(debug, "new debug", DebugInformationFile);
                commitOutputFiles();
              }),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(textOf(unit), "new unit");
  EXPECT_EQ(textOf(debug), "new debug");
  EXPECT_EQ(fs::status(unit).permissions(), static_cast<fs::perms>(0640));
  EXPECT_EQ(scratch.entryCount(), 2);  // no staged file is left
}

TEST(OutputFile, ARunThatEndsBeforeTheCommitLeavesEverythingAsItWas) {
  Scratch scratch;
  const std::string unit = scratch.path("unit"), debug = scratch.path("unit.dbg");
  writeText(unit, "old unit");
  EXPECT_EXIT(runAndExit([&] {
                stageText(unit, "new unit");
                stageText(debug, "new debug", DebugInformationFile);
                std::exit(1);  // any fatal condition
              }),
              ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(textOf(unit), "old unit");
  EXPECT_FALSE(fs::exists(debug));
  EXPECT_EQ(scratch.entryCount(), 1);
}

TEST(OutputFile, ALinkToARegularFileIsFollowed) {
  Scratch scratch;
  const std::string target = scratch.path("target"), link = scratch.path("link");
  writeText(target, "old");
  fs::create_symlink(target, link);
  EXPECT_EXIT(runAndExit([&] {
                stageText(link, "new");
                commitOutputFiles();
              }),
              ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(textOf(target), "new");
  EXPECT_EQ(scratch.entryCount(), 2);
}

TEST(OutputFile, AStaleStagedFileIsLeftAlone) {
  Scratch scratch;
  const std::string unit = scratch.path("unit");
  writeText(unit + ".partial0", "someone else's");
  EXPECT_EXIT(runAndExit([&] {
                stageText(unit, "new");
                commitOutputFiles();
              }),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(textOf(unit), "new");
  EXPECT_EQ(textOf(unit + ".partial0"), "someone else's");
}

TEST(OutputFile, ADeviceIsWrittenInPlace) {
  EXPECT_EXIT(runAndExit([] {
                stageText("/dev/null", "anything");
                commitOutputFiles();
              }),
              ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST(OutputFile, PathsThatCannotBeOpened) {
  Scratch scratch;
  fs::create_directory(scratch.path("directory"));
  struct Case {
    std::string path;
    OutputFileKind kind;
    std::string standardError;
  };
  const Case cases[] = {
      {scratch.path("directory"), CompiledUnitFile,
       "^Could not open output file \"" + scratch.path("directory") + "\" for writing\n$"},
      {scratch.path("missing/unit"), CompiledUnitFile,
       "^Could not open output file \"" + scratch.path("missing/unit") + "\" for writing\n$"},
      // The debug file's message goes to the standard output stream.
      {scratch.path("directory"), DebugInformationFile, "^$"},
  };
  for (const Case &row : cases) {
    SCOPED_TRACE(row.path);
    EXPECT_EXIT(runAndExit([&] { stageText(row.path, "x", row.kind); }), ::testing::ExitedWithCode(1),
                row.standardError);
  }
  EXPECT_EQ(scratch.entryCount(), 1);
  EXPECT_TRUE(fs::is_directory(scratch.path("directory")));
}

TEST(OutputFile, AFailedWriteToADeviceLeavesItThere) {
  // Through a link, so that a fault here could never remove the device.
  Scratch scratch;
  const std::string link = scratch.path("full");
  fs::create_symlink("/dev/full", link);
  EXPECT_EXIT(runAndExit([&] { stageText(link, std::string(70000, 'x'), DebugInformationFile); }),
              ::testing::ExitedWithCode(1), "^Could not write debug output file \"" + link + "\"\n$");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::is_character_file(link));
}

} // namespace
