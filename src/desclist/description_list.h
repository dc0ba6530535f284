#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"
#include "desclist/line_check.h"
#include "desclist/list_line.h"
#include "logcomment/code_page.h"
#include "platform/platform.h"
#include "textfile/line_file.h"

// The description list of the directory a run harvests, open from the start
// of the harvest to its end, and the logs whose lines wait to be safe.
//
// A log handed over with its line is deleted only once that line is on
// stable storage and still in the list: lines are written out and the list
// is synced, the list is checked to be the file under its name and to hold
// each waiting line where it was written, and the directory is synced, before
// the logs of a batch are deleted, each only if it is still the log that was
// read. One sync covers a batch; a batch ends at kMaxPendingLogs logs, at
// kMaxPendingPathBytes of their paths, or before the lines waiting for it
// would span more than kBatchSpanBytes of the list.
//
// After a crash the waiting lines are in the list and their logs still
// exist. The next run reads the list's last kTailBytes (its tail): the latest
// line of a name found there whole, byte for byte, vouches for one log of
// that name, which goes without a second line. The tail is twice a batch's
// span, so the lines of a batch whose logs' deletion a power loss undid are
// still in it after the next batch's lines are on disk.
//
// Every failed file operation raises EInOutError; the logs whose lines are
// not known to be safe are then still there.

constexpr std::size_t kMaxPendingLogs = 8192;
constexpr std::size_t kMaxPendingPathBytes = 512 * 1024;
constexpr std::int64_t kBatchSpanBytes = 512 * 1024;
constexpr std::int64_t kTailBytes = 2 * kBatchSpanBytes;

// The logs that one walk of the directory saw.
struct DirectoryLogs {
  bool complete = false;  // names holds every log of the directory
  std::vector<Bytes> names;
};

// The latest line the list holds for one name, as far as the run knows it.
struct LatestLine {
  Bytes line;            // without its line end
  bool unknown = false;  // a line of this run too long to keep: equal to none
  // The occurrences of line in the tail since the name's last other line
  // that no log of this run has claimed yet; each vouches for one log.
  std::vector<std::int64_t> vouching;
};

struct DescriptionList {
  LineFile file;
  Bytes path;
  FileIdentity identity;  // the file opened: the list under its name must stay it
  Bytes directory;
  ListKind kind = ListKind::kFileManager;
  ListEncoding encoding = ListEncoding::kDosCyrillic;
  bool names_differ_by_case = true;
  bool created = false;  // this run made the file
  std::int64_t end = 0;  // offset of the list's end, pending bytes included
  // The latest line of each name the tail holds, and of the names this run
  // wrote since, by the name as the readers take it.
  std::unordered_map<Bytes, LatestLine> latest;
  std::size_t vouching_lines = 0;  // tail lines that may vouch, as indexed
  // The tail's last line when it has no line end, while this run may still
  // complete it: a line that starts with it gets only its rest written.
  Bytes torn;
  std::int64_t torn_offset = -1;
  std::vector<WaitingLog> pending;  // the batch
  std::size_t pending_path_bytes = 0;
  std::int64_t oldest_pending = 0;  // offset of the oldest waiting line
  // The oldest line of the logs deleted since the directory was last synced
  // (a deletion is durable only then), or -1.
  std::int64_t undurable_from = -1;
  bool replaced = false;  // another file took the list's name: nothing more is harvested
};

// Opens the list of kind in directory (which ends in a separator, or is empty
// for the current directory) for appending, or creates it, and reads its
// tail. A list that exists in another letter case is the one appended to:
// the new list's spelling wins, then the first other file. When that search
// walks the directory, the walk remembers the logs it passes in *logs.
void OpenDescriptionList(DescriptionList& list, const Bytes& directory, ListKind kind, DirectoryLogs* logs);

// The encoding the list's descriptions are written in.
ListEncoding EncodingOf(const DescriptionList& list);

// Whether a line for name can be written at all (see FormOfName).
bool CanBeListed(const DescriptionList& list, ByteView name);

// Whether the tail holds any line that may vouch for a log, or a torn last
// line.
bool TailMayVouch(const DescriptionList& list);

// Whether the tail may vouch for a log of name, or name's line may complete
// the torn last line: such logs are harvested before any line is appended,
// so that the lines an earlier run left stay within the tail until claimed.
bool MayBeInTail(const DescriptionList& list, ByteView name);

// Hands over the log read as `read` with its line, made of name (which can be
// listed) and description (not empty), when the tail vouches for it or the
// line completes the torn last line. Returns false, doing nothing, otherwise.
bool TakeFromTail(DescriptionList& list, ByteView name, ByteView description, const Bytes& log_path,
                  const FileIdentity& read);

// Hands over the log with its line: taken from the tail when it can be,
// appended otherwise. The log is deleted once its line is safe.
void AppendLine(DescriptionList& list, ByteView name, ByteView description, const Bytes& log_path,
                const FileIdentity& read);

// Appends the line of a log that could not be read, unless the latest line
// of its name is already that line; the log stays.
void AppendErrorLine(DescriptionList& list, ByteView name, ByteView description);

// True once another file has taken the list's name during the run: the
// lines since went into the old file, their logs stay, and the run harvests
// nothing more.
bool IsListReplaced(const DescriptionList& list);

// Ends the last batch (its logs are deleted once their lines are safe) and
// closes the list.
void CloseDescriptionList(DescriptionList& list);
