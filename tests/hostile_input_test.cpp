// Input that someone who can write to a harvested directory might lay there:
// special files as logs, odd and overlong names, huge lines and files.

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "e2e_support.h"

namespace {

const Bytes kErrorLine = "        error reading file";

struct LimitedRun {
  RunResult result;
  long peak_kilobytes = 0;  // the program's largest resident size
  // What the program's reads returned, in all (rchar of /proc/PID/io), or
  // -1 where the system does not tell.
  std::int64_t bytes_read = -1;
};

// rchar of /proc/PID/io: the bytes that the process's reads returned.
std::int64_t BytesReadBy(pid_t process) {
  std::ifstream io("/proc/" + std::to_string(process) + "/io");
  std::string key;
  std::int64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return -1;
}

// Runs the program; it is killed after max_seconds, so that a hang fails the
// test instead of stopping it.
LimitedRun RunWatched(const std::vector<Bytes>& arguments, unsigned max_seconds = 300) {
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    alarm(max_seconds);  // kept across exec
    const Bytes program = Program();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const Bytes& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  LimitedRun run;
  char buffer[4096];
  ssize_t got;
  while ((got = read(out[0], buffer, sizeof buffer)) > 0) run.result.out.append(buffer, static_cast<std::size_t>(got));
  close(out[0]);
  // The ended program is looked at before it is reaped: its counts go with it.
  siginfo_t ended{};
  waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT);
  run.bytes_read = BytesReadBy(child);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  run.result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peak_kilobytes = usage.ru_maxrss;
  return run;
}

// Makes a chain of directories below base whose path is exactly length
// bytes long, ending in "/". Paths over the system's limit cannot be made in
// one call, so the chain is made from directory to directory.
Bytes MakeDeepDirectory(const Bytes& base, std::size_t length) {
  Bytes path = base;
  int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY);
  while (path.size() < length) {
    // Each step adds a name and "/"; no step may leave less than 2 bytes.
    const std::size_t left = length - path.size();
    const std::size_t step = left <= 201 ? left - 1 : left - 201 < 2 ? 199 : 200;
    const Bytes name(step, 'd');
    if (mkdirat(fd, name.c_str(), 0755) != 0) throw std::runtime_error("mkdirat failed");
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
    path += name + "/";
  }
  close(fd);
  return path;
}

// Opens a directory too deep to name in one path, one name at a time.
int OpenDeep(const Bytes& directory) {
  int fd = open("/", O_RDONLY | O_DIRECTORY);
  std::size_t at = 1;
  for (std::size_t slash; (slash = directory.find('/', at)) != Bytes::npos; at = slash + 1) {
    const int next = openat(fd, directory.substr(at, slash - at).c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  return fd;
}

void WriteDeep(const Bytes& directory, const Bytes& name, const Bytes& bytes) {
  const int fd = OpenDeep(directory);
  const int file = openat(fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  close(fd);
  const bool written = file >= 0 && write(file, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(file);
  if (!written) throw std::runtime_error("cannot write " + name);
}

bool ExistsDeep(const Bytes& directory, const Bytes& name) {
  const int fd = OpenDeep(directory);
  struct stat info;
  const bool found = fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  close(fd);
  return found;
}

// Removes a tree that may be too deep to name in one path.
void RemoveDeep(int parent, const char* name) {
  const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) {
    unlinkat(parent, name, 0);
    return;
  }
  DIR* dir = fdopendir(fd);
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) RemoveDeep(fd, entry->d_name);
  }
  closedir(dir);
  unlinkat(parent, name, AT_REMOVEDIR);
}

TEST_F(EndToEnd, SocketAsLogIsNeitherReadNorDeleted) {
  WriteBytes(At("sock"), "s");
  const int server = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const Bytes path = At("sock.log");
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(server, 1), 0);
  AddLog(Root(), "plain", " ok");
  const LimitedRun run = RunWatched({Root()}, 60);
  close(server);
  EXPECT_QUIET_SUCCESS(run.result);
  const Bytes list = ReadBytes(At("descript.ion"));
  EXPECT_NE(list.find("sock " + kErrorLine + "\r\n"), Bytes::npos) << list;
  EXPECT_NE(list.find("plain  ok\r\n"), Bytes::npos) << list;
  EXPECT_TRUE(Exists(At("sock.log")));
}

TEST_F(EndToEnd, DeviceAsLogIsNeitherReadNorDeleted) {
  // A node standing for /dev/zero: read, it would never end.
  if (mknod(At("zero.log").c_str(), S_IFCHR | 0644, makedev(1, 5)) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  WriteBytes(At("zero"), "z");
  const LimitedRun run = RunWatched({Root()}, 60);
  EXPECT_QUIET_SUCCESS(run.result);
  EXPECT_EQ(ReadBytes(At("descript.ion")), "zero " + kErrorLine + "\r\n");
  EXPECT_TRUE(Exists(At("zero.log")));
}

TEST_F(EndToEnd, LongestNamesAndNamesThatAreNotUtf8AreHarvestedAsBytes) {
  const Bytes longest(255 - 4, 'n');  // its log's name is 255 bytes, the most a name may have
  AddLog(Root(), longest, " long");
  AddLog(Root(), "\xCF\xF0\xE8\xE2\xE5\xF2.txt", " cp1251 name");  // "Привет" in Windows-1251
  AddLog(Root(), "\xFF\xFE\x80.bin", " stray bytes");
  AddLog(Root(), "it's.zip", " apostrophe");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  const Bytes list = ReadBytes(At("descript.ion"));
  std::size_t total = 0;
  for (const Bytes& line : {longest + "  long\r\n", Bytes("\xCF\xF0\xE8\xE2\xE5\xF2.txt  cp1251 name\r\n"),
                            Bytes("\xFF\xFE\x80.bin  stray bytes\r\n"), Bytes("it's.zip  apostrophe\r\n")}) {
    EXPECT_NE(list.find(line), Bytes::npos) << line;
    total += line.size();
  }
  EXPECT_EQ(list.size(), total);
  EXPECT_FALSE(Exists(At(longest + ".log")));
}

TEST_F(EndToEnd, CommentLineOf100MegabytesGetsTheErrorLineAndItsLogStays) {
  // Written a MiB at a time: a child forked from a test that holds the
  // whole line would count it in its peak.
  WriteBytes(At("huge"), "data");
  WriteBytes(At("huge.log"), kPrefix + " ");
  {
    std::ofstream log(At("huge.log"), std::ios::binary | std::ios::app);
    const Bytes mib(1024 * 1024, '\xE0');  // Windows-1251 "а"
    for (int i = 0; i < 100; ++i) log << mib;
    log << "\r\n";
  }
  const LimitedRun run = RunWatched({Root()});
  EXPECT_QUIET_SUCCESS(run.result);
  EXPECT_EQ(ReadBytes(At("descript.ion")), "huge         error reading file\r\n");
  EXPECT_TRUE(Exists(At("huge.log")));
  // No more of the line is read than the cap of a MiB.
  EXPECT_LT(run.peak_kilobytes, 32 * 1024);
  // The error line is not written again.
  EXPECT_QUIET_SUCCESS(RunWatched({Root()}).result);
  EXPECT_EQ(ReadBytes(At("descript.ion")), "huge         error reading file\r\n");
}

// A log of a terabyte that is all a hole but its first bytes, the start of
// a comment line without a line end: truncate makes one at once, and it
// costs its uploader no disk. The logs beside it are harvested; it is a
// comment over the cap, gets the error line and stays. Its hole is never
// read: a run that read it would still be at work when it is stopped.
TEST_F(EndToEnd, SparseLogOfATerabyteCostsNoMoreThanItsData) {
  for (int i = 0; i < 8; ++i) AddLog(Root(), "f" + std::to_string(i) + ".zip", " comment " + std::to_string(i));
  const Bytes log = At("sparse.img.log");
  WriteBytes(At("sparse.img"), "i");
  WriteBytes(log, kPrefix);
  if (truncate(log.c_str(), off_t{1} << 40) != 0) GTEST_SKIP() << "no file of a terabyte here";
  struct stat info;
  ASSERT_EQ(stat(log.c_str(), &info), 0);
  if (static_cast<std::int64_t>(info.st_blocks) * 512 >= info.st_size) GTEST_SKIP() << "a file system without holes";
  const LimitedRun run = RunWatched({Root()}, 60);
  EXPECT_QUIET_SUCCESS(run.result);
  const Bytes list = ReadBytes(At("descript.ion"));
  EXPECT_NE(list.find("sparse.img " + kErrorLine + "\r\n"), Bytes::npos) << list;
  for (int i = 0; i < 8; ++i) {
    const Bytes name = "f" + std::to_string(i) + ".zip";
    EXPECT_NE(list.find(name + "  comment " + std::to_string(i) + "\r\n"), Bytes::npos) << list;
    EXPECT_FALSE(Exists(At(name + ".log")));
  }
  EXPECT_TRUE(Exists(log));
  if (run.bytes_read >= 0) {
    EXPECT_LT(run.bytes_read, 1 << 20);
  }
}

TEST_F(EndToEnd, SparseLogOfFiveGigabytesIsReadInBoundedMemory) {
  const Bytes log = At("sparse.img.log");
  WriteBytes(At("sparse.img"), "i");
  const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const Bytes tail = "\r\n" + kPrefix + " at the very end\r\n";
  const off_t hole = 5LL * 1024 * 1024 * 1024;
  const bool written = pwrite(fd, tail.data(), tail.size(), hole) == static_cast<ssize_t>(tail.size());
  close(fd);
  ASSERT_TRUE(written);
  const LimitedRun run = RunWatched({Root()});
  EXPECT_QUIET_SUCCESS(run.result);
  EXPECT_EQ(ReadBytes(At("descript.ion")), "sparse.img  at the very end\r\n");
  EXPECT_FALSE(Exists(log));
  EXPECT_LT(run.peak_kilobytes, 128 * 1024);
  // The hole before the comment line is passed over, not read.
  if (run.bytes_read >= 0) {
    EXPECT_LT(run.bytes_read, 1 << 20);
  }
}

TEST_F(EndToEnd, PathsLongerThanTheSystemAllows) {
  struct Cleanup {
    Bytes root;
    ~Cleanup() {
      for (const char* tree : {"near", "far", "over"}) {
        const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
        RemoveDeep(fd, tree);
        close(fd);
      }
    }
  } cleanup{Root()};
  // PATH_MAX counts the closing NUL, so a path may have PATH_MAX - 1 bytes.
  constexpr std::size_t kMax = PATH_MAX - 1;
  for (const char* tree : {"near", "far", "over"}) MakeDirectory(At(tree));

  // The list just fits; a log with a long name does not: its companion
  // cannot be looked up, so it is left alone.
  const Bytes near = MakeDeepDirectory(At("near/"), kMax - 12);
  const Bytes long_name(60, 'x');
  WriteDeep(near, "a", "a");
  WriteDeep(near, "a.log", LogWithComment(" fits"));
  WriteDeep(near, long_name, "l");
  WriteDeep(near, long_name + ".log", LogWithComment(" too long"));
  EXPECT_QUIET_SUCCESS(RunWatched({near}, 60).result);
  EXPECT_FALSE(ExistsDeep(near, "a.log"));
  EXPECT_TRUE(ExistsDeep(near, long_name + ".log"));
  EXPECT_TRUE(ExistsDeep(near, "descript.ion"));

  // The list does not fit: the run ends with the report for code 3 and
  // touches no log.
  const Bytes far = MakeDeepDirectory(At("far/"), kMax - 5);
  WriteDeep(far, "a", "a");
  WriteDeep(far, "a.log", LogWithComment(" kept"));
  const RunResult report = RunWatched({far}, 60).result;
  EXPECT_EQ(report.exit_code, 1);
  EXPECT_NE(report.out.find("\nInvalid filename.\r\n"), Bytes::npos) << report.out;
  EXPECT_TRUE(ExistsDeep(far, "a.log"));

  // The directory itself is too long a path: it cannot be found.
  const Bytes over = MakeDeepDirectory(At("over/"), kMax + 300);
  WriteDeep(over, "a", "a");
  WriteDeep(over, "a.log", LogWithComment(" unreachable"));
  const RunResult missing = RunWatched({over}, 60).result;
  EXPECT_EQ(missing.exit_code, 0);
  EXPECT_EQ(missing.out, "Error: Directory [" + over + "] not found!\r\n");
  EXPECT_TRUE(ExistsDeep(over, "a.log"));
}

}  // namespace
