#include "platform/paths.h"

#include <gtest/gtest.h>

namespace {

TEST(Paths, WindowsStyleSplitsAtTheLastBackslashOrColon) {
  constexpr PathStyle kWin = PathStyle::kWindows;
  EXPECT_EQ(DirectoryPartIn("C:\\in\\new\\pic.zip", kWin), "C:\\in\\new\\");
  EXPECT_EQ(NamePartIn("C:\\in\\new\\pic.zip", kWin), "pic.zip");
  EXPECT_EQ(DirectoryPartIn("C:\\in\\new", kWin), "C:\\in\\");
  EXPECT_EQ(DirectoryPartIn("C:\\in\\new\\", kWin), "C:\\in\\new\\");
  EXPECT_EQ(NamePartIn("C:\\in\\new\\", kWin), "");
  EXPECT_EQ(DirectoryPartIn("C:pic.zip", kWin), "C:");
  EXPECT_EQ(NamePartIn("C:pic.zip", kWin), "pic.zip");
  EXPECT_EQ(DirectoryPartIn("pic.zip", kWin), "");
  EXPECT_EQ(NamePartIn("pic.zip", kWin), "pic.zip");
  // "/" is an ordinary byte in this style.
  EXPECT_EQ(NamePartIn("a/b", kWin), "a/b");
}

TEST(Paths, PosixStyleSplitsAtTheLastSlashOnly) {
  constexpr PathStyle kPosix = PathStyle::kPosix;
  EXPECT_EQ(DirectoryPartIn("/in/new/pic.zip", kPosix), "/in/new/");
  EXPECT_EQ(NamePartIn("/in/new/pic.zip", kPosix), "pic.zip");
  EXPECT_EQ(DirectoryPartIn("/in/new", kPosix), "/in/");
  EXPECT_EQ(DirectoryPartIn("/", kPosix), "/");
  EXPECT_EQ(DirectoryPartIn("pic.zip", kPosix), "");
  EXPECT_EQ(NamePartIn("C:\\x:y", kPosix), "C:\\x:y");
  EXPECT_EQ(SeparatorOf(kPosix), '/');
  EXPECT_EQ(SeparatorOf(PathStyle::kWindows), '\\');
}

}  // namespace
