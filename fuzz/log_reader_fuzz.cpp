// The log reader against a small model of the line rules: random bytes in,
// the same description out.

#include <cstdint>
#include <cstdlib>

#include "common/io_result.h"
#include "logcomment/log_comment.h"
#include "memory_world.h"

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
  // Ё ё Ў ў Є є Ї ї № ° · ¤ and the no-break space have places in code page
  // 866 too; every other byte below 0xC0 stays.
  const unsigned char kOthers[][2] = {{0xA8, 0xF0}, {0xB8, 0xF1}, {0xA1, 0xF6}, {0xA2, 0xF7}, {0xAA, 0xF2},
                                      {0xBA, 0xF3}, {0xAF, 0xF4}, {0xBF, 0xF5}, {0xB9, 0xFC}, {0xB0, 0xF8},
                                      {0xB7, 0xFA}, {0xA4, 0xFD}, {0xA0, 0xFF}};
  for (char& c : description) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0xC0 && b <= 0xEF) c = static_cast<char>(b - 0x40);
    if (b >= 0xF0) c = static_cast<char>(b - 0x10);
    for (const auto& other : kOthers) {
      if (b == other[0]) c = static_cast<char>(other[1]);
    }
  }
  return description;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  MemoryWorld world(PathStyle::kPosix);
  // The first byte sets how many bytes one read may bring at most.
  world.read_limit = 1 + data[0] % 32 + (data[0] >= 224 ? 70000 : 0);
  const Bytes log(reinterpret_cast<const char*>(data) + 1, size - 1);
  world.Write(world / "a.log", log);
  Platform* previous = SetPlatform(&world);
  const LogComment comment = ReadLogComment(world / "a.log", ListEncoding::kDosCyrillic);
  SetPlatform(previous);
  if (comment.open_error != 0 || IoResult() != 0 || world.open_files != 0) std::abort();
  if (comment.description != ModelDescription(log)) std::abort();
  return 0;
}
