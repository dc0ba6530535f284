// The in-memory world's open files: what the run reads, writes and syncs
// through its handles.

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "memory_world.h"

// --- the platform: open files ---

void MemoryWorld::OpenStandardOutput() {
  OpenFile output;
  output.inode = output_;
  output.writing = output.appending = output.device = true;
  open_[kStandardOutput] = output;
}

MemoryWorld::OpenFile* MemoryWorld::Handle(FileHandle file) {
  if (killed_) return nullptr;
  const auto found = open_.find(file);
  return found == open_.end() ? nullptr : &found->second;
}

int MemoryWorld::Open(const Bytes& path, OpenMode mode, FileHandle* file) {
  if (killed_) return kErrorAccessDenied;
  const Entry* entry = Find(path);
  if (mode == OpenMode::kCreate) {
    if (entry != nullptr) return kErrorFileExists;
    if (!IsExistingDirectory(DirectoryOf(path))) return kErrorPathNotFound;
    const Bytes key = Key(path);
    NoteNameChange(key);
    InodePtr inode = NewInode(false);
    entries_[key] = Entry{path, inode};
    entry = &entries_[key];
  }
  if (entry == nullptr) {
    const Bytes directory = DirectoryOf(path);
    return directory.empty() || IsExistingDirectory(directory) ? kErrorFileNotFound : kErrorPathNotFound;
  }
  if (entry->inode->directory) return kErrorAccessDenied;
  if (entry->inode->open_error != 0) return entry->inode->open_error;
  // Windows: another program's handle open for writing shares no writing.
  if (style_ == PathStyle::kWindows && mode != OpenMode::kRead && entry->inode->foreign_writers > 0) {
    return kErrorSharingViolation;
  }
  OpenFile open;
  open.inode = entry->inode;
  if (pinned_ && mode != OpenMode::kRead && Key(path) == pinned_key_) open.inode = pinned_;
  if (mode != OpenMode::kRead) pinned_.reset();
  open.writing = mode != OpenMode::kRead;
  open.appending = open.writing && style_ == PathStyle::kPosix;
  *file = next_handle_++;
  open_[*file] = open;
  ++open_files;
  return 0;
}

int MemoryWorld::Read(FileHandle file, char* buffer, std::size_t size, std::size_t* done) {
  *done = 0;
  OpenFile* open = Handle(file);
  if (open == nullptr) return kErrorAccessDenied;
  const Inode& inode = *open->inode;
  const std::int64_t end = SizeOf(inode);
  if (open->position >= end) return 0;
  const std::size_t count = static_cast<std::size_t>(
      std::min<std::int64_t>(static_cast<std::int64_t>(std::min(size, read_limit)), end - open->position));
  for (std::size_t n = 0; n < count;) {
    // Where the byte at lies: in a hole, or at data_at of the data.
    const std::int64_t at = open->position + static_cast<std::int64_t>(n);
    std::int64_t data_at = at;
    std::int64_t run_end = end;  // of the hole or the run of data
    bool in_hole = false;
    const auto next = inode.holes.upper_bound(at);
    if (next != inode.holes.end()) run_end = next->first;
    if (next != inode.holes.begin()) {
      const auto& [hole_at, hole] = *std::prev(next);
      in_hole = at < hole_at + hole.length;
      if (in_hole) run_end = hole_at + hole.length;
      data_at = at - hole.zeros_before - hole.length;
    }
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(count - n), run_end - at));
    const std::size_t held = static_cast<std::size_t>(data_at);
    const std::size_t from_data = in_hole || held >= inode.data.size() ? 0 : std::min(take, inode.data.size() - held);
    if (from_data > 0) std::memcpy(buffer + n, inode.data.data() + held, from_data);
    std::memset(buffer + n + from_data, in_hole ? 0 : inode.fill, take - from_data);
    n += take;
  }
  open->position += static_cast<std::int64_t>(count);
  bytes_read += static_cast<std::int64_t>(count);
  *done = count;
  return 0;
}

int MemoryWorld::Write(FileHandle file, const char* data, std::size_t size, std::size_t* done) {
  *done = 0;
  OpenFile* open = Handle(file);
  if (open == nullptr || !open->writing) return kErrorAccessDenied;
  Inode& inode = *open->inode;
  if (!inode.holes.empty()) throw std::logic_error("the run writes to a file with holes");
  if (open->appending) open->position = SizeOf(inode);
  const std::size_t at = static_cast<std::size_t>(open->position);
  // A write into a sparse file's fill makes the fill before it real.
  if (inode.data.size() < at && inode.sparse_size > 0) {
    inode.data.resize(static_cast<std::size_t>(std::min<std::int64_t>(inode.sparse_size, open->position)), inode.fill);
  }
  if (inode.data.size() < at + size) inode.data.resize(at + size);
  if (size > 0) std::memcpy(&inode.data[at], data, size);
  open->position += static_cast<std::int64_t>(size);
  Touch(inode);
  *done = size;
  return 0;
}

int MemoryWorld::Seek(FileHandle file, std::int64_t offset, SeekOrigin origin, std::int64_t* position) {
  OpenFile* open = Handle(file);
  if (open == nullptr) return kErrorAccessDenied;
  const std::int64_t base = origin == SeekOrigin::kBegin     ? 0
                            : origin == SeekOrigin::kCurrent ? open->position
                                                             : SizeOf(*open->inode);
  if (base + offset < 0) return kErrorInvalidParameter;
  open->position = base + offset;
  if (position != nullptr) *position = open->position;
  return 0;
}

int MemoryWorld::DataRange(FileHandle file, std::int64_t from, std::int64_t* start, std::int64_t* end) {
  OpenFile* open = Handle(file);
  if (open == nullptr) return kErrorAccessDenied;
  ++data_range_calls;
  const Inode& inode = *open->inode;
  const std::int64_t size = SizeOf(inode);
  std::int64_t at = from;
  const auto next = inode.holes.upper_bound(from);
  if (next != inode.holes.begin()) at = std::max(at, std::prev(next)->first + std::prev(next)->second.length);
  if (at >= size) {
    *start = *end = std::max(from, size);
  } else {
    *start = at;
    *end = next == inode.holes.end() ? size : next->first;
  }
  open->position = *start;
  return 0;
}

int MemoryWorld::Truncate(FileHandle file) {
  OpenFile* open = Handle(file);
  if (open == nullptr || !open->writing) return kErrorAccessDenied;
  Inode& inode = *open->inode;
  if (!inode.holes.empty()) throw std::logic_error("the run cuts a file with holes");
  const std::int64_t at = open->position;
  if (at < SizeOf(inode) && (inode.durable_cut < 0 || at < inode.durable_cut)) inode.durable_cut = at;
  inode.sparse_size = std::min(inode.sparse_size, at);
  // A cut of a sparse file keeps only the bytes held; any other file is cut
  // or lengthened with zero bytes to the position, as the systems do.
  if (inode.sparse_size == 0 || at < static_cast<std::int64_t>(inode.data.size())) {
    inode.data.resize(static_cast<std::size_t>(at));
  }
  Touch(inode);
  return 0;
}

int MemoryWorld::Size(FileHandle file, std::int64_t* size) {
  OpenFile* open = Handle(file);
  if (open == nullptr) return kErrorAccessDenied;
  *size = SizeOf(*open->inode);
  return 0;
}

int MemoryWorld::Kind(FileHandle file, HandleKind* kind) {
  const OpenFile* open = Handle(file);
  if (open == nullptr) return kErrorAccessDenied;
  *kind = open->device ? HandleKind::kCharacter : HandleKind::kDisk;
  return 0;
}

int MemoryWorld::Identify(FileHandle file, FileIdentity* identity) {
  OpenFile* open = Handle(file);
  if (open == nullptr) return kErrorAccessDenied;
  identity->device = 1;
  identity->index = open->inode->index;
  identity->size = SizeOf(*open->inode);
  identity->time = open->inode->time;
  identity->may_have_holes = !open->inode->holes.empty();
  return 0;
}

bool MemoryWorld::MayBeWrittenUnseen(FileHandle file) {
  OpenFile* open = Handle(file);
  return open != nullptr && open->inode->unseen_writer;
}

int MemoryWorld::Sync(FileHandle file) {
  OpenFile* open = Handle(file);
  if (open == nullptr) return kErrorAccessDenied;
  Inode& inode = *open->inode;
  // Most syncs follow appends: only the bytes after what was synced are copied.
  const std::size_t synced = inode.durable_data.size();
  if (synced <= inode.data.size() && inode.data.compare(0, synced, inode.durable_data) == 0) {
    inode.durable_data.append(inode.data, synced, Bytes::npos);
  } else {
    inode.durable_data = inode.data;
  }
  inode.durable_cut = -1;
  return 0;
}

int MemoryWorld::Close(FileHandle file) {
  const OpenFile* open = Handle(file);
  if (open == nullptr) return kErrorAccessDenied;
  if (!open->device) --open_files;
  open_.erase(file);
  return 0;
}

// The new file may be read by whom the model may be read by, from its
// first moment on.
int MemoryWorld::CreateLike(const Bytes& path, FileHandle model, FileHandle* file) {
  const OpenFile* from = Handle(model);
  if (from == nullptr) return kErrorAccessDenied;
  const std::uint32_t readers = from->inode->readers;
  const int error = Open(path, OpenMode::kCreate, file);
  if (error != 0) return error;
  OpenFile& made = open_[*file];
  made.inode->readers = readers;
  made.appending = false;
  return 0;
}

int MemoryWorld::CopyRange(FileHandle from, std::int64_t offset, std::int64_t length, FileHandle to,
                           std::int64_t* done) {
  *done = 0;
  OpenFile* source = Handle(from);
  if (source == nullptr || Handle(to) == nullptr) return kErrorAccessDenied;
  if (!copies_in_kernel) return kErrorNotImplemented;
  const std::int64_t kept = source->position;
  source->position = offset;
  char buffer[64 * 1024];
  int error = 0;
  while (error == 0 && *done < length) {
    std::size_t got = 0;
    error = Read(from, buffer, static_cast<std::size_t>(std::min<std::int64_t>(sizeof buffer, length - *done)), &got);
    if (error != 0 || got == 0) break;
    std::size_t put = 0;
    error = Write(to, buffer, got, &put);
    *done += static_cast<std::int64_t>(put);
  }
  source->position = kept;
  return error;
}

int MemoryWorld::ReplaceOpenFile(FileHandle file, const Bytes& path, const FileIdentity& expected,
                                 FileHandle replacement, const Bytes& replacement_path) {
  const OpenFile* old = Handle(file);
  const OpenFile* fresh = Handle(replacement);
  const Entry* entry = Find(path);
  const Entry* moved = Find(replacement_path);
  FileIdentity now;
  int error = 0;
  if (old == nullptr || fresh == nullptr) {
    error = kErrorAccessDenied;
  } else if (entry == nullptr || entry->inode != old->inode || IdentityAt(path, &now) != 0 || now != expected) {
    error = kErrorFileChanged;
  } else if (style_ == PathStyle::kWindows && entry->inode->held_by_reader) {
    error = kErrorSharingViolation;
  } else if (style_ == PathStyle::kPosix && !grants_leases) {
    error = kErrorInvalidParameter;  // no lease: writers could not be seen
  } else if (entry->inode->foreign_writers > 0) {
    error = kErrorSharingViolation;  // POSIX: the lease is refused; Windows: the guard's open
  } else if (entry->inode->remove_error != 0) {
    error = entry->inode->remove_error;  // a name the run may not remove it may not rename over
  } else if (moved == nullptr || moved->inode != fresh->inode) {
    error = kErrorFileNotFound;
  }
  if (error == 0) {
    replaced.push_back(old->inode->data);
    for (auto& [id, holder] : holders_) holder.replaced = holder.replaced || holder.inode == old->inode;
    const Bytes key = Key(path);
    NoteNameChange(key);
    NoteNameChange(Key(replacement_path));
    renamed_over_.insert(key);
    const InodePtr inode = fresh->inode;
    entries_[key] = Entry{entry->path, inode};
    entries_.erase(Key(replacement_path));
  }
  if (old != nullptr) Close(file);
  if (fresh != nullptr) Close(replacement);
  return error;
}
