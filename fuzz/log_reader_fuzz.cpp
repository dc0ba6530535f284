// The log reader against a small model of the line rules: random bytes in,
// the same description out.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/io_result.h"
#include "logcomment/log_comment.h"
#include "memory_world.h"

namespace {

// The rules written out again, as plainly as they read. A log that begins
// with a UTF-16 mark is read in UTF-16 units; any other is bytes, after a
// UTF-8 mark if it has one. The text ends at the first character 26; lines
// end at LF; every CR is dropped (the one before LF belongs to the line end,
// any other is no part of the text); the last line that opens with the
// prefix gives the comment: after the Windows-1251 prefix converted letter
// by letter, after the Unicode one character by character, '?' for what
// code page 866 lacks.

// The characters of code page 866's bytes 0x80 to 0xFF.
const char32_t kDos[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C,
    0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429,
    0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436,
    0x0437, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F, 0x0401, 0x0451, 0x0404, 0x0454, 0x0407,
    0x0457, 0x040E, 0x045E, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0};

char DosOf(char32_t c) {
  if (c < 0x80) return static_cast<char>(c);
  for (int i = 0; i < 128; ++i) {
    if (kDos[i] == c) return static_cast<char>(0x80 + i);
  }
  return '?';
}

// Characters of UTF-8 bytes, a byte that starts none standing for one.
std::u32string FromUtf8(const Bytes& text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const std::size_t n = b < 0x80                 ? 1
                          : b >= 0xC2 && b <= 0xDF ? 2
                          : b >= 0xE0 && b <= 0xEF ? 3
                          : b >= 0xF0 && b <= 0xF4 ? 4
                                                   : 0;
    char32_t c = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
    bool ok = n != 0 && i + n <= text.size();
    for (std::size_t k = 1; ok && k < n; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      ok = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    ok = ok && !(n == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) && !(n == 4 && (c < 0x10000 || c > 0x10FFFF));
    out += ok ? c : char32_t{0xFFFD};
    i += ok ? n : 1;
  }
  return out;
}

Bytes ModelDescription(const Bytes& log) {
  const bool utf16 = log.size() >= 2 && (log.compare(0, 2, "\xFF\xFE") == 0 || log.compare(0, 2, "\xFE\xFF") == 0);
  // The text as characters, each line's and the comment's encoding kept apart.
  std::u32string text;
  if (utf16) {
    const bool big = log[0] == '\xFE';
    std::u16string units;
    for (std::size_t i = 2; i + 1 < log.size(); i += 2) {
      const auto a = static_cast<unsigned char>(log[i]), b = static_cast<unsigned char>(log[i + 1]);
      units += static_cast<char16_t>(big ? (a << 8) | b : (b << 8) | a);
    }
    for (const char16_t u : units) text += u;  // surrogates are joined below
  }
  const Bytes bytes = utf16 ? Bytes() : log.compare(0, 3, "\xEF\xBB\xBF") == 0 ? log.substr(3) : log;
  const std::size_t end = utf16 ? text.find(U'\x1A') : bytes.find('\x1A');
  const Bytes cp1251_prefix = "\xCA\xEE\xEC\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9\x3A";
  const Bytes utf8_prefix =
      "\xD0\x9A\xD0\xBE\xD0\xBC\xD0\xBC\xD0\xB5\xD0\xBD\xD1\x82\xD0\xB0\xD1\x80\xD0\xB8\xD0\xB9\x3A";
  const std::u32string unicode_prefix = U"\u041A\u043E\u043C\u043C\u0435\u043D\u0442\u0430\u0440\u0438\u0439:";
  Bytes description;
  if (utf16) {
    text = text.substr(0, end);
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t stop = text.find(U'\n', start);
      if (stop == std::u32string::npos) stop = text.size();
      std::u32string line;
      for (std::size_t i = start; i < stop; ++i) {
        if (text[i] != U'\r') line += text[i];
      }
      if (line.compare(0, unicode_prefix.size(), unicode_prefix) == 0) {
        description.clear();
        const std::u32string rest = line.substr(unicode_prefix.size());
        for (std::size_t i = 0; i < rest.size(); ++i) {
          const char32_t u = rest[i];
          if (u >= 0xD800 && u <= 0xDBFF && i + 1 < rest.size() && rest[i + 1] >= 0xDC00 && rest[i + 1] <= 0xDFFF) {
            description += '?';  // a character beyond the BMP: code page 866 has none
            ++i;
          } else {
            description += DosOf(u >= 0xD800 && u <= 0xDFFF ? char32_t{0xFFFD} : u);
          }
        }
      }
      start = stop + 1;
    }
    return description;
  }
  const Bytes content = bytes.substr(0, end);
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t stop = content.find('\n', start);
    if (stop == Bytes::npos) stop = content.size();
    Bytes line;
    for (std::size_t i = start; i < stop; ++i) {
      if (content[i] != '\r') line += content[i];
    }
    if (line.compare(0, cp1251_prefix.size(), cp1251_prefix) == 0) {
      description = line.substr(cp1251_prefix.size());
      // Ё ё Ў ў Є є Ї ї № ° · ¤ and the no-break space have places in code
      // page 866 too; every other byte below 0xC0 stays.
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
    } else if (line.compare(0, utf8_prefix.size(), utf8_prefix) == 0) {
      description.clear();
      for (const char32_t c : FromUtf8(line.substr(utf8_prefix.size()))) description += DosOf(c);
    }
    start = stop + 1;
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
