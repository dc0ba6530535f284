#include "textfile/line_file.h"

#include <gtest/gtest.h>

#include "common/io_result.h"
#include "fault_platform.h"
#include "test_support.h"

namespace {

// Appends one line to a list with the given content and returns the result.
Bytes AppendTo(const Bytes& content) {
  TempDir dir;
  const Bytes list = dir / "Descript.ion";
  WriteBytes(list, content);
  LineFile file;
  OpenAppend(file, list);
  EXPECT_EQ(TakeIoResult(), 0);
  WriteLine(file, "new line");
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
  return ReadBytes(list);
}

TEST(OpenAppend, CutsAtTheFirstMarkInTheFinal128Bytes) {
  // The mark as the last byte.
  EXPECT_EQ(AppendTo("a x\r\n\x1A"), "a x\r\nnew line\r\n");
  // A mark followed by other bytes: everything from it on goes.
  EXPECT_EQ(AppendTo("a x\r\n\x1A"
                     "garbage\x1A"
                     "more"),
            "a x\r\nnew line\r\n");
  // A mark before the final 128 bytes stays.
  const Bytes early = "a x\r\n\x1A" + Bytes(130, 'y') + "\r\n";
  EXPECT_EQ(AppendTo(early), early + "new line\r\n");
  // A mark exactly 128 bytes from the end is inside the window.
  const Bytes head = Bytes(50, 'h') + "\r\n";
  EXPECT_EQ(AppendTo(head + "\x1A" + Bytes(127, 't')), head + "new line\r\n");
}

TEST(OpenAppend, AddsTheMissingLineEndBeforeTheFirstNewLine) {
  EXPECT_EQ(AppendTo(""), "new line\r\n");
  EXPECT_EQ(AppendTo("a x"), "a x\r\nnew line\r\n");
  EXPECT_EQ(AppendTo("a x\n"), "a x\nnew line\r\n");
  EXPECT_EQ(AppendTo("a x\x1A"), "a x\r\nnew line\r\n");
  // The whole window cut away: the byte before it decides.
  EXPECT_EQ(AppendTo(Bytes(10, 'h') + "\x1A" + Bytes(127, 't')), Bytes(10, 'h') + "\r\nnew line\r\n");
  EXPECT_EQ(AppendTo(Bytes(10, 'h') + "\n\x1A" + Bytes(127, 't')), Bytes(10, 'h') + "\nnew line\r\n");
  // A mark as the only content leaves an empty list.
  EXPECT_EQ(AppendTo("\x1A"), "new line\r\n");
}

TEST(OpenAppend, CutsEvenWhenNothingIsWritten) {
  TempDir dir;
  WriteBytes(dir / "list", "a b\r\n\x1A");
  LineFile file;
  OpenAppend(file, dir / "list");
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
  EXPECT_EQ(ReadBytes(dir / "list"), "a b\r\n");
}

TEST(OpenAppend, FailsOnAMissingFileOrADirectoryAndStaysClosed) {
  TempDir dir;
  LineFile file;
  OpenAppend(file, dir / "missing");
  EXPECT_EQ(TakeIoResult(), 2);
  EXPECT_EQ(file.state, LineFileState::kClosed);
  OpenAppend(file, dir.Path());
  EXPECT_EQ(TakeIoResult(), 5);
  EXPECT_EQ(file.state, LineFileState::kClosed);
}

TEST(CreateNew, CreatesTheFileOrAppendsToOneThatAppearedMeanwhile) {
  TempDir dir;
  WriteBytes(dir / "list", "old content\x1A");
  LineFile file;
  CreateNew(file, dir / "list");
  WriteLine(file, {"a", " ", "b"});
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
  EXPECT_EQ(ReadBytes(dir / "list"), "old content\r\na b\r\n");
  CreateNew(file, dir / "fresh");
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
  EXPECT_EQ(ReadBytes(dir / "fresh"), "");
}

TEST(WriteLine, LinesLargerThanTheBufferArriveWhole) {
  TempDir dir;
  LineFile file;
  CreateNew(file, dir / "list");
  const Bytes big(300 * 1024, 'z');
  WriteLine(file, "first");
  WriteLine(file, {"name ", big});
  WriteLine(file, "last");
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
  EXPECT_EQ(ReadBytes(dir / "list"), "first\r\nname " + big + "\r\nlast\r\n");
}

TEST(DeviceCheck, CharacterDeviceIsWrittenOutPerLine) {
  LineFile file;
  OpenAppend(file, kNullDevice);
  ASSERT_EQ(TakeIoResult(), 0);
  EXPECT_TRUE(file.flush_per_line);
  WriteLine(file, "x");
  EXPECT_EQ(file.count, 0u);
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
}

class UnknownKindPlatform : public FaultPlatform {
 public:
  using FaultPlatform::FaultPlatform;
  int Kind(FileHandle, HandleKind* kind) override {
    *kind = HandleKind::kUnknown;
    return 0;
  }
};

TEST(DeviceCheck, UnknownKindFailsWith105AndClosesTheHandle) {
  TempDir dir;
  UnknownKindPlatform platform(NativePlatform());
  ScopedPlatform use(platform);
  LineFile file;
  CreateNew(file, dir / "list");
  EXPECT_EQ(TakeIoResult(), 105);
  EXPECT_EQ(file.state, LineFileState::kClosed);
  EXPECT_EQ(platform.open_files, 0);
}

TEST(LineFileCodes, WrongStateGives103To105) {
  LineFile file;
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 103);
  FlushLineFile(file);
  EXPECT_EQ(TakeIoResult(), 103);
  WriteLine(file, "x");
  EXPECT_EQ(TakeIoResult(), 105);
  EXPECT_TRUE(AtEnd(file));
  EXPECT_EQ(TakeIoResult(), 104);
  ReadTextLine(file);
  EXPECT_EQ(TakeIoResult(), 104);
}

TEST(WriteLine, FailedWriteOutSetsTheCodeAndDropsThePendingBytes) {
  TempDir dir;
  FaultPlatform platform(NativePlatform());
  ScopedPlatform use(platform);
  LineFile file;
  CreateNew(file, dir / "list");
  ASSERT_EQ(TakeIoResult(), 0);
  WriteLine(file, "lost");
  platform.fail_at = platform.calls + 1;
  platform.fail_code = 112;
  FlushLineFile(file);
  EXPECT_EQ(TakeIoResult(), 112);
  WriteLine(file, "kept");
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
  EXPECT_EQ(ReadBytes(dir / "list"), "kept\r\n");
  EXPECT_EQ(platform.open_files, 0);
}

TEST(WriteLine, ShortWriteCountsAsAFullDisk) {
  TempDir dir;
  FaultPlatform platform(NativePlatform());
  ScopedPlatform use(platform);
  LineFile file;
  CreateNew(file, dir / "list");
  WriteLine(file, "0123456789");
  platform.fail_at = platform.calls + 1;
  platform.short_write = true;
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 112);
  // The write failed, so the file stays open; the record closes it.
  EXPECT_EQ(file.state, LineFileState::kWriting);
}

TEST(StandardOutput, OpensOnFirstLineAndKeepsItsHandleWhenClosed) {
  LineFile& out = StandardOutputFile();
  EXPECT_TRUE(out.is_standard_output);
  FlushLineFile(out);  // nothing to do while closed
  EXPECT_EQ(TakeIoResult(), 0);
}

// Reading: writes content to a file and reads it line by line. With a skip
// byte, SkipLinesNotStartingWith(skip) runs before each line, so only the
// lines at which it stops are returned.
std::vector<Bytes> Lines(const Bytes& content, char skip = '\0') {
  TempDir dir;
  WriteBytes(dir / "log", content);
  LineFile file;
  OpenRead(file, dir / "log");
  EXPECT_EQ(TakeIoResult(), 0);
  std::vector<Bytes> lines;
  for (;;) {
    if (skip != '\0') SkipLinesNotStartingWith(file, skip);
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
  TempDir dir;
  WriteBytes(dir / "log", "a\rbcdef\nnext");
  LineFile file;
  OpenRead(file, dir / "log");
  EXPECT_EQ(ReadTextLine(file, 3), "abc");
  EXPECT_EQ(ReadTextLine(file), "def");
  SkipLineEnd(file);
  EXPECT_EQ(ReadTextLine(file, 2), "ne");
  SkipTextLine(file);
  EXPECT_TRUE(AtEnd(file));
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
}

// The lines at which SkipLinesNotStartingWith(file, 'K') stops, as read.
std::vector<Bytes> StopsAtK(const Bytes& content) { return Lines(content, 'K'); }

TEST(SkipLinesNotStartingWith, StopsWhereALineMayBeginWithTheByte) {
  using L = std::vector<Bytes>;
  EXPECT_EQ(StopsAtK("Ka\nb\nKc\r\nd K\nKe"), (L{"Ka", "Kc", "Ke"}));
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
    Bytes line = (i % 7 == 3 ? "K" : "x") + Bytes(static_cast<std::size_t>(i % 41), 'a' + i % 26);
    if (line[0] == 'K') wanted.push_back(line);
    content += line + (i % 2 == 0 ? "\r\n" : "\n");
  }
  EXPECT_EQ(StopsAtK(content), wanted);
}

TEST(SkipLineEnd, ConsumesOnlyALineEnd) {
  TempDir dir;
  WriteBytes(dir / "log", "\r\n\nx\rz");
  LineFile file;
  OpenRead(file, dir / "log");
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
  TempDir dir;
  LineFile file;
  OpenRead(file, dir / "missing");
  EXPECT_EQ(TakeIoResult(), 2);
  OpenRead(file, dir.Path());
  EXPECT_EQ(TakeIoResult(), 5);
  EXPECT_EQ(file.state, LineFileState::kClosed);
}

}  // namespace
