#include "desclist/tail_index.h"

#include <algorithm>

namespace {

// Whether line is made of the two parts, without copying them.
bool IsLineOf(ByteView line, ByteView name_part, ByteView description) {
  return line.size() == name_part.size() + description.size() && line.substr(0, name_part.size()) == name_part &&
         line.substr(name_part.size()) == description;
}

}  // namespace

TailIndex::TailIndex(ListKind kind, bool names_differ_by_case, std::size_t max_line_bytes)
    : kind_(kind), names_differ_by_case_(names_differ_by_case), max_line_bytes_(max_line_bytes) {}

Bytes TailIndex::KeyOf(ByteView line) const { return NameKey(line, kind_, names_differ_by_case_); }

void TailIndex::Forget(Name& name) {
  for (const Line& line : name.vouching) unclaimed_ -= line.claimed || line.error_line ? 0 : 1;
  name.vouching.clear();
}

void TailIndex::Note(ByteView line, std::int64_t offset, bool may_vouch) {
  Name& name = names_[KeyOf(line)];
  name.latest.assign(line.data(), line.size());
  name.unknown = false;
  if (!may_vouch) return Forget(name);
  const bool error_line = IsErrorLine(line);
  name.vouching.push_back(Line{Bytes(line), offset, false, error_line});
  if (!error_line) ++unclaimed_;
}

void TailIndex::Index(ByteView tail, std::int64_t tail_start, std::int64_t first_line, bool ends_the_list) {
  std::size_t line_start = ByteView::npos;
  if (tail_start <= first_line) line_start = static_cast<std::size_t>(first_line - tail_start);
  for (std::size_t lf = tail.find('\n'); lf != ByteView::npos; lf = tail.find('\n', lf + 1)) {
    if (line_start != ByteView::npos && lf >= line_start) {
      ByteView line = tail.substr(line_start, lf - line_start);
      const bool crlf = !line.empty() && line.back() == '\r';
      if (crlf) line.remove_suffix(1);
      Note(line, tail_start + static_cast<std::int64_t>(line_start), crlf);
    }
    line_start = lf + 1;
  }
  if (ends_the_list && line_start != ByteView::npos && line_start < tail.size()) {
    // A last line without a line end may be a line whose line end a crash
    // kept from the file, or the start of one. A CR there lost its LF.
    const ByteView last = tail.substr(line_start);
    torn_.assign(last.data(), last.size());
    torn_offset_ = tail_start + static_cast<std::int64_t>(line_start);
    Note(last.back() == '\r' ? last.substr(0, last.size() - 1) : last, torn_offset_, true);
  }
}

bool TailIndex::Claim(ByteView name_part, ByteView description, std::int64_t* offset) {
  const auto found = names_.find(KeyOf(name_part));
  if (found == names_.end()) return false;
  std::vector<Line>& lines = found->second.vouching;
  // From the name's last line back: claimed lines and error lines are
  // passed; the first other line is the one that may vouch now.
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    if (line->claimed || line->error_line) continue;
    if (!IsLineOf(line->text, name_part, description)) return false;
    line->claimed = true;
    --unclaimed_;
    *offset = line->offset;
    return true;
  }
  return false;
}

bool TailIndex::TornLineVouches() const {
  if (torn_offset_ < 0) return false;
  const auto found =
      names_.find(KeyOf(torn_.back() == '\r' ? ByteView(torn_).substr(0, torn_.size() - 1) : ByteView(torn_)));
  return found != names_.end() && !found->second.vouching.empty() &&
         found->second.vouching.back().offset == torn_offset_ && !found->second.vouching.back().claimed;
}

void TailIndex::NoteTornLineEnded() {
  if (torn_offset_ < 0) return;
  Name& torn = names_[KeyOf(torn_.back() == '\r' ? ByteView(torn_).substr(0, torn_.size() - 1) : ByteView(torn_))];
  if (!torn.vouching.empty() && torn.vouching.back().offset == torn_offset_) {
    Line& line = torn.vouching.back();
    if (!line.claimed && !line.error_line) --unclaimed_;
    line.claimed = true;
  }
}

void TailIndex::NoteCompleted(ByteView name_part, ByteView description) {
  NoteTornLineEnded();
  Name& torn = names_[KeyOf(torn_.back() == '\r' ? ByteView(torn_).substr(0, torn_.size() - 1) : ByteView(torn_))];
  Name& name = names_[KeyOf(name_part)];
  name.latest.assign(name_part.data(), name_part.size()).append(description);
  name.unknown = false;
  if (&name != &torn) name.vouching.push_back(Line{name.latest, torn_offset_, true, false});
}

bool TailIndex::HasUnclaimed(ByteView name_part, ByteView description) const {
  const auto found = names_.find(KeyOf(name_part));
  return found != names_.end() &&
         std::any_of(found->second.vouching.begin(), found->second.vouching.end(), [&](const Line& line) {
           return !line.claimed && !line.error_line && IsLineOf(line.text, name_part, description);
         });
}

void TailIndex::NoteWritten(ByteView name_part, ByteView description, bool keep) {
  const Bytes key = KeyOf(name_part);
  auto found = names_.find(key);
  if (found == names_.end()) {
    if (!keep) return;
    found = names_.emplace(key, Name()).first;
  }
  Name& name = found->second;
  Forget(name);
  name.unknown = name_part.size() + description.size() > max_line_bytes_;
  name.latest.clear();
  if (!name.unknown) name.latest.append(name_part.data(), name_part.size()).append(description);
}

bool TailIndex::IsLatest(ByteView name_part, ByteView description) const {
  const auto found = names_.find(KeyOf(name_part));
  return found != names_.end() && !found->second.unknown && IsLineOf(found->second.latest, name_part, description);
}
