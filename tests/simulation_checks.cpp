// The checks on what a run does, as it does it and at the end.
#include <algorithm>

#include "simulation_world.h"

namespace sim {

// A name whose characters code page 866 all holds is written in it, in
// either style; any other as the file system's bytes (UTF-8, or on Windows
// the ANSI code page).
Bytes Simulation::ListName(const Name& name) const {
  if (!name.raw.empty()) return name.raw;
  if (utf8_list_) return Join(name.chars, &Char::utf8);
  if (AllIn866(name.chars)) return Join(name.chars, &Char::cp866);
  return Join(name.chars, posix_ ? &Char::utf8 : &Char::cp1251);
}

Bytes Simulation::LineOf(const Version& version) const {
  if (!version.commented || !version.has_companion || version.over_cap) return Bytes();
  Bytes name = ListName(*version.name);
  // The companion as the log names it: in the POSIX style the two spellings
  // of X.ZIP are two files.
  if (name.find_first_of("\r\n\x1A") != Bytes::npos) return Bytes();
  if (!bbs_ && name.find('"') != Bytes::npos) return Bytes();
  if (!bbs_ && name.find_first_of(" \t") != Bytes::npos) name = "\"" + name + "\"";
  return name + " " + ListText(version);
}

Bytes Simulation::KeyOf(const Bytes& line) const {
  Bytes name = NameOf(line);
  if (!posix_) {
    std::transform(name.begin(), name.end(), name.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
  }
  return name;
}

bool Simulation::StaysWithARefusedLog(const Version& version, bool ever) const {
  return std::any_of(versions_.begin(), versions_.end(), [&](const Version& v) {
    // A log a power loss brought back after its deletion counts too.
    return (v.refusal != 0 || (ever && v.was_refused)) && v.state != Version::kSuperseded && world_.Exists(v.log) &&
           !LineOf(v).empty() && KeyOf(LineOf(v)) == KeyOf(LineOf(version));
  });
}

const Bytes& Simulation::ListText(const Version& version) const {
  if (utf8_list_) return version.comment.utf8;
  return version.encoding == Version::kWindows1251 ? version.comment.cp866 : version.comment.cp866_of_unicode;
}

Bytes Simulation::ErrorLineOf(const Version& version) const {
  Bytes name = ListName(*version.name);
  if (!bbs_ && name.find_first_of(" \t") != Bytes::npos) name = "\"" + name + "\"";
  return name + " " + kErrorText;
}

// --- the checks on what the run does ---

// The list's lines as its readers and the run take them: each ends at an LF,
// with the CR before it; a last line without an LF is as it is.
std::vector<Bytes> Simulation::LogicalLines(const Bytes& list, std::vector<std::size_t>* starts) const {
  std::vector<Bytes> lines;
  std::size_t start = list.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  for (std::size_t lf = list.find('\n', start); lf != Bytes::npos; lf = list.find('\n', start)) {
    const std::size_t end = lf > start && list[lf - 1] == '\r' ? lf - 1 : lf;
    if (starts != nullptr) starts->push_back(start);
    lines.push_back(list.substr(start, end - start));
    start = lf + 1;
  }
  if (start < list.size()) {
    if (starts != nullptr) starts->push_back(start);
    lines.push_back(list.substr(start));
  }
  if (starts != nullptr) starts->push_back(list.size());
  return lines;
}

void Simulation::OnOpen(const Bytes& path, OpenMode mode, FileHandle file) {
  if (mode != OpenMode::kRead && IsReplacementName(path)) {
    in_replacement_ = true;
  } else if (mode != OpenMode::kRead) {
    list_handles_.insert(file);
    ++list_opens_;
    before_first_write_ = true;
    FileIdentity opened;
    FileIdentity named;
    if (world_.Identify(file, &opened) == 0 && (world_.IdentityAt(path, &named) != 0 || !SameFile(opened, named))) {
      stale_handles_.insert(file);
    }
  } else {
    log_handles_[file] = path;
    log_bytes_read_[file] = 0;
  }
}

// The run takes a log's identity once it has opened it: the version there
// then is the one it reads, and the one it may delete.
void Simulation::OnIdentify(FileHandle file) {
  const auto log = log_handles_.find(file);
  if (log == log_handles_.end()) return;
  if (const Version* v = CurrentVersion(log->second)) read_version_[log->second] = v->id;
}

void Simulation::OnCall(FileHandle file, const char* operation, ByteView data) {
  const Bytes op = operation;
  if (file == kNoFile || !IsList(file)) {
    appending_ = false;
    return;
  }
  // A look at the end, a move to it and the write of a missing line end
  // lead to the write there.
  if (op == "Size") {
    appending_ = true;
  } else if (op != "Seek" && op != "Read" && !(op == "Write" && (data == "\r\n" || data == "\n"))) {
    appending_ = false;
  }
  if (op == "Write" || op == "Sync") after_directory_sync_ = committed_ = edited_when_committed_ = false;
}

// Memory stays bounded whatever a log holds: the run reads no more of a
// log than its comment line's cap and the lines before. Beyond that it is
// stopped, as a machine out of memory would stop it.
void Simulation::AfterRead(FileHandle file, std::size_t bytes) {
  if (IsList(file) && before_first_write_) NoteTailRead();
  if (log_handles_.count(file) == 0) return;
  std::int64_t& read = log_bytes_read_[file];
  read += static_cast<std::int64_t>(bytes);
  if (read <= 4 * kCommentCap) return;
  Violation("the run reads more than " + std::to_string(4 * kCommentCap) + " bytes of " + Shown(log_handles_[file]));
  world_.Kill();
  throw Killed();
}

// A run reads the list's tail once it has opened it, before it writes. A
// crashed run's lines
// span at most a batch's span (or the one line longer than that); where
// other programs then wrote more than the rest of the tail after them, the
// run no longer reads them, and their logs get their lines again, as
// nothing a run does can prevent. Where the run's own lines pushed them out,
// nothing allows it.
void Simulation::NoteTailRead() {
  const Bytes list = ListNow();
  std::vector<std::size_t> starts;
  const std::vector<Bytes> lines = LogicalLines(list, &starts);
  std::set<Bytes> of_logs;
  std::set<Bytes> ours;
  std::set<Bytes> held;  // lines of logs that stay for want of the right to delete them
  for (const Version& v : versions_) {
    if (!LineOf(v).empty()) of_logs.insert(LineOf(v));
    ours.insert({LineOf(v), ErrorLineOf(v)});
    if (v.state == Version::kPresent && !LineOf(v).empty() && StaysWithARefusedLog(v, true)) held.insert(LineOf(v));
  }
  std::set<Bytes> seen;
  std::int64_t foreign = 0;  // after the line at i
  for (std::size_t i = lines.size(); i-- > 0;) {
    const Bytes& line = lines[i];
    const std::int64_t from_end = static_cast<std::int64_t>(list.size() - starts[i]);
    const std::int64_t batch = std::max<std::int64_t>(windows_.batch_span_bytes, line.size() + 2);
    const bool last = of_logs.count(line) != 0 && seen.insert(line).second;
    if (last && from_end > windows_.tail_bytes && foreign + batch > windows_.tail_bytes) {
      pushed_out_[line].insert(list_opens_);
    }
    // The line of a log a run could not delete is written again once the
    // lines after it, the runs' own too, pushed it out of the tail.
    if (last && from_end > windows_.tail_bytes && held.count(line) != 0) held_out_[line].insert(list_opens_);
    if (ours.count(line) == 0) foreign += static_cast<std::int64_t>(starts[i + 1] - starts[i]);
  }
}

// The run's last look at the list before it deletes logs: a change after it
// is one no run can see, as if it came after the run.
void Simulation::OnIdentityAt(const Bytes& path) {
  if (path != list_path_ || !after_directory_sync_) return;
  committed_ = true;
  edited_when_committed_ = false;
}

void Simulation::BeforeListWrite(FileHandle file, ByteView data) {
  before_first_write_ = false;
  if (stale_handles_.count(file) != 0) {
    Violation("the run writes into the old list, whose name a second run's new list took before the lock was free");
  }
  const Bytes* content = world_.ContentOf(file);
  if (content == nullptr || data.empty() || content->empty()) return;
  if (world_.Style() == PathStyle::kWindows) {
    std::int64_t at = 0;
    world_.Seek(file, 0, SeekOrigin::kCurrent, &at);
    if (at != static_cast<std::int64_t>(content->size())) {
      Violation("the run writes at " + std::to_string(at) + ", not at the list's end " +
                std::to_string(content->size()));
    }
  }
  const char last = content->back();
  if (last == '\n' || *content == "\xEF\xBB\xBF") return;  // the first line starts after the mark
  const Bytes joined = LastLine(*content) + Bytes(data.substr(0, data.find('\r')));
  const bool completes = std::any_of(versions_.begin(), versions_.end(),
                                     [&](const Version& v) { return !LineOf(v).empty() && LineOf(v) == joined; });
  if (last == '\r' ? data[0] != '\n' : (data.substr(0, 2) != "\r\n" && !completes)) {
    Violation("the run writes \"" + Shown(data, 30) + "\" after \"" +
              Shown(ByteView(*content).substr(content->size() - std::min<std::size_t>(content->size(), 30))) +
              "\" without the line end it lacks");
  }
}

void Simulation::BeforeListTruncate(FileHandle file) {
  const Bytes* content = world_.ContentOf(file);
  std::int64_t at = 0;
  world_.Seek(file, 0, SeekOrigin::kCurrent, &at);
  const std::size_t window = content->size() > 128 ? content->size() - 128 : 0;
  if (content->find('\x1A', window) != static_cast<std::size_t>(at)) {
    Violation("the run cuts the list at " + std::to_string(at) + ", not at an end-of-file mark in its last 128 bytes");
  }
}

void Simulation::BeforeRemove(const Bytes& path) {
  const Version* v = CurrentVersion(path);
  if (v == nullptr) return;
  const auto read = read_version_.find(path);
  if (read == read_version_.end() || read->second != v->id) {
    Violation("the run deletes " + Shown(path) + ", which changed since it was read");
    return;
  }
  const Bytes line = LineOf(*v);
  if (line.empty() || (committed_ && edited_when_committed_)) return;
  Bytes durable;
  if (!world_.DurableContent(list_path_, &durable) || durable.find(line + "\r\n") == Bytes::npos) {
    Violation("the run deletes " + Shown(path) + " before its line \"" + Shown(line) + "\" is on stable storage");
  }
}

void Simulation::AfterRemove(const Bytes& path, int result) {
  Version* v = CurrentVersion(path);
  if (result != 0 || v == nullptr) return;
  if (v->writing) Violation("the run deletes " + Shown(path) + " while its writer is still at work");
  v->state = Version::kConsumed;
  v->consumed_at = ++deletions_;
  v->consumed_in = list_opens_;
  consumed_now_.push_back(v->id);
  if (committed_ && edited_when_committed_) v->exempt = true;
}

void Simulation::CheckEnd() {
  const Bytes list = ListNow();
  outcome_.story.push_back("  the list at the end: \"" + Shown(list, 100000) + "\"");
  std::vector<Bytes> lines = LogicalLines(list);
  // Another program's last line may end in a CR alone.
  if (!lines.empty() && list.back() == '\r') lines.back().pop_back();
  std::map<Bytes, int> count;
  for (const Bytes& line : lines) ++count[line];
  std::multiset<Bytes> allowed = allowed_;
  std::multiset<Bytes> pieces = ended_pieces_;
  std::set<Bytes> error_lines;
  for (const Version& v : versions_) {
    error_lines.insert(ErrorLineOf(v));
    const Bytes line = LineOf(v);
    const bool stays = line.empty();
    // A log the run may not delete stays with its line in the list, and so
    // do the later logs of its name.
    const bool held = v.state == Version::kPresent && !stays && StaysWithARefusedLog(v);
    if (v.state == Version::kPresent && !stays && !held)
      Violation("not harvested: " + Shown(v.log) + " (\"" + Shown(line) + "\")");
    if (stays && v.state == Version::kConsumed && v.commented)
      Violation("a log that has no line was deleted: " + Shown(v.log));
    if (v.over_cap && !world_.Exists(v.log)) Violation("a log over the cap was deleted: " + Shown(v.log));
    if (line.empty()) continue;
    const int n = count.count(line) != 0 ? count[line] : 0;
    // A line longer than the tail is beyond what the next run reads: after a
    // crash between writing it and deleting its log it is written again.
    // Lines the world pushed out of a run's tail come again (see
    // NoteTailRead). Both only where that run could not replace the list:
    // a replacement leaves out the older line of a name it harvested.
    const auto tidied = [&](int open) {
      const auto replaced = replaced_in_.find(open);
      return replaced != replaced_in_.end() && replaced->second.count(KeyOf(line)) == 0;
    };
    const bool beyond_tail = static_cast<std::int64_t>(line.size() + 2) > windows_.tail_bytes && !tidied(v.consumed_in);
    int pushed_out = held_out_.count(line) != 0 ? static_cast<int>(held_out_.at(line).size()) : 0;
    if (pushed_out_.count(line) != 0) {
      for (const int open : pushed_out_.at(line)) pushed_out += tidied(open) ? 0 : 1;
    }
    // A log that could not be read while a killed run's line of it waited
    // in the tail cannot claim that line: the run's own lines may push it
    // out, and the log gets its line again once it can be read. Where
    // another log of the same name changed, or could not be read, the line
    // a killed run wrote of it vouches for no log, and the lines of the name
    // before it for none: one of them may come again, once for each such
    // log. So do they after another program made a line of the name (it
    // ended a torn piece, or cut or rewrote a line), which no log claims;
    // and a line that lacked its line end when another program wrote after
    // it may stay as that program left it, the whole line following.
    const Bytes name_part = line.substr(0, line.size() - ListText(v).size());
    const Bytes name = NameOf(line);
    int again = 0;
    for (const Version& w : versions_) {
      // Each of these happens apart from the others, and each may bring
      // the line once more.
      if (!LineOf(w).empty() && NameOf(LineOf(w)) == name) {
        // A log left for want of the right to delete it may meet a line of
        // its name that no log claims after its own (a piece a run ended)
        // in a later run: its line comes once more.
        again += (w.state == Version::kSuperseded) + w.was_unreadable + w.replaced + w.damaged + w.was_refused;
      }
    }
    for (const Bytes& piece : ended_pieces_) again += NameOf(piece) == name ? 1 : 0;
    const int most = beyond_tail ? n : 1 + again + pushed_out;
    // A run that harvested a newer comment of its name took its line out.
    const bool taken_over = std::any_of(versions_.begin(), versions_.end(), [&](const Version& w) {
      return w.consumed_at > v.consumed_at && !LineOf(w).empty() && KeyOf(LineOf(w)) == KeyOf(line);
    });
    if ((v.state == Version::kConsumed || held) && (n > most || (n == 0 && !v.exempt && !taken_over))) {
      Violation("the comment of " + Shown(v.log) + " is in the list " + std::to_string(n) + " times: \"" + Shown(line) +
                "\"");
    }
    if (v.state == Version::kSuperseded && n > most) {
      Violation("a replaced log's line is there " + std::to_string(n) + " times: " + Shown(line));
    }
  }
  // Every line is a line of a log, an error line, or one the list or
  // another program had; a torn piece only where another program ended it
  // (or its log changed) and the whole line follows.
  std::map<Bytes, int> seen;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Bytes& line = lines[i];
    if (std::any_of(versions_.begin(), versions_.end(), [&](const Version& v) { return LineOf(v) == line; })) continue;
    if (error_lines.count(line) != 0) continue;
    if (const auto found = allowed.find(line); found != allowed.end()) {
      allowed.erase(found);
      continue;
    }
    bool piece = false;
    for (const Version& v : versions_) {
      const Bytes whole = LineOf(v);
      if (whole.size() <= line.size() || whole.compare(0, line.size(), line) != 0) continue;
      const bool beyond_tail = static_cast<std::int64_t>(whole.size() + 2) > windows_.tail_bytes;
      const bool ended = pieces.count(line) != 0 || v.state == Version::kSuperseded || v.was_unreadable || beyond_tail;
      const bool follows =
          std::find(lines.begin() + static_cast<std::ptrdiff_t>(i) + 1, lines.end(), whole) != lines.end();
      if (ended && (follows || v.state != Version::kConsumed)) piece = true;
    }
    for (const Version& v : versions_) {
      const Bytes whole = ErrorLineOf(v);
      if (whole.size() > line.size() && whole.compare(0, line.size(), line) == 0) piece = true;
    }
    if (piece) {
      if (pieces.count(line) != 0) pieces.erase(pieces.find(line));
      continue;
    }
    Violation("a line no log and no other program wrote: \"" + Shown(line, 60) + "\"");
  }
  // The latest comment of a log is the last of its lines.
  for (const Version& v : versions_) {
    if (v.state != Version::kConsumed || LineOf(v).empty()) continue;
    const auto at = std::find(lines.rbegin(), lines.rend(), LineOf(v));
    for (const Version& older : versions_) {
      if (older.log != v.log || older.id >= v.id || older.state != Version::kConsumed || LineOf(older).empty())
        continue;
      const auto older_at = std::find(lines.rbegin(), lines.rend(), LineOf(older));
      if (at != lines.rend() && older_at != lines.rend() && older_at < at) {
        Violation("an older comment of " + Shown(v.log) + " comes after its latest");
      }
    }
  }
}

// The run put its new list in place: it must be the old one with only
// older lines of the names the run harvested left out (and in a file area
// the continuation lines below them), each such name keeping its newest
// line. Every other byte stays, in its order.
void Simulation::BeforeReplace(FileHandle file, FileHandle replacement) {
  const Bytes* old_list = world_.ContentOf(file);
  const Bytes* new_list = world_.ContentOf(replacement);
  replacing_[0] = old_list != nullptr ? *old_list : Bytes();
  replacing_[1] = new_list != nullptr ? *new_list : Bytes();
}

void Simulation::AfterReplace(int result) {
  if (result != 0) return;
  Event("list replaced", "the run puts its new list in place");
  unsynced_replacements_.insert(list_opens_);
  std::set<Bytes>& stayed = replaced_in_[list_opens_];
  for (const Version& v : versions_) {
    if (v.state == Version::kPresent && world_.Exists(v.log)) stayed.insert(KeyOf(ErrorLineOf(v)));
  }
  const Bytes& before = replacing_[0];
  const Bytes& after = replacing_[1];
  std::set<Bytes> harvested;  // their lines
  std::set<Bytes> keys;
  for (const Version& v : versions_) {
    if (std::find(consumed_now_.begin(), consumed_now_.end(), v.id) == consumed_now_.end() || LineOf(v).empty())
      continue;
    harvested.insert(LineOf(v));
    keys.insert(KeyOf(LineOf(v)));
  }
  std::vector<std::size_t> starts;
  const std::vector<Bytes> lines = LogicalLines(before, &starts);
  const std::size_t head = starts.empty() ? before.size() : starts[0];  // a byte order mark
  std::size_t at = head;
  if (after.compare(0, head, before, 0, head) != 0) Violation("the new list does not start as the old one");
  std::set<Bytes> left_out;
  bool after_left_out = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::size_t size = starts[i + 1] - starts[i];
    const bool continuation =
        bbs_ && after_left_out && !lines[i].empty() && (lines[i][0] == ' ' || lines[i][0] == '\t');
    if (after.compare(at, size, before, starts[i], size) == 0) {
      if (continuation) Violation("the new list keeps \"" + Shown(lines[i]) + "\" below a line it leaves out");
      at += size;
      after_left_out = false;
      continue;
    }
    if (!continuation && keys.count(KeyOf(lines[i])) == 0) {
      Violation("the new list leaves out \"" + Shown(lines[i]) + "\", no line of a name the run harvested");
    }
    if (!continuation) left_out.insert(KeyOf(lines[i]));
    after_left_out = true;
  }
  if (at != after.size()) Violation("the new list has bytes the old one lacks: \"" + Shown(after.substr(at)) + "\"");
  const std::vector<Bytes> kept = LogicalLines(after);
  for (const Bytes& key : left_out) {
    if (std::none_of(kept.begin(), kept.end(),
                     [&](const Bytes& line) { return KeyOf(line) == key && harvested.count(line) != 0; })) {
      Violation("the new list leaves out every line of \"" + Shown(key) + "\"");
    }
  }
}

// After a run that nothing disturbed, each name it harvested has one line
// in the list, its newest comment; but a name with a log still there (one
// that could not be read, or another account's), a list with an
// end-of-file mark, which a shorter list may bring within reach of its end,
// and a list on a system that grants no lease.
void Simulation::CheckOneLinePerName() {
  // Where no lease can be had, writers of the list cannot be seen, and it
  // is not replaced.
  if (!world_.grants_leases) return;
  const Bytes list = ListNow();
  if (list.find('\x1A') != Bytes::npos) return;
  std::map<Bytes, const Version*> newest;
  for (const Version& v : versions_) {
    if (std::find(consumed_now_.begin(), consumed_now_.end(), v.id) == consumed_now_.end() || LineOf(v).empty() ||
        v.state != Version::kConsumed) {
      continue;
    }
    const Version*& kept = newest[KeyOf(LineOf(v))];
    if (kept == nullptr || v.consumed_at > kept->consumed_at) kept = &v;
  }
  const std::vector<Bytes> lines = LogicalLines(list);
  for (const auto& entry : newest) {
    const Bytes& key = entry.first;
    const Version* v = entry.second;
    const bool stays = std::any_of(versions_.begin(), versions_.end(), [&](const Version& w) {
      return w.state == Version::kPresent && world_.Exists(w.log) && KeyOf(ErrorLineOf(w)) == key;
    });
    if (stays) continue;
    const auto n = std::count_if(lines.begin(), lines.end(), [&](const Bytes& line) { return KeyOf(line) == key; });
    if (n != 1 || std::find(lines.begin(), lines.end(), LineOf(*v)) == lines.end()) {
      Violation("after a run nothing disturbed, \"" + Shown(key) + "\" has " + std::to_string(n) +
                " lines, not its newest comment alone");
    }
  }
}

}  // namespace sim
