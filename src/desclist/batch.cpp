#include "desclist/batch.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/io_result.h"
#include "desclist/digest.h"
#include "platform/queries.h"
#include "textfile/line_file_read.h"

namespace {

// The block in which waiting lines are read back before their logs go.
constexpr std::size_t kCheckBlockBytes = 256 * 1024;

// One log as it was read: its path and its identity.
std::uint64_t LogDigest(const Bytes& path, const FileIdentity& identity) {
  Digest digest;
  AddBytes(digest, path);
  for (const std::uint64_t value : {identity.device, identity.index, static_cast<std::uint64_t>(identity.size),
                                    static_cast<std::uint64_t>(identity.time)}) {
    Mix(digest, value);
  }
  return ValueOf(digest);
}

// Reads the list forward in blocks for the check of waiting lines.
struct ListReader {
  explicit ListReader(std::size_t size) : block(size) {}
  std::vector<char> block;
  std::int64_t block_start = 0;
  std::size_t block_size = 0;
};

// The digest of list bytes [offset, offset + length); false if they run out.
bool DigestAt(LineFile& file, ListReader& reader, std::int64_t offset, std::int64_t length, std::uint64_t* value) {
  Digest digest;
  while (length > 0) {
    if (offset < reader.block_start || offset >= reader.block_start + static_cast<std::int64_t>(reader.block_size)) {
      reader.block_start = offset;
      reader.block_size = ReadAt(file, offset, reader.block.data(), reader.block.size());
      CheckIo();
      if (reader.block_size == 0) return false;
    }
    const std::int64_t in_block = offset - reader.block_start;
    const std::int64_t take = std::min(length, static_cast<std::int64_t>(reader.block_size) - in_block);
    AddBytes(digest, ByteView(reader.block.data() + in_block, static_cast<std::size_t>(take)));
    offset += take;
    length -= take;
  }
  *value = ValueOf(digest);
  return true;
}

// Whether the file, its pending bytes written out, holds each waiting line
// whole where it was written (PlacedAt): another program may have cut or
// rewritten it. Reads the lines in the order they lie in.
bool WaitingLinesAreThere(LineFile& file, const std::vector<WaitingLog>& logs) {
  std::vector<std::pair<std::int64_t, std::size_t>> order;  // where each line lies now
  order.reserve(logs.size());
  for (std::size_t i = 0; i < logs.size(); ++i) {
    const std::int64_t at = PlacedAt(file, logs[i].offset, logs[i].length);
    if (at < 0) return false;
    order.emplace_back(at, i);
  }
  if (order.empty()) return true;
  std::sort(order.begin(), order.end());
  // A block no larger than the lines' span: a batch is often a few lines.
  const std::int64_t span = order.back().first + logs[order.back().second].length - order.front().first;
  ListReader reader(
      static_cast<std::size_t>(std::min<std::int64_t>(span, static_cast<std::int64_t>(kCheckBlockBytes))));
  for (const auto& [at, i] : order) {
    std::uint64_t digest = 0;
    if (!DigestAt(file, reader, at, logs[i].length, &digest) || digest != logs[i].digest) return false;
  }
  return true;
}

}  // namespace

void Batch::SyncDirectory() {
  const int error = Os().SyncDirectory(list_.directory);
  if (error != 0) SetIoResult(error);
  CheckIo();
  undurable_from_ = -1;
}

void Batch::MakeRoomFor(std::int64_t from, std::int64_t to) {
  if (!waiting_.empty() && to - std::min(from, oldest_) > bounds_.batch_span_bytes) End();
  // Logs deleted before, whose deletion is not yet durable, could come back
  // after a power loss, which may keep what was written of the list without
  // a sync: their lines must still lie in the tail then, within a batch's
  // span of the end (common/run_bounds.h).
  if (undurable_from_ >= 0 && to - undurable_from_ > bounds_.batch_span_bytes) SyncDirectory();
}

void Batch::Add(WaitingLog log) {
  if (waiting_.empty() || log.offset < oldest_) oldest_ = log.offset;
  path_bytes_ += log.path.size();
  waiting_.push_back(std::move(log));
  if (waiting_.size() >= bounds_.max_batch_logs || path_bytes_ >= bounds_.max_batch_path_bytes ||
      PlacedEnd(list_.file) - oldest_ > bounds_.batch_span_bytes) {
    End();
  }
}

void Batch::End() {
  if (waiting_.empty()) return;
  SyncLineFile(list_.file);
  CheckIo();
  if (list_.file.kind == HandleKind::kDisk) {
    CheckWaitingLines();
  } else {
    SyncDirectory();
  }
  if (!waiting_.empty()) {
    // In the order of their lines. A log that changed since it was read (an
    // upload landed), or whose deletion failed, stays with the logs of the
    // lines after its own, and the run harvests nothing more: a name's later
    // lines never lose their logs before its earlier ones (tail_index.h). A
    // log the run has no right to delete refuses its name (kept_names.h).
    for (const WaitingLog& log : waiting_) {
      const int error = kept_.Refused(log.name) ? kErrorAccessDenied : DeleteFileIfUnchanged(log.path, log.identity);
      if (error == kErrorAccessDenied || error == kErrorWriteProtect) {
        kept_.Refuse(log.name);
        left_logs_.insert(LogDigest(log.path, log.identity));
      } else if (error != 0) {
        may_go_on_ = false;
        break;
      }
    }
    undurable_from_ = oldest_;
  }
  waiting_.clear();
  path_bytes_ = 0;
}

// The checks before the deletions (batch.h). The directory's sync makes the
// list's name (a new list, or one a killed run created) and the deletions
// before durable before these are made. Another program may rewrite the list
// or save a new file under its name meanwhile: a list changed since it was
// read back is read back again. Where a line is missing, or the list changes
// once more, every log of the batch stays for the next run (the rule of
// vouching), and the run harvests nothing more.
void Batch::CheckWaitingLines() {
  for (int pass = 0; pass < 2 && !waiting_.empty(); ++pass) {
    FileIdentity read;
    IdentifyLineFile(list_.file, &read);
    CheckIo();
    if (!WaitingLinesAreThere(list_.file, waiting_) || MarkWouldCut()) break;
    if (pass == 0) SyncDirectory();
    FileIdentity now;
    if (Os().IdentityAt(list_.path, &now) != 0 || !SameFile(now, list_.identity)) {
      may_go_on_ = false;
      break;
    }
    if (now == read) return;
  }
  may_go_on_ = false;
  waiting_.clear();
}

// Whether the next run's cut at an end-of-file mark (EndOfFileMarkCut) would
// cut a waiting line.
bool Batch::MarkWouldCut() {
  const std::int64_t cut = EndOfFileMarkCut(list_.file);
  CheckIo();
  if (cut < 0) return false;
  return std::any_of(waiting_.begin(), waiting_.end(), [&](const WaitingLog& log) {
    return PlacedAt(list_.file, log.offset, log.length) + log.length > cut;
  });
}

bool Batch::LeftByThisRun(const Bytes& path, const FileIdentity& identity) const {
  return !left_logs_.empty() && left_logs_.count(LogDigest(path, identity)) != 0;
}

void Batch::EndBeforeClose() {
  End();
  if (may_go_on_ && undurable_from_ >= 0 && PlacedEnd(list_.file) - undurable_from_ > bounds_.batch_span_bytes) {
    SyncDirectory();
  }
}
