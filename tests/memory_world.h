#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "platform/platform.h"

// What a power loss forgets.
enum class PowerLoss {
  kNone,  // the process stops; everything it wrote stays
  // Nothing is durable until its sync: each file's data goes back to its
  // last sync, and a directory's names (created, deleted, renamed over) to
  // the directory's last sync. This model finds duplicates.
  kNothingDurableUntilSynced,
  // Removals are durable at once: deletions and truncations stay, while new
  // data and new names wait for their sync. This model finds losses.
  kRemovalsDurableAtOnce,
};

// One in-memory world for the tests, as the program sees it through the
// platform interface: directories and files, the letter-case rules and the
// code page of the platform it stands for, file identities, what a sync has
// made durable, and the process the run is in.
//
// Files are inodes: a name can be renamed over while the run holds the old
// file open, and a file rewritten in place keeps its index but changes its
// time, which every change moves (one clock for the world, so no two changes
// share a time).
//
// The methods that are not the platform's are what the test and the other
// programs do: they never fail, and each change they make is durable at
// once, as if those programs synced it. Only the run's own changes wait for
// its syncs.
class MemoryWorld : public Platform {
 public:
  // In the POSIX style names are UTF-8 and differ by letter case; in the
  // Windows style they are Windows-1251 bytes, matched without regard to
  // ASCII case, and "\" separates.
  explicit MemoryWorld(PathStyle style = NativePlatform().Style());

  // --- the process the run is in ---
  std::vector<Bytes> arguments;  // arguments 1, 2, ...
  Bytes program_path;            // the root directory's "bin" + separator + "logharvest" unless set
  std::size_t read_limit = static_cast<std::size_t>(-1);  // the most one read returns
  int open_files = 0;
  int open_walks = 0;
  std::int64_t bytes_read = 0;  // what the run's reads gave, in all
  long data_range_calls = 0;
  // What each file the run replaced held just before (ReplaceOpenFile).
  std::vector<Bytes> replaced;
  // The system grants the run read leases on the list (false: a file system
  // without them, or a run that is neither the list's owner nor privileged).
  bool grants_leases = true;
  // The system copies between two files itself (CopyRange).
  bool copies_in_kernel = true;

  // The process ends at once: from now on every call fails and changes
  // nothing (a record unwinding writes out nothing), until Restart(), which
  // drops its open files and walks as the system does for a killed process
  // and gives the next process a standard output.
  void Kill();
  void Restart();
  bool Killed() const { return killed_; }
  // What the processes wrote to their standard output, a character device.
  const Bytes& Output() const { return output_->data; }

  // --- what the test and other programs do ---
  // The root directory every world has ("/w/" or "C:\w\"), and a path in it.
  const Bytes& Root() const { return root_; }
  Bytes operator/(ByteView name) const { return root_ + Bytes(name); }
  char Separator() const;

  // Writes the file: a new one, or the existing one rewritten in place (its
  // index stays).
  void Write(const Bytes& path, ByteView bytes);
  void Append(const Bytes& path, ByteView bytes);
  // Writes the file as data and holes: each piece's bytes, then a hole of
  // its count of zero bytes, which reads as zeros, which DataRange tells
  // and which no memory holds. A new file, or the existing one rewritten in
  // place.
  struct DataThenHole {
    Bytes data;
    std::int64_t hole = 0;
  };
  void WriteWithHoles(const Bytes& path, const std::vector<DataThenHole>& pieces);
  // The file's bytes; of a sparse file, those before the fill; of a file
  // with holes, its data without them.
  Bytes Read(const Bytes& path) const;
  bool Exists(const Bytes& path) const;
  void MakeDirectory(const Bytes& path);
  // Renames from to to, replacing a file there, as an uploader or an editor
  // saves a file.
  void RenameOver(const Bytes& from, const Bytes& to);
  void Delete(const Bytes& path);
  // Opening the file fails with error from now on: a FIFO, a link the run
  // may not follow, a log its writer still holds (0 undoes it).
  void MakeUnopenable(const Bytes& path, int error);
  // Deleting the file fails with error from now on: another account's file
  // in a sticky directory (0 undoes it).
  void MakeUndeletable(const Bytes& path, int error);
  // The file's writer is one the run cannot see, still at work on it (false
  // once it is done).
  void SetUnseenWriter(const Bytes& path, bool writing);
  // The file reads as its bytes followed by fill up to size: a file far
  // larger than memory, never held whole. The fill is data, not a hole.
  void MakeSparse(const Bytes& path, std::int64_t size, char fill);
  // A reader holds the file open, as a Windows reader does: it lets others
  // write, but not rename it or delete it (false once it let go).
  void HoldForReading(const Bytes& path, bool holding);
  // Who may read a file: a bit for each account. A file another program
  // writes, and one the run opens to create, every account may read (the
  // usual umask).
  static constexpr std::uint32_t kEveryAccount = 0xF;
  void SetReaders(const Bytes& path, std::uint32_t readers);
  std::uint32_t ReadersOf(const Bytes& path) const;
  // Another program opens the file at path for appending and keeps it open:
  // its writes go to the end of the file it opened, wherever that file's
  // name went since. -1 where the Windows run holds the file, whose sharing
  // mode lets no one else write.
  int HoldForAppending(const Bytes& path);
  // Appends through the holder's handle, to the file it holds.
  void AppendThrough(int holder, ByteView bytes);
  // Whether the file the holder holds is the one at path now; whether the
  // run replaced it, so that no name leads to it any more.
  bool HoldsFileAt(int holder, const Bytes& path) const;
  bool HeldFileReplacedByRun(int holder) const;
  void LetGo(int holder);
  // Another run opened the file at path just now and takes its lock later:
  // the next Open of path for writing opens this file, wherever its name
  // went by then.
  void PinForNextOpen(const Bytes& path);
  // The names in directory, in the order a walk gives them.
  std::vector<Bytes> Names(const Bytes& directory) const;
  // Whether the run holds the file open for writing.
  bool IsOpenForWriting(const Bytes& path) const;
  // What the run's open file holds now, wherever its name went; nullptr
  // when the handle is not open.
  const Bytes* ContentOf(FileHandle file) const;

  // --- durability ---
  // Forgets what model says a power loss forgets, since the last syncs. A
  // file whose unsynced data only added to its synced data may keep part of
  // it, as a write the power loss cut short: keep_unsynced, when given, says
  // how many of those bytes survive.
  void LosePower(PowerLoss model, const std::function<std::size_t(std::size_t)>& keep_unsynced = nullptr);
  // What a power loss under kNothingDurableUntilSynced would leave under
  // path: false when it would leave no file there.
  bool DurableContent(const Bytes& path, Bytes* data) const;

  // --- the platform ---
  Bytes ProgramPath() override;
  std::vector<Bytes> Arguments() override;
  PathStyle Style() override { return style_; }
  bool NamesAreCaseSensitive() override { return style_ == PathStyle::kPosix; }
  bool NamesAreUtf8() override { return style_ == PathStyle::kPosix; }
  Bytes NameToUtf8(ByteView name) override;
  ByteView TextLineEnd() override { return style_ == PathStyle::kPosix ? "\n" : "\r\n"; }
  Bytes UpperCase(ByteView text) override;
  const void* ImageBase(const void*) override { return nullptr; }
  [[noreturn]] void Exit(int code) override;
  bool IsExistingFile(const Bytes& path) override;
  bool IsExistingDirectory(const Bytes& path) override;
  int FindFirst(const Bytes& pattern, FindHandle* find, FoundEntry* entry) override;
  int FindNext(FindHandle find, FoundEntry* entry) override;
  void FindEnd(FindHandle find) override;
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
  bool MayBeWrittenUnseen(FileHandle file) override;
  int Sync(FileHandle file) override;
  int Close(FileHandle file) override;
  int CreateLike(const Bytes& path, FileHandle model, FileHandle* file) override;
  int CopyRange(FileHandle from, std::int64_t offset, std::int64_t length, FileHandle to, std::int64_t* done) override;
  // The rename is one step: after a power loss the name gives the old file
  // (kNothingDurableUntilSynced) or the new one (kRemovalsDurableAtOnce),
  // with what a sync made durable of it.
  int ReplaceOpenFile(FileHandle file, const Bytes& path, const FileIdentity& expected, FileHandle replacement,
                      const Bytes& replacement_path) override;
  FileHandle StandardOutput() override { return kStandardOutput; }

 private:
  struct Inode {
    std::uint64_t index = 0;
    bool directory = false;
    Bytes data;
    std::int64_t sparse_size = 0;  // the size when larger than data: fill follows
    char fill = 0;
    // The holes, by the offset each starts at: data holds the bytes between
    // them. Apart, a run of data at least, never with a fill.
    struct Hole {
      std::int64_t length = 0;
      std::int64_t zeros_before = 0;  // of the holes before it
    };
    std::map<std::int64_t, Hole> holes;
    std::int64_t time = 0;
    int open_error = 0;
    int remove_error = 0;
    bool unseen_writer = false;
    bool held_by_reader = false;
    std::uint32_t readers = kEveryAccount;
    int foreign_writers = 0;  // other programs' handles open for appending
    Bytes durable_data;       // what a power loss leaves of it
    // The shortest the run cut it to since its last sync: a cut is durable
    // at once where removals are.
    std::int64_t durable_cut = -1;
  };
  using InodePtr = std::shared_ptr<Inode>;
  struct Entry {
    Bytes path;  // as it was given, letter case kept
    InodePtr inode;
  };
  struct OpenFile {
    InodePtr inode;
    std::int64_t position = 0;
    bool writing = false;
    bool appending = false;  // POSIX: every write goes to the end
    bool device = false;     // the standard output
  };
  struct Walk {
    std::vector<Entry> entries;
    std::size_t next = 0;
  };

  Bytes Key(ByteView path) const;  // the path as names are matched
  Bytes DirectoryOf(ByteView path) const;
  const Entry* Find(ByteView path) const;
  InodePtr NewInode(bool directory);
  void Touch(Inode& inode) { inode.time = ++clock_; }
  // The run changes a directory's names: what a power loss restores.
  void NoteNameChange(const Bytes& key);
  std::int64_t SizeOf(const Inode& inode) const;
  OpenFile* Handle(FileHandle file);
  void OpenStandardOutput();

  static constexpr FileHandle kStandardOutput = 1;

  PathStyle style_;
  Bytes root_;
  std::map<Bytes, Entry> entries_;          // by Key(path)
  std::map<Bytes, Entry> durable_entries_;  // the names as a power loss leaves them, where they differ
  std::set<Bytes> changed_names_;           // keys whose durable state is in durable_entries_ (or absent)
  std::set<Bytes> renamed_over_;            // of those, the keys the run renamed a file over
  Bytes pinned_key_;                        // see PinForNextOpen
  InodePtr pinned_;
  struct Holder {
    InodePtr inode;
    bool replaced = false;  // the run replaced the file it holds since it opened it
  };
  std::map<int, Holder> holders_;  // see HoldForAppending
  int next_holder_ = 1;
  std::map<FileHandle, OpenFile> open_;
  std::map<Walk*, std::unique_ptr<Walk>> walks_;
  InodePtr output_;
  std::int64_t clock_ = 0;
  std::uint64_t next_index_ = 1;
  FileHandle next_handle_ = 3;
  bool killed_ = false;
};
