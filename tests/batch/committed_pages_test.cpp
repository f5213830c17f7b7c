// Committed pages: a PNG goes only after its JPEG has been flushed, in groups.
#include "batch/committed_pages.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace quillamar::batch {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

TEST(CommittedPagesTest, AYoungGroupWaitsAndItsEndDeletesOnlyPngsWhoseJpegWasFlushed) {
  const TempDir dir;
  dir.Write("a_1.png", "png 1");
  dir.Write("a_1.jpg", "jpg 1");
  dir.Write("a_2.png", "png 2");  // its JPEG never came: nothing to flush, so the PNG stays
  {
    CommittedPages group(std::chrono::hours(1));
    group.Add(dir / "a_1.jpg", dir / "a_1.png");
    group.Add(dir / "a_2.jpg", dir / "a_2.png");
    EXPECT_TRUE(fs::exists(dir / "a_1.png"));
    EXPECT_TRUE(fs::exists(dir / "a_2.png"));
  }
  EXPECT_FALSE(fs::exists(dir / "a_1.png"));
  EXPECT_EQ(testing::ReadFileText(dir / "a_1.jpg"), "jpg 1");
  EXPECT_TRUE(fs::exists(dir / "a_2.png"));
}

TEST(CommittedPagesTest, AGroupOlderThanItsAgeIsFlushedWhenAPageIsAdded) {
  const TempDir dir;
  dir.Write("a_1.png", "png 1");
  dir.Write("a_1.jpg", "jpg 1");
  CommittedPages group(std::chrono::milliseconds(0));
  group.Add(dir / "a_1.jpg", dir / "a_1.png");
  EXPECT_FALSE(fs::exists(dir / "a_1.png"));
  EXPECT_TRUE(fs::exists(dir / "a_1.jpg"));
}

}  // namespace
}  // namespace quillamar::batch
