#include "memory_world.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "logcomment/code_page.h"
#include "platform/paths.h"

namespace {

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

MemoryWorld::MemoryWorld(PathStyle style) : style_(style), root_(style == PathStyle::kPosix ? "/w/" : "C:\\w\\") {
  MakeDirectory(root_.substr(0, root_.size() - 1));
  MakeDirectory(root_ + "bin");
  output_ = NewInode(false);
  OpenStandardOutput();
}

char MemoryWorld::Separator() const { return style_ == PathStyle::kPosix ? '/' : '\\'; }

Bytes MemoryWorld::Key(ByteView path) const {
  Bytes key(path);
  while (key.size() > 1 && key.back() == Separator()) key.pop_back();
  if (style_ == PathStyle::kWindows) {
    for (char& c : key) c = AsciiUpper(c);
  }
  return key;
}

Bytes MemoryWorld::DirectoryOf(ByteView path) const {
  const Bytes key = Key(path);
  const std::size_t at = key.rfind(Separator());
  return at == Bytes::npos ? Bytes() : key.substr(0, at);
}

const MemoryWorld::Entry* MemoryWorld::Find(ByteView path) const {
  const auto found = entries_.find(Key(path));
  return found == entries_.end() ? nullptr : &found->second;
}

MemoryWorld::InodePtr MemoryWorld::NewInode(bool directory) {
  auto inode = std::make_shared<Inode>();
  inode->index = next_index_++;
  inode->directory = directory;
  Touch(*inode);
  return inode;
}

std::int64_t MemoryWorld::SizeOf(const Inode& inode) const {
  std::int64_t zeros = 0;
  if (!inode.holes.empty()) zeros = inode.holes.rbegin()->second.zeros_before + inode.holes.rbegin()->second.length;
  return std::max(static_cast<std::int64_t>(inode.data.size()) + zeros, inode.sparse_size);
}

void MemoryWorld::NoteNameChange(const Bytes& key) {
  if (!changed_names_.insert(key).second) return;
  const auto found = entries_.find(key);
  if (found != entries_.end()) durable_entries_[key] = found->second;
}

// --- what the test and other programs do ---

void MemoryWorld::Write(const Bytes& path, ByteView bytes) {
  if (const Entry* entry = Find(path)) {
    if (entry->inode->directory) throw std::logic_error("a directory: " + path);
    entry->inode->data.assign(bytes.data(), bytes.size());
    entry->inode->sparse_size = 0;
    entry->inode->holes.clear();
    Touch(*entry->inode);
    entry->inode->durable_data = entry->inode->data;
    entry->inode->durable_cut = -1;
    return;
  }
  if (Find(DirectoryOf(path)) == nullptr) throw std::logic_error("no directory for " + path);
  InodePtr inode = NewInode(false);
  inode->data.assign(bytes.data(), bytes.size());
  inode->durable_data = inode->data;
  const Bytes key = Key(path);
  entries_[key] = Entry{path, inode};
  changed_names_.erase(key);
  durable_entries_.erase(key);
}

void MemoryWorld::Append(const Bytes& path, ByteView bytes) {
  Write(path, (Exists(path) ? Read(path) : Bytes()) + Bytes(bytes));
}

Bytes MemoryWorld::Read(const Bytes& path) const {
  const Entry* entry = Find(path);
  if (entry == nullptr || entry->inode->directory) throw std::logic_error("no file " + path);
  return entry->inode->data;
}

bool MemoryWorld::Exists(const Bytes& path) const { return Find(path) != nullptr; }

void MemoryWorld::MakeDirectory(const Bytes& path) {
  const Bytes key = Key(path);
  if (entries_.count(key) != 0) throw std::logic_error("exists: " + path);
  entries_[key] = Entry{key == Key(root_) ? Key(root_) : Bytes(path), NewInode(true)};
  changed_names_.erase(key);
  durable_entries_.erase(key);
}

void MemoryWorld::RenameOver(const Bytes& from, const Bytes& to) {
  const auto found = entries_.find(Key(from));
  if (found == entries_.end()) throw std::logic_error("no file " + from);
  Entry moved{to, found->second.inode};
  entries_.erase(found);
  changed_names_.erase(Key(from));
  durable_entries_.erase(Key(from));
  entries_[Key(to)] = moved;
  changed_names_.erase(Key(to));
  durable_entries_.erase(Key(to));
}

void MemoryWorld::Delete(const Bytes& path) {
  if (entries_.erase(Key(path)) == 0) throw std::logic_error("no file " + path);
  changed_names_.erase(Key(path));
  durable_entries_.erase(Key(path));
}

void MemoryWorld::MakeUnopenable(const Bytes& path, int error) {
  const Entry* entry = Find(path);
  if (entry == nullptr) throw std::logic_error("no file " + path);
  entry->inode->open_error = error;
}

void MemoryWorld::MakeUndeletable(const Bytes& path, int error) {
  const Entry* entry = Find(path);
  if (entry == nullptr) throw std::logic_error("no file " + path);
  entry->inode->remove_error = error;
}

void MemoryWorld::SetUnseenWriter(const Bytes& path, bool writing) {
  const Entry* entry = Find(path);
  if (entry == nullptr) throw std::logic_error("no file " + path);
  entry->inode->unseen_writer = writing;
}

void MemoryWorld::HoldForReading(const Bytes& path, bool holding) {
  const Entry* entry = Find(path);
  if (entry == nullptr) throw std::logic_error("no file " + path);
  entry->inode->held_by_reader = holding;
}

void MemoryWorld::SetReaders(const Bytes& path, std::uint32_t readers) {
  const Entry* entry = Find(path);
  if (entry == nullptr) throw std::logic_error("no file " + path);
  entry->inode->readers = readers;
}

std::uint32_t MemoryWorld::ReadersOf(const Bytes& path) const {
  const Entry* entry = Find(path);
  if (entry == nullptr) throw std::logic_error("no file " + path);
  return entry->inode->readers;
}

int MemoryWorld::HoldForAppending(const Bytes& path) {
  const Entry* entry = Find(path);
  if (entry == nullptr) throw std::logic_error("no file " + path);
  if (style_ == PathStyle::kWindows && IsOpenForWriting(path)) return -1;
  ++entry->inode->foreign_writers;
  holders_[next_holder_] = Holder{entry->inode, false};
  return next_holder_++;
}

void MemoryWorld::AppendThrough(int holder, ByteView bytes) {
  Inode& inode = *holders_.at(holder).inode;
  inode.data.append(bytes.data(), bytes.size());
  inode.durable_data = inode.data;
  inode.durable_cut = -1;
  Touch(inode);
}

bool MemoryWorld::HoldsFileAt(int holder, const Bytes& path) const {
  const Entry* entry = Find(path);
  return entry != nullptr && entry->inode == holders_.at(holder).inode;
}

bool MemoryWorld::HeldFileReplacedByRun(int holder) const { return holders_.at(holder).replaced; }

void MemoryWorld::LetGo(int holder) {
  const auto found = holders_.find(holder);
  if (found == holders_.end()) return;
  --found->second.inode->foreign_writers;
  holders_.erase(found);
}

void MemoryWorld::PinForNextOpen(const Bytes& path) {
  const Entry* entry = Find(path);
  if (entry == nullptr) throw std::logic_error("no file " + path);
  pinned_key_ = Key(path);
  pinned_ = entry->inode;
}

void MemoryWorld::WriteWithHoles(const Bytes& path, const std::vector<DataThenHole>& pieces) {
  Bytes data;
  std::map<std::int64_t, Inode::Hole> holes;
  std::int64_t zeros = 0;
  for (const DataThenHole& piece : pieces) {
    if (piece.hole < 0) throw std::logic_error("a hole of negative length");
    data += piece.data;
    if (piece.hole == 0) continue;
    const std::int64_t at = static_cast<std::int64_t>(data.size()) + zeros;
    if (!holes.empty() && holes.rbegin()->first + holes.rbegin()->second.length == at) {
      holes.rbegin()->second.length += piece.hole;  // two holes with no data between are one
    } else {
      holes[at] = Inode::Hole{piece.hole, zeros};
    }
    zeros += piece.hole;
  }
  Write(path, data);
  Find(path)->inode->holes = holes;
}

void MemoryWorld::MakeSparse(const Bytes& path, std::int64_t size, char fill) {
  const Entry* entry = Find(path);
  if (entry == nullptr) throw std::logic_error("no file " + path);
  if (!entry->inode->holes.empty()) throw std::logic_error("a fill after holes: " + path);
  entry->inode->sparse_size = size;
  entry->inode->fill = fill;
  Touch(*entry->inode);
}

std::vector<Bytes> MemoryWorld::Names(const Bytes& directory) const {
  std::vector<Bytes> names;
  const Bytes key = Key(directory);
  for (const auto& [entry_key, entry] : entries_) {
    if (entry_key.size() > key.size() && entry_key.compare(0, key.size(), key) == 0 &&
        entry_key[key.size()] == Separator() && entry_key.find(Separator(), key.size() + 1) == Bytes::npos) {
      names.push_back(entry.path.substr(entry.path.rfind(Separator()) + 1));
    }
  }
  return names;
}

bool MemoryWorld::IsOpenForWriting(const Bytes& path) const {
  const Entry* entry = Find(path);
  if (entry == nullptr) return false;
  for (const auto& [handle, file] : open_) {
    if (file.writing && file.inode == entry->inode) return true;
  }
  return false;
}

// --- durability ---

const Bytes* MemoryWorld::ContentOf(FileHandle file) const {
  const auto found = open_.find(file);
  return found == open_.end() ? nullptr : &found->second.inode->data;
}

void MemoryWorld::LosePower(PowerLoss model, const std::function<std::size_t(std::size_t)>& keep_unsynced) {
  if (model == PowerLoss::kNone) return;
  for (const Bytes& key : changed_names_) {
    const auto durable = durable_entries_.find(key);
    const auto now = entries_.find(key);
    if (durable == durable_entries_.end()) {
      entries_.erase(key);  // created since the directory's last sync
    } else if (model == PowerLoss::kNothingDurableUntilSynced) {
      entries_[key] = durable->second;
    } else if (renamed_over_.count(key) != 0) {
      continue;  // the run's rename, durable at once
    } else if (now != entries_.end() && now->second.inode != durable->second.inode) {
      entries_.erase(now);  // removed, which stays, then created again, which does not
    }
  }
  changed_names_.clear();
  durable_entries_.clear();
  renamed_over_.clear();
  for (auto& [key, entry] : entries_) {
    Inode& inode = *entry.inode;
    if (inode.directory) continue;
    // What is left is the synced data (or, where the data only added to it,
    // the synced data and the unsynced bytes kept), then cut where a cut is
    // durable: a start of the data or of the synced data, so that data that
    // only grew is not copied.
    const std::size_t synced = inode.durable_data.size();
    const bool added = inode.data.size() >= synced && inode.data.compare(0, synced, inode.durable_data) == 0;
    std::size_t left = synced;
    if (keep_unsynced && added && inode.data.size() > synced) {
      left += std::min(keep_unsynced(inode.data.size() - synced), inode.data.size() - synced);
    }
    if (model == PowerLoss::kRemovalsDurableAtOnce && inode.durable_cut >= 0 &&
        inode.durable_cut < static_cast<std::int64_t>(left)) {
      left = static_cast<std::size_t>(inode.durable_cut);
    }
    if (!added || left != inode.data.size()) Touch(inode);
    if (added) {
      inode.data.resize(left);
      inode.durable_data.resize(std::min(synced, left));
      inode.durable_data.append(inode.data, inode.durable_data.size(), Bytes::npos);
    } else {
      inode.data.assign(inode.durable_data, 0, left);
      inode.durable_data.resize(left);
    }
    inode.durable_cut = -1;
  }
}

bool MemoryWorld::DurableContent(const Bytes& path, Bytes* data) const {
  const Bytes key = Key(path);
  const Entry* entry = Find(path);
  if (changed_names_.count(key) != 0) {
    const auto durable = durable_entries_.find(key);
    entry = durable == durable_entries_.end() ? nullptr : &durable->second;
  }
  if (entry == nullptr || entry->inode->directory) return false;
  *data = entry->inode->durable_data;
  return true;
}

// --- the process ---

void MemoryWorld::Kill() { killed_ = true; }

void MemoryWorld::Restart() {
  killed_ = false;
  open_.clear();
  walks_.clear();
  open_files = 0;
  open_walks = 0;
  OpenStandardOutput();
}

Bytes MemoryWorld::ProgramPath() {
  return program_path.empty() ? root_ + "bin" + Separator() + "logharvest" : program_path;
}

std::vector<Bytes> MemoryWorld::Arguments() { return arguments; }

Bytes MemoryWorld::NameToUtf8(ByteView name) {
  return style_ == PathStyle::kPosix ? Bytes(name) : Windows1251ToUtf8(name);
}

Bytes MemoryWorld::UpperCase(ByteView text) {
  Bytes upper(text);
  for (char& c : upper) c = AsciiUpper(c);
  return upper;
}

void MemoryWorld::Exit(int) { std::abort(); }

// --- the platform: names ---

bool MemoryWorld::IsExistingFile(const Bytes& path) {
  const Entry* entry = Find(path);
  return !killed_ && entry != nullptr && !entry->inode->directory;
}

bool MemoryWorld::IsExistingDirectory(const Bytes& path) {
  const Entry* entry = Find(path);
  return !killed_ && entry != nullptr && entry->inode->directory;
}

int MemoryWorld::FindFirst(const Bytes& pattern, FindHandle* find, FoundEntry* entry) {
  if (killed_) return kErrorAccessDenied;
  const std::size_t at = pattern.rfind(Separator());
  const Bytes directory = at == Bytes::npos ? Bytes(".") : pattern.substr(0, at);
  const Entry* folder = Find(directory);
  if (folder == nullptr || !folder->inode->directory) return kErrorPathNotFound;
  auto walk = std::make_unique<Walk>();
  const ByteView name_pattern = ByteView(pattern).substr(at == Bytes::npos ? 0 : at + 1);
  for (const Bytes& name : Names(directory)) {
    if (NameMatches(name, name_pattern)) walk->entries.push_back(*Find(directory + Separator() + name));
  }
  // The system ends a walk that found nothing with its own code.
  if (walk->entries.empty()) return style_ == PathStyle::kPosix ? kErrorNoMoreFiles : kErrorFileNotFound;
  Walk* handle = walk.get();
  walks_[handle] = std::move(walk);
  ++open_walks;
  *find = handle;
  return FindNext(handle, entry);
}

int MemoryWorld::FindNext(FindHandle find, FoundEntry* entry) {
  if (killed_) return kErrorAccessDenied;
  Walk& walk = *walks_.at(static_cast<Walk*>(find));
  if (walk.next >= walk.entries.size()) return kErrorNoMoreFiles;
  const Entry& found = walk.entries[walk.next++];
  entry->name = found.path.substr(found.path.rfind(Separator()) + 1);
  entry->attributes = found.inode->directory ? kAttributeDirectory : kAttributeArchive;
  return 0;
}

void MemoryWorld::FindEnd(FindHandle find) {
  if (walks_.erase(static_cast<Walk*>(find)) != 0) --open_walks;
}

int MemoryWorld::Remove(const Bytes& path) {
  if (killed_) return kErrorAccessDenied;
  const Entry* entry = Find(path);
  if (entry == nullptr) return kErrorFileNotFound;
  if (entry->inode->directory) return kErrorAccessDenied;
  if (entry->inode->remove_error != 0) return entry->inode->remove_error;
  const Bytes key = Key(path);
  NoteNameChange(key);
  entries_.erase(key);
  return 0;
}

int MemoryWorld::RemoveIfUnchanged(const Bytes& path, const FileIdentity& identity) {
  FileIdentity now;
  const int error = IdentityAt(path, &now);
  if (error != 0) return error;
  return now == identity ? Remove(path) : kErrorFileChanged;
}

int MemoryWorld::IdentityAt(const Bytes& path, FileIdentity* identity) {
  if (killed_) return kErrorAccessDenied;
  const Entry* entry = Find(path);
  if (entry == nullptr) return kErrorFileNotFound;
  identity->device = 1;
  identity->index = entry->inode->index;
  identity->size = SizeOf(*entry->inode);
  identity->time = entry->inode->time;
  identity->may_have_holes = !entry->inode->holes.empty();
  return 0;
}

int MemoryWorld::SyncDirectory(const Bytes& path) {
  if (killed_) return kErrorAccessDenied;
  const Bytes directory = Key(path.empty() ? Bytes(".") : path);
  if (!IsExistingDirectory(directory)) return kErrorFileNotFound;
  for (auto key = changed_names_.begin(); key != changed_names_.end();) {
    if (DirectoryOf(*key) == directory) {
      durable_entries_.erase(*key);
      renamed_over_.erase(*key);
      key = changed_names_.erase(key);
    } else {
      ++key;
    }
  }
  return 0;
}
