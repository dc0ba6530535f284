#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "common/bytes.h"
#include "common/run_bounds.h"
#include "desclist/kept_names.h"
#include "platform/platform.h"
#include "textfile/line_file.h"

// The batch of a list: the waiting logs that one sync covers (see the words
// in description_list.h), the rules of its span, and the order in which it
// ends: the list is synced, the file under the list's name is checked to be
// the one written and to hold each waiting line where it was written (read
// back, as a digest of its bytes), the directory is synced, the file under
// the name is checked once more to be that one, unchanged, and the logs are
// deleted, each only if it is still the log that was read.

// The list's file as a batch meets it, open from the run's start to its end.
struct ListFile {
  LineFile file;
  Bytes directory;        // where the list lies: ends in a separator, or is empty
  Bytes path;             // the list's name in it
  FileIdentity identity;  // the file opened: the list under its name must stay it
};

// A log whose line is in the list, waiting for the line to be safe.
struct WaitingLog {
  Bytes path;
  FileIdentity identity;     // the log as it was read
  std::int64_t offset = 0;   // where its line starts in the list (PlacedEnd's count)
  std::int64_t length = 0;   // the line's bytes with its CR LF
  std::uint64_t digest = 0;  // of those bytes
  NameId name;
};

class Batch {
 public:
  Batch(ListFile& list, const RunBounds& bounds, KeptNames& kept) : list_(list), bounds_(bounds), kept_(kept) {}
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  // The lines of the run before may lie from offset on: their logs'
  // deletion may not be durable yet.
  void AssumeUndurableFrom(std::int64_t offset) { undurable_from_ = offset; }

  // Before a line is placed at [from, to): ends the batch when its waiting
  // lines and that one would span more than a batch may, and syncs the
  // directory first when the line would reach more than a batch's span past
  // the lines of logs whose deletion is not durable yet.
  void MakeRoomFor(std::int64_t from, std::int64_t to);

  // The log's line lies in the list: the log waits. Ends the batch once it
  // holds as many logs, or as many bytes of their paths, as it may, or its
  // lines span as much of the list.
  void Add(WaitingLog log);

  // Ends the batch (see above).
  void End();

  // Ends the last batch before the list is closed; and when lines far back
  // in the tail waited (logs harvested again with the same comment), syncs
  // the directory, as the next run assumes the logs of its list's last
  // batch span only.
  void EndBeforeClose();

  // False once the run is to harvest nothing more, and the logs whose lines
  // are not known to be safe stay for the next run, none of those lines
  // pushed out of its tail by this run's: another program saved a file under
  // the list's name or changed the lines this run wrote, or a log changed
  // since it was read or its deletion failed. A deletion the run has no right
  // to make is no such failure: the name is refused (kept_names.h).
  bool MayGoOn() const { return may_go_on_; }

  // Whether this run left the log, as it was read, for want of the right to
  // delete it (or to delete a log of its name before it): its line is in the
  // list already, and a later walk of the run passes it by.
  bool LeftByThisRun(const Bytes& path, const FileIdentity& identity) const;

 private:
  void CheckWaitingLines();
  bool MarkWouldCut();
  void SyncDirectory();

  ListFile& list_;
  const RunBounds& bounds_;
  std::vector<WaitingLog> waiting_;
  std::size_t path_bytes_ = 0;
  std::int64_t oldest_ = 0;  // offset of the oldest waiting line
  // The oldest line of the logs deleted since the directory was last synced
  // (a deletion is durable only then), or -1.
  std::int64_t undurable_from_ = -1;
  bool may_go_on_ = true;
  KeptNames& kept_;
  std::unordered_set<std::uint64_t> left_logs_;  // LogDigest of the logs left so
};
