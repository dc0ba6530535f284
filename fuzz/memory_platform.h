#pragma once

#include <algorithm>
#include <cstdlib>
#include <map>

#include "platform/platform.h"

// A platform whose files live in memory, for the fuzz targets: no disk, no
// state left between inputs. Reads may be cut short to a chosen size, so that
// every way the bytes can arrive is tried.
class MemoryPlatform : public Platform {
 public:
  std::map<Bytes, Bytes> files;
  std::size_t read_limit = static_cast<std::size_t>(-1);  // the most one read returns
  int open_files = 0;

  Bytes ProgramPath() override { return "/bin/logharvest"; }
  std::vector<Bytes> Arguments() override { return {}; }
  PathStyle Style() override { return PathStyle::kPosix; }
  bool NamesAreCaseSensitive() override { return true; }
  ByteView TextLineEnd() override { return "\n"; }
  Bytes UpperCase(ByteView text) override { return Bytes(text); }
  const void* ImageBase(const void*) override { return nullptr; }
  [[noreturn]] void Exit(int) override { std::abort(); }
  bool IsExistingFile(const Bytes& path) override { return files.count(path) != 0; }
  bool IsExistingDirectory(const Bytes&) override { return false; }
  int FindFirst(const Bytes&, FindHandle*, FoundEntry*) override { return kErrorNoMoreFiles; }
  int FindNext(FindHandle, FoundEntry*) override { return kErrorNoMoreFiles; }
  void FindEnd(FindHandle) override {}
  int Remove(const Bytes& path) override { return files.erase(path) != 0 ? 0 : kErrorFileNotFound; }

  int Open(const Bytes& path, OpenMode mode, FileHandle* file) override {
    if (mode == OpenMode::kCreate) files[path].clear();
    const auto found = files.find(path);
    if (found == files.end()) return kErrorFileNotFound;
    open_.push_back({&found->second, 0});
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
  };
  std::vector<OpenFile> open_;
};
