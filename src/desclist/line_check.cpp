#include "desclist/line_check.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/io_result.h"
#include "textfile/line_file_read.h"

namespace {

// The block in which waiting lines are read back before their logs go.
constexpr std::size_t kCheckBlockBytes = 256 * 1024;

// A digest of bytes given in pieces: a waiting line is compared with what
// the list holds where it was written without keeping the line itself.
struct Digest {
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  std::uint64_t word = 0;
  unsigned filled = 0;  // bytes in word
  std::uint64_t length = 0;
};

void Mix(Digest& digest, std::uint64_t word) {
  digest.state = (digest.state ^ word) * 0xFF51AFD7ED558CCDu;
  digest.state ^= digest.state >> 29;
}

void AddBytes(Digest& digest, ByteView bytes) {
  digest.length += bytes.size();
  std::size_t i = 0;
  while (i < bytes.size() && digest.filled != 0) {
    digest.word |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i++])) << (8 * digest.filled);
    if (++digest.filled == 8) {
      Mix(digest, digest.word);
      digest.word = 0;
      digest.filled = 0;
    }
  }
  for (; i + 8 <= bytes.size(); i += 8) {
    unsigned char b[8];
    std::memcpy(b, bytes.data() + i, 8);
    std::uint64_t word = 0;
    for (int k = 7; k >= 0; --k) word = (word << 8) | b[k];
    Mix(digest, word);
  }
  for (; i < bytes.size(); ++i) {
    digest.word |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * digest.filled++);
  }
}

std::uint64_t ValueOf(Digest digest) {
  if (digest.filled != 0) Mix(digest, digest.word);
  Mix(digest, digest.length);
  return digest.state;
}

}  // namespace

std::uint64_t LineDigest(ByteView name_part, ByteView description) {
  Digest digest;
  AddBytes(digest, name_part);
  AddBytes(digest, description);
  AddBytes(digest, kCrLf);
  return ValueOf(digest);
}

namespace {

// Reads the list forward in blocks for the check of waiting lines.
struct ListReader {
  std::vector<char> block = std::vector<char>(kCheckBlockBytes);
  std::int64_t block_start = 0;
  std::size_t block_size = 0;
};

// The digest of the list's bytes at [offset, offset + length); false when
// the list ends before.
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

}  // namespace

void KeepLogsWhoseLinesAreThere(LineFile& file, std::vector<WaitingLog>& logs) {
  std::vector<std::pair<std::int64_t, std::size_t>> order;  // where each line lies now
  order.reserve(logs.size());
  for (std::size_t i = 0; i < logs.size(); ++i) {
    const std::int64_t at = PlacedAt(file, logs[i].offset, logs[i].length);
    if (at >= 0) order.emplace_back(at, i);
  }
  std::sort(order.begin(), order.end());
  std::vector<WaitingLog> there;
  ListReader reader;
  for (const auto& [at, i] : order) {
    std::uint64_t digest = 0;
    if (DigestAt(file, reader, at, logs[i].length, &digest) && digest == logs[i].digest) {
      there.push_back(std::move(logs[i]));
    }
  }
  logs.swap(there);
}
