#include "app/harvest.h"

#include <unordered_set>
#include <vector>

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
// The logs a walk keeps for later; with more, the directory is walked again.
constexpr std::size_t kMaxWaitingLogNames = 4096;

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

// How a log is taken in the walk.
enum class Pass {
  kFromTail,  // only if the list's tail may already hold its line; else later
  kAll,
};

enum class Taken {
  kDone,      // harvested, or nothing to harvest
  kFromTail,  // its line is the one the tail holds
  kLater,     // left for the pass over all logs
};

// One log: its companion must exist; its comment goes into the list, and
// the log is deleted once its line is safe.
Taken HarvestLog(DescriptionList& list, const Bytes& log_name, Pass pass) {
  if (!IsLogName(log_name)) return Taken::kDone;
  const Bytes companion = CompanionName(log_name);
  if (!CanBeListed(list, companion)) return Taken::kDone;
  if (pass == Pass::kFromTail && !MayBeInTail(list, companion)) return Taken::kLater;
  if (!IsExistingFile(list.directory + companion)) return Taken::kDone;

  const Bytes log_path = list.directory + log_name;
  const LogComment comment = ReadLogComment(log_path, EncodingOf(list));
  // Its writer is still at work: the comment may not be there yet. A log
  // gone since the walk saw it was harvested by a run before this one took
  // the list: there is nothing left to read or to report.
  if (comment.open_error == kErrorHeldByWriter || comment.open_error == kErrorFileNotFound) return Taken::kDone;
  if (comment.open_error != 0) {
    // A log that could not be read keeps its comment: it stays for a later run.
    AppendErrorLine(list, companion, comment.description);
  } else if (comment.description.empty()) {
    DeleteFileIfUnchanged(log_path, comment.identity);
  } else if (pass == Pass::kFromTail) {
    return TakeFromTail(list, companion, comment.description, log_path, comment.identity) ? Taken::kFromTail
                                                                                          : Taken::kLater;
  } else {
    AppendLine(list, companion, comment.description, log_path, comment.identity);
  }
  return Taken::kDone;
}

// Walks the directory's logs, or goes through the names a walk already
// found, handing each name to take; stops when take returns false.
template <typename Take>
void ForEachLog(const DescriptionList& list, const DirectoryLogs& found, Take take) {
  if (found.complete) {
    for (const Bytes& name : found.names) {
      if (!take(name)) return;
    }
    return;
  }
  WalkGuard walk;
  FoundEntry entry;
  if (FirstMatchingEntry(list.directory + Bytes(kLogPattern), kAllAttributes, &walk.find, &entry) != 0) return;
  do {
    if (!take(NamePart(entry.name))) return;
  } while (NextMatchingEntry(walk.find, kAllAttributes, &entry) == 0);
}

// Every log of the directory. The logs whose lines an earlier run may have
// left in the list's tail come first: this run's own lines must not push
// those lines out of the tail before they are claimed. The others wait in a
// list, or, when there are more than it keeps, for a second walk, which
// passes over the logs the first one took.
void HarvestLogs(DescriptionList& list, const DirectoryLogs& found) {
  const auto all = [&](const Bytes& name) {
    HarvestLog(list, name, Pass::kAll);
    return !IsListReplaced(list);
  };
  if (!TailMayVouch(list)) return ForEachLog(list, found, all);

  std::vector<Bytes> later;
  std::unordered_set<Bytes> taken;
  bool more = false;
  ForEachLog(list, found, [&](const Bytes& name) {
    const Taken how = HarvestLog(list, name, Pass::kFromTail);
    if (how == Taken::kFromTail) {
      taken.insert(name);
    } else if (how == Taken::kLater && later.size() < kMaxWaitingLogNames) {
      later.push_back(name);
    } else if (how == Taken::kLater) {
      more = true;
    }
    return !IsListReplaced(list);
  });
  for (const Bytes& name : later) {
    if (!all(name)) return;
  }
  if (!more) return;
  taken.insert(later.begin(), later.end());
  ForEachLog(list, DirectoryLogs(), [&](const Bytes& name) { return taken.count(name) != 0 || all(name); });
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
