#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A seeded simulation of the world around a harvest. Each seed draws a
// directory (names, logs, a list around the windows of the list, which are
// small here) and runs harvests in the in-memory world while, between any
// two of their platform calls, the run may be killed, the power cut, and
// other programs may append to the list, cut or rewrite it, rename a file
// over it, upload logs anew, drop new logs in, or make a file unreadable.
// Files harvested before come again, and the run replaces the list by one
// without their names' older lines, while a second run may open the old
// file, another program write to it, or a reader hold it.
// After the events come recovery runs, then the promises are checked:
// every comment is in the list exactly once, the latest as its name's last
// line, or gone where a newer comment of its name took its place; no torn
// piece and no phantom line; no byte the run did not write is removed or
// overwritten but a harvested name's older lines; after a run that nothing
// disturbed, each name it harvested has one line; no file of a replacement
// is left; no log is deleted before its line is on stable storage, and no
// log that changed since it was read.

// What the runs of a simulation did, added up over seeds.
struct SimulationTally {
  long seeds = 0;
  long runs = 0;
  std::map<std::string, long> events;  // by kind
};

struct SimulationOutcome {
  std::vector<std::string> story;       // the world drawn and each event, in order
  std::vector<std::string> violations;  // empty when every promise held
};

// With trace set, the story tells every platform call of the runs, and the
// list as each run left it.
SimulationOutcome Simulate(std::uint64_t seed, SimulationTally* tally = nullptr, bool trace = false);

// The story and the violations, for a failing seed's report.
std::string Describe(std::uint64_t seed, const SimulationOutcome& outcome);
