#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/bytes.h"

// The one narrow interface between the program and the operating system.
// Every operation that can fail returns 0 on success or a Windows error code,
// the codes the program's rules are stated in; the POSIX implementation maps
// errno onto them where it makes the call. The Windows implementation calls
// the ANSI ("...A") forms of the API on purpose: the program finds, opens and
// deletes files by their bytes in the ANSI code page, and converts a name
// (NameToUtf8) only to write it into a list. Tests replace the implementation
// with SetPlatform(), for instance with a wrapper that fails the k-th call.

// Windows error codes the program relies on.
constexpr int kErrorFileNotFound = 2;
constexpr int kErrorPathNotFound = 3;
constexpr int kErrorTooManyOpenFiles = 4;
constexpr int kErrorAccessDenied = 5;
constexpr int kErrorNoMoreFiles = 18;
constexpr int kErrorWriteProtect = 19;
constexpr int kErrorSharingViolation = 32;
constexpr int kErrorFileExists = 80;
constexpr int kErrorInvalidParameter = 87;
constexpr int kErrorDiskFull = 112;
constexpr int kErrorNotImplemented = 120;
constexpr int kErrorFileTooLarge = 223;

// Codes with bit 29 set are application-defined in the Windows code space, so
// they never collide with a system code. The POSIX build reports an errno that
// has no Windows counterpart as kErrorNativeBase + errno.
constexpr int kErrorNativeBase = 0x20000000;
// A log that another process still holds open for writing (POSIX only; on
// Windows the writer's sharing request makes the open fail with code 32).
constexpr int kErrorHeldByWriter = kErrorNativeBase + 0x10000;
// A file to be deleted is not the one it was (see RemoveIfUnchanged).
constexpr int kErrorFileChanged = kErrorNativeBase + 0x10001;

// How long a file whose writers cannot be seen must be unchanged before no
// writer is assumed to be at work on it.
constexpr int kQuietSeconds = 60;

// File attribute bits as the enumeration reports them.
constexpr std::uint32_t kAttributeReadOnly = 1;
constexpr std::uint32_t kAttributeHidden = 2;
constexpr std::uint32_t kAttributeSystem = 4;
constexpr std::uint32_t kAttributeVolumeLabel = 8;
constexpr std::uint32_t kAttributeDirectory = 16;
constexpr std::uint32_t kAttributeArchive = 32;

enum class PathStyle { kPosix, kWindows };

// Where other programs may write a list that this one holds (POSIX has no
// sharing modes), a file opened for appending or creating is written at its
// end, wherever that is by then: never over a line another program appended.
enum class OpenMode {
  kAppend,  // existing file, read and write access; others may read it only
  kCreate,  // create a new file, read and write access; others may read it
            // only; fails with 80 when the file exists by then
  kRead,    // existing file, read access; others may read it only
};

enum class HandleKind { kUnknown, kDisk, kCharacter, kPipe };

enum class SeekOrigin { kBegin, kCurrent, kEnd };

using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

using FindHandle = void*;

// What tells one file from another, and whether it changed since: on POSIX
// the device, the inode, the size and the change time; on Windows the volume
// serial number, the file index, the size and the last write time.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  std::int64_t size = 0;
  std::int64_t time = 0;  // in the platform's own unit: only compared
  // The file may have holes (see Platform::DataRange): on POSIX it holds
  // fewer bytes on disk than its size, on Windows it is marked sparse. Told
  // by the same query, and no part of the comparison.
  bool may_have_holes = false;
};

// The same file (device and index), whatever its size and time.
inline bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.device == b.device && a.index == b.index;
}
// The same file, unchanged.
inline bool operator==(const FileIdentity& a, const FileIdentity& b) {
  return SameFile(a, b) && a.size == b.size && a.time == b.time;
}
inline bool operator!=(const FileIdentity& a, const FileIdentity& b) { return !(a == b); }

struct FoundEntry {
  Bytes name;  // without any directory part
  std::uint32_t attributes = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // --- the process ---
  // Path of the program file (not the word typed on the command line), or
  // empty when the platform cannot tell where the program lies.
  virtual Bytes ProgramPath() = 0;
  // Arguments 1, 2, ... as the platform delivers them. Empty arguments are
  // dropped and later ones move down.
  virtual std::vector<Bytes> Arguments() = 0;
  // The separator rules of this platform's paths.
  virtual PathStyle Style() = 0;
  // Whether two names that differ only in letter case name two files.
  virtual bool NamesAreCaseSensitive() = 0;
  // Whether file names are UTF-8 (POSIX), not ANSI code page bytes (Windows).
  virtual bool NamesAreUtf8() = 0;
  // A file name in UTF-8: as it is, or converted from the ANSI code page.
  virtual Bytes NameToUtf8(ByteView name) = 0;
  // The line end of the system's own text, used for the help and the
  // version: CR LF on Windows, LF on POSIX. Lists and reports keep CR LF.
  virtual ByteView TextLineEnd() = 0;
  // Upper-cases every byte under the user's locale; the length is unchanged.
  virtual Bytes UpperCase(ByteView text) = 0;
  // Start of the loaded image that holds the code at address, or nullptr.
  virtual const void* ImageBase(const void* address) = 0;
  [[noreturn]] virtual void Exit(int code) = 0;

  // --- the file system ---
  // An entry exists at path and is not a directory.
  virtual bool IsExistingFile(const Bytes& path) = 0;
  // An entry exists at path and is a directory.
  virtual bool IsExistingDirectory(const Bytes& path) = 0;
  // Enumerates the entries matching pattern (a directory part and a name that
  // may hold "*" and "?"): 0 and the first entry, or an error code (18 on
  // POSIX, 2 on Windows when nothing matches); *find is set on success only.
  virtual int FindFirst(const Bytes& pattern, FindHandle* find, FoundEntry* entry) = 0;
  // Returns 0 and the next entry, or 18 (or another code) at the end.
  virtual int FindNext(FindHandle find, FoundEntry* entry) = 0;
  virtual void FindEnd(FindHandle find) = 0;
  virtual int Remove(const Bytes& path) = 0;
  // Deletes the file at path only when it is still the file identity was
  // taken of, unchanged (the same file, size and time): 0 when it was
  // deleted, kErrorFileChanged when another file, or a changed one, is there,
  // another code when the deletion failed. No other file should take the name
  // between the check and the deletion: Windows deletes through the handle
  // the identity is taken from; POSIX, with no deletion by handle, takes this
  // one: the name is looked up, and deleted a moment after.
  virtual int RemoveIfUnchanged(const Bytes& path, const FileIdentity& identity) {
    FileIdentity now;
    const int error = IdentityAt(path, &now);
    if (error != 0) return error;
    if (now != identity) return kErrorFileChanged;
    return Remove(path);
  }
  // The identity of the file at path; a final symbolic link is not followed.
  virtual int IdentityAt(const Bytes& path, FileIdentity* identity) = 0;
  // Puts the directory's names on stable storage ("": the current directory).
  virtual int SyncDirectory(const Bytes& path) = 0;

  // --- open files ---
  virtual int Open(const Bytes& path, OpenMode mode, FileHandle* file) = 0;
  // Reads up to size bytes; *done is 0 at the end of the file.
  virtual int Read(FileHandle file, char* buffer, std::size_t size, std::size_t* done) = 0;
  // Writes size bytes; *done may fall short of size only when the platform
  // reports success for a partial write.
  virtual int Write(FileHandle file, const char* data, std::size_t size, std::size_t* done) = 0;
  virtual int Seek(FileHandle file, std::int64_t offset, SeekOrigin origin, std::int64_t* position) = 0;
  // The file's next range of data at or after from: [*start, *end), where
  // from <= *start <= *end. [from, *start) is a hole, a range the file system
  // keeps no data for, which reads as zeros. *start == *end when no data
  // follows: the file ends at *start, its size (or from, if that short). A
  // range may end before the data does, but holds a byte at least; it is
  // [from, size) where the file has no holes or the system cannot tell them.
  // The file position is left at *start on success, unknown on failure.
  virtual int DataRange(FileHandle file, std::int64_t from, std::int64_t* start, std::int64_t* end) = 0;
  // Cuts the file at the current position.
  virtual int Truncate(FileHandle file) = 0;
  virtual int Size(FileHandle file, std::int64_t* size) = 0;
  virtual int Kind(FileHandle file, HandleKind* kind) = 0;
  // The identity of an open file.
  virtual int Identify(FileHandle file, FileIdentity* identity) = 0;
  // Whether a file open for reading may have a writer the open could not see:
  // on POSIX, where the run took no read lease on it (neither root nor the
  // owner, or the file system grants none) and it changed within the last
  // kQuietSeconds. Windows' sharing modes show every writer.
  virtual bool MayBeWrittenUnseen(FileHandle) { return false; }
  // Puts the file's data on stable storage.
  virtual int Sync(FileHandle file) = 0;
  virtual int Close(FileHandle file) = 0;

  // --- replacing a file with a new one ---
  // Creates a new file at path (kErrorFileExists when a file or link is
  // there), open for reading and writing at its start; others may only read
  // it. From its first moment on it is never more open than the file open as
  // model: before the caller writes a byte it has model's owner, group,
  // extended attributes (an access list among them) and mode on POSIX,
  // model's access list on Windows. On failure no file is left at path.
  virtual int CreateLike(const Bytes& path, FileHandle model, FileHandle* file) = 0;
  // Copies length bytes of from at offset to the position of to (opened by
  // CreateLike) inside the system; *done is the count copied, short of length
  // only where from ends first. kErrorNotImplemented, nothing copied, where
  // the system cannot copy between the two: the caller then reads and writes.
  virtual int CopyRange(FileHandle from, std::int64_t offset, std::int64_t length, FileHandle to, std::int64_t* done) {
    (void)from, (void)offset, (void)length, (void)to;
    *done = 0;
    return kErrorNotImplemented;
  }
  // Puts the new file open as `replacement` (its data on stable storage) at
  // path, in place of the file open there as `file`, if path still names that
  // file, unchanged since `expected` was taken (on Windows, where closing
  // `file` may move its time, of the same size), it has no other name (a hard
  // link), and no other program has it open for writing, as such a writer
  // would write on into a file no name leads to: kErrorFileChanged when it
  // changed or is another file, kErrorAccessDenied when it has other names,
  // kErrorSharingViolation when a writer holds it or another run took its
  // lock. Where POSIX can take no lease (the run neither owns the file nor is
  // privileged; a file system without leases), writers cannot be seen and the
  // file stays. Both handles are closed, whatever the result; on failure the
  // file at path is as it was, and the new file still at replacement_path.
  virtual int ReplaceOpenFile(FileHandle file, const Bytes& path, const FileIdentity& expected, FileHandle replacement,
                              const Bytes& replacement_path) = 0;
  virtual FileHandle StandardOutput() = 0;
};

// The platform in use: the native one unless a test has set another.
Platform& Os();
// Makes platform the one in use (nullptr restores the native one) and returns
// the one that was in use before.
Platform* SetPlatform(Platform* platform);
// The implementation for the operating system the program was built for.
Platform& NativePlatform();

// The command line as main received it. The POSIX build takes its arguments
// and, where the system does not say, its own path from here; Windows reads
// its raw command line and ignores it.
void KeepCommandLine(int argc, char** argv);
