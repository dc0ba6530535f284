// The program run as a user runs it, over scratch directories: the scenes
// every build shares, then what only POSIX has.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>

#include "e2e_scenes.h"
#include "e2e_support.h"

Build ThisBuild() { return {Program(), "", kNewListName, "files.bbs"}; }

namespace {

const Bytes kErrorLine = "        error reading file";

TEST_F(EndToEnd, LowerCaseListWinsAndCompanionsAreLookedUpExactly) {
  // With both spellings present the lower-case one, which readers open, is used.
  WriteBytes(At("DESCRIPT.ION"), "x old\r\n");
  WriteBytes(At("descript.ion"), "");
  AddLog(Root(), "q", " lower");
  // The companion is looked up with the log's own spelling.
  WriteBytes(At("Mixed.zip"), "m");
  WriteBytes(At("mixed.zip.log"), LogWithComment(" other case"));
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(At("descript.ion")), "q  lower\r\n");
  EXPECT_EQ(ReadBytes(At("DESCRIPT.ION")), "x old\r\n");
  EXPECT_TRUE(Exists(At("mixed.zip.log")));
}

TEST_F(EndToEnd, NamesThatWouldBreakTheListAreLeftAlone) {
  AddLog(Root(), "line\nfeed", " lf");
  AddLog(Root(), "carriage\rreturn", " cr");
  AddLog(Root(), "end\x1Amark", " mark");
  AddLog(Root(), "say \"hi\"", " quote");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(At(kNewListName)), "");
  EXPECT_TRUE(Exists(At("line\nfeed.log")));
  EXPECT_TRUE(Exists(At("carriage\rreturn.log")));
  EXPECT_TRUE(Exists(At("end\x1Amark.log")));
  EXPECT_TRUE(Exists(At("say \"hi\".log")));
}

TEST_F(EndToEnd, BbsListKeepsNamesUnquoted) {
  MakeDirectory(At("bin"));
  const Bytes program = CopyProgram(Program(), At("bin/"));
  WriteBytes(At("bin/to_bbs"), "");
  AddLog(Root(), "say \"hi\"", " quote");
  EXPECT_QUIET_SUCCESS(RunProgram(program, {Root()}));
  EXPECT_EQ(ReadBytes(At("files.bbs")), "say \"hi\"  quote\r\n");
}

TEST_F(EndToEnd, FailingListWritesLoseNoComment) {
  // 300 logs, each line about 1 KB; the list may grow to 100 KB only.
  const Bytes text(1000, 'w');
  for (int i = 0; i < 300; ++i) AddLog(Root(), "f" + std::to_string(i), " " + std::to_string(i) + text);
  RunOptions options;
  options.file_size_limit = 100 * 1024;
  const RunResult result = Run({Root()}, options);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "");
  const Bytes list = ReadBytes(At(kNewListName));
  int left = 0;
  for (int i = 0; i < 300; ++i) {
    const Bytes name = "f" + std::to_string(i);
    if (Exists(At(name + ".log"))) {
      ++left;
    } else {
      EXPECT_NE(list.find(name + "  " + std::to_string(i) + text + "\r\n"), Bytes::npos) << name;
    }
  }
  EXPECT_GT(left, 0);
}

// In a jail without /proc the command line still comes from the process:
// the named directory is harvested and the current one never, the marker is
// found beside argument 0 or through PATH, and a program that cannot tell
// where it lies does not guess its own directory.
TEST_F(EndToEnd, WithoutProcTheCommandLineStillNamesTheDirectory) {
  for (const char* name : {"want", "other", "bin"}) MakeDirectory(At(name));
  AddLog(At("want/"), "a", " wanted");
  AddLog(At("other/"), "b", " other");
  AddLog(At("bin/"), "c", " own");
  const Bytes program = CopyProgram(Program(), At("bin/"));
  WriteBytes(At("bin/to_bbs"), "");
  RunOptions options;
  options.without_proc = true;
  options.cwd = At("other");
  EXPECT_QUIET_SUCCESS(RunProgram(program, {At("want")}, options));
  EXPECT_EQ(ReadBytes(At("want/files.bbs")), "a  wanted\r\n");

  options.argument0 = "logharvest-nowhere";
  const RunResult unknown = RunProgram(program, {}, options);
  EXPECT_EQ(unknown.exit_code, 1);
  EXPECT_NE(unknown.out.find("\nInvalid filename.\r\n"), Bytes::npos) << unknown.out;

  const char* saved = std::getenv("PATH");
  const Bytes saved_path = saved != nullptr ? saved : "";
  setenv("PATH", (At("nowhere") + ":" + At("bin")).c_str(), 1);
  options.argument0 = "logharvest";
  const RunResult found = RunProgram(program, {}, options);
  setenv("PATH", saved_path.c_str(), 1);
  EXPECT_QUIET_SUCCESS(found);
  EXPECT_EQ(ReadBytes(At("bin/files.bbs")), "c  own\r\n");
  EXPECT_TRUE(Exists(At("other/b.log")));
  EXPECT_FALSE(Exists(At("other/descript.ion")));
  EXPECT_FALSE(Exists(At("other/files.bbs")));
}

TEST_F(EndToEnd, LogHeldOpenByItsWriterIsLeftAlone) {
  AddLog(Root(), "busy", " writing");
  AddLog(Root(), "done", " finished");
  const int writer = open(At("busy.log").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(writer, 0);
  const RunResult result = Run({Root()});
  close(writer);
  EXPECT_QUIET_SUCCESS(result);
  EXPECT_EQ(ReadBytes(At(kNewListName)), "done  finished\r\n");
  EXPECT_TRUE(Exists(At("busy.log")));
}

TEST_F(EndToEnd, SecondRunOnALockedListTouchesNoLog) {
  AddLog(Root(), "a", " x");
  WriteBytes(At(kNewListName), "");
  const int holder = open(At(kNewListName).c_str(), O_RDONLY);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  const RunResult result = Run({Root()});
  close(holder);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.out.find("\nI/O error 32.\r\n"), Bytes::npos) << result.out;
  EXPECT_TRUE(Exists(At("a.log")));
  EXPECT_EQ(ReadBytes(At(kNewListName)), "");
}

// A file harvested again takes its older line out of the list, which is
// replaced by a new file: that keeps the list's mode, owner, group and
// extended attributes (a share for Windows clients keeps their hidden
// attribute in user.DOSATTRIB). A new file a stopped run left is removed.
// A list with another name (a hard link) is not replaced, nor one whose
// owner the run may not give the new file: their older lines stay.
TEST_F(EndToEnd, AReplacedListKeepsWhatTheListWas) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the list another owner";
  constexpr int kOwner = 65533;
  constexpr int kGroup = 65532;
  constexpr int kNobody = 65534;
  const Bytes list = At(kNewListName);
  const Bytes leftover = list + ".logharvest-new";
  WriteBytes(list, "a.zip  old\r\nb.zip  other\r\n");
  ASSERT_EQ(chown(list.c_str(), kOwner, kGroup), 0);
  ASSERT_EQ(chmod(list.c_str(), 0640), 0);
  const bool attributes = setxattr(list.c_str(), "user.DOSATTRIB", "0x22", 4, 0) == 0;
  WriteBytes(leftover, "left by a run that stopped");
  AddLog(Root(), "a.zip", " new");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(list), "b.zip  other\r\na.zip  new\r\n");
  struct stat info;
  ASSERT_EQ(lstat(list.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(info.st_uid, static_cast<uid_t>(kOwner));
  EXPECT_EQ(info.st_gid, static_cast<gid_t>(kGroup));
  char value[16] = {0};
  if (attributes) {
    EXPECT_EQ(Bytes(value, std::max<ssize_t>(0, getxattr(list.c_str(), "user.DOSATTRIB", value, sizeof value))),
              "0x22");
  }
  EXPECT_FALSE(Exists(leftover));

  ASSERT_EQ(link(list.c_str(), At("list.link").c_str()), 0);
  AddLog(Root(), "b.zip", " newer");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(list), "b.zip  other\r\na.zip  new\r\nb.zip  newer\r\n");
  EXPECT_EQ(ReadBytes(At("list.link")), ReadBytes(list));
  ASSERT_EQ(unlink(At("list.link").c_str()), 0);

  ASSERT_EQ(chmod(Root().c_str(), 0777), 0);
  ASSERT_EQ(chmod(list.c_str(), 0666), 0);
  AddLog(Root(), "a.zip", " third");
  RunOptions harvester;
  harvester.user = kNobody;
  // A copy the other account can run, wherever the build lies.
  EXPECT_QUIET_SUCCESS(RunProgram(CopyProgram(Program(), Root()), {Root()}, harvester));
  EXPECT_EQ(ReadBytes(list), "b.zip  other\r\na.zip  new\r\nb.zip  newer\r\na.zip  third\r\n");
  EXPECT_FALSE(Exists(At("a.zip.log")));
  EXPECT_FALSE(Exists(leftover));
  ASSERT_EQ(lstat(list.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, static_cast<uid_t>(kOwner));
}

TEST_F(EndToEnd, SymbolicLinksAreNotFollowed) {
  TempDir elsewhere;
  WriteBytes(elsewhere / "secret", "secret\x1A");
  AddLog(Root(), "a", " x");
  // A linked log is one that cannot be opened.
  WriteBytes(At("b"), "b");
  symlink((elsewhere / "secret").c_str(), At("b.log").c_str());
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  const Bytes list = ReadBytes(At(kNewListName));
  EXPECT_NE(list.find("b " + kErrorLine + "\r\n"), Bytes::npos) << list;
  EXPECT_TRUE(Exists(At("b.log")));
  // A linked list ends the run with the report and is neither cut nor written.
  RemoveTree(At(kNewListName));
  symlink((elsewhere / "secret").c_str(), At(kNewListName).c_str());
  AddLog(Root(), "c", " y");
  const RunResult result = Run({Root()});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(ReadBytes(elsewhere / "secret"), "secret\x1A");
  EXPECT_TRUE(Exists(At("c.log")));
}

TEST_F(EndToEnd, SpecialFilesAsLogsAreNeitherReadNorDeleted) {
  WriteBytes(At("pipe"), "p");
  ASSERT_EQ(mkfifo(At("pipe.log").c_str(), 0644), 0);
  const RunResult result = Run({Root()});
  EXPECT_QUIET_SUCCESS(result);
  EXPECT_EQ(ReadBytes(At(kNewListName)), "pipe " + kErrorLine + "\r\n");
  EXPECT_TRUE(Exists(At("pipe.log")));
}

}  // namespace
