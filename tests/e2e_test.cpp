// The program run as a user runs it, over scratch directories.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "e2e_support.h"

namespace {

const Bytes kOtchet = "\x20\xCE\xF2\xF7\xB8\xF2";     // " Отчёт" in Windows-1251
const Bytes kOtchet866 = "\x20\x8E\xE2\xE7\xB8\xE2";  // the same in code page 866
const Bytes kErrorLine = "        error reading file";

TEST_F(EndToEnd, WorkedExampleAddsExactlyOneLineAndDeletesTheLog) {
  WriteBytes(At("pic.zip"), "zip");
  WriteBytes(At("pic.zip.log"), "\xC0\xE2\xF2\xEE\xF0: x\r\n" + kPrefix + kOtchet + "\r\n");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(At("descript.ion")), "\x70\x69\x63\x2E\x7A\x69\x70\x20\x20\x8E\xE2\xE7\xB8\xE2\x0D\x0A");
  EXPECT_FALSE(Exists(At("pic.zip.log")));
  EXPECT_TRUE(Exists(At("pic.zip")));
}

TEST_F(EndToEnd, DirectoryWithOrWithoutTrailingSlashOrAFileInIt) {
  const Bytes dir = At("new/");
  MakeDirectory(dir);
  AddLog(dir, "a", " one");
  EXPECT_QUIET_SUCCESS(Run({dir.substr(0, dir.size() - 1)}));
  AddLog(dir, "b", " two");
  EXPECT_QUIET_SUCCESS(Run({dir}));
  AddLog(dir, "c", " three");
  EXPECT_QUIET_SUCCESS(Run({dir + "a"}));
  EXPECT_EQ(ReadBytes(dir + "descript.ion"), "a  one\r\nb  two\r\nc  three\r\n");
  EXPECT_FALSE(Exists(Root() + "descript.ion"));
}

TEST_F(EndToEnd, SwitchMovesUpOnlyFromADirectoryWithoutTrailingSlash) {
  const Bytes dir = At("new/");
  MakeDirectory(dir);
  AddLog(Root(), "up", " parent");
  AddLog(dir, "down", " child");
  EXPECT_QUIET_SUCCESS(Run({dir, "-F"}));                             // trailing slash: stays
  EXPECT_QUIET_SUCCESS(Run({dir + "down", "-F"}));                    // a file: stays
  EXPECT_QUIET_SUCCESS(Run({dir.substr(0, dir.size() - 1), "-FF"}));  // ignored
  EXPECT_QUIET_SUCCESS(Run({dir.substr(0, dir.size() - 1), "/F"}));   // ignored
  EXPECT_EQ(ReadBytes(dir + "descript.ion"), "down  child\r\n");
  EXPECT_FALSE(Exists(Root() + "descript.ion"));
  EXPECT_QUIET_SUCCESS(Run({dir.substr(0, dir.size() - 1), "-f", "ignored"}));
  EXPECT_EQ(ReadBytes(Root() + "descript.ion"), "up  parent\r\n");
}

TEST_F(EndToEnd, MissingDirectoryPrintsOneLineAndCreatesNothing) {
  const RunResult result = Run({At("nowhere"), "-F"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "Error: Directory [" + At("nowhere") + "] not found!\r\n");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(Exists(At("descript.ion")));
}

TEST_F(EndToEnd, BareFileNameHasAnEmptyDirectoryPart) {
  AddLog(Root(), "pic.zip", " x");
  RunOptions options;
  options.cwd = Root();
  const RunResult result = Run({"pic.zip"}, options);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "Error: Directory [] not found!\r\n");
  EXPECT_TRUE(Exists(At("pic.zip.log")));
}

TEST_F(EndToEnd, BareDirectoryNameWithSwitchHarvestsTheCurrentDirectory) {
  MakeDirectory(At("sub"));
  AddLog(Root(), "here", " current");
  RunOptions options;
  options.cwd = Root();
  EXPECT_QUIET_SUCCESS(Run({"sub", "-F"}, options));
  EXPECT_EQ(ReadBytes(At("descript.ion")), "here  current\r\n");
  EXPECT_FALSE(Exists(At("sub/descript.ion")));
}

TEST_F(EndToEnd, NoArgumentHarvestsTheProgramsOwnDirectory) {
  const Bytes program = CopyProgram(Program(), Root());
  AddLog(Root(), "own", " beside");
  const RunResult result = RunProgram(program, {});
  EXPECT_QUIET_SUCCESS(result);
  EXPECT_EQ(ReadBytes(At("descript.ion")), "own  beside\r\n");
}

TEST_F(EndToEnd, MarkerBesideTheProgramChoosesTheBbsList) {
  MakeDirectory(At("bin"));
  MakeDirectory(At("area"));
  const Bytes program = CopyProgram(Program(), At("bin/"));
  AddLog(At("area/"), "a", " first");
  // A marker in the working directory, or a directory named like it beside
  // the program, does not count.
  WriteBytes(At("area/to_bbs"), "");
  MakeDirectory(At("bin/to_bbs"));
  EXPECT_QUIET_SUCCESS(RunProgram(program, {At("area")}));
  EXPECT_TRUE(Exists(At("area/descript.ion")));
  RemoveTree(At("bin/to_bbs"));
  WriteBytes(At("bin/to_bbs"), "");
  AddLog(At("area/"), "b", " second");
  EXPECT_QUIET_SUCCESS(RunProgram(program, {At("area")}));
  EXPECT_EQ(ReadBytes(At("area/files.bbs")), "b  second\r\n");
  EXPECT_EQ(ReadBytes(At("area/descript.ion")), "a  first\r\n");
}

TEST_F(EndToEnd, LogsWithoutCompanionOrCommentAndOddEntries) {
  WriteBytes(At("lonely.txt.log"), LogWithComment(" nobody"));  // no companion: untouched
  WriteBytes(At("quiet.txt"), "q");
  WriteBytes(At("quiet.txt.log"), "no comment here\r\n");  // no line, deleted
  WriteBytes(At("b"), "b");
  MakeDirectory(At("b.log"));  // a directory as log: error line, kept
  MakeDirectory(At("c"));
  WriteBytes(At("c.log"), LogWithComment(" dir"));   // companion is a directory: untouched
  WriteBytes(At(".log"), LogWithComment(" short"));  // empty companion: untouched
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(At("descript.ion")), "b " + kErrorLine + "\r\n");
  EXPECT_TRUE(Exists(At("lonely.txt.log")));
  EXPECT_FALSE(Exists(At("quiet.txt.log")));
  EXPECT_TRUE(Exists(At("b.log")));
  EXPECT_TRUE(Exists(At("c.log")));
  EXPECT_TRUE(Exists(At(".log")));
}

TEST_F(EndToEnd, SeveralLogsGiveOneLineEachAndNoLogsStillCreateTheList) {
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(At("descript.ion")), "");
  AddLog(Root(), "one", " 1");
  AddLog(Root(), "two", " 2");
  WriteBytes(At("mid"), "m");
  WriteBytes(At("mid.log"), "nothing\r\n");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  const Bytes list = ReadBytes(At("descript.ion"));
  EXPECT_TRUE(list == "one  1\r\ntwo  2\r\n" || list == "two  2\r\none  1\r\n") << list;
}

TEST_F(EndToEnd, ExistingListIsCutAtItsMarkAndGetsItsMissingLineEnd) {
  WriteBytes(At("descript.ion"), "old entry\r\n\x1A");
  EXPECT_QUIET_SUCCESS(Run({Root()}));  // no logs: the mark still goes
  EXPECT_EQ(ReadBytes(At("descript.ion")), "old entry\r\n");
  WriteBytes(At("descript.ion"), "old entry");
  AddLog(Root(), "n", " new");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(At("descript.ion")), "old entry\r\nn  new\r\n");
}

TEST_F(EndToEnd, NamesAreMatchedWithoutRegardToCase) {
  WriteBytes(At("PIC.ZIP"), "z");
  WriteBytes(At("PIC.ZIP.LOG"), LogWithComment(" upper"));
  WriteBytes(At("DESCRIPT.ION"), "x old\r\n");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(At("DESCRIPT.ION")), "x old\r\nPIC.ZIP  upper\r\n");
  EXPECT_FALSE(Exists(At("descript.ion")));
  // With both spellings present the lower-case one, which readers open, is used.
  WriteBytes(At("descript.ion"), "");
  AddLog(Root(), "q", " lower");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(At("descript.ion")), "q  lower\r\n");
  EXPECT_EQ(ReadBytes(At("DESCRIPT.ION")), "x old\r\nPIC.ZIP  upper\r\n");
  // The companion is looked up with the log's own spelling.
  WriteBytes(At("Mixed.zip"), "m");
  WriteBytes(At("mixed.zip.log"), LogWithComment(" other case"));
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_TRUE(Exists(At("mixed.zip.log")));
}

TEST_F(EndToEnd, NamesThatWouldBreakTheListAreLeftAlone) {
  AddLog(Root(), "line\nfeed", " lf");
  AddLog(Root(), "carriage\rreturn", " cr");
  AddLog(Root(), "end\x1Amark", " mark");
  AddLog(Root(), "say \"hi\"", " quote");
  AddLog(Root(), "my file.zip", " spaced");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(At("descript.ion")), "\"my file.zip\"  spaced\r\n");
  EXPECT_TRUE(Exists(At("line\nfeed.log")));
  EXPECT_TRUE(Exists(At("carriage\rreturn.log")));
  EXPECT_TRUE(Exists(At("end\x1Amark.log")));
  EXPECT_TRUE(Exists(At("say \"hi\".log")));
}

TEST_F(EndToEnd, BbsListKeepsNamesUnquoted) {
  MakeDirectory(At("bin"));
  const Bytes program = CopyProgram(Program(), At("bin/"));
  WriteBytes(At("bin/to_bbs"), "");
  AddLog(Root(), "my file.zip", " spaced");
  AddLog(Root(), "say \"hi\"", " quote");
  EXPECT_QUIET_SUCCESS(RunProgram(program, {Root()}));
  const Bytes list = ReadBytes(At("files.bbs"));
  EXPECT_NE(list.find("my file.zip  spaced\r\n"), Bytes::npos) << list;
  EXPECT_NE(list.find("say \"hi\"  quote\r\n"), Bytes::npos) << list;
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
  const Bytes list = ReadBytes(At("descript.ion"));
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

TEST_F(EndToEnd, LogHeldOpenByItsWriterIsLeftAlone) {
  AddLog(Root(), "busy", " writing");
  AddLog(Root(), "done", " finished");
  const int writer = open(At("busy.log").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(writer, 0);
  const RunResult result = Run({Root()});
  close(writer);
  EXPECT_QUIET_SUCCESS(result);
  EXPECT_EQ(ReadBytes(At("descript.ion")), "done  finished\r\n");
  EXPECT_TRUE(Exists(At("busy.log")));
}

TEST_F(EndToEnd, SecondRunOnALockedListTouchesNoLog) {
  AddLog(Root(), "a", " x");
  WriteBytes(At("descript.ion"), "");
  const int holder = open(At("descript.ion").c_str(), O_RDONLY);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  const RunResult result = Run({Root()});
  close(holder);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.out.find("\nI/O error 32.\r\n"), Bytes::npos) << result.out;
  EXPECT_TRUE(Exists(At("a.log")));
  EXPECT_EQ(ReadBytes(At("descript.ion")), "");
}

TEST_F(EndToEnd, SymbolicLinksAreNotFollowed) {
  TempDir elsewhere;
  WriteBytes(elsewhere / "secret", "secret\x1A");
  AddLog(Root(), "a", " x");
  // A linked log is one that cannot be opened.
  WriteBytes(At("b"), "b");
  symlink((elsewhere / "secret").c_str(), At("b.log").c_str());
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  const Bytes list = ReadBytes(At("descript.ion"));
  EXPECT_NE(list.find("b " + kErrorLine + "\r\n"), Bytes::npos) << list;
  EXPECT_TRUE(Exists(At("b.log")));
  // A linked list ends the run with the report and is neither cut nor written.
  RemoveTree(At("descript.ion"));
  symlink((elsewhere / "secret").c_str(), At("descript.ion").c_str());
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
  EXPECT_EQ(ReadBytes(At("descript.ion")), "pipe " + kErrorLine + "\r\n");
  EXPECT_TRUE(Exists(At("pipe.log")));
}

}  // namespace
