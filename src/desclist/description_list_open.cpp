// Opening the list (description_list.h): its spelling, its lock, its tail.

#include <algorithm>

#include "common/io_result.h"
#include "desclist/description_list.h"
#include "platform/paths.h"
#include "textfile/line_file_read.h"

namespace {

constexpr ByteView kBbsListName = "Files.bbs";
constexpr ByteView kFileManagerListName = "Descript.ion";

// The spelling of a new list. Where names differ by letter case, readers
// open the list in lower case only, so that is the spelling given to it.
Bytes NewListName(ListKind kind) {
  const ByteView name = kind == ListKind::kBulletinBoard ? kBbsListName : kFileManagerListName;
  return Os().NamesAreCaseSensitive() ? AsciiLowerCase(name) : Bytes(name);
}

// The list's path as it exists in the directory, in any spelling, as the
// platform may match names without regard to case (which one wins: Open in
// description_list.h); the new list's spelling where none exists.
Bytes ExistingListPath(const Bytes& directory, ByteView name, DirectoryWalk& walk) {
  Bytes path = directory + Bytes(name);
  if (IsExistingFile(path)) return path;
  bool decided = false;
  walk.ForEachEntry([&](const FoundEntry& entry) {
    if (!decided && SameIgnoringCase(entry.name, name)) {
      if (entry.name == name) {
        decided = true;
      } else if ((entry.attributes & kAttributeDirectory) == 0) {
        decided = true;
        path = directory + entry.name;
      }
    }
    return true;  // the walk goes on: it keeps the logs for the run
  });
  return path;
}

}  // namespace

// Opens the list and takes its lock. A run that replaced the list may have
// let go of its lock just after this one opened the old file: the name then
// names another file, which is opened in its turn.
void DescriptionList::OpenFile(DirectoryWalk& walk) {
  list_.path = ExistingListPath(list_.directory, NewListName(kind_), walk);
  for (int tries = 1;; ++tries) {
    if (IsExistingFile(list_.path)) {
      OpenAppend(list_.file, list_.path);
    } else {
      created_ = CreateOrAppend(list_.file, list_.path);
    }
    CheckIo();
    if (list_.file.kind != HandleKind::kDisk) return;
    IdentifyLineFile(list_.file, &list_.identity);
    CheckIo();
    FileIdentity named;
    if (Os().IdentityAt(list_.path, &named) == 0 && SameFile(named, list_.identity)) return;
    CloseLineFile(list_.file);
    CheckIo();
    created_ = false;
    // Others keep replacing it: as if another run held the list.
    if (tries == 8) SetIoResult(kErrorSharingViolation);
    CheckIo();
  }
}

void DescriptionList::Open(const Bytes& directory, ListKind kind, DirectoryWalk& walk) {
  list_.directory = directory;
  kind_ = kind;
  tail_ = TailIndex(kind, Os().NamesAreCaseSensitive(), static_cast<std::size_t>(bounds_.tail_bytes));
  OpenFile(walk);
  // A run that stopped while it replaced the list left its new file.
  const Bytes leftover = list_.path + Bytes(kReplacementSuffix);
  if (IsExistingFile(leftover)) Os().Remove(leftover);
  found_end_ = PlacedEnd(list_.file);
  if (created_) return;
  std::int64_t tail_start = 0;
  // One byte more than the tail tells whether its first line starts after an LF.
  bool unchanged = true;
  const Bytes tail = ReadTail(list_.file, static_cast<std::size_t>(bounds_.tail_bytes) + 1, &tail_start, &unchanged);
  CheckIo();
  const std::int64_t end = PlacedEnd(list_.file);
  Bytes head = tail.substr(0, kByteOrderMark.size());
  if (tail_start > 0) {
    head.resize(kByteOrderMark.size());
    head.resize(ReadAt(list_.file, 0, head.data(), head.size()));
    CheckIo();
  }
  std::int64_t first_line = 0;
  if (head == kByteOrderMark) {
    encoding_ = ListEncoding::kUtf8;
    first_line = static_cast<std::int64_t>(kByteOrderMark.size());
    first_line_ = first_line;
    // A list that is the mark alone has no line to end.
    if (end == first_line) ContinueLastLine(list_.file);
  }
  // A list changed since the open by another program has no known torn line.
  tail_.Index(tail, tail_start, first_line, unchanged);
  // The run before's last batch may lie a batch's span back from the end.
  if (end > 0) batch_.AssumeUndurableFrom(std::max<std::int64_t>(0, end - bounds_.batch_span_bytes));
}
