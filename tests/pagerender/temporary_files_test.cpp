// Tests of the temporary page files: complete files under final names only, nothing left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pagerender/pagerender.h"
#include "support/pdf_pages.h"
#include "support/process.h"

namespace quillamar::pagerender {
namespace {

using testing::ScratchFolder;

// Creates a temporary for name in folder and writes text into it.
std::string CreateWith(TemporaryFiles& files, const ScratchFolder& folder, const char* name,
                       const std::string& text) {
  const Result<TemporaryFiles::Created> created = files.Create((folder.path() / name).string());
  if (!created) {
    ADD_FAILURE() << created.Error();
    return {};
  }
  EXPECT_EQ(::write(created->fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(created->fd);
  return created->path;
}

TEST(RendererTemporaryFilesTest, CommitGivesTheCompleteFileItsNameAndReplacesAnOldOne) {
  const ScratchFolder folder;
  testing::WriteFile(folder.path() / "p_1.png", "old page");
  TemporaryFiles files;
  const std::string temporary = CreateWith(files, folder, "p_1.png", "new page");
  EXPECT_EQ(std::filesystem::path(temporary).parent_path(), folder.path());
  EXPECT_EQ(folder.Entries().size(), 2u);
  const Status committed = files.Commit(temporary, (folder.path() / "p_1.png").string());
  ASSERT_TRUE(committed) << committed.Error();
  EXPECT_EQ(folder.Entries(), std::vector<std::string>{"p_1.png"});
  EXPECT_EQ(testing::ReadFileText(folder.path() / "p_1.png"), "new page");
}

TEST(RendererTemporaryFilesTest, EachTemporaryHasItsOwnNameAndGoesWhenDiscardedOrNotCommitted) {
  const ScratchFolder folder;
  {
    TemporaryFiles files;
    const std::string first = CreateWith(files, folder, "p_1.png", "1");
    const std::string second = CreateWith(files, folder, "p_1.png", "2");
    EXPECT_NE(first, second);
    EXPECT_EQ(folder.Entries().size(), 2u);
    files.Discard(first);
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{std::filesystem::path(second).filename()});
  }
  EXPECT_TRUE(folder.Entries().empty());  // the destructor removes what was not committed
}

TEST(RendererTemporaryFilesTest, AbandonRemovesOpenTemporariesAndRefusesLaterOnes) {
  const ScratchFolder folder;
  TemporaryFiles files;
  const std::string first = CreateWith(files, folder, "p_1.png", "1");
  const std::string second = CreateWith(files, folder, "p_2.png", "2");
  ASSERT_TRUE(files.Commit(second, (folder.path() / "p_2.png").string()));
  files.Abandon();
  EXPECT_EQ(folder.Entries(), std::vector<std::string>{"p_2.png"});
  const Status committed = files.Commit(first, (folder.path() / "p_1.png").string());
  ASSERT_FALSE(committed);
  EXPECT_EQ(committed.Error(), std::strerror(ECANCELED));
  const auto created = files.Create((folder.path() / "p_3.png").string());
  ASSERT_FALSE(created);
  EXPECT_EQ(created.Error(), std::strerror(ECANCELED));
  EXPECT_EQ(folder.Entries(), std::vector<std::string>{"p_2.png"});
}

// A spare is written over only when it is a plain file of its own: a link's target or a file's
// other name never changes, and whatever is not taken stays where it was.
TEST(RendererTemporaryFilesTest, ReuseTakesOnlyAPlainSpareAndLeavesAnythingElseAsItWas) {
  using Path = std::filesystem::path;
  struct Case {
    const char* name;
    void (*make)(const Path& spare, const Path& other);
    bool reused;
  };
  const Case cases[] = {
      {"plain file", [](const Path& spare, const Path&) { testing::WriteFile(spare, "old"); },
       true},
      {"link", [](const Path& spare, const Path& other) { create_symlink(other, spare); }, false},
      {"second name", [](const Path& spare, const Path& other) { create_hard_link(other, spare); },
       false},
      {"folder", [](const Path& spare, const Path&) { create_directory(spare); }, false},
      {"missing", [](const Path&, const Path&) {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScratchFolder folder;
    const Path spare = folder.path() / "p_1.png";
    const Path other = folder.path() / "other";
    testing::WriteFile(other, "not ours");
    c.make(spare, other);
    const std::vector<std::string> before = folder.Entries();
    TemporaryFiles files;
    const auto taken = files.Reuse(spare.string(), (folder.path() / "p_3.png").string());
    ASSERT_EQ(static_cast<bool>(taken), c.reused);
    EXPECT_EQ(testing::ReadFileText(other), "not ours");
    if (!taken) {
      EXPECT_EQ(folder.Entries(), before);
      continue;
    }
    ::close(taken->fd);
    EXPECT_TRUE(taken->reused);
    EXPECT_FALSE(exists(spare));
    EXPECT_EQ(testing::ReadFileText(taken->path), "old");
    files.Discard(taken->path);
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{"other"});
  }
}

}  // namespace
}  // namespace quillamar::pagerender
