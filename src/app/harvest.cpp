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
constexpr ByteView kSwitch = "-F";

// The program's directory. Where it cannot be told, the run ends with the
// report: a guess would harvest a directory the command line did not name.
Bytes ProgramDirectory() {
  const Bytes program = ArgumentAt(0);
  if (program.empty()) {
    SetIoResult(kErrorPathNotFound);
    CheckIo();
  }
  return DirectoryPart(program);
}

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
    *directory = ProgramDirectory();
  }
  // An empty working directory (a bare relative name with "-F") stays empty:
  // the current directory is harvested.
  const char separator = SeparatorOf(Os().Style());
  if (!directory->empty() && directory->back() != separator) *directory += separator;
  return true;
}

// The marker is looked up beside the program, never in the working directory.
ListKind KindOfList() {
  const bool marker = IsExistingFile(ProgramDirectory() + Bytes(kMarkerFileName));
  return marker ? ListKind::kBulletinBoard : ListKind::kFileManager;
}

// One log: its companion must exist, and its comment goes to the list,
// which deletes the log once its line is safe.
void HarvestLog(DescriptionList& list, const Bytes& directory, const Bytes& log_name) {
  const Bytes companion = CompanionName(log_name);
  if (!list.CanList(companion) || !IsExistingFile(directory + companion)) return;
  const Bytes log_path = directory + log_name;
  const LogComment comment = ReadLogComment(log_path, list.Encoding());
  // Its writer is still at work: the comment may not be there yet. A log
  // gone since the walk saw it was harvested by a run before this one took
  // the list: there is nothing left to read or to report.
  if (comment.open_error == kErrorHeldByWriter || comment.open_error == kErrorFileNotFound) return;
  if (comment.open_error != 0) {
    // A log that could not be read keeps its comment: it stays for a later run.
    list.HandOverErrorLine(companion, comment.description);
  } else if (comment.description.empty()) {
    DeleteFileIfUnchanged(log_path, comment.identity);
  } else {
    list.HandOver(companion, comment.description, log_path, comment.identity);
  }
}

}  // namespace

void HarvestRun(const RunBounds& bounds) {
  Bytes directory;
  if (!WorkingDirectory(&directory)) return;
  DirectoryWalk walk(directory, bounds.max_walk_log_names);
  DescriptionList list(bounds);
  list.Open(directory, KindOfList(), walk);
  // The list asks for another walk when it passed logs over.
  do {
    walk.ForEachLog([&](const Bytes& log_name) {
      HarvestLog(list, directory, log_name);
      return list.MayHarvest();
    });
  } while (list.EndWalk());
  list.Close();
}
