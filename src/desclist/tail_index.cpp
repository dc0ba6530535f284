#include "desclist/tail_index.h"

#include <algorithm>

#include "desclist/line_feeds.h"

namespace {

// A piece of a line that lacked its LF may end in the CR of its line end.
ByteView WithoutCr(ByteView line) {
  return !line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
}

}  // namespace

TailIndex::TailIndex(ListKind kind, bool names_differ_by_case, std::size_t max_line_bytes)
    : kind_(kind), names_differ_by_case_(names_differ_by_case), max_line_bytes_(max_line_bytes) {}

Bytes TailIndex::KeyOf(ByteView line) const { return NameKey(line, kind_, names_differ_by_case_); }

NameId TailIndex::NameOf(ByteView line) const { return NameIdOf(NameKey(line, kind_, names_differ_by_case_, &key_)); }

std::pair<std::size_t, std::size_t> TailIndex::LinesOf(const NameId& name) const {
  const auto before = [](const Line& line, const NameId& n) { return IdOf(line) < n; };
  const auto after = [](const NameId& n, const Line& line) { return n < IdOf(line); };
  const auto first = std::lower_bound(lines_.begin(), lines_.end(), name, before);
  const auto last = std::upper_bound(first, lines_.end(), name, after);
  return {static_cast<std::size_t>(first - lines_.begin()), static_cast<std::size_t>(last - lines_.begin())};
}

namespace {

// Whether the line made of the two parts is the one of that length and digest.
bool IsLine(std::size_t length, std::uint64_t digest, ByteView name_part, ByteView description) {
  return length == name_part.size() + description.size() && digest == LineDigest(name_part, description);
}

}  // namespace

bool TailIndex::Is(const Line& line, ByteView name_part, ByteView description) const {
  return IsLine(line.length, line.digest, name_part, description);
}

void TailIndex::Forget(std::size_t first, std::size_t last) {
  for (std::size_t i = first; i < last; ++i) {
    Line& line = lines_[i];
    if ((line.flags & (kVouches | kClaimed | kErrorLine)) == kVouches) --unclaimed_;
    line.flags = static_cast<std::uint8_t>(line.flags & ~kVouches);
  }
}

void TailIndex::Index(ByteView tail, std::int64_t tail_start, std::int64_t first_line, bool ends_the_list) {
  tail_start_ = tail_start;
  std::size_t count = 1;
  ForEachLineFeed(tail.data(), 0, tail.size(), [&](std::size_t) { return ++count != 0; });
  lines_.reserve(count);
  const auto note = [&](ByteView line, std::size_t at, bool may_vouch) {
    const NameId name = NameOf(line);
    const bool error_line = IsErrorLine(line);
    lines_.push_back(Line{name.first, LineDigest(line, ByteView()), name.second, static_cast<std::uint32_t>(at),
                          static_cast<std::uint32_t>(line.size()),
                          static_cast<std::uint8_t>((may_vouch ? kVouches : 0) | (error_line ? kErrorLine : 0))});
  };
  std::size_t line_start = ByteView::npos;
  if (tail_start <= first_line) line_start = static_cast<std::size_t>(first_line - tail_start);
  ForEachLineFeed(tail.data(), 0, tail.size(), [&](std::size_t lf) {
    if (line_start != ByteView::npos && lf >= line_start) {
      ByteView line = tail.substr(line_start, lf - line_start);
      const bool crlf = !line.empty() && line.back() == '\r';
      note(crlf ? WithoutCr(line) : line, line_start, crlf);
    }
    line_start = lf + 1;
    return true;
  });
  if (ends_the_list && line_start != ByteView::npos && line_start < tail.size()) {
    // The torn line; a CR at its end lost its LF.
    const ByteView last = tail.substr(line_start);
    torn_.assign(last.data(), last.size());
    torn_offset_ = tail_start + static_cast<std::int64_t>(line_start);
    note(WithoutCr(last), line_start, true);
  }
  std::sort(lines_.begin(), lines_.end(),
            [](const Line& a, const Line& b) { return IdOf(a) < IdOf(b) || (IdOf(a) == IdOf(b) && a.at < b.at); });
  if (torn_offset_ >= 0) {
    const auto torn = std::find_if(lines_.begin(), lines_.end(),
                                   [&](const Line& line) { return tail_start_ + line.at == torn_offset_; });
    torn_line_ = static_cast<std::size_t>(torn - lines_.begin());
  }
  // A line that may not vouch stops the lines of its name before it.
  for (std::size_t last = lines_.size(); last > 0;) {
    const NameId name = IdOf(lines_[last - 1]);
    std::size_t first = last;
    bool stopped = false;
    for (; first > 0 && IdOf(lines_[first - 1]) == name; --first) {
      Line& line = lines_[first - 1];
      stopped = stopped || (line.flags & kVouches) == 0;
      if (stopped) line.flags = static_cast<std::uint8_t>(line.flags & ~kVouches);
      if ((line.flags & (kVouches | kErrorLine)) == kVouches) ++unclaimed_;
    }
    last = first;
  }
}

bool TailIndex::Claim(ByteView name_part, ByteView description, std::int64_t* offset) {
  const auto [first, last] = LinesOf(NameOf(name_part));
  // From the name's last line back: claimed lines and error lines are
  // passed; the first other line is the one that may vouch now.
  for (std::size_t i = last; i > first; --i) {
    Line& line = lines_[i - 1];
    if ((line.flags & kVouches) == 0) return false;
    if ((line.flags & (kClaimed | kErrorLine)) != 0) continue;
    if (!Is(line, name_part, description)) return false;
    line.flags |= kClaimed;
    --unclaimed_;
    *offset = tail_start_ + line.at;
    return true;
  }
  return false;
}

TailIndex::Line* TailIndex::TornLine() { return torn_offset_ >= 0 ? &lines_[torn_line_] : nullptr; }

bool TailIndex::TornLineVouches() const {
  const Line* line = const_cast<TailIndex*>(this)->TornLine();
  return line != nullptr && (line->flags & (kVouches | kClaimed)) == kVouches;
}

void TailIndex::NoteTornLineEnded() {
  Line* line = TornLine();
  if (line == nullptr || (line->flags & kVouches) == 0) return;
  if ((line->flags & (kClaimed | kErrorLine)) == 0) --unclaimed_;
  line->flags |= kClaimed;
}

void TailIndex::NoteCompleted(ByteView name_part, ByteView description) {
  NoteTornLineEnded();
  written_[NameOf(name_part)] =
      Latest{LineDigest(name_part, description), name_part.size() + description.size(), false};
}

bool TailIndex::HasUnclaimed(ByteView name_part, ByteView description) const {
  const auto [first, last] = LinesOf(NameOf(name_part));
  for (std::size_t i = first; i < last; ++i) {
    const Line& line = lines_[i];
    if ((line.flags & (kVouches | kClaimed | kErrorLine)) == kVouches && Is(line, name_part, description)) return true;
  }
  return false;
}

void TailIndex::NoteWritten(ByteView name_part, ByteView description, bool keep) {
  const NameId name = NameOf(name_part);
  const auto [first, last] = LinesOf(name);
  if (first == last && !keep && written_.count(name) == 0) return;
  Forget(first, last);
  const std::size_t length = name_part.size() + description.size();
  const bool unknown = length > max_line_bytes_;
  written_[name] = Latest{unknown ? 0 : LineDigest(name_part, description), length, unknown};
}

bool TailIndex::IsLatest(ByteView name_part, ByteView description) const {
  const NameId name = NameOf(name_part);
  const auto written = written_.find(name);
  if (written != written_.end()) {
    const Latest& latest = written->second;
    return !latest.unknown && IsLine(latest.length, latest.digest, name_part, description);
  }
  const auto [first, last] = LinesOf(name);
  return first != last && Is(lines_[last - 1], name_part, description);
}
