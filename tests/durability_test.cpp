// A log is deleted only once its line is on stable storage.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/harvest.h"
#include "common/exception.h"
#include "common/io_result.h"
#include "fault_platform.h"
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
    const Bytes name = path.substr(path.rfind('/') + 1);
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
      WriteBytes(dir_ / Name(i), "d");
      WriteBytes(dir_ / (Name(i) + ".log"), LogWithComment(" c" + Name(i)));
    }
  }

  int LogsLeft(int logs) const {
    int left = 0;
    for (int i = 0; i < logs; ++i) left += Exists(dir_ / (Name(i) + ".log")) ? 1 : 0;
    return left;
  }

  // Runs a harvest under watcher; the code it ended with, 0 for none.
  int Run(Watcher& watcher) { return HarvestUnder(watcher, dir_.Path()); }

  TempDir dir_;
};

TEST_F(Durability, OneSyncCoversAFewLogsAndNoneIsDeletedBeforeIt) {
  LayOut(5);
  Watcher watcher(NativePlatform());
  EXPECT_EQ(Run(watcher), 0);
  EXPECT_EQ(watcher.syncs, 1);
  EXPECT_TRUE(watcher.early.empty()) << watcher.early.front();
  EXPECT_EQ(LogsLeft(5), 0);
}

TEST_F(Durability, ManyLogsWaitAtMost256PerSync) {
  LayOut(600);
  Watcher watcher(NativePlatform());
  EXPECT_EQ(Run(watcher), 0);
  EXPECT_EQ(watcher.syncs, 3);  // after 256, after 512, and before the list is closed
  EXPECT_EQ(watcher.most_removes_after_one_sync, 256);
  EXPECT_TRUE(watcher.early.empty()) << watcher.early.front();
  EXPECT_EQ(LogsLeft(600), 0);
  EXPECT_EQ(ReadBytes(dir_ / "descript.ion").size(), 600u * Bytes("f0000  cf0000\r\n").size());
}

TEST_F(Durability, AFailedSyncKeepsEveryLogItWasToCover) {
  LayOut(600);
  Watcher failing(NativePlatform());
  failing.fail_sync = 2;
  EXPECT_EQ(Run(failing), kErrorDiskFull);
  EXPECT_TRUE(failing.early.empty()) << failing.early.front();
  EXPECT_EQ(LogsLeft(600), 600 - 256);
  EXPECT_EQ(failing.open_files, 0);

  // The next run harvests the rest; lines written but not covered by the
  // failed sync appear twice, none is missing.
  Watcher again(NativePlatform());
  EXPECT_EQ(Run(again), 0);
  EXPECT_EQ(LogsLeft(600), 0);
  const Bytes list = ReadBytes(dir_ / "descript.ion");
  for (int i = 0; i < 600; ++i) {
    EXPECT_NE(list.find(Name(i) + "  c" + Name(i) + "\r\n"), Bytes::npos) << Name(i);
  }
}

}  // namespace
