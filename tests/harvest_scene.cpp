#include "harvest_scene.h"

#include <algorithm>
#include <map>

#include "test_support.h"

namespace {

const Bytes kLongComment = " " + Bytes(70000, 'L');

// A comment of 40 KB whose bytes tell it from every other; made once for
// every scene.
const Bytes& BatchComment(const Bytes& name) {
  static std::map<Bytes, Bytes> made;
  Bytes& comment = made[name];
  if (comment.empty()) comment = " " + name;
  while (comment.size() < 40000) comment += " " + name + std::to_string(comment.size());
  return comment;
}

// Logs that cannot be opened: each gets an error line and stays.
const char* const kUnreadable[] = {"link.bin", "pipe.bin", "folder"};
const Bytes kErrorText = "        error reading file";

}  // namespace

const Bytes HarvestScene::kKeptContent = "old.zip  earlier comment\r\nold2.zip  second";
const Bytes HarvestScene::kCutTail = "\x1A trailing junk";

void HarvestScene::Add(const Commented& log) {
  world_.Write(world_ / log.companion, "data");
  const Bytes path = world_ / (log.companion + ".log");
  if (log.hole == 0) {
    world_.Write(path, LogWithComment(log.comment));
  } else {
    world_.WriteWithHoles(path, {{"\xC0\xE2\xF2\xEE\xF0: someone\r\n" + kPrefix + " into the hole", log.hole},
                                 {"\r\n" + kPrefix + log.comment + "\r\nSize: 1234\r\n", 0}});
  }
  logs_.push_back(log);
}

void HarvestScene::Arrive() {
  for (const char* name : {"arrived.zip", "arrived2.zip"}) {
    if (world_.Exists(world_ / name)) continue;
    Add({name, " uploaded later", Bytes(name) + "  uploaded later\r\n"});
  }
  if (!long_comments_) return;
  for (const char* name : {"arrived3.bin", "arrived4.bin"}) {
    if (world_.Exists(world_ / name)) continue;
    const Bytes& comment = BatchComment(name);
    Add({name, comment, name + (" " + comment) + "\r\n"});
  }
}

HarvestScene::HarvestScene(bool with_list, bool long_comments) : with_list_(with_list), long_comments_(long_comments) {
  for (const Commented& log : std::vector<Commented>{
           {"alpha.zip", " first", "alpha.zip  first\r\n"},
           {"beta.txt", " second one", "beta.txt  second one\r\n"},
           {"gamma", " \xCE\xF2\xF7\xB8\xF2", "gamma  \x8E\xE2\xE7\xF1\xE2\r\n"},
           {"my file.zip", " spaced", "\"my file.zip\"  spaced\r\n"},
           {"delta.rar", " last\t", "delta.rar  last\t\r\n"},
           {"big.iso", kLongComment, "big.iso " + kLongComment + "\r\n"},
           {"sparse.img", " past the hole", "sparse.img  past the hole\r\n", 3 << 20},
       }) {
    Add(log);
  }
  for (int i = 0; long_comments && i < 4; ++i) {
    const Bytes name = "batch" + std::to_string(i) + ".bin";
    const Bytes& comment = BatchComment(name);
    Add({name, comment, name + " " + comment + "\r\n"});
  }
  world_.Write(world_ / "empty.dat", "e");
  world_.Write(world_ / "empty.dat.log", LogWithComment(""));
  world_.Write(world_ / "plain.doc", "p");
  world_.Write(world_ / "plain.doc.log", "no comment in here\r\n");
  world_.Write(world_ / "orphan.txt.log", LogWithComment(" nobody's"));
  for (const char* name : kUnreadable) world_.Write(world_ / name, "u");
  // A symbolic link to a log elsewhere, which the run may not follow, and a FIFO.
  world_.Write(world_ / "target.txt", LogWithComment(" elsewhere"));
  world_.Write(world_ / "link.bin.log", LogWithComment(" elsewhere"));
  world_.MakeUnopenable(world_ / "link.bin.log", kErrorPathNotFound);
  world_.Write(world_ / "pipe.bin.log", "");
  world_.MakeUnopenable(world_ / "pipe.bin.log", kErrorAccessDenied);
  world_.MakeDirectory(world_ / "folder.log");
  if (with_list_) world_.Write(world_ / "descript.ion", kKeptContent + kCutTail);
}

RunBounds HarvestScene::Windows() {
  RunBounds windows;
  windows.tail_bytes = 192 * 1024;
  windows.batch_span_bytes = windows.tail_bytes / 2;
  return windows;
}

const Bytes& HarvestScene::Kept() const {
  static const Bytes nothing;
  return with_list_ ? kKeptContent : nothing;
}

Bytes HarvestScene::List() const {
  const Bytes path = world_ / "descript.ion";
  return world_.Exists(path) ? world_.Read(path) : Bytes();
}

namespace {

// The lines of list from offset from on, each with its CR LF (a last piece
// without one as it is), and how often each occurs. The lines are views of
// list, which outlives them.
std::map<ByteView, int> LinesFrom(const Bytes& list, std::size_t from) {
  std::map<ByteView, int> lines;
  while (from < list.size()) {
    std::size_t end = list.find("\r\n", from);
    end = end == Bytes::npos ? list.size() : end + 2;
    ++lines[ByteView(list).substr(from, end - from)];
    from = end;
  }
  return lines;
}

int CountOf(const std::map<ByteView, int>& lines, ByteView line) {
  const auto found = lines.find(line);
  return found == lines.end() ? 0 : found->second;
}

}  // namespace

std::vector<std::string> HarvestScene::Losses() const {
  std::vector<std::string> problems;
  const Bytes list = List();
  if (list.compare(0, Kept().size(), Kept()) != 0) {
    problems.push_back("earlier content changed: " + list.substr(0, 200));
    return problems;
  }
  const ByteView rest = ByteView(list).substr(Kept().size());
  if (with_list_ && !rest.empty() && rest != kCutTail && rest.substr(0, 2) != "\r\n") {
    problems.push_back("new lines joined to the last earlier line: " + Bytes(rest.substr(0, 100)));
  }
  const std::map<ByteView, int> lines = LinesFrom(list, Kept().size());
  for (const Commented& log : logs_) {
    if (!world_.Exists(world_ / (log.companion + ".log")) && CountOf(lines, log.line) == 0) {
      problems.push_back("comment lost: " + log.companion);
    }
  }
  return problems;
}

std::vector<std::string> HarvestScene::Incomplete() const {
  std::vector<std::string> problems;
  const Bytes list = List();
  const std::map<ByteView, int> lines = LinesFrom(list, Kept().size());
  for (const Commented& log : logs_) {
    if (world_.Exists(world_ / (log.companion + ".log"))) problems.push_back("log left: " + log.companion);
    if (CountOf(lines, log.line) == 0) problems.push_back("line missing: " + log.companion);
  }
  for (const char* name : kUnreadable) {
    if (!world_.Exists(world_ / (Bytes(name) + ".log"))) {
      problems.push_back(std::string("unreadable log deleted: ") + name);
    }
    if (CountOf(lines, Bytes(name) + " " + kErrorText + "\r\n") == 0) {
      problems.push_back(std::string("error line missing: ") + name);
    }
  }
  for (const char* gone : {"empty.dat.log", "plain.doc.log"}) {
    if (world_.Exists(world_ / gone)) problems.push_back(std::string("log without comment left: ") + gone);
  }
  if (!world_.Exists(world_ / "orphan.txt.log")) problems.push_back("log without companion deleted");
  if (list.find("nobody's") != Bytes::npos || list.find("elsewhere") != Bytes::npos) {
    problems.push_back("a log that must not be read was read");
  }
  return problems;
}

int HarvestScene::TornLines() const {
  const Bytes list = List();
  if (list.compare(0, Kept().size(), Kept()) != 0) return -1;
  std::map<ByteView, int> lines = LinesFrom(list, Kept().size());
  lines.erase("\r\n");
  for (const Commented& log : logs_) lines.erase(log.line);
  for (const char* name : kUnreadable) lines.erase(Bytes(name) + " " + kErrorText + "\r\n");
  int torn = 0;
  for (const auto& [line, count] : lines) torn += count;
  return torn;
}

int HarvestScene::DuplicateLines() const {
  const Bytes list = List();
  const std::map<ByteView, int> lines = LinesFrom(list, Kept().size());
  int duplicates = 0;
  for (const Commented& log : logs_) duplicates += std::max(0, CountOf(lines, log.line) - 1);
  return duplicates;
}
