#include "desclist/description_list.h"

#include <algorithm>

#include "common/io_result.h"
#include "platform/paths.h"
#include "platform/platform.h"
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
    const Bytes entry_name = NamePart(entry.name);
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

// Splits the tail into lines. A line counts only when it starts the file or
// follows an LF, and ends in CR LF: a torn line never matches.
void IndexTail(DescriptionList& list, std::int64_t tail_start) {
  const ByteView tail = list.tail;
  std::size_t line_start = tail_start == 0 ? 0 : ByteView::npos;
  for (std::size_t lf = tail.find('\n'); lf != ByteView::npos; lf = tail.find('\n', lf + 1)) {
    if (line_start != ByteView::npos && lf > line_start && tail[lf - 1] == '\r') {
      list.unclaimed[tail.substr(line_start, lf - 1 - line_start)].push_back(tail_start +
                                                                             static_cast<std::int64_t>(line_start));
    }
    line_start = lf + 1;
  }
  if (line_start != ByteView::npos && line_start < tail.size()) {
    // A CR there lost its LF to the crash; the LF is written then.
    ByteView last = tail.substr(line_start);
    if (last.back() == '\r') last.remove_suffix(1);
    list.unended_offset = tail_start + static_cast<std::int64_t>(line_start);
    list.unclaimed[last].push_back(list.unended_offset);
  }
}

// Claims an occurrence of line in the tail: each occurrence vouches for one
// log only. Returns its offset, or -1 when the tail holds no unclaimed one.
std::int64_t ClaimTailLine(DescriptionList& list, ByteView line) {
  if (list.unclaimed.empty()) return -1;
  const auto found = list.unclaimed.find(line);
  if (found == list.unclaimed.end()) return -1;
  const std::int64_t offset = found->second.back();
  found->second.pop_back();
  if (found->second.empty()) list.unclaimed.erase(found);
  if (offset == list.unended_offset && list.file.needs_line_end) {
    list.end += static_cast<std::int64_t>(MissingLineEnd(list.file).size());
    EndLastLine(list.file);
    CheckIo();
  }
  return offset;
}

// Syncs the list (and, once, the directory that holds a list this run made)
// and deletes the logs that waited for it. On a failure they stay on disk.
void DeletePendingLogs(DescriptionList& list) {
  if (list.pending.empty()) return;
  SyncLineFile(list.file);
  CheckIo();
  if (list.created) {
    const int error = Os().SyncDirectory(list.directory);
    if (error != 0) SetIoResult(error);
    CheckIo();
    list.created = false;
  }
  for (const Bytes& path : list.pending) DeleteFileAt(path);
  list.pending.clear();
  list.pending_path_bytes = 0;
}

// Ends the batch before the list grows past the window measured from its
// oldest waiting line.
void KeepWithinWindow(DescriptionList& list, std::int64_t from, std::int64_t to) {
  if (!list.pending.empty() && to - std::min(from, list.oldest_pending) > kWindowBytes) DeletePendingLogs(list);
}

// The log's line is in the list from offset on: the log waits for the sync.
void AddPending(DescriptionList& list, const Bytes& log_path, std::int64_t offset) {
  if (list.pending.empty() || offset < list.oldest_pending) list.oldest_pending = offset;
  list.pending.push_back(log_path);
  list.pending_path_bytes += log_path.size();
  if (list.pending.size() >= kMaxPendingLogs || list.pending_path_bytes >= kMaxPendingPathBytes ||
      list.end - list.oldest_pending > kWindowBytes) {
    DeletePendingLogs(list);
  }
}

// Writes the line made of the name part and the description, and returns
// the offset where it starts.
std::int64_t WriteListLine(DescriptionList& list, ByteView name_part, ByteView description) {
  const std::int64_t lead = static_cast<std::int64_t>(MissingLineEnd(list.file).size());
  const std::int64_t size = lead + static_cast<std::int64_t>(name_part.size() + description.size() + kCrLf.size());
  KeepWithinWindow(list, list.end, list.end + size);
  WriteLine(list.file, {name_part, description});
  CheckIo();
  const std::int64_t offset = list.end + lead;
  list.end += size;
  return offset;
}

}  // namespace

void OpenDescriptionList(DescriptionList& list, const Bytes& directory, ListKind kind, DirectoryLogs* logs) {
  list.directory = directory;
  list.kind = kind;
  const Bytes path = ExistingListPath(directory, NewListName(kind), logs);
  if (IsExistingFile(path)) {
    OpenAppend(list.file, path);
  } else {
    // Creating appends to a list that exists after all (another run created
    // it since, or the check failed), so it is never emptied.
    list.created = CreateNew(list.file, path);
  }
  CheckIo();
  if (!list.created) {
    std::int64_t tail_start = 0;
    // One byte more than the window tells whether its first line starts after an LF.
    list.tail = ReadTail(list.file, static_cast<std::size_t>(kWindowBytes) + 1, &tail_start, &list.end);
    CheckIo();
    IndexTail(list, tail_start);
  }
}

bool CanBeListed(const DescriptionList& list, ByteView name) {
  return FormOfName(name, list.kind) != NameForm::kUnsafe;
}

void AppendLine(DescriptionList& list, ByteView name, ByteView description, const Bytes& log_path) {
  const Bytes name_part = NamePartOfLine(name, FormOfName(name, list.kind));
  // A line already in the list's tail was written by a run that ended before
  // it deleted the log: the log goes without a second line. A line longer
  // than the tail cannot be there, and is never copied to be looked up.
  std::int64_t offset = -1;
  if (!list.unclaimed.empty() && name_part.size() + description.size() <= static_cast<std::size_t>(kWindowBytes)) {
    offset = ClaimTailLine(list, name_part + Bytes(description));
  }
  if (offset >= 0) {
    KeepWithinWindow(list, offset, list.end);
  } else {
    offset = WriteListLine(list, name_part, description);
  }
  AddPending(list, log_path, offset);
}

void AppendErrorLine(DescriptionList& list, ByteView name, ByteView description) {
  // The log stays, so its line is written again by each run.
  WriteListLine(list, NamePartOfLine(name, FormOfName(name, list.kind)), description);
}

void CloseDescriptionList(DescriptionList& list) {
  DeletePendingLogs(list);
  CloseLineFile(list.file);
  CheckIo();
}
