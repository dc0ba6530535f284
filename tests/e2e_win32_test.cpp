// The Windows program run as a user runs it: started with exact command
// lines (CreateProcessA), over scratch directories on drive C:, with files
// held open by other programs under Windows sharing rules.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <regex>

#include "test_support_win32.h"

namespace {

const Bytes kOtchet = "\x20\xCE\xF2\xF7\xB8\xF2";  // " Отчёт" in Windows-1251
const Bytes kErrorLine = "        error reading file";

// The program under test, built beside this one.
Bytes Program() { return OwnDirectory() + "logharvest.exe"; }

// A file held open by another program with the given access and sharing.
class HeldFile {
 public:
  HeldFile(const Bytes& path, DWORD access, DWORD sharing)
      : handle_(CreateFileA(path.c_str(), access, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~HeldFile() {
    if (IsOpen()) CloseHandle(handle_);
  }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

class WinEndToEnd : public ::testing::Test {
 protected:
  const Bytes& Root() const { return root_.Path(); }
  Bytes At(ByteView name) const { return root_ / name; }

  // A file X and its log X.log with the given comment text.
  static void AddLog(const Bytes& directory, const Bytes& name, const Bytes& comment) {
    WriteBytes(directory + name, "data");
    WriteBytes(directory + name + ".log", LogWithComment(comment));
  }

  static RunResult Run(const std::vector<Bytes>& arguments, const RunOptions& options = RunOptions()) {
    return RunProgram(Program(), arguments, options);
  }

  // Runs the program with "logharvest.exe " and the rest of the line.
  static RunResult RunLine(const Bytes& rest, const RunOptions& options = RunOptions()) {
    return RunCommandLine(Program(), "logharvest.exe " + rest, options);
  }

  TempDir root_;
};

// The whole output must be the report for message, with 8 hex digits.
void ExpectReport(const RunResult& result, const Bytes& module, const Bytes& message) {
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "");
  const std::regex pattern("Exception EInOutError in module " + module + " at [0-9A-F]{8}\\.\n" + message + "\r\n");
  EXPECT_TRUE(std::regex_match(result.out, pattern)) << "output: [" << result.out << "]";
  EXPECT_EQ(result.out.find(" at 00000000."), Bytes::npos);
}

// --- the worked example, in C:\in\new\ ---

class WorkedExample : public WinEndToEnd {
 protected:
  void SetUp() override {
    RemoveTree("C:\\in");
    MakeDirectory("C:\\in");
    MakeDirectory("C:\\in\\new");
  }
  void TearDown() override { RemoveTree("C:\\in"); }
};

TEST_F(WorkedExample, HarvestsTheNamedDirectoryOrWithSwitchItsParent) {
  WriteBytes("C:\\in\\new\\pic.zip", "zip");
  WriteBytes("C:\\in\\new\\pic.zip.log", "\xC0\xE2\xF2\xEE\xF0: x\r\n" + kPrefix + kOtchet + "\r\n");
  EXPECT_QUIET_SUCCESS(Run({"C:\\in\\new\\"}));
  EXPECT_EQ(ReadBytes("C:\\in\\new\\Descript.ion"), "\x70\x69\x63\x2E\x7A\x69\x70\x20\x20\x8E\xE2\xE7\xB8\xE2\x0D\x0A");
  EXPECT_FALSE(Exists("C:\\in\\new\\pic.zip.log"));
  EXPECT_TRUE(Exists("C:\\in\\new\\pic.zip"));

  AddLog("C:\\in\\", "up.rar", " parent");
  AddLog("C:\\in\\new\\", "down.rar", " child");
  EXPECT_QUIET_SUCCESS(RunLine("C:\\in\\new -F"));
  EXPECT_EQ(ReadBytes("C:\\in\\Descript.ion"), "up.rar  parent\r\n");
  EXPECT_TRUE(Exists("C:\\in\\new\\down.rar.log"));
}

// --- which directory is harvested ---

TEST_F(WinEndToEnd, DirectoryWithOrWithoutTrailingSeparatorOrAFileInIt) {
  const Bytes dir = At("new\\");
  MakeDirectory(dir);
  AddLog(dir, "a", " one");
  EXPECT_QUIET_SUCCESS(Run({dir.substr(0, dir.size() - 1)}));
  AddLog(dir, "b", " two");
  EXPECT_QUIET_SUCCESS(Run({dir}));
  AddLog(dir, "c", " three");
  EXPECT_QUIET_SUCCESS(Run({dir + "a"}));
  // The file test is a find operation: a pattern whose first match is a
  // file names that file's directory.
  AddLog(dir, "d.zip", " four");
  EXPECT_QUIET_SUCCESS(Run({dir + "*.zip"}));
  EXPECT_EQ(ReadBytes(dir + "Descript.ion"), "a  one\r\nb  two\r\nc  three\r\nd.zip  four\r\n");
  EXPECT_FALSE(Exists(At("Descript.ion")));
}

TEST_F(WinEndToEnd, SwitchMovesUpOnlyFromADirectoryWithoutTrailingSeparator) {
  const Bytes dir = At("new\\");
  MakeDirectory(dir);
  AddLog(Root(), "up", " parent");
  AddLog(dir, "down", " child");
  EXPECT_QUIET_SUCCESS(Run({dir, "-F"}));                             // trailing separator: stays
  EXPECT_QUIET_SUCCESS(Run({dir + "down", "-F"}));                    // a file: stays
  EXPECT_QUIET_SUCCESS(Run({dir.substr(0, dir.size() - 1), "-FF"}));  // ignored
  EXPECT_QUIET_SUCCESS(Run({dir.substr(0, dir.size() - 1), "/F"}));   // ignored
  EXPECT_EQ(ReadBytes(dir + "Descript.ion"), "down  child\r\n");
  EXPECT_FALSE(Exists(Root() + "Descript.ion"));
  EXPECT_QUIET_SUCCESS(Run({dir.substr(0, dir.size() - 1), "-f", "ignored"}));
  EXPECT_EQ(ReadBytes(Root() + "Descript.ion"), "up  parent\r\n");
}

TEST_F(WinEndToEnd, MissingDirectoryPrintsOneLineAndCreatesNothing) {
  const RunResult result = Run({At("nowhere"), "-F"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "Error: Directory [" + At("nowhere") + "] not found!\r\n");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(Exists(At("Descript.ion")));
}

TEST_F(WinEndToEnd, BareNamesAreTakenInTheWorkingDirectory) {
  MakeDirectory(At("sub"));
  AddLog(Root(), "here", " current");
  RunOptions options;
  options.cwd = Root();
  // A bare file name has an empty directory part, which is not a directory.
  const RunResult result = Run({"here"}, options);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "Error: Directory [] not found!\r\n");
  EXPECT_TRUE(Exists(At("here.log")));
  // A bare directory name with the switch harvests the working directory.
  EXPECT_QUIET_SUCCESS(Run({"sub", "-F"}, options));
  EXPECT_EQ(ReadBytes(At("Descript.ion")), "here  current\r\n");
  EXPECT_FALSE(Exists(At("sub\\Descript.ion")));
}

TEST_F(WinEndToEnd, NoArgumentHarvestsTheProgramsOwnDirectoryWhateverArgumentZeroSays) {
  const Bytes program = CopyProgram(Program(), Root(), "logharvest.exe");
  AddLog(Root(), "own", " beside");
  EXPECT_QUIET_SUCCESS(RunCommandLine(program, "C:\\elsewhere\\other.exe"));
  EXPECT_EQ(ReadBytes(At("Descript.ion")), "own  beside\r\n");
}

TEST_F(WinEndToEnd, MarkerBesideTheProgramChoosesTheBbsList) {
  MakeDirectory(At("bin"));
  MakeDirectory(At("area"));
  const Bytes program = CopyProgram(Program(), At("bin\\"), "logharvest.exe");
  AddLog(At("area\\"), "a", " first");
  // A marker in the working directory, or a directory named like it beside
  // the program, does not count.
  WriteBytes(At("area\\to_bbs"), "");
  MakeDirectory(At("bin\\to_bbs"));
  RunOptions options;
  options.cwd = At("area");
  EXPECT_QUIET_SUCCESS(RunProgram(program, {At("area")}, options));
  EXPECT_TRUE(Exists(At("area\\Descript.ion")));
  RemoveTree(At("bin\\to_bbs"));
  WriteBytes(At("bin\\to_bbs"), "");
  AddLog(At("area\\"), "my file.zip", " second");
  EXPECT_QUIET_SUCCESS(RunProgram(program, {At("area")}));
  EXPECT_EQ(ReadBytes(At("area\\Files.bbs")), "my file.zip  second\r\n");  // never quoted
  EXPECT_EQ(ReadBytes(At("area\\Descript.ion")), "a  first\r\n");
}

// --- the command line as Windows delivers it ---

TEST_F(WinEndToEnd, QuotePairStandingAloneVanishes) {
  AddLog(Root(), "a", " x");
  EXPECT_QUIET_SUCCESS(RunLine("\"\" \"" + Root() + "\""));
  EXPECT_EQ(ReadBytes(At("Descript.ion")), "a  x\r\n");
  // "-F" moves down to argument 1 and is taken for the directory.
  const RunResult result = RunLine("\"\" -F");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "Error: Directory [-F] not found!\r\n");
}

TEST_F(WinEndToEnd, QuotedStretchesJoinTheirWord) {
  MakeDirectory(At("my area"));
  AddLog(At("my area\\"), "a", " inside");
  // A stretch inside a word: the quotes go, the blank stays.
  EXPECT_QUIET_SUCCESS(RunLine(Root() + "my\" \"area"));
  EXPECT_EQ(ReadBytes(At("my area\\Descript.ion")), "a  inside\r\n");
  // An unterminated quote runs to the end of the line.
  AddLog(At("my area\\"), "b", " open");
  EXPECT_QUIET_SUCCESS(RunLine("\"" + Root() + "my area"));
  const RunResult result = RunLine("\"" + Root() + "my area -F");
  EXPECT_EQ(result.out, "Error: Directory [" + Root() + "my area -F] not found!\r\n");
  EXPECT_EQ(ReadBytes(At("my area\\Descript.ion")), "a  inside\r\nb  open\r\n");
  EXPECT_FALSE(Exists(At("Descript.ion")));
}

TEST_F(WinEndToEnd, BackslashBeforeAQuoteIsAnOrdinaryByte) {
  MakeDirectory(At("new"));
  AddLog(Root(), "up", " parent");
  AddLog(At("new\\"), "down", " child");
  // The quote ends the stretch and "-F" is argument 2; the directory keeps
  // its trailing "\", so the switch does not move up.
  EXPECT_QUIET_SUCCESS(RunLine("\"" + At("new\\") + "\" -F"));
  EXPECT_EQ(ReadBytes(At("new\\Descript.ion")), "down  child\r\n");
  EXPECT_FALSE(Exists(At("Descript.ion")));
  EXPECT_TRUE(Exists(At("up.log")));
}

// --- the logs and the list ---

TEST_F(WinEndToEnd, LogsWithoutCompanionOrCommentAndOddEntries) {
  WriteBytes(At("lonely.txt.log"), LogWithComment(" nobody"));  // no companion: untouched
  WriteBytes(At("quiet.txt"), "q");
  WriteBytes(At("quiet.txt.log"), "no comment here\r\n");  // no line, deleted
  WriteBytes(At("b"), "b");
  MakeDirectory(At("b.log"));  // a directory as log: error line, kept
  MakeDirectory(At("c"));
  WriteBytes(At("c.log"), LogWithComment(" dir"));  // companion is a directory: untouched
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(At("Descript.ion")), "b " + kErrorLine + "\r\n");
  EXPECT_TRUE(Exists(At("lonely.txt.log")));
  EXPECT_FALSE(Exists(At("quiet.txt.log")));
  EXPECT_TRUE(Exists(At("b.log")));
  EXPECT_TRUE(Exists(At("c.log")));
}

TEST_F(WinEndToEnd, SeveralLogsGiveOneLineEachAndNoLogsStillCreateTheList) {
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(At("Descript.ion")), "");
  AddLog(Root(), "one", " 1");
  AddLog(Root(), "two", " 2");
  AddLog(Root(), "my file.zip", " spaced");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  const Bytes list = ReadBytes(At("Descript.ion"));
  EXPECT_EQ(list.size(), Bytes("one  1\r\ntwo  2\r\n\"my file.zip\"  spaced\r\n").size()) << list;
  for (const char* line : {"one  1\r\n", "two  2\r\n", "\"my file.zip\"  spaced\r\n"}) {
    EXPECT_NE(list.find(line), Bytes::npos) << line;
  }
}

TEST_F(WinEndToEnd, ExistingListIsCutAtItsMarkAndGetsItsMissingLineEnd) {
  WriteBytes(At("Descript.ion"), "old entry\r\n\x1A");
  EXPECT_QUIET_SUCCESS(Run({Root()}));  // no logs: the mark still goes
  EXPECT_EQ(ReadBytes(At("Descript.ion")), "old entry\r\n");
  WriteBytes(At("Descript.ion"), "old entry");
  AddLog(Root(), "n", " new");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(At("Descript.ion")), "old entry\r\nn  new\r\n");
}

TEST_F(WinEndToEnd, NamesAreMatchedWithoutRegardToCase) {
  WriteBytes(At("pic.zip"), "z");
  WriteBytes(At("PIC.ZIP.log"), LogWithComment(" upper"));
  WriteBytes(At("Other.rar"), "o");
  WriteBytes(At("other.rar.LOG"), LogWithComment(" lower"));
  WriteBytes(At("DESCRIPT.ION"), "x old\r\n");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  // The line carries the log's spelling; the list keeps its own name.
  const Bytes list = ReadBytes(At("DESCRIPT.ION"));
  EXPECT_EQ(list.rfind("x old\r\n", 0), 0u) << list;
  EXPECT_NE(list.find("\r\nPIC.ZIP  upper\r\n"), Bytes::npos) << list;
  EXPECT_NE(list.find("\r\nother.rar  lower\r\n"), Bytes::npos) << list;
  WIN32_FIND_DATAA data;
  const HANDLE find = FindFirstFileA(At("descript.ion").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  FindClose(find);
  EXPECT_STREQ(data.cFileName, "DESCRIPT.ION");
  EXPECT_FALSE(Exists(At("PIC.ZIP.log")));
  EXPECT_FALSE(Exists(At("other.rar.LOG")));
}

// --- sharing with other programs ---

TEST_F(WinEndToEnd, LogHeldOpenByItsWriterGetsTheErrorLineAndIsKept) {
  AddLog(Root(), "busy", " writing");
  AddLog(Root(), "done", " finished");
  RunResult result;
  {
    HeldFile writer(At("busy.log"), GENERIC_WRITE, FILE_SHARE_READ);
    ASSERT_TRUE(writer.IsOpen());
    result = Run({Root()});
  }
  EXPECT_QUIET_SUCCESS(result);
  const Bytes list = ReadBytes(At("Descript.ion"));
  EXPECT_EQ(list.size(), Bytes("busy " + kErrorLine + "\r\ndone  finished\r\n").size()) << list;
  EXPECT_NE(list.find("busy " + kErrorLine + "\r\n"), Bytes::npos) << list;
  EXPECT_NE(list.find("done  finished\r\n"), Bytes::npos) << list;
  EXPECT_EQ(ReadBytes(At("busy.log")), LogWithComment(" writing"));
  EXPECT_FALSE(Exists(At("done.log")));
}

TEST_F(WinEndToEnd, ListHeldWithoutWriteSharingEndsTheRunBeforeAnyLog) {
  AddLog(Root(), "a", " x");
  WriteBytes(At("Descript.ion"), "kept\r\n\x1A");
  RunResult result;
  {
    HeldFile reader(At("Descript.ion"), GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(reader.IsOpen());
    result = Run({Root()});
  }
  ExpectReport(result, "logharvest\\.exe", "I/O error 32\\.");
  EXPECT_EQ(ReadBytes(At("a.log")), LogWithComment(" x"));
  EXPECT_EQ(ReadBytes(At("Descript.ion")), "kept\r\n\x1A");
}

// Several runs on one directory at once: one holds the list, the others
// end with the sharing report without touching a log, and every comment
// lands in the list exactly once.
TEST_F(WinEndToEnd, ConcurrentRunsShareOneListWithoutLoss) {
  constexpr int kRounds = 3;
  constexpr int kRuns = 4;
  constexpr int kLogs = 50;
  WriteBytes(At("Descript.ion"), "");
  int winners = 0;
  int losers = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kLogs; ++i) {
      const Bytes name = "r" + std::to_string(round) + "f" + std::to_string(i);
      AddLog(Root(), name, " " + name);
    }
    // Started with their output in files: all of them at once, waited for
    // together.
    std::vector<PROCESS_INFORMATION> runs(kRuns);
    std::vector<HANDLE> outputs(kRuns);
    for (int k = 0; k < kRuns; ++k) {
      SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
      const Bytes out_path = At("out" + std::to_string(k) + ".txt");
      outputs[k] = CreateFileA(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(outputs[k], INVALID_HANDLE_VALUE);
      STARTUPINFOA startup{};
      startup.cb = sizeof startup;
      startup.dwFlags = STARTF_USESTDHANDLES;
      startup.hStdOutput = outputs[k];
      startup.hStdError = outputs[k];
      Bytes line = "logharvest.exe \"" + Root() + "\"";
      ASSERT_TRUE(CreateProcessA(Program().c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                 &runs[k]));
    }
    for (int k = 0; k < kRuns; ++k) {
      WaitForSingleObject(runs[k].hProcess, INFINITE);
      DWORD code = 0;
      GetExitCodeProcess(runs[k].hProcess, &code);
      CloseHandle(runs[k].hProcess);
      CloseHandle(runs[k].hThread);
      CloseHandle(outputs[k]);
      const Bytes out = ReadBytes(At("out" + std::to_string(k) + ".txt"));
      if (code == 0) {
        EXPECT_EQ(out, "");
        ++winners;
      } else {
        ExpectReport(RunResult{static_cast<int>(code), out, ""}, "logharvest\\.exe", "I/O error 32\\.");
        ++losers;
      }
    }
    const Bytes list = ReadBytes(At("Descript.ion"));
    for (int r = 0; r <= round; ++r) {
      for (int i = 0; i < kLogs; ++i) {
        const Bytes name = "r" + std::to_string(r) + "f" + std::to_string(i);
        const Bytes line = name + "  " + name + "\r\n";
        const std::size_t at = list.find(line);
        EXPECT_NE(at, Bytes::npos) << name;
        EXPECT_EQ(list.find(line, at + 1), Bytes::npos) << name << " twice";
        EXPECT_FALSE(Exists(At(name + ".log"))) << name;
      }
    }
  }
  EXPECT_GE(winners, kRounds);
  std::printf("concurrent runs: %d completed, %d ended with the sharing report\n", winners, losers);
}

// --- how failed runs end ---

TEST_F(WinEndToEnd, ReadOnlyListIsReportedAsAccessDenied) {
  AddLog(Root(), "a", " x");
  WriteBytes(At("Descript.ion"), "old\r\n");
  ASSERT_TRUE(SetFileAttributesA(At("Descript.ion").c_str(), FILE_ATTRIBUTE_READONLY));
  if (HeldFile(At("Descript.ion"), GENERIC_WRITE, FILE_SHARE_READ).IsOpen()) {
    SetFileAttributesA(At("Descript.ion").c_str(), FILE_ATTRIBUTE_NORMAL);
    GTEST_SKIP() << "the read-only attribute does not refuse a write open here (Wine run by root)";
  }
  const RunResult result = Run({Root()});
  SetFileAttributesA(At("Descript.ion").c_str(), FILE_ATTRIBUTE_NORMAL);
  ExpectReport(result, "logharvest\\.exe", "File access denied\\.");
  EXPECT_TRUE(Exists(At("a.log")));
  EXPECT_EQ(ReadBytes(At("Descript.ion")), "old\r\n");
}

TEST_F(WinEndToEnd, ListNameTakenByADirectoryIsReportedUnderTheProgramFilesName) {
  MakeDirectory(At("Descript.ion"));
  AddLog(Root(), "a", " x");
  ExpectReport(Run({Root()}), "logharvest\\.exe", "File access denied\\.");
  EXPECT_TRUE(Exists(At("a.log")));
  const Bytes program = CopyProgram(Program(), Root(), "harvest-copy.exe");
  ExpectReport(RunProgram(program, {Root()}), "harvest-copy\\.exe", "File access denied\\.");
  EXPECT_TRUE(Exists(At("a.log")));
}

TEST_F(WinEndToEnd, UnusableStandardOutputEndsTheMissingDirectoryCaseWithCode1) {
  RunOptions options;
  options.output = Output::kClosed;
  RunResult result = Run({At("nowhere")}, options);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "");
  options.output = Output::kDevFull;  // a handle without write access
  result = Run({At("nowhere")}, options);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "");
}

// --- help and version ---

// A copy of the program beside a log: a run that harvested anything (the
// program's own directory, say) would consume it.
TEST_F(WinEndToEnd, HelpAndVersionAnswerAndTouchNothing) {
  const Bytes program = CopyProgram(Program(), Root(), "logharvest.exe");
  AddLog(Root(), "a", " x");
  for (const Bytes& rest : std::vector<Bytes>{"/?", "--help", "--help -F", "--version"}) {
    const RunResult result = RunCommandLine(program, "logharvest.exe " + rest);
    EXPECT_EQ(result.exit_code, 0) << rest;
    EXPECT_EQ(result.err, "");
    if (rest == "--version") {
      EXPECT_TRUE(std::regex_match(result.out, std::regex("logharvest [0-9]+\\.[0-9]+\\.[0-9]+\r\n"))) << result.out;
    } else {
      EXPECT_NE(result.out.find("\r\nUsage: logharvest [DIRECTORY | FILE] [-F]\r\n"), Bytes::npos) << rest;
      EXPECT_NE(result.out.find("--help | --version | /?\r\n"), Bytes::npos) << rest;
    }
  }
  EXPECT_TRUE(Exists(At("a.log")));
  EXPECT_FALSE(Exists(At("Descript.ion")));
}

TEST_F(WinEndToEnd, DirectoryNamedLikeAnOptionIsReachedWithADirectoryPart) {
  MakeDirectory(At("--help"));
  AddLog(At("--help\\"), "a", " x");
  RunOptions options;
  options.cwd = Root();
  EXPECT_QUIET_SUCCESS(Run({".\\--help"}, options));
  EXPECT_EQ(ReadBytes(At("--help\\Descript.ion")), "a  x\r\n");
  EXPECT_FALSE(Exists(At("--help\\a.log")));
}

}  // namespace
