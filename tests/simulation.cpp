#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "app/harvest.h"
#include "common/exception.h"
#include "common/io_result.h"
#include "simulation_world.h"

namespace sim {

Simulation::Simulation(std::uint64_t seed, SimulationTally* tally, bool trace)
    : seed_(seed),
      random_(seed),
      extra_(seed ^ 0xA5A5A5A5u),
      tally_(tally),
      trace_(trace),
      world_(Random(seed ^ 0x5555).OneIn(4) ? PathStyle::kWindows : PathStyle::kPosix),
      platform_(world_, *this),
      names_(Names()) {}

void Simulation::Event(const std::string& kind, const std::string& what) {
  outcome_.story.push_back("  call " + std::to_string(calls_) + ": " + what);
  if (tally_ != nullptr) ++tally_->events[kind];
}

// --- runs ---

bool Simulation::RunOnce(int rate, const std::string& label) {
  outcome_.story.push_back("run " + label + (rate > 0 ? ", events at one call in " + std::to_string(rate) : ""));
  if (tally_ != nullptr) ++tally_->runs;
  rate_ = rate;
  in_run_ = true;
  appending_ = after_directory_sync_ = committed_ = edited_when_committed_ = false;
  list_handles_.clear();
  in_replacement_ = false;
  stale_handles_.clear();
  consumed_now_.clear();
  log_handles_.clear();
  log_bytes_read_.clear();
  world_.arguments = {world_.Root()};
  kept_out_ = false;
  bool ended = false;
  Platform* previous = SetPlatform(&platform_);
  TakeIoResult();
  try {
    HarvestRun(windows_);
    ended = true;
  } catch (const Killed&) {
  } catch (const EInOutError& failure) {
    // On Windows a program that holds the list open to write keeps every
    // run out, which ends with the report of a sharing violation.
    if (failure.Code() != kErrorSharingViolation || !kept_out_) {
      Violation("the run fails with " + std::to_string(failure.Code()) + ": " + failure.Message());
    }
  } catch (const std::exception& failure) {
    Violation(std::string("the run ends by ") + failure.what());
  }
  SetPlatform(previous);
  TakeIoResult();
  CheckNewFileAccess();
  in_run_ = false;
  if (world_.Killed()) world_.Restart();
  if (world_.open_files != 0 || world_.open_walks != 0) Violation("the run leaves files or walks open");
  if (ended) {
    // A run that stopped while it replaced the list left its new file: the
    // next run removes it.
    for (const Bytes& name : world_.Names(world_.Root())) {
      if (IsReplacementName(name)) {
        Violation("a run ends with the new file of a replacement left: " + Shown(name));
      }
    }
    if (rate == 0) CheckOneLinePerName();
  }
  if (trace_ || !outcome_.violations.empty())
    outcome_.story.push_back("  the list now: \"" + Shown(ListNow(), 100000) + "\"");
  return ended;
}

SimulationOutcome Simulation::Run() {
  DrawWorld();
  const int event_runs = static_cast<int>(random_.Between(1, 3));
  for (int run = 0; run < event_runs && outcome_.violations.empty(); ++run) {
    RunOnce(static_cast<int>(random_.Between(4, 60)), std::to_string(run + 1));
    EndOfRun(false);
  }
  EndOfRun(true);
  for (Version& v : versions_) {
    if (v.was_unreadable && world_.Exists(v.log)) world_.MakeUnopenable(v.log, 0);
  }
  if (outcome_.violations.empty() && RunOnce(0, "to recover")) CheckEnd();
  if (outcome_.violations.empty()) {
    const Bytes before = ListNow();
    // The logs that stay with a log of their name the run may not delete
    // go once its line, beyond the tail, is written again after theirs.
    const auto names_now = [&] {
      std::vector<Bytes> names = world_.Names(world_.Root());
      names.erase(std::remove_if(names.begin(), names.end(),
                                 [&](const Bytes& name) {
                                   // Its latest version: a power loss may have brought back
                                   // a log that was deleted.
                                   const Bytes path = world_ / name;
                                   const auto v = std::find_if(versions_.rbegin(), versions_.rend(),
                                                               [&](const Version& w) { return w.log == path; });
                                   return v != versions_.rend() && v->refusal == 0 && StaysWithARefusedLog(*v);
                                 }),
                  names.end());
      return names;
    };
    const std::vector<Bytes> names = names_now();
    std::set<Bytes> held;
    for (const Version& v : versions_) {
      if (v.state == Version::kPresent && !LineOf(v).empty() && StaysWithARefusedLog(v)) held.insert(LineOf(v));
    }
    RunOnce(0, "once more");
    // Only an error line comes again, once a long line pushed the last one
    // out of the tail.
    const Bytes after = ListNow();
    // So does the line of a log the run may not delete, once it lies beyond
    // the tail,
    std::vector<std::size_t> starts;
    const std::vector<Bytes> lines_before = LogicalLines(before, &starts);
    // or once a line of its name that no log there claims (a piece a run
    // ended, the line of a log replaced or gone) follows it.
    const auto beyond_reach = [&](const Bytes& line) {
      for (std::size_t i = lines_before.size(); i-- > 0;) {
        if (lines_before[i] != line) continue;
        if (static_cast<std::int64_t>(before.size() - starts[i]) >= windows_.tail_bytes) return true;
        return std::any_of(lines_before.begin() + static_cast<std::ptrdiff_t>(i) + 1, lines_before.end(),
                           [&](const Bytes& after_it) {
                             return NameOf(after_it) == NameOf(line) &&
                                    std::none_of(versions_.begin(), versions_.end(), [&](const Version& v) {
                                      const bool there = v.state == Version::kPresent && world_.Exists(v.log);
                                      return (there && LineOf(v) == after_it) || ErrorLineOf(v) == after_it;
                                    });
                           });
      }
      return true;
    };
    std::vector<Bytes> added = LogicalLines(after.substr(std::min(before.size(), after.size())));
    added.erase(std::remove_if(added.begin(), added.end(),
                               [&](const Bytes& line) {
                                 const bool error_line =
                                     std::any_of(versions_.begin(), versions_.end(),
                                                 [&](const Version& v) { return ErrorLineOf(v) == line; });
                                 return error_line || (held.count(line) != 0 && beyond_reach(line));
                               }),
                added.end());
    if (after.compare(0, before.size(), before) != 0 || !added.empty()) {
      Violation("a second run after recovery changes the list: \"" +
                Shown(after.substr(std::min(before.size(), after.size()))) + "\"");
    }
    if (names_now() != names) Violation("a second run after recovery deletes a log");
  }
  if (tally_ != nullptr) ++tally_->seeds;
  return outcome_;
}

// --- the platform's calls ---

void SimPlatform::Between(const char* operation, const Bytes& what) { sim_.Between(operation, what); }

bool SimPlatform::IsExistingFile(const Bytes& path) {
  Between("IsExistingFile", path);
  sim_.OnCall(kNoFile, "IsExistingFile");
  return world_.IsExistingFile(path);
}
bool SimPlatform::IsExistingDirectory(const Bytes& path) {
  Between("IsExistingDirectory", path);
  sim_.OnCall(kNoFile, "IsExistingDirectory");
  return world_.IsExistingDirectory(path);
}
int SimPlatform::FindFirst(const Bytes& pattern, FindHandle* find, FoundEntry* entry) {
  Between("FindFirst", pattern);
  sim_.OnCall(kNoFile, "FindFirst");
  return world_.FindFirst(pattern, find, entry);
}
int SimPlatform::FindNext(FindHandle find, FoundEntry* entry) {
  Between("FindNext", "");
  sim_.OnCall(kNoFile, "FindNext");
  return world_.FindNext(find, entry);
}
int SimPlatform::Remove(const Bytes& path) {
  Between("Remove", path);
  sim_.OnCall(kNoFile, "Remove");
  if (!world_.Killed()) sim_.BeforeRemove(path);
  const int result = world_.Remove(path);
  if (!world_.Killed()) sim_.AfterRemove(path, result);
  return result;
}
// One call, as the platforms make it one: the check and the deletion.
int SimPlatform::RemoveIfUnchanged(const Bytes& path, const FileIdentity& identity) {
  Between("RemoveIfUnchanged", path);
  sim_.OnCall(kNoFile, "RemoveIfUnchanged");
  FileIdentity now;
  if (world_.IdentityAt(path, &now) == 0 && now == identity && !world_.Killed()) sim_.BeforeRemove(path);
  const int result = world_.RemoveIfUnchanged(path, identity);
  if (!world_.Killed()) sim_.AfterRemove(path, result);
  return result;
}

int SimPlatform::IdentityAt(const Bytes& path, FileIdentity* identity) {
  Between("IdentityAt", path);
  sim_.OnCall(kNoFile, "IdentityAt");
  sim_.OnIdentityAt(path);
  return world_.IdentityAt(path, identity);
}
int SimPlatform::SyncDirectory(const Bytes& path) {
  Between("SyncDirectory", path);
  sim_.OnCall(kNoFile, "SyncDirectory");
  const int result = world_.SyncDirectory(path);
  if (result == 0) sim_.OnDirectorySync();
  return result;
}
int SimPlatform::Open(const Bytes& path, OpenMode mode, FileHandle* file) {
  Between("Open", path);
  sim_.OnCall(kNoFile, "Open");
  const int result = world_.Open(path, mode, file);
  if (result == 0) sim_.OnOpen(path, mode, *file);
  if (result == kErrorSharingViolation && mode != OpenMode::kRead) sim_.OnListKeptOut();
  return result;
}
int SimPlatform::Read(FileHandle file, char* buffer, std::size_t size, std::size_t* done) {
  Between("Read", "");
  sim_.OnCall(file, "Read");
  const int result = world_.Read(file, buffer, size, done);
  if (result == 0 && !world_.Killed()) sim_.AfterRead(file, *done);
  return result;
}
int SimPlatform::Write(FileHandle file, const char* data, std::size_t size, std::size_t* done) {
  Between("Write", Bytes(data, std::min<std::size_t>(size, 30)));
  if (!world_.Killed() && sim_.IsList(file)) sim_.BeforeListWrite(file, ByteView(data, size));
  sim_.OnCall(file, "Write", ByteView(data, size));
  return world_.Write(file, data, size, done);
}
int SimPlatform::Seek(FileHandle file, std::int64_t offset, SeekOrigin origin, std::int64_t* position) {
  Between("Seek", "");
  sim_.OnCall(file, "Seek");
  return world_.Seek(file, offset, origin, position);
}
int SimPlatform::DataRange(FileHandle file, std::int64_t from, std::int64_t* start, std::int64_t* end) {
  Between("DataRange", "");
  sim_.OnCall(file, "DataRange");
  return world_.DataRange(file, from, start, end);
}
int SimPlatform::Truncate(FileHandle file) {
  Between("Truncate", "");
  sim_.OnCall(file, "Truncate");
  if (!world_.Killed() && sim_.IsList(file)) sim_.BeforeListTruncate(file);
  return world_.Truncate(file);
}
int SimPlatform::Size(FileHandle file, std::int64_t* size) {
  Between("Size", "");
  sim_.OnCall(file, "Size");
  return world_.Size(file, size);
}
int SimPlatform::Kind(FileHandle file, HandleKind* kind) {
  Between("Kind", "");
  sim_.OnCall(file, "Kind");
  return world_.Kind(file, kind);
}
int SimPlatform::Identify(FileHandle file, FileIdentity* identity) {
  Between("Identify", "");
  sim_.OnCall(file, "Identify");
  sim_.OnIdentify(file);
  return world_.Identify(file, identity);
}
int SimPlatform::Sync(FileHandle file) {
  Between("Sync", "");
  sim_.OnCall(file, "Sync");
  return world_.Sync(file);
}
int SimPlatform::Close(FileHandle file) {
  Between("Close", "");
  sim_.OnCall(file, "Close");
  return world_.Close(file);
}
int SimPlatform::CreateLike(const Bytes& path, FileHandle model, FileHandle* file) {
  Between("CreateLike", path);
  sim_.OnCall(kNoFile, "CreateLike");
  const int result = world_.CreateLike(path, model, file);
  if (result == 0) sim_.OnCreateLike();
  return result;
}
int SimPlatform::CopyRange(FileHandle from, std::int64_t offset, std::int64_t length, FileHandle to,
                           std::int64_t* done) {
  Between("CopyRange", "");
  sim_.OnCall(kNoFile, "CopyRange");
  return world_.CopyRange(from, offset, length, to, done);
}
// One call, as the platforms make it one: the check and the rename.
int SimPlatform::ReplaceOpenFile(FileHandle file, const Bytes& path, const FileIdentity& expected,
                                 FileHandle replacement, const Bytes& replacement_path) {
  Between("ReplaceOpenFile", path);
  sim_.OnCall(kNoFile, "ReplaceOpenFile");
  if (!world_.Killed()) sim_.BeforeReplace(file, replacement);
  const int result = world_.ReplaceOpenFile(file, path, expected, replacement, replacement_path);
  if (!world_.Killed()) sim_.AfterReplace(result);
  return result;
}

}  // namespace sim

SimulationOutcome Simulate(std::uint64_t seed, SimulationTally* tally, bool trace) {
  return sim::Simulation(seed, tally, trace).Run();
}

std::string Describe(std::uint64_t seed, const SimulationOutcome& outcome) {
  std::string text = "seed " + std::to_string(seed) + " fails:\n";
  for (const std::string& violation : outcome.violations) text += "  ! " + violation + "\n";
  for (const std::string& line : outcome.story) text += line + "\n";
  return text;
}
