#include "desclist/description_list.h"

#include <algorithm>

#include "common/io_result.h"
#include "desclist/line_check.h"
#include "platform/paths.h"
#include "platform/queries.h"
#include "textfile/line_file_read.h"

namespace {

constexpr ByteView kBbsListName = "Files.bbs";
constexpr ByteView kFileManagerListName = "Descript.ion";
constexpr std::uint32_t kAllAttributes = 63;

// The logs one walk remembers: a directory with more logs is walked again
// for them, which its logs' own work outweighs.
constexpr std::size_t kMaxRememberedLogs = 4096;

// The spelling of a new list. Where names differ by letter case, readers
// open the list in lower case only, so that is the spelling given to it.
Bytes NewListName(ListKind kind) {
  const ByteView name = kind == ListKind::kBulletinBoard ? kBbsListName : kFileManagerListName;
  return Os().NamesAreCaseSensitive() ? AsciiLowerCase(name) : Bytes(name);
}

// The list's path as it exists in the directory. The platform may match
// names without regard to case, so an existing list in another spelling is
// the one to append to: the new list's spelling wins, then the first other
// file. A list that exists in no spelling gets the new list's spelling.
// Looking for another spelling walks the whole directory; that walk also
// remembers the logs, so that the run needs no second one.
Bytes ExistingListPath(const Bytes& directory, ByteView name, DirectoryLogs* logs) {
  Bytes path = directory + Bytes(name);
  logs->complete = false;
  logs->names.clear();
  if (IsExistingFile(path)) return path;
  WalkGuard walk;
  FoundEntry entry;
  if (FirstMatchingEntry(directory + "*", kAllAttributes, &walk.find, &entry) != 0) return path;
  bool decided = false;
  logs->complete = true;
  int error = 0;
  do {
    const Bytes& entry_name = entry.name;  // a walk's names have no directory part
    if (!decided && SameIgnoringCase(entry_name, name)) {
      if (entry_name == name) {
        decided = true;
      } else if ((entry.attributes & kAttributeDirectory) == 0) {
        decided = true;
        path = directory + entry_name;
      }
    }
    if (logs->complete && IsLogName(entry_name)) {
      if (logs->names.size() < kMaxRememberedLogs) {
        logs->names.push_back(entry_name);
      } else {
        logs->complete = false;
        std::vector<Bytes>().swap(logs->names);
      }
    }
  } while ((error = NextMatchingEntry(walk.find, kAllAttributes, &entry)) == 0);
  // A walk cut short by a failure has not seen every log.
  if (error != kErrorNoMoreFiles) logs->complete = false;
  return path;
}

// The name a line describes, as the key of the latest lines: without regard
// to letter case where names do not differ by it.
Bytes KeyOf(const DescriptionList& list, ByteView line) {
  const ByteView name = NameOfLine(line, list.kind);
  return list.names_differ_by_case ? Bytes(name) : AsciiLowerCase(name);
}

// A line of the list at offset, without its line end; only a line whose
// line end is CR LF, as this program writes it, may vouch.
void NoteLine(DescriptionList& list, ByteView line, std::int64_t offset, bool may_vouch) {
  LatestLine& latest = list.latest[KeyOf(list, line)];
  if (latest.unknown || latest.line != line) {
    latest.line.assign(line.data(), line.size());
    latest.unknown = false;
    latest.vouching.clear();
  }
  if (may_vouch) {
    latest.vouching.push_back(offset);
    ++list.vouching_lines;
  }
}

// Notes every line of the tail. A line counts only when it starts the file
// (after a byte order mark) or follows an LF: the cut piece before the
// tail's first LF is no line. A last line without a line end may be a line
// whose line end a crash kept from the file, or the start of one.
void IndexTail(DescriptionList& list, ByteView tail, std::int64_t tail_start) {
  std::size_t line_start = ByteView::npos;
  if (tail_start == 0) line_start = list.encoding == ListEncoding::kUtf8 ? kByteOrderMark.size() : 0;
  for (std::size_t lf = tail.find('\n'); lf != ByteView::npos; lf = tail.find('\n', lf + 1)) {
    if (line_start != ByteView::npos && lf >= line_start) {
      ByteView line = tail.substr(line_start, lf - line_start);
      const bool crlf = !line.empty() && line.back() == '\r';
      if (crlf) line.remove_suffix(1);
      NoteLine(list, line, tail_start + static_cast<std::int64_t>(line_start), crlf);
    }
    line_start = lf + 1;
  }
  if (line_start != ByteView::npos && line_start < tail.size()) {
    const ByteView last = tail.substr(line_start);
    list.torn.assign(last.data(), last.size());
    list.torn_offset = tail_start + static_cast<std::int64_t>(line_start);
    // A CR there lost its LF to the crash; the LF is written then.
    NoteLine(list, last.back() == '\r' ? last.substr(0, last.size() - 1) : last, list.torn_offset, true);
  }
}

// This run wrote line for its name: where the tail holds a line of that
// name, or for an error line, it is the latest now, and vouches for no log.
// Lines too long to keep are known only as other than any. The names of the
// other lines of the run are not kept: no line of theirs can vouch.
void NoteNewLine(DescriptionList& list, ByteView name_part, ByteView description, bool keep) {
  const Bytes key = KeyOf(list, name_part);
  auto found = list.latest.find(key);
  if (found == list.latest.end()) {
    if (!keep) return;
    found = list.latest.emplace(key, LatestLine()).first;
  }
  LatestLine& latest = found->second;
  latest.vouching.clear();
  latest.unknown = name_part.size() + description.size() > static_cast<std::size_t>(kTailBytes);
  latest.line.clear();
  if (!latest.unknown) latest.line.append(name_part.data(), name_part.size()).append(description);
}

void SyncDirectoryOf(DescriptionList& list) {
  const int error = Os().SyncDirectory(list.directory);
  if (error != 0) SetIoResult(error);
  CheckIo();
  list.undurable_from = -1;
}

// The file under the list's name is still the one this run writes.
bool StillTheList(const DescriptionList& list) {
  if (list.file.kind != HandleKind::kDisk) return true;
  FileIdentity now;
  return Os().IdentityAt(list.path, &now) == 0 && SameFile(now, list.identity);
}

// Ends the batch: the list is synced and checked, the directory synced, and
// the logs whose lines are safe are deleted. On a failure they stay on disk.
void EndBatch(DescriptionList& list) {
  if (list.pending.empty()) return;
  // Logs deleted before, whose deletion is not yet durable, could come back
  // after a power loss: their lines must then still lie in the tail.
  if (list.undurable_from >= 0 && list.end - list.undurable_from > kTailBytes) SyncDirectoryOf(list);
  SyncLineFile(list.file);
  CheckIo();
  if (!StillTheList(list)) {
    list.replaced = true;
    list.pending.clear();
  }
  if (list.file.kind == HandleKind::kDisk) KeepLogsWhoseLinesAreThere(list.file, list.pending);
  if (!list.pending.empty()) {
    // The list's name (a new list, or one a killed run created) and the
    // deletions before are durable before these deletions are made.
    SyncDirectoryOf(list);
    for (const WaitingLog& log : list.pending) DeleteFileIfUnchanged(log.path, log.identity);
    list.undurable_from = list.oldest_pending;
  }
  list.pending.clear();
  list.pending_path_bytes = 0;
}

// Ends the batch before the list grows past its span measured from the
// oldest waiting line.
void KeepWithinSpan(DescriptionList& list, std::int64_t from, std::int64_t to) {
  if (!list.pending.empty() && to - std::min(from, list.oldest_pending) > kBatchSpanBytes) EndBatch(list);
}

// The log's line is in the list: the log waits for the batch's end.
void AddPending(DescriptionList& list, WaitingLog log) {
  if (list.pending.empty() || log.offset < list.oldest_pending) list.oldest_pending = log.offset;
  list.pending_path_bytes += log.path.size();
  list.pending.push_back(std::move(log));
  if (list.pending.size() >= kMaxPendingLogs || list.pending_path_bytes >= kMaxPendingPathBytes ||
      list.end - list.oldest_pending > kBatchSpanBytes) {
    EndBatch(list);
  }
}

// Writes the line made of the name part and the description and returns
// the offset where it starts. The torn last line, if any, is ended first.
std::int64_t WriteNewLine(DescriptionList& list, ByteView name_part, ByteView description, bool keep = false) {
  const std::int64_t lead = static_cast<std::int64_t>(MissingLineEnd(list.file).size());
  const std::int64_t size = lead + static_cast<std::int64_t>(name_part.size() + description.size() + kCrLf.size());
  KeepWithinSpan(list, list.end, list.end + size);
  WriteLine(list.file, {name_part, description});
  CheckIo();
  const std::int64_t offset = list.end + lead;
  list.end += size;
  list.torn_offset = -1;
  NoteNewLine(list, name_part, description, keep);
  return offset;
}

Bytes NamePartFor(const DescriptionList& list, ByteView name) {
  const Bytes listed = NameInList(name, list.encoding);
  return NamePartOfLine(listed, FormOfName(listed, list.kind));
}

// Whether the line made of the two parts starts with prefix; true also when
// it is exactly prefix.
bool LineStartsWith(ByteView name_part, ByteView description, ByteView prefix) {
  if (prefix.size() <= name_part.size()) return name_part.substr(0, prefix.size()) == prefix;
  return prefix.substr(0, name_part.size()) == name_part &&
         description.substr(0, prefix.size() - name_part.size()) == prefix.substr(name_part.size());
}

}  // namespace

void OpenDescriptionList(DescriptionList& list, const Bytes& directory, ListKind kind, DirectoryLogs* logs) {
  list.directory = directory;
  list.kind = kind;
  list.names_differ_by_case = Os().NamesAreCaseSensitive();
  list.path = ExistingListPath(directory, NewListName(kind), logs);
  if (IsExistingFile(list.path)) {
    OpenAppend(list.file, list.path);
  } else {
    // Creating appends to a list that exists after all (another run created
    // it since, or the check failed), so it is never emptied.
    list.created = CreateNew(list.file, list.path);
  }
  CheckIo();
  if (list.file.kind == HandleKind::kDisk) {
    IdentifyLineFile(list.file, &list.identity);
    CheckIo();
  }
  if (list.created) return;
  std::int64_t tail_start = 0;
  // One byte more than the tail tells whether its first line starts after an LF.
  const Bytes tail = ReadTail(list.file, static_cast<std::size_t>(kTailBytes) + 1, &tail_start, &list.end);
  CheckIo();
  Bytes head = tail.substr(0, kByteOrderMark.size());
  if (tail_start > 0) {
    head.resize(kByteOrderMark.size());
    head.resize(ReadAt(list.file, 0, head.data(), head.size()));
    CheckIo();
  }
  if (head == kByteOrderMark) {
    list.encoding = ListEncoding::kUtf8;
    // A list that is the mark alone has no line to end.
    if (list.end == static_cast<std::int64_t>(kByteOrderMark.size())) ContinueLastLine(list.file);
  }
  IndexTail(list, tail, tail_start);
  // The lines of the last batch of the run before may lie this far back;
  // their logs' deletion may not be durable yet.
  if (list.end > 0) list.undurable_from = std::max<std::int64_t>(0, list.end - kBatchSpanBytes);
}

ListEncoding EncodingOf(const DescriptionList& list) { return list.encoding; }

bool CanBeListed(const DescriptionList& list, ByteView name) {
  return FormOfName(NameInList(name, list.encoding), list.kind) != NameForm::kUnsafe;
}

bool TailMayVouch(const DescriptionList& list) { return list.vouching_lines > 0 || list.torn_offset >= 0; }

bool MayBeInTail(const DescriptionList& list, ByteView name) {
  if (!TailMayVouch(list)) return false;
  const Bytes name_part = NamePartFor(list, name);
  if (list.torn_offset >= 0) {
    const ByteView torn = list.torn;
    if (LineStartsWith(name_part, "", torn) || torn.substr(0, name_part.size()) == name_part) return true;
  }
  const auto found = list.latest.find(KeyOf(list, name_part));
  return found != list.latest.end() && !found->second.vouching.empty();
}

bool TakeFromTail(DescriptionList& list, ByteView name, ByteView description, const Bytes& log_path,
                  const FileIdentity& read) {
  if (list.replaced) return false;
  const Bytes name_part = NamePartFor(list, name);
  const std::int64_t length = static_cast<std::int64_t>(name_part.size() + description.size() + kCrLf.size());
  WaitingLog log{log_path, read, -1, length, LineDigest(name_part, description)};
  // A line longer than the tail cannot be in it, and is never copied to be
  // looked up.
  if (name_part.size() + description.size() <= static_cast<std::size_t>(kTailBytes)) {
    const Bytes line = name_part + Bytes(description);
    const auto found = list.latest.find(KeyOf(list, line));
    if (found != list.latest.end() && !found->second.unknown && found->second.line == line &&
        !found->second.vouching.empty()) {
      // A run that ended before it deleted the log wrote its line: the log
      // goes without a second one. A crash may have kept the line's end from
      // the file; it is written now.
      log.offset = found->second.vouching.back();
      found->second.vouching.pop_back();
      if (log.offset == list.torn_offset) {
        list.end += static_cast<std::int64_t>(MissingLineEnd(list.file).size());
        EndLastLine(list.file);
        CheckIo();
        list.torn_offset = -1;
      }
      KeepWithinSpan(list, log.offset, list.end);
      AddPending(list, std::move(log));
      return true;
    }
  }
  if (list.torn_offset >= 0 && length - 2 > static_cast<std::int64_t>(list.torn.size()) &&
      LineStartsWith(name_part, description, list.torn)) {
    // The torn last line is the start of this one: only its rest is written.
    log.offset = list.torn_offset;
    const std::size_t done = list.torn.size();
    const ByteView rest_of_name = done < name_part.size() ? ByteView(name_part).substr(done) : ByteView();
    const ByteView rest_of_description = description.substr(done - (name_part.size() - rest_of_name.size()));
    const std::int64_t rest = static_cast<std::int64_t>(rest_of_name.size() + rest_of_description.size() + 2);
    KeepWithinSpan(list, log.offset, list.end + rest);
    ContinueLastLine(list.file);
    WriteLine(list.file, {rest_of_name, rest_of_description});
    CheckIo();
    list.end += rest;
    list.torn_offset = -1;
    NoteNewLine(list, name_part, description, false);
    AddPending(list, std::move(log));
    return true;
  }
  return false;
}

void AppendLine(DescriptionList& list, ByteView name, ByteView description, const Bytes& log_path,
                const FileIdentity& read) {
  if (list.replaced || TakeFromTail(list, name, description, log_path, read)) return;
  const Bytes name_part = NamePartFor(list, name);
  WaitingLog log{log_path, read, 0, 0, LineDigest(name_part, description)};
  log.offset = WriteNewLine(list, name_part, description);
  log.length = list.end - log.offset;
  AddPending(list, std::move(log));
}

void AppendErrorLine(DescriptionList& list, ByteView name, ByteView description) {
  if (list.replaced) return;
  const Bytes name_part = NamePartFor(list, name);
  const auto found = list.latest.find(KeyOf(list, name_part));
  if (found != list.latest.end() && !found->second.unknown &&
      ByteView(found->second.line) == name_part + Bytes(description)) {
    return;
  }
  WriteNewLine(list, name_part, description, true);
}

bool IsListReplaced(const DescriptionList& list) { return list.replaced; }

void CloseDescriptionList(DescriptionList& list) {
  EndBatch(list);
  // A batch of lines far back in the tail (logs harvested again with the
  // same comment): the next run assumes the lines of logs whose deletion is
  // not durable within a batch's span of its start.
  if (!list.replaced && list.undurable_from >= 0 && list.end - list.undurable_from > kBatchSpanBytes) {
    SyncDirectoryOf(list);
  }
  CloseLineFile(list.file);
  CheckIo();
}
