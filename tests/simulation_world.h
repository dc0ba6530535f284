#pragma once

// The simulation's parts, shared by its files: its own table of characters
// and names, the logs it drew, the platform the run sees, and the simulation.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/run_bounds.h"
#include "forwarding_platform.h"
#include "memory_world.h"
#include "simulation.h"

namespace sim {

// The same numbers from a seed on every platform and compiler.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  std::size_t Below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(Next() % n); }
  std::size_t Between(std::size_t low, std::size_t high) { return low + Below(high - low + 1); }
  bool OneIn(std::size_t n) { return Below(n) == 0; }

 private:
  std::uint64_t state_;
};

// A character with its bytes in Windows-1251, in code page 866 (empty when
// that code page lacks it) and in UTF-8: the simulation's own table, so that
// what it expects does not come from the code under test.
struct Char {
  Bytes cp1251;
  Bytes cp866;
  Bytes utf8;
};

// Bytes as a story shows them: other than printable ASCII as \xHH.
std::string Shown(ByteView bytes, std::size_t most = 48);

// The names files may have. A raw name is bytes that are not UTF-8 (POSIX only).
struct Name {
  std::vector<Char> chars;
  Bytes raw;
  bool posix_only = false;
};

std::vector<Name> Names();
// The characters comments are drawn from.
const std::vector<Char>& CommentChars();
Bytes Join(const std::vector<Char>& chars, Bytes Char::*field);
bool AllIn866(const std::vector<Char>& chars);

struct Comment {
  Bytes cp1251;  // as the log holds it, after the prefix
  Bytes cp866;   // as a code page 866 list gets it: bytes it lacks pass unchanged
  Bytes utf8;
  Bytes cp866_of_unicode;  // from a log in UTF-8 or UTF-16: what it lacks becomes '?'
};

const Bytes kPrefix = "\xCA\xEE\xEC\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9\x3A";
const Bytes kUtf8Prefix =
    "\xD0\x9A\xD0\xBE\xD0\xBC\xD0\xBC\xD0\xB5\xD0\xBD\xD1\x82\xD0\xB0\xD1\x80\xD0\xB8\xD0\xB9\x3A";
const Bytes kErrorText = "        error reading file";
constexpr std::int64_t kCommentCap = 1024 * 1024;

// One version of one log: each upload of it is another.
struct Version {
  int id = 0;
  Bytes log;        // its path
  Bytes companion;  // the name the log gives, as the walk returns it
  const Name* name = nullptr;
  Comment comment;
  bool commented = false;  // a comment line with text
  bool has_companion = true;
  bool over_cap = false;  // its last comment line is over the cap
  // How its writer wrote it: the comment line in Windows-1251, or in UTF-8
  // (with or without the byte order mark), or UTF-16 with its mark.
  enum Encoding { kWindows1251, kUtf8, kUtf8Marked, kUtf16Little, kUtf16Big } encoding = kWindows1251;
  Bytes content;  // the log's bytes (a sparse log's first ones; a log with a hole, its data)
  // A log of a terabyte or so that is mostly a hole of this many bytes,
  // after hole_at bytes of content: never read, and no memory holds it.
  std::int64_t hole = 0;
  std::size_t hole_at = 0;
  enum State { kPresent, kConsumed, kSuperseded } state = kPresent;
  bool exempt = false;          // another program removed its line: it may be missing
  bool was_unreadable = false;  // its line may have been ended before it could be completed
  bool replaced = false;        // a new log took its name after it was harvested
  bool damaged = false;         // another program cut into or changed its line
  // Another account's log: its deletion is refused with this error, in the
  // run it was drawn in, or for good (0 when the run may delete it).
  int refusal = 0;
  bool refused_for_good = false;
  bool was_refused = false;  // in some run, whether or not it still is
  // Its writer, one the run may see or not, is still at work: the log holds
  // no comment line yet.
  bool writing = false;
  int consumed_at = 0;  // when a run last deleted it (the order of deletions), or 0
  int consumed_in = 0;  // the open of the list of the run that last deleted it
};

// Whether a file's name or path is that of a replacement's new file.
inline bool IsReplacementName(ByteView name) {
  const ByteView suffix = ".logharvest-new";
  return name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
}

// Thrown out of the run where it is killed.
struct Killed {};

class Simulation;

// The platform the run sees: the world, with the simulation's events
// between any two calls and its checks on what the run does.
class SimPlatform : public ForwardingPlatform {
 public:
  SimPlatform(MemoryWorld& world, Simulation& sim) : ForwardingPlatform(world), world_(world), sim_(sim) {}
  bool IsExistingFile(const Bytes& path) override;
  bool IsExistingDirectory(const Bytes& path) override;
  int FindFirst(const Bytes& pattern, FindHandle* find, FoundEntry* entry) override;
  int FindNext(FindHandle find, FoundEntry* entry) override;
  int Remove(const Bytes& path) override;
  int RemoveIfUnchanged(const Bytes& path, const FileIdentity& identity) override;
  int IdentityAt(const Bytes& path, FileIdentity* identity) override;
  int SyncDirectory(const Bytes& path) override;
  int Open(const Bytes& path, OpenMode mode, FileHandle* file) override;
  int Read(FileHandle file, char* buffer, std::size_t size, std::size_t* done) override;
  int Write(FileHandle file, const char* data, std::size_t size, std::size_t* done) override;
  int Seek(FileHandle file, std::int64_t offset, SeekOrigin origin, std::int64_t* position) override;
  int DataRange(FileHandle file, std::int64_t from, std::int64_t* start, std::int64_t* end) override;
  int Truncate(FileHandle file) override;
  int Size(FileHandle file, std::int64_t* size) override;
  int Kind(FileHandle file, HandleKind* kind) override;
  int Identify(FileHandle file, FileIdentity* identity) override;
  int Sync(FileHandle file) override;
  int Close(FileHandle file) override;
  int CreateLike(const Bytes& path, FileHandle model, FileHandle* file) override;
  int CopyRange(FileHandle from, std::int64_t offset, std::int64_t length, FileHandle to, std::int64_t* done) override;
  int ReplaceOpenFile(FileHandle file, const Bytes& path, const FileIdentity& expected, FileHandle replacement,
                      const Bytes& replacement_path) override;

 private:
  void Between(const char* operation, const Bytes& what);
  MemoryWorld& world_;
  Simulation& sim_;
};

class Simulation {
 public:
  Simulation(std::uint64_t seed, SimulationTally* tally, bool trace);
  SimulationOutcome Run();

  // Called by the platform.
  void Between(const char* operation, const Bytes& what);
  void BeforeListWrite(FileHandle file, ByteView data);
  void BeforeListTruncate(FileHandle file);
  void BeforeRemove(const Bytes& path);
  void AfterRemove(const Bytes& path, int result);
  void OnOpen(const Bytes& path, OpenMode mode, FileHandle file);
  // Every call: on the list's handle, or not (kNoFile for a path).
  void OnCall(FileHandle file, const char* operation, ByteView data = ByteView());
  void OnDirectorySync() {
    after_directory_sync_ = true;
    unsynced_replacements_.clear();
  }
  void OnCreateLike() { in_replacement_ = true; }
  void OnListKeptOut() { kept_out_ = kept_out_ || holder_ != 0; }
  void OnIdentify(FileHandle file);
  void AfterRead(FileHandle file, std::size_t bytes);
  void OnIdentityAt(const Bytes& path);
  void BeforeReplace(FileHandle file, FileHandle replacement);
  void AfterReplace(int result);
  bool IsList(FileHandle file) const { return list_handles_.count(file) != 0; }

 private:
  // The world.
  void DrawWorld();
  Comment DrawComment();
  Version& AddVersion(const Bytes& log, const Name& name, const Bytes& companion, bool commented);
  // Sets the version's hole_at where it has a hole.
  Bytes LogContent(Version& version);
  void WriteLog(const Bytes& path, const Version& version);
  Version::Encoding DrawEncoding();
  Bytes ListName(const Name& name) const;
  Bytes LineOf(const Version& version) const;           // without its line end; empty when it gets none
  const Bytes& ListText(const Version& version) const;  // its comment as the list gets it
  Bytes ErrorLineOf(const Version& version) const;
  Bytes DrawList();
  Version* CurrentVersion(const Bytes& log);

  // Events.
  void Event(const std::string& kind, const std::string& what);
  void DrawEvent();
  void EditList(int how);
  // Through the handle of another program that holds the list open, when
  // holder is not 0.
  void AppendForeignLine(int holder = 0);
  void HoldList();
  void WriteThroughHolder();
  void ReleaseHolder();
  void CheckNewFileAccess();
  void AllowLinesOf(const Bytes& list, bool drawn);
  bool ForeignRoom(std::size_t bytes);
  void Reupload();
  void UploadAgain();
  void BeforeRename();
  void DropLog();
  void Crash(PowerLoss model);
  void RefuseDeletion(Version& version);
  void StartWriting(Version& version);
  void FinishWriting(Version& version);
  void EndOfRun(bool recovering);
  // Whether a log of the version's name may not be deleted (now, or in some
  // run when ever is set): the later logs of the name stay with it.
  bool StaysWithARefusedLog(const Version& version, bool ever = false) const;

  // Runs and checks.
  bool RunOnce(int rate, const std::string& label);
  void Violation(const std::string& what) { outcome_.violations.push_back(what); }
  void NoteTailRead();
  void CheckEnd();
  void CheckOneLinePerName();
  // The name of a line as the run matches names: without regard to case in
  // the Windows style.
  Bytes KeyOf(const Bytes& line) const;
  std::vector<Bytes> LogicalLines(const Bytes& list, std::vector<std::size_t>* starts = nullptr) const;
  // The name a line describes, as readers take it: in a file-manager list
  // in quotes, or else up to the first blank.
  Bytes NameOf(const Bytes& line) const {
    if (!bbs_ && !line.empty() && line[0] == '"' && line.find('"', 1) != Bytes::npos) {
      return line.substr(1, line.find('"', 1) - 1);
    }
    return line.substr(0, line.find(' '));
  }
  Bytes LastLine(const Bytes& list) const {
    const std::vector<Bytes> lines = LogicalLines(list);
    return lines.empty() ? Bytes() : lines.back();
  }
  Bytes ListNow() const { return world_.Exists(list_path_) ? world_.Read(list_path_) : Bytes(); }

  std::uint64_t seed_;
  Random random_;
  // The draws of the moves added since the fixed seeds were found, apart,
  // so that those seeds draw their worlds and events as they did.
  Random extra_;
  SimulationTally* tally_;
  bool trace_;
  SimulationOutcome outcome_;
  MemoryWorld world_;
  SimPlatform platform_;
  RunBounds windows_;
  std::vector<Name> names_;
  bool posix_ = true;
  bool bbs_ = false;
  bool utf8_list_ = false;
  Bytes list_path_;
  std::vector<Version> versions_;
  int next_id_ = 0;
  long calls_ = 0;
  int rate_ = 0;  // events come at one call in rate; 0: none
  bool in_run_ = false;
  std::set<FileHandle> list_handles_;
  // The list's handles the run opened on a file that no longer was the list
  // (a second run's replacement took the name first).
  std::set<FileHandle> stale_handles_;
  int deletions_ = 0;              // the run's deletions so far, in all runs
  std::vector<int> consumed_now_;  // the versions the run under way deleted
  bool rename_refused_ = false;    // the list may not be replaced in this run
  Bytes replacing_[2];             // the old list and the new one, as the run replaces one by the other
  bool in_replacement_ = false;    // the run made the new file of a replacement, and is not done
  std::map<FileHandle, Bytes> log_handles_;
  std::map<FileHandle, std::int64_t> log_bytes_read_;
  std::map<Bytes, int> read_version_;  // by log path: the version the run last read
  std::multiset<Bytes> allowed_;       // lines of other programs, and of the list as it was drawn
  std::multiset<Bytes> ended_pieces_;  // torn pieces another program ended or joined
  std::int64_t foreign_bytes_ = 0;     // what other programs added to it
  int list_opens_ = 0;
  bool before_first_write_ = false;  // the run opened the list and has not written to it yet
  // Lines other programs pushed out of a run's tail: the opens of the list
  // whose tail did not reach them; and lines of logs left for want of the
  // right to delete them that any lines pushed out so.
  std::map<Bytes, std::set<int>> pushed_out_;
  std::map<Bytes, std::set<int>> held_out_;
  // The opens of the list whose run put a new list in place, with the keys
  // of the names whose logs stayed then: it left out the older lines of the
  // other names it harvested, a second line the window let in among them.
  std::map<int, std::set<Bytes>> replaced_in_;
  std::set<int> unsynced_replacements_;  // a power loss may still undo their renames
  // The run looked at the list's end and is about to write there: nothing
  // keeps another program's change from slipping in between
  // (doc/DESIGN.md says so), so the simulation makes none there.
  bool appending_ = false;
  bool after_directory_sync_ = false;
  bool committed_ = false;  // the run checked the list after its directory sync
  bool edited_when_committed_ = false;
  int holder_ = 0;         // another program's handle open on the list to append to it, or 0
  bool kept_out_ = false;  // the run could not open the list, which that program held
};

}  // namespace sim
