// Several runs started together on one directory.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <regex>
#include <stdexcept>

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

TEST_F(EndToEnd, ConcurrentRunsLoseNoCommentAndTearNoLine) {
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
  std::cout << "concurrent runs: " << kRounds << " rounds of " << kProcesses << " processes on " << kLogs << " logs; "
            << winners << " runs ended normally, " << losers << " lost the list lock, " << duplicates
            << " duplicate lines\n";
}

}  // namespace
