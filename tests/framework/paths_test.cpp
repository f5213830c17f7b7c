// Path rules and the folder creation rule.
#include "framework/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "framework/exceptions.h"
#include "support/named_cases.h"
#include "support/temp_dir.h"

namespace quillamar {
namespace {

using quillamar::testing::PrintTo;  // table rows print as their names

struct PathCase {
  const char* name;
  const char* path;
  const char* file_name;
  const char* folder;
};

const PathCase kPathCases[] = {
    {"Nested", "/home/u/docs/a.pdf", "a.pdf", "/home/u/docs"},
    {"AtRoot", "/a.pdf", "a.pdf", "/"},
    {"Bare", "a.pdf", "a.pdf", ""},
    {"Relative", "docs/a.pdf", "a.pdf", "docs"},
    {"TrailingSlash", "/out/", "", "/out"},
    {"DoubleSlash", "/out//a.pdf", "a.pdf", "/out//"},
    {"RootItself", "/", "", "/"},
    {"ColonIsOrdinary", "/x/c:d.pdf", "c:d.pdf", "/x"},
    {"Chinese", "/文档/考试 样例.pdf", "考试 样例.pdf", "/文档"},
};

class PathRuleTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathRuleTest, FileNameAndFolder) {
  EXPECT_EQ(FileNameOf(GetParam().path), GetParam().file_name);
  EXPECT_EQ(FolderOf(GetParam().path), GetParam().folder);
}

QUILLAMAR_TABLE_TESTS(Paths, PathRuleTest, kPathCases);

TEST(WithoutExtensionTest, CutsAtTheLastDotOfTheName) {
  EXPECT_EQ(WithoutExtension("minutes.final.pdf"), "minutes.final");
  EXPECT_EQ(WithoutExtension("noext"), "noext");
  EXPECT_EQ(WithoutExtension(".hidden"), "");
  EXPECT_EQ(WithoutExtension("a.b/c"), "a.b/c");  // the dot belongs to a folder
  EXPECT_EQ(WithoutExtension("50%d off.pdf"), "50%d off");
}

TEST(FileSystemTest, FileAndFolderTestsTellThemApart) {
  testing::TempDir dir;
  const std::string file = dir.Write("f.txt", "x");
  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(FolderExists(file));
  EXPECT_TRUE(FolderExists(dir.path()));
  EXPECT_FALSE(FileExists(dir.path()));
  EXPECT_FALSE(FileExists(dir / "missing"));
  EXPECT_FALSE(FileExists(""));
  EXPECT_TRUE(DeleteFile(file));
  EXPECT_FALSE(DeleteFile(file));
}

TEST(ForceFoldersTest, CreatesEveryMissingLevel) {
  testing::TempDir dir;
  const std::string deep = dir / "a/b/c";
  EXPECT_TRUE(ForceFolders(deep));
  EXPECT_TRUE(FolderExists(deep));
  EXPECT_TRUE(ForceFolders(dir / "a/b/c/"));  // a trailing separator is dropped
  EXPECT_TRUE(ForceFolders("/"));
  dir.Write("blocker", "x");
  EXPECT_FALSE(ForceFolders(dir / "blocker/sub"));  // a file in the way
}

TEST(ForceFoldersTest, EmptyOrBareRelativeNameRaises) {
  for (const char* folder : {"", "pictures-that-do-not-exist"}) {
    try {
      ForceFolders(folder);
      ADD_FAILURE() << "no exception for '" << folder << "'";
    } catch (const EInOutError& error) {
      EXPECT_EQ(error.Message(), "Unable to create directory");
    }
  }
}

TEST(AbsolutePathTest, MadeAbsoluteAgainstTheCurrentFolder) {
  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(AbsolutePath("x.pdf"), cwd + "/x.pdf");
  EXPECT_EQ(AbsolutePath("./a/../b.pdf"), cwd + "/b.pdf");
  EXPECT_EQ(AbsolutePath("/already/abs.pdf"), "/already/abs.pdf");
}

TEST(RunningExecutablePathTest, NamesThisTestProgram) {
  EXPECT_EQ(FileNameOf(RunningExecutablePath()), "framework_tests");
}

}  // namespace
}  // namespace quillamar
