#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "desclist/digest.h"
#include "desclist/list_line.h"

// The tail of the list as the run opened it, indexed by name (see the words
// in description_list.h): each name's latest line, the lines of it that may
// still vouch for a log, and the torn last line.
//
// The rule of vouching. A whole line of the tail that is, byte for byte,
// the line a log would be written as vouches for that log while every line
// of its name after it is claimed by a log of this run, or is an error line:
// a run may write several lines of one name (two logs give one name in the
// list), so after a crash each of a name's last lines may vouch, not only
// its latest. Each occurrence vouches for one log. A line without the CR LF
// this program writes, and a line this run writes itself, vouch for none and
// stop the lines before them from vouching.
//
// Names and lines are kept as digests, not as bytes: a tail of a MiB of
// short lines costs 32 bytes a line.
class TailIndex {
 public:
  // Lines longer than max_line_bytes are never kept: such a line of the run
  // is known only as other than any.
  TailIndex(ListKind kind, bool names_differ_by_case, std::size_t max_line_bytes);

  // Indexes tail, the list's bytes from offset tail_start to its end; the
  // list's first line starts at first_line (after a byte order mark). A line
  // counts only when it starts there or after an LF: the cut piece before the
  // tail's first LF is no line. Only a line ended by CR LF, or the torn last
  // line, may vouch; a last piece without an LF is the torn line only where
  // the tail ends the list.
  void Index(ByteView tail, std::int64_t tail_start, std::int64_t first_line, bool ends_the_list);

  // Whether an unclaimed line may still vouch for a log.
  bool HasUnclaimed() const { return unclaimed_ > 0; }

  // Claims the line made of the two parts where the tail vouches for it:
  // true, and *offset is the line's.
  bool Claim(ByteView name_part, ByteView description, std::int64_t* offset);

  // Whether a line that may still vouch is the line made of the two parts.
  bool HasUnclaimed(ByteView name_part, ByteView description) const;

  // Whether the torn line is there and no log claimed it yet.
  bool TornLineVouches() const;

  // The torn last line, as read (its offset is -1 when there is none).
  ByteView Torn() const { return torn_; }
  std::int64_t TornOffset() const { return torn_offset_; }

  // The run completed the torn line as the line made of the two parts: the
  // line a crashed run began last, claimed now, as if the tail held it whole.
  void NoteCompleted(ByteView name_part, ByteView description);

  // Another program wrote after the torn line before the run could end or
  // complete it, or no log of the walk did: the piece stays, a line that no
  // log claims, and the lines of its name before it vouch as though it were
  // claimed (a crashed run wrote it last).
  void NoteTornLineEnded();

  // The run wrote the line made of the two parts: it is the latest of its
  // name now, and no line of the name before it vouches any more. Kept when
  // the tail holds a line of that name, or always when keep is set.
  void NoteWritten(ByteView name_part, ByteView description, bool keep);

  // Whether the line made of the two parts is the latest of its name.
  bool IsLatest(ByteView name_part, ByteView description) const;

  // NameKey of a line, or of a name part.
  Bytes KeyOf(ByteView line) const;

 private:
  enum Flags : std::uint8_t { kVouches = 1, kClaimed = 2, kErrorLine = 4 };
  // A line of the tail; the lines of one name lie together, oldest first.
  struct Line {
    std::uint64_t name = 0;
    std::uint64_t digest = 0;  // LineDigest of its text
    std::uint32_t second = 0;  // the name's second digest
    std::uint32_t at = 0;      // its offset less the tail's
    std::uint32_t length = 0;  // its text's, without the line end
    std::uint8_t flags = 0;
  };
  // A name's latest line where the run wrote it or completed it.
  struct Latest {
    std::uint64_t digest = 0;
    std::size_t length = 0;
    bool unknown = false;  // a line of this run too long to keep: equal to none
  };

  NameId NameOf(ByteView line) const;
  static NameId IdOf(const Line& line) { return {line.name, line.second}; }
  // The lines of a name, [first, last).
  std::pair<std::size_t, std::size_t> LinesOf(const NameId& name) const;
  bool Is(const Line& line, ByteView name_part, ByteView description) const;
  void Forget(std::size_t first, std::size_t last);
  Line* TornLine();

  ListKind kind_;
  bool names_differ_by_case_;
  std::size_t max_line_bytes_;
  std::int64_t tail_start_ = 0;
  std::vector<Line> lines_;           // by name, then offset
  std::map<NameId, Latest> written_;  // names whose latest line the run made
  std::size_t unclaimed_ = 0;
  mutable Bytes key_;  // a key in lower case
  Bytes torn_;
  std::int64_t torn_offset_ = -1;
  std::size_t torn_line_ = 0;  // its place in lines_, where torn_offset_ >= 0
};
