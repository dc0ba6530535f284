#include "logcomment/code_page.h"

#include <cstdint>
#include <utility>

namespace {

// The characters of bytes 0x80 to 0xFF, as Unicode code points. Byte 0x98
// of Windows-1251 stands for no character.
constexpr char32_t kNoCharacter = 0;
constexpr char32_t kWindows1251[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C,
    0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, kNoCharacter, 0x2122, 0x0459,
    0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401,
    0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    // 0xC0 to 0xFF: А to я
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D,
    0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B,
    0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439,
    0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F};
constexpr char32_t kDosCyrillic[128] = {
    // 0x80 to 0xAF: А to п
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D,
    0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B,
    0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439,
    0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    // 0xB0 to 0xDF: shades and box drawing
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C,
    0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566,
    0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518,
    0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    // 0xE0 to 0xEF: р to я
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D,
    0x044E, 0x044F,
    // 0xF0 to 0xFF
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4,
    0x25A0, 0x00A0};

// The code page 866 byte of a character, or -1 when it has none.
constexpr int DosByteOf(char32_t character) {
  if (character < 0x80) return static_cast<int>(character);
  if (character >= 0x0410 && character <= 0x043F) return static_cast<int>(0x80 + (character - 0x0410));
  if (character >= 0x0440 && character <= 0x044F) return static_cast<int>(0xE0 + (character - 0x0440));
  for (int i = 0; i < 128; ++i) {
    if (kDosCyrillic[i] == character) return 0x80 + i;
  }
  return -1;
}

struct Table {
  unsigned char to_866[256];
  constexpr Table() : to_866() {
    for (int b = 0; b < 256; ++b) {
      int dos = b;
      if (b >= 0x80 && kWindows1251[b - 0x80] != kNoCharacter) dos = DosByteOf(kWindows1251[b - 0x80]);
      to_866[b] = static_cast<unsigned char>(dos < 0 ? b : dos);
    }
  }
};

constexpr Table kTable;

// Decodes the character at text[*at] and moves past it; false for a byte
// sequence that is not UTF-8 (overlong forms and surrogates included).
bool NextUtf8(ByteView text, std::size_t* at, char32_t* character) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char first = byte(*at);
  std::size_t length = 0;
  char32_t c = 0;
  if (first < 0x80) {
    *character = first;
    ++*at;
    return true;
  } else if (first >= 0xC2 && first <= 0xDF) {
    length = 2;
    c = first & 0x1F;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
    c = first & 0x0F;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4;
    c = first & 0x07;
  } else {
    return false;
  }
  if (text.size() - *at < length) return false;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(*at + i) & 0xC0) != 0x80) return false;
    c = (c << 6) | (byte(*at + i) & 0x3F);
  }
  if ((length == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) || (length == 4 && (c < 0x10000 || c > 0x10FFFF))) {
    return false;
  }
  *character = c;
  *at += length;
  return true;
}

}  // namespace

void AppendUtf8(Bytes& out, char32_t c) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacementCharacter;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void ToDosCyrillicInPlace(Bytes& text) {
  for (char& c : text) c = static_cast<char>(kTable.to_866[static_cast<unsigned char>(c)]);
}

Bytes ToDosCyrillic(ByteView text) {
  Bytes result(text);
  ToDosCyrillicInPlace(result);
  return result;
}

Bytes Windows1251ToUtf8(ByteView text) {
  Bytes result;
  result.reserve(text.size());
  for (const char byte : text) {
    const auto b = static_cast<unsigned char>(byte);
    if (b < 0x80) {
      result += byte;
    } else {
      const char32_t c = kWindows1251[b - 0x80];
      AppendUtf8(result, c == kNoCharacter ? kReplacementCharacter : c);
    }
  }
  return result;
}

Bytes FromWindows1251(ByteView text, ListEncoding encoding) {
  return encoding == ListEncoding::kUtf8 ? Windows1251ToUtf8(text) : ToDosCyrillic(text);
}

bool Utf8ToDosCyrillic(ByteView text, Bytes* dos) {
  Bytes result;
  result.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    char32_t c = 0;
    if (!NextUtf8(text, &at, &c)) return false;
    const int b = DosByteOf(c);
    if (b < 0) return false;
    result += static_cast<char>(b);
  }
  *dos = std::move(result);
  return true;
}

Bytes FromUtf8(ByteView text, ListEncoding encoding) {
  Bytes result;
  result.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    char32_t c = 0;
    if (!NextUtf8(text, &at, &c)) {
      c = kReplacementCharacter;
      ++at;  // a byte that starts no character stands for one
    }
    if (encoding == ListEncoding::kUtf8) {
      AppendUtf8(result, c);
    } else {
      const int b = DosByteOf(c);
      result += b < 0 ? kMissingCharacter : static_cast<char>(b);
    }
  }
  return result;
}
