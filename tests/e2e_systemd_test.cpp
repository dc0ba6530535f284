// Harvest on arrival, as the package's systemd units do it on a booted
// systemd (scripts/systemd-env.sh boots it and runs this program): uploads
// are written here into the root's /srv, and the units inside see them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

Bytes Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? Bytes() : Bytes(value);
}

// A command in the booted system.
RunResult InSystem(const std::vector<Bytes>& command) {
  // -r -w: in systemd's own root and working directory.
  std::vector<Bytes> arguments = {"-t", Environment("LOGHARVEST_SYSTEMD_PID"), "-m", "-p", "-r", "-w"};
  arguments.insert(arguments.end(), command.begin(), command.end());
  return RunProgram("/usr/bin/nsenter", arguments);
}

Bytes Trimmed(Bytes text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Uploads belong to an account of their own, not to the runs' (root): a
// run needs its capabilities to take leases on them and delete them.
constexpr int kUploader = 65534;
int OpenUpload(const Bytes& path) {
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  EXPECT_GE(file, 0) << path;
  EXPECT_EQ(fchown(file, kUploader, kUploader), 0);
  return file;
}

void WriteFile(const Bytes& path, const Bytes& bytes) {
  const int file = OpenUpload(path);
  ASSERT_GE(file, 0) << path;
  ASSERT_EQ(write(file, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(close(file), 0);
}

// One upload area, /srv/NAME in the booted system, and its units.
class Area {
 public:
  explicit Area(const Bytes& name) : inside_("/srv/" + name) {
    host_ = Environment("LOGHARVEST_SYSTEMD_ROOT") + inside_ + "/";
    // An upload directory as such areas are: another account's, writable
    // by all, sticky.
    EXPECT_EQ(mkdir(host_.c_str(), 0755), 0) << host_;
    EXPECT_EQ(chown(host_.c_str(), kUploader - 1, kUploader - 1), 0);
    EXPECT_EQ(chmod(host_.c_str(), 01777), 0);
    instance_ = Trimmed(InSystem({"systemd-escape", "--path", inside_}).out);
  }
  Bytes Unit(ByteView kind) const { return "logharvest@" + instance_ + "." + Bytes(kind); }
  Bytes At(ByteView name) const { return host_ + Bytes(name); }
  void Systemctl(const std::vector<Bytes>& words) const {
    std::vector<Bytes> command = {"systemctl"};
    command.insert(command.end(), words.begin(), words.end());
    const RunResult result = InSystem(command);
    EXPECT_EQ(result.exit_code, 0) << "systemctl " << words[0] << ": " << result.out << result.err;
  }
  // A drop-in for one of this area's units.
  void DropIn(ByteView kind, const Bytes& text) const {
    const Bytes directory = Environment("LOGHARVEST_SYSTEMD_ROOT") + "/etc/systemd/system/" + Unit(kind) + ".d";
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    WriteFile(directory + "/test.conf", text);
  }
  // The file X, then its log X.log with the comment, each closed after writing.
  void Upload(const Bytes& name, const Bytes& comment) const {
    WriteFile(At(name), "data");
    WriteFile(At(name + ".log"), LogWithComment(comment));
  }
  Bytes List() const { return Exists(At("descript.ion")) ? ReadBytes(At("descript.ion")) : Bytes(); }
  bool Listed(const Bytes& line) const { return List().find(line + "\r\n") != Bytes::npos; }
  // Waits up to the given seconds for the line; the seconds it took, or -1.
  double WaitFor(const Bytes& line, double seconds) const {
    const auto start = Clock::now();
    while (Seconds(Clock::now() - start).count() < seconds) {
      if (Listed(line)) return Seconds(Clock::now() - start).count();
      PauseMilliseconds(10);
    }
    return -1;
  }
  const Bytes& Inside() const { return inside_; }

 private:
  Bytes inside_, host_, instance_;
};

Bytes LineOf(const Bytes& name, const Bytes& comment) { return name + " " + comment; }

// The program as the service runs it, counting its runs in a file and,
// where asked, staying at work a while after it.
void InstallProbe() {
  static std::once_flag once;
  std::call_once(once, [] {
    const Bytes root = Environment("LOGHARVEST_SYSTEMD_ROOT");
    mkdir((root + "/var/lib/probe").c_str(), 0755);
    WriteFile(root + "/usr/local/bin/logharvest-probe",
              "#!/bin/sh\necho run >>\"$PROBE_RUNS\"\n/usr/bin/logharvest \"$@\"\nstatus=$?\n"
              "sleep \"${PROBE_AFTER:-0}\"\nexit $status\n");
    chmod((root + "/usr/local/bin/logharvest-probe").c_str(), 0755);
  });
}
// The area's runs of the program so far, as the probe counted them.
Bytes RunsFile(const Area& area) { return "/var/lib/probe/" + area.Inside().substr(5); }
int Runs(const Area& area) {
  const Bytes path = Environment("LOGHARVEST_SYSTEMD_ROOT") + RunsFile(area);
  if (!Exists(path)) return 0;
  const Bytes text = ReadBytes(path);
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// The area's service runs the probe, which stays `after` seconds after the
// program; its path unit is enabled, and the run its timer starts at once
// has ended.
void StartWithProbe(const Area& area, const Bytes& after) {
  InstallProbe();
  area.DropIn("service", "[Service]\nEnvironment=LOGHARVEST=/usr/local/bin/logharvest-probe PROBE_RUNS=" +
                             RunsFile(area) + " PROBE_AFTER=" + after + "\nReadWritePaths=/var/lib/probe\n");
  area.Systemctl({"enable", "--now", area.Unit("path")});
  for (int i = 0; i < 500; ++i) {
    if (Runs(area) > 0 && Trimmed(InSystem({"systemctl", "is-active", area.Unit("service")}).out) == "inactive") {
      return;
    }
    PauseMilliseconds(10);
  }
  ADD_FAILURE() << area.Unit("service") << " never ended";
}

void ExpectNeverFailed(const Area& area) {
  for (const ByteView kind : {"path", "service", "timer"}) {
    const RunResult state = InSystem({"systemctl", "is-failed", area.Unit(kind)});
    EXPECT_NE(Trimmed(state.out), "failed") << area.Unit(kind);
  }
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? -1 : values[values.size() / 2];
}

// Watches a list and notes when each line first shows in it.
class ListWatch {
 public:
  explicit ListWatch(const Area& area) : area_(area), thread_([this] { Watch(); }) {}
  ~ListWatch() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  Clock::time_point Seen(const Bytes& line) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto found = seen_.find(line);
    return found == seen_.end() ? Clock::time_point::max() : found->second;
  }

 private:
  void Watch() {
    while (!stop_) {
      const Bytes list = area_.List();
      const auto now = Clock::now();
      std::lock_guard<std::mutex> hold(mutex_);
      for (std::size_t at = 0, end; (end = list.find("\r\n", at)) != Bytes::npos; at = end + 2) {
        seen_.emplace(list.substr(at, end - at), now);
      }
      PauseMilliseconds(5);
    }
  }
  const Area& area_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::map<Bytes, Clock::time_point> seen_;
  std::thread thread_;
};

// Uploads from several writers at once, each log closed at a noted time:
// every comment is listed exactly once, whole, and every log is gone. The
// seconds from each log's close to its line are returned.
std::vector<double> Uploads(const Area& area, int writers, int each, int pause_ms) {
  ListWatch watch(area);
  std::vector<std::map<Bytes, Clock::time_point>> closed(writers);
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < each; ++i) {
        const Bytes name = "w" + std::to_string(w) + "-" + std::to_string(i) + ".zip";
        area.Upload(name, " comment " + std::to_string(i) + " of writer " + std::to_string(w));
        closed[w][LineOf(name, " comment " + std::to_string(i) + " of writer " + std::to_string(w))] = Clock::now();
        if (pause_ms > 0) PauseMilliseconds(pause_ms);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::map<Bytes, Clock::time_point> expected;
  for (const auto& one : closed) expected.insert(one.begin(), one.end());
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline && (watch.Seen(expected.rbegin()->first) == Clock::time_point::max() ||
                                     std::any_of(expected.begin(), expected.end(), [&](const auto& line) {
                                       return watch.Seen(line.first) == Clock::time_point::max();
                                     }))) {
    PauseMilliseconds(50);
  }
  watch.Stop();
  std::vector<double> latencies;
  for (const auto& [line, at] : expected) {
    const auto seen = watch.Seen(line);
    EXPECT_NE(seen, Clock::time_point::max()) << "never listed: " << line;
    if (seen != Clock::time_point::max()) latencies.push_back(Seconds(seen - at).count());
  }
  // Exactly once, no torn or foreign line, and no log left.
  std::map<Bytes, int> counted;
  const Bytes list = area.List();
  EXPECT_TRUE(list.empty() || list.substr(list.size() - 2) == "\r\n");
  for (std::size_t at = 0, end; (end = list.find("\r\n", at)) != Bytes::npos; at = end + 2) {
    ++counted[list.substr(at, end - at)];
  }
  EXPECT_EQ(counted.size(), expected.size());
  for (const auto& [line, count] : counted) {
    EXPECT_EQ(count, 1) << line;
    EXPECT_TRUE(expected.count(line)) << "not written by any writer: " << line;
  }
  for (const auto& [line, at] : expected) {
    EXPECT_FALSE(Exists(area.At(line.substr(0, line.find(' ')) + ".log"))) << line;
  }
  return latencies;
}

void Report(const char* what, const std::vector<double>& latencies) {
  std::printf("systemd: %s: %zu uploads, close to line: median %.3f s, maximum %.3f s\n", what, latencies.size(),
              Median(latencies), latencies.empty() ? -1 : *std::max_element(latencies.begin(), latencies.end()));
}

TEST(HarvestOnArrival, TheUnitsAreSoundAndTheServiceIsSandboxed) {
  const Area area("verified");
  const RunResult verify =
      InSystem({"systemd-analyze", "verify", area.Unit("path"), area.Unit("service"), area.Unit("timer")});
  EXPECT_EQ(verify.exit_code, 0);
  EXPECT_EQ(verify.out + verify.err, "");
  const RunResult security = InSystem({"systemd-analyze", "security", "--no-pager", area.Unit("service")});
  const std::size_t at = security.out.find("Overall exposure level");
  ASSERT_NE(at, Bytes::npos) << security.out << security.err;
  const Bytes overall = security.out.substr(at, security.out.find('\n', at) - at);
  std::printf("systemd: %s\n", overall.c_str());
  EXPECT_TRUE(overall.find(" OK") != Bytes::npos || overall.find(" SAFE") != Bytes::npos) << overall;
}

// A log written in several writes a second apart is left by the runs that
// start while it is open (a file closed beside it starts one each second),
// and taken by the run after its close.
TEST(HarvestOnArrival, ALogStillBeingWrittenIsTakenAfterItsClose) {
  const Area area("slow");
  area.Systemctl({"enable", "--now", area.Unit("path")});
  WriteFile(area.At("slow.zip"), "data");
  const Bytes log = LogWithComment(" written slowly");
  const int file = OpenUpload(area.At("slow.zip.log"));
  ASSERT_GE(file, 0);
  for (std::size_t part = 0; part < 4; ++part) {
    const std::size_t from = part * log.size() / 4, to = (part + 1) * log.size() / 4;
    ASSERT_EQ(write(file, log.data() + from, to - from), static_cast<ssize_t>(to - from));
    area.Upload("other" + std::to_string(part) + ".zip", " other " + std::to_string(part));
    EXPECT_GE(area.WaitFor(LineOf("other" + std::to_string(part) + ".zip", " other " + std::to_string(part)), 5), 0);
    PauseMilliseconds(1000);
    EXPECT_FALSE(area.Listed(LineOf("slow.zip", " written slowly")));
    EXPECT_TRUE(Exists(area.At("slow.zip.log")));
  }
  ASSERT_EQ(close(file), 0);
  const double took = area.WaitFor(LineOf("slow.zip", " written slowly"), 5);
  std::printf("systemd: a log written slowly, listed %.3f s after its close\n", took);
  EXPECT_GE(took, 0);
  PauseMilliseconds(200);
  EXPECT_FALSE(Exists(area.At("slow.zip.log")));
  ExpectNeverFailed(area);
}

// A log closed while a run is at work (the run stays two seconds after the
// program, which left the open log) is listed by the next run of the same
// service, with nothing else arriving: not at the timer's minute.
TEST(HarvestOnArrival, ALogClosedWhileARunIsAtWorkIsListedSoonAfter) {
  const Area area("during");
  StartWithProbe(area, "2");
  const int file = OpenUpload(area.At("late.zip.log"));
  ASSERT_GE(file, 0);
  const Bytes log = LogWithComment(" closed during a run");
  ASSERT_EQ(write(file, log.data(), log.size()), static_cast<ssize_t>(log.size()));
  const int runs = Runs(area);
  WriteFile(area.At("late.zip"), "data");
  PauseMilliseconds(800);
  EXPECT_GT(Runs(area), runs) << "no run at work";
  EXPECT_EQ(Trimmed(InSystem({"systemctl", "is-active", area.Unit("service")}).out), "activating");
  ASSERT_EQ(close(file), 0);
  const double took = area.WaitFor(LineOf("late.zip", " closed during a run"), 10);
  std::printf("systemd: a log closed while a run was at work, listed %.3f s after its close\n", took);
  EXPECT_GE(took, 0);
  ExpectNeverFailed(area);
}

// Hundreds of uploads from several writers at once.
TEST(HarvestOnArrival, ABurstIsListedExactlyOnce) {
  const Area area("burst");
  area.Systemctl({"enable", "--now", area.Unit("path")});
  Report("a burst from 6 writers", Uploads(area, 6, 60, 5));
  ExpectNeverFailed(area);
}

// One upload every half second for a minute: every comment listed, the
// units never failed.
TEST(HarvestOnArrival, ASteadyStreamNeverFailsTheUnits) {
  const Area area("stream");
  area.Systemctl({"enable", "--now", area.Unit("path")});
  Report("one upload every half second for a minute", Uploads(area, 1, 120, 500));
  ExpectNeverFailed(area);
}

// A quiet upload starts few runs: the run's own writes and deletions start
// no other.
TEST(HarvestOnArrival, AQuietUploadStartsFewRuns) {
  const Area area("quiet");
  StartWithProbe(area, "0");
  const int before = Runs(area);
  area.Upload("quiet.zip", " quiet");
  EXPECT_GE(area.WaitFor(LineOf("quiet.zip", " quiet"), 5), 0);
  PauseMilliseconds(3000);
  const int runs = Runs(area) - before;
  std::printf("systemd: a quiet upload started %d runs of the program\n", runs);
  EXPECT_GE(runs, 1);
  EXPECT_LE(runs, 3);
}

// The timer alone harvests its directory. The path unit starts its timer
// and stops it: once disabled, nothing more is harvested.
TEST(HarvestOnArrival, TheTimerAloneHarvestsAndADisabledUnitNothingMore) {
  const Area area("timer");
  area.DropIn("timer", "[Timer]\nOnUnitInactiveSec=2s\n");
  area.Systemctl({"daemon-reload"});
  area.Systemctl({"enable", "--now", area.Unit("timer")});
  EXPECT_EQ(Trimmed(InSystem({"systemctl", "is-active", area.Unit("path")}).out), "inactive");
  area.Upload("timed.zip", " by the timer");
  EXPECT_GE(area.WaitFor(LineOf("timed.zip", " by the timer"), 8), 0);

  const Area off("off");
  off.Systemctl({"enable", "--now", off.Unit("path")});
  off.Upload("on.zip", " while enabled");
  EXPECT_GE(off.WaitFor(LineOf("on.zip", " while enabled"), 5), 0);
  EXPECT_EQ(Trimmed(InSystem({"systemctl", "is-active", off.Unit("timer")}).out), "active");
  off.Systemctl({"disable", "--now", off.Unit("path")});
  EXPECT_EQ(Trimmed(InSystem({"systemctl", "is-active", off.Unit("timer")}).out), "inactive");
  area.Systemctl({"disable", "--now", area.Unit("timer")});
  PauseMilliseconds(500);
  off.Upload("off.zip", " while disabled");
  area.Upload("late.zip", " after the timer");
  PauseMilliseconds(4000);
  EXPECT_FALSE(off.Listed(LineOf("off.zip", " while disabled")));
  EXPECT_TRUE(Exists(off.At("off.zip.log")));
  EXPECT_FALSE(area.Listed(LineOf("late.zip", " after the timer")));
}

}  // namespace
