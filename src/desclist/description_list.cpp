#include "desclist/description_list.h"

#include <algorithm>
#include <utility>

#include "common/io_result.h"
#include "desclist/digest.h"
#include "logcomment/log_comment.h"
#include "platform/paths.h"
#include "textfile/line_file_read.h"

namespace {

// Whether the line made of the two parts starts with, or is, prefix.
bool LineStartsWith(ByteView name_part, ByteView description, ByteView prefix) {
  if (prefix.size() <= name_part.size()) return name_part.substr(0, prefix.size()) == prefix;
  return prefix.substr(0, name_part.size()) == name_part &&
         description.substr(0, prefix.size() - name_part.size()) == prefix.substr(name_part.size());
}

std::int64_t LengthOf(ByteView name_part, ByteView description) {
  return static_cast<std::int64_t>(name_part.size() + description.size() + kCrLf.size());
}

}  // namespace

DescriptionList::DescriptionList(const RunBounds& bounds)
    : bounds_(bounds),
      kept_(bounds.max_tidied_names),
      newest_(bounds.max_tidied_names),
      tail_(ListKind::kFileManager, true, static_cast<std::size_t>(bounds.tail_bytes)),
      batch_(list_, bounds_, kept_) {}

bool DescriptionList::CanList(ByteView name) const {
  return FormOfName(NameInList(name, encoding_), kind_) != NameForm::kUnsafe;
}

void DescriptionList::HandOver(ByteView name, ByteView description, const Bytes& log_path, const FileIdentity& read) {
  if (!MayHarvest() || batch_.LeftByThisRun(log_path, read)) return;
  const Bytes listed = NameInList(name, encoding_);
  Line line{NamePartOfLine(listed, FormOfName(listed, kind_)), Bytes(description), WaitingLog()};
  line.log = WaitingLog{log_path,
                        read,
                        -1,
                        LengthOf(line.name_part, description),
                        LineDigest(line.name_part, description),
                        NameIdOf(tail_.KeyOf(line.name_part))};
  Place(std::move(line));
}

void DescriptionList::HandOverErrorLine(ByteView name, ByteView description) {
  if (!MayHarvest()) return;
  const Bytes listed = NameInList(name, encoding_);
  Line line{NamePartOfLine(listed, FormOfName(listed, kind_)), Bytes(description), WaitingLog()};
  kept_.KeepUnread(NameIdOf(tail_.KeyOf(line.name_part)));
  Place(std::move(line));
}

bool DescriptionList::TornLineIsOpen() const { return tail_.TornOffset() >= 0 && !MissingLineEnd(list_.file).empty(); }

bool DescriptionList::MustHold() const { return !walk_ended_ && (tail_.HasUnclaimed() || TornLineIsOpen()); }

void DescriptionList::Place(Line line) {
  if (line.log.path.empty()) {
    if (tail_.IsLatest(line.name_part, line.description)) return;
  } else if (!walk_ended_) {
    // Waits for the walk's end however many lines are held: the claims are
    // made there, in the order of their lines.
    if (tail_.HasUnclaimed(line.name_part, line.description) || Completes(line)) {
      held_bytes_ += line.name_part.size() + line.description.size();
      held_.push_back(std::move(line));
      return;
    }
  } else {
    std::int64_t offset = -1;
    if (tail_.Claim(line.name_part, line.description, &offset)) return TakeFromTail(line, offset);
    if (Completes(line) && CompleteTornLine(line)) return TakeFromTail(line, line.log.offset);
  }
  if (MustHold()) return Hold(std::move(line));
  // The held lines first: the list gets the lines in the order handed over.
  ReleaseHeld();
  WriteNew(line);
}

void DescriptionList::ReleaseHeld() {
  std::vector<Line> held;
  held.swap(held_);
  held_bytes_ = 0;
  for (Line& line : held) {
    if (!MayHarvest()) return;
    Place(std::move(line));
  }
}

// The line vouches for the log. A crash may have kept its end from the file:
// it is written now, where no other program has written after the line since
// the run read it. Where one has, that program ended the line or added to it:
// the line is written whole once more.
void DescriptionList::TakeFromTail(Line& line, std::int64_t offset) {
  if (offset == tail_.TornOffset() && TornLineIsOpen()) {
    FlushLineFile(list_.file);
    CheckIo();
    if (TornLineIsLast()) {
      EndLastLine(list_.file);
    } else if (EndedByAnother(offset + line.log.length)) {
      TakeEndAsItIs(list_.file);  // its line end is there, and what that program wrote after it
    } else {
      return WriteNew(line);
    }
    FlushLineFile(list_.file);
    CheckIo();
  }
  line.log.offset = offset;
  batch_.MakeRoomFor(offset, PlacedEnd(list_.file));
  if (!MayHarvest()) return;
  NoteNewest(line, offset);
  batch_.Add(std::move(line.log));
}

void DescriptionList::NoteNewest(const Line& line, std::int64_t offset) {
  newest_.Note(tail_.KeyOf(line.name_part), offset, line.log.length, line.log.digest);
}

// Whether the list still ends with the torn line as read, nothing written
// after it: another program may have changed what lies before it, and the
// line can be ended or completed where it is now. Only then: a line end or a
// rest written after another program's bytes would make a line of pieces.
bool DescriptionList::TornLineIsLast() {
  const ByteView torn = tail_.Torn();
  std::int64_t size = 0;
  const int error = Os().Size(list_.file.handle, &size);
  if (error != 0) SetIoResult(error);
  CheckIo();
  const std::int64_t start = size - static_cast<std::int64_t>(torn.size());
  if (start < first_line_) return false;
  const bool after_line_end = start > first_line_;
  Bytes last(torn.size() + (after_line_end ? 1 : 0), '\0');
  last.resize(ReadAt(list_.file, start - (after_line_end ? 1 : 0), last.data(), last.size()));
  CheckIo();
  if (last != (after_line_end ? "\n" : "") + Bytes(torn)) return false;
  RebaseEnd(list_.file, tail_.TornOffset(), size, torn.back());
  return true;
}

// Whether another program wrote the torn line's missing line end, and nothing
// else, right after it: the line ending at end (line end counted) is whole.
bool DescriptionList::EndedByAnother(std::int64_t end) {
  const ByteView torn = tail_.Torn();
  const ByteView missing = !torn.empty() && torn.back() == '\r' ? ByteView("\n") : kCrLf;
  char found[2] = {0, 0};
  const std::size_t got = ReadAt(list_.file, end - static_cast<std::int64_t>(missing.size()), found, missing.size());
  CheckIo();
  return ByteView(found, got) == missing;
}

// The torn line is the start of this one: only its rest is written, where
// no other program has written after the torn line since the run read it.
bool DescriptionList::Completes(const Line& line) const {
  const ByteView torn = tail_.Torn();
  return !line.log.path.empty() && TornLineIsOpen() && line.log.length - 2 > static_cast<std::int64_t>(torn.size()) &&
         LineStartsWith(line.name_part, line.description, torn);
}

bool DescriptionList::CompleteTornLine(Line& line) {
  const ByteView torn = tail_.Torn();
  if (!Completes(line)) return false;
  const std::size_t done = torn.size();
  const ByteView name_part = line.name_part;
  const ByteView rest_of_name = done < name_part.size() ? name_part.substr(done) : ByteView();
  const ByteView rest_of_description =
      ByteView(line.description).substr(done - (name_part.size() - rest_of_name.size()));
  const std::int64_t rest = static_cast<std::int64_t>(rest_of_name.size() + rest_of_description.size() + 2);
  batch_.MakeRoomFor(tail_.TornOffset(), PlacedEnd(list_.file) + rest);
  if (!MayHarvest()) return true;
  // Nothing between the look at the end and the write of the rest.
  FlushLineFile(list_.file);
  CheckIo();
  if (!TornLineIsLast()) {
    tail_.NoteTornLineEnded();
    return false;
  }
  line.log.offset = tail_.TornOffset();
  ContinueLastLine(list_.file);
  WriteLine(list_.file, {rest_of_name, rest_of_description});
  FlushLineFile(list_.file);
  CheckIo();
  tail_.NoteCompleted(line.name_part, line.description);
  return true;
}

// Writes the line at the end (any torn line ended first); its log waits.
void DescriptionList::WriteNew(Line& line) {
  const std::int64_t lead = static_cast<std::int64_t>(MissingLineEnd(list_.file).size());
  const std::int64_t length = LengthOf(line.name_part, line.description);
  batch_.MakeRoomFor(PlacedEnd(list_.file), PlacedEnd(list_.file) + lead + length);
  if (!MayHarvest()) return;
  const std::int64_t offset = PlacedEnd(list_.file) + lead;
  WriteLine(list_.file, {line.name_part, line.description});
  CheckIo();
  const bool error_line = line.log.path.empty();
  tail_.NoteWritten(line.name_part, line.description, error_line);
  if (error_line) return;
  line.log.offset = offset;
  NoteNewest(line, offset);
  batch_.Add(std::move(line.log));
}

void DescriptionList::Hold(Line line) {
  const std::size_t size = line.name_part.size() + line.description.size();
  if (!held_.empty() && (held_.size() >= bounds_.max_held_lines || held_bytes_ + size > bounds_.max_held_bytes)) {
    passed_over_ = true;
    return;
  }
  held_bytes_ += size;
  held_.push_back(std::move(line));
}

// Moves the held lines the tail vouches for to claimed, with their
// offsets, as long as claims let more lines vouch.
void DescriptionList::ClaimHeld(std::vector<std::pair<std::int64_t, Line>>& claimed) {
  for (bool progress = true; progress;) {
    progress = false;
    for (auto line = held_.begin(); line != held_.end();) {
      std::int64_t offset = -1;
      if (line->log.path.empty() || !tail_.Claim(line->name_part, line->description, &offset)) {
        ++line;
        continue;
      }
      held_bytes_ -= line->name_part.size() + line->description.size();
      claimed.emplace_back(offset, std::move(*line));
      line = held_.erase(line);
      progress = true;
    }
  }
}

// The held line that completes the torn line: first one the tail does not
// hold whole (a line it holds whole is its log's to claim); else one it holds
// whole too (a crashed run wrote it again, as it could not vouch then), where
// the piece cannot start the name's error line: left as it is, the piece
// would stay that name's last line, a comment cut short.
std::size_t DescriptionList::CompletingLine() const {
  for (std::size_t i = 0; i < held_.size(); ++i) {
    if (Completes(held_[i]) && !tail_.HasUnclaimed(held_[i].name_part, held_[i].description)) return i;
  }
  for (std::size_t i = 0; i < held_.size(); ++i) {
    const Line& line = held_[i];
    if (Completes(line) && !LineStartsWith(line.name_part, kErrorReadingFile, tail_.Torn())) return i;
  }
  return held_.size();
}

bool DescriptionList::EndWalk() {
  walk_ended_ = true;
  std::vector<std::pair<std::int64_t, Line>> claimed;
  ClaimHeld(claimed);
  // The torn line: a held line may complete it. Either way its piece stops
  // no line of its name before it from vouching now: it is that line's
  // start, or no log's.
  const std::size_t completing = tail_.TornLineVouches() ? CompletingLine() : held_.size();
  tail_.NoteTornLineEnded();
  Line completion;
  if (completing < held_.size()) {
    completion = std::move(held_[completing]);
    held_bytes_ -= completion.name_part.size() + completion.description.size();
    held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(completing));
  }
  ClaimHeld(claimed);
  // The logs go in the order of their lines (the rule of vouching: a name's
  // later lines never lose their logs before its earlier ones), and before
  // the torn line's rest is written, which may be long: it pushes none of
  // their lines out of the next run's tail while their logs wait.
  std::stable_sort(claimed.begin(), claimed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [offset, line] : claimed) {
    if (MayHarvest()) TakeFromTail(line, offset);
  }
  if (!completion.log.path.empty()) {
    batch_.End();
    if (MayHarvest() && CompleteTornLine(completion)) {
      TakeFromTail(completion, completion.log.offset);
    } else if (MayHarvest()) {
      // Another program wrote after the torn line: the line is written whole.
      held_.insert(held_.begin(), std::move(completion));
    }
  }
  ReleaseHeld();
  if (!passed_over_ || !MayHarvest()) return false;
  passed_over_ = false;
  batch_.End();
  return MayHarvest();
}

void DescriptionList::Close() {
  if (!held_.empty()) EndWalk();
  batch_.EndBeforeClose();
  if (MayHarvest() && list_.file.kind == HandleKind::kDisk && !newest_.Empty()) {
    // Every log of the run is settled now.
    newest_.Forget(kept_);
    const ListShape shape{kind_, Os().NamesAreCaseSensitive(), first_line_, found_end_};
    if (!newest_.Empty() && ReplaceWithoutOlderLines(list_, shape, newest_)) return;
  }
  CloseLineFile(list_.file);
  CheckIo();
}
