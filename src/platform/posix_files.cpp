// The POSIX platform's helpers (errors, identities, names matched against a
// pattern) and the calls that make a file like another and put it in the
// other's place: the list's replacement.

#include "platform/posix_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

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

int CloseKeepingError(int fd, int error) {
  close(fd);
  return error;
}

namespace {

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

// A file's extended attribute value; *present is false when there is none.
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

// Gives `to` the extended attributes of `from`, and none other. One `to` has
// already with the same value (a security label the directory gives every new
// file) is left as it is: the run may not be allowed to set it.
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

}  // namespace

// Made with no access for anyone, whatever the umask or the directory's
// default access list, so no other account can open it by its name; then its
// owner and group (a change of owner clears the set-user-ID bits, which the
// mode sets again), its extended attributes, which leave it as open as the
// model, and last the mode, which with an access list is the same.
int PosixCreateLike(const Bytes& path, int model, FileHandle* file) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0) return LastError();
  struct stat source;
  struct stat target;
  int error = flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : LastError();
  if (error == 0 && (fstat(model, &source) != 0 || fstat(fd, &target) != 0)) error = LastError();
  if (error == 0 && (source.st_uid != target.st_uid || source.st_gid != target.st_gid) &&
      fchown(fd, source.st_uid, source.st_gid) != 0) {
    error = LastError();
  }
  if (error == 0) error = CopyExtendedAttributes(model, fd);
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
int PosixCopyRange(int from, std::int64_t offset, std::int64_t length, int to, std::int64_t* done) {
  *done = 0;
  loff_t at = offset;
  while (*done < length) {
    const ssize_t copied = copy_file_range(from, &at, to, nullptr, static_cast<std::size_t>(length - *done), 0);
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
int PosixReplaceOpenFile(int file, const Bytes& path, const FileIdentity& expected, int replacement,
                         const Bytes& replacement_path) {
  const int guard = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  int error = guard < 0 ? LastError() : 0;
  struct stat written;
  struct stat held;
  if (error == 0 && (fstat(file, &written) != 0 || fstat(guard, &held) != 0)) error = LastError();
  if (error == 0 && (written.st_dev != held.st_dev || written.st_ino != held.st_ino)) error = kErrorFileChanged;
  close(file);
  if (error == 0 && flock(guard, LOCK_EX | LOCK_NB) != 0) error = LastError();
  if (error == 0 && fcntl(guard, F_SETLEASE, F_RDLCK) != 0) error = LastError();
  if (error == 0 && fstat(guard, &held) != 0) error = LastError();
  if (error == 0 && held.st_nlink > 1) error = kErrorAccessDenied;
  FileIdentity now;
  struct stat named;
  if (error == 0 && lstat(path.c_str(), &named) != 0) error = LastError();
  now = IdentityOf(named);
  if (error == 0 && (now != expected || IdentityOf(held) != expected)) {
    error = kErrorFileChanged;
  }
  if (error == 0 && fcntl(guard, F_GETLEASE) != F_RDLCK) error = kErrorSharingViolation;
  if (error == 0 && rename(replacement_path.c_str(), path.c_str()) != 0) error = LastError();
  if (guard >= 0) close(guard);
  close(replacement);
  return error;
}
