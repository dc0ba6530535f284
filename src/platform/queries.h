#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/bytes.h"
#include "platform/platform.h"

// Command-line argument n: 0 is the program file's full path; 1, 2, ... are
// the arguments, empty when there is no such argument.
Bytes ArgumentAt(int n);

// A copy of text with every byte upper-cased under the user's locale.
Bytes UpperCaseLocale(ByteView text);

// A non-directory entry exists at path, and path does not end in a separator.
bool IsExistingFile(const Bytes& path);

// A directory exists at path. The empty path is not one.
bool IsExistingDirectory(const Bytes& path);

// The one walk of a directory, for the list's search for its spelling and for
// the run's logs. It passes over no entry: hidden and system files,
// directories and volume labels are all seen, as a walk asks for them with
// the mask of all six attribute classes. A walk over every entry keeps the
// names of the logs it passes, up to max_log_names (common/run_bounds.h); a
// directory with more logs is walked again, which their own work outweighs.
class DirectoryWalk {
 public:
  // directory ends in a separator, or is empty for the current directory.
  DirectoryWalk(Bytes directory, std::size_t max_log_names)
      : directory_(std::move(directory)), max_log_names_(max_log_names) {}

  // Calls visit with every entry of the directory, until it returns false.
  // An entry's name has no directory part.
  void ForEachEntry(const std::function<bool(const FoundEntry&)>& visit);

  // Calls visit with the name of every log (IsLogName), until it returns
  // false: the names the last ForEachEntry kept, when it saw every entry and
  // no more logs than it keeps, or else those a walk finds now.
  void ForEachLog(const std::function<bool(const Bytes&)>& visit);

 private:
  // Walks the entries that match pattern. False when visit stopped it or
  // the walk was cut short by a failure.
  bool Walk(ByteView pattern, const std::function<bool(const FoundEntry&)>& visit);

  Bytes directory_;
  std::size_t max_log_names_;
  bool kept_all_ = false;
  std::vector<Bytes> kept_;
};

// Platform::RemoveIfUnchanged, a file already gone counting as deleted (0): a
// file renamed over it, or written since, stays.
int DeleteFileIfUnchanged(const Bytes& path, const FileIdentity& identity);
