// A log is deleted only once its line is on stable storage.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "fault_platform.h"
#include "memory_world.h"
#include "test_support.h"

namespace {

// Watches the list: what was written to it, how much of that a sync has
// covered, and every deletion of a log against that.
class Watcher : public FaultPlatform {
 public:
  using FaultPlatform::FaultPlatform;

  int fail_sync = 0;  // 1-based number of the sync that fails with 112; 0: none

  Bytes written;
  std::size_t synced = 0;
  int syncs = 0;
  int removes_since_sync = 0;
  int most_removes_after_one_sync = 0;
  std::vector<std::string> early;  // logs deleted before their line was synced

  int Open(const Bytes& path, OpenMode mode, FileHandle* file) override {
    const int result = FaultPlatform::Open(path, mode, file);
    if (result == 0 && mode != OpenMode::kRead) list_ = *file;
    return result;
  }
  int Write(FileHandle file, const char* data, std::size_t size, std::size_t* done) override {
    const int result = FaultPlatform::Write(file, data, size, done);
    if (file == list_) written.append(data, *done);
    return result;
  }
  int Sync(FileHandle file) override {
    if (++syncs == fail_sync) return kErrorDiskFull;
    const int result = FaultPlatform::Sync(file);
    if (result == 0) {
      synced = written.size();
      removes_since_sync = 0;
    }
    return result;
  }
  int Remove(const Bytes& path) override {
    const Bytes name = path.substr(path.find_last_of("/\\") + 1);
    const Bytes companion = name.substr(0, name.size() - 4);
    const std::size_t at = written.find(companion + "  c" + companion + "\r\n");
    if (at == Bytes::npos || at + companion.size() * 2 + 5 > synced) early.push_back(name);
    ++removes_since_sync;
    if (removes_since_sync > most_removes_after_one_sync) most_removes_after_one_sync = removes_since_sync;
    return FaultPlatform::Remove(path);
  }

 private:
  FileHandle list_ = kNoFile;
};

class Durability : public ::testing::Test {
 protected:
  static Bytes Name(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%04d", i);
    return name;
  }

  void LayOut(int logs) {
    for (int i = 0; i < logs; ++i) {
      world_.Write(world_ / Name(i), "d");
      world_.Write(world_ / (Name(i) + ".log"), LogWithComment(" c" + Name(i)));
    }
  }

  int LogsLeft(int logs) const {
    int left = 0;
    for (int i = 0; i < logs; ++i) left += world_.Exists(world_ / (Name(i) + ".log")) ? 1 : 0;
    return left;
  }

  // Runs a harvest under watcher; the code it ended with, 0 for none.
  int Run(Watcher& watcher) { return HarvestUnder(watcher, world_.Root()); }

  MemoryWorld world_;
};

TEST_F(Durability, OneSyncCoversAFewLogsAndNoneIsDeletedBeforeIt) {
  LayOut(5);
  Watcher watcher(world_);
  EXPECT_EQ(Run(watcher), 0);
  EXPECT_EQ(watcher.syncs, 1);
  EXPECT_TRUE(watcher.early.empty()) << watcher.early.front();
  EXPECT_EQ(LogsLeft(5), 0);
}

// A batch ends at 8192 logs; the sync before the list is closed covers the rest.
TEST_F(Durability, ManyLogsWaitAtMost8192PerSync) {
  LayOut(9000);
  Watcher watcher(world_);
  EXPECT_EQ(Run(watcher), 0);
  EXPECT_EQ(watcher.syncs, 2);
  EXPECT_EQ(watcher.most_removes_after_one_sync, 8192);
  EXPECT_TRUE(watcher.early.empty()) << watcher.early.front();
  EXPECT_EQ(LogsLeft(9000), 0);
  EXPECT_EQ(world_.Read(world_ / "descript.ion").size(), 9000u * Bytes("f0000  cf0000\r\n").size());
}

// Long lines end a batch sooner: the lines that wait for one sync never span
// more of the list than the next run looks at after a crash.
TEST_F(Durability, WaitingLinesSpanAtMostTheWindow) {
  const Bytes padding(20000, 'p');
  for (int i = 0; i < 60; ++i) {
    world_.Write(world_ / Name(i), "d");
    world_.Write(world_ / (Name(i) + ".log"), LogWithComment(" c" + Name(i) + padding));
  }
  Watcher watcher(world_);
  EXPECT_EQ(Run(watcher), 0);
  // 60 lines of 20015 bytes; 26 of them fit 512 KiB.
  EXPECT_EQ(watcher.syncs, 3);
  EXPECT_EQ(watcher.most_removes_after_one_sync, 26);
  EXPECT_EQ(LogsLeft(60), 0);
}

// The first sync fails: its logs stay, and the next run recognises their
// lines at the end of the list and deletes them without a second line.
TEST_F(Durability, AFailedSyncKeepsEveryLogItWasToCover) {
  LayOut(600);
  Watcher failing(world_);
  failing.fail_sync = 1;
  EXPECT_EQ(Run(failing), kErrorDiskFull);
  EXPECT_TRUE(failing.early.empty()) << failing.early.front();
  EXPECT_EQ(LogsLeft(600), 600);
  EXPECT_EQ(failing.open_files, 0);

  Watcher again(world_);
  EXPECT_EQ(Run(again), 0);
  EXPECT_EQ(LogsLeft(600), 0);
  EXPECT_EQ(again.written, "");
  EXPECT_EQ(again.syncs, 1);
  const Bytes list = world_.Read(world_ / "descript.ion");
  EXPECT_EQ(list.size(), 600u * Bytes("f0000  cf0000\r\n").size());
  for (int i = 0; i < 600; ++i) {
    const Bytes line = Name(i) + "  c" + Name(i) + "\r\n";
    EXPECT_NE(list.find(line), Bytes::npos) << Name(i);
    EXPECT_EQ(list.find(line), list.rfind(line)) << Name(i);
  }
}

// Logs deleted at a run's end are not durable until the directory is synced
// again: a power loss may bring them back, and they then must find their
// lines in the next run's tail. A later run that writes only error lines,
// more than a batch's span of them, syncs the directory before its lines
// reach that far past theirs: it takes the last batch's span of the list as
// it found it for lines whose logs' deletion may not be durable yet.
TEST_F(Durability, ErrorLinesAloneSyncTheDirectoryBeforeTheyPushTheLastRunsLinesFar) {
  RunBounds windows;
  windows.tail_bytes = 4096;
  windows.batch_span_bytes = 2048;
  LayOut(1);
  FaultPlatform first(world_);
  EXPECT_EQ(HarvestUnder(first, world_.Root(), windows), 0);
  EXPECT_EQ(LogsLeft(1), 0);
  for (int i = 1; i < 150; ++i) {
    world_.Write(world_ / Name(i), "d");
    world_.Write(world_ / (Name(i) + ".log"), "unreadable");
    world_.MakeUnopenable(world_ / (Name(i) + ".log"), kErrorAccessDenied);
  }
  FaultPlatform second(world_);
  EXPECT_EQ(HarvestUnder(second, world_.Root(), windows), 0);
  // The power fails: what was written of the list stays, the names go back
  // to the directory's last sync.
  world_.LosePower(PowerLoss::kNothingDurableUntilSynced, [](std::size_t unsynced) { return unsynced; });
  EXPECT_GT(world_.Read(world_ / "descript.ion").size(), static_cast<std::size_t>(windows.tail_bytes));
  EXPECT_EQ(LogsLeft(1), 0);
}

// Another program writes the list during a run, as programs that do not
// lock it may: it appends a line, an editor writes it back shorter, or saves
// by renaming a new file over it. No line is written over, no comment is
// lost, and after one more run every comment is in the list once. Only
// POSIX lets other programs write a list the run holds.
class SharedList : public ::testing::Test {
 protected:
  enum class When { kAfterTheListIsOpened, kBeforeTheListIsSynced };

  // Runs a harvest in which edit is made to the list at the given moment.
  void RunWith(When when, const std::function<void(const Bytes& list)>& edit) {
    struct Editor : FaultPlatform {
      using FaultPlatform::FaultPlatform;
      When when = When::kAfterTheListIsOpened;
      std::function<void()> edit;
      int Open(const Bytes& path, OpenMode mode, FileHandle* file) override {
        if (mode == OpenMode::kRead && when == When::kAfterTheListIsOpened) Edit();
        return FaultPlatform::Open(path, mode, file);
      }
      int Sync(FileHandle file) override {
        if (when == When::kBeforeTheListIsSynced) Edit();
        return FaultPlatform::Sync(file);
      }
      void Edit() {
        if (edit) edit();
        edit = nullptr;
      }
    } editor(world_);
    editor.when = when;
    editor.edit = [this, edit] { edit(List()); };
    EXPECT_EQ(HarvestUnder(editor, world_.Root()), 0);
  }

  void SetUp() override {
    world_.Write(List(), "old.arj  old\r\nold2.arj  dropped by the editor\r\n");
    for (const char* name : {"a.zip", "c.zip"}) {
      world_.Write(world_ / name, "d");
      world_.Write(world_ / (Bytes(name) + ".log"), LogWithComment(" from the log of " + Bytes(name)));
    }
  }

  Bytes List() const { return world_ / "descript.ion"; }
  bool LogsLeft() const { return world_.Exists(world_ / "a.zip.log") || world_.Exists(world_ / "c.zip.log"); }

  // One more run, then: the list is what the other program left, plus each
  // comment once, whatever their order.
  void ExpectEveryCommentOnceAfter(const Bytes& kept) {
    FaultPlatform again(world_);
    EXPECT_EQ(HarvestUnder(again, world_.Root()), 0);
    EXPECT_FALSE(LogsLeft());
    const Bytes list = world_.Read(List());
    ASSERT_EQ(list.compare(0, kept.size(), kept), 0) << list;
    const Bytes added = list.substr(kept.size());
    EXPECT_TRUE(added == kA + kC || added == kC + kA) << added;
  }

  const Bytes kA = "a.zip  from the log of a.zip\r\n";
  const Bytes kC = "c.zip  from the log of c.zip\r\n";
  MemoryWorld world_{PathStyle::kPosix};
};

TEST_F(SharedList, ALineAppendedMeanwhileIsNeverWrittenOver) {
  const Bytes before = world_.Read(List());
  RunWith(When::kAfterTheListIsOpened,
          [this](const Bytes& list) { world_.Append(list, "b.zip  typed meanwhile\r\n"); });
  // The run's lines follow it, and are found there: the logs are gone.
  EXPECT_FALSE(LogsLeft());
  ExpectEveryCommentOnceAfter(before + "b.zip  typed meanwhile\r\n");

  // Appended without a line end: the run's first line starts a line of its own.
  SetUp();
  RunWith(When::kAfterTheListIsOpened, [this](const Bytes& list) { world_.Append(list, "b.zip  typed"); });
  EXPECT_FALSE(LogsLeft());
  ExpectEveryCommentOnceAfter(before + "b.zip  typed\r\n");
}

TEST_F(SharedList, AListWrittenBackShorterGetsTheLinesAtItsNewEnd) {
  RunWith(When::kAfterTheListIsOpened, [this](const Bytes& list) { world_.Write(list, "old.arj  old\r\n"); });
  EXPECT_FALSE(LogsLeft());
  EXPECT_EQ(world_.Read(List()).find('\0'), Bytes::npos);
  ExpectEveryCommentOnceAfter("old.arj  old\r\n");
}

TEST_F(SharedList, LinesAnEditorDroppedBeforeTheSyncKeepTheirLogs) {
  RunWith(When::kBeforeTheListIsSynced, [this](const Bytes& list) {
    world_.Write(list, "old.arj  old\r\nold2.arj  edited, and longer than before\r\n");
  });
  EXPECT_TRUE(world_.Exists(world_ / "a.zip.log"));
  EXPECT_TRUE(world_.Exists(world_ / "c.zip.log"));
  ExpectEveryCommentOnceAfter("old.arj  old\r\nold2.arj  edited, and longer than before\r\n");
}

TEST_F(SharedList, AListReplacedByRenameKeepsTheLogsForTheNextRun) {
  RunWith(When::kBeforeTheListIsSynced, [this](const Bytes& list) {
    world_.Write(world_ / "descript.new", "old.arj  saved by the editor\r\n");
    world_.RenameOver(world_ / "descript.new", list);
  });
  EXPECT_TRUE(world_.Exists(world_ / "a.zip.log"));
  EXPECT_TRUE(world_.Exists(world_ / "c.zip.log"));
  EXPECT_EQ(world_.Read(List()), "old.arj  saved by the editor\r\n");
  ExpectEveryCommentOnceAfter("old.arj  saved by the editor\r\n");
}

// Found by the simulated world: an end-of-file mark lay more than 128 bytes
// from the list's end when the run opened it, so the list was not cut; an
// editor then wrote the list back shorter, and the mark came within the
// final 128 bytes before the run's lines. The next run cuts the list there,
// so the logs stay for it.
TEST_F(SharedList, ACutThatBringsAnEndOfFileMarkWithinReachKeepsTheLogs) {
  const Bytes kept = "old.arj  old\r\n";
  world_.Write(List(), kept + "\x1A" + Bytes(200, 'j'));
  RunWith(When::kAfterTheListIsOpened, [&](const Bytes& list) { world_.Write(list, kept + "\x1A" + Bytes(20, 'j')); });
  EXPECT_TRUE(world_.Exists(world_ / "a.zip.log"));
  EXPECT_TRUE(world_.Exists(world_ / "c.zip.log"));
  ExpectEveryCommentOnceAfter(kept);
}

// Found by the simulated world: another program ended the torn line a
// killed run left, after the run had read the list, and once the run had
// taken the list's end as that program left it, cut its line end and lines
// away again, back to the size and last byte the run had read first. The
// run's next line must still start a line of its own.
TEST_F(SharedList, AnEndedTornLineCutBackAgainGetsNoLineJoinedOn) {
  const Bytes kept = "old.arj  old\r\n";
  const Bytes torn = kA.substr(0, kA.size() - 2);  // a killed run's line of a.zip, its CR LF lost
  world_.Write(List(), kept + torn);
  struct Editor : FaultPlatform {
    using FaultPlatform::FaultPlatform;
    std::function<void()> end_it, cut_back;
    int sizes_after = -1;  // the list's sizes asked for since the line was ended
    int Open(const Bytes& path, OpenMode mode, FileHandle* file) override {
      if (mode == OpenMode::kRead && end_it) {
        end_it();
        end_it = nullptr;
        sizes_after = 0;
      }
      return FaultPlatform::Open(path, mode, file);
    }
    int Size(FileHandle file, std::int64_t* size) override {
      // The first is the run taking the end as it is; before the next,
      // the write-out's, the line end goes again.
      if (sizes_after >= 0 && ++sizes_after == 2 && cut_back) cut_back();
      return FaultPlatform::Size(file, size);
    }
  } editor(world_);
  editor.end_it = [&] { world_.Append(List(), "\r\nb.zip  typed\r\n"); };
  editor.cut_back = [&] { world_.Write(List(), kept + torn); };
  EXPECT_EQ(HarvestUnder(editor, world_.Root()), 0);
  const Bytes list = world_.Read(List());
  EXPECT_EQ(list.find(torn + "c.zip"), Bytes::npos) << list;
  ExpectEveryCommentOnceAfter(kept);
}

}  // namespace
