#include "textfile/line_file_read.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/io_result.h"
#include "textfile/line_file_record.h"

namespace {

// Reading a big log is mostly the kernel's copy: larger blocks save calls,
// and 256 KiB still stays within the processor's second-level cache.
constexpr std::size_t kReadBufferSize = 256 * 1024;
// A file of known size gets a buffer no larger than it needs: most logs are a
// few hundred bytes, and a large buffer costs more to get than to fill.
constexpr std::size_t kSmallestReadBuffer = 4 * 1024;

// At the end of a range of data (see PassOverHoles), the hole up to the next
// is counted, not read, and the file left at the data; with no data after it,
// the file ends with the hole. A file rewritten meanwhile may answer
// anything: an answer that does not move on, or a failed query, has the rest
// read as it stands (the identity tells a changed log).
void NextDataRange(LineFile& file) {
  const std::int64_t from = file.bytes_read;
  std::int64_t start = 0;
  std::int64_t end = 0;
  const int error = Os().DataRange(file.handle, from, &start, &end);
  if (error != 0 || start < from || end < start) {
    file.passes_holes = false;
    const int seek_error = Os().Seek(file.handle, from, SeekOrigin::kBegin, nullptr);
    if (seek_error != 0) {
      SetIoResult(seek_error);
      file.input_ended = true;
    }
    return;
  }
  if (file.size_limit >= 0) start = std::min(start, file.size_limit);
  if (start >= end) file.size_limit = start;
  file.hole = start - from;
  file.bytes_read = start;
  file.data_end = end;
}

// Makes sure that wanted unread bytes are in the buffer. False when the input
// ends before (the end of the file, a mark, or a failed read, which sets the
// I/O result), or when a hole follows the bytes buffered: file.hole counts
// its zeros, which the caller passes over or takes.
bool Fill(LineFile& file, std::size_t wanted = 1) {
  if (file.count - file.position >= wanted) return true;
  if (file.input_ended || file.hole > 0) return false;
  if (!file.buffer) {
    const std::size_t needed = file.size_limit >= 0 && file.size_limit < static_cast<std::int64_t>(kReadBufferSize)
                                   ? std::max(static_cast<std::size_t>(file.size_limit), kSmallestReadBuffer)
                                   : kReadBufferSize;
    EnsureBuffer(file, needed);
  }
  const std::size_t kept = file.count - file.position;
  std::memmove(file.buffer.get(), file.buffer.get() + file.position, kept);
  file.position = 0;
  file.count = kept;
  while (file.count < wanted && !file.input_ended) {
    std::size_t asked = file.capacity - file.count;
    if (file.size_limit >= 0) {
      if (file.bytes_read >= file.size_limit) {
        file.input_ended = true;
        break;
      }
      asked = static_cast<std::size_t>(
          std::min<std::int64_t>(static_cast<std::int64_t>(asked), file.size_limit - file.bytes_read));
    }
    if (file.passes_holes) {
      if (file.bytes_read >= file.data_end) {
        NextDataRange(file);
        if (file.hole > 0) break;
        continue;  // the limit and the range are looked at again
      }
      asked = static_cast<std::size_t>(
          std::min<std::int64_t>(static_cast<std::int64_t>(asked), file.data_end - file.bytes_read));
    }
    std::size_t got = 0;
    const int error = Os().Read(file.handle, file.buffer.get() + file.count, asked, &got);
    if (error != 0) SetIoResult(error);
    if (error != 0 || got == 0) {
      file.input_ended = true;
      break;
    }
    file.bytes_read += static_cast<std::int64_t>(got);
    const void* mark =
        file.mark_ends_input ? std::memchr(file.buffer.get() + file.count, kEndOfFileMark, got) : nullptr;
    if (mark != nullptr) {
      file.count = static_cast<std::size_t>(static_cast<const char*>(mark) - file.buffer.get());
      file.input_ended = true;
    } else {
      file.count += got;
    }
  }
  return file.count - file.position >= wanted;
}

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// The first line start after an LF in data[from, last) (data[last] is looked
// at too) whose first byte is first, other or CR, or kNotFound. Most lines of
// a big log are of no interest, so whole blocks are looked at, not lines.
std::size_t FindLikelyLineStart(const char* data, std::size_t from, std::size_t last, char first, char other) {
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i line_feeds = _mm_set1_epi8('\n');
  const __m128i wanted = _mm_set1_epi8(first);
  const __m128i also_wanted = _mm_set1_epi8(other);
  const __m128i carriage_return = _mm_set1_epi8('\r');
  const auto hits = [&](std::size_t at) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + 1));
    const __m128i starts = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(next, wanted), _mm_cmpeq_epi8(next, also_wanted)),
                                        _mm_cmpeq_epi8(next, carriage_return));
    return _mm_and_si128(_mm_cmpeq_epi8(here, line_feeds), starts);
  };
  while (i + 64 <= last && _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(hits(i), hits(i + 16)),
                                                          _mm_or_si128(hits(i + 32), hits(i + 48)))) == 0) {
    i += 64;
  }
  for (; i + 16 <= last; i += 16) {
    const int mask = _mm_movemask_epi8(hits(i));
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask))) + 1;
  }
#endif
  while (i < last) {
    const void* line_feed = std::memchr(data + i, '\n', last - i);
    if (line_feed == nullptr) break;
    i = static_cast<std::size_t>(static_cast<const char*>(line_feed) - data) + 1;
    if (data[i] == first || data[i] == other || data[i] == '\r') return i;
  }
  return kNotFound;
}

// Of the zeros of the hole that follows the buffered bytes, as many as most.
std::size_t ZerosUpTo(const LineFile& file, std::size_t most) {
  return static_cast<std::uint64_t>(file.hole) < most ? static_cast<std::size_t>(file.hole) : most;
}

bool CheckReading(LineFile& file) {
  if (file.state == LineFileState::kReading) return true;
  SetIoResult(kErrorNotOpenForInput);
  return false;
}

// A line longer than the buffer reserves what the rest of the file could hold
// at once, up to the most the caller takes, so that growing it never holds
// two copies: pages of the reservation that are never written cost no memory.
void ReserveForLongLine(LineFile& file, Bytes& line, std::size_t max_bytes) {
  std::int64_t size = file.size_limit;
  if (size < 0 && Os().Size(file.handle, &size) != 0) return;
  const std::int64_t unread = size - file.bytes_read + static_cast<std::int64_t>(file.count - file.position);
  const std::int64_t wanted = std::min<std::int64_t>(unread, static_cast<std::int64_t>(max_bytes - line.size()));
  if (wanted > 0) line.reserve(line.size() + static_cast<std::size_t>(wanted));
}

}  // namespace

void OpenRead(LineFile& file, const Bytes& path) {
  FileHandle handle = kNoFile;
  const int error = Os().Open(path, OpenMode::kRead, &handle);
  if (error != 0) {
    SetIoResult(error);
    return;
  }
  // The buffer comes with the first read, once the size is known.
  file.buffer.reset();
  file.capacity = 0;
  ResetRecord(file, LineFileState::kReading, handle);
}

void LimitReading(LineFile& file, std::int64_t size) {
  if (CheckReading(file)) file.size_limit = size;
}

void PassOverHoles(LineFile& file) {
  if (!CheckReading(file)) return;
  file.passes_holes = true;
  file.data_end = file.bytes_read;  // the next read asks first
}

std::int64_t HoleAhead(LineFile& file) {
  if (!CheckReading(file) || Fill(file)) return 0;
  return file.hole;
}

void SkipHole(LineFile& file) {
  if (HoleAhead(file) > 0) file.hole = 0;
}

void SetMarkEndsInput(LineFile& file, bool ends) {
  if (!CheckReading(file) || file.mark_ends_input == ends) return;
  file.mark_ends_input = ends;
  if (!ends || file.count == file.position) return;
  const char* unread = file.buffer.get() + file.position;
  const void* mark = std::memchr(unread, kEndOfFileMark, file.count - file.position);
  if (mark != nullptr) {
    file.count = static_cast<std::size_t>(static_cast<const char*>(mark) - file.buffer.get());
    file.input_ended = true;
    file.hole = 0;  // the mark ends the input before it
  }
}

Bytes PeekBytes(LineFile& file, std::size_t n) {
  if (!CheckReading(file)) return Bytes();
  Fill(file, n);
  Bytes bytes(file.buffer.get() + file.position, std::min(n, file.count - file.position));
  if (bytes.size() < n) bytes.append(ZerosUpTo(file, n - bytes.size()), '\0');
  return bytes;
}

std::size_t ReadBytes(LineFile& file, char* into, std::size_t size) {
  std::size_t n = 0;
  if (!CheckReading(file)) return n;
  while (n < size && Fill(file)) {
    const std::size_t take = std::min(size - n, file.count - file.position);
    std::memcpy(into + n, file.buffer.get() + file.position, take);
    file.position += take;
    n += take;
  }
  return n;
}

bool AtEnd(LineFile& file) {
  if (!CheckReading(file)) return true;
  return !Fill(file) && file.hole == 0;
}

Bytes ReadTextLine(LineFile& file, std::size_t max_bytes, std::vector<ZeroRun>* zeros) {
  Bytes line;
  if (zeros != nullptr) zeros->clear();
  if (!CheckReading(file)) return line;
  std::size_t length = 0;  // of the whole line: its bytes and its zero runs
  bool reserved = false;
  while (length < max_bytes) {
    if (!Fill(file)) {
      if (file.hole == 0) break;
      // A hole reads as zeros, which end no line: as many as are taken.
      const std::size_t take = ZerosUpTo(file, max_bytes - length);
      if (zeros == nullptr) {
        line.append(take, '\0');
      } else if (!zeros->empty() && zeros->back().at + zeros->back().length == length) {
        zeros->back().length += take;
      } else {
        zeros->push_back({length, take});
      }
      length += take;
      file.hole -= static_cast<std::int64_t>(take);
      continue;
    }
    const char* start = file.buffer.get() + file.position;
    const std::size_t available = file.count - file.position;
    const void* line_feed = std::memchr(start, '\n', available);
    const std::size_t segment =
        line_feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(line_feed) - start) : available;
    if (!reserved && line.size() + segment > file.capacity && max_bytes > file.capacity) {
      ReserveForLongLine(file, line, max_bytes - (length - line.size()));
      reserved = true;
    }
    // Every CR inside a line is dropped: one before LF belongs to the line
    // end, any other is not part of the text.
    std::size_t i = 0;
    while (i < segment && length < max_bytes) {
      const void* cr = std::memchr(start + i, '\r', segment - i);
      const std::size_t run_end =
          cr != nullptr ? static_cast<std::size_t>(static_cast<const char*>(cr) - start) : segment;
      const std::size_t take = std::min(run_end - i, max_bytes - length);
      line.append(start + i, take);
      length += take;
      i += take;
      if (i == run_end && cr != nullptr) ++i;
    }
    file.position += i;
    if (i < segment || line_feed != nullptr) break;
  }
  return line;
}

Bytes WithZeroRuns(ByteView data, const std::vector<ZeroRun>& zeros) {
  std::size_t length = data.size();
  for (const ZeroRun& run : zeros) length += run.length;
  Bytes line;
  line.reserve(length);
  ByteView rest = data;
  for (const ZeroRun& run : zeros) {
    const ByteView before = rest.substr(0, run.at > line.size() ? run.at - line.size() : 0);
    line.append(before.data(), before.size());
    rest.remove_prefix(before.size());
    line.append(run.length, '\0');
  }
  line.append(rest.data(), rest.size());
  return line;
}

void SkipTextLine(LineFile& file) {
  if (!CheckReading(file)) return;
  for (;;) {
    if (!Fill(file)) {
      if (file.hole == 0) return;
      file.hole = 0;  // zeros: no line end among them
      continue;
    }
    const char* start = file.buffer.get() + file.position;
    const void* line_feed = std::memchr(start, '\n', file.count - file.position);
    if (line_feed != nullptr) {
      file.position += static_cast<std::size_t>(static_cast<const char*>(line_feed) - start);
      return;
    }
    file.position = file.count;
  }
}

void SkipLinesNotStartingWith(LineFile& file, char first, char other) {
  if (!CheckReading(file)) return;
  bool at_line_start = true;
  for (;;) {
    if (!Fill(file)) {
      if (file.hole == 0) return;
      // A hole's zeros: a line that starts in it starts with a zero, and
      // none starts within it.
      file.hole = 0;
      at_line_start = false;
      continue;
    }
    if (at_line_start) {
      const char next = file.buffer[file.position];
      if (next == first || next == other || next == '\r') return;
      at_line_start = false;
    }
    // The byte after each LF is looked at, so the last byte waits for the
    // next fill. When it is the file's last, no line starts after it; when
    // a hole follows it, the line after it starts with a zero.
    if (!Fill(file, 2)) {
      file.position = file.count;
      if (file.hole == 0) return;
      continue;
    }
    const std::size_t start = FindLikelyLineStart(file.buffer.get(), file.position, file.count - 1, first, other);
    if (start != kNotFound) {
      file.position = start;
      return;
    }
    file.position = file.count - 1;
  }
}

void SkipLineEnd(LineFile& file) {
  if (!CheckReading(file) || !Fill(file)) return;
  const char* next = file.buffer.get() + file.position;
  if (*next == '\n') {
    ++file.position;
  } else if (*next == '\r' && Fill(file, 2) && file.buffer[file.position + 1] == '\n') {
    file.position += 2;
  }
}
