// The log reader against a small model of the line rules: random bytes in,
// the same description out.

#include <cstdint>
#include <cstdlib>

#include "common/io_result.h"
#include "logcomment/log_comment.h"
#include "memory_platform.h"

namespace {

// The rules written out again, as plainly as they read: the text ends at the
// first byte 26; lines end at LF; every CR is dropped (the one before LF
// belongs to the line end, any other is no part of the text); the last line
// that opens with the prefix gives the comment, converted letter by letter.
Bytes ModelDescription(const Bytes& log) {
  const Bytes text = log.substr(0, log.find('\x1A'));
  const Bytes prefix = "\xCA\xEE\xEC\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9\x3A";
  Bytes description;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == Bytes::npos) end = text.size();
    Bytes line;
    for (std::size_t i = start; i < end; ++i) {
      if (text[i] != '\r') line += text[i];
    }
    if (line.compare(0, prefix.size(), prefix) == 0 && line.size() >= prefix.size()) {
      description = line.substr(prefix.size());
    }
    start = end + 1;
  }
  for (char& c : description) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0xC0 && b <= 0xEF) c = static_cast<char>(b - 0x40);
    if (b >= 0xF0) c = static_cast<char>(b - 0x10);
  }
  return description;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  MemoryPlatform platform;
  // The first byte sets how many bytes one read may bring at most.
  platform.read_limit = 1 + data[0] % 32 + (data[0] >= 224 ? 70000 : 0);
  const Bytes log(reinterpret_cast<const char*>(data) + 1, size - 1);
  platform.files["/area/a.log"] = log;
  Platform* previous = SetPlatform(&platform);
  int open_error = -1;
  const Bytes description = ReadLogComment("/area/a.log", &open_error);
  SetPlatform(previous);
  if (open_error != 0 || IoResult() != 0 || platform.open_files != 0) std::abort();
  if (description != ModelDescription(log)) std::abort();
  return 0;
}
