#include "app/harvest.h"

#include <gtest/gtest.h>

#include "common/exception.h"
#include "fault_platform.h"
#include "test_support.h"

namespace {

TEST(FormOfName, UnsafeQuotedAndPlainNames) {
  EXPECT_EQ(FormOfName("pic.zip", true), NameForm::kPlain);
  EXPECT_EQ(FormOfName("my file.zip", true), NameForm::kQuoted);
  EXPECT_EQ(FormOfName("tab\tname", true), NameForm::kQuoted);
  EXPECT_EQ(FormOfName("my file.zip", false), NameForm::kPlain);
  EXPECT_EQ(FormOfName("say \"hi\"", true), NameForm::kUnsafe);
  EXPECT_EQ(FormOfName("say \"hi\"", false), NameForm::kPlain);
  for (const char* bad : {"a\rb", "a\nb",
                          "a\x1A"
                          "b"}) {
    EXPECT_EQ(FormOfName(bad, true), NameForm::kUnsafe) << bad;
    EXPECT_EQ(FormOfName(bad, false), NameForm::kUnsafe) << bad;
  }
}

// A harvest of a directory with five commented logs, run in this process.
class InProcessHarvest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 5; ++i) {
      const Bytes name = "f" + std::to_string(i) + ".zip";
      WriteBytes(dir_ / name, "data");
      WriteBytes(dir_ / (name + ".log"), LogWithComment(" comment " + std::to_string(i)));
    }
  }

  int LogsLeft() const {
    int left = 0;
    for (int i = 0; i < 5; ++i) left += Exists(dir_ / ("f" + std::to_string(i) + ".zip.log")) ? 1 : 0;
    return left;
  }

  // Runs the harvest under the wrapper; the code it ended with, 0 for none.
  int RunFailing(int code) {
    platform_.fail_code = code;
    return HarvestUnder(platform_, dir_.Path());
  }

  TempDir dir_;
  FaultPlatform platform_{NativePlatform()};
};

TEST_F(InProcessHarvest, UndisturbedRunHarvestsEveryLog) {
  EXPECT_EQ(RunFailing(0), 0);
  EXPECT_EQ(LogsLeft(), 0);
  const Bytes list = ReadBytes(dir_ / kNewListName);
  for (int i = 0; i < 5; ++i) {
    EXPECT_NE(list.find("f" + std::to_string(i) + ".zip  comment " + std::to_string(i) + "\r\n"), Bytes::npos);
  }
  EXPECT_EQ(platform_.open_files, 0);
  EXPECT_EQ(platform_.open_walks, 0);
}

// Counts the platform's calls of an undisturbed run on a copy of the scene,
// then fails each write and each sync in turn.
TEST_F(InProcessHarvest, LogsSurviveAFailedWriteOrSyncOfTheirLines) {
  struct Counting : FaultPlatform {
    using FaultPlatform::FaultPlatform;
    std::vector<long> writes_and_syncs;
    int Write(FileHandle f, const char* d, std::size_t s, std::size_t* n) override {
      const int r = FaultPlatform::Write(f, d, s, n);
      writes_and_syncs.push_back(calls);
      return r;
    }
    int Sync(FileHandle f) override {
      const int r = FaultPlatform::Sync(f);
      writes_and_syncs.push_back(calls);
      return r;
    }
  };
  std::vector<long> targets;
  {
    TempDir probe;
    for (int i = 0; i < 5; ++i) {
      WriteBytes(probe / ("f" + std::to_string(i) + ".zip"), "data");
      WriteBytes(probe / ("f" + std::to_string(i) + ".zip.log"), LogWithComment(" c"));
    }
    Counting counting(NativePlatform());
    EXPECT_EQ(HarvestUnder(counting, probe.Path()), 0);
    targets = counting.writes_and_syncs;
  }
  ASSERT_FALSE(targets.empty());
  platform_.fail_at = targets.front();
  EXPECT_EQ(RunFailing(112), 112);
  EXPECT_TRUE(platform_.failed);
  EXPECT_EQ(LogsLeft(), 5);
  EXPECT_EQ(platform_.open_files, 0);
  EXPECT_EQ(platform_.open_walks, 0);
}

TEST_F(InProcessHarvest, ListThatCannotBeOpenedLeavesEveryLog) {
  platform_.fail_at = 0;
  WriteBytes(dir_ / kNewListName, "");
  // The first Open of the run is the list's.
  struct FailFirstOpen : FaultPlatform {
    using FaultPlatform::FaultPlatform;
    bool done = false;
    int Open(const Bytes& p, OpenMode m, FileHandle* f) override {
      if (!done) {
        done = true;
        return 32;
      }
      return FaultPlatform::Open(p, m, f);
    }
  } platform(NativePlatform());
  platform.arguments = {dir_.Path()};
  platform.program_path = dir_ / "logharvest";
  ScopedPlatform use(platform);
  try {
    HarvestRun();
    FAIL() << "no failure raised";
  } catch (const EInOutError& failure) {
    EXPECT_EQ(failure.Code(), 32);
    EXPECT_EQ(failure.Message(), "I/O error 32");
  }
  EXPECT_EQ(LogsLeft(), 5);
  EXPECT_EQ(platform.open_walks, 0);
}

// A platform whose pattern also matches names that merely start like a log,
// as matching through alternate short names does.
class LooseMatchPlatform : public FaultPlatform {
 public:
  using FaultPlatform::FaultPlatform;
  int FindFirst(const Bytes& pattern, FindHandle* find, FoundEntry* entry) override {
    return FaultPlatform::FindFirst(pattern + "*", find, entry);
  }
};

TEST(HarvestRun, OnlyEntriesNamedLikeLogsAreReadOrDeleted) {
  TempDir dir;
  // Windows resolves the companion "data." to "data"; here it is a file.
  WriteBytes(dir / "data.", "d");
  WriteBytes(dir / "data.logx", LogWithComment(" not a log"));
  WriteBytes(dir / "a", "a");
  WriteBytes(dir / "a.LOG", LogWithComment(" log"));
  LooseMatchPlatform platform(NativePlatform());
  EXPECT_EQ(HarvestUnder(platform, dir.Path()), 0);
  EXPECT_EQ(ReadBytes(dir / kNewListName), "a  log\r\n");
  EXPECT_TRUE(Exists(dir / "data.logx"));
  EXPECT_FALSE(Exists(dir / "a.LOG"));
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

// Another run may harvest a log between this run's walk and its taking the
// list: the log is gone, and gets no line.
TEST(HarvestRun, ALogGoneSinceTheWalkGetsNoLine) {
  struct TakesOneFirst : FaultPlatform {
    using FaultPlatform::FaultPlatform;
    Bytes taken;
    int Open(const Bytes& path, OpenMode mode, FileHandle* file) override {
      if (mode != OpenMode::kRead && !taken.empty()) {
        Remove(taken);
        taken.clear();
      }
      return FaultPlatform::Open(path, mode, file);
    }
  };
  TempDir dir;
  for (const char* name : {"a.zip", "b.zip"}) {
    WriteBytes(dir / name, "d");
    WriteBytes(dir / (Bytes(name) + ".log"), LogWithComment(" c"));
  }
  TakesOneFirst platform(NativePlatform());
  platform.taken = dir / "a.zip.log";
  EXPECT_EQ(HarvestUnder(platform, dir.Path()), 0);
  EXPECT_TRUE(platform.taken.empty());
  EXPECT_FALSE(Exists(dir / "b.zip.log"));
  const Bytes list = ReadBytes(dir / (Os().NamesAreCaseSensitive() ? "descript.ion" : "Descript.ion"));
  EXPECT_EQ(list, "b.zip  c\r\n");
}

}  // namespace
