#include "app/harvest.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/exception.h"
#include "fault_platform.h"
#include "memory_world.h"
#include "test_support.h"

namespace {

// A harvest of a directory with five commented logs, run in this process.
class InProcessHarvest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 5; ++i) {
      const Bytes name = "f" + std::to_string(i) + ".zip";
      world_.Write(world_ / name, "data");
      world_.Write(world_ / (name + ".log"), LogWithComment(" comment " + std::to_string(i)));
    }
  }

  int LogsLeft() const {
    int left = 0;
    for (int i = 0; i < 5; ++i) left += world_.Exists(world_ / ("f" + std::to_string(i) + ".zip.log")) ? 1 : 0;
    return left;
  }

  // Runs the harvest under the wrapper; the code it ended with, 0 for none.
  int RunFailing(int code) {
    platform_.fail_code = code;
    return HarvestUnder(platform_, world_.Root());
  }

  MemoryWorld world_;
  FaultPlatform platform_{world_};
};

TEST_F(InProcessHarvest, UndisturbedRunHarvestsEveryLog) {
  EXPECT_EQ(RunFailing(0), 0);
  EXPECT_EQ(LogsLeft(), 0);
  const Bytes list = world_.Read(world_ / kNewListName);
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
    MemoryWorld probe;
    for (int i = 0; i < 5; ++i) {
      probe.Write(probe / ("f" + std::to_string(i) + ".zip"), "data");
      probe.Write(probe / ("f" + std::to_string(i) + ".zip.log"), LogWithComment(" c"));
    }
    Counting counting(probe);
    EXPECT_EQ(HarvestUnder(counting, probe.Root()), 0);
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
  world_.Write(world_ / kNewListName, "");
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
  } platform(world_);
  platform.arguments = {world_.Root()};
  platform.program_path = world_ / "logharvest";
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
  MemoryWorld world;
  // Windows resolves the companion "data." to "data"; here it is a file.
  world.Write(world / "data.", "d");
  world.Write(world / "data.logx", LogWithComment(" not a log"));
  world.Write(world / "a", "a");
  world.Write(world / "a.LOG", LogWithComment(" log"));
  LooseMatchPlatform platform(world);
  EXPECT_EQ(HarvestUnder(platform, world.Root()), 0);
  EXPECT_EQ(world.Read(world / kNewListName), "a  log\r\n");
  EXPECT_TRUE(world.Exists(world / "data.logx"));
  EXPECT_FALSE(world.Exists(world / "a.LOG"));
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
  MemoryWorld world;
  for (const char* name : {"a.zip", "b.zip"}) {
    world.Write(world / name, "d");
    world.Write(world / (Bytes(name) + ".log"), LogWithComment(" c"));
  }
  TakesOneFirst platform(world);
  platform.taken = world / "a.zip.log";
  EXPECT_EQ(HarvestUnder(platform, world.Root()), 0);
  EXPECT_TRUE(platform.taken.empty());
  EXPECT_FALSE(world.Exists(world / "b.zip.log"));
  const Bytes list = world.Read(world / (world.NamesAreCaseSensitive() ? "descript.ion" : "Descript.ion"));
  EXPECT_EQ(list, "b.zip  c\r\n");
}

// An uploader renames a new log over one the run has read, or writes it,
// before the run deletes it: the new log stays, and the next run harvests
// its comment.
TEST(HarvestRun, ALogReplacedOrRewrittenAfterItWasReadStaysForTheNextRun) {
  struct Uploader : FaultPlatform {
    using FaultPlatform::FaultPlatform;
    std::function<void()> upload;
    int Sync(FileHandle file) override {
      if (upload) upload();
      upload = nullptr;
      return FaultPlatform::Sync(file);
    }
  };
  // Renamed over, as an upload lands; or written where it is.
  for (const bool rename : {true, false}) {
    MemoryWorld world;
    world.Write(world / "a.zip", "d");
    world.Write(world / "a.zip.log", LogWithComment(" first upload"));
    const Bytes second =
        rename ? LogWithComment(" second upload") : LogWithComment(" first upload") + kPrefix + " second upload\r\n";
    Uploader platform(world);
    platform.upload = [&] {
      world.Write(world / "upload.tmp", second);
      if (rename) {
        world.RenameOver(world / "upload.tmp", world / "a.zip.log");
      } else {
        world.Write(world / "a.zip.log", second);
      }
    };
    EXPECT_EQ(HarvestUnder(platform, world.Root()), 0);
    ASSERT_FALSE(platform.upload);
    EXPECT_EQ(world.Read(world / kNewListName), "a.zip  first upload\r\n");
    ASSERT_TRUE(world.Exists(world / "a.zip.log"));
    EXPECT_EQ(world.Read(world / "a.zip.log"), second);
    FaultPlatform again(world);
    EXPECT_EQ(HarvestUnder(again, world.Root()), 0);
    EXPECT_EQ(world.Read(world / kNewListName), "a.zip  second upload\r\n");
    EXPECT_FALSE(world.Exists(world / "a.zip.log"));
  }
}

// A log with a hole is rewritten in place, shorter and without one, just
// after the run asked where its data lies (at its start, or at the end of
// its first data): the reading ends, the log stays, and the next run
// harvests its new comment.
TEST(HarvestRun, ALogRewrittenBetweenTheQuestionOfItsDataAndTheReadStays) {
  struct Uploader : FaultPlatform {
    using FaultPlatform::FaultPlatform;
    int upload_at = 0;  // the DataRange call after which the log is rewritten
    std::function<void()> upload;
    int DataRange(FileHandle file, std::int64_t from, std::int64_t* start, std::int64_t* end) override {
      const int result = FaultPlatform::DataRange(file, from, start, end);
      if (--upload_at == 0) upload();
      return result;
    }
  };
  for (const int upload_at : {1, 2}) {
    MemoryWorld world;
    world.Write(world / "a.zip", "d");
    world.WriteWithHoles(world / "a.zip.log", {{LogWithComment(" first") + kPrefix + " into the hole", 2 << 20},
                                               {"\r\n" + kPrefix + " after it\r\n", 0}});
    Uploader platform(world);
    platform.upload_at = upload_at;
    platform.upload = [&] { world.Write(world / "a.zip.log", LogWithComment(" second upload")); };
    EXPECT_EQ(HarvestUnder(platform, world.Root()), 0) << upload_at;
    EXPECT_LE(platform.upload_at, 0) << upload_at;
    ASSERT_TRUE(world.Exists(world / "a.zip.log")) << upload_at;
    FaultPlatform again(world);
    EXPECT_EQ(HarvestUnder(again, world.Root()), 0);
    EXPECT_EQ(world.Read(world / kNewListName), "a.zip  second upload\r\n") << upload_at;
    EXPECT_FALSE(world.Exists(world / "a.zip.log"));
  }
}

// Every run that deletes a log syncs the directory before it, also with a
// list that exists: a killed run may have created it without making its name
// durable, and the deletions of the run before become durable too.
TEST(HarvestRun, EveryRunSyncsTheDirectoryBeforeItsFirstDeletion) {
  struct Order : FaultPlatform {
    using FaultPlatform::FaultPlatform;
    std::vector<Bytes> calls;
    int SyncDirectory(const Bytes& path) override {
      calls.push_back("sync directory");
      return FaultPlatform::SyncDirectory(path);
    }
    int Remove(const Bytes& path) override {
      calls.push_back("remove");
      return FaultPlatform::Remove(path);
    }
  };
  MemoryWorld world;
  world.Write(world / kNewListName, "old.zip  kept\r\n");
  for (const char* name : {"a.zip", "b.zip"}) {
    world.Write(world / name, "d");
    world.Write(world / (Bytes(name) + ".log"), LogWithComment(" c"));
  }
  Order order(world);
  EXPECT_EQ(HarvestUnder(order, world.Root()), 0);
  EXPECT_EQ(order.calls, (std::vector<Bytes>{"sync directory", "remove", "remove"}));
}

}  // namespace
