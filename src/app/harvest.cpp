#include "app/harvest.h"

#include "common/io_result.h"
#include "desclist/description_list.h"
#include "logcomment/log_comment.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/queries.h"
#include "textfile/line_file.h"

namespace {

constexpr ByteView kMarkerFileName = "to_bbs";
constexpr ByteView kLogPattern = "*.log";
constexpr std::uint32_t kAllAttributes = 63;
constexpr ByteView kSwitch = "-F";

// The directory to harvest, from the command line: argument 1 (a directory,
// or a file whose directory is meant), moved one level up by "-F"; without
// arguments, the program's own directory. It ends in the separator, or is
// empty for the current directory. False after the missing-directory
// message, when there is nothing to harvest.
bool WorkingDirectory(Bytes* directory) {
  const Bytes first = ArgumentAt(1);
  if (!first.empty()) {
    *directory = first;
    if (IsExistingFile(*directory)) *directory = DirectoryPart(*directory);
    if (!IsExistingDirectory(*directory)) {
      WriteLine(StandardOutputFile(), {"Error: Directory [", *directory, "] not found!"});
      CheckIo();
      return false;
    }
    // Checked after the directory, so "-F" never leads to the message.
    if (UpperCaseLocale(ArgumentAt(2)) == kSwitch) *directory = DirectoryPart(*directory);
  } else {
    *directory = DirectoryPart(ArgumentAt(0));
  }
  // An empty working directory (a bare relative name with "-F") stays empty:
  // the current directory is harvested.
  const char separator = SeparatorOf(Os().Style());
  if (!directory->empty() && directory->back() != separator) *directory += separator;
  return true;
}

// The marker is looked up beside the program, never in the working directory.
ListKind KindOfList() {
  const bool marker = IsExistingFile(DirectoryPart(ArgumentAt(0)) + Bytes(kMarkerFileName));
  return marker ? ListKind::kBulletinBoard : ListKind::kFileManager;
}

// One log: its companion must exist; its comment goes into the list, and
// the log is deleted once its line is safe.
void HarvestLog(DescriptionList& list, const Bytes& log_name) {
  if (!IsLogName(log_name)) return;
  const Bytes companion = CompanionName(log_name);
  if (!CanBeListed(list, companion) || !IsExistingFile(list.directory + companion)) return;

  const Bytes log_path = list.directory + log_name;
  int open_error = 0;
  const Bytes description = ReadLogComment(log_path, &open_error);
  // Its writer is still at work: the comment may not be there yet. A log
  // gone since the walk saw it was harvested by a run before this one took
  // the list: there is nothing left to read or to report.
  if (open_error == kErrorHeldByWriter || open_error == kErrorFileNotFound) return;
  if (open_error != 0) {
    // A log that could not be read keeps its comment: it stays for a later run.
    AppendErrorLine(list, companion, description);
  } else if (description.empty()) {
    DeleteFileAt(log_path);
  } else {
    AppendLine(list, companion, description, log_path);
  }
}

// Every log of the directory, from the walk that found the list or from a
// walk of its own.
void HarvestLogs(DescriptionList& list, const DirectoryLogs& logs) {
  if (logs.complete) {
    for (const Bytes& log_name : logs.names) HarvestLog(list, log_name);
    return;
  }
  WalkGuard walk;
  FoundEntry entry;
  if (FirstMatchingEntry(list.directory + Bytes(kLogPattern), kAllAttributes, &walk.find, &entry) != 0) return;
  do {
    HarvestLog(list, NamePart(entry.name));
  } while (NextMatchingEntry(walk.find, kAllAttributes, &entry) == 0);
}

}  // namespace

void HarvestRun() {
  Bytes directory;
  if (!WorkingDirectory(&directory)) return;
  DescriptionList list;
  DirectoryLogs logs;
  OpenDescriptionList(list, directory, KindOfList(), &logs);
  HarvestLogs(list, logs);
  CloseDescriptionList(list);
}
