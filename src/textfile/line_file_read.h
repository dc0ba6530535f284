#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/bytes.h"
#include "textfile/line_file.h"

// Reading a line file: the logs line by line, and the tail of a list opened
// for appending. LF or CR LF ends a line, any other CR is dropped, and byte
// 26 ends the file. Failures set the I/O result (104: not open for reading);
// closing is CloseLineFile.
//
// A file read with PassOverHoles has the zeros of its holes passed over,
// never read: they are no line end, no CR and no mark, so a line runs on
// through a hole, and the operations that pass over lines pass over holes at
// no cost. Only ReadTextLine and PeekBytes give such zeros as bytes, no more
// than asked for; ReadBytes stops before a hole.

// Opens an existing file for reading. On failure the file stays closed.
void OpenRead(LineFile& file, const Bytes& path);

// Reads no more than size bytes, the size its identity gave at the open: what
// another program appends later makes it a changed file, not deleted as the
// one read. It spares the read that would only find the end.
void LimitReading(LineFile& file, std::int64_t size);

// The file may have holes (FileIdentity::may_have_holes): each time the
// reading reaches the end of a range of data, it asks the platform where the
// next one lies (Platform::DataRange), and the hole before it is passed over.
// Where the platform cannot tell, the rest of the file is read as it stands.
void PassOverHoles(LineFile& file);

// The count of the zeros of a hole that come next, passed over unread; 0 when
// the next byte is data, or none is left.
std::int64_t HoleAhead(LineFile& file);

// Passes over the hole that comes next (see HoleAhead), if one does.
void SkipHole(LineFile& file);

// Whether byte 26 ends the input, as it does from the open on. A text of
// two-byte units has a mark of its own, and its bytes are data. Switched back
// on, the bytes already buffered and not read yet are cut at a mark.
void SetMarkEndsInput(LineFile& file, bool ends);

// Up to n of the bytes not read yet, left unread: fewer at the end of the
// input, and none beyond a hole that comes among them (its zeros are given).
Bytes PeekBytes(LineFile& file, std::size_t n);

// Reads up to size bytes as they stand, with no line rule. Returns the count:
// less than size only at the end of the input, or before a hole.
std::size_t ReadBytes(LineFile& file, char* into, std::size_t size);

// True when no byte is left to read or the next one is the end-of-file mark.
bool AtEnd(LineFile& file);

// Zero bytes of a hole that a line read holds, noted instead of put in its
// bytes: at is their offset in the whole line.
struct ZeroRun {
  std::size_t at = 0;
  std::size_t length = 0;
};

// Reads the current line up to its end, leaving the line end unread. At most
// max_bytes of it are taken, the zeros of holes counted; the rest of the line
// stays unread. The zeros of a hole are put into the line returned, unless
// zeros is given: then they are noted there, in order, and left out, so that
// a line through a vast hole costs no more than its data.
Bytes ReadTextLine(LineFile& file, std::size_t max_bytes = static_cast<std::size_t>(-1),
                   std::vector<ZeroRun>* zeros = nullptr);

// The whole line that data and its zero runs (from ReadTextLine) stand for.
Bytes WithZeroRuns(ByteView data, const std::vector<ZeroRun>& zeros);

// Reads past the rest of the current line, keeping nothing.
void SkipTextLine(LineFile& file);

// Called at the start of a line: reads past the lines that cannot begin with
// the byte first or the byte other, and stops at the start of one that may
// (its first byte is one of them, or a CR, which is dropped when the line is
// read). At the end of the file nothing is left to read.
void SkipLinesNotStartingWith(LineFile& file, char first, char other);

// Consumes an LF, or a CR and its LF. Consumes nothing at the end of the file.
void SkipLineEnd(LineFile& file);

// Reads the last max_bytes (or fewer) of a file just opened with OpenAppend,
// nothing written to it yet; *start is the offset of the first byte returned.
// A file another program changed since the open is taken as it is now, and
// read again while it changes; *unchanged is false when it kept changing.
// Leaves the position at the file's end.
Bytes ReadTail(LineFile& file, std::size_t max_bytes, std::int64_t* start, bool* unchanged);

// Reads up to size bytes at offset of a file open for writing, after its
// pending bytes are written out, and leaves the position at the file's end.
// Returns the count read: less than size only at the end of the file.
std::size_t ReadAt(LineFile& file, std::int64_t offset, char* into, std::size_t size);
