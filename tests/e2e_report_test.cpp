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

// A shared upload directory, sticky as /tmp, where another account uploads
// and the harvest runs as its own: the run may not delete the uploader's
// logs. Each comment reaches the list once, those logs stay, and nothing
// stops: three runs in a row, with new uploads of both accounts between
// them. A log of the uploader's without a comment line, just written, is
// one whose writer the run cannot see: it stays, while the harvest's own
// such log goes as ever.
TEST_F(EndToEnd, AnotherAccountsLogsInASharedDirectoryStayAndStopNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as two accounts";
  constexpr int kUploader = 65533;
  chmod(Root().c_str(), 0755);
  const Bytes area = At("area/");
  MakeDirectory(area);
  chmod(area.c_str(), 01777);
  const auto upload = [&](const Bytes& name, const Bytes& log, int owner) {
    WriteBytes(area + name, "data");
    WriteBytes(area + name + ".log", log);
    for (const Bytes& file : {area + name, area + name + ".log"}) ASSERT_EQ(chown(file.c_str(), owner, owner), 0);
  };
  const Bytes list = area + kNewListName;
  RunOptions harvester;
  harvester.user = kNobody;
  const Bytes program = CopyProgram(Program(), Root());
  const auto lines_of = [&](const Bytes& line) {
    const Bytes now = ReadBytes(list);
    int n = 0;
    for (std::size_t at = now.find(line); at != Bytes::npos; at = now.find(line, at + 1)) ++n;
    return n;
  };

  upload("t.zip", LogWithComment(" theirs"), kUploader);
  upload("a.zip", LogWithComment(" mine"), kNobody);
  upload("w.zip", "\xC0\xE2\xF2\xEE\xF0: someone\r\n", kUploader);  // the comment is yet to come
  upload("e.zip", "\xC0\xE2\xF2\xEE\xF0: someone\r\n", kNobody);
  EXPECT_QUIET_SUCCESS(RunProgram(program, {area}, harvester));
  EXPECT_EQ(lines_of("t.zip  theirs\r\n"), 1);
  EXPECT_EQ(lines_of("a.zip  mine\r\n"), 1);
  EXPECT_TRUE(Exists(area + "t.zip.log"));
  EXPECT_FALSE(Exists(area + "a.zip.log"));
  EXPECT_TRUE(Exists(area + "w.zip.log"));
  EXPECT_FALSE(Exists(area + "e.zip.log"));

  upload("u.zip", LogWithComment(" theirs too"), kUploader);
  upload("b.zip", LogWithComment(" mine too"), kNobody);
  EXPECT_QUIET_SUCCESS(RunProgram(program, {area}, harvester));
  upload("c.zip", LogWithComment(" third"), kNobody);
  EXPECT_QUIET_SUCCESS(RunProgram(program, {area}, harvester));
  for (const char* line :
       {"t.zip  theirs\r\n", "a.zip  mine\r\n", "u.zip  theirs too\r\n", "b.zip  mine too\r\n", "c.zip  third\r\n"}) {
    EXPECT_EQ(lines_of(line), 1) << line;
  }
  EXPECT_TRUE(Exists(area + "t.zip.log"));
  EXPECT_TRUE(Exists(area + "u.zip.log"));
  EXPECT_FALSE(Exists(area + "b.zip.log"));
  EXPECT_FALSE(Exists(area + "c.zip.log"));
  EXPECT_EQ(ReadBytes(list).find("w.zip"), Bytes::npos);
}

}  // namespace
