#include "fault_platform.h"

#include "app/harvest.h"
#include "common/exception.h"
#include "common/io_result.h"

bool FaultPlatform::Fails(const char* operation) {
  ++calls;
  if (calls != fail_at) return false;
  failed = true;
  failed_operation = operation;
  return true;
}

void FaultPlatform::After() {
  if (after_call) after_call(calls);
}

bool FaultPlatform::IsExistingFile(const Bytes& path) {
  const bool result = !Fails("IsExistingFile") && base_.IsExistingFile(path);
  After();
  return result;
}

bool FaultPlatform::IsExistingDirectory(const Bytes& path) {
  const bool result = !Fails("IsExistingDirectory") && base_.IsExistingDirectory(path);
  After();
  return result;
}

int FaultPlatform::FindFirst(const Bytes& pattern, FindHandle* find, FoundEntry* entry) {
  const int result = Fails("FindFirst") ? fail_code : base_.FindFirst(pattern, find, entry);
  if (result == 0) ++open_walks;
  After();
  return result;
}

int FaultPlatform::FindNext(FindHandle find, FoundEntry* entry) {
  const int result = Fails("FindNext") ? fail_code : base_.FindNext(find, entry);
  After();
  return result;
}

void FaultPlatform::FindEnd(FindHandle find) {
  --open_walks;
  base_.FindEnd(find);
}

int FaultPlatform::Remove(const Bytes& path) {
  const int result = Fails("Remove") ? fail_code : base_.Remove(path);
  if (result == 0) last_remove = calls;
  After();
  return result;
}

int FaultPlatform::IdentityAt(const Bytes& path, FileIdentity* identity) {
  const int result = Fails("IdentityAt") ? fail_code : base_.IdentityAt(path, identity);
  After();
  return result;
}

int FaultPlatform::SyncDirectory(const Bytes& path) {
  const int result = Fails("SyncDirectory") ? fail_code : base_.SyncDirectory(path);
  After();
  return result;
}

int FaultPlatform::Open(const Bytes& path, OpenMode mode, FileHandle* file) {
  const int result = Fails(mode == OpenMode::kRead ? "Open for reading" : "Open for writing")
                         ? fail_code
                         : base_.Open(path, mode, file);
  if (result == 0) ++open_files;
  After();
  return result;
}

int FaultPlatform::Read(FileHandle file, char* buffer, std::size_t size, std::size_t* done) {
  const int result = Fails("Read") ? fail_code : base_.Read(file, buffer, size, done);
  After();
  return result;
}

int FaultPlatform::Write(FileHandle file, const char* data, std::size_t size, std::size_t* done) {
  int result;
  if (!Fails("Write")) {
    result = base_.Write(file, data, size, done);
  } else if (short_write) {
    result = base_.Write(file, data, size / 2, done);
  } else {
    *done = 0;
    result = fail_code;
  }
  After();
  return result;
}

int FaultPlatform::Seek(FileHandle file, std::int64_t offset, SeekOrigin origin, std::int64_t* position) {
  const int result = Fails("Seek") ? fail_code : base_.Seek(file, offset, origin, position);
  After();
  return result;
}

int FaultPlatform::DataRange(FileHandle file, std::int64_t from, std::int64_t* start, std::int64_t* end) {
  const int result = Fails("DataRange") ? fail_code : base_.DataRange(file, from, start, end);
  After();
  return result;
}

int FaultPlatform::Truncate(FileHandle file) {
  const int result = Fails("Truncate") ? fail_code : base_.Truncate(file);
  After();
  return result;
}

int FaultPlatform::Size(FileHandle file, std::int64_t* size) {
  const int result = Fails("Size") ? fail_code : base_.Size(file, size);
  After();
  return result;
}

int FaultPlatform::Kind(FileHandle file, HandleKind* kind) {
  const int result = Fails("Kind") ? fail_code : base_.Kind(file, kind);
  After();
  return result;
}

int FaultPlatform::Identify(FileHandle file, FileIdentity* identity) {
  const int result = Fails("Identify") ? fail_code : base_.Identify(file, identity);
  After();
  return result;
}

int FaultPlatform::Sync(FileHandle file) {
  const int result = Fails("Sync") ? fail_code : base_.Sync(file);
  After();
  return result;
}

int FaultPlatform::Close(FileHandle file) {
  // A failed close still releases the handle, as it does on the platforms.
  const bool fails = Fails("Close");
  const int closed = base_.Close(file);
  --open_files;
  After();
  return fails ? fail_code : closed;
}

int FaultPlatform::CreateLike(const Bytes& path, FileHandle model, FileHandle* file) {
  const int result = Fails("CreateLike") ? fail_code : base_.CreateLike(path, model, file);
  if (result == 0) ++open_files;
  After();
  return result;
}

// A short copy counts as a failed one that copied half.
int FaultPlatform::CopyRange(FileHandle from, std::int64_t offset, std::int64_t length, FileHandle to,
                             std::int64_t* done) {
  int result;
  if (!Fails("CopyRange")) {
    result = base_.CopyRange(from, offset, length, to, done);
  } else if (short_write) {
    result = base_.CopyRange(from, offset, length / 2, to, done);
    if (result == 0) result = fail_code;
  } else {
    *done = 0;
    result = fail_code;
  }
  After();
  return result;
}

int FaultPlatform::ReplaceOpenFile(FileHandle file, const Bytes& path, const FileIdentity& expected,
                                   FileHandle replacement, const Bytes& replacement_path) {
  // A failed replacement still closes both handles, as it does on the platforms.
  int result = 0;
  if (Fails("ReplaceOpenFile")) {
    base_.Close(file);
    base_.Close(replacement);
    result = fail_code;
  } else {
    result = base_.ReplaceOpenFile(file, path, expected, replacement, replacement_path);
  }
  open_files -= 2;
  After();
  return result;
}

int HarvestUnder(FaultPlatform& platform, const Bytes& directory, const RunBounds& windows) {
  platform.arguments = {directory};
  if (platform.program_path.empty()) platform.program_path = directory + "logharvest";
  ScopedPlatform use(platform);
  TakeIoResult();
  try {
    HarvestRun(windows);
  } catch (const EInOutError& failure) {
    return failure.Code();
  }
  return 0;
}
