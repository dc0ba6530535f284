#include "textfile/line_file.h"

#include <algorithm>
#include <cstring>

#include "common/io_result.h"
#include "textfile/line_file_record.h"

namespace {

// Large blocks keep system calls per file low; the size shows only in what
// has reached the disk when a write fails.
constexpr std::size_t kBufferSize = 64 * 1024;

ByteView LineEndOf(MissingEnd missing) {
  switch (missing) {
    case MissingEnd::kNone:
      return ByteView();
    case MissingEnd::kLf:
      return "\n";
    case MissingEnd::kCrLf:
      return kCrLf;
  }
  return ByteView();
}

// The last byte of a file of *size bytes (got is 0 for an empty file, and
// last then '\n'); leaves the position at the file's end and *size at it.
int LastByte(FileHandle handle, std::int64_t* size, char* last, std::size_t* got) {
  *last = '\n';
  *got = 0;
  int error = 0;
  if (*size > 0) {
    error = Os().Seek(handle, *size - 1, SeekOrigin::kBegin, nullptr);
    if (error == 0) error = Os().Read(handle, last, 1, got);
    if (error == 0 && *got == 0) *last = '\n';
  }
  if (error == 0) error = Os().Seek(handle, 0, SeekOrigin::kEnd, size);
  return error;
}

// See LineFile::follows_end (the platform writes at the file's end). The line
// end put first keeps each program's line apart from the other's; the content
// as opened no longer ends the file, so its missing line end, if still
// pending, is dropped: *dropped counts those bytes.
int FollowEnd(LineFile& file, std::size_t* dropped) {
  std::int64_t size = 0;
  int error = Os().Size(file.handle, &size);
  if (error != 0 || (size == file.file_end && size == 0)) return error;
  // A file rewritten to the same size shows only in its last byte, which
  // decides the line end put before the next bytes.
  char last = '\n';
  std::size_t got = 0;
  error = LastByte(file.handle, &size, &last, &got);
  if (error != 0 || (size == file.file_end && got == 1 && last == file.last_byte)) return error;
  const ByteView lead = LineEndOf(MissingEndAfter(last));
  std::size_t done = 0;
  if (!lead.empty()) error = Os().Write(file.handle, lead.data(), lead.size(), &done);
  file.last_byte = done > 0 ? lead[done - 1] : last;
  *dropped = file.lead_in_buffer;
  file.written += static_cast<std::int64_t>(*dropped);
  file.file_end = size + static_cast<std::int64_t>(done);
  file.moves.push_back({file.written, file.file_end - file.written});
  return error;
}

// A write the platform reports complete but short counts as a full disk.
bool WriteToFile(LineFile& file, const char* data, std::size_t size) {
  std::size_t dropped = 0;
  int error = file.follows_end ? FollowEnd(file, &dropped) : 0;
  file.lead_in_buffer = 0;
  data += dropped;
  size -= dropped;
  std::size_t done = 0;
  if (error == 0) error = Os().Write(file.handle, data, size, &done);
  if (error == 0 && done < size) error = kErrorDiskFull;
  if (done > 0) file.last_byte = data[done - 1];
  file.written += static_cast<std::int64_t>(done);
  file.file_end += static_cast<std::int64_t>(done);
  if (error != 0) SetIoResult(error);
  return error == 0;
}

// On failure the pending bytes are dropped and the I/O result is set.
bool WriteOut(LineFile& file) {
  if (file.count == 0) return true;
  const std::size_t count = file.count;
  file.count = 0;
  return WriteToFile(file, file.buffer.get(), count);
}

// Places bytes after the pending ones; a piece larger than the buffer goes
// straight to the file so that a huge line is never copied whole.
bool Put(LineFile& file, ByteView data) {
  if (data.empty()) return true;  // an empty view may have no bytes to point to
  if (data.size() > kBufferSize - file.count && !WriteOut(file)) return false;
  if (data.size() >= kBufferSize) return WriteToFile(file, data.data(), data.size());
  std::memcpy(file.buffer.get() + file.count, data.data(), data.size());
  file.count += data.size();
  return true;
}

// Puts the missing line end of appended-to content before the first new
// byte. False when that write-out failed.
bool EndLastLineIn(LineFile& file) {
  const ByteView missing = MissingLineEnd(file);
  file.missing_end = MissingEnd::kNone;
  if (missing.empty()) return true;
  if (!Put(file, missing)) return false;
  file.lead_in_buffer = missing.size();
  return true;
}

bool OpenStandardOutput(LineFile& file) { return DeviceCheck(file, Os().StandardOutput()); }

}  // namespace

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

void EnsureBuffer(LineFile& file, std::size_t capacity) {
  if (!file.buffer || file.capacity != capacity) {
    file.buffer.reset(new char[capacity]);  // filled before it is read: no need to clear it
    file.capacity = capacity;
  }
}

void ResetRecord(LineFile& file, LineFileState state, FileHandle handle) {
  file.state = state;
  file.handle = handle;
  file.position = 0;
  file.count = 0;
  file.input_ended = false;
  file.mark_ends_input = true;
  file.bytes_read = 0;
  file.size_limit = -1;
  file.passes_holes = false;
  file.data_end = 0;
  file.hole = 0;
  file.flush_per_line = false;
  file.missing_end = MissingEnd::kNone;
  file.lead_in_buffer = 0;
  file.last_byte = '\n';
  file.follows_end = false;
  file.written = 0;
  file.file_end = 0;
  file.moves.clear();
}

LineFile::~LineFile() {
  if (state == LineFileState::kClosed) return;
  const int saved = TakeIoResult();
  if (state == LineFileState::kWriting) WriteOut(*this);
  if (!is_standard_output) Os().Close(handle);
  state = LineFileState::kClosed;
  SetIoResult(saved);
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

void WriteBytes(LineFile& file, ByteView bytes) {
  if (file.state != LineFileState::kWriting) {
    SetIoResult(kErrorNotOpenForOutput);
    return;
  }
  Put(file, bytes);
}

ByteView MissingLineEnd(const LineFile& file) { return LineEndOf(file.missing_end); }

void EndLastLine(LineFile& file) {
  if (file.state == LineFileState::kWriting) EndLastLineIn(file);
}

void ContinueLastLine(LineFile& file) { file.missing_end = MissingEnd::kNone; }

void TakeEndAsItIs(LineFile& file) {
  FlushLineFile(file);
  std::int64_t size = 0;
  char last = '\n';
  std::size_t got = 0;
  int error = Os().Size(file.handle, &size);
  if (error == 0) error = LastByte(file.handle, &size, &last, &got);
  if (error != 0) return SetIoResult(error);
  file.last_byte = last;
  file.missing_end = MissingEndAfter(last);
  if (size == file.file_end) return;
  file.file_end = size;
  file.moves.push_back({file.written, file.file_end - file.written});
}

void RebaseEnd(LineFile& file, std::int64_t from, std::int64_t size, char last) {
  file.last_byte = last;
  if (size == file.file_end) return;
  file.moves.push_back({from, size - file.file_end});
  file.file_end = size;
}

std::int64_t PlacedEnd(const LineFile& file) {
  return file.state == LineFileState::kWriting ? file.written + static_cast<std::int64_t>(file.count) : 0;
}

std::int64_t PlacedAt(const LineFile& file, std::int64_t offset, std::int64_t length) {
  std::int64_t shift = 0;
  for (const EndMove& move : file.moves) {
    if (move.from <= offset) {
      shift = move.shift;
    } else if (move.from < offset + length) {
      return -1;
    }
  }
  return offset + shift;
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

FileHandle ReleaseHandle(LineFile& file) {
  if (file.state != LineFileState::kWriting || file.is_standard_output) {
    SetIoResult(kErrorNotOpenForOutput);
    return kNoFile;
  }
  if (!WriteOut(file)) return kNoFile;
  file.state = LineFileState::kClosed;
  const FileHandle handle = file.handle;
  file.handle = kNoFile;
  return handle;
}

void IdentifyLineFile(LineFile& file, FileIdentity* identity) {
  if (file.state == LineFileState::kClosed) {
    SetIoResult(kErrorFileNotOpen);
    return;
  }
  const int error = Os().Identify(file.handle, identity);
  if (error != 0) SetIoResult(error);
}

LineFile& StandardOutputFile() {
  static LineFile file;
  file.is_standard_output = true;
  return file;
}
