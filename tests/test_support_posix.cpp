// The parts of the test support that differ by platform: POSIX.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "test_support.h"

const Bytes kNullDevice = "/dev/null";
const Bytes kNewListName = "descript.ion";

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  Bytes pattern = Bytes(base != nullptr && *base != '\0' ? base : "/tmp") + "/logharvest-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern + "/";
}

TempDir::~TempDir() { RemoveTree(path_.substr(0, path_.size() - 1)); }

Bytes FileNameFromUtf8(ByteView utf8) { return Bytes(utf8); }

bool Exists(const Bytes& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

void MakeDirectory(const Bytes& path) {
  if (mkdir(path.c_str(), 0777) != 0) throw std::runtime_error("mkdir failed: " + path);
}

void RenameOver(const Bytes& from, const Bytes& to) {
  if (rename(from.c_str(), to.c_str()) != 0) throw std::runtime_error("rename failed: " + from);
}

void PauseMilliseconds(int milliseconds) { usleep(static_cast<useconds_t>(milliseconds) * 1000); }

void RemoveTree(const Bytes& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR* dir = opendir(path.c_str())) {
      while (const dirent* entry = readdir(dir)) {
        const Bytes name = entry->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

namespace {

Bytes Drain(int fd) {
  Bytes all;
  char buffer[65536];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<std::size_t>(got));
  close(fd);
  return all;
}

}  // namespace

RunResult RunProgram(const Bytes& program, const std::vector<Bytes>& arguments, const RunOptions& options) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    // The system's /proc hidden by an empty one, in a mount namespace of the
    // child's own whose mounts reach no other (in a chroot, where / is no
    // mount point, /proc's own mount is made private).
    if (options.without_proc) {
      const bool private_mounts =
          unshare(CLONE_NEWNS) == 0 && (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ||
                                        mount(nullptr, "/proc", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
      if (!private_mounts || mount("none", "/proc", "tmpfs", 0, nullptr) != 0) _exit(125);
    }
    const auto id = static_cast<uid_t>(options.user);
    if (options.user >= 0 && (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0)) _exit(126);
    if (options.file_size_limit >= 0) {
      signal(SIGXFSZ, SIG_DFL);
      const rlimit limit{static_cast<rlim_t>(options.file_size_limit), static_cast<rlim_t>(options.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    switch (options.output) {
      case Output::kCaptured:
        dup2(out_pipe[1], 1);
        break;
      case Output::kClosed:
        close(1);
        break;
      case Output::kDevFull: {
        const int full = open("/dev/full", O_WRONLY);
        dup2(full, 1);
        close(full);
        break;
      }
    }
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[0]);
    close(err_pipe[1]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(options.argument0.empty() ? program.c_str() : options.argument0.c_str()));
    for (const Bytes& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult result;
  // Standard error is small in every case; read it after standard output.
  result.out = Drain(out_pipe[0]);
  result.err = Drain(err_pipe[0]);
  int status = 0;
  waitpid(child, &status, 0);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

Bytes CopyProgram(const Bytes& program, const Bytes& directory, ByteView name) {
  const Bytes copy = directory + Bytes(name);
  WriteBytes(copy, ReadBytes(program));
  chmod(copy.c_str(), 0755);
  return copy;
}
