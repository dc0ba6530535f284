#pragma once

#include <cstdlib>
#include <vector>

#include "platform/platform.h"

// A platform that hands the process's facts to another one: a test's
// platform derives from it and implements the file operations it watches or
// changes, forwarding them itself.
class ForwardingPlatform : public Platform {
 public:
  explicit ForwardingPlatform(Platform& base) : base_(base) {}

  Bytes ProgramPath() override { return base_.ProgramPath(); }
  std::vector<Bytes> Arguments() override { return base_.Arguments(); }
  PathStyle Style() override { return base_.Style(); }
  bool NamesAreCaseSensitive() override { return base_.NamesAreCaseSensitive(); }
  bool NamesAreUtf8() override { return base_.NamesAreUtf8(); }
  bool MayBeWrittenUnseen(FileHandle file) override { return base_.MayBeWrittenUnseen(file); }
  Bytes NameToUtf8(ByteView name) override { return base_.NameToUtf8(name); }
  ByteView TextLineEnd() override { return base_.TextLineEnd(); }
  Bytes UpperCase(ByteView text) override { return base_.UpperCase(text); }
  const void* ImageBase(const void* address) override { return base_.ImageBase(address); }
  [[noreturn]] void Exit(int code) override {
    base_.Exit(code);
    std::abort();
  }
  FileHandle StandardOutput() override { return base_.StandardOutput(); }
  void FindEnd(FindHandle find) override { base_.FindEnd(find); }
  int CreateLike(const Bytes& path, FileHandle model, FileHandle* file) override {
    return base_.CreateLike(path, model, file);
  }
  int CopyRange(FileHandle from, std::int64_t offset, std::int64_t length, FileHandle to, std::int64_t* done) override {
    return base_.CopyRange(from, offset, length, to, done);
  }
  int ReplaceOpenFile(FileHandle file, const Bytes& path, const FileIdentity& expected, FileHandle replacement,
                      const Bytes& replacement_path) override {
    return base_.ReplaceOpenFile(file, path, expected, replacement, replacement_path);
  }

 protected:
  Platform& base_;
};
