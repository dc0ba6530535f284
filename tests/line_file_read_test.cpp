#include "textfile/line_file_read.h"

#include <gtest/gtest.h>

#include "common/io_result.h"
#include "fault_platform.h"
#include "memory_world.h"

namespace {

// Reading: writes content to a file and reads it line by line. With a skip
// byte, SkipLinesNotStartingWith(skip, other) runs before each line, so only
// the lines at which it stops are returned.
std::vector<Bytes> Lines(const Bytes& content, char skip = '\0', char other = '\0') {
  MemoryWorld world;
  ScopedPlatform use(world);
  world.Write(world / "log", content);
  LineFile file;
  OpenRead(file, world / "log");
  EXPECT_EQ(TakeIoResult(), 0);
  std::vector<Bytes> lines;
  for (;;) {
    if (skip != '\0') SkipLinesNotStartingWith(file, skip, other == '\0' ? skip : other);
    if (AtEnd(file)) break;
    lines.push_back(ReadTextLine(file));
    SkipLineEnd(file);
  }
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
  return lines;
}

TEST(ReadTextLine, LineEndsAndDroppedCarriageReturns) {
  using L = std::vector<Bytes>;
  EXPECT_EQ(Lines("ab\rcd\nef"), (L{"abcd", "ef"}));
  EXPECT_EQ(Lines("a\r\nb\r\n"), (L{"a", "b"}));
  EXPECT_EQ(Lines("a\nb\n"), (L{"a", "b"}));
  EXPECT_EQ(Lines("a\r\r\nb\r"), (L{"a", "b"}));
  EXPECT_EQ(Lines("\n\n"), (L{"", ""}));
  EXPECT_EQ(Lines(""), L{});
}

TEST(ReadTextLine, EndOfFileMarkEndsEverything) {
  using L = std::vector<Bytes>;
  EXPECT_EQ(Lines("a\nb\x1A"
                  "c\nd"),
            (L{"a", "b"}));
  EXPECT_EQ(Lines("\x1A"
                  "a\n"),
            L{});
}

TEST(ReadTextLine, LongLinesArriveWholeAndAcrossBufferEdges) {
  const Bytes long_line(600 * 1024 + 7, 'q');
  EXPECT_EQ(Lines(long_line + "\r\nx"), (std::vector<Bytes>{long_line, "x"}));
  // A CR LF split by the buffer's edge is still one line end.
  const Bytes edge(256 * 1024 - 1, 'e');  // the reading buffer's size, less one
  EXPECT_EQ(Lines(edge + "\r\nx"), (std::vector<Bytes>{edge, "x"}));
}

TEST(ReadTextLine, MaxBytesLeavesTheRestOfTheLineUnread) {
  MemoryWorld world;
  ScopedPlatform use(world);
  world.Write(world / "log", "a\rbcdef\nnext");
  LineFile file;
  OpenRead(file, world / "log");
  EXPECT_EQ(ReadTextLine(file, 3), "abc");
  EXPECT_EQ(ReadTextLine(file), "def");
  SkipLineEnd(file);
  EXPECT_EQ(ReadTextLine(file, 2), "ne");
  SkipTextLine(file);
  EXPECT_TRUE(AtEnd(file));
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
}

// The lines at which SkipLinesNotStartingWith(file, 'K', 'J') stops, as read.
std::vector<Bytes> StopsAtK(const Bytes& content) { return Lines(content, 'K', 'J'); }

TEST(SkipLinesNotStartingWith, StopsWhereALineMayBeginWithTheByte) {
  using L = std::vector<Bytes>;
  EXPECT_EQ(StopsAtK("Ka\nb\nKc\r\nd K\nJd\nKe"), (L{"Ka", "Kc", "Jd", "Ke"}));
  EXPECT_EQ(StopsAtK("\n\nK\n\n"), (L{"K"}));
  // A line led by a CR may begin with the byte once the CR is dropped.
  EXPECT_EQ(StopsAtK("a\n\rKb\r\n\r\nc\n"), (L{"Kb", ""}));
  EXPECT_EQ(StopsAtK("abc"), L{});
  EXPECT_EQ(StopsAtK("a\n"), L{});
  EXPECT_EQ(StopsAtK(""), L{});
  // The mark ends the file even in lines passed over.
  EXPECT_EQ(StopsAtK("a\x1A\nKb\n"), L{});
}

TEST(SkipLinesNotStartingWith, FindsEveryLineAcrossBufferEdges) {
  using L = std::vector<Bytes>;
  const std::size_t buffer = 256 * 1024;  // the reading buffer's size
  // The LF as the last byte of a full buffer, and as the first of the next.
  EXPECT_EQ(StopsAtK(Bytes(buffer - 1, 'e') + "\nK1\n"), (L{"K1"}));
  EXPECT_EQ(StopsAtK(Bytes(buffer, 'e') + "\nK2"), (L{"K2"}));
  // Many lines of every length, so that wanted lines fall at every offset.
  Bytes content;
  L wanted;
  for (int i = 0; i < 20000; ++i) {
    Bytes line = (i % 7 == 3 ? "K" : i % 11 == 5 ? "J" : "x") + Bytes(static_cast<std::size_t>(i % 41), 'a' + i % 26);
    if (line[0] != 'x') wanted.push_back(line);
    content += line + (i % 2 == 0 ? "\r\n" : "\n");
  }
  EXPECT_EQ(StopsAtK(content), wanted);
}

TEST(SkipLineEnd, ConsumesOnlyALineEnd) {
  MemoryWorld world;
  ScopedPlatform use(world);
  world.Write(world / "log", "\r\n\nx\rz");
  LineFile file;
  OpenRead(file, world / "log");
  SkipLineEnd(file);  // CR LF
  SkipLineEnd(file);  // LF
  SkipLineEnd(file);  // "x" is no line end
  EXPECT_EQ(ReadTextLine(file), "xz");
  SkipLineEnd(file);  // at the end: nothing
  EXPECT_TRUE(AtEnd(file));
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
}

TEST(OpenRead, FailsOnMissingFilesAndDirectories) {
  MemoryWorld world;
  ScopedPlatform use(world);
  LineFile file;
  OpenRead(file, world / "missing");
  EXPECT_EQ(TakeIoResult(), 2);
  OpenRead(file, world.Root());
  EXPECT_EQ(TakeIoResult(), 5);
  EXPECT_EQ(file.state, LineFileState::kClosed);
}

}  // namespace
