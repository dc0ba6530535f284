// Runs the simulation (simulation.h) for as long as asked, or one seed.
//
//   logharvest_sim --seed N                      one seed, its story printed
//   logharvest_sim --seconds S --first F --step K   seeds F, F+K, F+2K, ... for S seconds
//
// Prints a summary line: seeds, runs, runs per second and the events by
// kind; exits 1 at the first failing seed, after printing its story.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "simulation.h"

int main(int argc, char** argv) {
  std::uint64_t first = 1;
  std::uint64_t step = 1;
  double seconds = 10;
  bool one = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seed") == 0) {
      first = std::strtoull(argv[i + 1], nullptr, 10);
      one = true;
    } else if (std::strcmp(argv[i], "--first") == 0) {
      first = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (std::strcmp(argv[i], "--step") == 0) {
      step = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::strtod(argv[i + 1], nullptr);
    }
  }
  SimulationTally tally;
  const auto start = std::chrono::steady_clock::now();
  double elapsed = 0;
  for (std::uint64_t seed = first;; seed += step) {
    const SimulationOutcome outcome = Simulate(seed, &tally, one);
    if (!outcome.violations.empty() || one) {
      std::cout << (outcome.violations.empty() ? "seed " + std::to_string(seed) + " holds:\n"
                                               : Describe(seed, outcome));
      if (outcome.violations.empty()) {
        for (const std::string& line : outcome.story) std::cout << line << "\n";
      }
      if (!outcome.violations.empty()) return 1;
      break;
    }
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (elapsed >= seconds) break;
  }
  std::printf("seeds %ld runs %ld seconds %.1f runs/s %.0f", tally.seeds, tally.runs, elapsed,
              elapsed > 0 ? tally.runs / elapsed : 0.0);
  for (const auto& [kind, count] : tally.events) std::printf(" | %s %ld", kind.c_str(), count);
  std::printf("\n");
  return 0;
}
