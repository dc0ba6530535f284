// Opening an existing list for appending: random lists, cut at an
// end-of-file mark in their last 128 bytes, then a line appended.

#include <cstdint>
#include <cstdlib>

#include "common/io_result.h"
#include "memory_world.h"
#include "textfile/line_file.h"

namespace {

// The rule as stated: a byte 26 among the final 128 bytes cuts the list there,
// the first such byte counting; a list that then lacks a final LF gets CR LF
// before the new line, or LF alone when it ends in a CR.
Bytes ModelAfterAppend(const Bytes& list, const Bytes& line) {
  const std::size_t window_start = list.size() > 128 ? list.size() - 128 : 0;
  const std::size_t mark = list.find('\x1A', window_start);
  Bytes result = list.substr(0, mark);
  if (!result.empty() && result.back() != '\n') result += result.back() == '\r' ? "\n" : "\r\n";
  return result + line + "\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  MemoryWorld world(PathStyle::kPosix);
  world.read_limit = 1 + data[0] % 130;
  // A long head of plain bytes puts the random tail behind the window's edge.
  const Bytes head = (data[0] & 0x80) != 0 ? Bytes(200 + data[0] % 7, 'h') : Bytes();
  const Bytes list = head + Bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Bytes path = world / "Descript.ion";
  world.Write(path, list);
  Platform* previous = SetPlatform(&world);
  {
    LineFile file;
    OpenAppend(file, path);
    WriteLine(file, {"pic.zip", " ", " new"});
    CloseLineFile(file);
  }
  SetPlatform(previous);
  if (TakeIoResult() != 0 || world.open_files != 0) std::abort();
  if (world.Read(path) != ModelAfterAppend(list, "pic.zip  new")) std::abort();
  return 0;
}
