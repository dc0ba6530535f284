#include "textfile/line_file.h"

#include <gtest/gtest.h>

#include "common/io_result.h"
#include "fault_platform.h"
#include "memory_world.h"
#include "test_support.h"
#include "textfile/line_file_read.h"

namespace {

// Appends one line to a list with the given content and returns the result.
Bytes AppendTo(const Bytes& content) {
  MemoryWorld world;
  ScopedPlatform use(world);
  const Bytes list = world / "Descript.ion";
  world.Write(list, content);
  LineFile file;
  OpenAppend(file, list);
  EXPECT_EQ(TakeIoResult(), 0);
  WriteLine(file, "new line");
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
  return world.Read(list);
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
  MemoryWorld world;
  ScopedPlatform use(world);
  world.Write(world / "list", "a b\r\n\x1A");
  LineFile file;
  OpenAppend(file, world / "list");
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
  EXPECT_EQ(world.Read(world / "list"), "a b\r\n");
}

TEST(OpenAppend, FailsOnAMissingFileOrADirectoryAndStaysClosed) {
  MemoryWorld world;
  ScopedPlatform use(world);
  LineFile file;
  OpenAppend(file, world / "missing");
  EXPECT_EQ(TakeIoResult(), 2);
  EXPECT_EQ(file.state, LineFileState::kClosed);
  OpenAppend(file, world.Root());
  EXPECT_EQ(TakeIoResult(), 5);
  EXPECT_EQ(file.state, LineFileState::kClosed);
}

TEST(CreateOrAppend, CreatesTheFileOrAppendsToOneThatAppearedMeanwhile) {
  MemoryWorld world;
  ScopedPlatform use(world);
  world.Write(world / "list", "old content\x1A");
  LineFile file;
  CreateOrAppend(file, world / "list");
  WriteLine(file, {"a", " ", "b"});
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
  EXPECT_EQ(world.Read(world / "list"), "old content\r\na b\r\n");
  CreateOrAppend(file, world / "fresh");
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
  EXPECT_EQ(world.Read(world / "fresh"), "");
}

TEST(WriteLine, LinesLargerThanTheBufferArriveWhole) {
  MemoryWorld world;
  ScopedPlatform use(world);
  LineFile file;
  CreateOrAppend(file, world / "list");
  const Bytes big(300 * 1024, 'z');
  WriteLine(file, "first");
  WriteLine(file, {"name ", big});
  WriteLine(file, "last");
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
  EXPECT_EQ(world.Read(world / "list"), "first\r\nname " + big + "\r\nlast\r\n");
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
  MemoryWorld world;
  UnknownKindPlatform platform(world);
  ScopedPlatform use(platform);
  LineFile file;
  CreateOrAppend(file, world / "list");
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
  MemoryWorld world;
  FaultPlatform platform(world);
  ScopedPlatform use(platform);
  LineFile file;
  CreateOrAppend(file, world / "list");
  ASSERT_EQ(TakeIoResult(), 0);
  WriteLine(file, "lost");
  platform.fail_at = platform.calls + 1;
  platform.fail_code = 112;
  FlushLineFile(file);
  EXPECT_EQ(TakeIoResult(), 112);
  WriteLine(file, "kept");
  CloseLineFile(file);
  EXPECT_EQ(TakeIoResult(), 0);
  EXPECT_EQ(world.Read(world / "list"), "kept\r\n");
  EXPECT_EQ(platform.open_files, 0);
}

TEST(WriteLine, ShortWriteCountsAsAFullDisk) {
  MemoryWorld world;
  FaultPlatform platform(world);
  ScopedPlatform use(platform);
  LineFile file;
  CreateOrAppend(file, world / "list");
  WriteLine(file, "0123456789");
  platform.fail_at = platform.calls + 2;  // the write-out asks the file's size first
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

}  // namespace
