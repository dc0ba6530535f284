#include "textfile/line_file_read.h"

#include <gtest/gtest.h>

#include "common/io_result.h"
#include "fault_platform.h"
#include "memory_world.h"

namespace {

// Reads an open file line by line. With a skip byte,
// SkipLinesNotStartingWith(skip, other) runs before each line, so only the
// lines at which it stops are returned.
std::vector<Bytes> ReadLines(LineFile& file, char skip, char other) {
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

// Reading: writes content to a file and reads it line by line (see
// ReadLines).
std::vector<Bytes> Lines(const Bytes& content, char skip = '\0', char other = '\0') {
  MemoryWorld world;
  ScopedPlatform use(world);
  world.Write(world / "log", content);
  LineFile file;
  OpenRead(file, world / "log");
  EXPECT_EQ(TakeIoResult(), 0);
  return ReadLines(file, skip, other);
}

constexpr std::int64_t kTebibyte = std::int64_t{1} << 40;

using Pieces = std::vector<MemoryWorld::DataThenHole>;

std::int64_t DataSize(const Pieces& pieces) {
  std::int64_t size = 0;
  for (const auto& piece : pieces) size += static_cast<std::int64_t>(piece.data.size());
  return size;
}

// A file of data and holes in a world of its own, open for reading with its
// holes passed over.
struct HoledFile {
  explicit HoledFile(const Pieces& pieces) {
    world.WriteWithHoles(world / "log", pieces);
    OpenRead(file, world / "log");
    PassOverHoles(file);
  }
  MemoryWorld world;
  ScopedPlatform use{world};
  LineFile file;
};

// The lines of a file with holes (see ReadLines); the reading takes its
// data, every byte once, and never a hole's.
std::vector<Bytes> HoledLines(const Pieces& pieces, char skip = '\0', char other = '\0') {
  HoledFile holed(pieces);
  std::vector<Bytes> lines = ReadLines(holed.file, skip, other);
  EXPECT_EQ(holed.world.bytes_read, DataSize(pieces));
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

TEST(ReadingWithHoles, AHoleReadsAsZerosThatEndNoLine) {
  using L = std::vector<Bytes>;
  const Bytes zeros(8, '\0');
  EXPECT_EQ(HoledLines({{"ab", 3}, {"c\r\nd", 0}}), (L{"ab" + zeros.substr(0, 3) + "c", "d"}));
  // A CR before a hole is dropped as any other inside a line; the mark
  // after a hole still ends the file.
  EXPECT_EQ(HoledLines({{"a\r", 2},
                        {"\nb\x1A"
                         "c\n",
                         0}}),
            (L{"a" + zeros.substr(0, 2), "b"}));
  // A file may begin and end with a hole.
  EXPECT_EQ(HoledLines({{"", 2}, {"x\n", 2}}), (L{zeros.substr(0, 2) + "x", zeros.substr(0, 2)}));
}

TEST(ReadingWithHoles, ALineThatStartsInAHoleStartsWithAZero) {
  using L = std::vector<Bytes>;
  const Bytes zeros(8, '\0');
  // Skipped: the line after "x" that starts in the hole; found: the lines
  // that start with K or J, one of them running on through a hole.
  EXPECT_EQ(HoledLines({{"x\n", 4096}, {"K1\nK2", 8}, {"\nJ3\n", 0}}, 'K', 'J'), (L{"K2" + zeros, "J3"}));
  EXPECT_EQ(HoledLines({{"a\n", 5}, {"K\n", 0}}, 'K', 'J'), L{});
  EXPECT_EQ(HoledLines({{"a", 5}, {"\nK", 0}}, 'K', 'J'), L{"K"});
  EXPECT_EQ(HoledLines({{"K", 5}, {"\n", 0}}, 'K', 'J'), L{"K" + zeros.substr(0, 5)});
  // Across the reading buffer's edge: the LF as the last byte of a full
  // buffer, before a hole and after one.
  const std::size_t buffer = 256 * 1024;
  EXPECT_EQ(HoledLines({{Bytes(buffer - 1, 'e') + "\n", 3}, {"K1\nK2\n", 0}}, 'K', 'J'), L{"K2"});
  EXPECT_EQ(HoledLines({{Bytes(buffer - 1, 'e'), 3}, {"\nK3\n", 0}}, 'K', 'J'), L{"K3"});
}

TEST(ReadingWithHoles, ZeroRunsKeepAVastHoleOutOfTheLine) {
  HoledFile holed({{"ab", kTebibyte}, {"cd\nnext", 0}});
  std::vector<ZeroRun> zeros;
  // Taken up to the most asked for, the rest of the hole left; then passed
  // over.
  EXPECT_EQ(ReadTextLine(holed.file, 1 << 20, &zeros), "ab");
  ASSERT_EQ(zeros.size(), 1u);
  EXPECT_EQ(zeros[0].at, 2u);
  EXPECT_EQ(zeros[0].length, (1u << 20) - 2);
  SkipTextLine(holed.file);
  SkipLineEnd(holed.file);
  EXPECT_EQ(ReadTextLine(holed.file, 4, &zeros), "next");
  EXPECT_TRUE(zeros.empty());
  EXPECT_TRUE(AtEnd(holed.file));
  EXPECT_EQ(holed.world.bytes_read, 9);
  EXPECT_EQ(TakeIoResult(), 0);

  // A line through holes of 3 GiB, whole; and a hole cut by the most
  // asked for, its rest the start of what is read next.
  const std::int64_t large = std::int64_t{3} << 30;
  HoledFile more({{"ab", large}, {"cd", 2}, {"e\nf", 3}, {"g\n", 0}});
  EXPECT_EQ(ReadTextLine(more.file, static_cast<std::size_t>(-1), &zeros), "abcde");
  ASSERT_EQ(zeros.size(), 2u);
  EXPECT_EQ(zeros[0].at, 2u);
  EXPECT_EQ(static_cast<std::int64_t>(zeros[0].length), large);
  EXPECT_EQ(static_cast<std::int64_t>(zeros[1].at), large + 4);
  EXPECT_EQ(zeros[1].length, 2u);
  SkipLineEnd(more.file);
  EXPECT_EQ(ReadTextLine(more.file, 3, &zeros), "f");
  EXPECT_EQ(WithZeroRuns("f", zeros), Bytes("f\0\0", 3));
  EXPECT_EQ(ReadTextLine(more.file, 3, &zeros), "g");
  EXPECT_EQ(WithZeroRuns("g", zeros), Bytes("\0g", 2));
  EXPECT_EQ(TakeIoResult(), 0);
  EXPECT_EQ(WithZeroRuns("abcde", {{2, 3}, {7, 2}}), Bytes("ab\0\0\0cd\0\0e", 10));
}

TEST(ReadingWithHoles, BytesStopBeforeAHoleAndPeeksGiveItsZeros) {
  HoledFile holed({{"", 5}, {"\xEF\xBB", 1}, {"xy", 0}});
  EXPECT_EQ(PeekBytes(holed.file, 3), Bytes(3, '\0'));
  EXPECT_EQ(HoleAhead(holed.file), 5);
  SkipHole(holed.file);
  EXPECT_EQ(PeekBytes(holed.file, 3), Bytes("\xEF\xBB\0", 3));
  char buffer[8];
  EXPECT_EQ(ReadBytes(holed.file, buffer, sizeof buffer), 2u);
  EXPECT_EQ(HoleAhead(holed.file), 1);
  EXPECT_FALSE(AtEnd(holed.file));
  SkipHole(holed.file);
  EXPECT_EQ(HoleAhead(holed.file), 0);
  EXPECT_EQ(ReadBytes(holed.file, buffer, sizeof buffer), 2u);
  EXPECT_EQ(Bytes(buffer, 2), "xy");
  EXPECT_TRUE(AtEnd(holed.file));
  EXPECT_EQ(TakeIoResult(), 0);
}

TEST(ReadingWithHoles, AFileThatEndsInAVastHoleEnds) {
  HoledFile holed({{"ab", kTebibyte}});
  EXPECT_EQ(ReadTextLine(holed.file, 2), "ab");
  SkipTextLine(holed.file);
  EXPECT_TRUE(AtEnd(holed.file));
  EXPECT_EQ(holed.world.bytes_read, 2);
  // One range of data, then the hole to the end.
  EXPECT_EQ(holed.world.data_range_calls, 2);
  EXPECT_EQ(TakeIoResult(), 0);
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
