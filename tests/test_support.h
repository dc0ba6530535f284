#pragma once

#include <vector>

#include "common/bytes.h"

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away. Path() ends in the platform's
// separator ("/" or "\").
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const Bytes& Path() const { return path_; }
  Bytes operator/(ByteView name) const { return path_ + Bytes(name); }

 private:
  Bytes path_;
};

void WriteBytes(const Bytes& path, ByteView bytes);
Bytes ReadBytes(const Bytes& path);
bool Exists(const Bytes& path);
void MakeDirectory(const Bytes& path);
// Renames from to to, replacing a file there, as an uploader does.
void RenameOver(const Bytes& from, const Bytes& to);
void RemoveTree(const Bytes& path);
// Waits that long: for a file time's next tick, never to time a result.
void PauseMilliseconds(int milliseconds);

// A name given in UTF-8 as this platform's file names hold it: as it is on
// POSIX; on Windows in the ANSI code page, which must hold each of its
// characters (the Windows tests run under Windows-1251), or it throws.
Bytes FileNameFromUtf8(ByteView utf8);

// A character device that takes every write ("/dev/null", "NUL").
extern const Bytes kNullDevice;

// The name a run gives a new file-manager list: in lower case where names
// differ by case ("descript.ion"), else "Descript.ion".
extern const Bytes kNewListName;

// The 12 bytes that open a comment line, and a log whose comment line
// carries text (Windows-1251) between ordinary lines.
extern const Bytes kPrefix;
Bytes LogWithComment(ByteView comment);
// UTF-8 text in UTF-16 of either byte order, after its byte order mark.
Bytes Utf16WithMark(ByteView utf8, bool big_endian);

// How a spawned program's standard output is set up.
enum class Output { kCaptured, kClosed, kDevFull };

struct RunResult {
  int exit_code = -1;  // -1 when ended by a signal
  Bytes out;
  Bytes err;
};

struct RunOptions {
  Bytes cwd;  // empty: the current directory
  Output output = Output::kCaptured;
  // POSIX only (the Windows harness refuses them):
  int user = -1;              // run as this user and group id when >= 0
  long file_size_limit = -1;  // RLIMIT_FSIZE in bytes; SIGXFSZ as the system sets it
  bool without_proc = false;  // an empty /proc, as in a jail (needs root)
  Bytes argument0;            // argument 0 when not empty; else the program's path
};

// Runs program with the arguments (argument 0 is set to program).
RunResult RunProgram(const Bytes& program, const std::vector<Bytes>& arguments,
                     const RunOptions& options = RunOptions());

// Puts a copy of the program under test into directory and returns its path.
Bytes CopyProgram(const Bytes& program, const Bytes& directory, ByteView name = "logharvest");

// A successful run: silent, exit code 0.
#define EXPECT_QUIET_SUCCESS(result) \
  do {                               \
    const RunResult& r_ = (result);  \
    EXPECT_EQ(r_.exit_code, 0);      \
    EXPECT_EQ(r_.out, "");           \
    EXPECT_EQ(r_.err, "");           \
  } while (false)
