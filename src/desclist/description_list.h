#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/run_bounds.h"
#include "desclist/batch.h"
#include "desclist/list_line.h"
#include "desclist/older_lines.h"
#include "desclist/tail_index.h"
#include "logcomment/code_page.h"
#include "platform/platform.h"
#include "platform/queries.h"

// The description list of the directory a run harvests, open from the start
// of the harvest to its end. The run hands it each log's line; the list
// decides what becomes of the line, and deletes the log once the line is
// safe.
//
// The words used here and in the rooms of the list:
//
// tail         The last bytes of the list as the run opened it (its size:
//              common/run_bounds.h). After a crash, the next run reads its
//              tail to find the lines the crashed run left.
// torn line    The list's last line when it lacks its line end: the start of
//              a line that a crash cut short, a whole line whose line end it
//              kept from the file, or another program's last line.
// vouch        A line of the tail vouches for a log when a run before
//              wrote it and stopped before it deleted the log: the log goes
//              without a second line. Which lines may: tail_index.h.
// claim        A log claims the occurrence that vouches for it; no other log
//              can then.
// waiting log  A log whose line is in the list, waiting for the line to be
//              on stable storage and checked before the log is deleted.
// batch        The waiting logs that one sync covers (batch.h).
// held line    A line handed over and not written yet. While a line of the
//              tail may still vouch for a log the walk has not reached, or
//              the torn line may still be completed, a line of the run's own
//              would push the one out of the next run's tail or end the
//              other. Held lines are written when the walk ends.
// passed over  A log whose line could not be held, as many lines are held
//              already: the run walks the directory once more for it.
//
// Every failed file operation raises EInOutError; the logs whose lines are
// not known to be safe are then still there.
class DescriptionList {
 public:
  explicit DescriptionList(const RunBounds& bounds = RunBounds());
  DescriptionList(const DescriptionList&) = delete;
  DescriptionList& operator=(const DescriptionList&) = delete;

  // Opens the list of kind in directory (which ends in a separator, or is
  // empty for the current directory) for appending, or creates it, and reads
  // its tail. A list that exists in another letter case is the one appended
  // to: the new list's spelling wins, then the first other file. The search
  // for another spelling goes through walk, which keeps the logs it passes.
  void Open(const Bytes& directory, ListKind kind, DirectoryWalk& walk);

  // The encoding the list's descriptions are written in.
  ListEncoding Encoding() const { return encoding_; }

  // Whether a line for name can be written at all (see FormOfName).
  bool CanList(ByteView name) const;

  // Hands over the log read as `read`, its line made of name (which can be
  // listed) and description (not empty). The line is held, claimed from the
  // tail, completes the torn line, or is written; the log waits, and goes
  // once the line is safe. A log passed over is left for the next walk.
  void HandOver(ByteView name, ByteView description, const Bytes& log_path, const FileIdentity& read);

  // Hands over the line of a log that could not be read: written (or held)
  // unless the latest line of its name is that line already. The log stays.
  void HandOverErrorLine(ByteView name, ByteView description);

  // The walk over the directory's logs has ended: the held lines are
  // written. True when logs were passed over: the run is to walk again and
  // hand over every log it finds; the logs of this walk are deleted by then.
  bool EndWalk();

  // False once the run is to harvest nothing more (Batch::MayGoOn).
  bool MayHarvest() const { return batch_.MayGoOn(); }

  // Writes the held lines (while the run may harvest), ends the last batch
  // and closes the list; where files it harvested have older lines and
  // nothing disturbed it, it is replaced by one without them (older_lines.h).
  void Close();

 private:
  struct Line {
    Bytes name_part;  // the name as the list gives it, and the blank after it
    Bytes description;
    WaitingLog log;  // its path is empty for the line of a log that could not be read
  };

  bool TornLineIsOpen() const;
  bool MustHold() const;
  void Place(Line line);
  bool Completes(const Line& line) const;
  std::size_t CompletingLine() const;
  bool CompleteTornLine(Line& line);
  bool EndedByAnother(std::int64_t end);
  bool TornLineIsLast();
  void TakeFromTail(Line& line, std::int64_t offset);
  void WriteNew(Line& line);
  void Hold(Line line);
  void ReleaseHeld();
  void ClaimHeld(std::vector<std::pair<std::int64_t, Line>>& claimed);
  void OpenFile(DirectoryWalk& walk);
  void NoteNewest(const Line& line, std::int64_t offset);

  const RunBounds bounds_;
  ListFile list_;
  ListKind kind_ = ListKind::kFileManager;
  ListEncoding encoding_ = ListEncoding::kDosCyrillic;
  std::int64_t first_line_ = 0;  // where the list's first line starts: after a byte order mark
  std::int64_t found_end_ = 0;   // where the list ended when the run opened it
  bool created_ = false;         // the run made the list: there is no tail to read
  KeptNames kept_;
  NewestLines newest_;
  TailIndex tail_;
  Batch batch_;
  std::vector<Line> held_;
  std::size_t held_bytes_ = 0;
  bool walk_ended_ = false;
  bool passed_over_ = false;
};
