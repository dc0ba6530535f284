// A file opened for appending (line_file.h): opening or creating it, its
// end-of-file mark, and reading it back (line_file_read.h).

#include <algorithm>

#include "common/io_result.h"
#include "textfile/line_file.h"
#include "textfile/line_file_read.h"
#include "textfile/line_file_record.h"

namespace {

// Reads the file's final bytes, where a mark cuts it, and the byte before
// them, in case the whole window is cut away: *mark is the offset of the
// first mark there, or -1, and *last the byte before the cut, or the file's
// last byte (LF for none). Leaves the position at the file's end.
int FindEndOfFileMark(FileHandle handle, std::int64_t size, std::int64_t* mark, char* last) {
  const std::int64_t window = std::min(size, kEndOfFileMarkWindow);
  const std::int64_t before = size > kEndOfFileMarkWindow ? 1 : 0;
  const std::int64_t start = size - window - before;
  int error = Os().Seek(handle, start, SeekOrigin::kBegin, nullptr);
  if (error != 0) return error;
  char tail[kEndOfFileMarkWindow + 1];
  std::size_t n = 0;
  while (n < static_cast<std::size_t>(window + before)) {
    std::size_t got = 0;
    error = Os().Read(handle, tail + n, static_cast<std::size_t>(window + before) - n, &got);
    if (error != 0) return error;
    if (got == 0) break;
    n += got;
  }
  const std::size_t found = ByteView(tail, n).find(kEndOfFileMark, static_cast<std::size_t>(before));
  const std::size_t end = found == ByteView::npos ? n : found;
  *mark = found == ByteView::npos ? -1 : start + static_cast<std::int64_t>(found);
  *last = end > 0 ? tail[end - 1] : '\n';
  return Os().Seek(handle, 0, SeekOrigin::kEnd, nullptr);
}

// OpenAppend's cut (line_file.h); the rest's missing line end and last byte.
int CutAtEndOfFileMark(FileHandle handle, MissingEnd* missing_end, char* last_byte) {
  std::int64_t size = 0;
  std::int64_t mark = -1;
  char last = '\n';
  int error = Os().Size(handle, &size);
  if (error == 0) error = FindEndOfFileMark(handle, size, &mark, &last);
  if (error == 0 && mark >= 0) {
    error = Os().Seek(handle, mark, SeekOrigin::kBegin, nullptr);
    if (error == 0) error = Os().Truncate(handle);
  }
  if (error != 0) return error;
  *missing_end = MissingEndAfter(last);
  *last_byte = last;
  return 0;
}

// A disk file just opened for appending or creating, its position at its
// end, may be written by other programs too.
void FollowEndOf(LineFile& file) {
  if (file.kind != HandleKind::kDisk) return;
  std::int64_t end = 0;
  const int error = Os().Seek(file.handle, 0, SeekOrigin::kCurrent, &end);
  if (error != 0) {
    SetIoResult(error);
    return;
  }
  file.follows_end = true;
  file.written = end;
  file.file_end = end;
}

}  // namespace

void OpenAppend(LineFile& file, const Bytes& path) {
  FileHandle handle = kNoFile;
  int error = Os().Open(path, OpenMode::kAppend, &handle);
  MissingEnd missing_end = MissingEnd::kNone;
  char last_byte = '\n';
  if (error == 0) {
    error = CutAtEndOfFileMark(handle, &missing_end, &last_byte);
    if (error != 0) Os().Close(handle);
  }
  if (error != 0) {
    SetIoResult(error);
    return;
  }
  if (DeviceCheck(file, handle)) {
    file.missing_end = missing_end;
    file.last_byte = last_byte;
    FollowEndOf(file);
  }
}

bool CreateOrAppend(LineFile& file, const Bytes& path) {
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
  if (!DeviceCheck(file, handle)) return false;
  FollowEndOf(file);
  return true;
}

void CreateLike(LineFile& file, const Bytes& path, const LineFile& model) {
  FileHandle handle = kNoFile;
  const int error = Os().CreateLike(path, model.handle, &handle);
  if (error != 0) return SetIoResult(error);
  DeviceCheck(file, handle);
}

std::int64_t EndOfFileMarkCut(LineFile& file) {
  if (file.state != LineFileState::kWriting) {
    SetIoResult(kErrorNotOpenForOutput);
    return -1;
  }
  FlushLineFile(file);
  std::int64_t size = 0;
  std::int64_t mark = -1;
  char last = '\n';
  int error = Os().Size(file.handle, &size);
  if (error == 0) error = FindEndOfFileMark(file.handle, size, &mark, &last);
  if (error != 0) SetIoResult(error);
  return error != 0 ? -1 : mark;
}

Bytes ReadTail(LineFile& file, std::size_t max_bytes, std::int64_t* start, bool* unchanged) {
  Bytes tail;
  *start = 0;
  *unchanged = false;
  if (file.state != LineFileState::kWriting) {
    SetIoResult(kErrorNotOpenForOutput);
    return tail;
  }
  if (file.kind != HandleKind::kDisk) {
    *unchanged = true;
    return tail;
  }
  for (int attempt = 0; attempt < 3 && !*unchanged; ++attempt) {
    std::int64_t size = 0;
    int error = Os().Size(file.handle, &size);
    if (error == 0 && size != file.file_end && file.count == 0 && file.written == file.file_end) {
      // Changed by another program before any write: taken as it is now.
      file.written = file.file_end = size;
    }
    *start = std::max<std::int64_t>(0, file.file_end - static_cast<std::int64_t>(max_bytes));
    tail.resize(static_cast<std::size_t>(file.file_end - *start));
    if (error == 0 && !tail.empty()) tail.resize(ReadAt(file, *start, tail.data(), tail.size()));
    std::int64_t after = 0;
    if (error == 0) error = Os().Size(file.handle, &after);
    if (error != 0) {
      SetIoResult(error);
      return Bytes();
    }
    *unchanged = after == file.file_end && tail.size() == static_cast<std::size_t>(file.file_end - *start);
  }
  const char last = tail.empty() ? '\n' : tail.back();
  file.last_byte = last;
  file.missing_end = MissingEndAfter(last);
  return tail;
}

std::size_t ReadAt(LineFile& file, std::int64_t offset, char* into, std::size_t size) {
  if (file.state != LineFileState::kWriting) {
    SetIoResult(kErrorNotOpenForOutput);
    return 0;
  }
  FlushLineFile(file);
  std::size_t n = 0;
  int error = Os().Seek(file.handle, offset, SeekOrigin::kBegin, nullptr);
  while (error == 0 && n < size) {
    std::size_t got = 0;
    error = Os().Read(file.handle, into + n, size - n, &got);
    if (got == 0) break;
    n += got;
  }
  const int end_error = Os().Seek(file.handle, 0, SeekOrigin::kEnd, nullptr);
  if (error == 0) error = end_error;
  if (error != 0) SetIoResult(error);
  return n;
}
