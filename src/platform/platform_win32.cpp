// The Win32 implementation of the platform interface: the ANSI ("...A") call
// wherever one exists, and GetLastError()'s codes unchanged (see platform.h).

#include <windows.h>
#include <winioctl.h>

// After windows.h, which it needs.
#include <aclapi.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/command_line.h"
#include "platform/platform.h"

namespace {

// The largest transfer one ReadFile or WriteFile call is asked for.
constexpr std::size_t kMaxTransfer = 0x7FFFFFFF;

HANDLE ToHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

int LastError() { return static_cast<int>(GetLastError()); }

// The split is done on the line itself, which GetCommandLineA ends with a
// NUL, so CharNextA can look past the view's end only onto that NUL.
std::size_t NextCharacter(ByteView line, std::size_t position) {
  const char* here = line.data() + position;
  return position + static_cast<std::size_t>(CharNextA(here) - here);
}

int IdentityOf(HANDLE handle, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return LastError();
  identity->device = info.dwVolumeSerialNumber;
  identity->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity->size =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  identity->time = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                             info.ftLastWriteTime.dwLowDateTime);
  identity->may_have_holes = (info.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0;
  return 0;
}

// The full path of path, or empty (GetLastError() says why).
Bytes FullPath(const Bytes& path) {
  const DWORD size = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return Bytes();
  Bytes full(size, '\0');
  const DWORD length = GetFullPathNameA(path.c_str(), size, &full[0], nullptr);
  if (length == 0 || length >= size) return Bytes();
  full.resize(length);
  return full;
}

void FillEntry(const WIN32_FIND_DATAA& data, FoundEntry* entry) {
  entry->name.assign(data.cFileName);
  entry->attributes = data.dwFileAttributes;
}

class Win32Platform : public Platform {
 public:
  Bytes ProgramPath() override {
    char buffer[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return Bytes(buffer, std::min<DWORD>(length, MAX_PATH));
  }

  std::vector<Bytes> Arguments() override {
    const char* line = GetCommandLineA();
    std::vector<Bytes> arguments = SplitCommandLine(line != nullptr ? ByteView(line) : ByteView(), &NextCharacter);
    if (!arguments.empty()) arguments.erase(arguments.begin());  // the program as typed
    return arguments;
  }

  PathStyle Style() override { return PathStyle::kWindows; }
  bool NamesAreCaseSensitive() override { return false; }
  bool NamesAreUtf8() override { return false; }

  // Through UTF-16; a name that cannot be converted is kept as it is.
  Bytes NameToUtf8(ByteView name) override {
    if (name.empty()) return Bytes();
    const int size = static_cast<int>(name.size());
    const int wide_size = MultiByteToWideChar(CP_ACP, 0, name.data(), size, nullptr, 0);
    if (wide_size <= 0) return Bytes(name);
    std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, name.data(), size, wide.data(), wide_size);
    const int utf8_size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, nullptr, 0, nullptr, nullptr);
    if (utf8_size <= 0) return Bytes(name);
    Bytes utf8(static_cast<std::size_t>(utf8_size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, utf8.data(), utf8_size, nullptr, nullptr);
    return utf8;
  }

  ByteView TextLineEnd() override { return "\r\n"; }

  Bytes UpperCase(ByteView text) override {
    Bytes result(text);
    if (!result.empty()) CharUpperBuffA(result.data(), static_cast<DWORD>(result.size()));
    return result;
  }

  const void* ImageBase(const void* address) override {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(address, &info, sizeof info) == 0) return nullptr;
    return info.AllocationBase;
  }

  [[noreturn]] void Exit(int code) override {
    ExitProcess(static_cast<UINT>(code));
    std::abort();  // not reached
  }

  // A find operation, not an attribute query: a path with wildcards names an
  // existing file when its first match is one.
  bool IsExistingFile(const Bytes& path) override {
    WIN32_FIND_DATAA data;
    const HANDLE find = FindFirstFileA(path.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    FindClose(find);
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  bool IsExistingDirectory(const Bytes& path) override {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  int FindFirst(const Bytes& pattern, FindHandle* find, FoundEntry* entry) override {
    WIN32_FIND_DATAA data;
    const HANDLE found = FindFirstFileA(pattern.c_str(), &data);
    if (found == INVALID_HANDLE_VALUE) return LastError();
    FillEntry(data, entry);
    *find = found;
    return 0;
  }

  int FindNext(FindHandle find, FoundEntry* entry) override {
    WIN32_FIND_DATAA data;
    if (!FindNextFileA(find, &data)) return LastError();
    FillEntry(data, entry);
    return 0;
  }

  void FindEnd(FindHandle find) override { FindClose(find); }

  int Remove(const Bytes& path) override { return DeleteFileA(path.c_str()) ? 0 : LastError(); }

  // A log open for writing elsewhere cannot be opened to delete it: it stays.
  int RemoveIfUnchanged(const Bytes& path, const FileIdentity& identity) override {
    const HANDLE handle = CreateFileA(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    FileIdentity now;
    int error = IdentityOf(handle, &now);
    if (error == 0 && now != identity) error = kErrorFileChanged;
    FILE_DISPOSITION_INFO deletion = {TRUE};
    if (error == 0 && !SetFileInformationByHandle(handle, FileDispositionInfo, &deletion, sizeof deletion)) {
      error = LastError();
    }
    CloseHandle(handle);
    return error;
  }

  // Opened for its attributes only, which no sharing mode forbids, and never
  // through a reparse point.
  int IdentityAt(const Bytes& path, FileIdentity* identity) override {
    const HANDLE handle =
        CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    const int error = IdentityOf(handle, identity);
    CloseHandle(handle);
    return error;
  }

  // Nothing to do: NTFS records a new name in its metadata journal, and
  // FlushFileBuffers on the list, which the sync before any deletion makes,
  // writes out the file's metadata with its data. Flushing a directory needs
  // a handle with write access and backup semantics, which an ordinary user
  // is refused; FAT has no journal that could order the name anyway.
  int SyncDirectory(const Bytes&) override { return 0; }

  // Others may read an open list or log but never write it: a writer that
  // still holds a log makes its open fail with a sharing violation, and so
  // does a second run on the same list.
  int Open(const Bytes& path, OpenMode mode, FileHandle* file) override {
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
      case OpenMode::kAppend:
        access = GENERIC_READ | GENERIC_WRITE;
        break;
      case OpenMode::kCreate:
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = CREATE_NEW;
        break;
      case OpenMode::kRead:
        break;
    }
    const HANDLE handle =
        CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    *file = reinterpret_cast<FileHandle>(handle);
    return 0;
  }

  int Read(FileHandle file, char* buffer, std::size_t size, std::size_t* done) override {
    DWORD got = 0;
    const BOOL ok = ReadFile(ToHandle(file), buffer, static_cast<DWORD>(std::min(size, kMaxTransfer)), &got, nullptr);
    *done = ok ? got : 0;
    return ok ? 0 : LastError();
  }

  // One call; a success that wrote fewer bytes is passed on as it is.
  int Write(FileHandle file, const char* data, std::size_t size, std::size_t* done) override {
    DWORD put = 0;
    const BOOL ok = WriteFile(ToHandle(file), data, static_cast<DWORD>(std::min(size, kMaxTransfer)), &put, nullptr);
    *done = put;
    return ok ? 0 : LastError();
  }

  int Seek(FileHandle file, std::int64_t offset, SeekOrigin origin, std::int64_t* position) override {
    const DWORD method = origin == SeekOrigin::kBegin     ? FILE_BEGIN
                         : origin == SeekOrigin::kCurrent ? FILE_CURRENT
                                                          : FILE_END;
    LONG high = static_cast<LONG>(offset >> 32);
    // All bits set in the low part is also a valid position: only the error
    // code tells a failure.
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(ToHandle(file), static_cast<LONG>(offset & 0xFFFFFFFF), &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return LastError();
    if (position != nullptr) *position = (static_cast<std::int64_t>(high) << 32) | low;
    return 0;
  }

  // The allocated ranges of a sparse file (NTFS, ReFS): the first one from
  // `from` on is the data range, and none means that only a hole follows. A
  // file system that keeps none (FAT; Wine answers 50, not supported) fails
  // the query: the rest of the file is taken as data then, and read.
  int DataRange(FileHandle file, std::int64_t from, std::int64_t* start, std::int64_t* end) override {
    std::int64_t size = 0;
    int error = Size(file, &size);
    if (error != 0) return error;
    *start = from;
    *end = std::max(from, size);
    if (from < size) {
      FILE_ALLOCATED_RANGE_BUFFER query;
      query.FileOffset.QuadPart = from;
      query.Length.QuadPart = size - from;
      FILE_ALLOCATED_RANGE_BUFFER range;
      DWORD returned = 0;
      // Room for one range: ERROR_MORE_DATA only tells that more follow.
      if (DeviceIoControl(ToHandle(file), FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, &range, sizeof range,
                          &returned, nullptr) ||
          GetLastError() == ERROR_MORE_DATA) {
        const std::int64_t range_end = range.FileOffset.QuadPart + range.Length.QuadPart;
        if (returned < sizeof range || range.FileOffset.QuadPart >= size) {
          *start = size;
        } else if (range_end > from) {
          *start = std::max(from, static_cast<std::int64_t>(range.FileOffset.QuadPart));
          *end = std::min(size, range_end);
        }
      } else if (GetLastError() != ERROR_NOT_SUPPORTED && GetLastError() != ERROR_INVALID_FUNCTION) {
        return LastError();
      }
    }
    return Seek(file, *start, SeekOrigin::kBegin, nullptr);
  }

  int Truncate(FileHandle file) override { return SetEndOfFile(ToHandle(file)) ? 0 : LastError(); }

  int Size(FileHandle file, std::int64_t* size) override {
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = GetFileSize(ToHandle(file), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return LastError();
    *size = (static_cast<std::int64_t>(high) << 32) | low;
    return 0;
  }

  // Whatever GetFileType cannot name, an invalid handle included, is of
  // unknown type: the line file then fails with its own code 105.
  int Kind(FileHandle file, HandleKind* kind) override {
    switch (GetFileType(ToHandle(file))) {
      case FILE_TYPE_DISK:
        *kind = HandleKind::kDisk;
        return 0;
      case FILE_TYPE_CHAR:
        *kind = HandleKind::kCharacter;
        return 0;
      case FILE_TYPE_PIPE:
        *kind = HandleKind::kPipe;
        return 0;
      default:
        *kind = HandleKind::kUnknown;
        return 0;
    }
  }

  int Identify(FileHandle file, FileIdentity* identity) override { return IdentityOf(ToHandle(file), identity); }

  int Sync(FileHandle file) override { return FlushFileBuffers(ToHandle(file)) ? 0 : LastError(); }

  int Close(FileHandle file) override { return CloseHandle(ToHandle(file)) ? 0 : LastError(); }

  // The model's access list as it stands, protected from what the directory
  // would add: no account the model keeps out can open it. ReplaceFileA then
  // gives it the old file's whole security and attributes.
  int CreateLike(const Bytes& path, FileHandle model, FileHandle* file) override {
    PACL access = nullptr;
    PSECURITY_DESCRIPTOR security = nullptr;
    const DWORD got = GetSecurityInfo(ToHandle(model), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      &access, nullptr, &security);
    if (got != ERROR_SUCCESS) return static_cast<int>(got);
    int error = SetSecurityDescriptorControl(security, SE_DACL_PROTECTED, SE_DACL_PROTECTED) ? 0 : LastError();
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, security, FALSE};
    const HANDLE handle = error != 0
                              ? INVALID_HANDLE_VALUE
                              : CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &attributes,
                                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (error == 0 && handle == INVALID_HANDLE_VALUE) error = LastError();
    LocalFree(security);
    if (error != 0) return error;
    *file = reinterpret_cast<FileHandle>(handle);
    return 0;
  }

  // The run lets go of its handle, as ReplaceFileA cannot open a file that
  // is held so, and holds the name at once with a handle that lets others
  // read and the replacement delete, but no one write: a second run's open
  // fails with the sharing violation it meets while the run holds the list.
  // Where the second run came in between, this open fails instead; where it
  // came and went, the check finds the file changed. ReplaceFileA wants
  // full paths. Some implementations of it drop the attributes (a hidden
  // list shows up): they are set again.
  int ReplaceOpenFile(FileHandle file, const Bytes& path, const FileIdentity& expected, FileHandle replacement,
                      const Bytes& replacement_path) override {
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(ToHandle(file), &info) != 0;
    int error = known ? 0 : LastError();
    CloseHandle(ToHandle(replacement));
    CloseHandle(ToHandle(file));
    if (error != 0) return error;
    if (info.nNumberOfLinks > 1) return kErrorAccessDenied;
    const HANDLE guard = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (guard == INVALID_HANDLE_VALUE) return LastError();
    // The same file and size: the last write time may move when the run's
    // own handle is closed, and from here on no one writes.
    FileIdentity now;
    error = IdentityOf(guard, &now);
    if (error == 0 && (!SameFile(now, expected) || now.size != expected.size)) error = kErrorFileChanged;
    const Bytes full = FullPath(path);
    const Bytes full_replacement = FullPath(replacement_path);
    if (error == 0 && (full.empty() || full_replacement.empty())) error = LastError();
    if (error == 0 && !::ReplaceFileA(full.c_str(), full_replacement.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                      nullptr, nullptr)) {
      error = LastError();
      // The old file is gone, the new one kept its name: it takes the list's.
      if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
          MoveFileExA(full_replacement.c_str(), full.c_str(), MOVEFILE_WRITE_THROUGH)) {
        error = 0;
      }
    }
    constexpr DWORD kKept =
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD wanted = info.dwFileAttributes & kKept;
    if (error == 0 && (GetFileAttributesA(full.c_str()) & kKept) != wanted) {
      SetFileAttributesA(full.c_str(), wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL);
    }
    CloseHandle(guard);
    return error;
  }

  FileHandle StandardOutput() override { return reinterpret_cast<FileHandle>(GetStdHandle(STD_OUTPUT_HANDLE)); }
};

}  // namespace

Platform& NativePlatform() {
  static Win32Platform platform;
  return platform;
}

void KeepCommandLine(int, char**) {}
