// The floor of the many-small-logs workload: per log only what the job cannot
// do without. It looks up the companion, opens, reads and closes the log,
// deletes it, and appends one line to a buffered list. No lock, no lease, no
// sync, no checks beyond those the job needs to stay correct for the
// benchmark's logs: it is a yardstick, not a tool.
//
// The durable floor (--durable) is the least a harvest that loses nothing
// can do: it deletes the logs only after the whole list is written and
// synced once (fdatasync), and, for a list it created, the directory that
// holds the new name (fsync); it keeps every log's path until then.
//
// The replacement floor (--replace LIST) is the least any run that writes a
// list anew must do: it reads the list once from start to end into a block of
// its own (256 KiB, as logharvest reads it; nothing is parsed), copies it
// whole in the kernel (copy_file_range) to a new file beside it, syncs the
// copy (fdatasync), renames it over the list, closes the list (its last
// descriptor: the old file is freed there) and syncs the directory (fsync).
// With --steps it prints the seconds each of those steps took.
//
// Usage: floor [--durable] DIRECTORY   (appends to DIRECTORY/descript.ion,
// the name logharvest gives a new list on Linux)
//        floor --replace [--steps] LIST

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kPrefix[] = "\xCA\xEE\xEC\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9\x3A";
constexpr std::size_t kPrefixSize = sizeof kPrefix - 1;
constexpr std::size_t kBufferSize = 64 * 1024;

char list_buffer[kBufferSize];
std::size_t list_count = 0;
int list_fd = -1;

void WriteOut() {
  std::size_t done = 0;
  while (done < list_count) {
    const ssize_t put = write(list_fd, list_buffer + done, list_count - done);
    if (put <= 0) {
      std::perror("write");
      _exit(1);
    }
    done += static_cast<std::size_t>(put);
  }
  list_count = 0;
}

void Append(const char* data, std::size_t size) {
  while (size > 0) {
    if (list_count == kBufferSize) WriteOut();
    const std::size_t take = std::min(size, kBufferSize - list_count);
    std::memcpy(list_buffer + list_count, data, take);
    list_count += take;
    data += take;
    size -= take;
  }
}

bool EndsWithLog(const char* name, std::size_t length) {
  if (length < 4) return false;
  const char* s = name + length - 4;
  return s[0] == '.' && (s[1] | 0x20) == 'l' && (s[2] | 0x20) == 'o' && (s[3] | 0x20) == 'g';
}

// The comment of the last line that starts with the prefix, up to the line
// end, converted from Windows-1251 to code page 866.
std::string CommentOf(const std::string& text) {
  std::string comment;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end - start >= kPrefixSize && text.compare(start, kPrefixSize, kPrefix) == 0) {
      std::size_t stop = end;
      if (stop > start + kPrefixSize && text[stop - 1] == '\r') --stop;
      comment.assign(text, start + kPrefixSize, stop - start - kPrefixSize);
    }
    start = end + 1;
  }
  // Ё ё Ў ў Є є Ї ї № ° · ¤ and the no-break space have places in code page
  // 866 too.
  static const unsigned char kOthers[][2] = {{0xA8, 0xF0}, {0xB8, 0xF1}, {0xA1, 0xF6}, {0xA2, 0xF7}, {0xAA, 0xF2},
                                             {0xBA, 0xF3}, {0xAF, 0xF4}, {0xBF, 0xF5}, {0xB9, 0xFC}, {0xB0, 0xF8},
                                             {0xB7, 0xFA}, {0xA4, 0xFD}, {0xA0, 0xFF}};
  for (char& c : comment) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0xC0 && b <= 0xEF) {
      c = static_cast<char>(b - 0x40);
    } else if (b >= 0xF0) {
      c = static_cast<char>(b - 0x10);
    } else {
      for (const auto& other : kOthers) {
        if (b == other[0]) c = static_cast<char>(other[1]);
      }
    }
  }
  return comment;
}

int Fail(const char* what) {
  std::perror(what);
  return 1;
}

// Writes LIST anew beside it and puts the copy in its place (see above).
int Replace(const std::string& list, bool steps) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point mark = Clock::now();
  const auto step = [&](const char* name) {
    if (!steps) return;
    const Clock::time_point now = Clock::now();
    std::printf("%s %.6f\n", name, std::chrono::duration<double>(now - mark).count());
    mark = now;
  };
  const std::size_t slash = list.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : list.substr(0, slash + 1);
  const std::string copy = list + ".floor-new";
  const int fd = open(list.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) return Fail("open list");
  step("open");
  static char block[256 * 1024];
  off_t size = 0;
  ssize_t got;
  while ((got = read(fd, block, sizeof block)) > 0) size += got;
  if (got < 0) return Fail("read list");
  step("read");
  const int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 07777);
  if (out < 0) return Fail("create copy");
  step("create");
  loff_t from = 0;
  while (from < size) {
    const ssize_t copied = copy_file_range(fd, &from, out, nullptr, static_cast<std::size_t>(size - from), 0);
    if (copied <= 0) return Fail("copy_file_range");
  }
  step("copy_file_range");
  if (fdatasync(out) != 0) return Fail("fdatasync copy");
  step("fdatasync");
  if (rename(copy.c_str(), list.c_str()) != 0) return Fail("rename");
  step("rename");
  close(out);
  close(fd);
  step("close");
  const int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0 || fsync(dir_fd) != 0) return Fail("fsync directory");
  close(dir_fd);
  step("fsync directory");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--replace") == 0) {
    const bool steps = argc == 4 && std::strcmp(argv[2], "--steps") == 0;
    if (argc != 3 && !steps) {
      std::fprintf(stderr, "usage: floor --replace [--steps] LIST\n");
      return 2;
    }
    return Replace(argv[argc - 1], steps);
  }
  const bool durable = argc == 3 && std::strcmp(argv[1], "--durable") == 0;
  if (argc != 2 && !durable) {
    std::fprintf(stderr, "usage: floor [--durable] DIRECTORY\n       floor --replace [--steps] LIST\n");
    return 2;
  }
  std::string directory = argv[argc - 1];
  if (directory.back() != '/') directory += '/';
  struct stat list_info;
  const bool new_list = stat((directory + "descript.ion").c_str(), &list_info) != 0;
  std::vector<std::string> consumed;
  list_fd = open((directory + "descript.ion").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (list_fd < 0) {
    std::perror("open list");
    return 1;
  }
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) {
    std::perror("opendir");
    return 1;
  }
  static char buffer[kBufferSize];
  std::string path;
  std::string text;
  while (const dirent* entry = readdir(dir)) {
    const std::size_t length = std::strlen(entry->d_name);
    if (!EndsWithLog(entry->d_name, length)) continue;
    path.assign(directory).append(entry->d_name, length - 4);
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) continue;
    path.append(entry->d_name + length - 4, 4);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    text.clear();
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(got));
    close(fd);
    const std::string comment = CommentOf(text);
    if (durable) {
      consumed.push_back(path);
    } else {
      unlink(path.c_str());
    }
    if (comment.empty()) continue;
    Append(entry->d_name, length - 4);
    Append(" ", 1);
    Append(comment.data(), comment.size());
    Append("\r\n", 2);
  }
  closedir(dir);
  WriteOut();
  if (durable) {
    if (fdatasync(list_fd) != 0) {
      std::perror("fdatasync");
      return 1;
    }
    if (new_list) {
      const int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir_fd < 0 || fsync(dir_fd) != 0) {
        std::perror("fsync directory");
        return 1;
      }
      close(dir_fd);
    }
    for (const std::string& log : consumed) unlink(log.c_str());
  }
  close(list_fd);
  return 0;
}
