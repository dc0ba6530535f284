#include "test_support.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

const Bytes kPrefix = "\xCA\xEE\xEC\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9\x3A";

Bytes LogWithComment(ByteView comment) {
  return "\xC0\xE2\xF2\xEE\xF0: someone\r\n" + kPrefix + Bytes(comment) + "\r\nSize: 1234\r\n";
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
