#include "desclist/older_lines.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/io_result.h"
#include "desclist/digest.h"
#include "desclist/line_feeds.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "textfile/line_file.h"
#include "textfile/line_file_read.h"

const ByteView kReplacementSuffix = ".logharvest-new";

void NewestLines::Note(ByteView key, std::int64_t offset, std::int64_t length, std::uint64_t line) {
  // A name noted again past the bound keeps its earlier entry: the newer
  // line lies after it, and stays.
  if (entries_.size() >= most_) return;
  entries_.push_back(Entry{NameIdOf(key), offset, length, line, HeadWord(key, 8, false), key.size()});
}

void NewestLines::Forget(const KeptNames& kept) {
  if (kept.KeepsAll()) entries_.clear();
  entries_.erase(
      std::remove_if(entries_.begin(), entries_.end(), [&](const Entry& entry) { return kept.Keeps(entry.name); }),
      entries_.end());
}

void NewestLines::Settle() {
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    return a.name < b.name || (a.name == b.name && a.offset < b.offset);
  });
  // The last of each name is its newest.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (i + 1 == entries_.size() || !(entries_[i].name == entries_[i + 1].name)) entries_[kept++] = entries_[i];
  }
  entries_.resize(kept);
}

const NewestLines::Entry* NewestLines::Find(const NameId& name) const {
  const auto found = std::lower_bound(entries_.begin(), entries_.end(), name,
                                      [](const Entry& entry, const NameId& wanted) { return entry.name < wanted; });
  return found != entries_.end() && found->name == name ? &*found : nullptr;
}

namespace {

// The list is read, and copied, in blocks this large at most.
constexpr std::size_t kBlockBytes = 256 * 1024;
// Kept of a line's start to find its name: no name the run writes is longer.
constexpr std::size_t kHeadBytes = 4096;

// One rewrite of the list: its lines are read in order, each is kept or
// left out, and the kept ones are copied to the new file in runs, which is
// made when the first line to leave out is met.
class Rewrite {
 public:
  Rewrite(ListFile& list, const ListShape& shape, const NewestLines& newest)
      : list_(list), shape_(shape), newest_(newest) {
    const std::vector<NewestLines::Entry>& entries = newest.Entries();
    for (const NewestLines::Entry& entry : entries) head_bytes_ = std::min(head_bytes_, entry.key_length);
    for (std::uint32_t i = 0; i < entries.size(); ++i) {
      by_offset_.push_back(i);
      // The key's first bytes, as many as a line's are taken.
      char head[8];
      std::memcpy(head, &entries[i].head, 8);
      const std::uint64_t bit = HeadBit(HeadWord(ByteView(head, 8), head_bytes_, false));
      filter_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    }
    std::sort(by_offset_.begin(), by_offset_.end(),
              [&](std::uint32_t a, std::uint32_t b) { return entries[a].offset < entries[b].offset; });
  }
  Rewrite(const Rewrite&) = delete;
  Rewrite& operator=(const Rewrite&) = delete;

  // Reads the list's lines up to end and leaves out the older ones; false
  // when the run's own lines are not where it placed them.
  bool Scan(std::int64_t end);
  bool Started() const { return started_; }
  // Copies the rest of the list, syncs the new file and puts it in the list's
  // place unless the list changed since identity was taken; else removes it.
  void Finish(std::int64_t end, const FileIdentity& identity);
  // Removes the new file, if one was made.
  void Abandon();

 private:
  // Whether the line starting at offset is the next of the run's.
  bool StartsNext(std::int64_t offset) const {
    return next_ < by_offset_.size() && newest_.Entries()[by_offset_[next_]].offset == offset;
  }
  // The filter's bit for the first bytes of a name, as many as the
  // shortest key of the run's names has, up to 8 (HeadWord): one of 65,536.
  static std::uint64_t HeadBit(std::uint64_t head) { return (head * 0x9E3779B97F4A7C15u) >> 48; }
  // Whether the line that begins with head may be one to look at: the run's,
  // one below a line left out, a quoted name's, or one whose first bytes the
  // filter finds among the keys'. Most lines of a large list go no further.
  bool Passes(ByteView head) const {
    return digesting_ || leaving_out_ ||
           Filtered(filter_.data(), head_bytes_, !shape_.names_differ_by_case, shape_.kind == ListKind::kFileManager,
                    head.data(), head.size());
  }
  // The filter's part of Passes(), for a line of length bytes at data, with
  // what it asks given by value so that PassBy's loop keeps it at hand.
  static bool Filtered(const std::uint64_t* filter, std::size_t head_bytes, bool fold, bool quoted, const char* data,
                       std::size_t length) {
    if (length < head_bytes) return false;
    if (quoted && data[0] == '"') return true;
    const std::uint64_t bit = HeadBit(HeadWord(ByteView(data, length), head_bytes, fold));
    return (filter[bit >> 6] & (std::uint64_t{1} << (bit & 63))) != 0;
  }
  // Passes by the lines that lie whole in the block from pos on and that
  // Passes() lets by, up to the next of the run's lines; returns where the
  // first other line starts (or got), with *line_start at it.
  std::size_t PassBy(const char* data, std::size_t pos, std::size_t got, std::int64_t* line_start) {
    if (digesting_ || leaving_out_ || !head_.empty()) return pos;
    const std::int64_t next = next_ < by_offset_.size() ? newest_.Entries()[by_offset_[next_]].offset : INT64_MAX;
    const std::uint64_t* const filter = filter_.data();
    const std::size_t head_bytes = head_bytes_;
    const bool fold = !shape_.names_differ_by_case;
    const bool quoted = shape_.kind == ListKind::kFileManager;
    const std::int64_t at = block_start_;
    bool own = false;
    ForEachLineFeed(data, pos, got, [&](std::size_t lf) {
      if (Filtered(filter, head_bytes, fold, quoted, data + pos, lf + 1 - pos)) return false;
      pos = lf + 1;
      own = at + static_cast<std::int64_t>(pos) == next;
      return !own;
    });
    digesting_ = own;
    *line_start = at + static_cast<std::int64_t>(pos);
    return pos;
  }
  bool Decide(ByteView head, std::int64_t start, std::int64_t end, std::uint64_t digest);
  bool LeaveOut(std::int64_t start, std::int64_t end);
  bool Start();
  bool Copy(std::int64_t from, std::int64_t to);

  ListFile& list_;
  const ListShape& shape_;
  const NewestLines& newest_;
  std::vector<std::uint32_t> by_offset_;  // the entries in the order of their lines
  std::vector<char> block_;
  std::int64_t block_start_ = 0;  // where the bytes in block_ lie in the list
  std::size_t block_size_ = 0;
  std::vector<char> copy_block_;
  Bytes head_;  // the first bytes of a line that began in the block before
  Bytes key_;   // a key in lower case
  // A bit for each name's first key bytes: most lines are none of the run's.
  std::size_t head_bytes_ = 8;
  std::vector<std::uint64_t> filter_ = std::vector<std::uint64_t>(1024);
  bool digesting_ = false;    // the current line starts where one of the run's lines was placed
  std::size_t next_ = 0;      // the next of the run's lines to meet
  bool leaving_out_ = false;  // the line before was left out: continuation lines below it go too
  LineFile file_;             // the new file
  Bytes path_;
  bool started_ = false;
  bool in_kernel_ = true;       // the system copies the kept lines
  std::int64_t copied_to_ = 0;  // the list's bytes before this are copied or left out
};

bool Rewrite::Scan(std::int64_t end) {
  // No larger than the list: a small list takes little memory.
  block_.resize(static_cast<std::size_t>(std::min<std::int64_t>(end, kBlockBytes)));
  std::int64_t line_start = shape_.first_line;
  Digest digest;
  digesting_ = StartsNext(line_start);
  for (std::int64_t at = line_start; at < end;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(end - at, block_.size()));
    const std::size_t got = ReadAt(list_.file, at, block_.data(), want);
    if (TakeIoResult() != 0 || got == 0) return false;
    block_start_ = at;
    block_size_ = got;
    const char* const data = block_.data();
    for (std::size_t pos = 0; pos < got;) {
      pos = PassBy(data, pos, got, &line_start);
      if (pos == got) break;
      const void* const lf = std::memchr(data + pos, '\n', got - pos);
      const std::size_t piece_end =
          lf == nullptr ? got : static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1;
      const ByteView piece(data + pos, piece_end - pos);
      if (digesting_) AddBytes(digest, piece);
      pos = piece_end;
      // A line that lies in the block whole is looked at where it lies.
      ByteView head;
      if (head_.empty() && lf != nullptr) {
        head = piece.substr(0, kHeadBytes + 1);
      } else if (head_.size() <= kHeadBytes) {
        head_.append(piece.substr(0, kHeadBytes + 1 - head_.size()));
      }
      if (lf == nullptr) break;
      if (head.empty()) head = head_;
      const std::int64_t line_end = at + static_cast<std::int64_t>(piece_end);
      if (!Passes(head)) {
        leaving_out_ = false;
      } else if (!Decide(head, line_start, line_end, digesting_ ? ValueOf(digest) : 0)) {
        return false;
      }
      line_start = line_end;
      head_.clear();
      digest = Digest();
      digesting_ = StartsNext(line_start);
    }
    // Where the system cannot copy, the lines kept so far go to the new
    // file while the block holds them.
    if (started_ && !in_kernel_) {
      if (!Copy(copied_to_, line_start)) return false;
      copied_to_ = std::max(copied_to_, line_start);
    }
    at += static_cast<std::int64_t>(got);
  }
  // A last line without a line end.
  if (line_start < end && !Decide(head_, line_start, end, ValueOf(digest))) return false;
  return next_ == by_offset_.size();
}

// Whether the line at [start, end), which begins with head (one byte more
// than kHeadBytes at most), and whose bytes have the digest when it is where
// one of the run's lines was placed, stays.
bool Rewrite::Decide(ByteView head, std::int64_t start, std::int64_t end, std::uint64_t digest) {
  const bool whole = head.size() <= kHeadBytes;
  ByteView text = head;
  if (whole && !text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (whole && !text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (digesting_) {
    const NewestLines::Entry& line = newest_.Entries()[by_offset_[next_++]];
    if (end - start != line.length || digest != line.line) return false;
  }
  if (shape_.kind == ListKind::kBulletinBoard && leaving_out_ && !text.empty() && (text[0] == ' ' || text[0] == '\t')) {
    return LeaveOut(start, end);
  }
  leaving_out_ = false;
  const ByteView key = NameKey(text, shape_.kind, shape_.names_differ_by_case, &key_);
  // A name that goes on past the kept start is none of the run's.
  const bool quote_open =
      shape_.kind == ListKind::kFileManager && !text.empty() && text[0] == '"' && text.find('"', 1) == ByteView::npos;
  if (key.empty() || (!whole && (key.size() == text.size() || quote_open))) return true;
  const NewestLines::Entry* found = newest_.Find(NameIdOf(key));
  if (found == nullptr) return true;
  const std::int64_t newest = found->offset;
  // Lines of the name the list held at the open are older, wherever they lie.
  if (start < newest || (start > newest && start < shape_.found_end)) {
    leaving_out_ = true;
    return LeaveOut(start, end);
  }
  return true;
}

bool Rewrite::LeaveOut(std::int64_t start, std::int64_t end) {
  if (!started_ && !Start()) return false;
  if (!Copy(copied_to_, start)) return false;
  copied_to_ = end;
  return true;
}

// Makes the new file, never more open than the list.
bool Rewrite::Start() {
  path_ = list_.path + Bytes(kReplacementSuffix);
  CreateLike(file_, path_, list_.file);
  // A file of that name came after the run removed the one it found: not
  // the run's to write over.
  if (TakeIoResult() != 0) return false;
  started_ = true;
  return true;
}

// The system copies in the kernel where it can; elsewhere bytes the block
// holds are taken from it, and others are read again.
bool Rewrite::Copy(std::int64_t from, std::int64_t to) {
  if (in_kernel_ && from < to) {
    FlushLineFile(file_);
    std::int64_t done = 0;
    const int error = TakeIoResult() != 0 ? kErrorAccessDenied
                                          : Os().CopyRange(list_.file.handle, from, to - from, file_.handle, &done);
    if (error != kErrorNotImplemented) return error == 0 && done == to - from;
    in_kernel_ = false;
  }
  const std::int64_t block_end = block_start_ + static_cast<std::int64_t>(block_size_);
  while (from < to) {
    ByteView bytes;
    if (from >= block_start_ && from < block_end) {
      bytes = ByteView(block_.data() + (from - block_start_), static_cast<std::size_t>(std::min(to, block_end) - from));
    } else {
      const std::int64_t stop = from < block_start_ ? std::min(to, block_start_) : to;
      copy_block_.resize(block_.size());
      const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(stop - from, copy_block_.size()));
      const std::size_t got = ReadAt(list_.file, from, copy_block_.data(), want);
      if (TakeIoResult() != 0 || got == 0) return false;
      bytes = ByteView(copy_block_.data(), got);
    }
    WriteBytes(file_, bytes);
    if (TakeIoResult() != 0) return false;
    from += static_cast<std::int64_t>(bytes.size());
  }
  return true;
}

void Rewrite::Finish(std::int64_t end, const FileIdentity& identity) {
  if (!Copy(copied_to_, end)) return Abandon();
  // A mark that the older lines kept out of the list's final bytes would
  // cut the list there when it is next opened.
  FlushLineFile(file_);
  if (TakeIoResult() != 0 || EndOfFileMarkCut(file_) >= 0) return Abandon();
  SyncLineFile(file_);
  if (TakeIoResult() != 0) return Abandon();
  const FileHandle replacement = ReleaseHandle(file_);
  const FileHandle old = ReleaseHandle(list_.file);
  TakeIoResult();
  if (replacement == kNoFile || old == kNoFile) {
    if (replacement != kNoFile) Os().Close(replacement);
    if (old != kNoFile) Os().Close(old);
    return Abandon();
  }
  if (Os().ReplaceOpenFile(old, list_.path, identity, replacement, path_) != 0) return Abandon();
  // Until then a power loss may bring the old list back, which holds every
  // line of the new one.
  Os().SyncDirectory(list_.directory);
}

void Rewrite::Abandon() {
  if (!started_) return;
  if (file_.state != LineFileState::kClosed) CloseLineFile(file_);
  Os().Remove(path_);
  TakeIoResult();
}

}  // namespace

bool ReplaceWithoutOlderLines(ListFile& list, const ListShape& shape, NewestLines& newest) {
  FlushLineFile(list.file);
  FileIdentity read;
  IdentifyLineFile(list.file, &read);
  // Another program moved the list's end, or put another file in its place:
  // the run's lines may not be where it counts them.
  if (TakeIoResult() != 0 || read.size != PlacedEnd(list.file) || !list.file.moves.empty() ||
      !SameFile(read, list.identity)) {
    return false;
  }
  newest.Settle();
  Rewrite rewrite(list, shape, newest);
  if (!rewrite.Scan(read.size)) {
    rewrite.Abandon();
    return false;
  }
  if (!rewrite.Started()) return false;
  rewrite.Finish(read.size, read);
  return list.file.state == LineFileState::kClosed;
}
