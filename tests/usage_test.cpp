#include "app/usage.h"

#include <gtest/gtest.h>

#include <regex>

#include "fault_platform.h"

namespace {

TEST(InfoRequestOf, OnlyTheExactSpellingsAsk) {
  for (PathStyle style : {PathStyle::kPosix, PathStyle::kWindows}) {
    EXPECT_EQ(InfoRequestOf("--help", style), InfoRequest::kHelp);
    EXPECT_EQ(InfoRequestOf("--version", style), InfoRequest::kVersion);
    for (const char* path : {"", "--HELP", "-help", "-h", "--help ", "--help=x", "./--help", ".\\--help", "--versio",
                             "--version2", "-?", "/h", "/??", "-F"}) {
      EXPECT_EQ(InfoRequestOf(path, style), InfoRequest::kNone) << path;
    }
  }
}

TEST(InfoRequestOf, SlashQuestionMarkAsksOnlyInTheWindowsStyle) {
  EXPECT_EQ(InfoRequestOf("/?", PathStyle::kWindows), InfoRequest::kHelp);
  // On POSIX "/?" is a path like any other.
  EXPECT_EQ(InfoRequestOf("/?", PathStyle::kPosix), InfoRequest::kNone);
}

TEST(InfoLines, VersionIsOneLineWithThreeNumbers) {
  const std::vector<Bytes> lines = InfoLines(InfoRequest::kVersion, PathStyle::kPosix);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("logharvest [0-9]+\\.[0-9]+\\.[0-9]+"))) << lines[0];
  EXPECT_TRUE(InfoLines(InfoRequest::kNone, PathStyle::kPosix).empty());
}

// The help names what a user needs, fits a console and is plain ASCII, so it
// reads the same under every code page.
TEST(InfoLines, HelpCoversArgumentsMarkerListsAndExitCodesInPlainAscii) {
  for (PathStyle style : {PathStyle::kPosix, PathStyle::kWindows}) {
    const std::vector<Bytes> lines = InfoLines(InfoRequest::kHelp, style);
    Bytes all;
    for (const Bytes& line : lines) {
      EXPECT_LE(line.size(), 79u) << line;
      for (char c : line) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << line;
      all += line + "\n";
    }
    const bool windows = style == PathStyle::kWindows;
    // Each build names the lists as it creates them.
    for (const char* word :
         {"Usage: logharvest [DIRECTORY | FILE] [-F]", "--help", "--version", "to_bbs",
          windows ? "Descript.ion" : "descript.ion", windows ? "Files.bbs" : "files.bbs", "Exit codes: 0", " 1 "}) {
      EXPECT_NE(all.find(word), Bytes::npos) << word;
    }
    EXPECT_EQ(all.find("/?") != Bytes::npos, windows);
    EXPECT_NE(all.find(windows ? ".\\--help" : "./--help"), Bytes::npos);
    EXPECT_NE(all.find(windows ? "trailing \\" : "trailing /"), Bytes::npos);
  }
}

TEST(AnswerInfoRequest, AnyOtherFirstArgumentIsLeftToTheHarvest) {
  FaultPlatform platform(NativePlatform());
  ScopedPlatform use(platform);
  std::vector<std::vector<Bytes>> cases{{}, {"./--help"}, {"-F", "--help"}};
  // "/?" asks for the help on Windows only.
  if (platform.Style() == PathStyle::kPosix) cases.push_back({"/?"});
  for (const std::vector<Bytes>& arguments : cases) {
    platform.arguments = arguments;
    EXPECT_FALSE(AnswerInfoRequest());
  }
  EXPECT_EQ(platform.calls, 0);
}

}  // namespace
