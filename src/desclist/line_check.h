#pragma once

#include <cstdint>
#include <vector>

#include "common/bytes.h"
#include "platform/platform.h"
#include "textfile/line_file.h"

// The check of a batch's lines before their logs are deleted: each waiting
// line is kept as a digest of its bytes and read back where it was written.

// A log whose line is in the list, waiting for the line to be safe.
struct WaitingLog {
  Bytes path;
  FileIdentity identity;     // the log as it was read
  std::int64_t offset = 0;   // where its line starts in the list
  std::int64_t length = 0;   // the line's bytes with its CR LF
  std::uint64_t digest = 0;  // of those bytes
};

// The digest of the line made of the two parts, with its CR LF.
std::uint64_t LineDigest(ByteView name_part, ByteView description);

// Keeps in logs only those whose lines the file, its pending bytes written
// out, holds whole where they were written (PlacedAt): another program may
// have cut or rewritten it. Reads the lines in the order they lie in. A read
// failure raises EInOutError.
void KeepLogsWhoseLinesAreThere(LineFile& file, std::vector<WaitingLog>& logs);
