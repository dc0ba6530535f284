#pragma once

#include <cstddef>
#include <cstdint>

// How far back a run looks into its list, and how far its batches and held
// lines may reach. The program uses the sizes below; a test may set them
// small, so that a list of a few KiB reaches every window's edge. The tail
// is twice a batch's span: the lines of a batch whose logs' deletion a power
// loss undid are still in the tail after the next batch's lines are on disk.
struct ListWindows {
  std::int64_t tail_bytes = 1024 * 1024;
  std::int64_t batch_span_bytes = 512 * 1024;
  std::size_t max_batch_logs = 8192;
  std::size_t max_batch_path_bytes = 512 * 1024;
  std::size_t max_held_lines = 4096;
  std::size_t max_held_bytes = 1024 * 1024;
};
