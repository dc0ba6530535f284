// The Windows program run as a user runs it: the scenes every build shares,
// then exact command lines (CreateProcessA), files held open by other
// programs under Windows sharing rules, and the report's code offset.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <regex>

#include "e2e_scenes.h"
#include "e2e_support.h"
#include "test_support_win32.h"

// The program under test: the one LOGHARVEST_PROGRAM names, or the one built
// beside this test program.
Bytes Program() {
  const char* named = std::getenv("LOGHARVEST_PROGRAM");
  return named != nullptr && *named != '\0' ? Bytes(named) : OwnDirectory() + "logharvest.exe";
}
Build ThisBuild() { return {Program(), ".exe", kNewListName, "Files.bbs"}; }

namespace {

const Bytes kErrorLine = "        error reading file";

// Runs the program with "logharvest.exe " and the rest of the line.
RunResult RunLine(const Bytes& rest, const RunOptions& options = RunOptions()) {
  return RunCommandLine(Program(), "logharvest.exe " + rest, options);
}

// The summary of the starts that Wine failed and that were tried again.
class StartRetryReport : public ::testing::Environment {
 public:
  void TearDown() override { std::printf("[ retries  ] %d start(s) of the program tried again\n", StartRetries()); }
};
const auto* const kStartRetryReport = ::testing::AddGlobalTestEnvironment(new StartRetryReport);

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
  bool Write(ByteView bytes) {
    DWORD put = 0;
    return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) && put == bytes.size();
  }

 private:
  HANDLE handle_;
};

// --- which directory is harvested ---

// The file test is a find operation: a pattern whose first match is a file
// names that file's directory.
TEST_F(EndToEnd, PatternMatchingAFileNamesItsDirectory) {
  MakeDirectory(At("new"));
  AddLog(At("new\\"), "d.zip", " four");
  EXPECT_QUIET_SUCCESS(Run({At("new\\*.zip")}));
  EXPECT_EQ(ReadBytes(At("new\\Descript.ion")), "d.zip  four\r\n");
  EXPECT_FALSE(Exists(At("Descript.ion")));
}

TEST_F(EndToEnd, NoArgumentHarvestsTheProgramsOwnDirectoryWhateverArgumentZeroSays) {
  const Bytes program = CopyProgram(Program(), Root(), "logharvest.exe");
  AddLog(Root(), "own", " beside");
  EXPECT_QUIET_SUCCESS(RunCommandLine(program, "C:\\elsewhere\\other.exe"));
  EXPECT_EQ(ReadBytes(At("Descript.ion")), "own  beside\r\n");
}

// --- the command line as Windows delivers it ---

TEST_F(EndToEnd, QuotePairStandingAloneVanishes) {
  AddLog(Root(), "a", " x");
  EXPECT_QUIET_SUCCESS(RunLine("\"\" \"" + Root() + "\""));
  EXPECT_EQ(ReadBytes(At("Descript.ion")), "a  x\r\n");
  // "-F" moves down to argument 1 and is taken for the directory.
  const RunResult result = RunLine("\"\" -F");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "Error: Directory [-F] not found!\r\n");
}

TEST_F(EndToEnd, QuotedStretchesJoinTheirWord) {
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

TEST_F(EndToEnd, BackslashBeforeAQuoteIsAnOrdinaryByte) {
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

// The companion is found in any case, as Windows finds files.
TEST_F(EndToEnd, CompanionIsFoundInAnyCase) {
  WriteBytes(At("pic.zip"), "z");
  WriteBytes(At("PIC.ZIP.log"), LogWithComment(" upper"));
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(At("Descript.ion")), "PIC.ZIP  upper\r\n");
  EXPECT_FALSE(Exists(At("PIC.ZIP.log")));
}

// --- sharing with other programs ---

TEST_F(EndToEnd, LogHeldOpenByItsWriterGetsTheErrorLineAndIsKept) {
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

TEST_F(EndToEnd, ListHeldWithoutWriteSharingEndsTheRunBeforeAnyLog) {
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
TEST_F(EndToEnd, ConcurrentRunsShareOneListWithoutLoss) {
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

// A log the run may not delete (a read-only log: access denied) stays with
// its line in the list, and the run goes on with the logs after it; the
// next run writes no second line for it and harvests the new logs.
TEST_F(EndToEnd, ReadOnlyLogStaysAndStopsNothing) {
  WriteBytes(At("probe"), "p");
  ASSERT_TRUE(SetFileAttributesA(At("probe").c_str(), FILE_ATTRIBUTE_READONLY));
  const bool refused = !DeleteFileA(At("probe").c_str()) && GetLastError() == ERROR_ACCESS_DENIED;
  SetFileAttributesA(At("probe").c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(At("probe").c_str());
  if (!refused) GTEST_SKIP() << "a read-only file may be deleted here";
  AddLog(Root(), "a", " first");
  AddLog(Root(), "ro", " kept");
  AddLog(Root(), "z", " last");
  ASSERT_TRUE(SetFileAttributesA(At("ro.log").c_str(), FILE_ATTRIBUTE_READONLY));
  const RunResult first = Run({Root()});
  AddLog(Root(), "b", " second");
  const RunResult second = Run({Root()});
  SetFileAttributesA(At("ro.log").c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_QUIET_SUCCESS(first);
  EXPECT_QUIET_SUCCESS(second);
  const Bytes list = ReadBytes(At("Descript.ion"));
  EXPECT_EQ(list.size(), Bytes("a  first\r\nro  kept\r\nz  last\r\nb  second\r\n").size()) << list;
  for (const char* line : {"a  first\r\n", "ro  kept\r\n", "z  last\r\n", "b  second\r\n"}) {
    EXPECT_NE(list.find(line), Bytes::npos) << line;
  }
  EXPECT_TRUE(Exists(At("ro.log")));
  EXPECT_FALSE(Exists(At("a.log")));
  EXPECT_FALSE(Exists(At("z.log")));
  EXPECT_FALSE(Exists(At("b.log")));
}

// A file harvested again takes its older line out of the list, which is
// replaced by a new file: a hidden list stays hidden. A reader that holds
// the list open (sharing reading and writing, not deletion) keeps it from
// being replaced: the run ends as ever, and the older line stays.
TEST_F(EndToEnd, AReplacedListStaysHiddenAndAReaderHoldingItKeepsTheOlderLines) {
  const Bytes list = At("Descript.ion");
  WriteBytes(list, "a.zip  old\r\nb.zip  other\r\n");
  ASSERT_TRUE(SetFileAttributesA(list.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  AddLog(Root(), "a.zip", " new");
  RunResult held;
  {
    HeldFile reader(list, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(reader.IsOpen());
    held = Run({Root()});
  }
  EXPECT_QUIET_SUCCESS(held);
  EXPECT_EQ(ReadBytes(list), "a.zip  old\r\nb.zip  other\r\na.zip  new\r\n");
  EXPECT_FALSE(Exists(At("a.zip.log")));
  EXPECT_FALSE(Exists(list + ".logharvest-new"));
  AddLog(Root(), "b.zip", " newer");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(list), "a.zip  old\r\na.zip  new\r\nb.zip  newer\r\n");
  EXPECT_EQ(GetFileAttributesA(list.c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
            static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_FALSE(Exists(list + ".logharvest-new"));
}

// A program that keeps the list open to append to it, sharing every access,
// keeps every run out: the run ends with the report of a sharing violation
// before it touches a log, and every line the program writes, before the
// run and after it, stays in the list. Once it lets go, the next run
// harvests, and replaces the list.
TEST_F(EndToEnd, AProgramAppendingThroughTheOpenListKeepsEveryLine) {
  const Bytes list = At("Descript.ion");
  WriteBytes(list, "a.zip  old\r\n");
  AddLog(Root(), "a.zip", " new");
  RunResult held;
  {
    HeldFile writer(list, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    ASSERT_TRUE(writer.IsOpen());
    ASSERT_TRUE(writer.Write("c.zip  typed before\r\n"));
    held = Run({Root()});
    ASSERT_TRUE(writer.Write("c.zip  typed after\r\n"));
  }
  ExpectReport(held, "logharvest\\.exe", "I/O error 32\\.");
  EXPECT_EQ(ReadBytes(list), "a.zip  old\r\nc.zip  typed before\r\nc.zip  typed after\r\n");
  EXPECT_TRUE(Exists(At("a.zip.log")));
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(list), "c.zip  typed before\r\nc.zip  typed after\r\na.zip  new\r\n");
}

// --- how failed runs end ---

TEST_F(EndToEnd, ReadOnlyListIsReportedAsAccessDenied) {
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

// The report's code offset lies in the code section of the program file,
// which LOGHARVEST_CODE_SECTION gives as "BEGIN-END", offsets from the image
// base in hexadecimal (from objdump of the same file).
TEST_F(EndToEnd, ReportPointsIntoTheProgramsCode) {
  const char* section = std::getenv("LOGHARVEST_CODE_SECTION");
  if (section == nullptr) GTEST_SKIP() << "LOGHARVEST_CODE_SECTION is not set";
  unsigned long begin = 0, end = 0;
  ASSERT_EQ(std::sscanf(section, "%lx-%lx", &begin, &end), 2) << section;
  MakeDirectory(At("Descript.ion"));
  const RunResult result = Run({Root()});
  const Bytes program = Program();
  const Bytes name = program.substr(program.find_last_of("\\/") + 1);
  ExpectReport(result, std::regex_replace(name, std::regex("\\."), "\\."), "File access denied\\.");
  const std::size_t at = result.out.find(" at ");
  ASSERT_NE(at, Bytes::npos);
  const unsigned long offset = std::stoul(result.out.substr(at + 4, 8), nullptr, 16);
  EXPECT_GE(offset, begin) << result.out;
  EXPECT_LT(offset, end) << result.out;
  std::printf("report offset %08lX in the code section %08lX-%08lX of %s\n", offset, begin, end, name.c_str());
}

// --- help and version ---

// A copy of the program beside a log: a run that harvested anything (the
// program's own directory, say) would consume it.
TEST_F(EndToEnd, HelpAndVersionAnswerAndTouchNothing) {
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

}  // namespace
