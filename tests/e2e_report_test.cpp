// How failed runs end: the fatal report on standard output and exit code 1.

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "e2e_scenes.h"
#include "e2e_support.h"

namespace {

constexpr int kNobody = 65534;

TEST_F(EndToEnd, ReadOnlyListIsReportedAsAccessDenied) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  chmod(Root().c_str(), 0755);
  const Bytes program = CopyProgram(Program(), Root());
  MakeDirectory(At("area"));
  chmod(At("area").c_str(), 0777);
  AddLog(At("area/"), "a", " x");
  WriteBytes(At("area/" + kNewListName), "old\r\n");
  chmod(At("area/" + kNewListName).c_str(), 0444);
  RunOptions options;
  options.user = kNobody;
  const RunResult result = RunProgram(program, {At("area")}, options);
  ExpectReport(result, "logharvest", "File access denied\\.");
  EXPECT_TRUE(Exists(At("area/a.log")));
  EXPECT_EQ(ReadBytes(At("area/" + kNewListName)), "old\r\n");
}

TEST_F(EndToEnd, FullDeviceAsListIsReportedAndTheLogKept) {
  // A device node named like the list, standing for /dev/full.
  if (mknod(At(kNewListName).c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  AddLog(Root(), "a", " x");
  ExpectReport(Run({Root()}), "logharvest", "I/O error 112\\.");
  EXPECT_TRUE(Exists(At("a.log")));
}

}  // namespace
