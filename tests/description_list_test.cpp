#include "desclist/description_list.h"

#include <gtest/gtest.h>

#include "fault_platform.h"
#include "test_support.h"

namespace {

TEST(FormOfName, UnsafeQuotedAndPlainNames) {
  constexpr ListKind kFm = ListKind::kFileManager;
  constexpr ListKind kBbs = ListKind::kBulletinBoard;
  EXPECT_EQ(FormOfName("pic.zip", kFm), NameForm::kPlain);
  EXPECT_EQ(FormOfName("my file.zip", kFm), NameForm::kQuoted);
  EXPECT_EQ(FormOfName("tab\tname", kFm), NameForm::kQuoted);
  EXPECT_EQ(FormOfName("my file.zip", kBbs), NameForm::kPlain);
  EXPECT_EQ(FormOfName("say \"hi\"", kFm), NameForm::kUnsafe);
  EXPECT_EQ(FormOfName("say \"hi\"", kBbs), NameForm::kPlain);
  for (const char* bad : {"a\rb", "a\nb",
                          "a\x1A"
                          "b"}) {
    EXPECT_EQ(FormOfName(bad, kFm), NameForm::kUnsafe) << bad;
    EXPECT_EQ(FormOfName(bad, kBbs), NameForm::kUnsafe) << bad;
  }
}

// A line already at the end of the list (its run ended before it deleted the
// log) vouches for the log, which goes without a second line. Only a whole
// line, byte for byte, within the list's last 512 KiB vouches.
TEST(HarvestRun, ALineAlreadyAtTheListsEndIsNotWrittenAgain) {
  TempDir dir;
  const char* const kNames[] = {"same.zip", "longer.zip", "inside.zip", "far.zip", "torn.zip"};
  for (const char* name : kNames) WriteBytes(dir / name, "d");
  WriteBytes(dir / "same.zip.log", LogWithComment(" hello"));
  WriteBytes(dir / "longer.zip.log", LogWithComment(" hello"));
  WriteBytes(dir / "inside.zip.log", LogWithComment(" hi"));
  WriteBytes(dir / "far.zip.log", LogWithComment(" old"));
  WriteBytes(dir / "torn.zip.log", LogWithComment(" whole"));
  Bytes filler;
  for (int i = 0; i < 9000; ++i) filler += "filler.bin  " + Bytes(50, 'f') + "\r\n";
  const Bytes before = "far.zip  old\r\n" + filler + "same.zip  hello\r\nlonger.zip  hello world\r\n" +
                       "x inside.zip  hi\r\nlonger.zip  hell\r\ntorn.zip  who";
  WriteBytes(dir / "Descript.ion", before);
  FaultPlatform platform(NativePlatform());
  EXPECT_EQ(HarvestUnder(platform, dir.Path()), 0);
  for (const char* name : kNames) EXPECT_FALSE(Exists(dir / (Bytes(name) + ".log"))) << name;
  const Bytes list = ReadBytes(dir / "Descript.ion");
  ASSERT_EQ(list.compare(0, before.size(), before), 0);
  const Bytes added = list.substr(before.size());
  EXPECT_EQ(added.find("same.zip"), Bytes::npos);
  for (const char* line :
       {"\r\nlonger.zip  hello\r\n", "\r\ninside.zip  hi\r\n", "\r\nfar.zip  old\r\n", "\r\ntorn.zip  whole\r\n"}) {
    EXPECT_NE(("\r\n" + added).find(line), Bytes::npos) << line;
  }
}

// A crash can keep a line's CR LF, or its LF, from the list: the line is
// recognised still, and only its line end is written.
TEST(HarvestRun, ALineWhoseLineEndIsMissingIsEndedNotWrittenAgain) {
  for (const Bytes end : {"", "\r"}) {
    TempDir dir;
    WriteBytes(dir / "a.zip", "d");
    WriteBytes(dir / "a.zip.log", LogWithComment(" last"));
    WriteBytes(dir / "Descript.ion", "b.zip  first\r\na.zip  last" + end);
    FaultPlatform platform(NativePlatform());
    EXPECT_EQ(HarvestUnder(platform, dir.Path()), 0);
    EXPECT_FALSE(Exists(dir / "a.zip.log"));
    EXPECT_EQ(ReadBytes(dir / "Descript.ion"), "b.zip  first\r\na.zip  last\r\n");
  }
}

// Counts the walks, writes and syncs of a run.
struct CallCounter : FaultPlatform {
  using FaultPlatform::FaultPlatform;
  int walks = 0;
  int writes = 0;
  int syncs = 0;
  int FindFirst(const Bytes& pattern, FindHandle* find, FoundEntry* entry) override {
    ++walks;
    return FaultPlatform::FindFirst(pattern, find, entry);
  }
  int Write(FileHandle file, const char* data, std::size_t size, std::size_t* done) override {
    ++writes;
    return FaultPlatform::Write(file, data, size, done);
  }
  int Sync(FileHandle file) override {
    ++syncs;
    return FaultPlatform::Sync(file);
  }
  int SyncDirectory(const Bytes& path) override {
    ++syncs;
    return FaultPlatform::SyncDirectory(path);
  }
};

// One walk of the directory, whether the list exists, exists in another
// spelling or not at all; a run with nothing to harvest writes nothing and
// syncs nothing.
TEST(HarvestRun, OneWalkAndNoWriteOrSyncWithoutWork) {
  for (const char* list : {"", "Descript.ion", "DESCRIPT.ION"}) {
    TempDir dir;
    if (*list != 0) WriteBytes(dir / list, "old.zip  kept\r\n");
    for (int i = 0; i < 3; ++i) {
      WriteBytes(dir / ("f" + std::to_string(i) + ".zip"), "d");
      WriteBytes(dir / ("f" + std::to_string(i) + ".zip.log"), LogWithComment(" c"));
    }
    CallCounter harvest(NativePlatform());
    EXPECT_EQ(HarvestUnder(harvest, dir.Path()), 0);
    EXPECT_EQ(harvest.walks, 1) << list;
    EXPECT_EQ(harvest.syncs, *list != 0 ? 1 : 2) << list;  // a new list's directory too
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(Exists(dir / ("f" + std::to_string(i) + ".zip.log"))) << list;

    CallCounter idle(NativePlatform());
    EXPECT_EQ(HarvestUnder(idle, dir.Path()), 0);
    EXPECT_EQ(idle.walks, 1) << list;
    EXPECT_EQ(idle.writes, 0) << list;
    EXPECT_EQ(idle.syncs, 0) << list;
  }
}

}  // namespace
