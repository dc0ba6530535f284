#pragma once

#include <cstddef>
#include <unordered_set>

#include "desclist/digest.h"

// The names that keep their older lines when the list is replaced
// (older_lines.h). A log the run has no right to delete (another account's,
// in a sticky directory; a read-only file system) refuses its name: the log
// stays with its line safe in the list, which later runs pass by while it is
// in their tail, and the later logs of the name stay with it, in this run and
// the next ones, so that no later line of the name, left without its log,
// stops its line from vouching. A log that could not be read stays with its
// error line. Past the bound on tidied names, every name keeps its lines.
class KeptNames {
 public:
  explicit KeptNames(std::size_t most) : most_(most) {}

  void Refuse(const NameId& name) { refused_.insert(name); }
  bool Refused(const NameId& name) const { return !refused_.empty() && refused_.count(name) != 0; }

  void KeepUnread(const NameId& name) {
    if (unread_.size() >= most_) {
      all_ = true;
    } else {
      unread_.insert(name);
    }
  }

  bool Keeps(const NameId& name) const { return all_ || Refused(name) || unread_.count(name) != 0; }
  bool KeepsAll() const { return all_; }

 private:
  std::size_t most_;
  // Every refused name, however many: the later logs of each stay.
  std::unordered_set<NameId, NameIdHash> refused_;
  std::unordered_set<NameId, NameIdHash> unread_;
  bool all_ = false;
};
