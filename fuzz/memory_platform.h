#pragma once

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>

#include "platform/platform.h"

// A platform whose files live in memory, for the fuzz targets: no disk, no
// state left between inputs. Reads may be cut short to a chosen size, so that
// every way the bytes can arrive is tried.
class MemoryPlatform : public Platform {
 public:
  std::map<Bytes, Bytes> files;
  std::vector<Bytes> arguments;                           // arguments 1, 2, ...
  Bytes directory;                                        // the one directory that exists, ending in "/"
  std::size_t read_limit = static_cast<std::size_t>(-1);  // the most one read returns
  int open_files = 0;

  Bytes ProgramPath() override { return "/bin/logharvest"; }
  std::vector<Bytes> Arguments() override { return arguments; }
  PathStyle Style() override { return PathStyle::kPosix; }
  bool NamesAreCaseSensitive() override { return true; }
  bool NamesAreUtf8() override { return true; }
  Bytes NameToUtf8(ByteView name) override { return Bytes(name); }
  ByteView TextLineEnd() override { return "\n"; }
  Bytes UpperCase(ByteView text) override { return Bytes(text); }
  const void* ImageBase(const void*) override { return nullptr; }
  [[noreturn]] void Exit(int) override { std::abort(); }
  bool IsExistingFile(const Bytes& path) override { return files.count(path) != 0; }
  bool IsExistingDirectory(const Bytes& path) override { return !directory.empty() && path == directory; }
  // The files of the directory, in the map's order: "*" or "*.log" (the
  // suffix without regard to ASCII case), as the run asks for them. A walk
  // sees the names as they were when it started.
  int FindFirst(const Bytes& pattern, FindHandle* find, FoundEntry* entry) override {
    if (directory.empty() || pattern.compare(0, directory.size(), directory) != 0) return kErrorPathNotFound;
    const bool logs_only = pattern.size() > directory.size() + 1;
    walk_.clear();
    for (const auto& [path, data] : files) {
      if (path.compare(0, directory.size(), directory) != 0) continue;
      const Bytes name = path.substr(directory.size());
      if (logs_only && !EndsInLog(name)) continue;
      walk_.push_back(name);
    }
    walk_at_ = 0;
    *find = &walk_;
    return FindNext(*find, entry);
  }
  int FindNext(FindHandle, FoundEntry* entry) override {
    if (walk_at_ >= walk_.size()) return kErrorNoMoreFiles;
    entry->name = walk_[walk_at_++];
    entry->attributes = kAttributeArchive;
    return 0;
  }
  void FindEnd(FindHandle) override {}
  int Remove(const Bytes& path) override { return files.erase(path) != 0 ? 0 : kErrorFileNotFound; }
  int SyncDirectory(const Bytes&) override { return 0; }
  int IdentityAt(const Bytes& path, FileIdentity* identity) override {
    if (files.count(path) == 0) return kErrorFileNotFound;
    *identity = IdentityOf(path);
    return 0;
  }

  int Open(const Bytes& path, OpenMode mode, FileHandle* file) override {
    if (mode == OpenMode::kCreate) files[path].clear();
    const auto found = files.find(path);
    if (found == files.end()) return kErrorFileNotFound;
    open_.push_back({&found->second, 0, path});
    *file = static_cast<FileHandle>(open_.size() - 1);
    ++open_files;
    return 0;
  }
  int Read(FileHandle file, char* buffer, std::size_t size, std::size_t* done) override {
    OpenFile& f = open_[static_cast<std::size_t>(file)];
    const std::size_t left = f.position < f.data->size() ? f.data->size() - f.position : 0;
    *done = std::min({size, read_limit, left});
    std::copy_n(f.data->data() + f.position, *done, buffer);
    f.position += *done;
    return 0;
  }
  int Write(FileHandle file, const char* data, std::size_t size, std::size_t* done) override {
    OpenFile& f = open_[static_cast<std::size_t>(file)];
    if (f.data->size() < f.position + size) f.data->resize(f.position + size);
    std::copy_n(data, size, &(*f.data)[f.position]);
    ++changes_[f.path];
    f.position += size;
    *done = size;
    return 0;
  }
  int Seek(FileHandle file, std::int64_t offset, SeekOrigin origin, std::int64_t* position) override {
    OpenFile& f = open_[static_cast<std::size_t>(file)];
    const std::int64_t base = origin == SeekOrigin::kBegin     ? 0
                              : origin == SeekOrigin::kCurrent ? static_cast<std::int64_t>(f.position)
                                                               : static_cast<std::int64_t>(f.data->size());
    if (base + offset < 0) return kErrorInvalidParameter;
    f.position = static_cast<std::size_t>(base + offset);
    if (position != nullptr) *position = base + offset;
    return 0;
  }
  int Truncate(FileHandle file) override {
    OpenFile& f = open_[static_cast<std::size_t>(file)];
    f.data->resize(f.position);
    ++changes_[f.path];
    return 0;
  }
  int Size(FileHandle file, std::int64_t* size) override {
    *size = static_cast<std::int64_t>(open_[static_cast<std::size_t>(file)].data->size());
    return 0;
  }
  int Kind(FileHandle, HandleKind* kind) override {
    *kind = HandleKind::kDisk;
    return 0;
  }
  int Identify(FileHandle file, FileIdentity* identity) override {
    *identity = IdentityOf(open_[static_cast<std::size_t>(file)].path);
    return 0;
  }
  int Sync(FileHandle) override { return 0; }
  int Close(FileHandle) override {
    --open_files;
    return 0;
  }
  FileHandle StandardOutput() override { return kNoFile; }

 private:
  struct OpenFile {
    Bytes* data;
    std::size_t position;
    Bytes path;
  };
  // A file's index is its path; its time counts the changes made to it.
  FileIdentity IdentityOf(const Bytes& path) {
    FileIdentity identity;
    identity.device = 1;
    identity.index = std::hash<Bytes>()(path);
    identity.size = static_cast<std::int64_t>(files[path].size());
    identity.time = changes_[path];
    return identity;
  }
  static bool EndsInLog(const Bytes& name) {
    if (name.size() < 4) return false;
    Bytes suffix = name.substr(name.size() - 4);
    for (char& c : suffix) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return suffix == ".log";
  }
  std::vector<OpenFile> open_;
  std::map<Bytes, std::int64_t> changes_;
  std::vector<Bytes> walk_;
  std::size_t walk_at_ = 0;
};
