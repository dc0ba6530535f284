// A whole harvest, run in this process, with each of its platform calls made
// to fail in turn.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <set>
#include <string>

#include "app/harvest.h"
#include "common/exception.h"
#include "common/io_result.h"
#include "fault_platform.h"
#include "harvest_scene.h"
#include "textfile/line_file.h"

namespace {

struct Outcome {
  int code = 0;  // the code of the EInOutError the run ended with; 0 for none
  bool failed = false;
  std::string operation;
  int open_files = 0;
  int open_walks = 0;
};

// The calls whose failure the run takes in its stride: a failed deletion
// leaves the log, the end of an enumeration ends the walk, a log that cannot
// be opened gets its error line, and a query that fails answers "no" (an
// identity that cannot be taken before a deletion keeps the log, or, for the
// list, the batch's logs and the rest of the harvest for the next run; the
// data of a log with a hole that cannot be told is read as it stands).
bool EndsQuietly(const std::string& operation) {
  static const std::set<std::string> quiet = {"Remove",         "FindFirst",           "FindNext",   "Open for reading",
                                              "IsExistingFile", "IsExistingDirectory", "IdentityAt", "DataRange"};
  return quiet.count(operation) != 0;
}

// Runs a harvest of scene under a wrapper that fails call fail_at.
Outcome Harvest(HarvestScene& scene, long fail_at, int code, bool short_write, long* calls = nullptr,
                long* last_remove = nullptr) {
  FaultPlatform platform(scene.World());
  platform.arguments = {scene.Directory()};
  platform.fail_at = fail_at;
  platform.fail_code = code;
  platform.short_write = short_write;
  Outcome outcome;
  TakeIoResult();
  {
    ScopedPlatform use(platform);
    try {
      HarvestRun();
    } catch (const EInOutError& failure) {
      outcome.code = failure.Code();
    }
    // The missing-directory message may have opened standard output.
    CloseLineFile(StandardOutputFile());
    TakeIoResult();
  }
  outcome.failed = platform.failed;
  outcome.operation = platform.failed_operation;
  outcome.open_files = platform.open_files;
  outcome.open_walks = platform.open_walks;
  if (calls != nullptr) *calls = platform.calls;
  if (last_remove != nullptr) *last_remove = platform.last_remove;
  return outcome;
}

// Each call of a run fails in turn, in a scene with a list to append to and
// in one where the run creates the list.
TEST(FaultSweep, EveryFailingCallEndsAsItMustAndLosesNoComment) {
  // 5, 32 and 112 are Windows codes; the last one is outside every table.
  const int kCodes[] = {kErrorAccessDenied, kErrorSharingViolation, kErrorDiskFull, kErrorNativeBase + EIO};
  std::set<std::string> operations;
  for (const bool with_list : {true, false}) {
    const std::string scene_name = with_list ? "an existing list" : "no list yet";
    long k_calls = 0;
    // The calls after the last deletion, but the list's close, tidy the
    // list: every log is settled by then, and a failure there only keeps
    // the list as it is.
    long settled_at = 0;
    {
      HarvestScene scene(with_list);
      const Outcome outcome = Harvest(scene, 0, 0, false, &k_calls, &settled_at);
      ASSERT_EQ(outcome.code, 0);
      const auto incomplete = scene.Incomplete();
      ASSERT_TRUE(incomplete.empty()) << incomplete.front();
      EXPECT_EQ(scene.TornLines(), 0);
    }
    ASSERT_GT(k_calls, 30);

    long runs = 0;
    long ended_by_failure = 0;
    int lost = 0;
    int duplicated = 0;
    for (long k = 1; k <= k_calls; ++k) {
      for (int variant = 0; variant <= 4; ++variant) {
        const bool short_write = variant == 4;
        HarvestScene scene(with_list);
        const Outcome outcome = Harvest(scene, k, short_write ? kErrorDiskFull : kCodes[variant], short_write);
        if (short_write && outcome.operation != "Write") continue;  // the same as failing with 112
        ++runs;
        const std::string where = scene_name + ", call " + std::to_string(k) + " (" + outcome.operation +
                                  ") failing with " +
                                  (short_write ? std::string("a short write") : std::to_string(kCodes[variant]));
        ASSERT_TRUE(outcome.failed) << where;
        operations.insert(outcome.operation);
        const bool tidying = k > settled_at && k < k_calls;
        const int expected = EndsQuietly(outcome.operation) || tidying ? 0
                             : short_write                             ? kErrorDiskFull
                                                                       : kCodes[variant];
        if (tidying) {
          for (const std::string& problem : scene.Incomplete()) ADD_FAILURE() << where << ": " << problem;
        }
        // A failed size query while a long line is read only forgoes the
        // reservation for it: the run goes on and completes.
        if (outcome.operation == "Size" && outcome.code == 0) {
          for (const std::string& problem : scene.Incomplete()) ADD_FAILURE() << where << ": " << problem;
        } else {
          EXPECT_EQ(outcome.code, expected) << where;
        }
        if (outcome.code != 0) ++ended_by_failure;
        const auto losses = scene.Losses();
        lost += static_cast<int>(losses.size());
        for (const std::string& loss : losses) ADD_FAILURE() << where << ": " << loss;
        EXPECT_EQ(outcome.open_files, 0) << where;
        EXPECT_EQ(outcome.open_walks, 0) << where;
        // Whatever the failure left undone, a following undisturbed run
        // finishes, and writes no line a second time.
        if (losses.empty()) {
          EXPECT_EQ(Harvest(scene, 0, 0, false).code, 0) << where << ", then a run";
          for (const std::string& problem : scene.Incomplete()) ADD_FAILURE() << where << ", then a run: " << problem;
          EXPECT_EQ(scene.DuplicateLines(), 0) << where << ", then a run";
          duplicated += scene.DuplicateLines();
        }
      }
    }
    std::cout << "fault sweep, " << scene_name << ": K=" << k_calls << " calls, " << runs
              << " runs with an injected failure, " << ended_by_failure << " ended by the injected code, " << lost
              << " comments lost, " << duplicated << " lines written twice\n";
  }
  // Every kind of call the run makes was made to fail at least once.
  for (const char* operation :
       {"IsExistingFile", "IsExistingDirectory", "FindFirst", "FindNext", "Remove", "IdentityAt", "Open for reading",
        "Open for writing", "Read", "Write", "Seek", "DataRange", "Truncate", "Size", "Kind", "Identify", "Sync",
        "SyncDirectory", "Close"}) {
    EXPECT_EQ(operations.count(operation), 1u) << operation;
  }
}

}  // namespace
