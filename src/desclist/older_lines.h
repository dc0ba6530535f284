#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/bytes.h"
#include "desclist/batch.h"
#include "desclist/kept_names.h"
#include "desclist/list_line.h"

// A file harvested again under its old name gets a new line; its older lines
// would have readers show an old comment, or the file twice. Once every log
// of the run is settled, the list is written anew without them to a file
// beside it, synced, and renamed over the list. Where another program changed
// the list during the run, or the new file cannot take its place, the older
// lines stay: nothing is lost, and the run ends as it would have.
//
// A name's older lines are its lines before the newest line the run placed
// for it, and the lines of it the list held when the run opened it (the run
// may have claimed a line there that vouched past error lines and torn
// pieces of its name): comments, error lines, and in a file area the
// continuation lines right below them, which begin with a blank or a tab.

// The new file is the list's name and this: a run that finds one at its
// start removes it, as a run that stopped left it. No walk takes it for a
// log, and no reader for the list.
extern const ByteView kReplacementSuffix;

// The newest line the run placed for each name it harvested a comment for.
class NewestLines {
 public:
  // Names beyond `most` keep their older lines (common/run_bounds.h).
  explicit NewestLines(std::size_t most) : most_(most) {}

  // The run placed the line whose bytes with CR LF are `length` long, of
  // digest `line`, at offset, for the name whose key is key.
  void Note(ByteView key, std::int64_t offset, std::int64_t length, std::uint64_t line);

  // Once every log of the run is settled, drops the entries of kept names.
  void Forget(const KeptNames& kept);

  bool Empty() const { return entries_.empty(); }

  struct Entry {
    NameId name;
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::uint64_t line = 0;
    std::uint64_t head = 0;  // the key's first 8 bytes (HeadWord)
    std::size_t key_length = 0;
  };
  // Keeps one entry per name, its newest line's, and orders them by name.
  void Settle();
  // After Settle: the entry of the name, or nullptr.
  const Entry* Find(const NameId& name) const;
  const std::vector<Entry>& Entries() const { return entries_; }

 private:
  std::size_t most_;
  std::vector<Entry> entries_;
};

// The list as the run found it and wrote it, for the rewrite.
struct ListShape {
  ListKind kind = ListKind::kFileManager;
  bool names_differ_by_case = true;
  std::int64_t first_line = 0;  // where its first line starts: after a byte order mark
  std::int64_t found_end = 0;   // where it ended when the run opened it: the run's own lines follow
};

// Writes the list anew without the older lines of the names in newest and
// puts the new file in its place (see above); nothing is done without such a
// line. Returns whether the list's file is closed: it is once the replacement
// was tried. Failures leave the list as it is and set no I/O result.
bool ReplaceWithoutOlderLines(ListFile& list, const ListShape& shape, NewestLines& newest);
