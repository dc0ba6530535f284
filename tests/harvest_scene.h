#pragma once

#include <string>
#include <vector>

#include "common/run_bounds.h"
#include "memory_world.h"

// A working area as a harvest meets it in daily use, laid out afresh in the
// root directory of a world of its own: logs with comments (one of them
// quoted, one Cyrillic, one longer than the list's buffer, one after a hole
// of 3 MiB that an earlier comment line runs into), logs with an
// empty comment and with none, a log without its companion, logs that cannot
// be opened (a symbolic link, a FIFO, a directory), and an existing list
// with an end-of-file mark in its last bytes and no line end before it (or,
// without with_list, no list yet). With long_comments, four logs more carry
// comments of 40 KB, so that a run under the scene's windows writes its
// lines in several batches and they reach past the part of the list a run
// reads back.
class HarvestScene {
 public:
  explicit HarvestScene(bool with_list = true, bool long_comments = false);

  // The list's windows for runs over the scene: a tail of 192 KiB, longer
  // than every line, and a batch's span of half that, which the long
  // comments pass several times.
  static RunBounds Windows();

  // New logs arrive (uploads between two runs): two with short comments
  // and, in a scene with long comments, two more with long ones.
  void Arrive();

  MemoryWorld& World() { return world_; }
  const Bytes& Directory() const { return world_.Root(); }

  // The list's content before the run, up to its end-of-file mark.
  static const Bytes kKeptContent;
  // kKeptContent, or nothing when the scene starts without a list.
  const Bytes& Kept() const;
  // What follows the mark.
  static const Bytes kCutTail;

  // The list as it is now.
  Bytes List() const;

  // Checks what must hold whenever a run ends, however it ended: every log
  // with a companion and a non-empty comment still exists or its whole line
  // is in the list; the list's earlier content is intact, and what follows
  // it is the untouched tail or starts a new line. Returns the problems
  // found (empty when none).
  std::vector<std::string> Losses() const;

  // Checks that the harvest is complete: every commented log is gone and its
  // line is in the list; the logs that cannot be read, and the one without
  // its companion, are still there. Returns the problems found.
  std::vector<std::string> Incomplete() const;

  // Lines in the list, after its earlier content, that are neither a whole
  // harvested line nor a line end joining it: torn by a failure.
  int TornLines() const;
  // Harvested lines that appear more than once, and how often beyond the first.
  int DuplicateLines() const;

 private:
  struct Commented {
    Bytes companion;
    Bytes comment;          // Windows-1251, as the log holds it
    Bytes line;             // the line the list gets, code page 866, with CR LF
    std::int64_t hole = 0;  // of a log with a hole before its comment line
  };
  void Add(const Commented& log);

  MemoryWorld world_;
  bool with_list_;
  bool long_comments_;
  std::vector<Commented> logs_;
};
