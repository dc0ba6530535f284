#pragma once

#include <cstdint>

#include "common/bytes.h"
#include "platform/platform.h"

// Command-line argument n: 0 is the program file's full path; 1, 2, ... are
// the arguments, empty when there is no such argument.
Bytes ArgumentAt(int n);

// A copy of text with every byte upper-cased under the user's locale.
Bytes UpperCaseLocale(ByteView text);

// An entry that is not a directory exists at path. A path that ends in a
// separator never names a file.
bool IsExistingFile(const Bytes& path);

// A directory exists at path. The empty path is not one.
bool IsExistingDirectory(const Bytes& path);

// Enumerate the entries that match pattern, skipping those that have one of
// the attributes hidden, system, volume label or directory that mask lacks.
// Each returns 0 and fills entry, or the platform's code when no entry is
// left. After FirstMatchingEntry returned 0, the caller ends the walk with
// Os().FindEnd(*find).
int FirstMatchingEntry(const Bytes& pattern, std::uint32_t mask, FindHandle* find, FoundEntry* entry);
int NextMatchingEntry(FindHandle find, std::uint32_t mask, FoundEntry* entry);

// Ends a directory walk however the caller leaves it.
struct WalkGuard {
  WalkGuard() = default;
  WalkGuard(const WalkGuard&) = delete;
  WalkGuard& operator=(const WalkGuard&) = delete;
  ~WalkGuard() {
    if (find != nullptr) Os().FindEnd(find);
  }
  FindHandle find = nullptr;
};

// Asks the platform to delete the file; the outcome is not reported.
void DeleteFileAt(const Bytes& path);

// Deletes the file at path only when it is still the file identity was
// taken of, unchanged: a file renamed over it, or written since, stays.
void DeleteFileIfUnchanged(const Bytes& path, const FileIdentity& identity);
