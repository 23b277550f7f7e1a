// Output files are staged beside their path and moved over it only when the
// run commits; paths that are no regular file are written in place and never
// removed. Every run is a process of its own.
#include "outputfile.h"
#include "tavokassert.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

// A directory of its own per test, removed at the end.
struct Scratch {
  fs::path directory = fs::path(::testing::TempDir()) /
                       ("outputfile_" + std::to_string(getpid()) + "_" +
                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
  Scratch() {
    fs::remove_all(directory);
    fs::create_directories(directory);
  }
  ~Scratch() { fs::remove_all(directory); }
  std::string path(const std::string &name) const { return (directory / name).string(); }
  int entryCount() const {
    return static_cast<int>(std::distance(fs::directory_iterator(directory), fs::directory_iterator()));
  }
};

void writeText(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

std::string textOf(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void stageText(const std::string &path, const std::string &text, OutputFileKind kind = CompiledUnitFile) {
  stageOutputFile(path.c_str(), reinterpret_cast<const std::uint8_t *>(text.data()), text.size(), kind);
}

// A run that ends before the commit (any fatal condition, even a failed
// assertion) changes nothing; the commit replaces a file, keeping its
// permissions, and a link's target, and leaves a stranger's file under a
// staged-looking name alone.
TEST(OutputFile, NothingChangesBeforeTheCommitAndEverythingAtIt) {
  Scratch scratch;
  const std::string unit = scratch.path("unit"), debug = scratch.path("unit.dbg");
  writeText(unit, "old unit, longer than the new one");
  chmod(unit.c_str(), 0640);
  writeText(unit + ".partial0", "someone else's");
  writeText(scratch.path("target"), "old debug");
  fs::create_symlink(scratch.path("target"), debug);
  enum Ending { FatalCondition, FailedAssertion, Commit };
  for (Ending ending : {FatalCondition, FailedAssertion, Commit}) {
    SCOPED_TRACE(ending);
    const bool commit = ending == Commit;
    const auto run = [&] {
      stageText(unit, "new unit");
      stageText(debug, "new debug", DebugInformationFile);
      if (ending == FailedAssertion)
        assertionFailed("broken", "outputfile_test.cpp", 1);
      if (commit)
        commitOutputFiles();
      std::exit(commit ? 0 : 1);
    };
    if (ending == FailedAssertion)
      EXPECT_DEATH(run(), "^Assertion failed: broken");
    else
      EXPECT_EXIT(run(), ::testing::ExitedWithCode(commit ? 0 : 1), "");
    EXPECT_EQ(textOf(unit), commit ? "new unit" : "old unit, longer than the new one");
    EXPECT_EQ(textOf(scratch.path("target")), commit ? "new debug" : "old debug");
    EXPECT_EQ(fs::status(unit).permissions(), static_cast<fs::perms>(0640));
    EXPECT_EQ(textOf(unit + ".partial0"), "someone else's");
    EXPECT_TRUE(fs::is_symlink(debug));
    EXPECT_EQ(scratch.entryCount(), 4);  // no staged file is left
  }
}

// A failed run must not remove what is not its own file, through a link or not.
TEST(OutputFile, DevicesAndDirectoriesAreNeverRemoved) {
  Scratch scratch;
  fs::create_directory(scratch.path("directory"));
  fs::create_symlink("/dev/full", scratch.path("full"));  // a fault here can never remove the device
  struct Case { std::string path; OutputFileKind kind; int status; std::string standardError; };
  const Case cases[] = {
      {"/dev/null", CompiledUnitFile, 0, "^$"},
      {scratch.path("full"), DebugInformationFile, 1, "^Could not write debug output file \"" + scratch.path("full") + "\"\n$"},
      {scratch.path("directory"), CompiledUnitFile, 1,
       "^Could not open output file \"" + scratch.path("directory") + "\" for writing\n$"},
  };
  for (const Case &row : cases) {
    SCOPED_TRACE(row.path);
    EXPECT_EXIT({ stageText(row.path, std::string(70000, 'x'), row.kind); commitOutputFiles(); std::exit(0); },
                ::testing::ExitedWithCode(row.status), row.standardError);
  }
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_TRUE(fs::is_symlink(scratch.path("full")) && fs::is_character_file(scratch.path("full")));
  EXPECT_TRUE(fs::is_directory(scratch.path("directory")));
  EXPECT_EQ(scratch.entryCount(), 2);
}

} // namespace
