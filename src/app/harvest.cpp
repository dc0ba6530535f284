#include "app/harvest.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "app/queries.h"
#include "common/io_result.h"
#include "logcomment/log_comment.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "textfile/line_file.h"

namespace {

constexpr ByteView kMarkerFileName = "to_bbs";
constexpr ByteView kBbsListName = "Files.bbs";
constexpr ByteView kFileManagerListName = "Descript.ion";
constexpr ByteView kLogPattern = "*.log";
constexpr std::uint32_t kAllAttributes = 63;
constexpr std::size_t kSuffixLength = 4;
constexpr ByteView kSwitch = "-F";

// A log is deleted only once its line is on stable storage, so logs whose
// lines are written wait, and one sync of the list covers a batch of them.
// A batch ends at whichever bound it meets first: the number of logs, the
// bytes of their paths (the memory held for them), or the span of the list
// from the oldest waiting line to the end. After a crash the waiting lines
// are in the list and their logs still exist; the next run reads the list's
// last kWindowBytes and recognises them there, so the span bound is what
// makes a crash leave no duplicate.
constexpr std::size_t kMaxPendingLogs = 8192;
constexpr std::size_t kMaxPendingPathBytes = 512 * 1024;
constexpr std::int64_t kWindowBytes = 512 * 1024;

// Ends a directory walk however the run leaves it.
struct FindGuard {
  FindHandle find = nullptr;
  ~FindGuard() {
    if (find != nullptr) Os().FindEnd(find);
  }
};

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameIgnoringCase(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// The spelling of a new list. Where names differ by letter case, readers
// open the list in lower case only, so that is the spelling given to it.
Bytes NewListName(ByteView name) {
  Bytes spelling(name);
  if (Os().NamesAreCaseSensitive()) {
    for (char& c : spelling) c = LowerAscii(c);
  }
  return spelling;
}

// The platform's pattern may also match through an alternate short name
// ("data.logx" is DATA~1.LOG there): only an entry whose own name ends in
// ".log" is a log, so no other file is ever read or deleted as one.
bool IsLogName(ByteView name) {
  const ByteView suffix = kLogPattern.substr(1);
  return name.size() >= suffix.size() && SameIgnoringCase(name.substr(name.size() - suffix.size()), suffix);
}

// Where the list is, and the logs the search passed when it saw them all.
struct ListSearch {
  Bytes path;
  bool logs_known = false;
  std::vector<Bytes> logs;
};

// The logs one walk remembers: a directory with more logs is walked again
// for them, which its logs' own work outweighs.
constexpr std::size_t kMaxRememberedLogs = 4096;

// The list's path as it exists in the directory. The platform may match
// names without regard to case, so an existing list in another spelling is
// the one to append to: the new list's spelling wins, then the first other
// file. A list that exists in no spelling gets the new list's spelling.
// Looking for another spelling walks the whole directory; that walk also
// remembers the logs, so that the run needs no second one.
ListSearch ExistingListName(const Bytes& directory, ByteView name) {
  ListSearch search;
  search.path = directory + Bytes(name);
  if (IsExistingFile(search.path)) return search;
  FindGuard walk;
  FoundEntry entry;
  if (FirstMatchingEntry(directory + "*", kAllAttributes, &walk.find, &entry) != 0) return search;
  bool decided = false;
  search.logs_known = true;
  int error = 0;
  do {
    const Bytes entry_name = NamePart(entry.name);
    if (!decided && SameIgnoringCase(entry_name, name)) {
      if (entry_name == name) {
        decided = true;
      } else if ((entry.attributes & kAttributeDirectory) == 0) {
        decided = true;
        search.path = directory + entry_name;
      }
    }
    if (search.logs_known && IsLogName(entry_name)) {
      if (search.logs.size() < kMaxRememberedLogs) {
        search.logs.push_back(entry_name);
      } else {
        search.logs_known = false;
        std::vector<Bytes>().swap(search.logs);
      }
    }
  } while ((error = NextMatchingEntry(walk.find, kAllAttributes, &entry)) == 0);
  // A walk cut short by a failure has not seen every log.
  if (error != kErrorNoMoreFiles) search.logs_known = false;
  return search;
}

// The open list and what the run knows of it.
struct List {
  LineFile file;
  Bytes directory;
  bool created = false;  // this run made the file: its name is synced once
  std::int64_t end = 0;  // offset of the list's end, pending bytes included
  Bytes tail;            // the list's last bytes as the run found them
  // Whole lines of the tail (without their CR LF) that no log of this run has
  // claimed yet, each with the offsets of its occurrences.
  std::unordered_map<ByteView, std::vector<std::int64_t>> unclaimed;
  // Offset of the last line when the list does not end with a line end: a
  // crash may have kept a line's CR LF from the file (a long line is written
  // apart from it). That line vouches too; its line end is written then.
  std::int64_t unended_offset = -1;
  std::vector<Bytes> pending;  // logs whose lines wait for the sync
  std::size_t pending_path_bytes = 0;
  std::int64_t oldest_pending = 0;  // offset of the oldest waiting line
};

// Splits the tail into lines. A line counts only when it starts the file or
// follows an LF, and ends in CR LF: a torn line never matches.
void IndexTail(List& list, std::int64_t tail_start) {
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
std::int64_t ClaimTailLine(List& list, ByteView line) {
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
void DeletePendingLogs(List& list) {
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
void KeepWithinWindow(List& list, std::int64_t from, std::int64_t to) {
  if (!list.pending.empty() && to - std::min(from, list.oldest_pending) > kWindowBytes) DeletePendingLogs(list);
}

// The log's line is in the list from offset on: the log waits for the sync.
void AddPending(List& list, const Bytes& log_path, std::int64_t offset) {
  if (list.pending.empty() || offset < list.oldest_pending) list.oldest_pending = offset;
  list.pending.push_back(log_path);
  list.pending_path_bytes += log_path.size();
  if (list.pending.size() >= kMaxPendingLogs || list.pending_path_bytes >= kMaxPendingPathBytes ||
      list.end - list.oldest_pending > kWindowBytes) {
    DeletePendingLogs(list);
  }
}

// Appends the line made of the name part and the description, and returns
// the offset where it starts.
std::int64_t AppendLine(List& list, ByteView name_part, ByteView description) {
  const std::int64_t lead = static_cast<std::int64_t>(MissingLineEnd(list.file).size());
  const std::int64_t size = lead + static_cast<std::int64_t>(name_part.size() + description.size() + kCrLf.size());
  KeepWithinWindow(list, list.end, list.end + size);
  WriteLine(list.file, {name_part, description});
  CheckIo();
  const std::int64_t offset = list.end + lead;
  list.end += size;
  return offset;
}

void HarvestLog(const Bytes& log_name, List& list, bool file_manager_list) {
  if (!IsLogName(log_name)) return;
  const Bytes& directory = list.directory;
  const Bytes companion =
      log_name.size() < kSuffixLength ? Bytes() : log_name.substr(0, log_name.size() - kSuffixLength);
  const NameForm form = FormOfName(companion, file_manager_list);
  if (form == NameForm::kUnsafe || !IsExistingFile(directory + companion)) return;

  const Bytes log_path = directory + log_name;
  int open_error = 0;
  const Bytes description = ReadLogComment(log_path, &open_error);
  // Its writer is still at work: the comment may not be there yet. A log
  // gone since the walk saw it was harvested by a run before this one took
  // the list: there is nothing left to read or to report.
  if (open_error == kErrorHeldByWriter || open_error == kErrorFileNotFound) return;
  if (description.empty()) {
    // A log that could not be read keeps its comment: it stays for a later run.
    if (open_error == 0) DeleteFileAt(log_path);
    return;
  }
  const Bytes name_part = form == NameForm::kQuoted ? "\"" + companion + "\" " : companion + " ";
  if (open_error != 0) {
    // The error line; the log stays, so it is written again by each run.
    AppendLine(list, name_part, description);
    return;
  }
  // A line already in the list's tail was written by a run that ended before
  // it deleted the log: the log goes without a second line. A line longer
  // than the tail cannot be there, and is never copied to be looked up.
  std::int64_t offset = -1;
  if (!list.unclaimed.empty() && name_part.size() + description.size() <= static_cast<std::size_t>(kWindowBytes)) {
    offset = ClaimTailLine(list, name_part + description);
  }
  if (offset >= 0) {
    KeepWithinWindow(list, offset, list.end);
  } else {
    offset = AppendLine(list, name_part, description);
  }
  AddPending(list, log_path, offset);
}

void HarvestLogs(List& list, const ListSearch& search, bool file_manager_list) {
  if (search.logs_known) {
    for (const Bytes& log_name : search.logs) HarvestLog(log_name, list, file_manager_list);
  } else {
    FindGuard walk;
    FoundEntry entry;
    if (FirstMatchingEntry(list.directory + Bytes(kLogPattern), kAllAttributes, &walk.find, &entry) == 0) {
      do {
        HarvestLog(NamePart(entry.name), list, file_manager_list);
      } while (NextMatchingEntry(walk.find, kAllAttributes, &entry) == 0);
    }
  }
  DeletePendingLogs(list);
}

}  // namespace

NameForm FormOfName(ByteView name, bool file_manager_list) {
  if (name.find_first_of(ByteView("\r\n\x1A", 3)) != ByteView::npos) return NameForm::kUnsafe;
  if (!file_manager_list) return NameForm::kPlain;
  if (name.find('"') != ByteView::npos) return NameForm::kUnsafe;
  return name.find_first_of(" \t") != ByteView::npos ? NameForm::kQuoted : NameForm::kPlain;
}

void HarvestRun() {
  Bytes directory;
  const Bytes first = ArgumentAt(1);
  if (!first.empty()) {
    directory = first;
    if (IsExistingFile(directory)) directory = DirectoryPart(directory);
    if (!IsExistingDirectory(directory)) {
      WriteLine(StandardOutputFile(), {"Error: Directory [", directory, "] not found!"});
      CheckIo();
      return;
    }
    // Checked after the directory, so "-F" never leads to the message.
    if (UpperCaseLocale(ArgumentAt(2)) == kSwitch) directory = DirectoryPart(directory);
  } else {
    directory = DirectoryPart(ArgumentAt(0));
  }

  // The marker is looked up beside the program, never in the working directory.
  const bool bbs_list = IsExistingFile(DirectoryPart(ArgumentAt(0)) + Bytes(kMarkerFileName));
  // An empty working directory (a bare relative name with "-F") stays empty:
  // the current directory is harvested.
  const char separator = SeparatorOf(Os().Style());
  if (!directory.empty() && directory.back() != separator) directory += separator;

  const ListSearch search = ExistingListName(directory, NewListName(bbs_list ? kBbsListName : kFileManagerListName));
  const Bytes& list_path = search.path;
  List list;
  list.directory = directory;
  if (IsExistingFile(list_path)) {
    OpenAppend(list.file, list_path);
  } else {
    // Creating appends to a list that exists after all (another run created
    // it since, or the check failed), so it is never emptied.
    list.created = CreateNew(list.file, list_path);
  }
  CheckIo();
  if (!list.created) {
    std::int64_t tail_start = 0;
    // One byte more than the window tells whether its first line starts after an LF.
    list.tail = ReadTail(list.file, static_cast<std::size_t>(kWindowBytes) + 1, &tail_start, &list.end);
    CheckIo();
    IndexTail(list, tail_start);
  }
  HarvestLogs(list, search, !bbs_list);
  CloseLineFile(list.file);
  CheckIo();
}
