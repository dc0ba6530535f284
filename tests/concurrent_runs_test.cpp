// Several runs started together on one directory, and runs killed at a
// random moment.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <stdexcept>
#include <thread>

#include "e2e_support.h"

namespace {

constexpr int kProcesses = 8;
constexpr int kRounds = 20;
constexpr int kLogs = 500;

Bytes Name(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "f%03d.zip", i);
  return name;
}

Bytes Line(int i) { return Name(i) + "  comment of " + Name(i) + "\r\n"; }

// Starts the program on directory in kProcesses processes at the same moment:
// each waits at a gate that opens for all at once. Their outputs go to files
// in outputs.
std::vector<RunResult> RunTogether(const Bytes& directory, const Bytes& outputs) {
  int gate[2];
  if (pipe(gate) != 0) throw std::runtime_error("pipe failed");
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const Bytes output = outputs + std::to_string(p);
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
      close(gate[1]);
      char byte;
      if (read(gate[0], &byte, 1) != 0) _exit(126);
      const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      close(out);
      execl(Program().c_str(), Program().c_str(), directory.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    children.push_back(child);
  }
  close(gate[0]);
  close(gate[1]);  // all start now
  std::vector<RunResult> results;
  for (int p = 0; p < kProcesses; ++p) {
    int status = 0;
    waitpid(children[static_cast<std::size_t>(p)], &status, 0);
    RunResult result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadBytes(outputs + std::to_string(p));
    results.push_back(result);
  }
  return results;
}

TEST_F(EndToEnd, ConcurrentRunsLoseNoCommentWriteNoneTwiceAndTearNoLine) {
  const std::regex lost_lock("Exception EInOutError in module logharvest at [0-9A-F]{8}\\.\nI/O error 32\\.\r\n");
  const Bytes kept = "kept  from before\r\n";
  int winners = 0;
  int losers = 0;
  int duplicates = 0;
  for (int round = 0; round < kRounds; ++round) {
    const Bytes dir = At("round" + std::to_string(round) + "/");
    MakeDirectory(dir);
    MakeDirectory(dir + "out");
    // Even rounds start without a list, odd ones with one to append to.
    if (round % 2 == 1) WriteBytes(dir + "descript.ion", kept + "\x1A");
    for (int i = 0; i < kLogs; ++i) {
      WriteBytes(dir + Name(i), "d");
      WriteBytes(dir + Name(i) + ".log", LogWithComment(" comment of " + Name(i)));
    }
    const std::vector<RunResult> results = RunTogether(dir, dir + "out/");
    const std::string where = "round " + std::to_string(round);
    for (const RunResult& result : results) {
      if (result.exit_code == 0) {
        EXPECT_EQ(result.out, "") << where;
        ++winners;
      } else {
        EXPECT_EQ(result.exit_code, 1) << where;
        EXPECT_TRUE(std::regex_match(result.out, lost_lock)) << where << ": " << result.out;
        ++losers;
      }
    }

    const Bytes list = ReadBytes(dir + "descript.ion");
    std::size_t at = 0;
    if (round % 2 == 1) {
      ASSERT_EQ(list.compare(0, kept.size(), kept), 0) << where;
      at = kept.size();
    }
    std::map<Bytes, int> seen;
    while (at < list.size()) {
      const std::size_t end = list.find("\r\n", at);
      ASSERT_NE(end, Bytes::npos) << where << ": the list does not end with a line end";
      seen[list.substr(at, end + 2 - at)] += 1;
      at = end + 2;
    }
    for (int i = 0; i < kLogs; ++i) {
      const auto found = seen.find(Line(i));
      EXPECT_TRUE(found != seen.end()) << where << ": lost " << Name(i);
      if (found != seen.end()) {
        duplicates += found->second - 1;
        seen.erase(found);
      }
      EXPECT_FALSE(Exists(dir + Name(i) + ".log")) << where << ": left " << Name(i);
    }
    for (const auto& torn : seen) ADD_FAILURE() << where << ": torn or foreign line " << torn.first;
    RemoveTree(dir);
  }
  EXPECT_GT(winners, 0);
  EXPECT_EQ(duplicates, 0);
  std::cout << "concurrent runs: " << kRounds << " rounds of " << kProcesses << " processes on " << kLogs << " logs; "
            << winners << " runs ended normally, " << losers << " lost the list lock, " << duplicates
            << " duplicate lines\n";
}

// Runs killed at a random moment, each followed by one more run: nothing is
// lost, nothing written twice, and no torn piece of a line is left in the
// list (a run completes a torn last line that starts one of its lines).
TEST_F(EndToEnd, KilledRunsLeaveNoTornPieceAfterTheNextRun) {
  constexpr int kKilledRounds = 8;
  constexpr int kManyLogs = 3000;
  std::mt19937 random(20261207);
  int torn_by_kills = 0;
  int torn_after = 0;
  auto lay_out = [&](const Bytes& dir) {
    MakeDirectory(dir);
    WriteBytes(dir + "descript.ion", "kept  from before\r\n");
    for (int i = 0; i < kManyLogs; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "f%05d.zip", i);
      WriteBytes(dir + name, "d");
      WriteBytes(dir + name + ".log", LogWithComment(" comment of " + Bytes(name) + " " + Bytes(60, 'c')));
    }
  };
  // How long an undisturbed run takes here: the kills fall within it.
  lay_out(At("whole/"));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Run({At("whole/")}).exit_code, 0);
  const auto whole = std::chrono::steady_clock::now() - start;
  RemoveTree(At("whole"));
  for (int round = 0; round < kKilledRounds; ++round) {
    const Bytes dir = At("killed" + std::to_string(round) + "/");
    lay_out(dir);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      execl(Program().c_str(), Program().c_str(), dir.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(whole * std::uniform_real_distribution<double>(0.05, 0.95)(random));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const Bytes after_kill = ReadBytes(dir + "descript.ion");
    torn_by_kills += after_kill.size() > 2 && after_kill.compare(after_kill.size() - 2, 2, "\r\n") != 0 ? 1 : 0;

    const std::string where = "round " + std::to_string(round);
    ASSERT_EQ(Run({dir}).exit_code, 0) << where;
    const Bytes list = ReadBytes(dir + "descript.ion");
    std::map<Bytes, int> lines;
    std::size_t at = 0;
    while (at < list.size()) {
      const std::size_t end = list.find("\r\n", at);
      ASSERT_NE(end, Bytes::npos) << where << ": the list does not end with a line end";
      ++lines[list.substr(at, end + 2 - at)];
      at = end + 2;
    }
    EXPECT_EQ(lines["kept  from before\r\n"], 1) << where;
    lines.erase("kept  from before\r\n");
    for (int i = 0; i < kManyLogs; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "f%05d.zip", i);
      const Bytes line = Bytes(name) + "  comment of " + name + " " + Bytes(60, 'c') + "\r\n";
      EXPECT_EQ(lines[line], 1) << where << ": " << name;
      lines.erase(line);
      EXPECT_FALSE(Exists(dir + name + ".log")) << where << ": " << name;
    }
    for (const auto& [line, count] : lines) {
      ADD_FAILURE() << where << ": a torn piece left: " << line;
      torn_after += count;
    }
    RemoveTree(dir);
  }
  std::cout << "killed runs: " << kKilledRounds << " rounds of " << kManyLogs << " logs; " << torn_by_kills
            << " kills left a torn last line, " << torn_after << " torn pieces were left after the next runs\n";
}

}  // namespace
