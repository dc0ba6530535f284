// A harvest stopped right after each of its platform calls in turn, by a
// kill or by a power loss under each of its two models, then a normal run
// over what it left; and two such crashes in a row, with new logs arriving
// between them.

#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "fault_platform.h"
#include "harvest_scene.h"

namespace {

// Thrown right after the call a crash follows, past every handler of the run.
struct Crash {};

const char* NameOf(PowerLoss model) {
  switch (model) {
    case PowerLoss::kNone:
      return "a kill";
    case PowerLoss::kNothingDurableUntilSynced:
      return "a power loss (nothing durable until synced)";
    case PowerLoss::kRemovalsDurableAtOnce:
      return "a power loss (removals durable at once)";
  }
  return "";
}

// Runs a harvest of scene that stops right after call crash_at (0: never)
// as model says; the next run is a new process. Returns the number of calls
// the run made, crash_at when it was stopped, or -1 when it failed.
long HarvestCrashingAt(HarvestScene& scene, long crash_at, PowerLoss model) {
  MemoryWorld& world = scene.World();
  FaultPlatform platform(world);
  platform.after_call = [&world, crash_at, model](long call) {
    if (call != crash_at) return;
    world.LosePower(model);
    world.Kill();
    throw Crash();
  };
  try {
    return HarvestUnder(platform, scene.Directory(), HarvestScene::Windows()) == 0 ? platform.calls : -1;
  } catch (const Crash&) {
    world.Restart();
    return crash_at;
  }
}

struct Tally {
  long runs = 0;
  int lost = 0;
  int duplicated = 0;
  int torn = 0;
};

// After the crashes and one undisturbed run: every comment is in the list
// exactly once, no torn piece is left, and every log that had to go is gone.
void CheckAfterOneMoreRun(HarvestScene& scene, const std::string& where, Tally& tally) {
  ++tally.runs;
  const auto losses = scene.Losses();
  tally.lost += static_cast<int>(losses.size());
  for (const std::string& loss : losses) ADD_FAILURE() << where << ": " << loss;
  EXPECT_GE(HarvestCrashingAt(scene, 0, PowerLoss::kNone), 0) << where << ", then a run";
  for (const std::string& problem : scene.Incomplete()) ADD_FAILURE() << where << ", then a run: " << problem;
  const int duplicated = scene.DuplicateLines();
  const int torn = scene.TornLines();
  EXPECT_EQ(duplicated, 0) << where;
  EXPECT_EQ(torn, 0) << where;
  tally.duplicated += duplicated;
  tally.torn += torn;
}

void Report(const std::string& what, long points, const Tally& tally) {
  std::cout << what << ": " << points << " crash points, " << tally.runs << " recoveries, " << tally.lost
            << " comments lost, " << tally.duplicated << " lines written twice, " << tally.torn
            << " torn pieces left\n";
  EXPECT_EQ(tally.lost, 0);
  EXPECT_EQ(tally.duplicated, 0);
  EXPECT_EQ(tally.torn, 0);
}

struct SweepCase {
  bool with_list;
  bool long_comments;
  PowerLoss model;
};

std::string SceneName(const SweepCase& c) {
  return std::string(c.long_comments ? "long comments, " : "") + (c.with_list ? "an existing list" : "no list yet") +
         ", " + NameOf(c.model);
}

// The calls an undisturbed run of the scene makes.
long CallsOfAWholeRun(const SweepCase& c) {
  HarvestScene scene(c.with_list, c.long_comments);
  const long calls = HarvestCrashingAt(scene, 0, PowerLoss::kNone);
  const auto incomplete = scene.Incomplete();
  EXPECT_TRUE(incomplete.empty()) << incomplete.front();
  return calls;
}

class CrashSweep : public ::testing::TestWithParam<SweepCase> {};

// One crash after any call, then one undisturbed run.
TEST_P(CrashSweep, OneCrashAfterAnyCallLeavesEveryCommentExactlyOnce) {
  const SweepCase c = GetParam();
  const long k_calls = CallsOfAWholeRun(c);
  ASSERT_GT(k_calls, 30);
  Tally tally;
  for (long k = 1; k <= k_calls; ++k) {
    HarvestScene scene(c.with_list, c.long_comments);
    ASSERT_EQ(HarvestCrashingAt(scene, k, c.model), k);
    CheckAfterOneMoreRun(scene, SceneName(c) + " after call " + std::to_string(k), tally);
  }
  Report("crash sweep, " + SceneName(c), k_calls, tally);
}

// Two crashes in a row: after every call of a first run, and after a sample
// of the calls of a second one, with new logs arriving between them.
TEST_P(CrashSweep, TwoCrashesInARowLeaveEveryCommentExactlyOnce) {
  const SweepCase c = GetParam();
  const long k_calls = CallsOfAWholeRun(c);
  ASSERT_GT(k_calls, 30);
  // The second run's crash points: early (before its first line), among its
  // claims and first lines, and at its batches' ends.
  const long kSecond[] = {2, 10, 30, 60, 100, 150};
  Tally tally;
  for (long k = 1; k <= k_calls; ++k) {
    for (const long second : kSecond) {
      HarvestScene scene(c.with_list, c.long_comments);
      ASSERT_EQ(HarvestCrashingAt(scene, k, c.model), k);
      scene.Arrive();
      const std::string where =
          SceneName(c) + " after call " + std::to_string(k) + ", then after call " + std::to_string(second);
      const long made = HarvestCrashingAt(scene, second, c.model);
      ASSERT_GE(made, 0) << where;
      CheckAfterOneMoreRun(scene, where, tally);
      if (made < second) break;  // the second run ended before: later points are the same
    }
  }
  Report("double crash sweep, " + SceneName(c), k_calls, tally);
}

std::string CaseName(const ::testing::TestParamInfo<SweepCase>& info) {
  const SweepCase& c = info.param;
  const char* model = c.model == PowerLoss::kNone                        ? "Kill"
                      : c.model == PowerLoss::kNothingDurableUntilSynced ? "PowerLossNothingDurable"
                                                                         : "PowerLossRemovalsDurable";
  return std::string(c.long_comments ? "LongComments" : "") + (c.with_list ? "ExistingList" : "NoList") + model;
}

INSTANTIATE_TEST_SUITE_P(Scenes, CrashSweep,
                         ::testing::Values(SweepCase{true, false, PowerLoss::kNone},
                                           SweepCase{false, false, PowerLoss::kNone},
                                           SweepCase{true, true, PowerLoss::kNone},
                                           SweepCase{true, false, PowerLoss::kNothingDurableUntilSynced},
                                           SweepCase{false, false, PowerLoss::kNothingDurableUntilSynced},
                                           SweepCase{true, true, PowerLoss::kNothingDurableUntilSynced},
                                           SweepCase{true, false, PowerLoss::kRemovalsDurableAtOnce},
                                           SweepCase{false, false, PowerLoss::kRemovalsDurableAtOnce},
                                           SweepCase{true, true, PowerLoss::kRemovalsDurableAtOnce}),
                         CaseName);

}  // namespace
