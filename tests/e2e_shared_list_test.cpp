// The list as other programs and accounts share it, on the real disk: the
// replacement of a list keeps its privacy from the first moment, keeps a
// writer's lines that holds it open, and is left where writers cannot be
// seen.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "e2e_support.h"

namespace {

constexpr int kNobody = 65534;
// The new file of a replacement.
Bytes NewFile() { return kNewListName + ".logharvest-new"; }

// A program that opened the list to append to it, with no lock, writes a
// line before a run that harvests a file again and one after it: both are
// in the list, since the run leaves a list that a writer holds open (and
// the older line with it). Once the writer is gone, the next run takes the
// older lines of the name it harvests out.
TEST_F(EndToEnd, AWriterHoldingTheListOpenKeepsEveryLine) {
  const Bytes list = At(kNewListName);
  WriteBytes(list, "a.zip  old\r\nb.zip  other\r\n");
  AddLog(Root(), "a.zip", " new");
  const int writer = open(list.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(writer, 0);
  const Bytes first = "c.zip  typed before\r\n";
  const Bytes second = "c.zip  typed after\r\n";
  ASSERT_EQ(write(writer, first.data(), first.size()), static_cast<ssize_t>(first.size()));
  const RunResult run = Run({Root()});
  ASSERT_EQ(write(writer, second.data(), second.size()), static_cast<ssize_t>(second.size()));
  close(writer);
  EXPECT_QUIET_SUCCESS(run);
  EXPECT_EQ(ReadBytes(list), "a.zip  old\r\nb.zip  other\r\n" + first + "a.zip  new\r\n" + second);
  EXPECT_FALSE(Exists(At("a.zip.log")));
  EXPECT_FALSE(Exists(At(NewFile())));

  AddLog(Root(), "b.zip", " newer");
  EXPECT_QUIET_SUCCESS(Run({Root()}));
  EXPECT_EQ(ReadBytes(list), "a.zip  old\r\n" + first + "a.zip  new\r\n" + second + "b.zip  newer\r\n");
}

// A run that may give the new file the list's owner but may take no lease
// (an account with the capabilities to change owners, not the one to take
// leases, as a service may be given) cannot see the list's writers: it
// appends, and leaves the older line. Given the lease too, it replaces the
// list, which keeps its owner.
TEST_F(EndToEnd, ARunThatCanTakeNoLeaseLeavesTheOlderLines) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
  constexpr int kOwner = 65533;
  const Bytes list = At(kNewListName);
  ASSERT_EQ(chmod(Root().c_str(), 0777), 0);
  WriteBytes(list, "a.zip  old\r\n");
  ASSERT_EQ(chown(list.c_str(), kOwner, kOwner), 0);
  ASSERT_EQ(chmod(list.c_str(), 0666), 0);
  const Bytes program = CopyProgram(Program(), Root());
  const auto run_with = [&](const char* capabilities) {
    return RunProgram("/usr/bin/setpriv",
                      {"--reuid", std::to_string(kNobody), "--regid", std::to_string(kNobody), "--clear-groups",
                       Bytes("--inh-caps=") + capabilities, Bytes("--ambient-caps=") + capabilities, program, Root()});
  };
  AddLog(Root(), "a.zip", " new");
  ASSERT_EQ(chmod(At("a.zip.log").c_str(), 0666), 0);
  EXPECT_QUIET_SUCCESS(run_with("+chown,+fowner"));
  EXPECT_EQ(ReadBytes(list), "a.zip  old\r\na.zip  new\r\n");
  EXPECT_FALSE(Exists(At(NewFile())));

  AddLog(Root(), "a.zip", " newer");
  ASSERT_EQ(chmod(At("a.zip.log").c_str(), 0666), 0);
  EXPECT_QUIET_SUCCESS(run_with("+chown,+fowner,+lease"));
  EXPECT_EQ(ReadBytes(list), "a.zip  newer\r\n");
  struct stat info;
  ASSERT_EQ(stat(list.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, static_cast<uid_t>(kOwner));
  EXPECT_EQ(info.st_mode & 07777, 0666u);
}

// What another account saw: new files made, and those it could open.
struct Watched {
  int made = 0;
  int opened = 0;
};

// Another account, woken by the system at each new entry of the directory,
// tries at once to open the new file of each replacement of a list it may
// not read; it never can. The list is replaced again and again.
TEST_F(EndToEnd, AnotherAccountNeverOpensTheNewFileOfAListItMayNotRead) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to watch as another account";
  constexpr int kRounds = 100;
  const Bytes list = At(kNewListName);
  ASSERT_EQ(chmod(Root().c_str(), 0755), 0);
  WriteBytes(list, "a.zip  first\r\n");
  ASSERT_EQ(chmod(list.c_str(), 0600), 0);
  int report[2];
  int ready[2];
  int done[2];  // closed once the rounds are over
  ASSERT_EQ(pipe(report), 0);
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t watcher = fork();
  ASSERT_GE(watcher, 0);
  if (watcher == 0) {
    close(report[0]);
    close(ready[0]);
    close(done[1]);
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(126);
    const int events = inotify_init1(IN_CLOEXEC);
    if (events < 0 || inotify_add_watch(events, Root().c_str(), IN_CREATE) < 0) _exit(125);
    if (write(ready[1], "r", 1) != 1) _exit(124);
    Watched seen;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      pollfd wait[2] = {{events, POLLIN, 0}, {done[0], POLLIN, 0}};
      if (poll(wait, 2, -1) <= 0 || (wait[0].revents & POLLIN) == 0) break;  // the rounds are over
      const ssize_t got = read(events, buffer, sizeof buffer);
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && NewFile() == event->name) {
          ++seen.made;
          const int fd = open((Root() + NewFile()).c_str(), O_RDONLY);
          if (fd >= 0) {
            ++seen.opened;
            close(fd);
          }
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    _exit(write(report[1], &seen, sizeof seen) == sizeof seen ? 0 : 123);
  }
  close(report[1]);
  close(ready[1]);
  close(done[0]);
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  for (int round = 0; round < kRounds; ++round) {
    AddLog(Root(), "a.zip", " round " + std::to_string(round));
    EXPECT_QUIET_SUCCESS(Run({Root()}));
  }
  close(done[1]);
  Watched seen;
  const bool reported = read(report[0], &seen, sizeof seen) == sizeof seen;
  int status = 0;
  waitpid(watcher, &status, 0);
  close(report[0]);
  close(ready[0]);
  ASSERT_TRUE(reported) << "the watcher ended with " << status;
  EXPECT_EQ(ReadBytes(list), "a.zip  round " + std::to_string(kRounds - 1) + "\r\n");
  struct stat info;
  ASSERT_EQ(stat(list.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  // Every round made a new file, and the watcher saw them.
  EXPECT_GE(seen.made, kRounds / 2);
  EXPECT_EQ(seen.opened, 0);
}

}  // namespace
