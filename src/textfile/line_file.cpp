#include "textfile/line_file.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/io_result.h"

namespace {

// Large blocks keep system calls per file low; the size shows only in what
// has reached the disk when a write fails.
constexpr std::size_t kBufferSize = 64 * 1024;
// Reading a big log is mostly the kernel's copy: larger blocks save calls,
// and 256 KiB still stays within the processor's second-level cache.
constexpr std::size_t kReadBufferSize = 256 * 1024;
// The window at the end of an existing file that is searched for the mark.
constexpr std::int64_t kMarkWindow = 128;

void EnsureBuffer(LineFile& file, std::size_t capacity) {
  if (!file.buffer || file.capacity != capacity) {
    file.buffer = std::make_unique<char[]>(capacity);
    file.capacity = capacity;
  }
}

void ResetRecord(LineFile& file, LineFileState state, FileHandle handle) {
  file.state = state;
  file.handle = handle;
  file.position = 0;
  file.count = 0;
  file.input_ended = false;
  file.bytes_read = 0;
  file.flush_per_line = false;
  file.needs_line_end = false;
  file.ends_in_cr = false;
}

// Writes out the pending bytes. On failure they are dropped and the I/O
// result is set; a write that the platform reports complete but short counts
// as a full disk.
bool WriteOut(LineFile& file) {
  if (file.count == 0) return true;
  std::size_t done = 0;
  int error = Os().Write(file.handle, file.buffer.get(), file.count, &done);
  if (error == 0 && done < file.count) error = kErrorDiskFull;
  file.count = 0;
  if (error != 0) SetIoResult(error);
  return error == 0;
}

// Places bytes after the pending ones; a piece larger than the buffer goes
// straight to the file so that a huge line is never copied whole.
bool Put(LineFile& file, ByteView data) {
  if (data.size() > kBufferSize - file.count && !WriteOut(file)) return false;
  if (data.size() >= kBufferSize) {
    std::size_t done = 0;
    int error = Os().Write(file.handle, data.data(), data.size(), &done);
    if (error == 0 && done < data.size()) error = kErrorDiskFull;
    if (error != 0) SetIoResult(error);
    return error == 0;
  }
  std::memcpy(file.buffer.get() + file.count, data.data(), data.size());
  file.count += data.size();
  return true;
}

// Asks the handle's type: a character device (a console) is written out
// after every line, disk files and pipes are buffered, and an unknown type
// fails with 105 after the handle is closed.
bool DeviceCheck(LineFile& file, FileHandle handle) {
  HandleKind kind = HandleKind::kUnknown;
  int error = Os().Kind(handle, &kind);
  if (error == 0 && kind == HandleKind::kUnknown) error = kErrorNotOpenForOutput;
  if (error != 0) {
    Os().Close(handle);
    SetIoResult(error);
    return false;
  }
  EnsureBuffer(file, kBufferSize);
  ResetRecord(file, LineFileState::kWriting, handle);
  file.kind = kind;
  file.flush_per_line = kind == HandleKind::kCharacter;
  return true;
}

// Cuts the file at the first end-of-file mark in its final 128 bytes, leaving
// the position at the new end. Reports whether the remaining content lacks a
// final LF. One byte before the window is read too, for the case that the
// whole window is cut away.
int CutAtEndOfFileMark(FileHandle handle, bool* needs_line_end, bool* ends_in_cr) {
  std::int64_t size = 0;
  int error = Os().Size(handle, &size);
  if (error != 0) return error;
  const std::int64_t window = std::min(size, kMarkWindow);
  const std::int64_t before = size > kMarkWindow ? 1 : 0;
  error = Os().Seek(handle, size - window - before, SeekOrigin::kBegin, nullptr);
  if (error != 0) return error;
  char tail[kMarkWindow + 1];
  std::size_t n = 0;
  while (n < static_cast<std::size_t>(window + before)) {
    std::size_t got = 0;
    error = Os().Read(handle, tail + n, static_cast<std::size_t>(window + before) - n, &got);
    if (error != 0) return error;
    if (got == 0) break;
    n += got;
  }
  const ByteView read(tail, n);
  const std::size_t mark = read.find(kEndOfFileMark, static_cast<std::size_t>(before));
  std::size_t end = n;
  if (mark != ByteView::npos) {
    end = mark;
    error = Os().Seek(handle, static_cast<std::int64_t>(end) - static_cast<std::int64_t>(n), SeekOrigin::kEnd, nullptr);
    if (error == 0) error = Os().Truncate(handle);
    if (error != 0) return error;
  }
  *needs_line_end = end > 0 && tail[end - 1] != '\n';
  *ends_in_cr = end > 0 && tail[end - 1] == '\r';
  return 0;
}

// Puts the missing line end of appended-to content before the first new
// byte. False when that write-out failed.
bool EndLastLineIn(LineFile& file) {
  const ByteView missing = MissingLineEnd(file);
  file.needs_line_end = false;
  return missing.empty() || Put(file, missing);
}

bool OpenStandardOutput(LineFile& file) { return DeviceCheck(file, Os().StandardOutput()); }

// Makes sure that wanted unread bytes are in the buffer. False when the input
// ends before (the end of the file, a mark, or a failed read, which sets the
// I/O result).
bool Fill(LineFile& file, std::size_t wanted = 1) {
  if (file.count - file.position >= wanted) return true;
  if (file.input_ended) return false;
  const std::size_t kept = file.count - file.position;
  std::memmove(file.buffer.get(), file.buffer.get() + file.position, kept);
  file.position = 0;
  file.count = kept;
  while (file.count < wanted && !file.input_ended) {
    std::size_t got = 0;
    const int error = Os().Read(file.handle, file.buffer.get() + file.count, file.capacity - file.count, &got);
    if (error != 0) SetIoResult(error);
    if (error != 0 || got == 0) {
      file.input_ended = true;
      break;
    }
    file.bytes_read += static_cast<std::int64_t>(got);
    const void* mark = std::memchr(file.buffer.get() + file.count, kEndOfFileMark, got);
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

// The index of the first line start after an LF in data[from, last) whose
// first byte is first or CR, or kNotFound. data[last] is looked at too. Most
// lines of a big log are not of interest, so this runs over whole blocks
// instead of line by line.
std::size_t FindLikelyLineStart(const char* data, std::size_t from, std::size_t last, char first) {
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i line_feeds = _mm_set1_epi8('\n');
  const __m128i wanted = _mm_set1_epi8(first);
  const __m128i carriage_return = _mm_set1_epi8('\r');
  const auto hits = [&](std::size_t at) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + 1));
    const __m128i starts = _mm_or_si128(_mm_cmpeq_epi8(next, wanted), _mm_cmpeq_epi8(next, carriage_return));
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
    if (data[i] == first || data[i] == '\r') return i;
  }
  return kNotFound;
}

bool CheckReading(LineFile& file) {
  if (file.state == LineFileState::kReading) return true;
  SetIoResult(kErrorNotOpenForInput);
  return false;
}

// A line longer than the buffer reserves what the rest of the file could
// hold at once, so that growing it never holds two copies: pages of the
// reservation that are never written cost no memory.
void ReserveForLongLine(LineFile& file, Bytes& line) {
  std::int64_t size = 0;
  if (Os().Size(file.handle, &size) != 0) return;
  const std::int64_t unread = size - file.bytes_read + static_cast<std::int64_t>(file.count - file.position);
  if (unread > 0) line.reserve(line.size() + static_cast<std::size_t>(unread));
}

}  // namespace

LineFile::~LineFile() {
  if (state == LineFileState::kClosed) return;
  const int saved = TakeIoResult();
  if (state == LineFileState::kWriting) WriteOut(*this);
  if (!is_standard_output) Os().Close(handle);
  state = LineFileState::kClosed;
  SetIoResult(saved);
}

void OpenAppend(LineFile& file, const Bytes& path) {
  FileHandle handle = kNoFile;
  int error = Os().Open(path, OpenMode::kAppend, &handle);
  bool needs_line_end = false;
  bool ends_in_cr = false;
  if (error == 0) {
    error = CutAtEndOfFileMark(handle, &needs_line_end, &ends_in_cr);
    if (error != 0) Os().Close(handle);
  }
  if (error != 0) {
    SetIoResult(error);
    return;
  }
  if (DeviceCheck(file, handle)) {
    file.needs_line_end = needs_line_end;
    file.ends_in_cr = ends_in_cr;
  }
}

bool CreateNew(LineFile& file, const Bytes& path) {
  FileHandle handle = kNoFile;
  const int error = Os().Open(path, OpenMode::kCreate, &handle);
  if (error == kErrorFileExists) {
    OpenAppend(file, path);
    return false;
  }
  if (error != 0) {
    SetIoResult(error);
    return false;
  }
  return DeviceCheck(file, handle);
}

Bytes ReadTail(LineFile& file, std::size_t max_bytes, std::int64_t* start, std::int64_t* end) {
  Bytes tail;
  *start = 0;
  *end = 0;
  if (file.state != LineFileState::kWriting) {
    SetIoResult(kErrorNotOpenForOutput);
    return tail;
  }
  if (file.kind != HandleKind::kDisk) return tail;
  int error = Os().Size(file.handle, end);
  if (error == 0 && *end == 0) return tail;
  *start = std::max<std::int64_t>(0, *end - static_cast<std::int64_t>(max_bytes));
  if (error == 0) error = Os().Seek(file.handle, *start, SeekOrigin::kBegin, nullptr);
  if (error == 0) {
    tail.resize(static_cast<std::size_t>(*end - *start));
    std::size_t n = 0;
    while (error == 0 && n < tail.size()) {
      std::size_t got = 0;
      error = Os().Read(file.handle, &tail[n], tail.size() - n, &got);
      if (got == 0) break;
      n += got;
    }
    tail.resize(n);
  }
  if (error == 0) error = Os().Seek(file.handle, 0, SeekOrigin::kEnd, end);
  if (error != 0) {
    SetIoResult(error);
    tail.clear();
  }
  return tail;
}

void WriteLine(LineFile& file, std::initializer_list<ByteView> parts, ByteView line_end) {
  if (file.state != LineFileState::kWriting) {
    if (!(file.is_standard_output && file.state == LineFileState::kClosed)) {
      SetIoResult(kErrorNotOpenForOutput);
      return;
    }
    if (!OpenStandardOutput(file)) return;
  }
  bool placed = EndLastLineIn(file);
  for (ByteView part : parts) {
    if (placed) placed = Put(file, part);
  }
  Put(file, line_end);
  if (file.flush_per_line) WriteOut(file);
}

ByteView MissingLineEnd(const LineFile& file) {
  if (!file.needs_line_end) return ByteView();
  return file.ends_in_cr ? ByteView("\n") : kCrLf;
}

void EndLastLine(LineFile& file) {
  if (file.state == LineFileState::kWriting) EndLastLineIn(file);
}

void FlushLineFile(LineFile& file) {
  if (file.state == LineFileState::kWriting) {
    WriteOut(file);
  } else if (file.state == LineFileState::kClosed && !file.is_standard_output) {
    SetIoResult(kErrorFileNotOpen);
  }
}

void SyncLineFile(LineFile& file) {
  FlushLineFile(file);
  if (file.state != LineFileState::kWriting || file.kind != HandleKind::kDisk) return;
  const int error = Os().Sync(file.handle);
  if (error != 0) SetIoResult(error);
}

void CloseLineFile(LineFile& file) {
  switch (file.state) {
    case LineFileState::kClosed:
      SetIoResult(kErrorFileNotOpen);
      return;
    case LineFileState::kWriting:
      if (!WriteOut(file)) return;
      file.state = LineFileState::kClosed;
      if (file.is_standard_output) return;
      break;
    case LineFileState::kReading:
      file.state = LineFileState::kClosed;
      break;
  }
  const int error = Os().Close(file.handle);
  file.handle = kNoFile;
  if (error != 0) SetIoResult(error);
}

void OpenRead(LineFile& file, const Bytes& path) {
  FileHandle handle = kNoFile;
  const int error = Os().Open(path, OpenMode::kRead, &handle);
  if (error != 0) {
    SetIoResult(error);
    return;
  }
  EnsureBuffer(file, kReadBufferSize);
  ResetRecord(file, LineFileState::kReading, handle);
}

bool AtEnd(LineFile& file) {
  if (!CheckReading(file)) return true;
  return !Fill(file);
}

Bytes ReadTextLine(LineFile& file, std::size_t max_bytes) {
  Bytes line;
  if (!CheckReading(file)) return line;
  bool reserved = false;
  while (line.size() < max_bytes && Fill(file)) {
    const char* start = file.buffer.get() + file.position;
    const std::size_t available = file.count - file.position;
    const void* line_feed = std::memchr(start, '\n', available);
    const std::size_t segment =
        line_feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(line_feed) - start) : available;
    if (!reserved && line.size() + segment > file.capacity && max_bytes > file.capacity) {
      ReserveForLongLine(file, line);
      reserved = true;
    }
    // Every CR inside a line is dropped: one before LF belongs to the line
    // end, any other is not part of the text.
    std::size_t i = 0;
    while (i < segment && line.size() < max_bytes) {
      const void* cr = std::memchr(start + i, '\r', segment - i);
      const std::size_t run_end =
          cr != nullptr ? static_cast<std::size_t>(static_cast<const char*>(cr) - start) : segment;
      const std::size_t take = std::min(run_end - i, max_bytes - line.size());
      line.append(start + i, take);
      i += take;
      if (i == run_end && cr != nullptr) ++i;
    }
    file.position += i;
    if (i < segment || line_feed != nullptr) break;
  }
  return line;
}

void SkipTextLine(LineFile& file) {
  if (!CheckReading(file)) return;
  while (Fill(file)) {
    const char* start = file.buffer.get() + file.position;
    const void* line_feed = std::memchr(start, '\n', file.count - file.position);
    if (line_feed != nullptr) {
      file.position += static_cast<std::size_t>(static_cast<const char*>(line_feed) - start);
      return;
    }
    file.position = file.count;
  }
}

void SkipLinesNotStartingWith(LineFile& file, char first) {
  if (!CheckReading(file)) return;
  bool at_line_start = true;
  while (Fill(file)) {
    if (at_line_start) {
      const char next = file.buffer[file.position];
      if (next == first || next == '\r') return;
      at_line_start = false;
    }
    // The byte after each LF is looked at, so the last byte waits for the
    // next fill. When it is the file's last, no line starts after it.
    if (!Fill(file, 2)) {
      file.position = file.count;
      return;
    }
    const std::size_t start = FindLikelyLineStart(file.buffer.get(), file.position, file.count - 1, first);
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

LineFile& StandardOutputFile() {
  static LineFile file;
  file.is_standard_output = true;
  return file;
}
