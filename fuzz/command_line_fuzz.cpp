// The command-line splitter: no crash, and what it returns keeps its rules.

#include <cstdint>
#include <cstdlib>

#include "platform/command_line.h"

namespace {

// A double-byte code page: a lead byte 0x81-0xFE and a trail byte 0x40-0xFE
// make one character, as in the East Asian ANSI code pages.
std::size_t NextDoubleByteChar(ByteView line, std::size_t position) {
  const auto lead = static_cast<unsigned char>(line[position]);
  if (lead >= 0x81 && lead <= 0xFE && position + 1 < line.size()) {
    const auto trail = static_cast<unsigned char>(line[position + 1]);
    if (trail >= 0x40 && trail <= 0xFE) return position + 2;
  }
  return position + 1;
}

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const NextCharFunction next = (data[0] & 1) != 0 ? &NextDoubleByteChar : nullptr;
  const ByteView line(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::vector<Bytes> arguments = SplitCommandLine(line, next);

  // What the line holds before its first NUL, quotes left out.
  const ByteView text = line.substr(0, line.find('\0'));
  Bytes unquoted;
  for (char c : text) {
    if (c != '"') unquoted += c;
  }
  std::size_t total = 0;
  std::size_t from = 0;
  for (const Bytes& argument : arguments) {
    // Never empty, never a quote or a NUL in it.
    Require(!argument.empty());
    Require(argument.find('"') == Bytes::npos);
    Require(argument.find('\0') == Bytes::npos);
    // A blank or control byte is kept only from inside quotes.
    for (char c : argument) Require(static_cast<unsigned char>(c) > 32 || text.find('"') != ByteView::npos);
    // The arguments appear in the line in order, each as one stretch once
    // the quotes are gone.
    const std::size_t at = unquoted.find(argument, from);
    Require(at != Bytes::npos);
    from = at + argument.size();
    total += argument.size();
  }
  Require(total <= text.size());

  // Quoting every argument and joining them with blanks gives them back.
  Bytes joined;
  for (const Bytes& argument : arguments) joined += "\"" + argument + "\" ";
  Require(SplitCommandLine(joined, next) == arguments);
  return 0;
}
