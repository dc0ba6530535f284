#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "common/bytes.h"
#include "platform/platform.h"

// A file opened line-wise: one record per open file, with its own handle and
// buffer. Here: the record, opening for writing (creating or appending),
// writing lines with CR LF, and closing; reading is in line_file_read.h.
// Failures set the I/O result (common/io_result.h); a line file's own codes:
//   103  closing a file that is not open
//   104  reading from a file that is not open for reading
//   105  writing to a file that is not open for writing, or an output handle
//        of unknown type

constexpr int kErrorFileNotOpen = 103;
constexpr int kErrorNotOpenForInput = 104;
constexpr int kErrorNotOpenForOutput = 105;

constexpr char kEndOfFileMark = 26;
// A list is cut at the first end-of-file mark in its final bytes, this many.
constexpr std::int64_t kEndOfFileMarkWindow = 128;

enum class LineFileState { kClosed, kReading, kWriting };

// A move of the file's end by another program (LineFile::follows_end): the
// bytes the record counts from `from` on lie `shift` bytes further on.
struct EndMove {
  std::int64_t from = 0;
  std::int64_t shift = 0;
};

// The line end a file's last line lacks: none, CR LF, or LF after a final CR.
enum class MissingEnd { kNone, kCrLf, kLf };

// The line end that content whose last byte is `last` lacks.
constexpr MissingEnd MissingEndAfter(char last) {
  return last == '\n' ? MissingEnd::kNone : last == '\r' ? MissingEnd::kLf : MissingEnd::kCrLf;
}

struct LineFile {
  LineFile() = default;
  LineFile(const LineFile&) = delete;
  LineFile& operator=(const LineFile&) = delete;
  // A file still open when its record goes away (a failure unwinding the run)
  // is written out and closed; errors are ignored there.
  ~LineFile();

  LineFileState state = LineFileState::kClosed;
  bool is_standard_output = false;
  FileHandle handle = kNoFile;
  HandleKind kind = HandleKind::kUnknown;
  std::unique_ptr<char[]> buffer;
  std::size_t capacity = 0;      // the buffer's size
  std::size_t position = 0;      // reading: next unread byte
  std::size_t count = 0;         // reading: valid bytes; writing: pending bytes
  bool input_ended = false;      // reading: the end of the file or a mark was met
  bool mark_ends_input = true;   // reading: byte 26 is the end-of-file mark
  std::int64_t bytes_read = 0;   // reading: bytes taken from the file so far, holes too
  std::int64_t size_limit = -1;  // reading: the most bytes read, -1 for all
  // Reading a file that may have holes (see PassOverHoles): the end of the
  // data range that the reads take bytes from, and the zero bytes of a hole
  // that follow the buffered ones, counted in bytes_read but never read.
  bool passes_holes = false;
  std::int64_t data_end = 0;
  std::int64_t hole = 0;
  bool flush_per_line = false;
  // What the content a file was opened for appending with lacks at its end:
  // the first line written starts with it, not to be joined to the last line.
  MissingEnd missing_end = MissingEnd::kNone;
  // That line end once placed: the first pending bytes, written only where no
  // other program has moved the file's end since.
  std::size_t lead_in_buffer = 0;
  // A disk file opened for appending or creating, which other programs may
  // write too: before each write-out its size is compared with where this
  // record left it. When another program has changed it, the bytes go to
  // its end, after a line end when its last byte is not LF, and the move is
  // kept. Offsets count the file as it was opened plus the bytes placed.
  bool follows_end = false;
  std::int64_t written = 0;   // the offset up to which the record's bytes are written out
  std::int64_t file_end = 0;  // where the file ended after that
  char last_byte = '\n';      // its last byte then
  std::vector<EndMove> moves;
};

// Opens an existing file for appending: read and write access, others may
// only read. Cuts the file at an end-of-file mark in its final 128 bytes and
// leaves the position at the (new) end. On failure the file stays closed.
void OpenAppend(LineFile& file, const Bytes& path);

// Creates the file (write access, others may only read), or opens it with
// OpenAppend when it exists by then (another run created it since the caller
// looked): a list is never emptied, as its lines may be all that is left of
// deleted logs. True when a new file was made; on failure it stays closed.
bool CreateOrAppend(LineFile& file, const Bytes& path);

// Creates a new file at path, open for writing at its start, that is never
// more open than model, an open file (see Platform::CreateLike). On failure
// (80 when a file is there) no file is made and it stays closed.
void CreateLike(LineFile& file, const Bytes& path, const LineFile& model);

// The line end of lists, logs and reports.
constexpr ByteView kCrLf = "\r\n";

// Writes the parts, then the line end (CR LF unless another is given).
// Standard output opens itself on its first line. A failed write-out drops
// the pending bytes and the rest of the line; the line end is still buffered.
void WriteLine(LineFile& file, std::initializer_list<ByteView> parts, ByteView line_end = kCrLf);
inline void WriteLine(LineFile& file, ByteView line, ByteView line_end = kCrLf) { WriteLine(file, {line}, line_end); }

// Writes bytes as they stand: no line end is put before or after them.
void WriteBytes(LineFile& file, ByteView bytes);

// The bytes that the next line written is preceded by, to end the last line
// of a file opened for appending: CR LF, or LF alone after a final CR; empty
// once that is done or when the content ended with a line end.
ByteView MissingLineEnd(const LineFile& file);

// Ends the last line of a file opened for appending when it lacks a line
// end (see MissingLineEnd); otherwise writes nothing.
void EndLastLine(LineFile& file);

// The offset after the last byte placed: the file as it was opened, plus
// every byte written to it since, pending ones included. The record counts
// its bytes so, wherever another program has moved the file's end.
std::int64_t PlacedEnd(const LineFile& file);

// Where the bytes that the record counts at [offset, offset + length) lie in
// the file now, or -1 when another program's change fell between them.
std::int64_t PlacedAt(const LineFile& file, std::int64_t offset, std::int64_t length);

// The next line written continues the last line of a file opened for
// appending, which lacks its line end: no line end is put before it.
void ContinueLastLine(LineFile& file);

// Another program wrote after the record's last bytes, and what it wrote
// stays: the file's end as it is now is where the next bytes go, after a
// line end when its last byte is not LF, and a later change, even one back
// to the size and last byte the record knew before, is followed.
void TakeEndAsItIs(LineFile& file);

// Where the file, open for writing, would be cut when it is next opened for
// appending: the offset of the first end-of-file mark in its final bytes as
// it is now, or -1. Another program may have cut the file since it was
// opened, and so brought a mark that lay further back within reach.
std::int64_t EndOfFileMarkCut(LineFile& file);

// Another program changed the file but not its last bytes, counted from
// `from` on (nothing written since the open): it is `size` bytes long now,
// its last byte `last`, and they and the bytes to come lie at its end.
void RebaseEnd(LineFile& file, std::int64_t from, std::int64_t size, char last);

// Writes out the pending bytes of a file open for writing.
void FlushLineFile(LineFile& file);

// Writes out the pending bytes and puts the file's data on stable storage
// (disk files only; other kinds have nothing to sync).
void SyncLineFile(LineFile& file);

// Writes out pending bytes and closes. When the write-out fails the file
// stays open. Standard output keeps its handle.
void CloseLineFile(LineFile& file);

// Writes out the pending bytes and hands the file's handle to the caller,
// which closes it: the record is closed. kNoFile when the write-out fails
// (the file stays open) or the file is not open for writing.
FileHandle ReleaseHandle(LineFile& file);

// The identity of the open file (see FileIdentity).
void IdentifyLineFile(LineFile& file, FileIdentity* identity);

// The line file bound to the process's standard output.
LineFile& StandardOutputFile();
