// The POSIX implementation of the platform interface.
//
// Linux has no sharing modes, so the two that matter are emulated: the list
// is locked exclusively (a held lock reads as a sharing violation), and a log
// that a writer still holds open is recognised with a read lease. Opens never
// follow a final symbolic link, so whoever can write to a harvested directory
// cannot make a run append to, cut or read a file elsewhere.

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

#include "platform/platform.h"

namespace {

int MapErrno(int error) {
  switch (error) {
    case 0:
      return 0;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK:
      return kErrorSharingViolation;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case EROFS:
      return kErrorWriteProtect;
    case EEXIST:
      return kErrorFileExists;
    case EINVAL:
      return kErrorInvalidParameter;
    case EFBIG:
      return kErrorFileTooLarge;
    default:
      return kErrorNativeBase + error;
  }
}

int LastError() { return MapErrno(errno); }

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// "*" and "?" wildcards; letters match without regard to ASCII case, as names
// do on the system the logs come from.
bool Matches(ByteView name, ByteView pattern) {
  // The run's own patterns, "*" followed by a plain name ("*.log"), are
  // matched by the end of the name: a walk passes every entry of the
  // directory through here.
  if (!pattern.empty() && pattern[0] == '*' && pattern.find_first_of("*?", 1) == ByteView::npos) {
    const ByteView end = pattern.substr(1);
    if (name.size() < end.size()) return false;
    for (std::size_t i = 0; i < end.size(); ++i) {
      if (Upper(name[name.size() - end.size() + i]) != Upper(end[i])) return false;
    }
    return true;
  }
  std::size_t n = 0, p = 0, star = ByteView::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || Upper(pattern[p]) == Upper(name[n]))) {
      ++p;
      ++n;
    } else if (star != ByteView::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

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
    if (name == "." || name == ".." || (search.pattern != "*" && !Matches(name, search.pattern))) continue;
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

// The change time moves with every write, truncation, rename and change of
// links, so together with the size it tells a file that was touched.
FileIdentity IdentityOf(const struct stat& info) {
  FileIdentity identity;
  identity.device = static_cast<std::uint64_t>(info.st_dev);
  identity.index = static_cast<std::uint64_t>(info.st_ino);
  identity.size = static_cast<std::int64_t>(info.st_size);
  identity.time = static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
  // st_blocks counts units of 512 bytes, whatever the file system's block.
  identity.may_have_holes = static_cast<std::int64_t>(info.st_blocks) * 512 < identity.size;
  return identity;
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

int CloseKeepingError(int fd, int error) {
  close(fd);
  return error;
}

// The names of a file's extended attributes, each ended by a NUL; empty on
// a file system that keeps none.
int AttributeNames(int fd, std::vector<char>* names) {
  for (;;) {
    const ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP ? 0 : LastError();
    names->resize(static_cast<std::size_t>(size));
    if (size == 0) return 0;
    const ssize_t got = flistxattr(fd, names->data(), names->size());
    if (got >= 0) {
      names->resize(static_cast<std::size_t>(got));
      return 0;
    }
    if (errno != ERANGE) return LastError();  // the list grew meanwhile: asked again
  }
}

// The value of a file's extended attribute; *present is false when it has
// none of that name.
int AttributeValue(int fd, const char* name, std::vector<char>* value, bool* present) {
  for (;;) {
    const ssize_t size = fgetxattr(fd, name, nullptr, 0);
    *present = size >= 0;
    if (size < 0) return errno == ENODATA || errno == ENOTSUP ? 0 : LastError();
    value->resize(static_cast<std::size_t>(size));
    const ssize_t got = fgetxattr(fd, name, value->data(), value->size());
    if (got >= 0) {
      value->resize(static_cast<std::size_t>(got));
      return 0;
    }
    if (errno != ERANGE) return LastError();
  }
}

// Gives `to` the extended attributes of `from`, and none other. One the new
// file has already with the same value (a security label the directory
// gives every new file) is left as it is, as the run may not be allowed to
// set it.
int CopyExtendedAttributes(int from, int to) {
  std::vector<char> names;
  std::vector<char> present;
  int error = AttributeNames(from, &names);
  if (error == 0) error = AttributeNames(to, &present);
  std::vector<char> value;
  std::vector<char> existing;
  for (std::size_t at = 0; error == 0 && at < names.size(); at += std::strlen(names.data() + at) + 1) {
    const char* name = names.data() + at;
    bool has = false;
    bool had = false;
    error = AttributeValue(from, name, &value, &has);
    if (error == 0 && has) error = AttributeValue(to, name, &existing, &had);
    if (error == 0 && has && !(had && existing == value) && fsetxattr(to, name, value.data(), value.size(), 0) != 0) {
      error = LastError();
    }
  }
  for (std::size_t at = 0; error == 0 && at < present.size(); at += std::strlen(present.data() + at) + 1) {
    const char* name = present.data() + at;
    bool has = false;
    error = AttributeValue(from, name, &value, &has);
    if (error == 0 && !has && fremovexattr(to, name) != 0 && errno != ENODATA) error = LastError();
  }
  return error;
}

// A log is read only when it is a regular file that nobody holds open for
// writing. A read lease tells both at once: the kernel grants it only on a
// regular file without writers. It is kept until the log is closed, which
// costs no further call; SIGIO, the signal of a breaking lease, is ignored.
// Where the kernel will not tell (not the owner, a file system without
// leases), the type is checked and the log is read.
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
    // A breaking read lease signals SIGIO; a reader gone from standard
    // output must fail the write (and so be reported), not kill the process.
    signal(SIGIO, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    // A file-size limit must fail the write with EFBIG, which is reported,
    // rather than end the process unreported.
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

  // The lease taken when the log was opened tells of every writer. Without
  // one, a log changed within the quiet time (or, by a clock that differs,
  // after now) may be one whose writer is still at work.
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

  // A new file's name is an entry of its directory, which some file systems
  // write out apart from the file's data: fsync on the directory puts it on
  // disk.
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

  // SEEK_DATA finds the data at or after from, and SEEK_HOLE the hole that
  // ends it (the file's end counts as one). ENXIO tells that no data
  // follows: from lies in the hole that ends the file, or past the end. A
  // file system that keeps no holes answers with the rest of the file as
  // data, and one that knows neither call fails with EINVAL: the rest is
  // taken as data then too, and read.
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

  // Made with no access for anyone, whatever the umask or a default access
  // list of the directory: no other account can open it by its name. Then
  // its owner and group (a change of owner clears the set-user-ID bits that
  // the mode sets again), its extended attributes, the access list among
  // them, which leave it as open as the model, and last the mode, which with
  // an access list is the same. Only then does the caller write.
  int CreateLike(const Bytes& path, FileHandle model, FileHandle* file) override {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) return LastError();
    struct stat source;
    struct stat target;
    int error = flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : LastError();
    if (error == 0 && (fstat(static_cast<int>(model), &source) != 0 || fstat(fd, &target) != 0)) error = LastError();
    if (error == 0 && (source.st_uid != target.st_uid || source.st_gid != target.st_gid) &&
        fchown(fd, source.st_uid, source.st_gid) != 0) {
      error = LastError();
    }
    if (error == 0) error = CopyExtendedAttributes(static_cast<int>(model), fd);
    if (error == 0 && fchmod(fd, source.st_mode & 07777) != 0) error = LastError();
    if (error != 0) {
      unlink(path.c_str());
      return CloseKeepingError(fd, error);
    }
    *file = fd;
    return 0;
  }

  // In the kernel, from the page cache, without a pass through this
  // process: a list of a hundred MiB costs what a copy of it costs.
  int CopyRange(FileHandle from, std::int64_t offset, std::int64_t length, FileHandle to, std::int64_t* done) override {
    *done = 0;
    loff_t at = offset;
    while (*done < length) {
      const ssize_t copied = copy_file_range(static_cast<int>(from), &at, static_cast<int>(to), nullptr,
                                             static_cast<std::size_t>(length - *done), 0);
      if (copied < 0 && errno == EINTR) continue;
      if (copied < 0 && *done == 0 &&
          (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF)) {
        return kErrorNotImplemented;
      }
      if (copied < 0) return LastError();
      if (copied == 0) break;
      *done += copied;
    }
    return 0;
  }

  // The lock moves from the run's writing descriptor to one that only
  // reads: the system grants a read lease only while nobody, this run
  // included, has the file open for writing, so a program that keeps the
  // list open to append to it is seen, and the list stays for it. Between
  // the close and the lock a second run may take the lock: the list then
  // stays too. A writer that opens the list once the lease is held breaks
  // it, and waits until this run lets go; it would then write into the old
  // file, so a broken lease stops the rename. Between that last look and
  // the rename (two calls, right after one another) nothing can be seen.
  int ReplaceOpenFile(FileHandle file, const Bytes& path, const FileIdentity& expected, FileHandle replacement,
                      const Bytes& replacement_path) override {
    const int guard = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int error = guard < 0 ? LastError() : 0;
    struct stat written;
    struct stat held;
    if (error == 0 && (fstat(static_cast<int>(file), &written) != 0 || fstat(guard, &held) != 0)) error = LastError();
    if (error == 0 && (written.st_dev != held.st_dev || written.st_ino != held.st_ino)) error = kErrorFileChanged;
    close(static_cast<int>(file));
    if (error == 0 && flock(guard, LOCK_EX | LOCK_NB) != 0) error = LastError();
    if (error == 0 && fcntl(guard, F_SETLEASE, F_RDLCK) != 0) error = LastError();
    if (error == 0 && fstat(guard, &held) != 0) error = LastError();
    if (error == 0 && held.st_nlink > 1) error = kErrorAccessDenied;
    FileIdentity now;
    if (error == 0 && (error = IdentityAt(path, &now)) == 0 && (now != expected || IdentityOf(held) != expected)) {
      error = kErrorFileChanged;
    }
    if (error == 0 && fcntl(guard, F_GETLEASE) != F_RDLCK) error = kErrorSharingViolation;
    if (error == 0 && rename(replacement_path.c_str(), path.c_str()) != 0) error = LastError();
    if (guard >= 0) close(guard);
    close(static_cast<int>(replacement));
    return error;
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
  // Empty arguments are dropped, and later ones move down.
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    if (argv[i][0] != '\0') command_line.arguments.emplace_back(argv[i]);
  }
}
