#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"
#include "desclist/list_line.h"
#include "textfile/line_file.h"

// The description list of the directory a run harvests, open from the start
// of the harvest to its end, and the logs whose lines wait to be safe.
//
// A log handed over with its line is deleted only once that line is on
// stable storage: lines are written out and the list is synced (and, for a
// list this run created, its directory, once) before the logs of a batch are
// deleted. One sync covers a batch; a batch ends at kMaxPendingLogs logs, at
// kMaxPendingPathBytes of their paths, or before the lines waiting for it
// would span more than kWindowBytes of the list.
//
// After a crash the waiting lines are in the list and their logs still
// exist. The next run reads the list's last kWindowBytes (its tail): a whole
// line found there, byte for byte, vouches for one log, which goes without a
// second line. The span bound is what makes a crash leave no duplicate.
//
// Every failed file operation raises EInOutError; the logs whose lines are
// not known to be safe are then still there.

constexpr std::size_t kMaxPendingLogs = 8192;
constexpr std::size_t kMaxPendingPathBytes = 512 * 1024;
constexpr std::int64_t kWindowBytes = 512 * 1024;

// The logs that one walk of the directory saw.
struct DirectoryLogs {
  bool complete = false;  // names holds every log of the directory
  std::vector<Bytes> names;
};

struct DescriptionList {
  LineFile file;
  Bytes directory;
  ListKind kind = ListKind::kFileManager;
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

// Opens the list of kind in directory (which ends in a separator, or is empty
// for the current directory) for appending, or creates it, and reads its
// tail. A list that exists in another letter case is the one appended to:
// the new list's spelling wins, then the first other file. When that search
// walks the directory, the walk remembers the logs it passes in *logs.
void OpenDescriptionList(DescriptionList& list, const Bytes& directory, ListKind kind, DirectoryLogs* logs);

// Whether a line for name can be written at all (see FormOfName).
bool CanBeListed(const DescriptionList& list, ByteView name);

// Hands over the log at log_path with its line, made of name (which can be
// listed) and description (not empty). A line already in the tail vouches
// for the log, which then goes without a second line; otherwise the line is
// appended. The log is deleted once its line is safe.
void AppendLine(DescriptionList& list, ByteView name, ByteView description, const Bytes& log_path);

// Appends the line of a log that could not be read; the log stays.
void AppendErrorLine(DescriptionList& list, ByteView name, ByteView description);

// Ends the last batch (its logs are deleted once the list is synced) and
// closes the list.
void CloseDescriptionList(DescriptionList& list);
