#include "test_support.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

const Bytes kPrefix = "\xCA\xEE\xEC\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9\x3A";

Bytes LogWithComment(ByteView comment) {
  return "\xC0\xE2\xF2\xEE\xF0: someone\r\n" + kPrefix + Bytes(comment) + "\r\nSize: 1234\r\n";
}

Bytes Utf16WithMark(ByteView utf8, bool big_endian) {
  Bytes out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  out.reserve(2 + 2 * utf8.size());
  const auto unit = [&](char32_t u) {
    out.push_back(static_cast<char>(big_endian ? u >> 8 : u & 0xFF));
    out.push_back(static_cast<char>(big_endian ? u & 0xFF : u >> 8));
  };
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = length == 1 ? b : b & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += length;
    if (c >= 0x10000) {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      unit(c);
    }
  }
  return out;
}

void WriteBytes(const Bytes& path, ByteView bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes ReadBytes(const Bytes& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}
