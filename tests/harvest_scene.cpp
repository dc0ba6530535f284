#include "harvest_scene.h"

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace {

struct Commented {
  const char* companion;
  Bytes comment;  // Windows-1251, as the log holds it
  Bytes line;     // the line the list gets, code page 866, with CR LF
};

const Bytes kLongComment = " " + Bytes(70000, 'L');

const std::vector<Commented>& CommentedLogs() {
  static const std::vector<Commented> logs = {
      {"alpha.zip", " first", "alpha.zip  first\r\n"},
      {"beta.txt", " second one", "beta.txt  second one\r\n"},
      {"gamma", " \xCE\xF2\xF7\xB8\xF2", "gamma  \x8E\xE2\xE7\xF1\xE2\r\n"},
      {"my file.zip", " spaced", "\"my file.zip\"  spaced\r\n"},
      {"delta.rar", " last\t", "delta.rar  last\t\r\n"},
      {"big.iso", kLongComment, "big.iso " + kLongComment + "\r\n"},
  };
  return logs;
}

// Logs that cannot be opened: each gets an error line and stays.
const char* const kUnreadable[] = {"link.bin", "pipe.bin", "folder"};
const Bytes kErrorText = "        error reading file";

}  // namespace

const Bytes HarvestScene::kKeptContent = "old.zip  earlier comment\r\nold2.zip  second";
const Bytes HarvestScene::kCutTail = "\x1A trailing junk";

HarvestScene::HarvestScene(bool with_list) : with_list_(with_list) {
  for (const Commented& log : CommentedLogs()) {
    WriteBytes(dir_ / log.companion, "data");
    WriteBytes(dir_ / (Bytes(log.companion) + ".log"), LogWithComment(log.comment));
  }
  WriteBytes(dir_ / "empty.dat", "e");
  WriteBytes(dir_ / "empty.dat.log", LogWithComment(""));
  WriteBytes(dir_ / "plain.doc", "p");
  WriteBytes(dir_ / "plain.doc.log", "no comment in here\r\n");
  WriteBytes(dir_ / "orphan.txt.log", LogWithComment(" nobody's"));
  for (const char* name : kUnreadable) WriteBytes(dir_ / name, "u");
  WriteBytes(dir_ / "target.txt", LogWithComment(" elsewhere"));
  if (symlink((dir_ / "target.txt").c_str(), (dir_ / "link.bin.log").c_str()) != 0 ||
      mkfifo((dir_ / "pipe.bin.log").c_str(), 0644) != 0) {
    throw std::runtime_error("cannot lay out the scene");
  }
  MakeDirectory(dir_ / "folder.log");
  if (with_list_) WriteBytes(dir_ / "descript.ion", kKeptContent + kCutTail);
}

const Bytes& HarvestScene::Kept() const {
  static const Bytes nothing;
  return with_list_ ? kKeptContent : nothing;
}

Bytes HarvestScene::List() const {
  const Bytes path = dir_ / "descript.ion";
  return Exists(path) ? ReadBytes(path) : Bytes();
}

std::vector<std::string> HarvestScene::Losses() const {
  std::vector<std::string> problems;
  const Bytes list = List();
  for (const Commented& log : CommentedLogs()) {
    if (!Exists(dir_ / (Bytes(log.companion) + ".log")) && list.find(log.line) == Bytes::npos) {
      problems.push_back(std::string("comment lost: ") + log.companion);
    }
  }
  if (list.compare(0, Kept().size(), Kept()) != 0) {
    problems.push_back("earlier content changed: " + list.substr(0, 200));
  } else if (with_list_) {
    const Bytes rest = list.substr(kKeptContent.size());
    if (!rest.empty() && rest != kCutTail && rest.compare(0, 2, "\r\n") != 0) {
      problems.push_back("new lines joined to the last earlier line: " + rest.substr(0, 100));
    }
  }
  return problems;
}

std::vector<std::string> HarvestScene::Incomplete() const {
  std::vector<std::string> problems;
  const Bytes list = List();
  for (const Commented& log : CommentedLogs()) {
    if (Exists(dir_ / (Bytes(log.companion) + ".log"))) problems.push_back(std::string("log left: ") + log.companion);
    if (list.find(log.line) == Bytes::npos) problems.push_back(std::string("line missing: ") + log.companion);
  }
  for (const char* name : kUnreadable) {
    if (!Exists(dir_ / (Bytes(name) + ".log"))) problems.push_back(std::string("unreadable log deleted: ") + name);
    if (list.find(Bytes(name) + " " + kErrorText + "\r\n") == Bytes::npos) {
      problems.push_back(std::string("error line missing: ") + name);
    }
  }
  for (const char* gone : {"empty.dat.log", "plain.doc.log"}) {
    if (Exists(dir_ / gone)) problems.push_back(std::string("log without comment left: ") + gone);
  }
  if (!Exists(dir_ / "orphan.txt.log")) problems.push_back("log without companion deleted");
  if (list.find("nobody's") != Bytes::npos || list.find("elsewhere") != Bytes::npos) {
    problems.push_back("a log that must not be read was read");
  }
  return problems;
}

int HarvestScene::TornLines() const {
  const Bytes list = List();
  if (list.compare(0, Kept().size(), Kept()) != 0) return -1;
  int torn = 0;
  std::size_t at = Kept().size();
  while (at < list.size()) {
    std::size_t end = list.find("\r\n", at);
    end = end == Bytes::npos ? list.size() : end + 2;
    const Bytes line = list.substr(at, end - at);
    at = end;
    if (line == "\r\n") continue;
    bool known = false;
    for (const Commented& log : CommentedLogs()) known = known || line == log.line;
    for (const char* name : kUnreadable) known = known || line == Bytes(name) + " " + kErrorText + "\r\n";
    if (!known) ++torn;
  }
  return torn;
}

int HarvestScene::DuplicateLines() const {
  const Bytes list = List();
  int duplicates = 0;
  for (const Commented& log : CommentedLogs()) {
    for (std::size_t at = list.find(log.line); at != Bytes::npos; at = list.find(log.line, at + 1)) ++duplicates;
    if (list.find(log.line) != Bytes::npos) --duplicates;
  }
  return duplicates;
}
