// The POSIX platform. Linux has no sharing modes, so the two that matter are
// emulated: the list is locked exclusively (a held lock reads as a sharing
// violation), and a log a writer still holds open is told by a read lease.
// Opens never follow a final symbolic link: whoever can write to a harvested
// directory cannot make a run append to, cut or read a file elsewhere.

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/posix_files.h"

namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

struct Search {
  DIR* dir = nullptr;
  Bytes directory;
  Bytes pattern;
};

int NextMatch(Search& search, FoundEntry* entry) {
  for (;;) {
    errno = 0;
    const dirent* found = readdir(search.dir);
    if (found == nullptr) return errno != 0 ? LastError() : kErrorNoMoreFiles;
    const ByteView name = found->d_name;
    if (name == "." || name == ".." || (search.pattern != "*" && !NameMatches(name, search.pattern))) continue;
    bool is_directory = found->d_type == DT_DIR;
    if (found->d_type == DT_UNKNOWN) {
      struct stat info;
      is_directory =
          fstatat(dirfd(search.dir), found->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
    }
    entry->name.assign(name);
    entry->attributes = is_directory ? kAttributeDirectory : kAttributeArchive;
    return 0;
  }
}

// The command line as main received it.
struct CommandLine {
  Bytes program;
  std::vector<Bytes> arguments;  // 1, 2, ..., none of them empty
};
CommandLine command_line;

// The first executable regular file of that name in the directories of
// PATH, as a shell finds it; empty when there is none.
Bytes FoundInSearchPath(const Bytes& name) {
  const char* search_path = std::getenv("PATH");
  if (search_path == nullptr) return Bytes();
  const Bytes directories(search_path);
  std::size_t start = 0;
  while (start <= directories.size()) {
    std::size_t end = directories.find(':', start);
    if (end == Bytes::npos) end = directories.size();
    Bytes directory = directories.substr(start, end - start);
    if (directory.empty()) directory = ".";  // an empty entry is the current directory
    const Bytes candidate = directory + "/" + name;
    struct stat info;
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return Bytes();
}

// A log is read only when it is a regular file that nobody holds open for
// writing. A read lease tells both at once (the kernel grants it only on a
// regular file without writers), and is kept until the log is closed, at no
// further call. Where the kernel will not tell (not the owner, a file system
// without leases), the type is checked and the log is read.
int CheckLogReadable(int fd) {
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) return 0;
  if (errno == EAGAIN) return kErrorHeldByWriter;
  struct stat info;
  if (fstat(fd, &info) != 0) return LastError();
  return S_ISREG(info.st_mode) ? 0 : kErrorAccessDenied;
}

class PosixPlatform : public Platform {
 public:
  PosixPlatform() {
    // A breaking read lease signals SIGIO. A reader gone from standard output
    // (SIGPIPE) and a file-size limit (SIGXFSZ) must fail the write (EFBIG
    // for the limit), which is reported, not end the process unreported.
    signal(SIGIO, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    // A standard descriptor that was closed at start is taken by /dev/null
    // opened for reading only: writes to it still fail, and no file the run
    // opens can take its number and receive a report meant for the output.
    for (int fd = 0; fd <= 2; ++fd) {
      if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
        const int reserved = open("/dev/null", O_RDONLY);
        if (reserved >= 0 && reserved != fd) close(reserved);
      }
    }
  }

  // The kernel's own link when /proc is there; otherwise the word the
  // program was started by: a path when it holds a slash, else a name that
  // the shell found through PATH. Empty when none of them tells.
  Bytes ProgramPath() override {
    char buffer[4096];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length > 0 && static_cast<std::size_t>(length) < sizeof buffer) {
      return Bytes(buffer, static_cast<std::size_t>(length));
    }
    const Bytes& word = command_line.program;
    if (word.empty() || word.find('/') != Bytes::npos) return word;
    return FoundInSearchPath(word);
  }

  std::vector<Bytes> Arguments() override { return command_line.arguments; }

  PathStyle Style() override { return PathStyle::kPosix; }

  // Without the lease taken at the open, a log changed within the quiet time
  // (or, by a clock that differs, after now) may have a writer still at work.
  bool MayBeWrittenUnseen(FileHandle file) override {
    const int fd = static_cast<int>(file);
    if (fcntl(fd, F_GETLEASE) == F_RDLCK) return false;
    struct stat info;
    timespec now;
    if (fstat(fd, &info) != 0 || clock_gettime(CLOCK_REALTIME, &now) != 0) return true;
    const std::int64_t changed = static_cast<std::int64_t>(info.st_ctim.tv_sec);
    return static_cast<std::int64_t>(now.tv_sec) - changed < kQuietSeconds;
  }

  bool NamesAreCaseSensitive() override { return true; }

  bool NamesAreUtf8() override { return true; }

  Bytes NameToUtf8(ByteView name) override { return Bytes(name); }

  ByteView TextLineEnd() override { return "\n"; }

  Bytes UpperCase(ByteView text) override {
    Bytes result(text);
    for (char& c : result) c = Upper(c);
    return result;
  }

  const void* ImageBase(const void* address) override {
    Dl_info info;
    if (dladdr(address, &info) == 0) return nullptr;
    return info.dli_fbase;
  }

  [[noreturn]] void Exit(int code) override { std::exit(code); }

  bool IsExistingFile(const Bytes& path) override {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
  }

  bool IsExistingDirectory(const Bytes& path) override {
    struct stat info;
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }

  int FindFirst(const Bytes& pattern, FindHandle* find, FoundEntry* entry) override {
    auto search = std::make_unique<Search>();
    const std::size_t slash = pattern.rfind('/');
    search->directory = slash == Bytes::npos ? Bytes(".") : pattern.substr(0, slash + 1);
    search->pattern = slash == Bytes::npos ? pattern : pattern.substr(slash + 1);
    search->dir = opendir(search->directory.c_str());
    if (search->dir == nullptr) return LastError();
    const int error = NextMatch(*search, entry);
    if (error != 0) {
      closedir(search->dir);
      return error;
    }
    *find = search.release();
    return 0;
  }

  int FindNext(FindHandle find, FoundEntry* entry) override { return NextMatch(*static_cast<Search*>(find), entry); }

  void FindEnd(FindHandle find) override {
    auto* search = static_cast<Search*>(find);
    closedir(search->dir);
    delete search;
  }

  int Remove(const Bytes& path) override { return unlink(path.c_str()) == 0 ? 0 : LastError(); }

  int IdentityAt(const Bytes& path, FileIdentity* identity) override {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return LastError();
    *identity = IdentityOf(info);
    return 0;
  }

  // Some file systems write a new file's name, an entry of its directory,
  // apart from the file's data: fsync on the directory puts it on disk.
  int SyncDirectory(const Bytes& path) override {
    const int fd = open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return LastError();
    if (fsync(fd) != 0) return CloseKeepingError(fd, LastError());
    return close(fd) == 0 ? 0 : LastError();
  }

  int Open(const Bytes& path, OpenMode mode, FileHandle* file) override {
    int flags = O_CLOEXEC | O_NOFOLLOW;
    switch (mode) {
      case OpenMode::kAppend:
        flags |= O_RDWR | O_APPEND;
        break;
      case OpenMode::kCreate:
        flags |= O_RDWR | O_APPEND | O_CREAT | O_EXCL;
        break;
      case OpenMode::kRead:
        flags |= O_RDONLY | O_NONBLOCK;
        break;
    }
    const int fd = open(path.c_str(), flags, 0666);
    if (fd < 0) return LastError();
    if (mode == OpenMode::kRead) {
      const int error = CheckLogReadable(fd);
      if (error != 0) return CloseKeepingError(fd, error);
    } else {
      // The list is held exclusively for the whole run; a second run fails
      // here with a sharing violation before it touches any log.
      if (flock(fd, LOCK_EX | LOCK_NB) != 0) return CloseKeepingError(fd, LastError());
    }
    *file = fd;
    return 0;
  }

  int Read(FileHandle file, char* buffer, std::size_t size, std::size_t* done) override {
    ssize_t got;
    do {
      got = read(static_cast<int>(file), buffer, size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      *done = 0;
      return LastError();
    }
    *done = static_cast<std::size_t>(got);
    return 0;
  }

  int Write(FileHandle file, const char* data, std::size_t size, std::size_t* done) override {
    std::size_t written = 0;
    while (written < size) {
      const ssize_t put = write(static_cast<int>(file), data + written, size - written);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        *done = written;
        return put < 0 ? LastError() : kErrorDiskFull;
      }
      written += static_cast<std::size_t>(put);
    }
    *done = written;
    return 0;
  }

  int Seek(FileHandle file, std::int64_t offset, SeekOrigin origin, std::int64_t* position) override {
    const int whence = origin == SeekOrigin::kBegin ? SEEK_SET : origin == SeekOrigin::kCurrent ? SEEK_CUR : SEEK_END;
    const off_t result = lseek(static_cast<int>(file), static_cast<off_t>(offset), whence);
    if (result < 0) return LastError();
    if (position != nullptr) *position = result;
    return 0;
  }

  // SEEK_DATA finds the data at or after from, SEEK_HOLE the hole that ends
  // it (the file's end counts as one); ENXIO: no data follows, from lies in
  // the final hole or past the end. A file system that keeps no holes answers
  // with the rest of the file as data; one that knows neither call fails with
  // EINVAL, and the rest is read as data then too.
  int DataRange(FileHandle file, std::int64_t from, std::int64_t* start, std::int64_t* end) override {
    const int fd = static_cast<int>(file);
    const off_t data = lseek(fd, static_cast<off_t>(from), SEEK_DATA);
    if (data >= 0) {
      const off_t hole = lseek(fd, data, SEEK_HOLE);
      if (hole < 0) return LastError();
      *start = data;
      *end = hole;
    } else if (errno == ENXIO || errno == EINVAL) {
      const bool no_data = errno == ENXIO;
      struct stat info;
      if (fstat(fd, &info) != 0) return LastError();
      const std::int64_t size = std::max<std::int64_t>(from, info.st_size);
      *start = no_data ? size : from;
      *end = size;
    } else {
      return LastError();
    }
    return lseek(fd, static_cast<off_t>(*start), SEEK_SET) < 0 ? LastError() : 0;
  }

  int Truncate(FileHandle file) override {
    const off_t here = lseek(static_cast<int>(file), 0, SEEK_CUR);
    if (here < 0 || ftruncate(static_cast<int>(file), here) != 0) return LastError();
    return 0;
  }

  int Size(FileHandle file, std::int64_t* size) override {
    struct stat info;
    if (fstat(static_cast<int>(file), &info) != 0) return LastError();
    *size = info.st_size;
    return 0;
  }

  int Kind(FileHandle file, HandleKind* kind) override {
    struct stat info;
    if (fstat(static_cast<int>(file), &info) != 0) return LastError();
    if (S_ISREG(info.st_mode)) {
      *kind = HandleKind::kDisk;
    } else if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
      *kind = HandleKind::kPipe;
    } else if (S_ISCHR(info.st_mode)) {
      *kind = HandleKind::kCharacter;
    } else {
      *kind = HandleKind::kUnknown;
    }
    return 0;
  }

  int Identify(FileHandle file, FileIdentity* identity) override {
    struct stat info;
    if (fstat(static_cast<int>(file), &info) != 0) return LastError();
    *identity = IdentityOf(info);
    return 0;
  }

  int Sync(FileHandle file) override { return fdatasync(static_cast<int>(file)) == 0 ? 0 : LastError(); }

  int Close(FileHandle file) override { return close(static_cast<int>(file)) == 0 ? 0 : LastError(); }

  int CreateLike(const Bytes& path, FileHandle model, FileHandle* file) override {
    return PosixCreateLike(path, static_cast<int>(model), file);
  }
  int CopyRange(FileHandle from, std::int64_t offset, std::int64_t length, FileHandle to, std::int64_t* done) override {
    return PosixCopyRange(static_cast<int>(from), offset, length, static_cast<int>(to), done);
  }
  int ReplaceOpenFile(FileHandle file, const Bytes& path, const FileIdentity& expected, FileHandle replacement,
                      const Bytes& replacement_path) override {
    return PosixReplaceOpenFile(static_cast<int>(file), path, expected, static_cast<int>(replacement),
                                replacement_path);
  }

  FileHandle StandardOutput() override { return STDOUT_FILENO; }
};

}  // namespace

Platform& NativePlatform() {
  static PosixPlatform platform;
  return platform;
}

void KeepCommandLine(int argc, char** argv) {
  command_line = CommandLine();
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) return;
  command_line.program = argv[0];
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    if (argv[i][0] != '\0') command_line.arguments.emplace_back(argv[i]);
  }
}
