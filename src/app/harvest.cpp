#include "app/harvest.h"

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
// Logs whose lines are written wait at most this many to be deleted.
constexpr std::size_t kMaxPendingLogs = 256;

// Ends a directory walk however the run leaves it.
struct FindGuard {
  FindHandle find = nullptr;
  ~FindGuard() {
    if (find != nullptr) Os().FindEnd(find);
  }
};

// The spelling of a new list. Where names differ by letter case, readers
// open the list in lower case only, so that is the spelling given to it.
Bytes NewListName(ByteView name) {
  Bytes spelling(name);
  if (Os().NamesAreCaseSensitive()) {
    for (char& c : spelling) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return spelling;
}

// The list's path as it exists in the directory. The platform may match
// names without regard to case, so an existing list in another spelling is
// the one to append to: the new list's spelling wins, then the first other
// file. A list that exists in no spelling gets the new list's spelling.
Bytes ExistingListName(const Bytes& directory, ByteView name) {
  const Bytes exact = directory + Bytes(name);
  if (IsExistingFile(exact)) return exact;
  FindGuard walk;
  FoundEntry entry;
  if (FirstMatchingEntry(exact, kAllAttributes, &walk.find, &entry) != 0) return exact;
  do {
    if (entry.name == name) return exact;
    if ((entry.attributes & kAttributeDirectory) == 0) return directory + NamePart(entry.name);
  } while (NextMatchingEntry(walk.find, kAllAttributes, &entry) == 0);
  return exact;
}

// A log is deleted only once its line is on stable storage: logs whose lines
// were written wait here, and one sync of the list covers all of them. On a
// failure they stay on disk.
void DeletePendingLogs(LineFile& list, std::vector<Bytes>& pending) {
  if (pending.empty()) return;
  SyncLineFile(list);
  CheckIo();
  for (const Bytes& path : pending) DeleteFileAt(path);
  pending.clear();
}

// The platform's pattern may also match through an alternate short name
// ("data.logx" is DATA~1.LOG there): only an entry whose own name ends in
// ".log" is a log, so no other file is ever read or deleted as one.
bool IsLogName(ByteView name) {
  if (name.size() < kLogPattern.size() - 1) return false;
  const ByteView suffix = kLogPattern.substr(1);
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    const char c = name[name.size() - suffix.size() + i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != suffix[i]) return false;
  }
  return true;
}

void HarvestLog(const Bytes& directory, const Bytes& log_name, LineFile& list, bool file_manager_list,
                std::vector<Bytes>& pending) {
  if (!IsLogName(log_name)) return;
  const Bytes companion =
      log_name.size() < kSuffixLength ? Bytes() : log_name.substr(0, log_name.size() - kSuffixLength);
  const NameForm form = FormOfName(companion, file_manager_list);
  if (form == NameForm::kUnsafe || !IsExistingFile(directory + companion)) return;

  const Bytes log_path = directory + log_name;
  int open_error = 0;
  const Bytes description = ReadLogComment(log_path, &open_error);
  // Its writer is still at work: the comment may not be there yet.
  if (open_error == kErrorHeldByWriter) return;
  if (!description.empty()) {
    if (form == NameForm::kQuoted) {
      WriteLine(list, {"\"", companion, "\" ", description});
    } else {
      WriteLine(list, {companion, " ", description});
    }
    CheckIo();
  }
  // A log that could not be read keeps its comment: it stays for a later run.
  if (open_error != 0) return;
  if (description.empty()) {
    DeleteFileAt(log_path);
    return;
  }
  pending.push_back(log_path);
  if (pending.size() >= kMaxPendingLogs) DeletePendingLogs(list, pending);
}

void HarvestLogs(const Bytes& directory, LineFile& list, bool file_manager_list) {
  std::vector<Bytes> pending;
  FindGuard walk;
  FoundEntry entry;
  if (FirstMatchingEntry(directory + Bytes(kLogPattern), kAllAttributes, &walk.find, &entry) == 0) {
    do {
      HarvestLog(directory, NamePart(entry.name), list, file_manager_list, pending);
    } while (NextMatchingEntry(walk.find, kAllAttributes, &entry) == 0);
  }
  DeletePendingLogs(list, pending);
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

  const Bytes list_path = ExistingListName(directory, NewListName(bbs_list ? kBbsListName : kFileManagerListName));
  LineFile list;
  if (IsExistingFile(list_path)) {
    OpenAppend(list, list_path);
  } else {
    // Creating appends to a list that exists after all (another run created
    // it since, or the check failed), so it is never emptied.
    CreateNew(list, list_path);
  }
  CheckIo();
  HarvestLogs(directory, list, !bbs_list);
  CloseLineFile(list);
  CheckIo();
}
