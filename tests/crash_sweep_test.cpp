// A harvest killed right after each of its platform calls in turn, then a
// normal run over what it left.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "app/harvest.h"
#include "common/exception.h"
#include "common/io_result.h"
#include "fault_platform.h"
#include "harvest_scene.h"

namespace {

constexpr int kKilled = 77;

// Runs a harvest of scene in this process; crash_after > 0 ends the process
// right after that call, as a kill would. Returns the number of calls made.
long HarvestIn(const HarvestScene& scene, long crash_after) {
  FaultPlatform platform(NativePlatform());
  platform.arguments = {scene.Directory()};
  platform.program_path = scene.Directory() + "bin/logharvest";
  if (crash_after > 0) {
    platform.after_call = [crash_after](long call) {
      if (call == crash_after) _exit(kKilled);
    };
  }
  ScopedPlatform use(platform);
  HarvestRun();
  return platform.calls;
}

// A crash after any call, then one undisturbed run: every comment is in the
// list exactly once, whether the crashed run appended to a list or created it.
TEST(CrashSweep, ACrashAfterAnyCallLeavesEveryCommentExactlyOnceAfterTheNextRun) {
  for (const bool with_list : {true, false}) {
    const std::string scene_name = with_list ? "an existing list" : "no list yet";
    long k_calls = 0;
    {
      HarvestScene scene(with_list);
      k_calls = HarvestIn(scene, 0);
      const auto incomplete = scene.Incomplete();
      ASSERT_TRUE(incomplete.empty()) << incomplete.front();
    }
    ASSERT_GT(k_calls, 30);
    int lost = 0;
    int torn = 0;
    int duplicated = 0;
    for (long k = 1; k <= k_calls; ++k) {
      HarvestScene scene(with_list);
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        try {
          HarvestIn(scene, k);
        } catch (...) {
          _exit(1);
        }
        _exit(0);
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      const std::string where = scene_name + ", crash after call " + std::to_string(k);
      ASSERT_TRUE(WIFEXITED(status)) << where;
      ASSERT_EQ(WEXITSTATUS(status), kKilled) << where;
      const auto losses = scene.Losses();
      lost += static_cast<int>(losses.size());
      for (const std::string& loss : losses) ADD_FAILURE() << where << ": " << loss;

      TakeIoResult();
      try {
        HarvestIn(scene, 0);
      } catch (const EInOutError& failure) {
        ADD_FAILURE() << where << ", then a run ended with " << failure.Code();
      }
      for (const std::string& problem : scene.Incomplete()) ADD_FAILURE() << where << ", then a run: " << problem;
      const auto after = scene.Losses();
      lost += static_cast<int>(after.size());
      EXPECT_TRUE(after.empty()) << where;
      EXPECT_EQ(scene.DuplicateLines(), 0) << where;
      torn += scene.TornLines();
      duplicated += scene.DuplicateLines();
    }
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(duplicated, 0);
    std::cout << "crash sweep, " << scene_name << ": " << k_calls << " crash points, " << lost << " comments lost, "
              << torn << " torn lines left by the crashes, " << duplicated << " lines written twice\n";
  }
}

}  // namespace
