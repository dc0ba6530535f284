#include "platform/queries.h"

#include "platform/paths.h"

namespace {

constexpr std::uint32_t kSkippableAttributes =
    kAttributeHidden | kAttributeSystem | kAttributeVolumeLabel | kAttributeDirectory;

bool IsSkipped(const FoundEntry& entry, std::uint32_t mask) {
  return (entry.attributes & kSkippableAttributes & ~mask) != 0;
}

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

int FirstMatchingEntry(const Bytes& pattern, std::uint32_t mask, FindHandle* find, FoundEntry* entry) {
  int error = Os().FindFirst(pattern, find, entry);
  if (error == 0 && IsSkipped(*entry, mask)) {
    error = NextMatchingEntry(*find, mask, entry);
    if (error != 0) Os().FindEnd(*find);
  }
  return error;
}

int NextMatchingEntry(FindHandle find, std::uint32_t mask, FoundEntry* entry) {
  int error;
  do {
    error = Os().FindNext(find, entry);
  } while (error == 0 && IsSkipped(*entry, mask));
  return error;
}

void DeleteFileAt(const Bytes& path) { Os().Remove(path); }

void DeleteFileIfUnchanged(const Bytes& path, const FileIdentity& identity) {
  FileIdentity now;
  if (Os().IdentityAt(path, &now) == 0 && now == identity) Os().Remove(path);
}
