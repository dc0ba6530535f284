// What the world does between two of the run's calls.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "simulation_world.h"

namespace sim {

// A new log beside a new companion, or beside none; sometimes a log that
// is already there under another spelling.
void Simulation::DropLog() {
  const bool posix = world_.Style() == PathStyle::kPosix;
  const Name& name = names_[random_.Below(names_.size())];
  if (!posix && (name.posix_only)) return;
  const Bytes file = name.raw.empty() ? Join(name.chars, posix ? &Char::utf8 : &Char::cp1251) : name.raw;
  const char* const kSuffixes[] = {".log", ".LOG", ".Log"};
  const Bytes log = world_ / (file + kSuffixes[posix ? random_.Below(3) : 0]);
  if (world_.Exists(log)) return;
  if (!posix) {
    // Where case does not count, one log per companion.
    for (const Version& v : versions_) {
      if (v.state == Version::kPresent && v.companion == file) return;
    }
  }
  const bool orphan = random_.OneIn(8) && !world_.Exists(world_ / file);
  if (!orphan && !world_.Exists(world_ / file)) {
    world_.Write(world_ / file, "data");
    for (Version& v : versions_) v.has_companion = v.has_companion || v.companion == file;
  }
  // A log uploaded again under the name of one harvested before: a power
  // loss may yet bring the old one back, which the new one replaces.
  for (Version& v : versions_) v.replaced = v.replaced || v.log == log;
  Version& version = AddVersion(log, name, file, !random_.OneIn(8));
  version.has_companion = !orphan;
  version.over_cap = version.commented && random_.OneIn(40);
  version.encoding = DrawEncoding();
  // Reading a UTF-16 line of a MiB costs the most: only some logs over the
  // cap are UTF-16.
  if (version.over_cap && version.encoding >= Version::kUtf16Little && !random_.OneIn(8)) {
    version.encoding = Version::kUtf8;
  }
  // Some commented logs that come during a run are a terabyte or so,
  // mostly a hole, which costs their uploader no disk: the run must not
  // read it. Some of them end in it, their last comment line running into
  // it. In UTF-16 the hole's length is even: an odd one would shift the
  // units after it. (Drawn apart, and only during runs: the fixed seeds'
  // worlds stay as they were.)
  if (in_run_ && version.commented && extra_.OneIn(4)) {
    version.hole = (std::int64_t{1} << 40) + static_cast<std::int64_t>(extra_.Between(0, 4096));
    if (version.encoding >= Version::kUtf16Little) version.hole -= version.hole % 2;
    version.over_cap = version.over_cap || extra_.OneIn(3);
  }
  version.content = LogContent(version);
  WriteLog(log, version);
  // Its last comment line goes on past the cap: a UTF-16 writer's xx is one
  // unit, U+7878. Where the log has a hole, its zeros do.
  if (version.over_cap && version.hole == 0) {
    world_.MakeSparse(log, static_cast<std::int64_t>(version.content.size()) + kCommentCap + 2 * random_.Between(1, 4),
                      'x');
  }
  if (in_run_)
    Event("new log", "a new log " + Shown(log) + (version.over_cap ? " with its last comment line over the cap" : ""));
  if (version.hole > 0) {
    Event(version.over_cap ? "log with a hole, over the cap" : "log with a hole, its comment after it",
          "the log " + Shown(log) + " has a hole of " + std::to_string(version.hole) + " bytes at " +
              std::to_string(version.hole_at));
  }
  // Another account's upload, and one whose writer is still at work.
  if (random_.OneIn(12)) RefuseDeletion(version);
  if (version.commented && !version.over_cap && random_.OneIn(8)) StartWriting(version);
}

void Simulation::Reupload() {
  std::vector<Version*> present;
  for (Version& v : versions_) {
    if (v.state == Version::kPresent && !v.over_cap && !v.writing) present.push_back(&v);
  }
  if (present.empty()) return;
  Version& old = *present[random_.Below(present.size())];
  const bool in_place = random_.OneIn(2);
  Version copy = old;
  old.state = Version::kSuperseded;
  Version& version = AddVersion(copy.log, *copy.name, copy.companion, copy.commented);
  version.has_companion = copy.has_companion;
  version.encoding = in_place ? copy.encoding : DrawEncoding();
  version.was_unreadable = in_place && copy.was_unreadable;  // the same file: still unreadable
  if (in_place && version.commented && copy.encoding != Version::kUtf16Little && copy.encoding != Version::kUtf16Big) {
    // The same size: only the number differs.
    version.comment = copy.comment;
    char id[16];
    std::snprintf(id, sizeof id, " c%04d", version.id);
    for (Bytes* text :
         {&version.comment.cp1251, &version.comment.cp866, &version.comment.utf8, &version.comment.cp866_of_unicode}) {
      text->replace(0, 6, id);
    }
    version.content = copy.content;
    // The same file: still another account's.
    version.refusal = copy.refusal;
    version.refused_for_good = copy.refused_for_good;
    version.was_refused = copy.was_refused;
    const bool unicode = copy.encoding != Version::kWindows1251;
    const Bytes& old_text = unicode ? copy.comment.utf8 : copy.comment.cp1251;
    version.content.replace(version.content.rfind(old_text), old_text.size(),
                            unicode ? version.comment.utf8 : version.comment.cp1251);
    // Its hole stays where it was, before the comment.
    version.hole = copy.hole;
    version.hole_at = copy.hole_at;
    WriteLog(version.log, version);
    Event("log rewritten in place", "the log " + Shown(version.log) + " rewritten in place to the same size");
  } else {
    version.content = LogContent(version);
    const Bytes upload = world_ / "upload.tmp";
    WriteLog(upload, version);
    world_.RenameOver(upload, version.log);
    Event("log renamed over", "a new log renamed over " + Shown(version.log));
  }
}

// A file harvested before is uploaded again under its old name, with a new
// log: its comment is to take the place of the old one.
void Simulation::UploadAgain() {
  std::vector<std::size_t> gone;
  for (std::size_t i = 0; i < versions_.size(); ++i) {
    const Version& v = versions_[i];
    if (v.state == Version::kConsumed && !LineOf(v).empty() && !world_.Exists(v.log)) gone.push_back(i);
  }
  if (gone.empty()) return;
  const Version old = versions_[gone[random_.Below(gone.size())]];
  if (world_.Style() == PathStyle::kWindows) {
    for (const Version& v : versions_) {
      if (v.state == Version::kPresent && v.companion == old.companion) return;  // one log per companion
    }
  }
  for (Version& v : versions_) v.replaced = v.replaced || v.log == old.log;
  Version& version = AddVersion(old.log, *old.name, old.companion, true);
  version.has_companion = old.has_companion;
  version.encoding = DrawEncoding();
  version.content = LogContent(version);
  WriteLog(version.log, version);
  Event("upload again", "the file of " + Shown(old.log) + " is uploaded again, with a new log");
}

// Another program keeps the list open to append to it, with no lock, as an
// editor of descriptions or an upload processor may: it opens the list and
// writes a line, and later more through the same handle, into whatever file
// it opened. A run must not take the list's name from that file.
void Simulation::HoldList() {
  if (holder_ == 0) {
    if (!world_.Exists(list_path_)) return;
    const int holder = world_.HoldForAppending(list_path_);
    if (holder < 0) return;  // a Windows run holds it: no one else may write
    holder_ = holder;
    Event("list held for appending", "another program opens the list to append to it, and keeps it open");
  }
  WriteThroughHolder();
}

void Simulation::WriteThroughHolder() {
  if (world_.HoldsFileAt(holder_, list_path_)) {
    AppendForeignLine(holder_);
  } else if (world_.HeldFileReplacedByRun(holder_)) {
    Violation("a line another program appends to the list it holds open goes into the list the run replaced");
  }  // else an editor saved a new list over the one it holds: not the run's doing
}

void Simulation::ReleaseHolder() {
  if (holder_ == 0) return;
  world_.LetGo(holder_);
  holder_ = 0;
  Event("held list let go", "the program that held the list open closes it");
}

// No account may read the new file of a replacement that the list keeps
// out, at any moment.
void Simulation::CheckNewFileAccess() {
  const Bytes fresh = list_path_ + ".logharvest-new";
  if (!world_.Exists(fresh) || !world_.Exists(list_path_)) return;
  if ((world_.ReadersOf(fresh) & ~world_.ReadersOf(list_path_)) != 0) {
    Violation("the new file of a replacement may be read by an account the list keeps out");
  }
}

// Just before the run puts its new list in the old one's place: a second
// run opens the old file (and takes its lock once this run lets go),
// another program writes to it, or the rename is refused (a reader holds
// the list, as readers do on Windows; the list is another account's in a
// sticky directory).
void Simulation::BeforeRename() {
  switch (random_.Below(3)) {
    case 0:
      world_.PinForNextOpen(list_path_);
      Event("second run before the rename", "a second run opens the list, to take its lock later");
      return;
    case 1: {
      const Bytes before = ListNow();
      if (random_.OneIn(2)) {
        AppendForeignLine();
      } else {
        EditList(static_cast<int>(random_.Below(3)));
      }
      if (ListNow() != before) Event("write before the rename", "(just before the rename)");
      return;
    }
    default:
      rename_refused_ = true;
      if (world_.Style() == PathStyle::kWindows) {
        world_.HoldForReading(list_path_, true);
      } else {
        world_.MakeUndeletable(list_path_, kErrorAccessDenied);
      }
      Event("rename refused", "the list may not be replaced now");
  }
}

// The lines of a list another program made are allowed to stay, as they
// are and as a run cuts them at an end-of-file mark; the lines of logs are
// counted apart. In the list as drawn, a torn line of a log is no line of
// the list's own either.
void Simulation::AllowLinesOf(const Bytes& list, bool drawn) {
  const std::size_t window = list.size() > 128 ? list.size() - 128 : 0;
  const std::size_t mark = list.find('\x1A', window);
  for (const Bytes& content : {list, list.substr(0, mark)}) {
    std::vector<Bytes> lines = LogicalLines(content);
    // A last line without its LF is ended by the run: a CR there is part
    // of the line end then.
    if (!lines.empty() && !content.empty() && content.back() == '\r')
      lines.push_back(lines.back().substr(0, lines.back().size() - 1));
    for (const Bytes& line : lines) {
      if (std::none_of(versions_.begin(), versions_.end(), [&](const Version& v) {
            const Bytes whole = LineOf(v);
            return !whole.empty() && (drawn ? whole.compare(0, line.size(), line) == 0 : whole == line);
          })) {
        allowed_.insert(line);
        if (!drawn) ended_pieces_.insert(line);  // a line another program made: no log claims it
      }
    }
    if (mark == Bytes::npos) break;
  }
}

// Other programs add at most half the tail to the list in all: more would
// push the lines a killed run left out of the next run's tail, which nothing
// a run does can prevent. (In the program the tail is a MiB.)
bool Simulation::ForeignRoom(std::size_t bytes) {
  if (foreign_bytes_ + static_cast<std::int64_t>(bytes) > windows_.tail_bytes / 2) return false;
  foreign_bytes_ += static_cast<std::int64_t>(bytes);
  return true;
}

void Simulation::AppendForeignLine(int holder) {
  if (holder == 0 && world_.Style() == PathStyle::kWindows && world_.IsOpenForWriting(list_path_)) return;
  const Bytes before = ListNow();
  const char* const kEnds[] = {"\r\n", "\n", "\r", ""};
  const char* end = kEnds[random_.Below(4)];
  const Bytes line = "zz" + std::to_string(calls_) + ".bin  typed by hand";
  Bytes append = line + end;
  if (!ForeignRoom(append.size() + 2)) return;
  if (before == "\xEF\xBB\xBF") {
    // The mark alone: no line to end.
  } else if (!before.empty() && before.back() == '\r') {
    // A CR alone ends a line for that program: its line joins the last one.
    allowed_.insert(LastLine(before) + line);
    ended_pieces_.insert(LastLine(before) + line);
  } else if (!before.empty() && before.back() != '\n') {
    ended_pieces_.insert(LastLine(before));
    append = "\r\n" + append;  // ends the last line first
  }
  allowed_.insert(line);
  if (holder != 0) {
    world_.AppendThrough(holder, append);
  } else {
    world_.Append(list_path_, append);
  }
  Event(holder != 0 ? "foreign line through the held list" : "foreign line", "another program appends \"" +
                                                                                 Shown(line) + "\" ending in " +
                                                                                 (*end == 0        ? "nothing"
                                                                                  : *end == '\n'   ? "LF"
                                                                                  : end[1] == '\n' ? "CR LF"
                                                                                                   : "CR"));
}

// Another program cuts the list, rewrites it longer or shorter in place, or
// saves a new file over it.
void Simulation::EditList(int how) {
  if (!world_.Exists(list_path_) || (world_.Style() == PathStyle::kWindows && world_.IsOpenForWriting(list_path_))) {
    return;
  }
  const Bytes before = ListNow();
  const std::size_t keep = utf8_list_ && before.size() >= 3 ? 3 : 0;
  Bytes after = before;
  const std::size_t from = random_.Between(keep, after.size());
  std::size_t to = after.size();
  std::string kind;
  if (how == 0) {
    after.resize(from);
    kind = "list cut";
  } else {
    to = random_.Between(from, after.size());
    after.replace(from, to - from, Bytes(random_.Below(2 * (to - from) + 8), 'e') + "\r\n");
    kind = how == 1 ? "list rewritten" : "list renamed over";
  }
  if (after.size() > before.size() && !ForeignRoom(after.size() - before.size())) return;
  for (Version& v : versions_) {
    const Bytes line = LineOf(v);
    if (line.empty()) continue;
    // A line the edit cut into or changed is no longer the line its log
    // gives: the log gets it whole once more.
    for (std::size_t at = before.find(line); at != Bytes::npos; at = before.find(line, at + 1)) {
      if (at < to && from < at + line.size() + 2) v.damaged = true;
    }
    if (v.state != Version::kConsumed) continue;
    // An edit that brings an end-of-file mark within the final 128 bytes
    // takes what follows it away: the next run cuts the list there.
    const std::size_t window = after.size() > 128 ? after.size() - 128 : 0;
    const std::size_t mark = after.find('\x1A', window);
    // Whole lines only: a piece the cut leaves at the end is no line.
    const auto count = [&](const Bytes& list) {
      std::vector<Bytes> lines = LogicalLines(list);
      if (!list.empty() && list.back() != '\n' && !lines.empty()) lines.pop_back();
      return std::count(lines.begin(), lines.end(), line);
    };
    if (count(after.substr(0, mark)) < count(before)) v.exempt = true;
  }
  AllowLinesOf(after, false);
  if (how == 2) {
    world_.Write(world_ / "descript.new", after);
    world_.RenameOver(world_ / "descript.new", list_path_);
  } else {
    world_.Write(list_path_, after);
  }
  if (committed_) edited_when_committed_ = true;
  Event(kind, kind + " from " + std::to_string(before.size()) + " to " + std::to_string(after.size()) + " bytes");
}

void Simulation::Crash(PowerLoss model) {
  // Counted apart too: a stop between the new file's making and the run's end.
  if (in_replacement_ && tally_ != nullptr) ++tally_->events["kill or power loss while replacing"];
  if (model != PowerLoss::kNone) {
    const bool torn = random_.OneIn(2);
    world_.LosePower(model, torn ? std::function<std::size_t(std::size_t)>(
                                       [this](std::size_t unsynced) { return random_.Below(unsynced + 1); })
                                 : nullptr);
    Event(model == PowerLoss::kNothingDurableUntilSynced ? "power loss (nothing durable)"
                                                         : "power loss (removals durable)",
          std::string("the power fails (") +
              (model == PowerLoss::kNothingDurableUntilSynced ? "nothing durable until synced"
                                                              : "removals durable at once") +
              (torn ? ", the last writes torn)" : ")"));
    // A rename the directory's sync did not follow may be undone.
    for (const int open : unsynced_replacements_) replaced_in_.erase(open);
    unsynced_replacements_.clear();
    // What comes back: a log whose deletion was not durable is there again.
    for (Version& v : versions_) {
      if (v.state == Version::kConsumed && world_.Exists(v.log) && !v.over_cap && world_.Read(v.log) == v.content) {
        v.state = Version::kPresent;
      }
    }
  } else {
    Event("kill", "the run is killed");
  }
  world_.Kill();
  throw Killed();
}

void Simulation::DrawEvent() {
  const std::size_t kind = random_.Below(100);
  if (kind < 10) return Crash(PowerLoss::kNone);
  if (kind < 14) return Crash(PowerLoss::kNothingDurableUntilSynced);
  if (kind < 18) return Crash(PowerLoss::kRemovalsDurableAtOnce);
  if (kind < 40) {
    if (!appending_) AppendForeignLine();
    return;
  }
  if (kind < 50) {
    if (!appending_) EditList(static_cast<int>(random_.Below(3)));
    return;
  }
  if (kind < 58) return Reupload();
  if (kind < 64) return UploadAgain();
  if (kind < 76) return DropLog();
  std::vector<Version*> present;
  for (Version& v : versions_) {
    if (v.state == Version::kPresent && !v.was_unreadable && !v.writing && world_.Exists(v.log)) present.push_back(&v);
  }
  if (kind >= 92) {
    // A writer at work ends, or a log that is there gets another account's.
    for (Version& v : versions_) {
      if (v.writing) return FinishWriting(v);
    }
    if (!present.empty()) RefuseDeletion(*present[random_.Below(present.size())]);
    return;
  }
  if (present.empty()) return;
  Version& v = *present[random_.Below(present.size())];
  world_.MakeUnopenable(v.log, kErrorAccessDenied);
  v.was_unreadable = true;
  Event("unreadable", Shown(v.log) + " cannot be opened");
}

// The run may not delete the log: it belongs to another account (EPERM in a
// sticky directory), or lies on a file system mounted read-only meanwhile.
// For the run it is drawn in, or for good.
void Simulation::RefuseDeletion(Version& version) {
  if (version.refusal != 0) return;
  version.refusal = random_.OneIn(4) ? kErrorWriteProtect : kErrorAccessDenied;
  version.refused_for_good = random_.OneIn(2);
  version.was_refused = true;
  world_.MakeUndeletable(version.log, version.refusal);
  if (in_run_) {
    Event("deletion refused",
          "the run may not delete " + Shown(version.log) + (version.refused_for_good ? " for good" : " in this run"));
  }
}

// The uploader has written the log's first line; the comment line is to
// come. The run sees the writer (it holds the read lease's place) or not (it
// is another account's).
void Simulation::StartWriting(Version& version) {
  version.writing = true;
  world_.Write(version.log, "\xC0\xE2\xF2\xEE\xF0: sim\r\n");
  if (random_.OneIn(2)) {
    world_.MakeUnopenable(version.log, kErrorHeldByWriter);
  } else {
    world_.SetUnseenWriter(version.log, true);
  }
  if (in_run_) Event("writer at work", "an uploader is still writing " + Shown(version.log));
}

void Simulation::FinishWriting(Version& version) {
  version.writing = false;
  if (!world_.Exists(version.log)) return;  // deleted while written: AfterRemove told
  world_.MakeUnopenable(version.log, 0);
  world_.SetUnseenWriter(version.log, false);
  WriteLog(version.log, version);
  if (in_run_) Event("writer done", "the uploader of " + Shown(version.log) + " writes its comment and is done");
}

// Between runs: refusals for one run end, and writers may end; before the
// run that recovers, every writer has ended.
void Simulation::EndOfRun(bool recovering) {
  if (rename_refused_ && world_.Exists(list_path_)) {
    world_.HoldForReading(list_path_, false);
    world_.MakeUndeletable(list_path_, 0);
  }
  rename_refused_ = false;
  for (Version& v : versions_) {
    if (v.refusal != 0 && !v.refused_for_good && v.state == Version::kPresent && world_.Exists(v.log)) {
      world_.MakeUndeletable(v.log, 0);
      v.refusal = 0;
    }
    if (v.writing && (recovering || random_.OneIn(2))) FinishWriting(v);
  }
  // The program holding the list writes once the run is over; it lets go in
  // time, or opens the list now and holds it across the next run.
  if (holder_ != 0) {
    WriteThroughHolder();
    if (recovering || extra_.OneIn(2)) ReleaseHolder();
  } else if (!recovering && extra_.OneIn(6)) {
    HoldList();
  }
}

void Simulation::Between(const char* operation, const Bytes& what) {
  if (world_.Killed() || !in_run_) return;
  ++calls_;
  CheckNewFileAccess();
  if (rate_ != 0 && !appending_ && extra_.OneIn(static_cast<std::size_t>(rate_) * 12)) {
    outcome_.story.push_back("  call " + std::to_string(calls_) + ": the run asks " + operation + " " + Shown(what));
    if (holder_ == 0 || extra_.OneIn(3)) {
      HoldList();
    } else if (extra_.OneIn(2)) {
      WriteThroughHolder();
    } else {
      ReleaseHolder();
    }
  }
  const bool event = rate_ != 0 && random_.OneIn(static_cast<std::size_t>(rate_));
  if (!event && !trace_ && !(rate_ != 0 && std::strcmp(operation, "ReplaceOpenFile") == 0)) return;
  outcome_.story.push_back("  call " + std::to_string(calls_) + ": the run asks " + operation + " " + Shown(what));
  if (event) DrawEvent();
  if (rate_ != 0 && std::strcmp(operation, "ReplaceOpenFile") == 0 && random_.OneIn(2)) BeforeRename();
}

}  // namespace sim
