#include "desclist/description_list.h"

#include <gtest/gtest.h>

#include "fault_platform.h"
#include "memory_world.h"
#include "test_support.h"

namespace {

// Windows small enough that lists of a few KiB reach past them; every run
// of a test gets the same.
RunBounds SmallWindows() {
  RunBounds windows;
  windows.tail_bytes = 4096;
  windows.batch_span_bytes = 2048;
  return windows;
}
const std::int64_t kTailBytes = SmallWindows().tail_bytes;

int Harvest(FaultPlatform& platform, const MemoryWorld& world, const RunBounds& windows = SmallWindows()) {
  return HarvestUnder(platform, world.Root(), windows);
}

TEST(FormOfName, UnsafeQuotedAndPlainNames) {
  constexpr ListKind kFm = ListKind::kFileManager;
  constexpr ListKind kBbs = ListKind::kBulletinBoard;
  EXPECT_EQ(FormOfName("pic.zip", kFm), NameForm::kPlain);
  EXPECT_EQ(FormOfName("my file.zip", kFm), NameForm::kQuoted);
  EXPECT_EQ(FormOfName("tab\tname", kFm), NameForm::kQuoted);
  EXPECT_EQ(FormOfName("my file.zip", kBbs), NameForm::kPlain);
  EXPECT_EQ(FormOfName("say \"hi\"", kFm), NameForm::kUnsafe);
  EXPECT_EQ(FormOfName("say \"hi\"", kBbs), NameForm::kPlain);
  for (const char* bad : {"a\rb", "a\nb",
                          "a\x1A"
                          "b"}) {
    EXPECT_EQ(FormOfName(bad, kFm), NameForm::kUnsafe) << bad;
    EXPECT_EQ(FormOfName(bad, kBbs), NameForm::kUnsafe) << bad;
  }
}

// A line already at the end of the list (its run ended before it deleted the
// log) vouches for the log, which goes without a second line. Only the whole
// latest line of the log's name, byte for byte, within the list's tail
// vouches; a torn last line that starts the log's line gets only the rest.
TEST(HarvestRun, ALineAlreadyAtTheListsEndIsNotWrittenAgain) {
  MemoryWorld world;
  const char* const kNames[] = {"same.zip", "longer.zip", "inside.zip", "far.zip", "torn.zip"};
  for (const char* name : kNames) world.Write(world / name, "d");
  world.Write(world / "same.zip.log", LogWithComment(" hello"));
  world.Write(world / "longer.zip.log", LogWithComment(" hello"));
  world.Write(world / "inside.zip.log", LogWithComment(" hi"));
  world.Write(world / "far.zip.log", LogWithComment(" old"));
  world.Write(world / "torn.zip.log", LogWithComment(" whole"));
  Bytes filler;
  while (filler.size() <= static_cast<std::size_t>(kTailBytes)) filler += "filler.bin  " + Bytes(50, 'f') + "\r\n";
  const Bytes before = "far.zip  old\r\n" + filler + "same.zip  hello\r\nlonger.zip  hello\r\n" +
                       "x inside.zip  hi\r\nlonger.zip  hell\r\ntorn.zip  who";
  world.Write(world / "Descript.ion", before);
  FaultPlatform platform(world);
  EXPECT_EQ(Harvest(platform, world), 0);
  for (const char* name : kNames) EXPECT_FALSE(world.Exists(world / (Bytes(name) + ".log"))) << name;
  // The lines that vouched stay where they are, the torn one completed; the
  // others are written anew, and their names' older lines go: "longer.zip
  // hell" came last for its name, "x inside.zip" names "x", and "far.zip
  // old" lies beyond the tail.
  const Bytes list = world.Read(world / "Descript.ion");
  const Bytes kept = filler + "same.zip  hello\r\nx inside.zip  hi\r\ntorn.zip  whole\r\n";
  ASSERT_EQ(list.compare(0, kept.size(), kept), 0) << list.substr(filler.size());
  const Bytes added = list.substr(kept.size());
  for (const char* line : {"longer.zip  hello\r\n", "inside.zip  hi\r\n", "far.zip  old\r\n"}) {
    EXPECT_NE(added.find(line), Bytes::npos) << line;
  }
  EXPECT_EQ(added.size(), Bytes("longer.zip  hello\r\ninside.zip  hi\r\nfar.zip  old\r\n").size()) << added;
}

// A crash can keep a line's CR LF, or its LF, from the list: the line is
// recognised still, and only its line end is written.
TEST(HarvestRun, ALineWhoseLineEndIsMissingIsEndedNotWrittenAgain) {
  for (const Bytes end : {"", "\r"}) {
    MemoryWorld world;
    world.Write(world / "a.zip", "d");
    world.Write(world / "a.zip.log", LogWithComment(" last"));
    world.Write(world / "Descript.ion", "b.zip  first\r\na.zip  last" + end);
    FaultPlatform platform(world);
    EXPECT_EQ(Harvest(platform, world), 0);
    EXPECT_FALSE(world.Exists(world / "a.zip.log"));
    EXPECT_EQ(world.Read(world / "Descript.ion"), "b.zip  first\r\na.zip  last\r\n");
  }
}

// A line vouches only while no later line names the same file, so a comment
// harvested again after another one gets its line, and the older lines of
// its name go; one equal to the latest line of its name gets none.
TEST(HarvestRun, TheLatestCommentIsTheOnlyLineOfItsName) {
  MemoryWorld world;
  world.Write(world / "a.zip", "d");
  FaultPlatform platform(world);
  for (const char* comment : {" first", " second", " first", " first"}) {
    world.Write(world / "a.zip.log", LogWithComment(comment));
    EXPECT_EQ(Harvest(platform, world), 0) << comment;
    EXPECT_FALSE(world.Exists(world / "a.zip.log")) << comment;
  }
  EXPECT_EQ(world.Read(world / kNewListName), "a.zip  first\r\n");
  // A quoted name; and another letter case, the same file where names are
  // matched without regard to it.
  world.Write(world / "my file.zip", "d");
  world.Write(world / kNewListName,
              "\"my file.zip\"  old\r\n\"my file.zip\"  new\r\na.zip  first\r\nx  other\r\nA.ZIP  second\r\n");
  world.Write(world / "my file.zip.log", LogWithComment(" old"));
  world.Write(world / "a.zip.log", LogWithComment(" first"));
  EXPECT_EQ(Harvest(platform, world), 0);
  EXPECT_EQ(world.Read(world / kNewListName),
            world.NamesAreCaseSensitive() ? "a.zip  first\r\nx  other\r\nA.ZIP  second\r\n\"my file.zip\"  old\r\n"
                                          : "x  other\r\na.zip  first\r\n\"my file.zip\"  old\r\n");
}

// Leaving the older lines out would bring an end-of-file mark that lies
// further back into the list's final 128 bytes, where the next run cuts the
// list, and the lines after the mark, whose logs are gone, with it: the
// list is not replaced, and the older line stays.
TEST(HarvestRun, OlderLinesThatKeepAnEndOfFileMarkFromTheEndStay) {
  MemoryWorld world;
  world.Write(world / "a.zip", "d");
  world.Write(world / "a.zip.log", LogWithComment(" new"));
  const Bytes before = "b.zip  kept\r\nc.zip  junk \x1A junk\r\na.zip  old " + Bytes(200, 'o') + "\r\n";
  world.Write(world / kNewListName, before);
  FaultPlatform platform(world);
  EXPECT_EQ(Harvest(platform, world), 0);
  EXPECT_FALSE(world.Exists(world / "a.zip.log"));
  EXPECT_EQ(world.Read(world / kNewListName), before + "a.zip  new\r\n");
}

// Two logs give one name in the list: fi.zip in UTF-8 and the byte E4
// followed by .zip, both E4 .zip in code page 866. Where the first one's
// deletion fails (not for want of the right), the second stays with it:
// deleted, its line would keep the first one's from vouching, which would
// come again after it, an older comment as the name's last line.
TEST(HarvestRun, AFailedDeletionKeepsTheLaterLogsOfTheSameName) {
  MemoryWorld world(PathStyle::kPosix);
  const Bytes first = "\xD1\x84.zip";
  const Bytes second = "\xE4.zip";
  for (const Bytes& name : {first, second}) world.Write(world / name, "d");
  world.Write(world / (first + ".log"), LogWithComment(" one"));
  world.Write(world / (second + ".log"), LogWithComment(" two"));
  world.MakeUndeletable(world / (first + ".log"), kErrorSharingViolation);
  FaultPlatform platform(world);
  EXPECT_EQ(Harvest(platform, world), 0);
  EXPECT_TRUE(world.Exists(world / (second + ".log")));
  world.MakeUndeletable(world / (first + ".log"), 0);
  EXPECT_EQ(Harvest(platform, world), 0);
  EXPECT_FALSE(world.Exists(world / (first + ".log")));
  EXPECT_FALSE(world.Exists(world / (second + ".log")));
  EXPECT_EQ(world.Read(world / "descript.ion"), "\xE4.zip  two\r\n");
}

// A crashed run wrote a line again, as its earlier copy could not vouch then
// (a later line of its name, another log's, was unclaimed), and a power loss
// left a piece of it. The next run completes the piece: left as it is, it
// would stay its name's last line, a comment cut short, wherever the list
// cannot be replaced to take it out (here the rename is refused).
TEST(HarvestRun, APieceOfALineWrittenAgainIsCompletedThoughTheTailHoldsTheLineWhole) {
  MemoryWorld world(PathStyle::kPosix);
  const Bytes list = world / "descript.ion";
  world.Write(world / "a.zip", "d");
  world.Write(world / "a.zip.log", LogWithComment(" hello"));
  world.Write(world / "a.zip.LOG", LogWithComment(" other"));
  world.Write(list, "a.zip  hello\r\na.zip  other\r\na.zip  hel");
  world.MakeUndeletable(list, kErrorAccessDenied);
  FaultPlatform platform(world);
  EXPECT_EQ(Harvest(platform, world), 0);
  EXPECT_FALSE(world.Exists(world / "a.zip.log"));
  EXPECT_FALSE(world.Exists(world / "a.zip.LOG"));
  const Bytes now = world.Read(list);
  EXPECT_EQ(now.find("a.zip  hel\r\n"), Bytes::npos) << now;
  EXPECT_EQ(now.compare(now.size() - 2, 2, "\r\n"), 0) << now;
}

// The list is read in blocks of 256 KiB: the older lines of a name go
// wherever a block ends in them, in the name or after it, and however long
// they are; a line whose name is too long to be any file's stays.
TEST(HarvestRun, OlderLinesGoWhereverTheListsBlocksEnd) {
  constexpr std::size_t kBlock = 256 * 1024;
  MemoryWorld world;
  world.Write(world / "a.zip", "d");
  world.Write(world / "a.zip.log", LogWithComment(" new"));
  Bytes list;
  Bytes kept;
  std::size_t filler = 0;
  const auto add = [&](const Bytes& line, bool stays) {
    list += line;
    if (stays) kept += line;
  };
  const auto fill_to = [&](std::size_t size) {
    while (list.size() + 40 < size) add("f" + std::to_string(filler++) + ".bin  filler\r\n", true);
    add(Bytes(size - list.size() - 2, 'p') + "\r\n", true);
  };
  fill_to(kBlock - 3);
  add("a.zip  old, cut in its name\r\n", false);
  fill_to(2 * kBlock - 7);
  add("a.zip  old, cut after its name " + Bytes(6000, 'x') + "\r\n", false);
  fill_to(3 * kBlock - 10);
  add(Bytes(5000, 'n') + "  a name no file has\r\n", true);
  add("a.zip  old, last", false);
  world.Write(world / kNewListName, list);
  FaultPlatform platform(world);
  EXPECT_EQ(Harvest(platform, world, RunBounds()), 0);
  const Bytes now = world.Read(world / kNewListName);
  EXPECT_EQ(now.size(), kept.size() + Bytes("a.zip  new\r\n").size());
  EXPECT_TRUE(now == kept + "a.zip  new\r\n") << now.substr(now.size() - std::min<std::size_t>(now.size(), 200));
}

// Each occurrence of a line in the tail vouches for one log only: two logs
// that give the same line, with that line once in the list, have it written
// once more (the older one then goes: the list is another file).
TEST(HarvestRun, ATailLineVouchesForOneLogOnly) {
  {
    MemoryWorld world;
    world.Write(world / "x", "d");
    world.Write(world / "x.log", LogWithComment(" same"));
    world.Write(world / (world.NamesAreCaseSensitive() ? "x.LOG" : "y"), LogWithComment(" same"));
    if (!world.NamesAreCaseSensitive()) world.Write(world / "y.log", LogWithComment(" same"));
    world.Write(world / kNewListName, "x  same\r\n");
    FileIdentity before;
    ASSERT_EQ(world.IdentityAt(world / kNewListName, &before), 0);
    FaultPlatform platform(world);
    EXPECT_EQ(Harvest(platform, world), 0);
    if (world.NamesAreCaseSensitive()) {
      FileIdentity after;
      ASSERT_EQ(world.IdentityAt(world / kNewListName, &after), 0);
      EXPECT_FALSE(SameFile(before, after));
      EXPECT_EQ(world.Read(world / kNewListName), "x  same\r\n");
      EXPECT_FALSE(world.Exists(world / "x.LOG"));
    }
    EXPECT_FALSE(world.Exists(world / "x.log"));
  }
  {
    // In the file areas' list a name ends at the first blank: the lines of
    // "a b" commented "c" and of "a" commented "b c" are one and the same.
    MemoryWorld world;
    const Bytes bbs = world.NamesAreCaseSensitive() ? "files.bbs" : "Files.bbs";
    world.Write(world / "to_bbs", "");
    world.Write(world / "a b", "d");
    world.Write(world / "a", "d");
    world.Write(world / "a b.log", LogWithComment("c"));
    world.Write(world / "a.log", LogWithComment("b c"));
    world.Write(world / bbs, "a b c\r\n");
    FileIdentity before;
    FileIdentity after;
    ASSERT_EQ(world.IdentityAt(world / bbs, &before), 0);
    FaultPlatform platform(world);
    EXPECT_EQ(Harvest(platform, world), 0);
    ASSERT_EQ(world.IdentityAt(world / bbs, &after), 0);
    EXPECT_FALSE(SameFile(before, after));
    EXPECT_EQ(world.Read(world / bbs), "a b c\r\n");
    EXPECT_FALSE(world.Exists(world / "a b.log"));
    EXPECT_FALSE(world.Exists(world / "a.log"));
  }
}

// The tail read after a crash starts in the middle of a line: the piece
// before its first line end is no line and never vouches.
TEST(HarvestRun, ACutOffFirstLineInTheTailNeverVouches) {
  MemoryWorld world;
  world.Write(world / "same.zip", "d");
  world.Write(world / "same.zip.log", LogWithComment(" hello"));
  // The tail is its last kTailBytes and one byte more: here it starts just
  // after the "x".
  Bytes list = "xsame.zip  hello\r\n";
  while (list.size() < static_cast<std::size_t>(kTailBytes) - 64) list += "filler.bin  " + Bytes(50, 'f') + "\r\n";
  list += "end.bin " + Bytes(static_cast<std::size_t>(kTailBytes) + 2 - list.size() - 10, 'e') + "\r\n";
  ASSERT_EQ(list.size(), static_cast<std::size_t>(kTailBytes) + 2);
  world.Write(world / kNewListName, list);
  FaultPlatform platform(world);
  EXPECT_EQ(Harvest(platform, world), 0);
  const Bytes after = world.Read(world / kNewListName);
  EXPECT_EQ(after.compare(0, list.size(), list), 0);
  EXPECT_EQ(after.substr(list.size()), "same.zip  hello\r\n");
}

// A log that cannot be opened stays and gets its error line, but a run adds
// none while the latest line of its name is that line already.
TEST(HarvestRun, ErrorLinesDoNotPileUp) {
  MemoryWorld world;
  world.Write(world / "b", "d");
  world.MakeDirectory(world / "b.log");
  const Bytes error_line = "b         error reading file\r\n";
  FaultPlatform platform(world);
  for (int run = 0; run < 3; ++run) EXPECT_EQ(Harvest(platform, world), 0);
  EXPECT_EQ(world.Read(world / kNewListName), error_line);
  world.Write(world / kNewListName, error_line + "b  a comment typed since\r\n");
  EXPECT_EQ(Harvest(platform, world), 0);
  EXPECT_EQ(world.Read(world / kNewListName), error_line + "b  a comment typed since\r\n" + error_line);
  EXPECT_TRUE(world.Exists(world / "b.log"));
}

// More logs than the list holds lines back for: the logs whose lines an
// earlier run left in the tail are taken in the first walk, before any line
// is appended, and a second walk harvests the logs passed over.
TEST(HarvestRun, WithManyLogsTheTailsLogsAreTakenFirstAndEachOnce) {
  MemoryWorld world;
  constexpr int kLogs = 4200;
  Bytes before;
  std::vector<Bytes> lines;
  for (int i = 0; i < kLogs; ++i) {
    const Bytes name = "f" + std::to_string(10000 + i);
    world.Write(world / name, "d");
    world.Write(world / (name + ".log"), LogWithComment(" c" + name));
    lines.push_back(name + "  c" + name + "\r\n");
    if (i % 1000 == 7) before += lines.back();  // written by a run that ended before it deleted the log
  }
  world.Write(world / kNewListName, before);
  struct Walks : FaultPlatform {
    using FaultPlatform::FaultPlatform;
    int walks = 0;
    int FindFirst(const Bytes& pattern, FindHandle* find, FoundEntry* entry) override {
      ++walks;
      return FaultPlatform::FindFirst(pattern, find, entry);
    }
  } platform(world);
  RunBounds windows = SmallWindows();
  windows.max_held_lines = 1000;
  EXPECT_EQ(Harvest(platform, world, windows), 0);
  EXPECT_EQ(platform.walks, 2);
  const Bytes list = world.Read(world / kNewListName);
  ASSERT_EQ(list.compare(0, before.size(), before), 0);
  EXPECT_EQ(list.size(), [&] {
    std::size_t size = 0;
    for (const Bytes& line : lines) size += line.size();
    return size;
  }());
  for (int i = 0; i < kLogs; i += 97) {
    EXPECT_EQ(list.find(lines[static_cast<std::size_t>(i)]), list.rfind(lines[static_cast<std::size_t>(i)])) << i;
    EXPECT_NE(list.find(lines[static_cast<std::size_t>(i)]), Bytes::npos) << i;
  }
  for (int i = 0; i < kLogs; ++i) EXPECT_FALSE(world.Exists(world / ("f" + std::to_string(10000 + i) + ".log"))) << i;
}

// Counts the walks, writes and syncs of a run.
struct CallCounter : FaultPlatform {
  using FaultPlatform::FaultPlatform;
  int walks = 0;
  int writes = 0;
  int syncs = 0;
  int FindFirst(const Bytes& pattern, FindHandle* find, FoundEntry* entry) override {
    ++walks;
    return FaultPlatform::FindFirst(pattern, find, entry);
  }
  int Write(FileHandle file, const char* data, std::size_t size, std::size_t* done) override {
    ++writes;
    return FaultPlatform::Write(file, data, size, done);
  }
  int Sync(FileHandle file) override {
    ++syncs;
    return FaultPlatform::Sync(file);
  }
  int SyncDirectory(const Bytes& path) override {
    ++syncs;
    return FaultPlatform::SyncDirectory(path);
  }
};

// One walk of the directory, whether the list exists, exists in another
// spelling or not at all; a run with nothing to harvest writes nothing and
// syncs nothing.
TEST(HarvestRun, OneWalkAndNoWriteOrSyncWithoutWork) {
  for (const char* list : {"", "Descript.ion", "DESCRIPT.ION"}) {
    MemoryWorld world;
    if (*list != 0) world.Write(world / list, "old.zip  kept\r\n");
    for (int i = 0; i < 3; ++i) {
      world.Write(world / ("f" + std::to_string(i) + ".zip"), "d");
      world.Write(world / ("f" + std::to_string(i) + ".zip.log"), LogWithComment(" c"));
    }
    CallCounter harvest(world);
    EXPECT_EQ(Harvest(harvest, world), 0);
    EXPECT_EQ(harvest.walks, 1) << list;
    EXPECT_EQ(harvest.syncs, 2) << list;  // the list, then its directory
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(world.Exists(world / ("f" + std::to_string(i) + ".zip.log"))) << list;

    CallCounter idle(world);
    EXPECT_EQ(Harvest(idle, world), 0);
    EXPECT_EQ(idle.walks, 1) << list;
    EXPECT_EQ(idle.writes, 0) << list;
    EXPECT_EQ(idle.syncs, 0) << list;
  }
}

}  // namespace
