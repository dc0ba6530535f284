#include "platform/queries.h"

#include "platform/paths.h"

namespace {

constexpr ByteView kLogPattern = "*.log";

// Ends a walk however the caller leaves it.
struct FindGuard {
  FindGuard() = default;
  FindGuard(const FindGuard&) = delete;
  FindGuard& operator=(const FindGuard&) = delete;
  ~FindGuard() {
    if (find != nullptr) Os().FindEnd(find);
  }
  FindHandle find = nullptr;
};

}  // namespace

Bytes ArgumentAt(int n) {
  if (n == 0) return Os().ProgramPath();
  const std::vector<Bytes> arguments = Os().Arguments();
  return static_cast<std::size_t>(n) <= arguments.size() ? arguments[static_cast<std::size_t>(n) - 1] : Bytes();
}

Bytes UpperCaseLocale(ByteView text) { return Os().UpperCase(text); }

bool IsExistingFile(const Bytes& path) {
  if (path.empty() || path.back() == SeparatorOf(Os().Style())) return false;
  return Os().IsExistingFile(path);
}

bool IsExistingDirectory(const Bytes& path) { return !path.empty() && Os().IsExistingDirectory(path); }

bool DirectoryWalk::Walk(ByteView pattern, const std::function<bool(const FoundEntry&)>& visit) {
  FindGuard guard;
  FoundEntry entry;
  int error = Os().FindFirst(directory_ + Bytes(pattern), &guard.find, &entry);
  if (error != 0) {
    guard.find = nullptr;  // the platform sets it only on success
    return error == kErrorNoMoreFiles || error == kErrorFileNotFound;
  }
  do {
    // Only the name part of an entry is its name.
    entry.name = NamePart(entry.name);
    if (!visit(entry)) return false;
  } while ((error = Os().FindNext(guard.find, &entry)) == 0);
  return error == kErrorNoMoreFiles;
}

void DirectoryWalk::ForEachEntry(const std::function<bool(const FoundEntry&)>& visit) {
  kept_.clear();
  bool keeping = true;
  const bool whole = Walk("*", [&](const FoundEntry& entry) {
    if (keeping && IsLogName(entry.name)) {
      if (kept_.size() < max_log_names_) {
        kept_.push_back(entry.name);
      } else {
        keeping = false;
        std::vector<Bytes>().swap(kept_);
      }
    }
    return visit(entry);
  });
  kept_all_ = whole && keeping;
}

void DirectoryWalk::ForEachLog(const std::function<bool(const Bytes&)>& visit) {
  if (kept_all_) {
    kept_all_ = false;
    const std::vector<Bytes> names = std::move(kept_);
    kept_.clear();
    for (const Bytes& name : names) {
      if (!visit(name)) return;
    }
    return;
  }
  Walk(kLogPattern, [&](const FoundEntry& entry) { return !IsLogName(entry.name) || visit(entry.name); });
}

int DeleteFileIfUnchanged(const Bytes& path, const FileIdentity& identity) {
  const int error = Os().RemoveIfUnchanged(path, identity);
  return error == kErrorFileNotFound ? 0 : error;
}
