#pragma once

#include <cstddef>
#include <cstdint>

// Every bound on what a run looks at and keeps, so its memory and work stay
// bounded whatever the directory and list hold. The program uses these sizes;
// a test may set them small, so a list of a few KiB reaches every edge.
struct RunBounds {
  // How far back a run looks into its list: the tail. It is twice a batch's
  // span, so that the lines of a batch whose logs' deletion a power loss
  // undid are still in the tail after the next batch's lines are on disk,
  // and the other half leaves room for the lines other programs add.
  std::int64_t tail_bytes = 1024 * 1024;
  // How far a batch's lines may reach, and its most logs and bytes of paths.
  std::int64_t batch_span_bytes = 512 * 1024;
  std::size_t max_batch_logs = 8192;
  std::size_t max_batch_path_bytes = 512 * 1024;
  // Lines held while the tail may vouch; more are passed over, to a new walk.
  std::size_t max_held_lines = 4096;
  std::size_t max_held_bytes = 1024 * 1024;
  // The names of the logs a walk keeps, so that the walk over the logs that
  // follows it needs no second one.
  std::size_t max_walk_log_names = 4096;
  // The names a replacement takes older lines of, and the names that keep
  // theirs: beyond either, the run keeps every older line.
  std::size_t max_tidied_names = 16384;
};
