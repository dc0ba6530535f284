#pragma once

#include <cstdlib>
#include <functional>
#include <vector>

#include "common/run_bounds.h"
#include "forwarding_platform.h"
#include "platform/platform.h"

// Wraps a platform (the in-memory world, or the real one for the tests of
// the platform itself): every operation that can fail is counted, and the
// k-th one can be made to fail with a chosen code (or, for a write, to write
// only half its bytes and report success). Open files and walks are counted,
// so a test can see that nothing was left open. Arguments and the program
// path can be set in place of the process's own.
class FaultPlatform : public ForwardingPlatform {
 public:
  explicit FaultPlatform(Platform& base) : ForwardingPlatform(base) {}

  // Settings.
  std::vector<Bytes> arguments;
  Bytes program_path;
  long fail_at = 0;  // 1-based number of the call that fails; 0: none
  int fail_code = 0;
  bool short_write = false;              // the failing call, when it is a write, writes half
  std::function<void(long)> after_call;  // runs after every counted call with its number

  // Observations.
  long calls = 0;
  int open_files = 0;
  int open_walks = 0;
  bool failed = false;                // the chosen call was reached and failed
  const char* failed_operation = "";  // its name, "Open for reading" for a log
  long last_remove = 0;               // the number of the last call that deleted a file

  Bytes ProgramPath() override { return program_path.empty() ? base_.ProgramPath() : program_path; }
  std::vector<Bytes> Arguments() override { return arguments; }

  bool IsExistingFile(const Bytes& path) override;
  bool IsExistingDirectory(const Bytes& path) override;
  int FindFirst(const Bytes& pattern, FindHandle* find, FoundEntry* entry) override;
  int FindNext(FindHandle find, FoundEntry* entry) override;
  void FindEnd(FindHandle find) override;
  int Remove(const Bytes& path) override;
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
  // Counts a call; true when this one is to fail.
  bool Fails(const char* operation);
  void After();
};

// Runs a whole harvest of directory in this process under platform, which
// gets directory as its one argument and, unless set already, a program path
// beside it; the list has the windows given. Returns the code of the
// EInOutError that ended the run, 0 when it ended normally.
int HarvestUnder(FaultPlatform& platform, const Bytes& directory, const RunBounds& windows = RunBounds());

// Makes a platform the one in use for the lifetime of the object.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform& platform) : previous_(SetPlatform(&platform)) {}
  ~ScopedPlatform() { SetPlatform(previous_); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  Platform* previous_;
};
